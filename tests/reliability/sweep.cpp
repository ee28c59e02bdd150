// The fault, crash and concurrency sweeps, the same on both platforms. Every run starts from a
// freshly written workspace: the installation of version 1 on the disk, version 2 staged beside it
// or on another volume, and sentinel files around them that no run may touch. The platform's driver
// (posix.cpp: strace; win32.cpp: the helper's fault-injection build) makes the faults; the
// application the helper starts again is never faulted.
#include "sweep.h"

#include "driver.h"

#include "support/child_process.h"
#include "support/test_support.h"
#include "updater/fs/error.h"
#include "updater/fs/path.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

namespace updater::reliability {

namespace {

using test::child_process;
using test::environment_change;
using test::read_file;
using test::tree;
using test::write_file;
using test::write_tree;

// ---- names and texts --------------------------------------------------------------------------

const std::string app_name = windows_path_rules ? "Quillmoor.exe" : "Quillmoor";
const std::string lock_name = "." + app_name + ".lock";
const std::string log_name = ".update-helper.log";
const std::string pending_name = ".update-backup.tmp";
const std::string backup_name = ".update-backup";
const std::string staging_rel = "stage/.update-staging";
const std::string earlier_log = "a line of an earlier run\n";

const std::string installed_line = "Installed the staged update";
const std::string not_started_line = "Could not start the program after the update";
const std::string lock_line = "Another update holds the lock, the update was not installed";
const std::string leftover_line =
    "Files from an earlier failed update are in .update-backup.tmp, the update was not installed";
const std::string kept_prefix = "Install failed, some previous files are still in .update-backup.tmp: ";
const std::string restored_prefix = "Install failed, the previous files were put back: ";

const std::string caption = "Quillmoor update: ";
const std::string lock_message =
    caption +
    "Another Quillmoor window is updating this installation, so this update was not installed. Start Quillmoor "
    "again once it has finished.";
const std::string leftover_message =
    caption + "An earlier update could not put back some files of your previous version. They are kept in "
              ".update-backup.tmp in the Quillmoor folder. Copy them back from there, or delete that folder if you no "
              "longer need them, then try the update again. Your installation was not changed.";
const std::string kept_message =
    caption + "Quillmoor could not install the update, and some files of your previous version could not be put back. "
              "They are kept in .update-backup.tmp in the Quillmoor folder. Copy them back from there, or download "
              "Quillmoor again. Your settings and data are not affected.";
const std::string restored_message =
    caption + "Quillmoor could not install the update. Your previous version was put back and will start now. See "
              ".update-helper.log in the Quillmoor folder for details.";

// ---- small helpers ------------------------------------------------------------------------------

bool starts_with(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::string join(const std::vector<std::string>& items, const std::string& separator)
{
    std::string text;
    for (const auto& item : items)
        text += (text.empty() ? "" : separator) + item;
    return text;
}

std::string quoted_lines(const std::vector<std::string>& lines)
{
    std::string text = "[";
    for (const auto& line : lines)
        text += (text.size() > 1 ? ", \"" : "\"") + line + "\"";
    return text + "]";
}

std::uint64_t fnv1a(std::string_view bytes)
{
    std::uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : bytes) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

// Every entry below dir, links not followed. The permission bits are the mode's on POSIX; on
// Windows they tell the read-only attribute.
void walk(const stdfs::path& dir, const std::string& rel, snapshot& out)
{
    std::error_code ec;
    std::vector<stdfs::path> entries;
    for (stdfs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(it->path());
    for (const auto& path : entries) {
        std::string entry_rel = rel;
        if (!entry_rel.empty())
            entry_rel += '/';
        entry_rel += path_to_utf8(path.filename().native());
        node n;
        const stdfs::file_status st = stdfs::symlink_status(path, ec);
        if (ec || !stdfs::exists(st)) {
            out[entry_rel] = n;
            continue;
        }
        n.mode = static_cast<unsigned>(st.permissions()) & 07777;
        if (stdfs::is_directory(st)) {
            n.kind = 'd';
            out[entry_rel] = n;
            walk(path, entry_rel, out);
            continue;
        }
        if (stdfs::is_regular_file(st)) {
            n.kind = 'f';
            n.size = stdfs::file_size(path, ec);
            n.digest = fnv1a(read_file(path));
        } else if (stdfs::is_symlink(st)) {
            n.kind = 'l';
            n.digest = fnv1a(path_to_utf8(stdfs::read_symlink(path, ec).native()));
        } else {
            n.kind = 'o';
        }
        out[entry_rel] = n;
    }
}

std::uint64_t digest_of(const snapshot& s)
{
    std::string text;
    for (const auto& [rel, n] : s)
        text += rel + '\0' + n.kind + std::to_string(n.mode) + ':' + std::to_string(n.size) + ':' +
                std::to_string(n.digest) + '\n';
    return fnv1a(text);
}

// Versions 1 and 2 of the application: the recording app, version 2 with bytes of its own at the
// end. Written once, before any helper runs: a program file that some process still holds open for
// writing cannot be started (ETXTBSY), and the sweep's threads start processes all the time, which
// would inherit such a descriptor. Workspaces link to them (see place_app).
stdfs::path make_apps(const stdfs::path& root)
{
    stdfs::path apps = root / "apps";
    stdfs::create_directories(apps);
    stdfs::copy_file(test::tool_path("record_app"), apps / "1");
    stdfs::copy_file(apps / "1", apps / "2");
    std::ofstream(apps / "2", std::ios::binary | std::ios::app) << "\nversion 2\n";
    return apps;
}

} // namespace

std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// ---- snapshots ------------------------------------------------------------------------------------

snapshot take_snapshot(const stdfs::path& root)
{
    snapshot s;
    walk(root, "", s);
    return s;
}

snapshot below(const snapshot& whole, const std::string& rel)
{
    snapshot part;
    const std::string prefix = rel + "/";
    for (auto it = whole.lower_bound(prefix); it != whole.end() && starts_with(it->first, prefix); ++it)
        part[it->first.substr(prefix.size())] = it->second;
    return part;
}

snapshot without(snapshot whole, const std::string& rel)
{
    whole.erase(rel);
    const std::string prefix = rel + "/";
    for (auto it = whole.lower_bound(prefix); it != whole.end() && starts_with(it->first, prefix);)
        it = whole.erase(it);
    return whole;
}

std::string difference(const snapshot& expected, const snapshot& actual)
{
    std::vector<std::string> notes;
    for (const auto& [rel, n] : expected) {
        auto found = actual.find(rel);
        if (found == actual.end())
            notes.push_back("missing " + rel);
        else if (!(found->second == n))
            notes.push_back("changed " + rel);
    }
    for (const auto& [rel, n] : actual)
        if (!expected.count(rel))
            notes.push_back(std::string("extra ") + rel + (n.kind == 'd' ? "/" : ""));
    if (notes.size() > 8) {
        const std::size_t more = notes.size() - 8;
        notes.resize(8);
        notes.push_back("and " + std::to_string(more) + " more");
    }
    return join(notes, ", ");
}

// ---- fixtures ---------------------------------------------------------------------------------------

const fixture& same_volume_fixture()
{
    static const fixture f{"same volume", false, true};
    return f;
}

const fixture& shm_staging_fixture()
{
    static const fixture f{"staging on /dev/shm", true, true};
    return f;
}

const fixture& unmanifested_fixture()
{
    static const fixture f{"no manifests", false, false};
    return f;
}

namespace {

// Version 1 as installed: replaced files at three depths (one of them with permissions of its own,
// see restrict_file), a retired file, a kept one, a file that becomes a folder, the user's folder, and the
// backup of the update before. The application itself is added as a link to the recording app.
tree installed_tree(const fixture& f)
{
    tree t = {
        {"readme.txt", "version 1"},
        {"data/colors.txt", "red green blue"},
        {"data/sub/deep.txt", "deep, version 1"},
        {"plugins/old.so", "retired by version 2"},
        {"lib/keep.so", "kept as it is"},
        {"user/settings.ini", "the user's own"},
        {"user/profiles/default.txt", "the user's profile"},
        {backup_name + "/readme.txt", "version 0"},
        {backup_name + "/data/colors.txt", "red green"},
        {log_name, earlier_log},
    };
    if (f.manifests) {
        t["install-manifest.txt"] =
            app_name + "\nreadme.txt\ndata/colors.txt\ndata/sub/deep.txt\nplugins/old.so\ndocs\nlib/keep.so\n";
        t["docs"] = "a file that becomes a folder";
    }
    return t;
}

// Version 2 as staged: three replacements, new files in an existing, a deeper and a new folder
// (one executable), a default for the user's folder that must never be installed.
tree staged_tree(const fixture& f)
{
    tree t = {
        {"readme.txt", "version 2"},
        {"data/colors.txt", "red green blue cyan"},
        {"data/sub/deep.txt", "deep, version 2"},
        {"data/sub/new.txt", "new in version 2"},
        {"plugins/new.so", "a new plugin"},
        {"tools/run.sh", "#!/bin/sh\necho version 2\n"},
        {"user/settings.ini", "a default that must not replace the user's"},
    };
    if (f.manifests) {
        t["install-manifest.txt"] = app_name + "\nreadme.txt\ndata/colors.txt\ndata/sub/deep.txt\ndata/sub/"
                                               "new.txt\nplugins/new.so\ndocs/guide.txt\nlib/keep.so\n"
                                               "tools/run.sh\n";
        t["docs/guide.txt"] = "the guide, where a file was";
    }
    return t;
}

// What no run may touch, around the installation and the staging folder.
const tree disk_sentinels = {
    {"neighbour.txt", "next to the installation"},
    {"outside/sentinel.txt", "outside"},
    {"outside/nested/deeper.bin", std::string("\0\1\2binary", 9)},
    {"stage/other.txt", "beside the staging folder"},
};
const tree shm_sentinels = {
    {"sentinel.txt", "beside the staging on /dev/shm"},
    {"stage/other.txt", "beside the staging folder"},
};

// The parts of the installation that a run changes besides the update: the log (its lines are
// checked on their own), the lock file, and what the recording application writes.
snapshot without_volatile(snapshot s)
{
    for (const std::string& name : {log_name, lock_name, app_name + ".record", app_name + ".record.partial"})
        s = without(std::move(s), name);
    return s;
}

// The installation proper: without the backups either.
snapshot proper(snapshot s) { return without(without(without_volatile(std::move(s)), backup_name), pending_name); }

class workspace {
public:
    workspace(const stdfs::path& disk, const stdfs::path& shm, const fixture& f, const stdfs::path& apps)
        : disk_(disk), shm_(shm), fixture_(f), apps_(apps), install_(disk / "app"),
          staging_((f.staging_on_shm ? shm : disk) / staging_rel), app_(install_ / app_name)
    {
    }

    // Version 1 installed, version 2 staged, the sentinels around them.
    void prepare() const
    {
        clear();
        write_tree(install_, installed_tree(fixture_));
        restrict_file(install_ / "data/colors.txt");
        place_app(apps_ / "1", app_);
        write_tree(disk_, disk_sentinels);
        write_tree(shm_, shm_sentinels);
        restage();
    }

    // The same update staged afresh, as the application would download it again. Without a
    // manifest the update is all that is staged, so it brings the application too.
    void restage() const
    {
        remove_tree(staging_);
        write_tree(staging_, staged_tree(fixture_));
        stdfs::permissions(staging_ / "tools/run.sh", stdfs::perms(0755));
        if (!fixture_.manifests)
            place_app(apps_ / "2", staging_ / app_name);
    }

    void clear() const
    {
        remove_tree(disk_);
        remove_tree(shm_);
    }

    // Everything of the workspace but the installation and the staging folder.
    std::pair<snapshot, snapshot> outside() const
    {
        return {without(without(take_snapshot(disk_), "app"), staging_rel), without(take_snapshot(shm_), staging_rel)};
    }

    std::vector<std::string> arguments() const { return {"0", staging_.string(), install_.string(), app_.string()}; }

    const stdfs::path& disk() const { return disk_; }
    const stdfs::path& shm() const { return shm_; }
    const stdfs::path& install() const { return install_; }
    const stdfs::path& staging() const { return staging_; }
    stdfs::path pending() const { return install_ / pending_name; }
    stdfs::path log() const { return install_ / log_name; }
    stdfs::path lock() const { return install_ / lock_name; }
    stdfs::path record() const { return install_ / (app_name + ".record"); }

private:
    stdfs::path disk_;
    stdfs::path shm_;
    const fixture& fixture_;
    stdfs::path apps_;
    stdfs::path install_;
    stdfs::path staging_;
    stdfs::path app_;
};

// ---- running the helper -------------------------------------------------------------------------

struct run_result : helper_run {
    std::vector<std::string> log_lines; // lines the run added to the log
    bool log_kept = true;               // the log still begins with what it held before
};

std::vector<std::string> split_log(const std::string& text)
{
    std::vector<std::string> lines = split_lines(text);
    const std::string_view end = log_line_end();
    if (end.size() == 2)
        for (auto& line : lines)
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
    return lines;
}

// Runs the helper over ws: traced into trace_file, with the given faults, when traced.
run_result run_helper(const workspace& ws, const std::vector<injection>& injections, bool traced,
                      const stdfs::path& trace_file)
{
    std::error_code ec;
    stdfs::remove(ws.record(), ec);
    const std::string log_before = stdfs::exists(ws.log(), ec) ? read_file(ws.log()) : "";
    run_result r;
    static_cast<helper_run&>(r) = run_helper_process(ws.arguments(), injections, traced, trace_file);
    const std::string log_after = stdfs::exists(ws.log(), ec) ? read_file(ws.log()) : "";
    r.log_kept = starts_with(log_after, log_before);
    if (r.log_kept)
        r.log_lines = split_log(log_after.substr(log_before.size()));
    return r;
}

struct reference {
    snapshot before;       // the installation of version 1, without the volatile entries
    snapshot before_files; // its files that the promise covers: all but the old backup's
    std::pair<snapshot, snapshot> outside;
    snapshot installed; // the installation proper after a fault-free run
    snapshot backup;    // .update-backup after it, less a backup manifest
    bool backup_manifest_written = false;
    snapshot update_files; // what the update brings and the user's folder, as installed
    trace_counts calls;
    std::vector<call_point> refusal_points;  // the leftover check's own calls
    injection rollback_first;                // the rollback sweep's first fault
    std::vector<call_point> rollback_points; // the calls of the rollback it causes
};

// The attempts the helper makes at one move before it gives up.
constexpr long attempts_per_move = 10;

// ---- checking a run ---------------------------------------------------------------------------------

enum class outcome { unknown, installed, lock_refused, leftover_refused, failed_kept, failed_restored };

const char* name_of(outcome o)
{
    switch (o) {
    case outcome::installed:
        return "installed";
    case outcome::lock_refused:
        return "lock refusal";
    case outcome::leftover_refused:
        return "leftover refusal";
    case outcome::failed_kept:
        return "failed, files kept in .update-backup.tmp";
    case outcome::failed_restored:
        return "failed, previous files put back";
    default:
        return "unknown";
    }
}

struct log_reading {
    bool valid = false;
    outcome what = outcome::unknown;
    bool not_started = false;
};

log_reading read_log_lines(const std::vector<std::string>& lines)
{
    log_reading reading;
    if (lines.empty())
        return reading;
    const std::string& first = lines[0];
    const bool may_add_not_started = lines.size() == 2 && lines[1] == not_started_line;
    auto text_ok = [&](const std::string& prefix) {
        return first.size() > prefix.size() && first.find('\r') == std::string::npos;
    };
    if (first == installed_line)
        reading.what = outcome::installed;
    else if (first == lock_line)
        reading.what = outcome::lock_refused;
    else if (first == leftover_line)
        reading.what = outcome::leftover_refused;
    else if (starts_with(first, kept_prefix) && text_ok(kept_prefix))
        reading.what = outcome::failed_kept;
    else if (starts_with(first, restored_prefix) && text_ok(restored_prefix))
        reading.what = outcome::failed_restored;
    else
        return reading;
    const bool relaunching = reading.what == outcome::installed || reading.what == outcome::failed_restored;
    reading.not_started = may_add_not_started;
    reading.valid = lines.size() == 1 || (relaunching && may_add_not_started);
    return reading;
}

// The outcome a single message line shows; installed for none.
std::optional<outcome> read_messages(const std::vector<std::string>& messages)
{
    if (messages.empty())
        return outcome::installed;
    if (messages.size() != 1)
        return std::nullopt;
    if (messages[0] == lock_message)
        return outcome::lock_refused;
    if (messages[0] == leftover_message)
        return outcome::leftover_refused;
    if (messages[0] == kept_message)
        return outcome::failed_kept;
    if (messages[0] == restored_message)
        return outcome::failed_restored;
    return std::nullopt;
}

bool holds_anything(const stdfs::path& pending)
{
    std::error_code ec;
    const auto status = stdfs::symlink_status(pending, ec);
    if (!stdfs::exists(status))
        return false;
    if (!stdfs::is_directory(status))
        return true;
    return !stdfs::is_empty(pending, ec) || static_cast<bool>(ec);
}

// Whether a fault hit a query or a listing of .update-backup.tmp itself: the traced path ends
// there (strace: in quotes; Windows: at the line's end, or with the listing's "\*").
bool examined_pending(const run_result& r)
{
    return std::any_of(r.injected.begin(), r.injected.end(), [](const std::string& line) {
        return line.find(pending_name + "\"") != std::string::npos ||
               line.find(pending_name + "\\*") != std::string::npos ||
               (line.size() >= pending_name.size() &&
                line.compare(line.size() - pending_name.size(), pending_name.size(), pending_name) == 0);
    });
}

class checker {
public:
    checker(const reference& ref, const workspace& ws) : ref_(ref), ws_(ws) {}

    void violation(const std::string& what) { violations.push_back(what); }

    // I1: the new version installed with nothing pending, or every file of version 1 at its place
    // or at its place in .update-backup.tmp, byte for byte.
    void check_nothing_lost(const snapshot& now)
    {
        std::error_code ec;
        if (proper(now) == ref_.installed && !stdfs::exists(stdfs::symlink_status(ws_.pending(), ec)))
            return;
        const snapshot pending = below(now, pending_name);
        std::vector<std::string> lost;
        for (const auto& [rel, n] : ref_.before_files) {
            auto at_place = now.find(rel);
            auto in_pending = pending.find(rel);
            if ((at_place == now.end() || !(at_place->second == n)) &&
                (in_pending == pending.end() || !(in_pending->second == n)))
                lost.push_back(rel);
        }
        if (!lost.empty())
            violation("I1: files of version 1 neither in place nor in .update-backup.tmp: " + join(lost, ", "));
    }

    // I2: the new version and the user's untouched folder, and the files it replaced kept as the
    // backup (renamed or, when the commit could not rename it, still pending). A backup manifest
    // leaves out what its scan could not list, by design, so it is not compared.
    void check_installed(const snapshot& now)
    {
        if (proper(now) != ref_.installed)
            violation("I2: installed, but the installation differs from version 2: " +
                      difference(ref_.installed, proper(now)));
        const snapshot backup = backup_files(below(now, backup_name));
        const snapshot pending = backup_files(below(now, pending_name));
        if (backup != ref_.backup && pending != ref_.backup)
            violation("I2: installed, but the replaced files are not kept: in .update-backup " +
                      difference(ref_.backup, backup) + "; in .update-backup.tmp " + difference(ref_.backup, pending));
    }

    // I5: the update in place: its files, and the user's folder as it was.
    void check_update_in_place(const snapshot& now)
    {
        std::vector<std::string> wrong;
        for (const auto& [rel, n] : ref_.update_files) {
            auto found = now.find(rel);
            if (found == now.end() || !(found->second == n))
                wrong.push_back(rel);
        }
        if (!wrong.empty())
            violation("I5: installed once the leftovers were dealt with, but not as staged: " + join(wrong, ", "));
    }

    snapshot backup_files(snapshot backup) const
    {
        return ref_.backup_manifest_written ? without(std::move(backup), "install-manifest.txt") : backup;
    }

    // I3: the previous installation exactly, and no .update-backup.tmp.
    // A folder that a move-in made and the rollback could not remove stays with no file in it, and
    // the install still counts as put back (tests/install/transaction_test.cpp): such folders are
    // allowed here and counted, anything else is a violation.
    void check_restored(const snapshot& now)
    {
        snapshot installed = without_volatile(now);
        std::vector<std::string> made;
        for (const auto& [rel, n] : installed)
            if (n.kind == 'd' && !ref_.before.count(rel)) {
                const snapshot inside = below(installed, rel);
                if (std::all_of(inside.begin(), inside.end(),
                                [](const auto& entry) { return entry.second.kind == 'd'; }))
                    made.push_back(rel);
            }
        for (const auto& rel : made)
            installed = without(std::move(installed), rel);
        if (installed != ref_.before)
            violation("I3: put back, but the installation differs from version 1: " +
                      difference(ref_.before, installed));
        else if (!made.empty())
            ++empty_folders_left;
    }

    void check_unchanged(const snapshot& now, const snapshot& expected, const std::string& what)
    {
        if (without_volatile(now) != expected)
            violation(what + ", but the installation changed: " + difference(expected, without_volatile(now)));
    }

    void check_outside()
    {
        const auto now = ws_.outside();
        if (now.first != ref_.outside.first)
            violation("outside: the disk around the installation changed: " +
                      difference(ref_.outside.first, now.first));
        if (now.second != ref_.outside.second)
            violation("outside: /dev/shm around the staging changed: " + difference(ref_.outside.second, now.second));
        std::error_code ec;
        if (stdfs::exists(ws_.lock(), ec) &&
            (!stdfs::is_regular_file(ws_.lock(), ec) || stdfs::file_size(ws_.lock(), ec) != 0))
            violation("outside: the lock file is not an empty file");
    }

    // The outcome the run tells, from its log, its message and its exit code, checked against
    // each other and against the disk. Log lines and messages that an injected fault kept from
    // being written are not required.
    outcome check_run(const run_result& r, const snapshot& now, const std::string& injected_class)
    {
        bool log_hit = !r.log_kept;
        bool messages_hit = false;
        for (const auto& line : r.injected) {
            log_hit = log_hit || line.find(log_name) != std::string::npos;
            messages_hit = messages_hit || hit_messages(line);
        }
        if (r.timed_out) {
            violation("the helper did not end within " + std::to_string(run_time_limit_seconds) + " s");
            return outcome::unknown;
        }
        if (r.exit_code != 0 && r.exit_code != 1) {
            violation("exit code " + std::to_string(r.exit_code) + ", output: " + r.output);
            return outcome::unknown;
        }

        const log_reading log = read_log_lines(r.log_lines);
        if (!log.valid && !(log_hit && r.log_lines.empty()))
            violation("I6: the log lines " + quoted_lines(r.log_lines) + " are not what any outcome writes" +
                      (log_hit ? " (the log was faulted)" : ""));
        const std::optional<outcome> shown = read_messages(r.messages);
        if (!shown)
            violation("unexpected output " + quoted_lines(r.messages));
        const bool message_known = shown && !(messages_hit && r.messages.empty());

        outcome what = log.valid ? log.what : message_known ? *shown : outcome::unknown;
        if (log.valid && message_known && log.what != *shown)
            violation(std::string("I6: the log tells \"") + name_of(log.what) + "\", the message \"" + name_of(*shown) +
                      "\"");
        if (what == outcome::unknown && r.exit_code == 0)
            what = outcome::installed;

        if (r.exit_code == 0 && what != outcome::installed)
            violation(std::string("I2: exit code 0 after \"") + name_of(what) + "\"");
        if (r.exit_code == 0 && !log_hit && !(log.valid && log.what == outcome::installed))
            violation("I2: exit code 0 without \"Installed the staged update\" in the log");
        if (r.exit_code == 1 && what == outcome::installed && log.valid && !log.not_started && !log_hit &&
            !messages_hit)
            violation("exit code 1 after an install whose relaunch is not reported as failed");

        std::error_code ec;
        const bool pending_exists = stdfs::exists(stdfs::symlink_status(ws_.pending(), ec));
        const bool started = stdfs::exists(ws_.record(), ec);
        switch (what) {
        case outcome::installed:
            check_installed(now);
            if (r.exit_code == 0 && !started)
                violation("exit code 0, but the application was not started");
            break;
        case outcome::failed_restored:
            check_restored(now);
            if (pending_exists)
                violation("I3: put back, but .update-backup.tmp is still there");
            break;
        case outcome::failed_kept:
            // A status of .update-backup.tmp that cannot be read counts as existing, and so does a
            // listing of it that fails.
            if (!pending_exists && !is_status_class(injected_class) && !examined_pending(r))
                violation("\"some previous files are still in .update-backup.tmp\", but it is absent");
            if (started)
                violation("the application was started although files were not put back");
            break;
        case outcome::lock_refused:
        case outcome::leftover_refused:
            check_unchanged(now, ref_.before, std::string("refused (") + name_of(what) + ")");
            if (started)
                violation("the application was started after a refusal");
            break;
        case outcome::unknown:
            break;
        }
        check_nothing_lost(now);
        return what;
    }

    std::vector<std::string> violations;
    int empty_folders_left = 0; // runs put back with a folder the install made left empty

private:
    const reference& ref_;
    const workspace& ws_;
};

// Puts the leftovers back as the message tells the user to: the files in .update-backup.tmp are
// copied back over what stands at their places, or, when the installation is the new version
// already, the folder is deleted.
void recover_by_hand(const workspace& ws, const reference& ref)
{
    if (proper(take_snapshot(ws.install())) != ref.installed) {
        for (const auto& [rel, n] : take_snapshot(ws.pending())) {
            if (n.kind == 'd')
                continue;
            const stdfs::path target = ws.install() / rel;
            // A new file or folder where a folder or file of version 1 belongs goes.
            for (stdfs::path level = ws.install(); const auto& element : stdfs::path(rel).parent_path()) {
                level /= element;
                if (stdfs::exists(stdfs::symlink_status(level)) && !stdfs::is_directory(stdfs::symlink_status(level)))
                    stdfs::remove(level);
            }
            // What stands at the place goes first (a rename onto a file does not replace it on
            // Windows).
            if (stdfs::exists(stdfs::symlink_status(target)))
                remove_tree(target);
            stdfs::create_directories(target.parent_path());
            stdfs::rename(ws.pending() / rel, target);
        }
    }
    remove_tree(ws.pending());
}

// ---- one sweep ---------------------------------------------------------------------------------------

struct job {
    call_point point;
    std::string error; // for a fault: the error; empty for a crash
    bool from_then_on = false;
    bool sentinel = false; // one past the last call: nothing may fire
    std::string label;
    std::vector<injection> first = {}; // faults made before this one (the rollback sweep's first)
};

struct job_result {
    std::vector<std::string> violations;
    bool not_fired = false;
    int refusal_reruns = 0;
    int faulted_refusal_reruns = 0;
    int recovery_runs = 0;
    int empty_folders_left = 0;
};

struct sweep_context {
    sweep_context(const fixture& swept, sweep_kind sweep, sweep_scope extent) : f(swept), kind(sweep), scope(extent)
    {
        std::tie(root, shm_root) = run_folders();
    }

    const fixture& f;
    sweep_kind kind;
    sweep_scope scope;
    reference ref;
    stdfs::path root;
    stdfs::path shm_root;
    stdfs::path apps;
    std::mutex mutex;
    std::set<std::uint64_t> refusal_states_tried;
    int kept_failures = 0;
};

// Whether the fault of call point k of call fired: a line of the injected calls names it.
bool fired(const run_result& r, const injection& fault)
{
    for (const auto& line : r.injected)
        if (names_call(line, fault))
            return true;
    return false;
}

class sweep_worker {
public:
    sweep_worker(sweep_context& context, int id)
        : c_(context), ws_(context.root / ("w" + std::to_string(id)), context.shm_root / ("w" + std::to_string(id)),
                           context.f, context.apps),
          trace_(context.root / ("trace-" + std::to_string(id) + ".txt"))
    {
    }

    job_result execute(const job& j)
    {
        job_result result;
        const bool crash = j.error.empty() && !j.sentinel;
        const std::string error = j.sentinel ? errors_for(j.point.call).front() : j.error;
        run_result r;
        injection fault;
        // A sentinel can meet one more call than the reference run made, when a signal interrupted a
        // call this time (see count_calls): it moves on past it.
        for (long k = j.point.k, tries = 0; tries == 0 || (j.sentinel && tries < 3 && fired_on_restart(r));
             ++k, ++tries) {
            ws_.prepare();
            fault = {j.point.call, k, error, j.from_then_on};
            std::vector<injection> faults = j.first;
            faults.push_back(fault);
            r = run_helper(ws_, faults, true, trace_);
        }
        checker check(c_.ref, ws_);
        const snapshot now = take_snapshot(ws_.install());
        if (j.sentinel) {
            if (!r.injected.empty() || r.killed)
                check.violation("I7: the sentinel one past the last call fired: " + join(r.injected, "; "));
            if (r.exit_code != 0 || r.log_lines != std::vector<std::string>{installed_line} || !r.messages.empty())
                check.violation("I7: the sentinel run did not install normally: exit code " +
                                std::to_string(r.exit_code) + ", log " + quoted_lines(r.log_lines) + ", output " +
                                quoted_lines(r.messages));
            check.check_installed(now);
            check.check_outside();
        } else if (crash) {
            if (!r.killed) {
                result.not_fired = true;
                check.violation("I7: the crash before call " + std::to_string(j.point.k) + " did not happen");
            }
            check.check_nothing_lost(now);
            check.check_outside();
        } else {
            if (!fired(r, fault)) {
                result.not_fired = true;
                check.violation("I7: the injection did not fire");
            }
            check.check_run(r, now, class_of(j.point.call));
            check.check_outside();
        }
        if (!j.sentinel)
            follow_up(check, result);
        result.violations = std::move(check.violations);
        result.empty_folders_left = check.empty_folders_left;
        if (!result.violations.empty())
            keep_failure(j, r);
        return result;
    }

private:
    // I4: a later run refuses over whatever .update-backup.tmp holds and leaves it as it is, also
    // with its own check faulted. I5: once the leftovers are dealt with, the update installs.
    void follow_up(checker& check, job_result& result)
    {
        if (holds_anything(ws_.pending())) {
            const snapshot state = without_volatile(take_snapshot(ws_.install()));
            const run_result again = run_helper(ws_, {}, false, trace_);
            ++result.refusal_reruns;
            check_refusal(check, again, state, "I4");

            bool first_time = false;
            {
                std::lock_guard lock(c_.mutex);
                first_time = c_.refusal_states_tried.insert(digest_of(state)).second;
            }
            if (first_time) {
                std::size_t turn = static_cast<std::size_t>(digest_of(state));
                for (const auto& point : c_.ref.refusal_points) {
                    const std::vector<std::string> errors = errors_for(point.call);
                    const std::string& error = errors[turn++ % errors.size()];
                    const injection fault{point.call, point.k, error, true};
                    const run_result faulted = run_helper(ws_, {fault}, true, trace_);
                    ++result.faulted_refusal_reruns;
                    const std::string label = "I4 with " + point.call + " #" + std::to_string(point.k) + " " + error;
                    if (!fired(faulted, fault)) {
                        result.not_fired = true;
                        check.violation(label + ": the injection did not fire");
                    }
                    check_refusal(check, faulted, state, label);
                }
            }
            recover_by_hand(ws_, c_.ref);
        }
        ws_.restage();
        const run_result final_run = run_helper(ws_, {}, false, trace_);
        ++result.recovery_runs;
        if (final_run.exit_code != 0 || final_run.log_lines != std::vector<std::string>{installed_line} ||
            !final_run.messages.empty())
            check.violation("I5: once the leftovers were dealt with, the update did not install: exit code " +
                            std::to_string(final_run.exit_code) + ", log " + quoted_lines(final_run.log_lines) +
                            ", output " + quoted_lines(final_run.messages));
        else
            check.check_update_in_place(take_snapshot(ws_.install()));
        check.check_outside();
    }

    void check_refusal(checker& check, const run_result& r, const snapshot& state, const std::string& label)
    {
        bool log_hit = !r.log_kept;
        bool messages_hit = false;
        for (const auto& line : r.injected) {
            log_hit = log_hit || line.find(log_name) != std::string::npos;
            messages_hit = messages_hit || hit_messages(line);
        }
        if (r.exit_code != 1)
            check.violation(label + ": exit code " + std::to_string(r.exit_code) + " over leftovers");
        if (r.log_lines != std::vector<std::string>{leftover_line} && !(log_hit && r.log_lines.empty()))
            check.violation(label + ": the log tells " + quoted_lines(r.log_lines) + " over leftovers");
        if (r.messages != std::vector<std::string>{leftover_message} && !(messages_hit && r.messages.empty()))
            check.violation(label + ": the output is " + quoted_lines(r.messages) + " over leftovers");
        const snapshot after = without_volatile(take_snapshot(ws_.install()));
        if (after != state)
            check.violation(label + ": the leftovers or the installation changed: " + difference(state, after));
        std::error_code ec;
        if (stdfs::exists(ws_.record(), ec))
            check.violation(label + ": the application was started after the leftover refusal");
    }

    // A copy of the workspace and the trace of a run that broke a promise, for a closer look.
    void keep_failure(const job& j, const run_result& r)
    {
        int number = 0;
        {
            std::lock_guard lock(c_.mutex);
            if (c_.kept_failures >= 20)
                return;
            number = ++c_.kept_failures;
        }
        std::string name = std::to_string(number) + "-" + j.label;
        for (char& ch : name)
            if (ch == '/' || ch == ' ' || ch == '#')
                ch = '_';
        const stdfs::path kept = c_.root / "failed" / name;
        std::error_code ec;
        stdfs::create_directories(kept, ec);
        stdfs::copy(ws_.disk(), kept / "disk", stdfs::copy_options::recursive | stdfs::copy_options::copy_symlinks, ec);
        stdfs::copy(ws_.shm(), kept / "shm", stdfs::copy_options::recursive | stdfs::copy_options::copy_symlinks, ec);
        write_file(kept / "first-run.txt", "exit code " + std::to_string(r.exit_code) + "\noutput:\n" + r.output +
                                               "\nlog lines:\n" + join(r.log_lines, "\n") + "\ntrace:\n" + r.trace);
    }

    sweep_context& c_;
    workspace ws_;
    stdfs::path trace_;
};

std::size_t worker_count()
{
    if (const char* jobs = std::getenv("QM_SWEEP_JOBS"))
        return std::max(1, std::atoi(jobs));
    // Most of the long runs sleep between move attempts, so more runs than cores pay.
    return std::max(4u, 8 * std::max(1u, std::thread::hardware_concurrency()));
}

// The rollback sweep's first fault: the last move of the install before the commit fails for good
// (a file held by another program through every attempt), which makes the longest rollback. Its
// calls, from the first after the fault up to the log line, are where the second fault goes.
void record_rollback(reference& ref, const workspace& ws, const stdfs::path& trace)
{
    const call_point* last_move = nullptr;
    for (const auto& point : ref.calls.points)
        if (class_of(point.call) == move_class()) {
            // The commit: .update-backup.tmp renamed to .update-backup.
            const std::size_t pending = point.line.find(pending_name);
            if (pending != std::string::npos &&
                point.line.find(backup_name, pending + pending_name.size()) != std::string::npos)
                break;
            last_move = &point;
        }
    if (!last_move)
        throw std::runtime_error("the reference run made no move before its commit");
    ref.rollback_first = {last_move->call, last_move->k, held_file_error(), false, attempts_per_move};
    ws.prepare();
    const run_result r = run_helper(ws, {ref.rollback_first}, true, trace);
    if (r.exit_code != 1 || r.log_lines.size() != 1 || !starts_with(r.log_lines[0], restored_prefix))
        throw std::runtime_error("the rollback sweep's first fault did not make the install roll back: exit code " +
                                 std::to_string(r.exit_code) + ", log " + quoted_lines(r.log_lines));
    const std::vector<call_point> points = count_calls(r.trace, lock_name, log_name).points;
    auto last_injected = std::find_if(points.rbegin(), points.rend(), [](const call_point& p) { return p.injected; });
    if (last_injected == points.rend())
        throw std::runtime_error("the rollback sweep's first fault did not fire");
    ref.rollback_points.assign(last_injected.base(), points.end());
    if (ref.rollback_points.empty())
        throw std::runtime_error("the rollback made no calls");
}

reference record_reference(sweep_context& c)
{
    reference ref;
    workspace ws(c.root / "reference", c.shm_root / "reference", c.f, c.apps);
    const stdfs::path trace = c.root / "reference-trace.txt";

    ws.prepare();
    ref.before = without_volatile(take_snapshot(ws.install()));
    for (const auto& [rel, n] : ref.before)
        if (n.kind != 'd' && !starts_with(rel, backup_name + "/"))
            ref.before_files[rel] = n;
    ref.outside = ws.outside();
    const snapshot staged = take_snapshot(ws.staging());
    const run_result r = run_helper(ws, {}, true, trace);
    if (r.exit_code != 0 || r.log_lines != std::vector<std::string>{installed_line} || !r.messages.empty())
        throw std::runtime_error("the fault-free run did not install: exit code " + std::to_string(r.exit_code) +
                                 ", output " + r.output);
    const snapshot after = take_snapshot(ws.install());
    ref.installed = proper(after);
    ref.backup_manifest_written = !c.f.manifests;
    ref.backup = below(after, backup_name);
    if (ref.backup_manifest_written)
        ref.backup = without(ref.backup, "install-manifest.txt");
    ref.calls = count_calls(r.trace, lock_name);
    for (const auto& [rel, n] : ref.installed)
        if (n.kind != 'd' && (staged.count(rel) || rel == "install-manifest.txt" || starts_with(rel, "user/")))
            ref.update_files[rel] = n;

    // The leftover refusal's own calls: after the lock, up to the log line.
    ws.prepare();
    write_file(ws.pending() / "readme.txt", "left over");
    const run_result refused = run_helper(ws, {}, true, trace);
    if (refused.log_lines != std::vector<std::string>{leftover_line})
        throw std::runtime_error("the run over leftovers did not refuse: " + refused.output);
    // The lock's own calls come first; a fault there is the lock refusal, not the leftover check.
    const std::vector<call_point> refusal_calls = count_calls(refused.trace, lock_name, log_name).points;
    for (std::size_t i = 1; i < refusal_calls.size(); ++i)
        if (!is_lock_call(refusal_calls[i].call))
            ref.refusal_points.push_back(refusal_calls[i]);

    if (c.kind == sweep_kind::rollback)
        record_rollback(ref, ws, trace);
    ws.clear();
    return ref;
}

// The points a sweep tries: every call after start-up (the rollback sweep: every call of the
// rollback), each failed with every error once and from then on, or killed before it.
const std::vector<call_point>& points_of(const sweep_context& c)
{
    return c.kind == sweep_kind::rollback ? c.ref.rollback_points : c.ref.calls.points;
}

std::vector<job> plan_jobs(const sweep_context& c)
{
    std::vector<job> jobs;
    std::vector<injection> first;
    std::string prefix = c.f.name + ": ";
    if (c.kind == sweep_kind::rollback) {
        first.push_back(c.ref.rollback_first);
        prefix += "after " + c.ref.rollback_first.call + " #" + std::to_string(c.ref.rollback_first.k) + " failed " +
                  std::to_string(c.ref.rollback_first.times) + " times with " + c.ref.rollback_first.error + ", ";
    }
    // The CI scope makes one run per point and sweep: the mode alternates, the error goes round.
    // Where crash points go in turn too (ci_kills_in_turn), a point's one run is failing once, from
    // then on, or killed, taken in turn over the points of the fault and the crash sweep together
    // (the rollback sweep's points likewise); a call that is never failed is always killed.
    const bool in_turn = c.scope == sweep_scope::ci && (ci_kills_in_turn() || c.kind == sweep_kind::rollback);
    std::size_t index = 0; // the fault-able points so far, which take the errors in turn
    std::size_t turn = 0;  // every point so far, when kills go in turn
    for (const auto& point : points_of(c)) {
        const std::string where = prefix + point.call + " #" + std::to_string(point.k);
        const bool fails = can_fail(point.call);
        const std::size_t mode = turn++ % 3; // in turn: 0 once, 1 from then on, 2 killed
        if (c.kind != sweep_kind::fault && (!in_turn || !fails || mode == 2))
            jobs.push_back({point, "", false, false, where + " killed", first});
        if (c.kind == sweep_kind::crash || !fails)
            continue;
        if (in_turn) {
            if (mode != 2) {
                const std::vector<std::string> errors = errors_for(point.call);
                const std::string& error = errors[(turn - 1) / 3 % errors.size()];
                std::string label = where;
                label.append(" ").append(error).append(mode == 1 ? " from then on" : " once");
                jobs.push_back({point, error, mode == 1, false, std::move(label), first});
            }
            continue;
        }
        const std::vector<std::string> errors = errors_for(point.call);
        for (bool from_then_on : {false, true}) {
            for (std::size_t e = 0; e < errors.size(); ++e) {
                if (c.scope == sweep_scope::ci && (from_then_on != (index % 2 == 1) || e != index / 2 % errors.size()))
                    continue;
                jobs.push_back({point, errors[e], from_then_on, false,
                                where + " " + errors[e] + (from_then_on ? " from then on" : " once"), first});
            }
        }
        ++index;
    }
    if (c.kind == sweep_kind::fault)
        for (const auto& [call, total] : c.ref.calls.totals)
            if (!class_of(call).empty() && can_fail(call))
                jobs.push_back({{call, total + 1}, "", false, true, c.f.name + ": " + call + " sentinel"});
    return jobs;
}

} // namespace

bool runs_rollback_sweep() { return runs_fault_series(); }

sweep_scope scope_from_environment()
{
    const char* scope = std::getenv("QM_SWEEP");
    return scope && std::string(scope) == "full" ? sweep_scope::full : sweep_scope::ci;
}

sweep_figures run_sweep(const fixture& f, sweep_kind kind, sweep_scope scope)
{
    sweep_context c(f, kind, scope);
    stdfs::create_directories(c.root);
    stdfs::create_directories(c.shm_root);
    check_volumes(c.root, c.shm_root);
    c.apps = make_apps(c.root);
    c.ref = record_reference(c);

    const std::vector<job> jobs = plan_jobs(c);
    std::vector<job_result> results(jobs.size());
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> done{0};
    std::atomic<std::size_t> failed{0};
    const std::string title = std::string(kind == sweep_kind::fault   ? "fault sweep, "
                                          : kind == sweep_kind::crash ? "crash sweep, "
                                                                      : "rollback sweep, ") +
                              f.name;
    std::fprintf(stderr, "%s: %zu runs planned\n", title.c_str(), jobs.size());
    std::vector<std::thread> threads;
    const std::size_t workers = std::min(worker_count(), jobs.size());
    for (std::size_t w = 0; w < workers; ++w)
        threads.emplace_back([&, w] {
            sweep_worker worker(c, static_cast<int>(w));
            for (std::size_t i; (i = next++) < jobs.size();) {
                try {
                    results[i] = worker.execute(jobs[i]);
                } catch (const std::exception& e) {
                    results[i].violations.push_back(std::string("the sweep itself failed: ") + e.what());
                }
                failed += results[i].violations.empty() ? 0 : 1;
                const std::size_t finished = ++done;
                if (finished % 250 == 0 || finished == jobs.size())
                    std::fprintf(stderr, "%s: %zu of %zu runs done, %zu with violations\n", title.c_str(), finished,
                                 jobs.size(), failed.load());
            }
        });
    for (auto& thread : threads)
        thread.join();

    sweep_figures figures;
    figures.untraced_syscalls.assign(c.ref.calls.untraced.begin(), c.ref.calls.untraced.end());
    for (const auto& point : points_of(c)) {
        if (kind != sweep_kind::fault || can_fail(point.call))
            ++figures.points_per_class[class_of(point.call)];
        if (!can_fail(point.call))
            figures.crash_only.insert(class_of(point.call));
    }
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const job& j = jobs[i];
        if (j.sentinel)
            ++figures.sentinels;
        else if (j.error.empty())
            ++figures.crash_points;
        else
            ++(j.from_then_on ? figures.runs_from_then_on : figures.runs_once)[j.error];
        figures.not_fired += results[i].not_fired ? 1 : 0;
        figures.refusal_reruns += results[i].refusal_reruns;
        figures.faulted_refusal_reruns += results[i].faulted_refusal_reruns;
        figures.recovery_runs += results[i].recovery_runs;
        figures.empty_folders_left += results[i].empty_folders_left;
        for (const auto& v : results[i].violations)
            figures.violations.push_back(j.label + ": " + v);
    }
    std::error_code ec;
    for (std::size_t w = 0; w < workers; ++w) {
        stdfs::remove_all(c.root / ("w" + std::to_string(w)), ec);
        stdfs::remove(c.root / ("trace-" + std::to_string(w) + ".txt"), ec);
    }
    stdfs::remove_all(c.shm_root, ec);
    if (c.kept_failures == 0)
        stdfs::remove_all(c.root, ec);
    else
        figures.violations.push_back("workspaces of the failed runs are kept in " + (c.root / "failed").string());
    return figures;
}

// ---- concurrency --------------------------------------------------------------------------------------

concurrency_figures run_concurrency(int rounds, int helpers_per_round)
{
    const auto [root, shm_root] = run_folders();
    stdfs::create_directories(root);
    workspace ws(root / "w", shm_root / "w", same_volume_fixture(), make_apps(root));
    ws.prepare();
    reference ref;
    ref.before = without_volatile(take_snapshot(ws.install()));
    ref.outside = ws.outside();
    {
        const run_result r = run_helper(ws, {}, false, root / "trace.txt");
        const snapshot after = take_snapshot(ws.install());
        ref.installed = proper(after);
        ref.backup = below(after, backup_name);
    }

    // A late helper finds the staging folder gone with the first one's commit.
    const std::string nothing_left = restored_prefix + staging_gone_text();
    concurrency_figures figures;
    figures.helpers = helpers_per_round;
    for (int round = 0; round < rounds; ++round) {
        const std::string label = "round " + std::to_string(round + 1) + ": ";
        ws.prepare();
        // The application they all wait for; when it ends they all go at once.
        child_process application(test::tool_path("linger"), {"300"});
        std::vector<std::string> args = ws.arguments();
        args[0] = std::to_string(application.id());
        std::vector<std::unique_ptr<running_helper>> helpers;
        for (int i = 0; i < helpers_per_round; ++i)
            helpers.push_back(std::make_unique<running_helper>(args, std::vector<injection>{}, false,
                                                               root / ("trace-" + std::to_string(i) + ".txt")));
        application.finish();

        int installed = 0;
        int lock_refusals = 0;
        int nothing_to_install = 0;
        for (auto& helper : helpers) {
            const helper_run run = helper->finish();
            const int exit_code = run.exit_code;
            const std::vector<std::string> shown = run.messages;
            if (exit_code == 0 && shown.empty())
                ++installed;
            else if (exit_code == 1 && shown == std::vector<std::string>{lock_message})
                ++lock_refusals;
            else if (exit_code == 1 && shown == std::vector<std::string>{restored_message})
                ++nothing_to_install;
            else
                figures.violations.push_back(label + "a helper ended with exit code " + std::to_string(exit_code) +
                                             " and output " + quoted_lines(shown));
        }
        if (installed != 1)
            figures.violations.push_back(label + std::to_string(installed) + " helpers installed");

        const std::string log = read_file(ws.log());
        std::vector<std::string> lines = split_log(log.substr(std::min(log.size(), earlier_log.size())));
        const auto count = [&](const std::string& line) { return std::count(lines.begin(), lines.end(), line); };
        if (!starts_with(log, earlier_log) || static_cast<int>(lines.size()) != helpers_per_round ||
            count(installed_line) != installed || count(lock_line) != lock_refusals ||
            count(nothing_left) != nothing_to_install)
            figures.violations.push_back(label + "the log does not hold one line per helper: " + quoted_lines(lines));

        const snapshot after = take_snapshot(ws.install());
        if (proper(after) != ref.installed)
            figures.violations.push_back(
                label + "the installation is not version 2: " + difference(ref.installed, proper(after)));
        if (below(after, backup_name) != ref.backup)
            figures.violations.push_back(
                label + "the backup is not the replaced files: " + difference(ref.backup, below(after, backup_name)));
        std::error_code ec;
        if (stdfs::exists(stdfs::symlink_status(ws.pending(), ec)) || stdfs::exists(ws.staging(), ec))
            figures.violations.push_back(label + ".update-backup.tmp or the staging folder is left");
        if (ws.outside() != ref.outside)
            figures.violations.push_back(label + "something outside the installation changed");
    }
    figures.rounds = rounds;
    std::error_code ec;
    stdfs::remove_all(root, ec);
    stdfs::remove_all(shm_root, ec);
    return figures;
}

} // namespace updater::reliability
