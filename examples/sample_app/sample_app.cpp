// A small application that updates itself through quillmoor-updater: the worked example of the
// README's integration guide, and the application of the demonstration (scripts/demo.sh). It
// reports its version, its command line and its working directory, to standard output and, when
// the variable SAMPLE_APP_REPORT names a file, to the end of that file too.
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

// Appends one argument so that CommandLineToArgvW, which the helper splits its command line with,
// gives it back unchanged. Plain text stays as it is. Otherwise it goes in double quotes, and inside
// them backslashes are literal except before a double quote: a run of them followed by a quote, or
// by the closing quote, is doubled, and a quote of the text gets one more backslash. So a folder
// "C:\" is written "C:\\", not "C:\" (which would swallow the quote and the next argument).
void append_argument(std::wstring& line, const std::wstring& argument)
{
    if (!line.empty())
        line += L' ';
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line += L'"';
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        line += c;
        backslashes = 0;
    }
    line.append(2 * backslashes, L'\\');
    line += L'"';
}

// Started with CreateProcessW and not waited for: its handles are closed at once. The program name
// goes first, in quotes and as it is (the first element of a command line follows simpler rules: it
// ends at the next quote, and a path has none). No handle is inherited, so the helper holds none of
// this application's files open while it moves them; it runs in the installation folder, never in
// the staging folder it deletes. 0 when it could not be started.
unsigned long start_helper(const std::vector<fs::path>& arguments, const fs::path& install_dir)
{
    std::wstring line = L"\"" + arguments[0].native() + L"\"";
    for (std::size_t i = 1; i < arguments.size(); ++i)
        append_argument(line, arguments[i].native());
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(arguments[0].c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, install_dir.c_str(),
                        &startup, &started))
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

// Started with posix_spawn and not waited for: this process ends right after. The helper gets a
// session of its own, so that a terminal closing or a signal to this application's process group
// does not end it in the middle of the install, and only standard input, output and error of this
// process's descriptors: a lock or a socket it inherited would stay held until the helper ends,
// after the application has been started again. 0 when it could not be started.
unsigned long start_helper(const std::vector<fs::path>& arguments, const fs::path&)
{
    std::vector<std::string> storage;
    for (const auto& argument : arguments)
        storage.push_back(argument.string());
    std::vector<char*> argv;
    for (auto& argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    posix_spawn_file_actions_init(&actions);
    // glibc 2.34 and later; elsewhere, open every descriptor with O_CLOEXEC instead.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    pid_t helper = 0;
    const int failed = posix_spawn(&helper, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return failed ? 0 : static_cast<unsigned long>(helper);
}
#endif

int run(int argc, native_char** argv)
{
    const std::string name =
        "[sample app " + std::to_string(SAMPLE_APP_VERSION) + ", process " + std::to_string(own_id()) + "] ";
    std::error_code ec;
    report(name + "version " + std::to_string(SAMPLE_APP_VERSION) + ".0");
    report(name + "command line: " + command_line(argc, argv));
    report(name + "working directory: " + fs::current_path(ec).string());

    if (argc == 4 && fs::path(argv[1]) == "--update") {
        // Absolute paths throughout: the helper resolves nothing against its own working directory.
        const fs::path self = own_path();
        const fs::path install_dir = self.parent_path();
        const std::vector<fs::path> helper = {fs::absolute(argv[2]), std::to_string(own_id()), fs::absolute(argv[3]),
                                              install_dir, self};
        report(name + "starting the update helper: " + quoted(helper[0].string()) + " " + helper[1].string() + " " +
               quoted(helper[2].string()) + " " + quoted(helper[3].string()) + " " + quoted(helper[4].string()));
        const unsigned long started = start_helper(helper, install_dir);
        if (!started) {
            report(name + "could not start the update helper");
            return 1;
        }
        // Nothing may keep this process alive now: the helper waits for it to end (two minutes at
        // most) before it touches a file.
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
