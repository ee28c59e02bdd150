// Runs one manifest operation on a folder, so that tests can run it as another user or with
// chosen system calls failing. Prints the error's category and value ("ok" on success), then the
// resulting entries, one per line, as the set holds them.
#include "main/tool_main.h"
#include "updater/manifest/staged_tree.h"

#include <cstdio>
#include <string>

namespace {

using namespace updater;

int run(int argc, path_char** argv)
{
    std::string command = argc == 3 ? path_to_utf8(argv[1]) : std::string();
    manifest_set entries;
    error_code ec;
    if (command == "read") {
        entries = read_manifest(argv[2], ec);
    } else if (command == "scan") {
        entries = scan_staged_tree(argv[2], ec);
    } else if (command == "prepare") {
        // The scan, then the manifest from it; the entries are the new manifest.
        manifest_set staged = scan_staged_tree(argv[2], ec);
        if (!ec)
            entries = prepare_new_manifest(argv[2], staged, ec);
    } else {
        std::fputs("usage: manifest_tool read|scan|prepare DIR\n", stderr);
        return 2;
    }
    if (!ec)
        std::puts("ok");
    else
        std::printf("%s %d\n", ec.category().name(), ec.value());
    for (const path_string& entry : entries)
        std::printf("%s\n", path_to_utf8(entry).c_str());
    return ec ? 1 : 0;
}

} // namespace

int tool_main(int argc, updater::path_char** argv) { return run(argc, argv); }
