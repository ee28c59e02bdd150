// The run sequence: the whole life of one helper process, from its command line to its exit code.
#pragma once

#include "updater/fs/path.h"
#include "updater/system/process.h"

#include <cstdint>

namespace updater {

inline constexpr int exit_installed = 0;        // installed and started again
inline constexpr int exit_not_installed = 1;    // refused, failed, or not started again
inline constexpr int exit_bad_command_line = 2; // not exactly four arguments

// Argument 1 as a process id: leading white space skipped, one optional sign (minus negates modulo
// 2^32), decimal digits up to the first other character; no digits give 0, and a value above
// 4294967295 gives 4294967295.
std::uint32_t parse_app_pid(path_view text) noexcept;

// quillmoor-updater app_pid staging_dir install_dir app_path: waits for the application, takes the
// installation lock, refuses over leftovers of a failed update, installs the staged update, logs and
// shows the outcome, and starts the application again. Returns the exit code.
int run_helper(const entry_arguments& entry);

} // namespace updater
