// Runs tests/tools/manifest_tool as a process of its own, so that a manifest operation can run as
// an unprivileged user or with chosen system calls failing.
#pragma once

#include "support/test_support.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace updater::test {

struct tool_result {
    std::string status; // "ok", or the error's category and value ("system 13")
    std::vector<std::string> entries;
    std::string errors; // what it wrote to stderr, for failure messages
};

// Runs "manifest_tool COMMAND DIR" after prefix (a command such as setpriv or strace, or empty);
// its output goes through files in scratch. Its stderr is kept apart: a sanitizer that cannot run
// under strace reports there.
inline tool_result run_manifest_tool(const std::string& prefix, const std::string& command,
                                     const std::filesystem::path& dir, const std::filesystem::path& scratch)
{
    const char* tools = std::getenv("QM_TEST_TOOLS");
    std::filesystem::path tool = std::filesystem::path(tools ? tools : ".") / "manifest_tool";
    std::filesystem::path out = scratch / "manifest_tool.out";
    std::filesystem::path err = scratch / "manifest_tool.err";
    std::string line = prefix + " " + shell_quoted(tool) + " " + command + " " + shell_quoted(dir) + " >" +
                       shell_quoted(out) + " 2>" + shell_quoted(err);
    std::system(line.c_str());
    tool_result result;
    result.errors = read_file(err);
    std::string text = read_file(out);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string entry = text.substr(start, end - start);
        if (start == 0)
            result.status = entry;
        else
            result.entries.push_back(entry);
        start = end + 1;
    }
    return result;
}

// A prefix that runs a command without root's power to ignore permissions; empty when the tests
// do not run as root anyway.
inline std::string unprivileged()
{
    return running_as_root() ? "setpriv --reuid=65534 --regid=65534 --clear-groups" : "";
}

// A prefix that runs a command under strace with the second read of file failing (EIO). Only
// calls on that file are traced. Leak checking is off: it cannot work under ptrace and would end
// the program before its output is flushed.
inline std::string failing_second_read_of(const std::filesystem::path& file)
{
    return "ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o /dev/null -P " + shell_quoted(file) +
           " -e trace=read -e inject=read:error=EIO:when=2";
}

inline bool strace_available() { return std::system("strace -V >/dev/null 2>&1") == 0; }

} // namespace updater::test
