// Runs a refusal check in a process of its own, so that it can run as an unprivileged user:
// "refusal_tool has_leftover_backup INSTALL_DIR" prints "true" or "false";
// "refusal_tool dispose_staging_dir STAGING_DIR" prints "done".
#include "main/tool_main.h"
#include "updater/refusal.h"

#include <cstdio>
#include <string>

int tool_main(int argc, updater::path_char** argv)
{
    if (argc != 3)
        return 2;
    const std::string command = updater::path_to_utf8(argv[1]);
    if (command == "has_leftover_backup") {
        std::puts(updater::has_leftover_backup(argv[2]) ? "true" : "false");
        return 0;
    }
    if (command == "dispose_staging_dir") {
        updater::dispose_staging_dir(argv[2]);
        std::puts("done");
        return 0;
    }
    return 2;
}
