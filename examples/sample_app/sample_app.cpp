// A small application to demonstrate quillmoor-updater on (scripts/demo.sh). It reports its
// version, its command line and its working directory, to standard output and, when the variable
// SAMPLE_APP_REPORT names a file, to the end of that file too.
//
//   sample_app                            report and exit
//   sample_app --update HELPER STAGING    report, start HELPER with this process's id, STAGING,
//                                         this program's folder and path, and exit at once: the
//                                         helper waits for this process to end before it installs
//
// The version is built in (SAMPLE_APP_VERSION), so that an update really replaces the program.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <spawn.h>
#include <unistd.h>
extern char** environ;
#endif

namespace fs = std::filesystem;

namespace {

void report(const std::string& line)
{
    std::cout << line << std::endl;
    if (const char* file = std::getenv("SAMPLE_APP_REPORT")) {
        std::ofstream out(file, std::ios::app);
        out << line << '\n';
    }
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

#ifdef _WIN32
using native_char = wchar_t;

fs::path own_path()
{
    std::wstring buffer(32768, L'\0');
    buffer.resize(GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size())));
    return buffer;
}

unsigned long own_id() { return GetCurrentProcessId(); }

std::string command_line(int, wchar_t**) { return fs::path(GetCommandLineW()).string(); }

// Started with CreateProcessW, not waited for: its handles are closed at once. 0 when it could
// not be started.
unsigned long start_helper(const std::vector<fs::path>& arguments)
{
    std::wstring line;
    for (const auto& argument : arguments)
        line += (line.empty() ? L"\"" : L" \"") + argument.native() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(arguments[0].c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &started))
        return 0;
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return started.dwProcessId;
}
#else
using native_char = char;

fs::path own_path() { return fs::read_symlink("/proc/self/exe"); }

unsigned long own_id() { return static_cast<unsigned long>(getpid()); }

std::string command_line(int argc, char** argv)
{
    std::string line;
    for (int i = 0; i < argc; ++i)
        line += (i ? " " : "") + quoted(argv[i]);
    return line;
}

// Started with posix_spawn and not waited for: this process ends right after. 0 when it could
// not be started.
unsigned long start_helper(const std::vector<fs::path>& arguments)
{
    std::vector<std::string> storage;
    for (const auto& argument : arguments)
        storage.push_back(argument.string());
    std::vector<char*> argv;
    for (auto& argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t helper = 0;
    if (posix_spawn(&helper, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return 0;
    return static_cast<unsigned long>(helper);
}
#endif

int run(int argc, native_char** argv)
{
    const std::string name = "[sample app " + std::to_string(SAMPLE_APP_VERSION) + ", process " +
                             std::to_string(own_id()) + "] ";
    std::error_code ec;
    report(name + "version " + std::to_string(SAMPLE_APP_VERSION) + ".0");
    report(name + "command line: " + command_line(argc, argv));
    report(name + "working directory: " + fs::current_path(ec).string());

    if (argc == 4 && fs::path(argv[1]) == "--update") {
        const fs::path self = own_path();
        const std::vector<fs::path> helper = {argv[2], std::to_string(own_id()), argv[3], self.parent_path(), self};
        report(name + "starting the update helper: " + quoted(helper[0].string()) + " " + helper[1].string() + " " +
               quoted(helper[2].string()) + " " + quoted(helper[3].string()) + " " + quoted(helper[4].string()));
        const unsigned long started = start_helper(helper);
        if (!started) {
            report(name + "could not start the update helper");
            return 1;
        }
        report(name + "started the update helper as process " + std::to_string(started) + ", exiting now");
    }
    return 0;
}

} // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) { return run(argc, argv); }
#else
int main(int argc, char** argv) { return run(argc, argv); }
#endif
