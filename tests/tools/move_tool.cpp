// Runs one move_with_retry, so that tests can watch its system calls from outside (strace) and
// make chosen calls fail; "keep" moves without replacing. Prints "ok" or the error's category and
// value.
#include "main/tool_main.h"
#include "updater/install/move.h"

#include <cstdio>

namespace {

int run(int argc, updater::path_char** argv)
{
    const bool keep = argc == 4 && updater::path_view(argv[3]) == updater::path_from_utf8("keep");
    if (argc != 3 && !keep) {
        std::fputs("usage: move_tool FROM TO [keep]\n", stderr);
        return 2;
    }
    updater::error_code ec;
    updater::move_with_retry(argv[1], argv[2],
                             keep ? updater::fs::existing_target::keep : updater::fs::existing_target::replace, ec);
    if (!ec)
        std::puts("ok");
    else
        std::printf("%s %d\n", ec.category().name(), ec.value());
    return ec ? 1 : 0;
}

} // namespace

int tool_main(int argc, updater::path_char** argv) { return run(argc, argv); }
