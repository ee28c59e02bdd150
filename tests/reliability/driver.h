// What the sweeps need from the platform: how the helper runs with a fault injected (strace on
// POSIX, the helper's fault-injection build on Windows), how its calls are read back, which errors
// each call is failed with, and the folders a sweep works in. sweep.cpp holds everything else, the
// checks from the disk above all, once for both.
#pragma once

#include "support/child_process.h"

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace updater::reliability {

namespace stdfs = std::filesystem;

// The lines of text, without their line ends.
std::vector<std::string> split_lines(const std::string& text);

// One fault: call k of a call (a system call on POSIX, a Win32 or C runtime function on Windows),
// counted from the program's start, fails with error, or the process is killed before it.
struct injection {
    std::string call;
    long k = 0;
    std::string error; // empty: killed before the call
    bool from_then_on = false;
    long times = 1; // consecutive calls of call that fail, from k on (when not from then on)
};

struct helper_run {
    int exit_code = -1;
    bool timed_out = false;
    std::string output;
    std::vector<std::string> messages; // "caption: text" of each message shown
    std::vector<std::string> injected; // a line for each fault that fired
    bool killed = false;               // the process was ended at the injected crash point
    std::string trace;                 // the calls, in the platform's own notation
};

// A run that takes longer than this is stuck; the longest runs (every move and every restore
// failing, each after ten tries) take about a minute.
constexpr int run_time_limit_seconds = 600;

// The helper started with args. traced: its calls are traced into trace_file (Windows always
// traces, since its messages are read from there). With injections, those faults are made; more
// than one needs different calls on POSIX.
class running_helper {
public:
    running_helper(const std::vector<std::string>& args, const std::vector<injection>& injections, bool traced,
                   const stdfs::path& trace_file);
    running_helper(const running_helper&) = delete;
    running_helper& operator=(const running_helper&) = delete;
    ~running_helper();

    // Waits for the helper and its children to end (killed after run_time_limit_seconds).
    helper_run finish();

private:
    std::unique_ptr<test::child_process> process_;
    bool traced_;
    stdfs::path trace_file_;
    stdfs::path lock_file_; // Windows: waited for after a crash point
};

inline helper_run run_helper_process(const std::vector<std::string>& args, const std::vector<injection>& injections,
                                     bool traced, const stdfs::path& trace_file)
{
    return running_helper(args, injections, traced, trace_file).finish();
}

struct call_point {
    std::string call;
    long k = 0;
    std::string line = {}; // as traced
    bool injected = false; // a fault was made there
};

struct trace_counts {
    std::vector<call_point> points; // after start-up, in order, restarted calls left out
    std::map<std::string, long> totals;
    std::set<std::string> untraced; // calls after start-up that no class covers
};

// The calls of a whole-program trace from start-up on (where the helper opens its lock file), up to
// the first that names stop_after when one is given.
trace_counts count_calls(const std::string& trace, std::string_view lock_name, std::string_view stop_after = {});

// Whether line, one of a run's injected calls, is the fault made at call fault.k of fault.call (or,
// from then on, at a later one of that call).
bool names_call(const std::string& line, const injection& fault);

// Whether the injected call was one made again after a signal had interrupted it (POSIX).
bool fired_on_restart(const helper_run& r);

// The class of a call ("" when the sweeps do not cover it), whether it is failed or only a crash
// point, and the errors it is failed with: those the OS really gives there.
std::string class_of(const std::string& call);
bool can_fail(const std::string& call);
std::vector<std::string> errors_for(const std::string& call);
// The class of the calls that take the lock (left out of the leftover check's own calls).
bool is_lock_call(const std::string& call);
// A status query, whose failure makes ".update-backup.tmp" count as present.
bool is_status_class(const std::string& call_class);
// An injected line that kept a message from being shown.
bool hit_messages(const std::string& injected_line);
// Whether the CI scope takes the crash points in turn with the two fault modes (one run per call
// point over the fault and the crash sweep together) rather than killing at every point as well.
bool ci_kills_in_turn();
// Whether several faults can be made in one run with one call failed many times running.
bool runs_fault_series();
// The class of the calls that move files, and the error of a file that another program holds
// open through every attempt to move it.
std::string move_class();
std::string held_file_error();

// The end of a log line as the helper writes it.
std::string_view log_line_end();
// The error a helper reports when the staging folder is gone.
std::string staging_gone_text();

// A fresh pair of folders for one run: one on a disk, one on another volume (/dev/shm; Windows:
// the drive QM_OTHER_VOLUME names). Throws when they are not on two volumes, or the first is in
// memory.
std::pair<stdfs::path, stdfs::path> run_folders();
void check_volumes(const stdfs::path& disk, const stdfs::path& other);
// Removes a tree, read-only entries too; a missing one is fine.
void remove_tree(const stdfs::path& root);
// The application (a version of it from make_apps) at its place in a workspace.
void place_app(const stdfs::path& version, const stdfs::path& place);
// The file of version 1 with permissions of its own: readable by its owner only on POSIX (0600),
// read-only on Windows.
void restrict_file(const stdfs::path& file);

} // namespace updater::reliability
