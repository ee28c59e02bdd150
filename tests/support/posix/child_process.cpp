// Test programs as child processes on POSIX: posix_spawn, output through a pipe.
#include "support/child_process.h"
#include "support/child_process_shared.h"

#include "updater/fs/path.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;

namespace updater::test {

namespace fs = std::filesystem;

namespace {

std::vector<std::string> current_environment()
{
    std::vector<std::string> entries;
    for (char** entry = environ; *entry; ++entry)
        entries.emplace_back(*entry);
    return entries;
}

} // namespace

child_process::child_process(const fs::path& program, const std::vector<std::string>& arguments,
                             const std::vector<environment_change>& environment)
{
    std::vector<std::string> argument_storage{program.string()};
    argument_storage.insert(argument_storage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : argument_storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment_storage = environment_with(environment, current_environment());
    std::vector<char*> envp;
    for (auto& entry : environment_storage)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    int output[2];
    if (::pipe2(output, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    // dup2 clears close-on-exec on the copies only.
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    posix_spawn_file_actions_adddup2(&actions, output[1], 2);
    pid_t pid = 0;
    int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(output[1]);
    if (error != 0) {
        ::close(output[0]);
        throw std::runtime_error("cannot start " + program.string() + ": errno " + std::to_string(error));
    }
    output_fd_ = output[0];
    id_ = static_cast<std::uint32_t>(pid);
}

child_process::~child_process()
{
    if (!finished_)
        kill();
    if (output_fd_ >= 0)
        ::close(output_fd_);
}

std::uint32_t child_process::id() const noexcept { return id_; }

int child_process::wait_for_exit()
{
    if (exited_)
        return exit_code_;
    int status = 0;
    while (::waitpid(static_cast<pid_t>(id_), &status, 0) < 0 && errno == EINTR) {
    }
    exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    exited_ = true;
    return exit_code_;
}

bool child_process::wait_for_exit_within(std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!exited_) {
        int status = 0;
        const pid_t done = ::waitpid(static_cast<pid_t>(id_), &status, WNOHANG);
        if (done == static_cast<pid_t>(id_)) {
            exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            exited_ = true;
        } else if (std::chrono::steady_clock::now() > deadline) {
            return false;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    return true;
}

int child_process::finish()
{
    if (finished_)
        return exit_code_;
    // The output can be read after the exit: a helper writes far less than a pipe holds.
    wait_for_exit();
    char buffer[4096];
    for (;;) {
        ssize_t got = ::read(output_fd_, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        output_.append(buffer, static_cast<std::size_t>(got));
    }
    finished_ = true;
    return exit_code_;
}

void child_process::kill() noexcept
{
    if (finished_)
        return;
    if (!exited_) {
        ::kill(static_cast<pid_t>(id_), SIGKILL);
        wait_for_exit();
    }
    finished_ = true;
}

} // namespace updater::test
