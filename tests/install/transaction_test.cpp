// The install transaction over real trees: one table of scenarios, each with its fixture
// installation and staging tree, the expected outcome, and the expected trees afterwards.
#include "updater/install/transaction.h"

#include "support/test_support.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <optional>

namespace updater::test {
namespace {

namespace stdfs = std::filesystem;

// The files of a tree (directories left out), since directories are implied by their files.
tree files_of(const tree& t)
{
    tree files;
    for (const auto& [rel, content] : t)
        if (rel.back() != '/')
            files.emplace(rel, content);
    return files;
}

// The installation without the two backup folders, which are compared on their own.
tree installed_files(const stdfs::path& install_dir)
{
    tree files;
    for (const auto& [rel, content] : files_of(read_tree(install_dir)))
        if (rel.rfind(".update-backup/", 0) != 0 && rel.rfind(".update-backup.tmp/", 0) != 0)
            files.emplace(rel, content);
    return files;
}

// Each file of the previous installation is, with its content, at its installed place or at its
// place in the pending backup.
void expect_nothing_lost(const tree& before, const stdfs::path& install_dir)
{
    tree now = installed_files(install_dir);
    tree pending = files_of(read_tree(install_dir / ".update-backup.tmp"));
    for (const auto& [rel, content] : files_of(before)) {
        if (rel.rfind(".update-backup", 0) == 0)
            continue;
        bool kept = (now.count(rel) && now.at(rel) == content) || (pending.count(rel) && pending.at(rel) == content);
        EXPECT_TRUE(kept) << rel << " of the previous installation is lost";
    }
}

bool is_posix() { return !windows_path_rules; }

// A manifest written by scanning an installation lists entries in the order the platform lists the
// folders, so it is compared as a set of lines.
void sort_manifest_lines(tree& t)
{
    auto it = t.find("install-manifest.txt");
    if (it == t.end())
        return;
    std::vector<std::string> lines;
    std::string line;
    for (char c : it->second) {
        line += c;
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        }
    }
    lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    it->second.clear();
    for (const auto& l : lines)
        it->second += l;
}

void run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

struct paths {
    stdfs::path install;
    stdfs::path staging;
};

struct scenario {
    const char* name;
    std::optional<tree> install; // nullopt: install_dir does not exist
    tree staging;
    bool installed;
    // The expected error when not installed; checked by value and category.
    std::function<error_code()> error;
    tree install_after;
    std::optional<tree> backup_after;  // nullopt: ".update-backup" absent
    std::optional<tree> pending_after; // nullopt: ".update-backup.tmp" absent
    std::optional<tree> staging_after; // nullopt: staging_dir absent
    bool posix_only = false;
    std::function<void(const paths&)> prepare = nullptr;
    std::function<void(const paths&)> cleanup = nullptr;
    std::function<stdfs::path(const stdfs::path& root)> staging_dir = nullptr;
};

const tree plain_install = {
    {"app.exe", "app 1"},
    {"lib/a.dll", "a 1"},
    {"lib/old.dll", "old 1"},
    {"docs/readme.txt", "readme 1"},
    {"user/settings.ini", "my settings"},
    {"install-manifest.txt", "app.exe\nlib/a.dll\nlib/old.dll\ndocs/readme.txt\n"},
};
const tree plain_staging = {
    {"app.exe", "app 2"},
    {"lib/a.dll", "a 2"},
    {"lib/new/b.dll", "b 2"},
    {"docs/readme.txt", "readme 2"},
    {"user/settings.ini", "staged settings"},
};
const tree plain_result = {
    {"app.exe", "app 2"},
    {"lib/a.dll", "a 2"},
    {"lib/new/b.dll", "b 2"},
    {"docs/readme.txt", "readme 2"},
    {"user/settings.ini", "my settings"},
    {"install-manifest.txt", "app.exe\ndocs/readme.txt\nlib/a.dll\nlib/new/b.dll\n"},
};
const tree plain_backup = {
    {"app.exe", "app 1"},
    {"lib/a.dll", "a 1"},
    {"lib/old.dll", "old 1"},
    {"docs/readme.txt", "readme 1"},
    {"install-manifest.txt", "app.exe\nlib/a.dll\nlib/old.dll\ndocs/readme.txt\n"},
};

// A staged file whose installed parent is a file that the update keeps: its move-in cannot create
// the folder, and the transaction rolls back.
const tree blocked_install = {
    {"a.txt", "a 1"},
    {"z", "z is a file"},
    {"install-manifest.txt", "a.txt\nz\n"},
};
const tree blocked_staging = {
    {"a.txt", "a 2"},
    {"new.txt", "new"},
    {"z/y", "y"},
    {"install-manifest.txt", "a.txt\nnew.txt\nz\nz/y\n"},
};

const scenario scenarios[] = {
    {"plain update", plain_install, plain_staging, true, nullptr, plain_result, plain_backup, std::nullopt,
     std::nullopt},
    {"first install into a missing folder",
     std::nullopt,
     {{"a.txt", "a"}, {"sub/b.txt", "b"}},
     true,
     nullptr,
     {{"a.txt", "a"}, {"sub/b.txt", "b"}, {"install-manifest.txt", "a.txt\nsub/b.txt\n"}},
     tree{{"install-manifest.txt", ""}},
     std::nullopt,
     std::nullopt},
    {"unmanifested installation: backup manifest, then the unusable manifest moved onto it",
     tree{{"app.exe", "app 1"}, {"install-manifest.txt", "\r\n/rooted\n"}},
     {{"app.exe", "app 2"}},
     true,
     nullptr,
     {{"app.exe", "app 2"}, {"install-manifest.txt", "app.exe\n"}},
     tree{{"app.exe", "app 1"}, {"install-manifest.txt", "\r\n/rooted\n"}},
     std::nullopt,
     std::nullopt},
    {"no installed manifest: the backup manifest lists top-level files and the folders the update brings",
     tree{{"app.exe", "app 1"}, {".hidden", "h"}, {"old/z", "z"}, {"plugins/x", "x 1"}, {"plugins/.cache/c", "c"}},
     {{"app.exe", "app 2"}, {"plugins/x", "x 2"}},
     true,
     nullptr,
     {{"app.exe", "app 2"},
      {".hidden", "h"},
      {"old/z", "z"},
      {"plugins/x", "x 2"},
      {"plugins/.cache/c", "c"},
      {"install-manifest.txt", "app.exe\nplugins/x\n"}},
     tree{{"app.exe", "app 1"},
          {"plugins/x", "x 1"},
          {"install-manifest.txt", "app.exe\nplugins/.cache/c\nplugins/x\n"}},
     std::nullopt,
     std::nullopt},
    {"a staged manifest that omits a staged file",
     tree{{"a", "a 1"}, {"b", "b 1"}, {"install-manifest.txt", "a\nb\n"}},
     {{"a", "a 2"}, {"b", "b 2"}, {"install-manifest.txt", "a\n"}},
     true,
     nullptr,
     {{"a", "a 2"}, {"b", "b 2"}, {"install-manifest.txt", "a\n"}},
     tree{{"a", "a 1"}, {"b", "b 1"}, {"install-manifest.txt", "a\nb\n"}},
     std::nullopt,
     std::nullopt},
    {"an obsolete file already missing",
     tree{{"a", "a 1"}, {"install-manifest.txt", "a\ngone.txt\n"}},
     {{"a", "a 2"}},
     true,
     nullptr,
     {{"a", "a 2"}, {"install-manifest.txt", "a\n"}},
     tree{{"a", "a 1"}, {"install-manifest.txt", "a\ngone.txt\n"}},
     std::nullopt,
     std::nullopt},
    {"a file that becomes a folder",
     tree{{"d", "d was a file"}, {"k", "k 1"}, {"install-manifest.txt", "d\nk\n"}},
     {{"d/f", "f"}, {"k", "k 2"}},
     true,
     nullptr,
     {{"d/f", "f"}, {"k", "k 2"}, {"install-manifest.txt", "d/f\nk\n"}},
     tree{{"d", "d was a file"}, {"k", "k 1"}, {"install-manifest.txt", "d\nk\n"}},
     std::nullopt,
     std::nullopt},
    {"a file that becomes a folder, then a failed move",
     tree{{"d", "d was a file"}, {"k", "k 1"}, {"z", "z"}, {"install-manifest.txt", "d\nk\nz\n"}},
     {{"d/f", "f"}, {"k", "k 2"}, {"z/y", "y"}, {"install-manifest.txt", "d/f\nk\nz\nz/y\n"}},
     false,
     already_exists_error,
     {{"d", "d was a file"}, {"k", "k 1"}, {"z", "z"}, {"install-manifest.txt", "d\nk\nz\n"}},
     std::nullopt,
     std::nullopt,
     tree{{"d/f", "f"}, {"k", "k 2"}, {"z/y", "y"}, {"install-manifest.txt", "d/f\nk\nz\nz/y\n"}}},
    {"a folder that becomes a file",
     tree{{"d/x", "x"}, {"d/sub/y", "y"}, {"install-manifest.txt", "d/x\nd/sub/y\n"}},
     {{"d", "d is a file now"}},
     true,
     nullptr,
     {{"d", "d is a file now"}, {"install-manifest.txt", "d\n"}},
     tree{{"d/x", "x"}, {"d/sub/y", "y"}, {"install-manifest.txt", "d/x\nd/sub/y\n"}},
     std::nullopt,
     std::nullopt},
    {"a folder that becomes a file, then a failed move",
     tree{{"d/x", "x"}, {"z", "z"}, {"install-manifest.txt", "d/x\nz\n"}},
     {{"d", "d is a file now"}, {"z/y", "y"}, {"install-manifest.txt", "d\nz\nz/y\n"}},
     false,
     already_exists_error,
     {{"d/x", "x"}, {"z", "z"}, {"install-manifest.txt", "d/x\nz\n"}},
     std::nullopt,
     std::nullopt,
     tree{{"d", "d is a file now"}, {"z/y", "y"}, {"install-manifest.txt", "d\nz\nz/y\n"}}},
    {"an installed folder unknown to the manifest, at a staged file's place, moved aside whole",
     tree{{"a", "a 1"}, {"d/u", "unlisted"}, {"install-manifest.txt", "a\n"}},
     {{"a", "a 2"}, {"d", "d is a file now"}},
     true,
     nullptr,
     {{"a", "a 2"}, {"d", "d is a file now"}, {"install-manifest.txt", "a\nd\n"}},
     tree{{"a", "a 1"}, {"d/u", "unlisted"}, {"install-manifest.txt", "a\n"}},
     std::nullopt,
     std::nullopt},
    {"staging on another file system: every move-in is a copy", plain_install, plain_staging, true, nullptr,
     plain_result, plain_backup, std::nullopt, std::nullopt, true, nullptr,
     [](const paths& p) {
         std::error_code ignored;
         stdfs::remove_all(p.staging.parent_path(), ignored);
     },
     [](const stdfs::path& root) { return stdfs::path("/dev/shm") / root.filename() / "staging"; }},
    {"a move that fails part-way is rolled back", blocked_install, blocked_staging, false, already_exists_error,
     blocked_install, std::nullopt, std::nullopt, blocked_staging},
    {"staging_dir is the backup folder", plain_install, plain_staging, true, nullptr, plain_result, plain_backup,
     std::nullopt, std::nullopt, false, nullptr, nullptr,
     [](const stdfs::path& root) { return root / "install" / ".update-backup"; }},
    {"a previous backup that cannot be removed: still installed, the pending backup stays", plain_install,
     plain_staging, true, nullptr, plain_result, tree{{"kept.txt", "from the update before"}}, plain_backup,
     std::nullopt, true,
     [](const paths& p) {
         write_file(p.install / ".update-backup" / "kept.txt", "from the update before");
         run("chattr +i " + shell_quoted(p.install / ".update-backup" / "kept.txt"));
     },
     [](const paths& p) { run("chattr -i " + shell_quoted(p.install / ".update-backup" / "kept.txt")); }},
    {"leftovers in the pending backup",
     tree{{"a", "a 1"}, {".update-backup.tmp/a", "left over"}},
     {{"a", "a 2"}},
     false,
     [] { return generic_error(17); },
     {{"a", "a 1"}},
     std::nullopt,
     tree{{"a", "left over"}},
     tree{{"a", "a 2"}}},
    {"a missing staging folder",
     plain_install,
     {},
     false,
     path_not_found_error,
     plain_install,
     std::nullopt,
     std::nullopt,
     std::nullopt,
     false,
     nullptr,
     nullptr,
     [](const stdfs::path& root) { return root / "no-such-staging"; }},
    {"nothing to install",
     plain_install,
     {{"install-manifest.txt", "a\n"}, {"user/x", "x"}},
     false,
     [] { return generic_error(22); },
     plain_install,
     std::nullopt,
     std::nullopt,
     tree{{"install-manifest.txt", "a\n"}, {"user/x", "x"}}},
    {"a staged manifest that must be written and cannot be",
     plain_install,
     {{"a", "a 2"}, {"install-manifest.txt", ""}},
     false,
     [] { return generic_error(5); },
     plain_install,
     std::nullopt,
     std::nullopt,
     tree{{"a", "a 2"}, {"install-manifest.txt", ""}},
     true,
     [](const paths& p) { run("chattr +i " + shell_quoted(p.staging / "install-manifest.txt")); },
     [](const paths& p) { run("chattr -i " + shell_quoted(p.staging / "install-manifest.txt")); }},
    // The place of "loop/x" lies below a link that points at itself.
    {"an installed place that cannot be queried stops the install before anything is replaced",
     tree{{"a", "a 1"}, {"install-manifest.txt", "a\n"}},
     {{"a", "a 2"}, {"loop/x", "new x"}, {"install-manifest.txt", "a\nloop/x\n"}},
     false,
     [] { return system_error(40); }, // ELOOP
     {{"a", "a 1"}, {"install-manifest.txt", "a\n"}, {"loop@", ""}},
     std::nullopt,
     std::nullopt,
     tree{{"a", "a 2"}, {"loop/x", "new x"}, {"install-manifest.txt", "a\nloop/x\n"}},
     true,
     [](const paths& p) { stdfs::create_symlink("loop", p.install / "loop"); }},
    // Links are not installed as links: one to a staged file installs that file under its own
    // path, one to a staged folder installs nothing ("name@" is a link in these trees).
    {"links in the staged tree arrive as the files they point at, under those files' paths",
     tree{{"app", "app 1"}, {"install-manifest.txt", "app\n"}},
     {{"app", "app 2"}, {"lib/libx.so.1.3", "x 1.3"}, {"plugins/p.dll", "p"}},
     true,
     nullptr,
     {{"app", "app 2"},
      {"lib/libx.so.1.3", "x 1.3"},
      {"plugins/p.dll", "p"},
      {"install-manifest.txt", "app\nlib/libx.so.1.3\nplugins/p.dll\n"}},
     tree{{"app", "app 1"}, {"install-manifest.txt", "app\n"}},
     std::nullopt,
     std::nullopt,
     true,
     [](const paths& p) {
         stdfs::create_symlink("libx.so.1.3", p.staging / "lib" / "libx.so.1");
         stdfs::create_directory_symlink("plugins", p.staging / "plugins-link");
     }},
    // A link in the installation is one entry: at the place of a staged file it moves aside as it
    // is, the link and not what it points at, also one that points at nothing.
    {"links at the places of staged files: moved aside as links, also one that points at nothing",
     tree{{"target.txt", "t 1"}, {"install-manifest.txt", "link.txt\ndangling.txt\ntarget.txt\n"}},
     {{"link.txt", "link 2"}, {"dangling.txt", "dangling 2"}, {"target.txt", "t 2"}},
     true,
     nullptr,
     {{"link.txt", "link 2"},
      {"dangling.txt", "dangling 2"},
      {"target.txt", "t 2"},
      {"install-manifest.txt", "dangling.txt\nlink.txt\ntarget.txt\n"}},
     tree{{"link.txt@", ""},
          {"dangling.txt@", ""},
          {"target.txt", "t 1"},
          {"install-manifest.txt", "link.txt\ndangling.txt\ntarget.txt\n"}},
     std::nullopt,
     std::nullopt,
     true,
     [](const paths& p) {
         stdfs::create_symlink("target.txt", p.install / "link.txt");
         stdfs::create_symlink("missing.txt", p.install / "dangling.txt");
     }},
    {"a link moved aside at the place of a staged file goes back in a rollback, as a link",
     tree{{"target.txt", "t 1"}, {"z", "z is a file"}, {"install-manifest.txt", "link.txt\ntarget.txt\nz\n"}},
     {{"link.txt", "link 2"},
      {"target.txt", "t 2"},
      {"z/y", "y"},
      {"install-manifest.txt", "link.txt\ntarget.txt\nz\nz/y\n"}},
     false,
     already_exists_error,
     {{"link.txt@", ""},
      {"target.txt", "t 1"},
      {"z", "z is a file"},
      {"install-manifest.txt", "link.txt\ntarget.txt\nz\n"}},
     std::nullopt,
     std::nullopt,
     tree{{"link.txt", "link 2"},
          {"target.txt", "t 2"},
          {"z/y", "y"},
          {"install-manifest.txt", "link.txt\ntarget.txt\nz\nz/y\n"}},
     true,
     [](const paths& p) { stdfs::create_symlink("target.txt", p.install / "link.txt"); }},
    // A library's version link that no manifest names stays when its target is retired, and then
    // points at nothing; the staged version link does not arrive (it names a staged file). So an
    // application must stage its version links as real files.
    {"an unlisted version link stays, pointing at nothing, when the update retires its target",
     tree{{"app", "app 1"}, {"lib/libx.so.1.2", "x 1.2"}, {"install-manifest.txt", "app\nlib/libx.so.1.2\n"}},
     {{"app", "app 2"}, {"lib/libx.so.1.3", "x 1.3"}},
     true,
     nullptr,
     {{"app", "app 2"},
      {"lib/libx.so.1@", ""},
      {"lib/libx.so.1.3", "x 1.3"},
      {"install-manifest.txt", "app\nlib/libx.so.1.3\n"}},
     tree{{"app", "app 1"}, {"lib/libx.so.1.2", "x 1.2"}, {"install-manifest.txt", "app\nlib/libx.so.1.2\n"}},
     std::nullopt,
     std::nullopt,
     true,
     [](const paths& p) {
         stdfs::create_symlink("libx.so.1.2", p.install / "lib" / "libx.so.1");
         stdfs::create_symlink("libx.so.1.3", p.staging / "lib" / "libx.so.1");
     }},
};

void PrintTo(const scenario& s, std::ostream* out) { *out << s.name; }

class install_transaction : public temp_dir_test, public ::testing::WithParamInterface<scenario> {};

TEST_P(install_transaction, leaves_the_expected_trees)
{
    const scenario& s = GetParam();
    if (s.posix_only && !is_posix())
        GTEST_SKIP() << "needs POSIX-only means (links, chattr, /dev/shm)";
    if (s.posix_only && s.prepare && std::system("command -v chattr >/dev/null") != 0)
        GTEST_SKIP() << "chattr is not available";

    paths p{at("install"), s.staging_dir ? s.staging_dir(root_) : at("staging")};
    if (s.install)
        write_tree(p.install, *s.install);
    if (!s.staging.empty())
        write_tree(p.staging, s.staging);
    if (s.prepare)
        s.prepare(p);
    tree before = s.install ? *s.install : tree{};

    error_code ec = generic_error(9999);
    bool installed = install_staged_update(p.staging.native(), p.install.native(), ec);

    tree install_after = installed_files(p.install);
    tree backup_after = files_of(read_tree(p.install / ".update-backup"));
    tree pending_after = files_of(read_tree(p.install / ".update-backup.tmp"));
    bool backup_exists = stdfs::exists(p.install / ".update-backup");
    bool pending_exists = stdfs::exists(p.install / ".update-backup.tmp");
    bool staging_exists = stdfs::exists(p.staging);
    tree staging_after = files_of(read_tree(p.staging));
    if (s.cleanup)
        s.cleanup(p);

    EXPECT_EQ(installed, s.installed);
    if (s.installed) {
        EXPECT_EQ(ec.value(), 0) << describe(ec);
    } else {
        EXPECT_EC(ec, s.error());
    }
    if (s.staging_dir && p.staging == p.install / ".update-backup") {
        // The staging folder became the committed backup.
        EXPECT_EQ(install_after, s.install_after);
        EXPECT_EQ(backup_after, *s.backup_after);
        EXPECT_FALSE(pending_exists);
        return;
    }
    EXPECT_EQ(install_after, s.install_after);
    EXPECT_EQ(backup_exists, s.backup_after.has_value());
    if (s.backup_after) {
        tree expected = *s.backup_after;
        if (s.install && !s.install->count("install-manifest.txt")) {
            sort_manifest_lines(expected);
            sort_manifest_lines(backup_after);
        }
        EXPECT_EQ(backup_after, expected);
    }
    EXPECT_EQ(pending_exists, s.pending_after.has_value());
    if (s.pending_after) {
        EXPECT_EQ(pending_after, *s.pending_after);
    }
    EXPECT_EQ(staging_exists, s.staging_after.has_value());
    if (s.staging_after) {
        EXPECT_EQ(staging_after, *s.staging_after);
    }
    if (!installed)
        expect_nothing_lost(before, p.install);
}

std::string scenario_name(const ::testing::TestParamInfo<scenario>& info)
{
    std::string name = std::to_string(info.index) + "_";
    for (const char* c = info.param.name; *c && name.size() < 60; ++c)
        name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(scenarios, install_transaction, ::testing::ValuesIn(scenarios), scenario_name);

} // namespace
} // namespace updater::test

namespace updater::test {
namespace {

// A restore that fails for real: the transaction runs in a small program under strace, which makes
// every attempt of one chosen rename fail. Moves of this fixture, in order: a.txt aside and in,
// the manifest aside and in, new.txt in; z/y fails (its folder's place is a file); then the
// rollback: new.txt back, the manifest back, the manifest restored (renames 8 to 17, all ten
// attempts failing), a.txt back and restored.
class failed_restore : public temp_dir_test {};

TEST_F(failed_restore, keeps_what_could_not_go_back_in_the_pending_backup)
{
    if (windows_path_rules)
        GTEST_SKIP() << "strace is a POSIX tool";
    if (!strace_can_trace())
        GTEST_SKIP() << "strace is missing or cannot trace here";
    const char* tools = std::getenv("QM_TEST_TOOLS");
    ASSERT_NE(tools, nullptr);

    write_tree(at("install"), blocked_install);
    write_tree(at("staging"), blocked_staging);
    const stdfs::path output = at() / "output";
    // strace picks the renames by their path: the first moves the installed manifest aside, every
    // later one (the restore and its retries) fails. LeakSanitizer cannot run under ptrace; the
    // sanitizer build's leak checks run without strace.
    const stdfs::path backup = at("install/.update-backup.tmp/install-manifest.txt");
    std::string command = "ASAN_OPTIONS=detect_leaks=0 strace -qq -o /dev/null -P " + shell_quoted(backup) +
                          " -e trace=rename,renameat2 -e inject=rename,renameat2:error=EIO:when=2+ " +
                          shell_quoted(stdfs::path(tools) / "install_tool") + " " + shell_quoted(at("staging")) + " " +
                          shell_quoted(at("install")) + " >" + shell_quoted(output);
    std::system(command.c_str());

    EXPECT_EQ(read_file(output), "failed system " + std::to_string(already_exists_error().value()) + "\n");
    EXPECT_EQ(installed_files(at("install")), (tree{{"a.txt", "a 1"}, {"z", "z is a file"}}));
    EXPECT_EQ(files_of(read_tree(at("install/.update-backup.tmp"))), (tree{{"install-manifest.txt", "a.txt\nz\n"}}));
    EXPECT_EQ(files_of(read_tree(at("staging"))), blocked_staging);
    expect_nothing_lost(blocked_install, at("install"));
}

} // namespace
} // namespace updater::test

namespace updater::test {
namespace {

class failed_install : public temp_dir_test {};

TEST_F(failed_install, leaves_no_folder_it_made_for_new_files)
{
    // new/deep/n.txt moves in, into folders made for it; then z/y cannot (z is a file) and the
    // install is rolled back.
    tree staging = blocked_staging;
    staging["new/deep/n.txt"] = "n";
    staging["install-manifest.txt"] += "new/deep/n.txt\n";
    write_tree(at("install"), blocked_install);
    write_tree(at("staging"), staging);
    const tree before = read_tree(at("install"));

    error_code ec;
    EXPECT_FALSE(install_staged_update(native("staging"), native("install"), ec));
    EXPECT_EC(ec, already_exists_error());
    EXPECT_EQ(read_tree(at("install")), before);
    EXPECT_EQ(files_of(read_tree(at("staging"))), staging);
}

// A folder that a move-in made goes again in a rollback once nothing but folders is left in it.
// When that removal fails the folder stays, with no file in it, and the install still counts as
// put back: no pending backup is left.
TEST_F(failed_install, keeps_a_folder_it_made_that_cannot_be_removed_with_no_file_in_it)
{
    if (windows_path_rules)
        GTEST_SKIP() << "strace is a POSIX tool";
    if (!strace_can_trace())
        GTEST_SKIP() << "strace is missing or cannot trace here";
    const char* tools = std::getenv("QM_TEST_TOOLS");
    ASSERT_NE(tools, nullptr);
    tree staging = blocked_staging;
    staging["new/deep/n.txt"] = "n";
    staging["install-manifest.txt"] += "new/deep/n.txt\n";
    write_tree(at("install"), blocked_install);
    write_tree(at("staging"), staging);
    tree expected = read_tree(at("install"));
    expected["new/"] = "";
    expected["new/deep/"] = "";
    const stdfs::path output = at() / "output";
    // Every removal of the folder "new" itself fails; its contents could go.
    const std::string command = "ASAN_OPTIONS=detect_leaks=0 strace -qq -o /dev/null -P " +
                                shell_quoted(at("install") / "new") + " -e trace=rmdir -e inject=rmdir:error=EBUSY " +
                                shell_quoted(stdfs::path(tools) / "install_tool") + " " + shell_quoted(at("staging")) +
                                " " + shell_quoted(at("install")) + " >" + shell_quoted(output);
    std::system(command.c_str());

    EXPECT_EQ(read_file(output), "failed system " + std::to_string(already_exists_error().value()) + "\n");
    EXPECT_EQ(read_tree(at("install")), expected);
    EXPECT_EQ(files_of(read_tree(at("staging"))), staging);
}

// The installed manifest tells which files the update retires. One that is there but cannot be
// read stops the install before anything moves: going on as if there were none would leave
// lib/old.dll installed, unlisted, for good.
TEST_F(failed_install, stops_when_the_installed_manifest_cannot_be_read)
{
    if (windows_path_rules)
        GTEST_SKIP() << "strace is a POSIX tool";
    if (!strace_can_trace())
        GTEST_SKIP() << "strace is missing or cannot trace here";
    const char* tools = std::getenv("QM_TEST_TOOLS");
    ASSERT_NE(tools, nullptr);
    write_tree(at("install"), plain_install);
    write_tree(at("staging"), plain_staging);
    const tree before = read_tree(at("install"));
    const stdfs::path output = at() / "output";
    // strace -P picks the reads of the installed manifest alone.
    const std::string command = "ASAN_OPTIONS=detect_leaks=0 strace -qq -o /dev/null -P " +
                                shell_quoted(at("install") / "install-manifest.txt") +
                                " -e trace=read -e inject=read:error=EIO " +
                                shell_quoted(stdfs::path(tools) / "install_tool") + " " + shell_quoted(at("staging")) +
                                " " + shell_quoted(at("install")) + " >" + shell_quoted(output);
    std::system(command.c_str());

    EXPECT_EQ(read_file(output), "failed generic 5\n");
    EXPECT_EQ(read_tree(at("install")), before);
}

// Folders are not installed as such: only files move, and a folder is made for a file that needs
// it. A folder whose files the update retires stays, empty; an empty staged folder does not arrive.
class install_folders : public temp_dir_test {};

TEST_F(install_folders, are_made_for_files_and_never_installed_or_retired_of_their_own)
{
    write_tree(at("install"),
               {{"app", "app 1"}, {"plugins/old/o.dll", "o"}, {"install-manifest.txt", "app\nplugins/old/o.dll\n"}});
    write_tree(at("staging"), {{"app", "app 2"}, {"cache/", ""}, {"data/empty/", ""}, {"data/d.txt", "d"}});

    error_code ec;
    EXPECT_TRUE(install_staged_update(native("staging"), native("install"), ec));
    EXPECT_NO_EC(ec);
    tree installed = read_tree(at("install"));
    std::erase_if(installed, [](const auto& entry) { return entry.first.starts_with(".update-backup"); });
    EXPECT_EQ(installed, (tree{{"app", "app 2"},
                               {"data/", ""},
                               {"data/d.txt", "d"},
                               {"plugins/", ""},
                               {"plugins/old/", ""},
                               {"install-manifest.txt", "app\ndata/d.txt\n"}}));
    EXPECT_FALSE(stdfs::exists(at("staging")));
}

} // namespace
} // namespace updater::test
