// A process to wait for: "linger MILLISECONDS [FILE]" stays for that long, then writes "done" to
// FILE when one is given (a failure to write is ignored) and exits.
#include "main/tool_main.h"
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

int tool_main(int argc, updater::path_char** argv)
{
    if (argc < 2)
        return 2;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::stol(argv[1])));
    if (argc > 2) {
        std::ofstream out{std::filesystem::path(argv[2]), std::ios::binary};
        out << "done";
    }
    return 0;
}
