// The reliability sweeps over the real quillmoor-updater: a representative update is run again and
// again with one file-system call failed, or the process killed before it (by strace on POSIX, by
// the helper's fault-injection build on Windows), and what the user was promised is checked from
// the disk afterwards.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace updater::reliability {

namespace stdfs = std::filesystem;

// ---- what a folder holds ------------------------------------------------------------------------

struct node {
    char kind = '?';   // 'f' file, 'd' directory, 'l' link, 'o' anything else
    unsigned mode = 0; // permission bits
    std::uint64_t size = 0;
    std::uint64_t digest = 0; // of a file's content or a link's target
    friend bool operator==(const node&, const node&) = default;
};

// Relative path ("/" between elements) to what is there; empty when the folder is missing.
using snapshot = std::map<std::string, node>;

snapshot take_snapshot(const stdfs::path& root);
// The entries below rel, relative to it.
snapshot below(const snapshot& whole, const std::string& rel);
// Without rel and everything below it.
snapshot without(snapshot whole, const std::string& rel);
// A short account of how actual differs from expected; empty when they are equal.
std::string difference(const snapshot& expected, const snapshot& actual);

// ---- the representative updates ---------------------------------------------------------------

struct fixture {
    std::string name;
    bool staging_on_shm = false; // staging on another volume (/dev/shm; Windows: QM_OTHER_VOLUME)
    bool manifests = true;       // an installed and a staged "install-manifest.txt"
};

const fixture& same_volume_fixture();
const fixture& shm_staging_fixture();
const fixture& unmanifested_fixture();

// ---- the sweeps ------------------------------------------------------------------------------------

// rollback: a first fault makes the install roll back (the last move fails at every attempt), and
// a second fault or crash point lands in each call of that rollback.
enum class sweep_kind { fault, crash, rollback };
// The CI scope tries every call point too, with one run per point (the errno and the mode taken in
// turn) instead of every errno, once and from then on.
enum class sweep_scope { ci, full };
sweep_scope scope_from_environment();

struct sweep_figures {
    std::map<std::string, int> points_per_class;  // call points tried, by call class
    std::map<std::string, int> runs_once;         // by errno: the call fails once
    std::map<std::string, int> runs_from_then_on; // by errno: it fails from then on
    int crash_points = 0;
    int sentinels = 0;
    int refusal_reruns = 0;         // I4: a later run over what the first left in .update-backup.tmp
    int faulted_refusal_reruns = 0; // I4 with a fault injected into the refusal's own check
    int recovery_runs = 0;          // I5: the update run again once the leftovers were dealt with
    int empty_folders_left = 0;     // I3: put back with a folder the install made left empty
    int not_fired = 0;
    std::vector<std::string> violations;
    std::vector<std::string> untraced_syscalls; // calls made after start-up that no class covers
    std::set<std::string> crash_only;           // classes of calls that are crash points, never failed
};

sweep_figures run_sweep(const fixture& f, sweep_kind kind, sweep_scope scope);
// Whether this platform's sweeps can make the rollback sweep's series of faults.
bool runs_rollback_sweep();

struct concurrency_figures {
    int rounds = 0;
    int helpers = 0;
    std::vector<std::string> violations;
};

// Rounds of helpers started together for one application; they all wait for the same process and
// go at once when it ends.
concurrency_figures run_concurrency(int rounds, int helpers_per_round);

} // namespace updater::reliability
