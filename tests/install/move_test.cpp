// The retrying move over real files: what it leaves behind, in-process on every platform, and on
// POSIX which renames, pauses and removals it really makes, watched with strace around move_tool,
// with chosen renames made to fail.
#include "updater/install/move.h"

#include "support/test_support.h"
#include "updater/fs/fs.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

namespace updater::test {
namespace {

namespace stdfs = std::filesystem;

bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }

class move_test : public temp_dir_test {
protected:
    void TearDown() override
    {
        if (!other_volume_.empty()) {
            std::error_code ignored;
            for (const auto& entry : stdfs::recursive_directory_iterator(other_volume_, ignored))
                stdfs::permissions(entry.path(), stdfs::perms::owner_write, stdfs::perm_options::add, ignored);
            stdfs::remove_all(other_volume_, ignored);
        }
        temp_dir_test::TearDown();
    }

    // A fresh folder on another volume than the test's folder, or empty when there is none:
    // /dev/shm on POSIX; on Windows the drive that scripts/wine-env.sh maps to another Linux file
    // system (QM_OTHER_VOLUME).
    stdfs::path other_volume()
    {
        stdfs::path base;
        if (windows_path_rules) {
            const char* drive = std::getenv("QM_OTHER_VOLUME");
            if (drive)
                base = drive;
        } else if (shell("test \"$(stat -c %d /dev/shm)\" != \"$(stat -c %d " + shell_quoted(root_) + ")\"")) {
            base = "/dev/shm";
        }
        if (base.empty())
            return {};
        other_volume_ = base / root_.filename();
        stdfs::create_directories(other_volume_);
        return other_volume_;
    }

private:
    stdfs::path other_volume_;
};

struct move_case {
    const char* name;
    fs::existing_target target;
    tree before;
    std::string from;
    std::string to;
    error_code expected;
    tree after;
};

TEST_F(move_test, leaves_the_expected_tree)
{
    const move_case cases[] = {
        {"missing parents are created",
         fs::existing_target::replace,
         {{"src.txt", "new"}},
         "src.txt",
         "a/b/c/dst.txt",
         {},
         {{"a/", ""}, {"a/b/", ""}, {"a/b/c/", ""}, {"a/b/c/dst.txt", "new"}}},
        {"an existing destination file is replaced",
         fs::existing_target::replace,
         {{"src.txt", "new"}, {"dir/dst.txt", "old"}},
         "src.txt",
         "dir/dst.txt",
         {},
         {{"dir/", ""}, {"dir/dst.txt", "new"}}},
        {"a folder moves with its content",
         fs::existing_target::replace,
         {{"dir/x.txt", "x"}, {"dir/sub/y.txt", "y"}},
         "dir",
         "other/dir",
         {},
         {{"other/", ""},
          {"other/dir/", ""},
          {"other/dir/x.txt", "x"},
          {"other/dir/sub/", ""},
          {"other/dir/sub/y.txt", "y"}}},
        {"a destination parent that is a file fails, and nothing moves",
         fs::existing_target::replace,
         {{"src.txt", "new"}, {"blocker", "a file"}},
         "src.txt",
         "blocker/sub/dst.txt",
         already_exists_error(),
         {{"src.txt", "new"}, {"blocker", "a file"}}},
        // Every attempt finds the file there, so the move gives up after all ten.
        {"without replacing, an existing destination file stays and the move fails",
         fs::existing_target::keep,
         {{"src.txt", "new"}, {"dir/dst.txt", "old"}},
         "src.txt",
         "dir/dst.txt",
         already_exists_error(),
         {{"src.txt", "new"}, {"dir/", ""}, {"dir/dst.txt", "old"}}},
        {"without replacing, a folder does not move onto an empty folder",
         fs::existing_target::keep,
         {{"dir/x.txt", "x"}, {"other/dir/", ""}},
         "dir",
         "other/dir",
         already_exists_error(),
         {{"dir/", ""}, {"dir/x.txt", "x"}, {"other/", ""}, {"other/dir/", ""}}},
        {"without replacing, a free place is moved into",
         fs::existing_target::keep,
         {{"src.txt", "new"}},
         "src.txt",
         "a/dst.txt",
         {},
         {{"a/", ""}, {"a/dst.txt", "new"}}},
    };
    int index = 0;
    for (const move_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = "case" + std::to_string(index++);
        write_tree(at(dir), c.before);
        error_code ec;
        const bool arrived = move_with_retry(native(dir + "/" + c.from), native(dir + "/" + c.to), c.target, ec);
        EXPECT_EC(ec, c.expected);
        EXPECT_EQ(arrived, !c.expected);
        EXPECT_EQ(read_tree(at(dir)), c.after);
    }
}

TEST_F(move_test, moves_a_file_to_another_volume_with_its_mode)
{
    const stdfs::path other = other_volume();
    if (other.empty())
        GTEST_SKIP() << "no other volume (/dev/shm, or QM_OTHER_VOLUME under Wine)";
    write_file(at("src.bin"), "content");
    write_file(other / "dst.bin", "old");
    // A mode that no umask gives (Windows shows every file that is not read-only alike). Observed:
    // under Wine a read-only file does not move to another volume (5, the copy stays behind).
    stdfs::permissions(at("src.bin"), stdfs::perms::owner_all | stdfs::perms::group_read | stdfs::perms::group_exec |
                                          stdfs::perms::others_read);
    const stdfs::perms mode = stdfs::status(at("src.bin")).permissions();

    error_code ec;
    move_with_retry(native("src.bin"), (other / "dst.bin").native(), fs::existing_target::replace, ec);
    EXPECT_NO_EC(ec);
    EXPECT_FALSE(stdfs::exists(at("src.bin")));
    EXPECT_EQ(read_file(other / "dst.bin"), "content");
    EXPECT_EQ(stdfs::status(other / "dst.bin").permissions(), mode);
}

TEST_F(move_test, missing_source_gives_not_found_after_all_attempts)
{
    if (!windows_path_rules)
        GTEST_SKIP() << "on POSIX the attempts are counted under strace (traced_move_test)";
    error_code ec;
    move_with_retry(native("missing.txt"), native("dst.txt"), fs::existing_target::keep, ec);
    EXPECT_EC(ec, not_found_error());
    EXPECT_EQ(read_tree(root_), tree{});
}

TEST_F(move_test, rename_blocked_by_an_open_file_succeeds_once_it_is_closed)
{
    if (!windows_path_rules)
        GTEST_SKIP() << "an open file blocks a rename only on Windows";
    write_file(at("src.txt"), "new");
    // The C runtime opens without delete sharing, which a rename needs.
    auto held = std::make_unique<std::ifstream>(at("src.txt"));
    ASSERT_TRUE(*held);
    error_code ec;
    fs::rename(native("src.txt"), native("dst.txt"), fs::existing_target::replace, ec);
    ASSERT_EQ(ec, system_error(32)) << "the open file does not block the rename: " << describe(ec);

    std::thread release([&held] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        held.reset();
    });
    move_with_retry(native("src.txt"), native("dst.txt"), fs::existing_target::keep, ec);
    release.join();
    EXPECT_NO_EC(ec);
    EXPECT_EQ(read_tree(root_), (tree{{"dst.txt", "new"}}));
}

TEST_F(move_test, series_trusts_the_folder_of_its_last_move_until_a_failure_or_forget)
{
    write_tree(root_, {{"a", "1"}, {"b", "2"}, {"c", "3"}});
    move_series series;
    error_code ec;
    series.move(native("a"), native("d/a"), fs::existing_target::keep, ec);
    ASSERT_NO_EC(ec);

    // Taken away behind the series' back: the next move into d does not look for it.
    stdfs::remove_all(at("d"));
    series.move(native("b"), native("d/b"), fs::existing_target::keep, ec);
    EXPECT_EC(ec, path_not_found_error());
    // The failure made the series look again.
    series.move(native("b"), native("d/b"), fs::existing_target::keep, ec);
    EXPECT_NO_EC(ec);

    stdfs::remove_all(at("d"));
    series.forget();
    series.move(native("c"), native("d/c"), fs::existing_target::keep, ec);
    EXPECT_NO_EC(ec);
    EXPECT_EQ(read_tree(root_), (tree{{"d/", ""}, {"d/c", "3"}}));
}

// What one run of move_tool did: its printed result and, in order, its renames and removals of
// the source and its sleeps, each as "<call> <result>" ("rename EBUSY", "sleep 0", "unlink 0").
struct traced_run {
    std::string result;
    std::vector<std::string> events;
};

std::optional<std::string> event_of(const std::string& line, const std::string& from)
{
    const auto open = line.find('(');
    const auto equals = line.rfind(" = ");
    if (open == std::string::npos || equals == std::string::npos)
        return std::nullopt;
    const std::string call = line.substr(0, open);
    std::string kind;
    if (call == "rename" || call == "renameat" || call == "renameat2")
        kind = "rename";
    else if (call == "unlink" || call == "unlinkat")
        kind = "unlink";
    else if (call == "clock_nanosleep" || call == "nanosleep")
        kind = "sleep";
    else
        return std::nullopt;
    if (kind != "sleep") {
        // Calls on other paths (a copy's own temporary file, say) are not attempts.
        const auto quote = line.find('"', open);
        if (quote == std::string::npos || line.compare(quote + 1, from.size() + 1, from + '"') != 0)
            return std::nullopt;
    }
    std::istringstream result(line.substr(equals + 3));
    std::string value, error_name;
    result >> value >> error_name;
    return kind + " " + (value == "-1" ? error_name : value);
}

std::string result_of(const error_code& ec)
{
    return ec ? std::string(ec.category().name()) + " " + std::to_string(ec.value()) : "ok";
}

std::vector<std::string> repeated(const std::vector<std::string>& events, int times)
{
    std::vector<std::string> all;
    for (int k = 0; k < times; ++k)
        all.insert(all.end(), events.begin(), events.end());
    return all;
}

class traced_move_test : public move_test {
protected:
    void SetUp() override
    {
        move_test::SetUp();
        if (windows_path_rules)
            GTEST_SKIP() << "strace watches Linux processes only";
        if (!strace_can_trace())
            GTEST_SKIP() << "strace is missing or cannot trace here";
        const char* tools = std::getenv("QM_TEST_TOOLS");
        ASSERT_NE(tools, nullptr) << "QM_TEST_TOOLS names the folder of move_tool";
        tool_ = stdfs::path(tools) / "move_tool";
    }

    // Runs move_tool from to under strace; inject is strace's fault injection for renames
    // ("error=EBUSY:when=1..2"), or empty; keep moves without replacing.
    traced_run run_traced(const stdfs::path& from, const stdfs::path& to, const std::string& inject = {},
                          bool keep = false)
    {
        const stdfs::path trace = at("strace.txt");
        const stdfs::path output = at("output.txt");
        // LeakSanitizer cannot work in a traced process, so a sanitizer build would fail at exit.
        std::string command = "ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\" strace -qq -s 4096 -o " +
                              shell_quoted(trace) +
                              " -e trace=rename,renameat,renameat2,unlink,unlinkat,clock_nanosleep,nanosleep";
        if (!inject.empty())
            command += " -e inject=rename,renameat,renameat2:" + inject;
        command += " " + shell_quoted(tool_) + " " + shell_quoted(from) + " " + shell_quoted(to) +
                   (keep ? " keep" : "") + " >" + shell_quoted(output) + " 2>&1";
        std::system(command.c_str());

        traced_run run;
        std::ifstream printed(output);
        std::getline(printed, run.result);
        std::ifstream lines(trace);
        for (std::string line; std::getline(lines, line);)
            if (auto event = event_of(line, from.string()))
                run.events.push_back(*event);
        stdfs::remove(trace);
        stdfs::remove(output);
        return run;
    }

    stdfs::path tool_;
};

TEST_F(traced_move_test, successful_move_is_one_rename_without_pause)
{
    struct traced_case {
        const char* name;
        tree before;
        std::vector<std::string> events;
    };
    // A rename first tries not to replace anything; only a destination that is there makes it look
    // at the source and replace. Either way it is one attempt.
    const traced_case cases[] = {
        {"to a free place", {{"src.txt", "new"}}, {"rename 0"}},
        {"onto a file", {{"src.txt", "new"}, {"dst.txt", "old"}}, {"rename EEXIST", "rename 0"}},
    };
    for (const traced_case& c : cases) {
        SCOPED_TRACE(c.name);
        write_tree(root_, c.before);
        const traced_run run = run_traced(at("src.txt"), at("dst.txt"));
        EXPECT_EQ(run.result, "ok");
        EXPECT_EQ(run.events, c.events);
        EXPECT_EQ(read_tree(root_), (tree{{"dst.txt", "new"}}));
        stdfs::remove(at("dst.txt"));
    }
}

TEST_F(traced_move_test, missing_source_takes_ten_attempts_and_ten_pauses)
{
    const traced_run run = run_traced(at("missing.txt"), at("dst.txt"));
    EXPECT_EQ(run.result, result_of(not_found_error()));
    EXPECT_EQ(run.events, repeated({"rename ENOENT", "sleep 0"}, 10));
    EXPECT_EQ(read_tree(root_), tree{});
}

TEST_F(traced_move_test, rename_failing_twice_succeeds_after_two_pauses)
{
    write_file(at("src.txt"), "new");
    const traced_run run = run_traced(at("src.txt"), at("dst.txt"), "error=EBUSY:when=1..2");
    EXPECT_EQ(run.result, "ok");
    EXPECT_EQ(run.events, (std::vector<std::string>{"rename EBUSY", "sleep 0", "rename EBUSY", "sleep 0", "rename 0"}));
    EXPECT_EQ(read_tree(root_), (tree{{"dst.txt", "new"}}));
}

TEST_F(traced_move_test, destination_parent_that_is_a_file_fails_without_attempt)
{
    write_tree(root_, {{"src.txt", "new"}, {"blocker", "a file"}});
    const traced_run run = run_traced(at("src.txt"), at("blocker/sub/dst.txt"));
    EXPECT_EQ(run.result, result_of(already_exists_error()));
    EXPECT_EQ(run.events, std::vector<std::string>{});
    EXPECT_EQ(read_tree(root_), (tree{{"src.txt", "new"}, {"blocker", "a file"}}));
}

TEST_F(traced_move_test, move_across_file_systems_copies_and_removes_without_pause)
{
    const stdfs::path other = other_volume();
    if (other.empty())
        GTEST_SKIP() << "/dev/shm is on the same file system as the temporary folder";
    write_file(at("src.bin"), "content");
    write_file(other / "sub/dst.bin", "old");
    const traced_run run = run_traced(at("src.bin"), other / "sub/dst.bin");
    EXPECT_EQ(run.result, "ok");
    EXPECT_EQ(run.events, (std::vector<std::string>{"rename EXDEV", "unlink 0"}));
    EXPECT_FALSE(stdfs::exists(at("src.bin")));
    EXPECT_EQ(read_file(other / "sub/dst.bin"), "content");
}

TEST_F(traced_move_test, unremovable_source_after_a_copy_fails_at_once)
{
    const stdfs::path other = other_volume();
    if (other.empty())
        GTEST_SKIP() << "/dev/shm is on the same file system as the temporary folder";
    write_file(at("src.bin"), "content");
    // An immutable file can be read, so the copy works, but not unlinked.
    if (!shell("chattr +i " + shell_quoted(at("src.bin")) + " 2>/dev/null"))
        GTEST_SKIP() << "chattr +i is not possible here";
    struct immutable_guard {
        stdfs::path file;
        ~immutable_guard() { shell("chattr -i " + shell_quoted(file)); }
    } guard{at("src.bin")};

    const traced_run run = run_traced(at("src.bin"), other / "dst.bin");
    EXPECT_EQ(run.result, result_of(system_error(EPERM)));
    EXPECT_EQ(run.events, (std::vector<std::string>{"rename EXDEV", "unlink EPERM"}));
    EXPECT_EQ(read_file(at("src.bin")), "content");
    EXPECT_EQ(read_file(other / "dst.bin"), "content");
}

TEST_F(traced_move_test, without_replacing_an_existing_target_on_another_file_system_stays)
{
    const stdfs::path other = other_volume();
    if (other.empty())
        GTEST_SKIP() << "/dev/shm is on the same file system as the temporary folder";
    write_file(at("src.bin"), "content");
    write_file(other / "dst.bin", "old");
    // Each attempt's copy finds the target there and makes nothing.
    const traced_run run = run_traced(at("src.bin"), other / "dst.bin", {}, true);
    EXPECT_EQ(run.result, result_of(already_exists_error()));
    EXPECT_EQ(run.events, repeated({"rename EXDEV", "sleep 0"}, 10));
    EXPECT_EQ(read_file(at("src.bin")), "content");
    EXPECT_EQ(read_tree(other), (tree{{"dst.bin", "old"}}));
}

TEST_F(traced_move_test, without_replacing_on_a_file_system_that_cannot_refuse_to_replace)
{
    // EINVAL is what a file system without RENAME_NOREPLACE answers: the file then moves by a
    // hard link, which fails where something is, and an unlink of the old name.
    write_tree(root_, {{"src.txt", "new"}});
    traced_run run = run_traced(at("src.txt"), at("dst.txt"), "error=EINVAL", true);
    EXPECT_EQ(run.result, "ok");
    EXPECT_EQ(run.events, (std::vector<std::string>{"rename EINVAL", "unlink 0"}));
    EXPECT_EQ(read_tree(root_), (tree{{"dst.txt", "new"}}));

    write_tree(root_, {{"src.txt", "newer"}});
    run = run_traced(at("src.txt"), at("dst.txt"), "error=EINVAL", true);
    EXPECT_EQ(run.result, result_of(already_exists_error()));
    EXPECT_EQ(run.events, repeated({"rename EINVAL", "sleep 0"}, 10));
    EXPECT_EQ(read_tree(root_), (tree{{"src.txt", "newer"}, {"dst.txt", "new"}}));
}

} // namespace
} // namespace updater::test
