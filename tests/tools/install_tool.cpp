// Runs one install transaction, so that tests can make chosen system calls of it fail (strace).
// Prints "installed" or "failed" with the error's category and value.
#include "main/tool_main.h"
#include "updater/install/transaction.h"

#include <cstdio>

namespace {

int run(int argc, updater::path_char** argv)
{
    if (argc != 3) {
        std::fputs("usage: install_tool STAGING_DIR INSTALL_DIR\n", stderr);
        return 2;
    }
    updater::error_code ec;
    bool installed = updater::install_staged_update(argv[1], argv[2], ec);
    std::printf("%s %s %d\n", installed ? "installed" : "failed", ec.category().name(), ec.value());
    return installed ? 0 : 1;
}

} // namespace

int tool_main(int argc, updater::path_char** argv) { return run(argc, argv); }
