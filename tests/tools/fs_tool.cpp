// Runs one file system operation, so that tests can run it as another user or watch and fail its
// system calls from outside (strace).
//   fs_tool walk DIR        lists DIR recursively, one relative path a line
//   fs_tool remove_all PATH
//   fs_tool create_directories PATH
// The last line is "ok" or the error's category and value.
#include "main/tool_main.h"
#include "updater/fs/fs.h"

#include <cstdio>

namespace {

int run(int argc, updater::path_char** argv)
{
    using namespace updater;
    error_code ec;
    const path_view command = argc == 3 ? path_view(argv[1]) : path_view();
    if (command == path_from_utf8("walk")) {
        for (fs::directory_iteration it(argv[2], fs::iteration_mode::recursive, ec); !ec && !it.at_end();
             it.advance(ec))
            std::printf("%s\n", path_to_utf8(it.relative_path()).c_str());
    } else if (command == path_from_utf8("remove_all")) {
        fs::remove_all(argv[2], ec);
    } else if (command == path_from_utf8("create_directories")) {
        fs::create_directories(argv[2], ec);
    } else {
        std::fputs("usage: fs_tool walk DIR | fs_tool remove_all PATH | fs_tool create_directories PATH\n", stderr);
        return 2;
    }
    if (ec)
        std::printf("%s %d\n", ec.category().name(), ec.value());
    else
        std::puts("ok");
    return ec ? 1 : 0;
}

} // namespace

int tool_main(int argc, updater::path_char** argv) { return run(argc, argv); }
