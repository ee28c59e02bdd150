// The rollback over real trees: one table of journals, each with the trees of the installation,
// the staging folder and the pending backup before and after.
#include "updater/install/journal.h"

#include "support/test_support.h"

#include <cstdlib>

namespace updater::test {
namespace {

struct rollback_case {
    const char* name;
    tree before; // below the test's folder: install/, staging/ and pending/
    std::vector<journal_entry> journal;
    tree after;
};

journal_entry entry(const std::string& relative_path, bool backed_up, bool moved_in)
{
    return {P(relative_path), backed_up, moved_in};
}

class rollback_test : public temp_dir_test {};

TEST_F(rollback_test, puts_the_previous_installation_back)
{
    const rollback_case cases[] = {
        {"an empty journal moves nothing and removes the pending backup with its manifest",
         {{"install/app.exe", "old app"},
          {"staging/app.exe", "new app"},
          {"pending/install-manifest.txt", "app.exe\n"}},
         {},
         {{"install/", ""}, {"install/app.exe", "old app"}, {"staging/", ""}, {"staging/app.exe", "new app"}}},
        {"a new file (moved in only) goes back to staging",
         {{"install/new.dll", "new"}, {"staging/", ""}, {"pending/", ""}},
         {entry("new.dll", false, true)},
         {{"install/", ""}, {"staging/", ""}, {"staging/new.dll", "new"}}},
        {"an obsolete file (backed up only) comes back",
         {{"install/", ""}, {"staging/", ""}, {"pending/old.dll", "old"}},
         {entry("old.dll", true, false)},
         {{"install/", ""}, {"install/old.dll", "old"}, {"staging/", ""}}},
        {"a new file whose move-in failed (neither flag) stays in staging",
         {{"install/", ""}, {"staging/new.dll", "new"}, {"pending/", ""}},
         {entry("new.dll", false, false)},
         {{"install/", ""}, {"staging/", ""}, {"staging/new.dll", "new"}}},
        {"a replaced file (both flags): the new file leaves before the old one returns",
         {{"install/app.exe", "new app"}, {"staging/", ""}, {"pending/app.exe", "old app"}},
         {entry("app.exe", true, true)},
         {{"install/", ""}, {"install/app.exe", "old app"}, {"staging/", ""}, {"staging/app.exe", "new app"}}},
        {"every combination in one journal, in folders that must be made again",
         {{"install/bin/app.exe", "new app"},
          {"install/bin/new.dll", "new dll"},
          {"staging/bin/late.dll", "late"},
          {"pending/lib/old.dll", "old dll"},
          {"pending/bin/app.exe", "old app"},
          {"pending/bin/tool.exe", "old tool"}},
         {entry("lib/old.dll", true, false), entry("bin/app.exe", true, true), entry("bin/new.dll", false, true),
          entry("bin/tool.exe", true, false), entry("bin/late.dll", false, false)},
         {{"install/", ""},
          {"install/bin/", ""},
          {"install/bin/app.exe", "old app"},
          {"install/bin/tool.exe", "old tool"},
          {"install/lib/", ""},
          {"install/lib/old.dll", "old dll"},
          {"staging/", ""},
          {"staging/bin/", ""},
          {"staging/bin/app.exe", "new app"},
          {"staging/bin/new.dll", "new dll"},
          {"staging/bin/late.dll", "late"}}},
        {"a path recorded twice: the newer entry takes the new file out, then the older brings the old one back",
         {{"install/a.dll", "new"}, {"staging/", ""}, {"pending/a.dll", "old"}},
         {entry("a.dll", true, false), entry("a.dll", false, true)},
         {{"install/", ""}, {"install/a.dll", "old"}, {"staging/", ""}, {"staging/a.dll", "new"}}},
        {"a new file that cannot go back to staging goes all the same, and the pending backup with it",
         {{"install/sub/new.dll", "new"},
          {"staging/sub", "a file where a folder is needed"},
          {"pending/app.exe", "old"}},
         {entry("app.exe", true, false), entry("sub/new.dll", false, true)},
         {{"install/", ""},
          {"install/app.exe", "old"},
          {"install/sub/", ""},
          {"staging/", ""},
          {"staging/sub", "a file where a folder is needed"}}},
        {"a copy that a failed move-in completed (moved in, its source stayed) goes back onto its source",
         {{"install/new.dll", "new"}, {"staging/new.dll", "new"}, {"pending/", ""}},
         {entry("new.dll", false, true)},
         {{"install/", ""}, {"staging/", ""}, {"staging/new.dll", "new"}}},
        // A query that answered "not found" for a file that was there, or a file that appeared
        // before the move-in: the move-in failed without replacing it, and nothing backs it up.
        {"a file at a place that no move-in reached (neither flag) stays as it is",
         {{"install/a.dll", "not the update's"}, {"staging/a.dll", "new"}, {"pending/", ""}},
         {entry("a.dll", false, false)},
         {{"install/", ""}, {"install/a.dll", "not the update's"}, {"staging/", ""}, {"staging/a.dll", "new"}}},
        {"a failed restore in the middle keeps the pending backup, and older entries are still restored",
         {{"install/sub", "a file where a folder is needed"},
          {"install/c.dll", "new c"},
          {"staging/", ""},
          {"pending/a.dll", "old a"},
          {"pending/sub/b.dll", "old b"}},
         {entry("a.dll", true, false), entry("sub/b.dll", true, false), entry("c.dll", false, true)},
         {{"install/", ""},
          {"install/a.dll", "old a"},
          {"install/sub", "a file where a folder is needed"},
          {"staging/", ""},
          {"staging/c.dll", "new c"},
          {"pending/", ""},
          {"pending/sub/", ""},
          {"pending/sub/b.dll", "old b"}}},
    };
    int index = 0;
    for (const rollback_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = "case" + std::to_string(index++);
        write_tree(at(dir), c.before);
        const path_string install_dir = native(dir + "/install");
        const path_string staging_dir = native(dir + "/staging");
        const path_string pending_backup_dir = native(dir + "/pending");

        // Bound before any entry exists, as the transaction does before its first move.
        install_journal journal;
        const rollback_context context{journal, install_dir, staging_dir, pending_backup_dir};
        for (const journal_entry& e : c.journal)
            journal.push_back(e);
        rollback(context);

        EXPECT_EQ(read_tree(at(dir)), c.after);
    }
}

TEST_F(rollback_test, keeps_the_pending_backup_when_a_new_file_can_neither_go_back_nor_go)
{
    if (windows_path_rules || !running_as_root() || std::system("command -v chattr >/dev/null") != 0)
        GTEST_SKIP() << "needs chattr, as root";
    write_tree(root_, {{"install/lib/new.dll", "new"}, {"staging/", ""}, {"pending/app.exe", "old"}});
    // An immutable folder: nothing in it can be renamed or removed.
    ASSERT_EQ(std::system(("chattr +i " + shell_quoted(at("install/lib"))).c_str()), 0);
    install_journal journal;
    const path_string install_dir = native("install");
    const path_string staging_dir = native("staging");
    const path_string pending_backup_dir = native("pending");
    const rollback_context context{journal, install_dir, staging_dir, pending_backup_dir};
    journal.push_back(entry("app.exe", true, false));
    journal.push_back(entry("lib/new.dll", false, true));
    rollback(context);
    std::system(("chattr -i " + shell_quoted(at("install/lib"))).c_str());

    // The previous version is not what it was, so the pending backup stays to say so.
    EXPECT_EQ(read_tree(root_), (tree{{"install/", ""},
                                      {"install/app.exe", "old"},
                                      {"install/lib/", ""},
                                      {"install/lib/new.dll", "new"},
                                      {"pending/", ""},
                                      {"staging/", ""},
                                      {"staging/lib/", ""}}));
}

} // namespace
} // namespace updater::test
