// Test programs run as real child processes: the arguments passed exactly as given, chosen
// environment variables changed, the output captured, and a way to wait until the process and
// everything it started have ended.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace updater::test {

// A variable to set, or to remove when value is empty.
struct environment_change {
    std::string name;
    std::optional<std::string> value;
};

class child_process {
public:
    // Starts program with arguments (UTF-8; the program name is put first by this class). Standard
    // input is empty; standard output and error are captured together.
    child_process(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                  const std::vector<environment_change>& environment = {});
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;
    // Kills the process when it still runs.
    ~child_process();

    // The process id as the OS (Wine's own, under Wine) gives it.
    std::uint32_t id() const noexcept;

    // Waits for the process itself to end and returns its exit code.
    int wait_for_exit();
    // The same, for at most limit: false when the process still runs then.
    bool wait_for_exit_within(std::chrono::milliseconds limit);
    // Waits until the process and every process it started have ended (at most a minute, then the
    // test fails), and returns its exit code. POSIX: until all of them closed the captured output,
    // which they inherit. Windows: until the job object the process was started in holds none but
    // Wine's own processes.
    int finish();
    void kill() noexcept;

    const std::string& output() const noexcept { return output_; }

private:
    std::uint32_t id_ = 0;
    std::string output_;
    bool exited_ = false;
    bool finished_ = false;
    int exit_code_ = -1;
#ifdef _WIN32
    void* process_ = nullptr;
    void* job_ = nullptr;
    std::filesystem::path output_file_;
#else
    int output_fd_ = -1;
#endif
};

// The path of a tool from tests/tools (QM_TEST_TOOLS), with ".exe" on Windows.
std::filesystem::path tool_path(const std::string& name);

// Waits up to a minute for file to exist, for a process the test cannot wait for; false when it
// did not appear.
bool wait_for_file(const std::filesystem::path& file);

} // namespace updater::test
