// The leftover guard and the disposal of a refused staging folder, for each state the folders can
// be in; the unreadable states run as an unprivileged user.
#include "updater/refusal.h"

#include "support/child_process.h"
#include "support/test_support.h"
#include "support/undeletable.h"

#include <functional>

namespace updater::test {
namespace {

namespace stdfs = std::filesystem;

class refusal_test : public temp_dir_test {};

TEST_F(refusal_test, leftover_guard_refuses_whatever_is_not_absent_or_empty)
{
    struct row {
        const char* name;
        std::function<void(const stdfs::path& pending)> make;
        bool refused;
        bool uses_links = false;
    };
    const row rows[] = {
        {"absent", [](const stdfs::path&) {}, false},
        {"an empty directory", [](const stdfs::path& p) { stdfs::create_directories(p); }, false},
        {"a directory holding one file",
         [](const stdfs::path& p) {
             write_tree(p, {{"readme.txt", "old"}});
         },
         true},
        {"a directory holding a hidden file",
         [](const stdfs::path& p) {
             write_tree(p, {{".hidden", ""}});
         },
         true},
        {"a directory holding one subdirectory",
         [](const stdfs::path& p) {
             write_tree(p, {{"sub/", ""}});
         },
         true},
        {"a directory holding only empty subdirectories",
         [](const stdfs::path& p) {
             write_tree(p, {{"a/", ""}, {"b/c/", ""}});
         },
         true},
        {"an empty regular file", [](const stdfs::path& p) { write_file(p, ""); }, true},
        {"a regular file", [](const stdfs::path& p) { write_file(p, "content"); }, true},
        {"a link to an empty directory",
         [](const stdfs::path& p) {
             stdfs::create_directories(p.parent_path() / "target");
             stdfs::create_directory_symlink("target", p);
         },
         false, true},
        {"a link to a directory holding a file",
         [](const stdfs::path& p) {
             write_tree(p.parent_path() / "target", {{"file", ""}});
             stdfs::create_directory_symlink("target", p);
         },
         true, true},
        {"a link whose target does not exist",
         [](const stdfs::path& p) { stdfs::create_directory_symlink("missing", p); }, false, true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        if (r.uses_links && windows_path_rules)
            continue; // Wine's links are not the platform's: see the POSIX run of this table
        stdfs::remove_all(at("install"));
        stdfs::create_directories(at("install"));
        r.make(at("install/.update-backup.tmp"));
        const tree before = read_tree(root_);
        EXPECT_EQ(has_leftover_backup(native("install")), r.refused);
        EXPECT_EQ(read_tree(root_), before);
    }
}

TEST_F(refusal_test, leftover_guard_finds_nothing_where_the_installation_folder_is_not_one)
{
    write_file(at("a file"), "");
    EXPECT_FALSE(has_leftover_backup(native("missing")));
    EXPECT_FALSE(has_leftover_backup(native("a file")));
}

TEST_F(refusal_test, leftover_guard_refuses_what_an_unprivileged_user_cannot_examine)
{
    if (windows_path_rules)
        GTEST_SKIP() << "access refused needs a second user, which Wine run as root does not have";
    if (!running_as_root())
        GTEST_SKIP() << "needs root to run the check as another user";
    const struct {
        const char* name;
        stdfs::perms install_dir;
        stdfs::perms pending_dir;
        const char* answer;
    } cases[] = {
        // The same user and tool on a readable folder: the answers below come from the folders.
        {"an empty directory that can be listed", stdfs::perms(0755), stdfs::perms(0755), "false"},
        {"a directory that cannot be listed", stdfs::perms(0755), stdfs::perms(0711), "true"},
        {"a status that cannot be read", stdfs::perms(0700), stdfs::perms(0755), "true"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        stdfs::remove_all(at("install"));
        stdfs::create_directories(at("install/.update-backup.tmp"));
        stdfs::permissions(at("install/.update-backup.tmp"), c.pending_dir);
        stdfs::permissions(at("install"), c.install_dir);
        child_process check("/usr/bin/setpriv",
                            {"--reuid=65534", "--regid=65534", "--clear-groups", tool_path("refusal_tool").string(),
                             "has_leftover_backup", at("install").string()});
        EXPECT_EQ(check.finish(), 0) << check.output();
        EXPECT_EQ(check.output(), std::string(c.answer) + "\n");
    }
}

TEST_F(refusal_test, staging_folder_is_disposed_only_when_its_own_name_is_update_staging)
{
    const tree staged = {{"readme.txt", "new"}, {"sub/deeper/file.dll", "new"}, {"user/settings.ini", "staged"}};
    const std::string slash = "/";
    const std::string backslash = windows_path_rules ? "\\" : "/";
    const struct {
        const char* name;
        std::string folder;  // the folder created, below the test's folder
        std::string written; // how staging_dir names it
        bool removed;
    } cases[] = {
        {"named .update-staging", ".update-staging", ".update-staging", true},
        {"written with slashes", "a/b/.update-staging", "a/b/.update-staging", true},
        {"written with the platform's separators", "a/b/.update-staging",
         "a" + backslash + "b" + backslash + ".update-staging", true},
        {"a separator at the end", ".update-staging", ".update-staging" + slash, false},
        {"differs in letter case", ".Update-Staging", ".Update-Staging", false},
        {"without the leading dot", "update-staging", "update-staging", false},
        {"with characters after the name", ".update-staging.old", ".update-staging.old", false},
        {"with characters before the name", "x.update-staging", "x.update-staging", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        stdfs::remove_all(root_);
        write_tree(at(c.folder), staged);
        write_file(at("outside.txt"), "stays");
        const tree before = read_tree(at(c.folder));
        dispose_staging_dir(native() + P("/" + c.written));
        EXPECT_EQ(stdfs::exists(at(c.folder)), !c.removed);
        EXPECT_EQ(read_tree(at(c.folder)), c.removed ? tree{} : before);
        EXPECT_TRUE(stdfs::is_directory(at(c.folder).parent_path()));
        EXPECT_EQ(read_file(at("outside.txt")), "stays");
    }
}

TEST_F(refusal_test, missing_staging_folder_is_no_error)
{
    write_file(at("outside.txt"), "stays");
    dispose_staging_dir(native(".update-staging"));
    EXPECT_EQ(read_tree(root_), (tree{{"outside.txt", "stays"}}));
}

TEST_F(refusal_test, disposal_around_a_file_that_cannot_be_deleted_leaves_it_and_reports_nothing)
{
    write_tree(at(".update-staging"), {{"a.txt", "new"}, {"kept/locked.txt", "new"}, {"z/b.txt", "new"}});
    write_file(at("outside.txt"), "stays");
    const tree before = read_tree(root_);
    tree remaining;
    {
        undeletable_path locked(at(".update-staging/kept/locked.txt"));
        if (!locked.held())
            GTEST_SKIP() << "cannot make a file undeletable here";
        dispose_staging_dir(native(".update-staging"));
        remaining = read_tree(root_);
    }
    // The removal stops at the first entry it cannot delete, so what went before it in the
    // listing's order is gone and the rest stays.
    EXPECT_EQ(remaining.count(".update-staging/kept/locked.txt"), 1u);
    EXPECT_EQ(remaining.count("outside.txt"), 1u);
    for (const auto& [rel, content] : remaining) {
        SCOPED_TRACE(rel);
        ASSERT_EQ(before.count(rel), 1u);
        EXPECT_EQ(before.at(rel), content);
    }
}

} // namespace
} // namespace updater::test
