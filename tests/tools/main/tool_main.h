// The one entry point of the test tools: each tool defines tool_main, which receives the command
// line in the platform's native characters (UTF-16 on Windows, bytes on POSIX).
#pragma once

#include "updater/fs/path.h"

int tool_main(int argc, updater::path_char** argv);
