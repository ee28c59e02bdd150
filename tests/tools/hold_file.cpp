// Holds a file open the way another program might, from a process of its own:
// "hold_file FILE READY_FILE RELEASE_FILE" opens FILE for reading, writes "held" (or "missing" when
// it cannot be opened) to READY_FILE, and keeps it open until RELEASE_FILE appears (at most a
// minute). The C runtime opens without delete sharing, so on Windows the file can neither be
// renamed nor deleted meanwhile; POSIX has no such sharing modes.
#include "main/tool_main.h"
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

int tool_main(int argc, updater::path_char** argv)
{
    if (argc != 4)
        return 2;
    std::ifstream held(fs::path(argv[1]), std::ios::binary);
    // Written aside and renamed, so that a reader never sees an empty answer.
    const fs::path ready(argv[2]);
    fs::path partial = ready;
    partial += ".partial";
    {
        std::ofstream out(partial, std::ios::binary);
        out << (held.is_open() ? "held" : "missing");
    }
    std::error_code ec;
    fs::rename(partial, ready, ec);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!fs::exists(fs::path(argv[3]), ec) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return held.is_open() ? 0 : 1;
}
