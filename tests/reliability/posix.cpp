// The sweeps' driver on POSIX: the real, unmodified helper under strace, which fails a system call
// or kills the process before it (-e inject), and traces the calls it makes. strace runs the helper
// without following its children, so the application it starts again is never faulted.
#include "driver.h"

#include "support/test_support.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>

#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace updater::reliability {

namespace {

struct call_class {
    std::string name;
    std::vector<std::string> syscalls;
};

// Every file-system call the helper can make, by class. Each call is injected on its own, since
// strace counts "when" per system call.
const std::vector<call_class>& call_classes()
{
    static const std::vector<call_class> classes = {
        {"rename", {"rename", "renameat", "renameat2"}},
        {"mkdir", {"mkdir", "mkdirat"}},
        {"rmdir", {"rmdir"}},
        {"unlink", {"unlink", "unlinkat"}},
        {"open", {"open", "openat", "openat2", "creat"}},
        {"stat", {"stat", "lstat", "fstat", "newfstatat", "statx"}},
        {"getdents", {"getdents", "getdents64"}},
        {"readlink", {"readlink", "readlinkat"}},
        {"read", {"read", "pread64", "readv", "preadv", "preadv2"}},
        {"write", {"write", "pwrite64", "writev", "pwritev", "pwritev2"}},
        {"copy",
         {"copy_file_range", "sendfile", "ftruncate", "fallocate", "fchmod", "fchmodat", "fchown", "utimensat", "fsync",
          "fdatasync"}},
        {"flock", {"flock"}},
        {"fcntl", {"fcntl"}},
        {"close", {"close"}},
    };
    return classes;
}

const std::vector<std::string> fault_errors = {"EIO", "ENOSPC", "EACCES", "EPERM", "EBUSY"};

std::vector<test::environment_change> helper_environment()
{
    // No graphical session: messages go to standard error only. LeakSanitizer cannot work in a
    // traced process.
    const char* asan = std::getenv("ASAN_OPTIONS");
    return {{"DISPLAY", std::nullopt},
            {"WAYLAND_DISPLAY", std::nullopt},
            {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":detect_leaks=0"}};
}

std::string when(const injection& fault)
{
    std::string text = std::to_string(fault.k);
    if (fault.from_then_on)
        return text + "+";
    if (fault.times > 1)
        text += ".." + std::to_string(fault.k + fault.times - 1);
    return text;
}

// Traced: every call when nothing is injected (no signals shown), else only the injected calls;
// -y names the descriptors' files.
std::vector<std::string> strace_options(const std::vector<injection>& injections)
{
    if (injections.empty())
        return {"-e", "signal=none"};
    std::vector<std::string> options = {"-y"};
    std::string traced;
    for (const auto& fault : injections) {
        for (const auto& other : injections)
            if (&other != &fault && other.call == fault.call)
                throw std::runtime_error("strace makes one injection per system call: " + fault.call);
        traced += (traced.empty() ? "" : ",") + fault.call;
        const std::string action = fault.error.empty() ? "signal=KILL" : "error=" + fault.error;
        options.insert(options.end(), {"-e", "inject=" + fault.call + ":" + action + ":when=" + when(fault)});
    }
    options.insert(options.begin() + 1, {"-e", "trace=" + traced});
    return options;
}

std::uint64_t device_of(const stdfs::path& dir)
{
    struct stat st;
    return ::stat(dir.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_dev) : 0;
}

bool is_tmpfs(const stdfs::path& dir)
{
    struct statfs info;
    constexpr long tmpfs_magic = 0x01021994;
    constexpr long ramfs_magic = 0x858458f6;
    return ::statfs(dir.c_str(), &info) == 0 &&
           (static_cast<long>(info.f_type) == tmpfs_magic || static_cast<long>(info.f_type) == ramfs_magic);
}

} // namespace

running_helper::running_helper(const std::vector<std::string>& args, const std::vector<injection>& injections,
                               bool traced, const stdfs::path& trace_file)
    : traced_(traced), trace_file_(trace_file)
{
    std::vector<std::string> command = {"-s", "TERM", "-k", "10", std::to_string(run_time_limit_seconds)};
    if (traced) {
        std::error_code ec;
        stdfs::remove(trace_file, ec);
        command.insert(command.end(), {"/usr/bin/strace", "-qq", "-o", trace_file.string()});
        const std::vector<std::string> options = strace_options(injections);
        command.insert(command.end(), options.begin(), options.end());
    } else if (!injections.empty()) {
        throw std::runtime_error("an injection needs a traced run");
    }
    command.push_back(QM_UPDATER_PATH);
    command.insert(command.end(), args.begin(), args.end());
    process_ = std::make_unique<test::child_process>("/usr/bin/timeout", command, helper_environment());
}

running_helper::~running_helper() = default;

helper_run running_helper::finish()
{
    helper_run r;
    r.exit_code = process_->finish();
    r.output = process_->output();
    r.timed_out = r.exit_code == 124;
    r.messages = split_lines(r.output);
    if (traced_) {
        r.trace = test::read_file(trace_file_);
        for (const auto& line : split_lines(r.trace)) {
            if (line.size() >= 10 && line.compare(line.size() - 10, 10, "(INJECTED)") == 0)
                r.injected.push_back(line);
            if (line == "+++ killed by SIGKILL +++")
                r.killed = true;
        }
    }
    return r;
}

bool names_call(const std::string& line, const injection& fault)
{
    // Only the injected calls are traced, and strace does not number them.
    return line.compare(0, fault.call.size() + 1, fault.call + "(") == 0;
}

bool fired_on_restart(const helper_run& r)
{
    std::string previous;
    for (const auto& line : split_lines(r.trace)) {
        if (line.empty() || line[0] == '-' || line[0] == '+')
            continue;
        if (line.find("(INJECTED)") != std::string::npos)
            return previous.find("= ? ERESTART") != std::string::npos;
        previous = line;
    }
    return false;
}

// Start-up (the loader, the C++ runtime) ends where the helper opens its lock file. A call that a
// signal interrupted (ERESTART...) is made again, and strace counts the second one, but whether the
// signal comes in time differs from run to run: the second is not a point of its own.
trace_counts count_calls(const std::string& trace, std::string_view lock_name, std::string_view stop_after)
{
    trace_counts counts;
    bool started = false;
    std::set<std::string> restarting;
    const std::string lock_argument = "/" + std::string(lock_name) + "\"";
    for (const auto& line : split_lines(trace)) {
        const std::size_t paren = line.find('(');
        if (line.empty() || line[0] == '-' || line[0] == '+' || paren == std::string::npos)
            continue;
        const std::string name = line.substr(0, paren);
        const long k = ++counts.totals[name];
        if (!started && name == "openat" && line.find(lock_argument) != std::string::npos)
            started = true;
        if (!started)
            continue;
        if (!stop_after.empty() && line.find(stop_after) != std::string::npos)
            break;
        const bool restart = restarting.erase(name) > 0;
        if (line.find("= ? ERESTART") != std::string::npos)
            restarting.insert(name);
        if (class_of(name).empty()) {
            counts.untraced.insert(name);
            continue;
        }
        if (!restart)
            counts.points.push_back({name, k, line, line.find("(INJECTED)") != std::string::npos});
    }
    return counts;
}

std::string class_of(const std::string& syscall)
{
    for (const auto& c : call_classes())
        if (std::find(c.syscalls.begin(), c.syscalls.end(), syscall) != c.syscalls.end())
            return c.name;
    return {};
}

// strace fails a call by not making it. A close that is not made keeps its descriptor, which a
// close that fails on Linux never does (the descriptor is freed whatever it answers), and a status
// pipe kept open that way makes the relaunch wait for ever: close is only a crash point.
// Under the sanitizers the runtime writes too (it probes memory through a pipe), and a write failed
// there breaks the runtime, not the helper: writes are failed in the plain build only.
bool can_fail(const std::string& syscall)
{
    const std::string name = class_of(syscall);
#ifdef QM_SANITIZED
    if (name == "write")
        return false;
#endif
    return name != "close";
}

std::vector<std::string> errors_for(const std::string& syscall)
{
    std::vector<std::string> errors = fault_errors;
    if (class_of(syscall) == "rename")
        errors.push_back("EXDEV");
    return errors;
}

bool is_lock_call(const std::string& syscall) { return syscall == "flock"; }
bool is_status_class(const std::string& call_class) { return call_class == "stat"; }

bool hit_messages(const std::string& injected_line)
{
    return injected_line.rfind("write(2<", 0) == 0 || injected_line.rfind("writev(2<", 0) == 0;
}

// strace takes one injection per system call, and the rollback's moves are renames like the one
// that failed first.
bool runs_fault_series() { return false; }
bool ci_kills_in_turn() { return false; }
std::string move_class() { return "rename"; }
std::string held_file_error() { return "EBUSY"; }

std::string_view log_line_end() { return "\n"; }
std::string staging_gone_text() { return system_error(ENOENT).message(); }

std::pair<stdfs::path, stdfs::path> run_folders()
{
    const char* dir = std::getenv("QM_SWEEP_DIR");
    const stdfs::path root(dir && *dir ? dir : "/var/tmp");
    const std::string name = "qm-reliability-" + std::to_string(::getpid()) + "-" +
                             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    return {root / name, stdfs::path("/dev/shm") / name};
}

void check_volumes(const stdfs::path& disk, const stdfs::path& other)
{
    if (is_tmpfs(disk))
        throw std::runtime_error(disk.string() + " is in memory; QM_SWEEP_DIR must name a folder on a disk");
    if (device_of(disk) == device_of(other))
        throw std::runtime_error("/dev/shm is not another file system than " + disk.string());
}

void remove_tree(const stdfs::path& root)
{
    std::error_code ec;
    stdfs::remove_all(root, ec);
}

// A hard link: many workspaces, one file.
void place_app(const stdfs::path& version, const stdfs::path& place)
{
    std::error_code ec;
    stdfs::create_hard_link(version, place, ec);
    if (ec)
        throw std::runtime_error("cannot link " + place.string() + " to " + version.string() + ": " + ec.message());
}

void restrict_file(const stdfs::path& file) { stdfs::permissions(file, stdfs::perms(0600)); }

} // namespace updater::reliability
