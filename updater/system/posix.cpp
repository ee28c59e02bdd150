// The process services on POSIX: argv, a pidfd (or polling) for the wait, standard error and
// zenity for the messages, and fork and exec for the start of the application. pidfd_open is
// Linux's; elsewhere the polling that already serves kernels without it is what runs.
#include "updater/os_calls/unique_fd.h"
#include "updater/system/process.h"

#include "updater/clock/clock.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace updater {

namespace {

using os_calls::unique_fd;

using std::chrono::milliseconds;

// The gap between two looks at a process that cannot be waited on through a pidfd.
constexpr milliseconds polling_interval{10};

void write_all(int fd, std::string_view bytes) noexcept
{
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

void wait_for_child(pid_t child) noexcept
{
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}

// A process that has ended but was not yet reaped by its parent still answers kill(pid, 0); its
// state in /proc tells that it has ended.
bool is_zombie(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return false;
    // "pid (comm) state ...": comm may hold ")" itself, so the state follows the last one.
    auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && (line[close + 2] == 'Z' || line[close + 2] == 'X');
}

bool poll_for_end(pid_t pid, std::chrono::nanoseconds deadline)
{
    for (;;) {
        if (::kill(pid, 0) != 0 && errno == ESRCH)
            return true;
        if (is_zombie(pid))
            return true;
        if (monotonic_now() >= deadline)
            return false;
        sleep_for(polling_interval);
    }
}

bool nonempty_variable(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value;
}

// Marks every descriptor above standard error close-on-exec, whatever the helper inherited from
// its own caller.
void close_extra_descriptors_on_exec() noexcept
{
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
    // Kernels before 5.11 lack CLOSE_RANGE_CLOEXEC: mark what /proc lists.
    DIR* listing = ::opendir("/proc/self/fd");
    if (!listing)
        return;
    while (dirent* entry = ::readdir(listing)) {
        char* end = nullptr;
        long fd = std::strtol(entry->d_name, &end, 10);
        if (*end == '\0' && end != entry->d_name && fd > 2 && fd != ::dirfd(listing))
            ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    }
    ::closedir(listing);
}

// In the forked child: sends errno through the status pipe and ends without running any of the
// helper's exit code.
[[noreturn]] void report_start_failure(int status_fd, int error) noexcept
{
    write_all(status_fd, std::string_view(reinterpret_cast<const char*>(&error), sizeof(error)));
    ::_exit(127);
}

} // namespace

bool split_command_line(const entry_arguments& entry, std::vector<path_string>& elements)
{
    if (entry.argc < 0 || (entry.argc > 0 && !entry.argv))
        return false;
    elements.assign(entry.argv, entry.argv + entry.argc);
    return true;
}

bool wait_for_application(std::uint32_t app_pid, std::chrono::milliseconds timeout)
{
    // Id 0 and ids beyond pid_t would make kill and pidfd_open mean other processes (a process
    // group, every process): they name no process here.
    if (app_pid == 0 || app_pid > static_cast<std::uint32_t>(INT_MAX))
        return true;
    const auto pid = static_cast<pid_t>(app_pid);
    const auto deadline = monotonic_now() + timeout;

    unique_fd process(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (!process) {
        if (errno == ESRCH)
            return true;
        // Linux before 5.3 has no pidfd_open (ENOSYS); a pidfd can also fail for want of
        // descriptors. Looking at the id every few milliseconds waits just as well.
        return poll_for_end(pid, deadline);
    }
    for (;;) {
        auto remaining = std::chrono::ceil<milliseconds>(deadline - monotonic_now());
        if (remaining <= milliseconds::zero())
            return false;
        pollfd entry{process.get(), POLLIN, 0};
        int ready = ::poll(&entry, 1, static_cast<int>(remaining.count()));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

void show_message(std::string_view caption, std::string_view text, message_icon icon)
{
    std::string line;
    line.append(caption).append(": ").append(text).append("\n");
    write_all(STDERR_FILENO, line);

    if (!nonempty_variable("DISPLAY") && !nonempty_variable("WAYLAND_DISPLAY"))
        return;
    std::string caption_text(caption);
    std::string message_text(text);
    char kind_info[] = "--info";
    char kind_error[] = "--error";
    char title_option[] = "--title";
    char text_option[] = "--text";
    char no_markup[] = "--no-markup";
    char program[] = "zenity";
    char* argv[] = {program,      icon == message_icon::information ? kind_info : kind_error,
                    title_option, caption_text.data(),
                    text_option,  message_text.data(),
                    no_markup,    nullptr};
    pid_t dialog = 0;
    // Fails when zenity is not on PATH; standard error already has the message.
    if (::posix_spawnp(&dialog, program, nullptr, nullptr, argv, environ) == 0)
        wait_for_child(dialog);
}

bool relaunch_application(const path_string& app_path, const path_string& install_dir)
{
    // The child reports a failed chdir or exec through this pipe; a successful exec closes it
    // (close-on-exec), so end of file without data means the program runs.
    int status_pipe[2];
    if (::pipe2(status_pipe, O_CLOEXEC) != 0)
        return false;
    unique_fd status_read(status_pipe[0]);
    unique_fd status_write(status_pipe[1]);

    // A relative app_path names a program from the helper's working directory, as on Windows, not
    // from install_dir; the program still receives app_path as given.
    path_string program = app_path;
    if (!program.empty() && program.front() != '/') {
        char here[PATH_MAX];
        if (::getcwd(here, sizeof(here)))
            program = std::string(here) + "/" + program;
    }

    // Two forks: the intermediate child ends at once and is reaped here, so the application is
    // never the helper's child, is not waited for and leaves no zombie behind.
    pid_t intermediate = ::fork();
    if (intermediate < 0)
        return false;
    if (intermediate == 0) {
        pid_t application = ::fork();
        if (application < 0)
            report_start_failure(status_write.get(), errno);
        if (application > 0)
            ::_exit(0);
        close_extra_descriptors_on_exec();
        if (::chdir(install_dir.c_str()) != 0)
            report_start_failure(status_write.get(), errno);
        char* argv[] = {const_cast<char*>(app_path.c_str()), nullptr};
        ::execv(program.c_str(), argv);
        report_start_failure(status_write.get(), errno);
    }
    status_write.reset();

    int reported = 0;
    ssize_t received;
    while ((received = ::read(status_read.get(), &reported, sizeof(reported))) < 0 && errno == EINTR) {
    }
    wait_for_child(intermediate);
    return received == 0;
}

} // namespace updater
