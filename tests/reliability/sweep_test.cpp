// The sweeps as tests: each broken promise is a failure of its own, and the figures go into the
// reliability table. QM_SWEEP=full tries every errno at every point, once and from then on; the
// default (CI) scope makes one run per point, the errno and the mode taken in turn.
#include "sweep.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>

namespace updater::reliability {
namespace {

const std::vector<const fixture*>& all_fixtures()
{
    static const std::vector<const fixture*> list = {&same_volume_fixture(), &shm_staging_fixture(),
                                                     &unmanifested_fixture()};
    return list;
}

struct results {
    std::mutex mutex;
    std::map<std::string, sweep_figures> fault; // by fixture name
    std::map<std::string, sweep_figures> crash;
    std::map<std::string, sweep_figures> rollback;
    std::optional<concurrency_figures> concurrency;
};

results& collected()
{
    static results r;
    return r;
}

void expect_no_violations(const std::vector<std::string>& violations)
{
    constexpr std::size_t shown = 200;
    for (std::size_t i = 0; i < violations.size() && i < shown; ++i)
        ADD_FAILURE() << violations[i];
    EXPECT_EQ(violations.size(), 0u) << "violations in all (the first " << shown << " are shown)";
}

void run_and_check(const fixture& f, sweep_kind kind)
{
    if (kind == sweep_kind::rollback && !runs_rollback_sweep())
        GTEST_SKIP() << "strace makes one injection per system call, and the rollback's moves are renames like "
                        "the one that fails first";
    const sweep_figures figures = run_sweep(f, kind, scope_from_environment());
    std::size_t points = 0;
    for (const auto& [call_class, count] : figures.points_per_class)
        points += static_cast<std::size_t>(count);
    if (kind == sweep_kind::rollback)
        EXPECT_GT(points, 20u) << "too few calls were recorded for the rollback";
    else
        EXPECT_GT(points, 100u) << "too few calls were recorded for the representative update";
    EXPECT_EQ(figures.not_fired, 0);
    expect_no_violations(figures.violations);
    std::lock_guard lock(collected().mutex);
    (kind == sweep_kind::fault   ? collected().fault
     : kind == sweep_kind::crash ? collected().crash
                                 : collected().rollback)[f.name] = figures;
}

TEST(fault_sweep, same_volume) { run_and_check(same_volume_fixture(), sweep_kind::fault); }
TEST(fault_sweep, staging_on_dev_shm) { run_and_check(shm_staging_fixture(), sweep_kind::fault); }
TEST(fault_sweep, no_manifests) { run_and_check(unmanifested_fixture(), sweep_kind::fault); }

TEST(crash_sweep, same_volume) { run_and_check(same_volume_fixture(), sweep_kind::crash); }
TEST(crash_sweep, staging_on_dev_shm) { run_and_check(shm_staging_fixture(), sweep_kind::crash); }
TEST(crash_sweep, no_manifests) { run_and_check(unmanifested_fixture(), sweep_kind::crash); }

TEST(rollback_sweep, same_volume) { run_and_check(same_volume_fixture(), sweep_kind::rollback); }
TEST(rollback_sweep, staging_on_dev_shm) { run_and_check(shm_staging_fixture(), sweep_kind::rollback); }
TEST(rollback_sweep, no_manifests) { run_and_check(unmanifested_fixture(), sweep_kind::rollback); }

TEST(concurrency, sixteen_helpers_for_one_application)
{
    const concurrency_figures figures = run_concurrency(scope_from_environment() == sweep_scope::full ? 100 : 10, 16);
    expect_no_violations(figures.violations);
    std::lock_guard lock(collected().mutex);
    collected().concurrency = figures;
}

// ---- the table -------------------------------------------------------------------------------------

// "total (a / b / c)" over the fixtures, for the fixtures a test ran.
std::string per_fixture(const std::map<std::string, sweep_figures>& figures,
                        const std::function<long(const sweep_figures&)>& value)
{
    long total = 0;
    std::string parts;
    for (const fixture* f : all_fixtures()) {
        auto found = figures.find(f->name);
        if (found == figures.end())
            continue;
        const long v = value(found->second);
        total += v;
        parts += (parts.empty() ? "" : " / ") + std::to_string(v);
    }
    return std::to_string(total) + " (" + parts + ")";
}

std::string fixture_names(const std::map<std::string, sweep_figures>& figures)
{
    std::string names;
    for (const fixture* f : all_fixtures())
        if (figures.count(f->name))
            names += (names.empty() ? "" : " / ") + f->name;
    return names;
}

// Writes the table's rows ("label<TAB>value") to the file QM_RELIABILITY_ROWS names, once every
// test has run.
class rows_writer : public ::testing::Environment {
public:
    void TearDown() override
    {
        const char* file = std::getenv("QM_RELIABILITY_ROWS");
        if (!file || !*file)
            return;
        std::ofstream out(file, std::ios::app);
        results& r = collected();
        std::lock_guard lock(r.mutex);
        auto row = [&](const std::string& label, const std::string& value) { out << label << '\t' << value << '\n'; };
        long violations = 0;
        long not_fired = 0;
        std::set<std::string> untraced;
        std::set<std::string> crash_only;
        for (const auto* sweeps : {&r.fault, &r.crash, &r.rollback})
            for (const auto& [name, figures] : *sweeps) {
                violations += static_cast<long>(figures.violations.size());
                not_fired += figures.not_fired;
                untraced.insert(figures.untraced_syscalls.begin(), figures.untraced_syscalls.end());
                crash_only.insert(figures.crash_only.begin(), figures.crash_only.end());
            }
        row("Sweep scope", scope_from_environment() == sweep_scope::full
                               ? "full: every errno at every call point"
                               : "CI: one run per call point, errno and mode in turn");
        if (!r.fault.empty()) {
            row("Representative updates (figures below: total (each))", fixture_names(r.fault));
            std::set<std::string> classes;
            for (const auto& [name, figures] : r.fault)
                for (const auto& [call_class, count] : figures.points_per_class)
                    classes.insert(call_class);
            for (const auto& call_class : classes)
                row("Injection points: " + call_class, per_fixture(r.fault, [&](const sweep_figures& f) {
                        auto found = f.points_per_class.find(call_class);
                        return found == f.points_per_class.end() ? 0L : long(found->second);
                    }));
            std::set<std::string> errors;
            for (const auto& [name, figures] : r.fault)
                for (const auto& [error, count] : figures.runs_once)
                    errors.insert(error);
            for (const auto& error : errors) {
                const auto count = [&](const std::map<std::string, int>& runs) {
                    auto found = runs.find(error);
                    return found == runs.end() ? 0L : long(found->second);
                };
                row("Fault runs, " + error + ", failing once",
                    per_fixture(r.fault, [&](const sweep_figures& f) { return count(f.runs_once); }));
                row("Fault runs, " + error + ", failing from then on",
                    per_fixture(r.fault, [&](const sweep_figures& f) { return count(f.runs_from_then_on); }));
            }
            row("Sentinel runs, one past the last call",
                per_fixture(r.fault, [](const sweep_figures& f) { return long(f.sentinels); }));
        }
        if (!r.crash.empty())
            row("Crash points (killed before the call)",
                per_fixture(r.crash, [](const sweep_figures& f) { return long(f.crash_points); }));
        if (!r.rollback.empty()) {
            row("Rollback sweep: first fault", "the last move before the commit fails at each of its 10 attempts");
            std::set<std::string> classes;
            for (const auto& [name, figures] : r.rollback)
                for (const auto& [call_class, count] : figures.points_per_class)
                    classes.insert(call_class);
            for (const auto& call_class : classes)
                row("Rollback calls: " + call_class, per_fixture(r.rollback, [&](const sweep_figures& f) {
                        auto found = f.points_per_class.find(call_class);
                        return found == f.points_per_class.end() ? 0L : long(found->second);
                    }));
            row("Rollback runs, second fault failing once", per_fixture(r.rollback, [](const sweep_figures& f) {
                    long n = 0;
                    for (const auto& [error, count] : f.runs_once)
                        n += count;
                    return n;
                }));
            row("Rollback runs, second fault failing from then on", per_fixture(r.rollback, [](const sweep_figures& f) {
                    long n = 0;
                    for (const auto& [error, count] : f.runs_from_then_on)
                        n += count;
                    return n;
                }));
            row("Rollback runs, killed at a call of the rollback",
                per_fixture(r.rollback, [](const sweep_figures& f) { return long(f.crash_points); }));
        }
        std::map<std::string, sweep_figures> both;
        for (const auto* sweeps : {&r.fault, &r.crash, &r.rollback})
            for (const auto& [name, figures] : *sweeps) {
                sweep_figures& sum = both[name];
                sum.refusal_reruns += figures.refusal_reruns;
                sum.faulted_refusal_reruns += figures.faulted_refusal_reruns;
                sum.recovery_runs += figures.recovery_runs;
                sum.empty_folders_left += figures.empty_folders_left;
            }
        if (!both.empty()) {
            row("Later runs over leftovers, refused (I4)",
                per_fixture(both, [](const sweep_figures& f) { return long(f.refusal_reruns); }));
            row("Later runs over leftovers with their check faulted (I4)",
                per_fixture(both, [](const sweep_figures& f) { return long(f.faulted_refusal_reruns); }));
            row("Runs after the leftovers were dealt with (I5)",
                per_fixture(both, [](const sweep_figures& f) { return long(f.recovery_runs); }));
            row("Runs put back with an empty folder the install made left in place (allowed)",
                per_fixture(both, [](const sweep_figures& f) { return long(f.empty_folders_left); }));
            std::string names;
            for (const auto& name : untraced)
                names += (names.empty() ? "" : ", ") + name;
            row("Calls after start-up not injected (not file-system calls)", names.empty() ? "none" : names);
            names.clear();
            for (const auto& name : crash_only)
                names += (names.empty() ? "" : ", ") + name;
            row("Calls that are crash points only, never failed", names);
        }
        if (r.concurrency) {
            row("Concurrency: rounds of " + std::to_string(r.concurrency->helpers) + " helpers started together",
                std::to_string(r.concurrency->rounds));
            violations += static_cast<long>(r.concurrency->violations.size());
        }
        row("Invariant violations", std::to_string(violations));
        row("Injections that did not fire", std::to_string(not_fired));
    }
};

[[maybe_unused]] ::testing::Environment* const rows_environment = ::testing::AddGlobalTestEnvironment(new rows_writer);

} // namespace
} // namespace updater::reliability
