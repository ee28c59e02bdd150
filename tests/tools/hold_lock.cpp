// Holds the installation lock of an application like a running helper does:
// "hold_lock APP_PATH READY_FILE RELEASE_FILE" takes the lock, writes "held" or "refused" to
// READY_FILE, and keeps the lock until RELEASE_FILE appears (at most a minute).
#include "main/tool_main.h"
#include "updater/lock/lock.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

int tool_main(int argc, updater::path_char** argv)
{
    if (argc != 4)
        return 2;
    updater::install_lock lock = updater::acquire_install_lock(argv[1]);
    // Written aside and renamed, so that a reader never sees an empty answer.
    const fs::path ready(argv[2]);
    fs::path partial = ready;
    partial += ".partial";
    {
        std::ofstream out(partial, std::ios::binary);
        out << (lock ? "held" : "refused");
    }
    std::error_code ec;
    fs::rename(partial, ready, ec);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!fs::exists(fs::path(argv[3]), ec) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return lock ? 0 : 1;
}
