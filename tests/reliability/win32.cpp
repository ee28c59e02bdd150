// The sweeps' driver on Windows: the helper's fault-injection build (quillmoor-updater-faults.exe,
// the same sources with tests/fault_injection/win32.cpp), which fails call k of a Win32 function
// with a Windows error or ends itself before it, as QM_FAULTS says, and records every call of the
// backends' call table with its path. Its messages are read from that record, since a message box
// under Wine without a display leaves nothing else to read.
#include "driver.h"

#include "support/test_support.h"
#include "updater/fs/error.h"
#include "updater/fs/fs.h"

#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace updater::reliability {

namespace {

// The exit code of a process that the injection ended at a crash point.
constexpr int killed_exit_code = 137;

std::string fault_item(const injection& fault)
{
    std::string item = fault.error.empty() ? "kill=" : "fail=";
    item.append(fault.call).append("#").append(std::to_string(fault.k));
    if (fault.error.empty())
        return item;
    item.append(":").append(fault.error);
    if (fault.from_then_on)
        item.append("+");
    else if (fault.times > 1)
        item.append("*").append(std::to_string(fault.times));
    return item;
}

// One line of the record: "<n> <call>#<k> <result> <path>", or "INJECTED <n> <call>#<k> e<error>
// <path>" and "KILLED <n> <call>#<k> <path>" for the faults that fired.
struct record_line {
    std::string call;
    long k = 0;
    std::string result;
    std::string path;
    bool injected = false;
    bool killed = false;
};

bool parse(const std::string& line, record_line& out)
{
    std::size_t at = 0;
    if (line.rfind("INJECTED ", 0) == 0) {
        out.injected = true;
        at = 9;
    } else if (line.rfind("KILLED ", 0) == 0) {
        out.killed = true;
        at = 7;
    }
    const std::size_t name = line.find(' ', at);
    const std::size_t hash = line.find('#', name);
    const std::size_t after_k = line.find(' ', hash);
    if (name == std::string::npos || hash == std::string::npos)
        return false;
    out.call = line.substr(name + 1, hash - name - 1);
    out.k = std::atol(line.c_str() + hash + 1);
    if (after_k == std::string::npos)
        return true;
    if (out.killed) {
        out.path = line.substr(after_k + 1);
        return true;
    }
    const std::size_t after_result = line.find(' ', after_k + 1);
    out.result =
        line.substr(after_k + 1, after_result == std::string::npos ? std::string::npos : after_result - after_k - 1);
    if (after_result != std::string::npos)
        out.path = line.substr(after_result + 1);
    return true;
}

bool ends_with(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The calls that are only crash points: a close frees its handle whatever it answers, and the
// message box, the calls before the lock and the forming of a long path belong to no file.
// A killed helper's handles can stay open a moment after it ended (see remove_tree): the next run
// would find the lock taken. Waits until the lock file can be opened alone, as a helper opens it.
void wait_for_handles_to_close(const stdfs::path& lock_file)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        HANDLE handle = CreateFileW(lock_file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
            return;
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION)
            return;
        Sleep(20);
    }
}

bool only_crash_point(const std::string& call)
{
    return call == "CloseHandle" || call == "FindClose" || call == "_close" || call == "MessageBoxW" ||
           call == "GetCommandLineW" || call == "CommandLineToArgvW" || call == "OpenProcess" ||
           call == "WaitForSingleObject" || call == "GetFullPathNameW";
}

} // namespace

running_helper::running_helper(const std::vector<std::string>& args, const std::vector<injection>& injections,
                               bool traced, const stdfs::path& trace_file)
    : traced_(traced), trace_file_(trace_file)
{
    const stdfs::path app(path_from_utf8(args.at(3)));
    lock_file_ = app.parent_path() / ("." + app.filename().string() + ".lock");
    std::error_code ec;
    stdfs::remove(trace_file, ec);
    std::string setting = "record=";
    setting.append(path_to_utf8(trace_file.native()));
    for (const auto& fault : injections)
        setting.append(";").append(fault_item(fault));
    process_ = std::make_unique<test::child_process>(QM_UPDATER_PATH, args,
                                                     std::vector<test::environment_change>{{"QM_FAULTS", setting}});
}

running_helper::~running_helper() = default;

helper_run running_helper::finish()
{
    helper_run r;
    if (!process_->wait_for_exit_within(std::chrono::seconds(run_time_limit_seconds))) {
        r.timed_out = true;
        process_->kill();
        return r;
    }
    r.exit_code = process_->finish();
    r.output = process_->output();
    if (r.exit_code == killed_exit_code)
        wait_for_handles_to_close(lock_file_);
    r.trace = test::read_file(trace_file_);
    for (const auto& line : split_lines(r.trace)) {
        record_line call;
        if (!parse(line, call))
            continue;
        if (call.injected)
            r.injected.push_back(line);
        if (call.killed)
            r.killed = r.exit_code == killed_exit_code;
        if (call.call == "MessageBoxW" && call.result == "ok")
            r.messages.push_back(call.path);
    }
    return r;
}

bool names_call(const std::string& line, const injection& fault)
{
    record_line call;
    if (!parse(line, call) || call.call != fault.call || call.k < fault.k)
        return false;
    return fault.from_then_on || call.k < fault.k + fault.times;
}

bool fired_on_restart(const helper_run&) { return false; }

// Start-up ends where the helper opens its lock file; the injection numbers each call itself.
trace_counts count_calls(const std::string& trace, std::string_view lock_name, std::string_view stop_after)
{
    trace_counts counts;
    bool started = false;
    std::string lock_path_end = "\\";
    lock_path_end.append(lock_name);
    for (const auto& line : split_lines(trace)) {
        record_line call;
        if (!parse(line, call))
            continue;
        long& total = counts.totals[call.call];
        total = std::max(total, call.k);
        if (!started && call.call == "CreateFileW" && ends_with(call.path, lock_path_end))
            started = true;
        if (!started)
            continue;
        if (!stop_after.empty() && line.find(stop_after) != std::string::npos)
            break;
        if (class_of(call.call).empty()) {
            counts.untraced.insert(call.call);
            continue;
        }
        counts.points.push_back({call.call, call.k, line, call.injected});
    }
    return counts;
}

// Every call of the table has a class of its own.
std::string class_of(const std::string& call) { return call; }

bool can_fail(const std::string& call) { return !only_crash_point(call); }

// The errors Windows gives at each call. 2 and 3 only where a file or folder that is there can be
// reported missing for a moment: a path that names it (a scanner that moves a file aside and back,
// a network redirector reconnecting), never a handle already open.
std::vector<std::string> errors_for(const std::string& call)
{
    if (call == "CreateFile2")
        return {"2", "3", "5", "32", "33", "112", "1224"};
    if (call == "CreateFileW") // the lock file
        return {"3", "5", "32", "112"};
    if (call == "GetFileAttributesExW")
        return {"2", "3", "5", "32"};
    if (call == "GetFileInformationByHandleEx") // 87: a volume without the class (FileIdInfo on FAT)
        return {"5", "87"};
    if (call == "SetFileInformationByHandle") // the deletion and the attributes of an open handle
        return {"5", "32", "112", "145", "1224"};
    if (call == "MoveFileExW") // 17: the volumes differ (a mount point between them)
        return {"2", "3", "5", "17", "32", "33", "112", "145", "183", "1224"};
    if (call == "CopyFile2" || call == "CopyFileExW")
        return {"2", "3", "5", "32", "33", "112", "1224"};
    if (call == "CreateDirectoryW")
        return {"3", "5", "112", "183"};
    if (call == "GetFinalPathNameByHandleW")
        return {"1", "3", "5"};
    if (call == "FindFirstFileExW")
        return {"2", "3", "5"};
    if (call == "FindNextFileW")
        return {"5"};
    if (call == "_open_osfhandle" || call == "_fdopen") // errno: out of descriptors
        return {"24"};
    if (call == "CreateProcessW")
        return {"2", "3", "5", "32"};
    return {"5"};
}

bool is_lock_call(const std::string& call) { return call == "CreateFileW"; }

bool is_status_class(const std::string& call_class)
{
    return call_class == "GetFileAttributesExW" || call_class == "GetFileInformationByHandleEx";
}

// Message boxes are never failed.
bool hit_messages(const std::string&) { return false; }

bool runs_fault_series() { return true; }
// A helper run under Wine costs several times one on Linux: CI takes each point once.
bool ci_kills_in_turn() { return true; }
std::string move_class() { return "MoveFileExW"; }
std::string held_file_error() { return std::to_string(ERROR_SHARING_VIOLATION); }

std::string_view log_line_end() { return "\r\n"; }
std::string staging_gone_text() { return system_error(ERROR_PATH_NOT_FOUND).message(); }

std::pair<stdfs::path, stdfs::path> run_folders()
{
    const char* dir = std::getenv("QM_SWEEP_DIR");
    const char* other = std::getenv("QM_OTHER_VOLUME");
    if (!other || !*other)
        throw std::runtime_error("QM_OTHER_VOLUME names no folder on another volume (source scripts/wine-env.sh)");
    const std::string name = "qm-reliability-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    const stdfs::path root = dir && *dir ? stdfs::path(dir) : stdfs::temp_directory_path();
    return {root / name, stdfs::path(other) / name};
}

// Two volumes exactly when a move between them, not allowed to copy, is refused as one across
// volumes (Observed: Wine tells volumes by the Linux file system, not by the drive letter).
void check_volumes(const stdfs::path& disk, const stdfs::path& other)
{
    const stdfs::path probe = disk / "volume-probe";
    test::write_file(probe, "");
    const BOOL moved = MoveFileExW(probe.c_str(), (other / "volume-probe").c_str(), 0);
    const DWORD error = GetLastError();
    remove_tree(probe);
    remove_tree(other / "volume-probe");
    if (moved || error != ERROR_NOT_SAME_DEVICE)
        throw std::runtime_error(other.string() + " is not on another volume than " + disk.string());
}

// Read-only entries are beyond std::filesystem's removal: the helper's own removal first.
// A helper ended at a crash point can keep its handles a moment longer (Observed: Wine closes them
// after the process counts as ended), and its listing handles do not share deletion: removal tries
// again for a while.
void remove_tree(const stdfs::path& root)
{
    error_code removal;
    std::error_code ec;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    do {
        fs::remove_all(root.native(), removal);
        stdfs::remove_all(root, ec);
        if (!stdfs::exists(stdfs::symlink_status(root, ec)))
            return;
        Sleep(20);
    } while (std::chrono::steady_clock::now() < deadline);
    if (stdfs::exists(stdfs::symlink_status(root, ec)))
        throw std::runtime_error("cannot remove " + root.string() + ": " + removal.message() + " (" +
                                 std::to_string(removal.value()) + ")");
}

// A copy: a link to a program that another workspace's application runs from could not be deleted
// (Observed: Wine refuses to delete any name of a file mapped as a running image).
void place_app(const stdfs::path& version, const stdfs::path& place) { stdfs::copy_file(version, place); }

void restrict_file(const stdfs::path& file)
{
    stdfs::permissions(file, stdfs::perms::owner_read | stdfs::perms::group_read | stdfs::perms::others_read);
}

} // namespace updater::reliability
