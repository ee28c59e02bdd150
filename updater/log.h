// The update log: one line per outcome of a helper run, appended to ".update-helper.log" in the
// installation folder.
#pragma once

#include "updater/fs/path.h"

#include <string_view>

namespace updater {

// Appends line and a line end to install_dir's ".update-helper.log", creating the file when it is
// missing. The file is opened for this one line in the platform's text mode (a line end is CR LF on
// Windows, LF on POSIX) without restricting other processes, and closed again. The bytes of line
// are written as they are. Every failure is silent: a folder that is missing, access refused or a
// failed write leave the run unaffected.
void append_log_line(const path_string& install_dir, std::string_view line);

} // namespace updater
