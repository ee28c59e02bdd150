// The platform's process and user-interface services for one helper run: its command line, the
// wait for the application, the messages to the user and the start of the application.
#pragma once

#include "updater/fs/path.h"

#include <chrono>
#include <cstdint>
#include <string_view>
#include <vector>

namespace updater {

// What the entry point received. Only POSIX uses it; Windows reads the process's own command line.
struct entry_arguments {
    int argc = 0;
    char** argv = nullptr;
};

// The helper's command line split into elements, the program name first. Windows: the full command
// line (GetCommandLineW) split by the platform's quoting rules (CommandLineToArgvW). POSIX: argv.
// False when the command line cannot be split.
bool split_command_line(const entry_arguments& entry, std::vector<path_string>& elements);

// Waits up to timeout for process app_pid to end. True when it ended in time, and at once when
// there is nothing to wait for: id 0, an id that names no process, or (Windows) a process that
// cannot be opened. False when it was still running at the time-out or the wait itself failed.
// POSIX waits on a pidfd, or polls the process id where pidfds are missing.
bool wait_for_application(std::uint32_t app_pid, std::chrono::milliseconds timeout);

enum class message_icon { information, error };

// Shows text to the user with an OK button only and returns once it is dismissed; the result is
// ignored. Windows: MessageBoxW without owner. POSIX: "caption: text" and a line end on standard
// error, and in a graphical session (DISPLAY or WAYLAND_DISPLAY set) also zenity --info or --error,
// when it is on PATH, waited for. The texts are ASCII.
void show_message(std::string_view caption, std::string_view text, message_icon icon);

// Starts app_path with install_dir as its working directory and the helper's environment, and does
// not wait for it. A relative app_path names the program from the helper's own working directory. It receives its own
// path only (Windows: the command line "app_path" in double quotes; POSIX: argv { app_path }) and no handle or
// descriptor of the helper's but standard input, output and error. False when it could not be started: a missing or
// non-executable program, a missing working directory.
bool relaunch_application(const path_string& app_path, const path_string& install_dir);

} // namespace updater
