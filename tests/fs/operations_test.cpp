// The file system operations on real trees: status, remove, remove_all, rename, copy_file,
// equivalent, create_directories, relative and open_file, with failures made real (immutable
// files, another file system, a full disk).
#include "updater/fs/fs.h"

#include "support/test_support.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>

namespace updater::test {
namespace {

namespace stdfs = std::filesystem;

bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }

// "a/b" with the platform's separator.
std::string native_rel(std::string rel)
{
    if (windows_path_rules)
        std::replace(rel.begin(), rel.end(), '/', '\\');
    return rel;
}

// chattr +i: not even root may remove, rename or write the entry, or create in a directory;
// undone when the guard goes, so that the test's folder can be removed.
class immutable_guard {
public:
    explicit immutable_guard(stdfs::path path)
        : path_(std::move(path)), set_(shell("chattr +i " + shell_quoted(path_) + " 2>/dev/null"))
    {
    }
    immutable_guard(const immutable_guard&) = delete;
    immutable_guard& operator=(const immutable_guard&) = delete;
    ~immutable_guard()
    {
        if (set_)
            shell("chattr -i " + shell_quoted(path_));
    }
    bool set() const { return set_; }

private:
    stdfs::path path_;
    bool set_;
};

constexpr const char* links_skip = "links made from Linux stay out of the Windows tests";
constexpr const char* chattr_skip = "chattr +i is Linux's";

class operations_test : public temp_dir_test {
protected:
    void TearDown() override
    {
        if (!other_volume_.empty()) {
            std::error_code ignored;
            stdfs::remove_all(other_volume_, ignored);
        }
        temp_dir_test::TearDown();
    }

    // A fresh folder on another file system than the test's folder, or empty when there is none:
    // /dev/shm on POSIX; on Windows the drive that scripts/wine-env.sh maps to another Linux file
    // system (QM_OTHER_VOLUME).
    stdfs::path other_volume()
    {
        stdfs::path base;
        if (windows_path_rules) {
            if (const char* drive = std::getenv("QM_OTHER_VOLUME"))
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

TEST_F(operations_test, status_tells_present_and_missing_paths)
{
    write_tree(root_, {{"file.txt", "x"}, {"dir/", ""}});
    struct status_case {
        const char* rel;
        fs::file_type type;
    };
    const status_case cases[] = {
        {"file.txt", fs::file_type::regular},         {"dir", fs::file_type::directory},
        {"missing", fs::file_type::not_found},        {"missing/child", fs::file_type::not_found},
        {"file.txt/child", fs::file_type::not_found},
    };
    for (const status_case& c : cases) {
        SCOPED_TRACE(c.rel);
        error_code ec = generic_error(generic_io_error);
        const fs::file_type type = fs::status(native(c.rel), ec);
        EXPECT_NO_EC(ec);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(fs::exists(type), c.type != fs::file_type::not_found);
    }
}

TEST_F(operations_test, status_follows_links)
{
    if (windows_path_rules)
        GTEST_SKIP() << links_skip;
    write_tree(root_, {{"dir/", ""}});
    stdfs::create_directory_symlink(at("dir"), at("to_dir"));
    stdfs::create_symlink(at("missing"), at("dangling"));
    stdfs::create_symlink(at("loop_b"), at("loop_a"));
    stdfs::create_symlink(at("loop_a"), at("loop_b"));

    error_code ec;
    EXPECT_EQ(fs::status(native("to_dir"), ec), fs::file_type::directory);
    EXPECT_NO_EC(ec);
    EXPECT_EQ(fs::status(native("dangling"), ec), fs::file_type::not_found);
    EXPECT_NO_EC(ec);
    // An error outside the not-found set: the query failed.
    const fs::file_type loop = fs::status(native("loop_a"), ec);
    EXPECT_EQ(loop, fs::file_type::none);
    EXPECT_EC(ec, system_error(ELOOP));
    EXPECT_FALSE(fs::exists(loop));
}

TEST_F(operations_test, remove_deletes_files_read_only_ones_and_empty_directories)
{
    write_tree(root_, {{"file.txt", "x"}, {"read_only.txt", "r"}, {"empty/", ""}, {"kept.txt", "k"}});
    stdfs::permissions(at("read_only.txt"),
                       stdfs::perms::owner_read | stdfs::perms::group_read | stdfs::perms::others_read);
    for (const char* rel : {"file.txt", "read_only.txt", "empty"}) {
        SCOPED_TRACE(rel);
        error_code ec = generic_error(generic_io_error);
        EXPECT_TRUE(fs::remove(native(rel), ec));
        EXPECT_NO_EC(ec);
    }
    EXPECT_EQ(read_tree(root_), (tree{{"kept.txt", "k"}}));
}

TEST_F(operations_test, remove_of_a_missing_path_succeeds_with_false)
{
    write_tree(root_, {{"file.txt", "x"}});
    for (const char* rel : {"missing", "missing/child", "file.txt/child"}) {
        SCOPED_TRACE(rel);
        error_code ec = generic_error(generic_io_error);
        EXPECT_FALSE(fs::remove(native(rel), ec));
        EXPECT_NO_EC(ec);
    }
    EXPECT_EQ(read_tree(root_), (tree{{"file.txt", "x"}}));
}

TEST_F(operations_test, remove_refuses_a_directory_that_is_not_empty)
{
    write_tree(root_, {{"dir/a.txt", "a"}});
    error_code ec;
    EXPECT_FALSE(fs::remove(native("dir"), ec));
    EXPECT_EC(ec, not_empty_error());
    EXPECT_EQ(read_tree(root_), (tree{{"dir/", ""}, {"dir/a.txt", "a"}}));
}

TEST_F(operations_test, remove_deletes_links_never_their_targets)
{
    if (windows_path_rules)
        GTEST_SKIP() << links_skip;
    const tree targets{{"dir/", ""}, {"dir/a.txt", "a"}, {"file.txt", "f"}};
    write_tree(root_, targets);
    stdfs::create_directory_symlink(at("dir"), at("to_dir"));
    stdfs::create_symlink(at("file.txt"), at("to_file"));
    stdfs::create_symlink(at("missing"), at("dangling"));
    for (const char* rel : {"to_dir", "to_file", "dangling"}) {
        SCOPED_TRACE(rel);
        error_code ec;
        EXPECT_TRUE(fs::remove(native(rel), ec));
        EXPECT_NO_EC(ec);
    }
    EXPECT_EQ(read_tree(root_), targets);
}

TEST_F(operations_test, remove_reports_an_entry_the_system_keeps)
{
    if (windows_path_rules)
        GTEST_SKIP() << chattr_skip;
    write_tree(root_, {{"stuck.txt", "s"}, {"stuck_dir/", ""}});
    immutable_guard file(at("stuck.txt"));
    immutable_guard dir(at("stuck_dir"));
    if (!file.set() || !dir.set())
        GTEST_SKIP() << "chattr +i is not possible here";
    for (const char* rel : {"stuck.txt", "stuck_dir"}) {
        SCOPED_TRACE(rel);
        error_code ec;
        EXPECT_FALSE(fs::remove(native(rel), ec));
        EXPECT_EC(ec, system_error(EPERM));
    }
    EXPECT_EQ(read_tree(root_), (tree{{"stuck.txt", "s"}, {"stuck_dir/", ""}}));
}

TEST_F(operations_test, remove_all_removes_a_tree_but_not_what_its_links_point_to)
{
    write_tree(root_, {{"tree/a.txt", "a"},
                       {"tree/read_only.txt", "r"},
                       {"tree/sub/deeper/b.txt", "b"},
                       {"tree/sub/empty/", ""},
                       {"outside/kept.txt", "k"}});
    stdfs::permissions(at("tree/read_only.txt"), stdfs::perms::owner_read);
    if (!windows_path_rules) {
        stdfs::create_directory_symlink(at("outside"), at("tree/sub/to_outside"));
        stdfs::create_symlink(at("outside/kept.txt"), at("tree/to_kept"));
    }
    error_code ec = generic_error(generic_io_error);
    fs::remove_all(native("tree"), ec);
    EXPECT_NO_EC(ec);
    EXPECT_EQ(read_tree(root_), (tree{{"outside/", ""}, {"outside/kept.txt", "k"}}));
}

TEST_F(operations_test, remove_all_of_a_file_or_a_missing_path)
{
    write_tree(root_, {{"file.txt", "x"}});
    for (const char* rel : {"file.txt", "missing", "missing/child"}) {
        SCOPED_TRACE(rel);
        error_code ec = generic_error(generic_io_error);
        fs::remove_all(native(rel), ec);
        EXPECT_NO_EC(ec);
    }
    EXPECT_EQ(read_tree(root_), tree{});
}

TEST_F(operations_test, remove_all_of_a_link_to_a_directory_removes_only_the_link)
{
    if (windows_path_rules)
        GTEST_SKIP() << links_skip;
    const tree target{{"dir/", ""}, {"dir/a.txt", "a"}, {"dir/sub/", ""}, {"dir/sub/b.txt", "b"}};
    write_tree(root_, target);
    stdfs::create_directory_symlink(at("dir"), at("to_dir"));
    error_code ec;
    fs::remove_all(native("to_dir"), ec);
    EXPECT_NO_EC(ec);
    EXPECT_EQ(read_tree(root_), target);
}

TEST_F(operations_test, remove_all_reports_an_entry_it_cannot_remove)
{
    if (windows_path_rules)
        GTEST_SKIP() << chattr_skip;
    write_tree(root_, {{"tree/sub/stuck.txt", "s"}, {"tree/other.txt", "o"}});
    immutable_guard stuck(at("tree/sub/stuck.txt"));
    if (!stuck.set())
        GTEST_SKIP() << "chattr +i is not possible here";
    error_code ec;
    fs::remove_all(native("tree"), ec);
    EXPECT_EC(ec, system_error(EPERM));
    EXPECT_EQ(read_file(at("tree/sub/stuck.txt")), "s");
}

TEST_F(operations_test, remove_all_tries_the_directory_ten_times_apart_while_it_is_not_empty_or_denied)
{
    if (windows_path_rules)
        GTEST_SKIP() << "strace watches Linux processes only";
    if (!strace_can_trace())
        GTEST_SKIP() << "strace is missing or cannot trace here";
    const char* tools = std::getenv("QM_TEST_TOOLS");
    ASSERT_NE(tools, nullptr) << "QM_TEST_TOOLS names the folder of fs_tool";
    struct retry_case {
        const char* injected; // the answer of the directory's removal from its second call on
        int removals;         // the directory's removals seen
        int pauses;           // sleeps between them
        const char* result;
    };
    // The first removal finds the directory not empty for real; then its files go and each try
    // removes the directory once more, after a pause when it is not the first.
    const retry_case cases[] = {
        {"ENOTEMPTY:when=2+", 11, 9, "system 39"}, {"EACCES:when=2+", 11, 9, "system 13"},
        {"EPERM:when=2..4", 5, 3, "ok"},           {"EIO:when=2+", 2, 0, "system 5"},
        {"EBUSY:when=2+", 2, 0, "system 16"},
    };
    for (const retry_case& c : cases) {
        SCOPED_TRACE(c.injected);
        write_tree(root_, {{"tree/a.txt", "a"}, {"tree/b.txt", "b"}});
        const stdfs::path trace = at("strace.txt");
        const stdfs::path output = at("output.txt");
        // LeakSanitizer cannot work under a tracer.
        shell("ASAN_OPTIONS=detect_leaks=0 strace -qq -o " + shell_quoted(trace) +
              " -e trace=rmdir,clock_nanosleep,nanosleep -e inject=rmdir:error=" + c.injected + " " +
              shell_quoted(stdfs::path(tools) / "fs_tool") + " remove_all " + shell_quoted(at("tree")) + " > " +
              shell_quoted(output));
        const std::string calls = read_file(trace);
        int removals = 0;
        for (std::size_t pos = calls.find("rmdir("); pos != std::string::npos; pos = calls.find("rmdir(", pos + 1))
            ++removals;
        EXPECT_EQ(removals, c.removals) << calls;
        int pauses = 0;
        for (std::size_t pos = calls.find("sleep("); pos != std::string::npos; pos = calls.find("sleep(", pos + 1))
            ++pauses;
        EXPECT_EQ(pauses, c.pauses) << calls;
        EXPECT_EQ(read_file(output), std::string(c.result) + "\n");
        stdfs::remove_all(at("tree"));
    }
}

TEST_F(operations_test, rename_replaces_a_file_and_moves_a_directory)
{
    write_tree(root_, {{"from.txt", "new"}, {"to.txt", "old and longer"}, {"dir/sub/a.txt", "a"}});
    error_code ec = generic_error(generic_io_error);
    fs::rename(native("from.txt"), native("to.txt"), fs::existing_target::replace, ec);
    EXPECT_NO_EC(ec);
    ec = generic_error(generic_io_error);
    fs::rename(native("dir"), native("moved"), fs::existing_target::replace, ec);
    EXPECT_NO_EC(ec);
    EXPECT_EQ(read_tree(root_),
              (tree{{"to.txt", "new"}, {"moved/", ""}, {"moved/sub/", ""}, {"moved/sub/a.txt", "a"}}));
}

TEST_F(operations_test, rename_never_replaces_a_directory)
{
    const tree before{{"dir/", ""},  {"dir/a.txt", "a"},  {"empty/", ""},
                      {"full/", ""}, {"full/b.txt", "b"}, {"file.txt", "f"}};
    write_tree(root_, before);
    struct rename_case {
        const char* from;
        const char* to;
        error_code expected;
    };
    // A POSIX rename would replace an empty directory; Windows refuses with access denied, POSIX
    // with "file exists" for a directory and "is a directory" for a file.
    const rename_case cases[] = {
        {"dir", "empty", windows_path_rules ? access_denied_error() : already_exists_error()},
        {"dir", "full", windows_path_rules ? access_denied_error() : already_exists_error()},
        {"file.txt", "empty", windows_path_rules ? access_denied_error() : system_error(EISDIR)},
    };
    for (const rename_case& c : cases) {
        SCOPED_TRACE(std::string(c.from) + " onto " + c.to);
        error_code ec;
        fs::rename(native(c.from), native(c.to), fs::existing_target::replace, ec);
        EXPECT_EC(ec, c.expected);
    }
    EXPECT_EQ(read_tree(root_), before);
}

TEST_F(operations_test, rename_of_a_directory_across_file_systems_is_a_cross_device_link)
{
    const stdfs::path other = other_volume();
    if (other.empty())
        GTEST_SKIP() << "no other file system";
    const tree before{{"dir/", ""}, {"dir/a.txt", "a"}, {"file.txt", "f"}};
    write_tree(root_, before);
    error_code ec;
    fs::rename(native("dir"), (other / "dir").native(), fs::existing_target::replace, ec);
    EXPECT_EQ(ec, cross_device_link()) << describe(ec);
    if (!windows_path_rules) {
        // Nor does a file move across on POSIX; the move layer copies it instead.
        fs::rename(native("file.txt"), (other / "file.txt").native(), fs::existing_target::replace, ec);
        EXPECT_EC(ec, system_error(EXDEV));
        EXPECT_EQ(ec, cross_device_link());
    }
    EXPECT_EQ(read_tree(root_), before);
    EXPECT_EQ(read_tree(other), tree{});
}

TEST_F(operations_test, copy_file_replaces_the_target_and_keeps_mode_and_modification_time)
{
    write_tree(root_, {{"from.bin", "new content"}, {"to.bin", "an old content that is longer than the new one"}});
    // Something a fresh file would not get by default: read-only, and on POSIX odd mode bits.
    stdfs::permissions(at("from.bin"), windows_path_rules ? stdfs::perms::owner_read | stdfs::perms::group_read |
                                                                stdfs::perms::others_read
                                                          : static_cast<stdfs::perms>(0751));
    // Long past, and on POSIX with a fraction of a second. Observed: Wine keeps only whole seconds
    // when the copy creates its target.
    stdfs::file_time_type written =
        std::chrono::floor<std::chrono::seconds>(stdfs::last_write_time(at("from.bin")) - std::chrono::hours(24 * 400));
    if (!windows_path_rules)
        written += std::chrono::nanoseconds(250'000'123);
    stdfs::last_write_time(at("from.bin"), written);

    for (const char* target : {"to.bin", "new.bin"}) {
        SCOPED_TRACE(target);
        error_code ec = generic_error(generic_io_error);
        fs::copy_file(native("from.bin"), native(target), fs::existing_target::replace, ec);
        EXPECT_NO_EC(ec);
        EXPECT_EQ(read_file(at(target)), "new content");
        EXPECT_EQ(stdfs::status(at(target)).permissions(), stdfs::status(at("from.bin")).permissions());
        EXPECT_EQ(stdfs::last_write_time(at(target)), written);
    }
    EXPECT_EQ(read_file(at("from.bin")), "new content");

    if (windows_path_rules)
        return;
    // A new file is made with the source's permission bits, less what the umask takes away, and a
    // write may clear set-ID bits: the mode is set again where it differs.
    for (const auto mode : {stdfs::perms(0666), stdfs::perms(02755), stdfs::perms(04700)}) {
        SCOPED_TRACE(static_cast<int>(mode));
        stdfs::permissions(at("from.bin"), mode);
        stdfs::remove(at("new.bin"));
        for (const char* target : {"to.bin", "new.bin"}) {
            error_code ec;
            fs::copy_file(native("from.bin"), native(target), fs::existing_target::replace, ec);
            EXPECT_NO_EC(ec);
            EXPECT_EQ(stdfs::status(at(target)).permissions(), mode) << target;
        }
    }
}

TEST_F(operations_test, copy_file_failures_leave_both_files_alone)
{
    write_tree(root_, {{"file.txt", "content"}, {"dir/", ""}});
    struct copy_case {
        const char* from;
        const char* to;
    };
    // Onto itself: a copy that truncated its target first would destroy the source.
    const copy_case cases[] = {{"missing", "file.txt"},
                               {"file.txt", "file.txt"},
                               {"dir", "new.txt"},
                               {"file.txt", "dir"}};
    for (const copy_case& c : cases) {
        SCOPED_TRACE(std::string(c.from) + " to " + c.to);
        error_code ec;
        fs::copy_file(native(c.from), native(c.to), fs::existing_target::replace, ec);
        EXPECT_TRUE(ec);
    }
    error_code ec;
    fs::copy_file(native("missing"), native("new.txt"), fs::existing_target::replace, ec);
    EXPECT_EC(ec, not_found_error());
    if (!windows_path_rules) {
        // The same file under a second name.
        stdfs::create_hard_link(at("file.txt"), at("alias.txt"));
        fs::copy_file(native("file.txt"), native("alias.txt"), fs::existing_target::replace, ec);
        EXPECT_TRUE(ec);
        stdfs::remove(at("alias.txt"));
    }
    EXPECT_EQ(read_tree(root_), (tree{{"file.txt", "content"}, {"dir/", ""}}));
}

TEST_F(operations_test, copy_file_onto_a_full_disk_fails_and_leaves_no_partial_file)
{
    if (windows_path_rules)
        GTEST_SKIP() << "a small tmpfs is mounted on Linux";
    stdfs::create_directories(at("small"));
    if (!shell("mount -t tmpfs -o size=64k tmpfs " + shell_quoted(at("small")) + " 2>/dev/null"))
        GTEST_SKIP() << "mounting a tmpfs is not possible here";
    struct unmount_guard {
        stdfs::path dir;
        ~unmount_guard() { shell("umount " + shell_quoted(dir)); }
    } unmount{at("small")};
    write_file(at("big.bin"), std::string(std::size_t{1024} * 1024, 'x'));
    write_file(at("small/old.bin"), "old");
    for (const char* target : {"small/new.bin", "small/old.bin"}) {
        SCOPED_TRACE(target);
        error_code ec;
        fs::copy_file(native("big.bin"), native(target), fs::existing_target::replace, ec);
        EXPECT_EC(ec, system_error(ENOSPC));
        EXPECT_FALSE(stdfs::exists(at(target)));
    }
}

TEST_F(operations_test, equivalent_compares_the_file_not_its_name)
{
    write_tree(root_, {{"dir/file.txt", "same"}, {"other.txt", "same"}});
    struct equivalent_case {
        const char* a;
        const char* b;
        bool same;
    };
    const equivalent_case cases[] = {
        {"dir/file.txt", "dir/../dir/./file.txt", true},
        {"dir", "dir/.", true},
        {"dir/file.txt", "other.txt", false},
        {"dir", "dir/file.txt", false},
    };
    for (const equivalent_case& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " and " + c.b);
        error_code ec = generic_error(generic_io_error);
        EXPECT_EQ(fs::equivalent(native(c.a), native(c.b), ec), c.same);
        EXPECT_NO_EC(ec);
    }
    for (const auto& [a, b] : {std::pair{"dir/file.txt", "missing"}, std::pair{"missing", "dir/file.txt"}}) {
        SCOPED_TRACE(std::string(a) + " and " + b);
        error_code ec;
        EXPECT_FALSE(fs::equivalent(native(a), native(b), ec));
        EXPECT_EC(ec, not_found_error());
    }
    if (!windows_path_rules) {
        stdfs::create_hard_link(at("dir/file.txt"), at("hard.txt"));
        stdfs::create_symlink(at("dir/file.txt"), at("soft.txt"));
        for (const char* alias : {"hard.txt", "soft.txt"}) {
            SCOPED_TRACE(alias);
            error_code ec;
            EXPECT_TRUE(fs::equivalent(native("dir/file.txt"), native(alias), ec));
            EXPECT_NO_EC(ec);
        }
    }
}

TEST_F(operations_test, create_directories_creates_every_missing_level)
{
    write_tree(root_, {{"a/", ""}});
    for (const char* rel : {"a/b/c/d", "a/b/c/d", "a/b/e/"}) {
        SCOPED_TRACE(rel);
        error_code ec = generic_error(generic_io_error);
        fs::create_directories(native(rel), ec);
        EXPECT_NO_EC(ec);
    }
    EXPECT_EQ(read_tree(root_), (tree{{"a/", ""}, {"a/b/", ""}, {"a/b/c/", ""}, {"a/b/c/d/", ""}, {"a/b/e/", ""}}));
}

TEST_F(operations_test, create_directories_refuses_an_empty_path)
{
    error_code ec;
    fs::create_directories(path_string(), ec);
    EXPECT_EC(ec, path_not_found_error());
}

TEST_F(operations_test, create_directories_through_a_file_is_already_exists)
{
    write_tree(root_, {{"file.txt", "x"}});
    // The levels below the file fail inside the not-found set; the file's own failure is reported.
    for (const char* rel : {"file.txt", "file.txt/sub", "file.txt/sub/deeper"}) {
        SCOPED_TRACE(rel);
        error_code ec;
        fs::create_directories(native(rel), ec);
        EXPECT_EC(ec, already_exists_error());
    }
    EXPECT_EQ(read_tree(root_), (tree{{"file.txt", "x"}}));
}

TEST_F(operations_test, create_directories_reports_the_last_failure_outside_the_not_found_set)
{
    if (windows_path_rules)
        GTEST_SKIP() << chattr_skip;
    write_tree(root_, {{"locked/", ""}});
    immutable_guard locked(at("locked"));
    if (!locked.set())
        GTEST_SKIP() << "chattr +i is not possible here";
    // "locked/a" fails with EPERM, then "locked/a/b" with ENOENT, which is not the one reported.
    error_code ec;
    fs::create_directories(native("locked/a/b"), ec);
    EXPECT_EC(ec, system_error(EPERM));
}

TEST_F(operations_test, create_directories_looks_once_at_a_directory_that_is_there_and_makes_only_what_is_missing)
{
    if (windows_path_rules)
        GTEST_SKIP() << "strace watches Linux processes only";
    if (!strace_can_trace())
        GTEST_SKIP() << "strace is missing or cannot trace here";
    const char* tools = std::getenv("QM_TEST_TOOLS");
    ASSERT_NE(tools, nullptr) << "QM_TEST_TOOLS names the folder of fs_tool";
    write_tree(root_, {{"a/b/", ""}});
    struct traced_case {
        const char* rel;
        int queries;   // status queries of paths in the tree
        int creations; // mkdir calls, failed ones included
    };
    // Missing levels are tried from the bottom: a mkdir fails until the level above is there.
    const traced_case cases[] = {
        {"a/b", 1, 0},
        {"a/b/c", 1, 1},
        {"a/b/d/e/f", 1, 5},
    };
    const stdfs::path trace =
        stdfs::path(::testing::TempDir()) / ("qm-create-directories-" + std::to_string(::getpid()));
    for (const traced_case& c : cases) {
        SCOPED_TRACE(c.rel);
        const stdfs::path output = trace.string() + ".out";
        // LeakSanitizer cannot work under a tracer.
        shell("ASAN_OPTIONS=detect_leaks=0 strace -qq -o " + shell_quoted(trace) + " -e trace=%%stat,mkdir,mkdirat " +
              shell_quoted(stdfs::path(tools) / "fs_tool") + " create_directories " + shell_quoted(at(c.rel)) + " > " +
              shell_quoted(output));
        EXPECT_EQ(read_file(output), "ok\n");
        int queries = 0;
        int creations = 0;
        std::istringstream lines(read_file(trace));
        for (std::string line; std::getline(lines, line);) {
            if (line.find('"' + root_.string()) == std::string::npos)
                continue;
            ++(line.rfind("mkdir", 0) == 0 ? creations : queries);
        }
        EXPECT_EQ(queries, c.queries) << read_file(trace);
        EXPECT_EQ(creations, c.creations) << read_file(trace);
        stdfs::remove(trace);
        stdfs::remove(output);
    }
    EXPECT_EQ(read_tree(root_),
              (tree{{"a/", ""}, {"a/b/", ""}, {"a/b/c/", ""}, {"a/b/d/", ""}, {"a/b/d/e/", ""}, {"a/b/d/e/f/", ""}}));
}

TEST_F(operations_test, relative_resolves_what_exists_and_normalises_the_rest)
{
    write_tree(root_, {{"real/sub/file.txt", "x"}});
    struct relative_case {
        const char* path;
        const char* base;
        const char* relative;
    };
    const relative_case cases[] = {
        {"real/sub/file.txt", "real", "sub/file.txt"},
        {"real/sub/missing/../file.txt", "real", "sub/file.txt"},
        {"real/missing/./x/../y", "real", "missing/y"},
        {"real", "real/sub/missing", "../.."},
        {"real/sub", "real/sub/.", "."},
    };
    for (const relative_case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " from " + c.base);
        error_code ec = generic_error(generic_io_error);
        EXPECT_EQ(U(fs::relative(native(c.path), native(c.base), ec)), native_rel(c.relative));
        EXPECT_NO_EC(ec);
    }
}

TEST_F(operations_test, relative_through_a_link)
{
    if (windows_path_rules)
        GTEST_SKIP() << links_skip;
    write_tree(root_, {{"real/sub/file.txt", "x"}});
    stdfs::create_directory_symlink(at("real"), at("alias"));
    stdfs::create_directory_symlink(at("real/sub"), at("deep"));
    struct relative_case {
        const char* path;
        const char* base;
        const char* relative;
    };
    const relative_case cases[] = {
        {"alias/sub/file.txt", "real", "sub/file.txt"},
        {"real/sub", "alias", "sub"},
        {"alias/missing/x", "real", "missing/x"},
        // ".." after a link leaves the link's target, not the link.
        {"deep/..", "real", "."},
        {"deep/../sub", "", "real/sub"},
    };
    for (const relative_case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " from " + c.base);
        error_code ec;
        EXPECT_EQ(U(fs::relative(native(c.path), native(c.base), ec)), c.relative);
        EXPECT_NO_EC(ec);
    }
}

TEST_F(operations_test, open_file_reads_writes_and_appends)
{
    const path_string file = native("log.txt");
    error_code ec;
    auto write = [&](const char* mode, const std::string& text) {
        fs::unique_file f = fs::open_file(file, mode, ec);
        ASSERT_NO_EC(ec);
        ASSERT_TRUE(f);
        EXPECT_EQ(std::fwrite(text.data(), 1, text.size(), f.get()), text.size());
    };
    write("wb", "first ");
    write("ab", "second");
    EXPECT_EQ(read_file(at("log.txt")), "first second");
    write("wb", "again");
    EXPECT_EQ(read_file(at("log.txt")), "again");

    fs::unique_file in = fs::open_file(file, "rb", ec);
    ASSERT_NO_EC(ec);
    char buffer[16] = {};
    EXPECT_EQ(std::fread(buffer, 1, sizeof buffer, in.get()), 5u);
    EXPECT_EQ(std::string(buffer), "again");
}

TEST_F(operations_test, open_file_failures)
{
    struct open_case {
        const char* rel;
        const char* mode;
        error_code expected;
    };
    const open_case cases[] = {
        {"missing.txt", "rb", not_found_error()},
        {"missing/new.txt", "wb", path_not_found_error()},
        {"new.txt", "q", generic_error(generic_invalid_argument)},
        {"new.txt", "wq", generic_error(generic_invalid_argument)},
        {"new.txt", "", generic_error(generic_invalid_argument)},
    };
    for (const open_case& c : cases) {
        SCOPED_TRACE(std::string(c.rel) + " \"" + c.mode + "\"");
        error_code ec;
        EXPECT_FALSE(fs::open_file(native(c.rel), c.mode, ec));
        EXPECT_EC(ec, c.expected);
    }
    EXPECT_EQ(read_tree(root_), tree{});
}

TEST_F(operations_test, open_file_is_not_inherited_by_child_processes)
{
    if (windows_path_rules)
        GTEST_SKIP() << "a child's descriptors are listed from /proc";
    error_code ec;
    fs::unique_file f = fs::open_file(native("open.txt"), "wb", ec);
    ASSERT_NO_EC(ec);
    // The shell and ls inherit whatever the test process leaves inheritable.
    ASSERT_TRUE(shell("ls -l /proc/self/fd/ > " + shell_quoted(at("fds.txt"))));
    const std::string fds = read_file(at("fds.txt"));
    EXPECT_NE(fds.find("fds.txt"), std::string::npos) << fds;
    EXPECT_EQ(fds.find("open.txt"), std::string::npos) << fds;
}

} // namespace
} // namespace updater::test
