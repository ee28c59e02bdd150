// Stands in for the application that the helper starts again: writes what it received (its
// command line, its working directory and, on POSIX, its open descriptors) to "<own path>.record"
// and exits. When "<own path>.hold" exists it then stays until "<own path>.release" appears (at
// most a minute), so that a test can act while it runs.
#include "main/tool_main.h"
#include "updater/fs/path.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using updater::path_to_utf8;

namespace {

#ifdef _WIN32
fs::path own_path()
{
    std::wstring buffer(32768, L'\0');
    buffer.resize(GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size())));
    return buffer;
}

std::string received(int, wchar_t**) { return "command line: " + path_to_utf8(GetCommandLineW()) + "\n"; }
#else
fs::path own_path() { return fs::read_symlink("/proc/self/exe"); }

std::string received(int argc, char** argv)
{
    std::string text = "arguments: " + std::to_string(argc) + "\n";
    for (int i = 0; i < argc; ++i)
        text += "argument: " + std::string(argv[i]) + "\n";
    std::string descriptors;
    if (DIR* listing = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(listing))
            if (entry->d_name[0] != '.' && std::to_string(dirfd(listing)) != entry->d_name)
                descriptors += std::string(descriptors.empty() ? "" : " ") + entry->d_name;
        closedir(listing);
    }
    return text + "open descriptors: " + descriptors + "\n";
}
#endif

template <class Char> int record(int argc, Char** argv)
{
    const fs::path self = own_path();
    std::error_code ec;
    std::string text =
        received(argc, argv) + "working directory: " + path_to_utf8(fs::current_path(ec).native()) + "\n";
    // Written aside and renamed, so that a reader never sees half a record.
    fs::path record = self.native() + updater::path_from_utf8(".record");
    fs::path partial = self.native() + updater::path_from_utf8(".record.partial");
    {
        std::ofstream out(partial, std::ios::binary);
        out << text;
    }
    fs::rename(partial, record, ec);

    if (fs::exists(self.native() + updater::path_from_utf8(".hold"), ec)) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (!fs::exists(self.native() + updater::path_from_utf8(".release"), ec) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return 0;
}

} // namespace

int tool_main(int argc, updater::path_char** argv) { return record(argc, argv); }
