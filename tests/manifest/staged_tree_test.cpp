// The staged tree: the "user" rule, the scan over small fixture trees, its failures, and the
// update's manifest.
#include "updater/manifest/staged_tree.h"

#include "manifest/manifest_tool.h"
#include "support/test_support.h"

#include <algorithm>
#include <cstdlib>

namespace updater::test {
namespace {

namespace stdfs = std::filesystem;

// Members in set order with "/" between elements, as the tests spell them.
std::vector<std::string> generic_members(const manifest_set& set)
{
    std::vector<std::string> result;
    for (const path_string& member : set) {
        std::string text = U(member);
        std::replace(text.begin(), text.end(), '\\', '/');
        result.push_back(text);
    }
    return result;
}

bool links_supported() { return !windows_path_rules; }

TEST(is_user_path, is_true_for_a_first_element_user_in_any_ascii_case)
{
    struct user_case {
        const char* rel;
        bool expected;
    };
    const user_case cases[] = {
        {"user", true},
        {"User", true},
        {"USER", true},
        {"uSeR", true},
        {"user/a.dll", true},
        {"USER\\x\\y", true},
        {"user/", true},
        {"users", false},
        {"user.txt", false},
        {"usr", false},
        {"data/user", false},
        {"data\\user\\x", false},
        {"", false},
        {"/user", false},
        {"us\xc3\xa9r", false},  // non-ASCII: U+00E9
        {"\xc5\xbfser", false},  // U+017F LONG S, which folds to "s" under Unicode rules
        {"user\xc2\xa0", false}, // a trailing no-break space
    };
    for (const user_case& c : cases) {
        SCOPED_TRACE(c.rel);
        EXPECT_EQ(is_user_path(P(c.rel)), c.expected);
    }
}

class staged_tree_scan : public temp_dir_test {};

TEST_F(staged_tree_scan, stages_regular_files_but_the_user_folder_and_the_top_manifest)
{
    struct tree_case {
        const char* name;
        tree staging;
        std::vector<std::string> expected; // in set order
    };
    // Each tree on its own, since names that differ only in case are one name on Windows.
    const tree_case cases[] = {
        {"the user folder in lower case, and look-alikes",
         {{"user/settings.ini", ""},
          {"user/deep/x", ""},
          {"users/a", ""},
          {"user.txt", ""},
          {"usr/b", ""},
          {"data/user/a", ""}},
         {"data/user/a", "user.txt", "users/a", "usr/b"}},
        {"the user folder in mixed case", {{"User/x", ""}, {"a", ""}}, {"a"}},
        {"a top-level file USER", {{"USER", ""}, {"b/USER", ""}}, {"b/USER"}},
        {"the top-level manifest", {{"install-manifest.txt", "x\n"}, {"a", ""}}, {"a"}},
        {"manifests in another case or place",
         {{"Install-Manifest.txt", ""}, {"docs/install-manifest.txt", ""}},
         {"Install-Manifest.txt", "docs/install-manifest.txt"}},
        {"names beginning with a dot",
         {{".hidden", ""}, {"sub/.cfg", ""}, {".dir/x", ""}, {"..a", ""}},
         {"..a", ".dir/x", ".hidden", "sub/.cfg"}},
        {"empty folders only", {{"empty/", ""}, {"a/b/", ""}}, {}},
        {"only the manifest and the user folder", {{"install-manifest.txt", "a\n"}, {"user/x", ""}}, {}},
        {"an empty tree", {}, {}},
    };
    for (const tree_case& c : cases) {
        SCOPED_TRACE(c.name);
        stdfs::path staging = at(std::string("staging-") + std::to_string(&c - cases));
        write_tree(staging, c.staging);
        error_code ec = generic_error(9999);
        manifest_set staged = scan_staged_tree(staging.native(), ec);
        EXPECT_NO_EC(ec);
        EXPECT_EQ(generic_members(staged), c.expected);
    }
}

TEST_F(staged_tree_scan, gives_the_same_paths_however_the_folder_is_spelled)
{
    write_tree(at("staging"), {{"a", ""}, {"sub/b", ""}});
    stdfs::create_directory(at("other"));
    for (const char* spelling : {"staging", "staging/", "other/../staging", "./staging"}) {
        SCOPED_TRACE(spelling);
        error_code ec = generic_error(9999);
        manifest_set staged = scan_staged_tree(native() + P(std::string("/") + spelling), ec);
        EXPECT_NO_EC(ec);
        EXPECT_EQ(generic_members(staged), (std::vector<std::string>{"a", "sub/b"}));
    }
}

TEST_F(staged_tree_scan, fails_with_the_iteration_error_for_a_missing_or_file_staging_dir)
{
    write_file(at("file"), "x");
    for (const char* name : {"no-such-staging", "file"}) {
        SCOPED_TRACE(name);
        error_code ec;
        EXPECT_TRUE(scan_staged_tree(native(name), ec).empty());
        EXPECT_TRUE(ec);
        EXPECT_EQ(ec.category(), system_category()) << describe(ec);
    }
}

TEST_F(staged_tree_scan, resolves_links_to_files_and_follows_no_other_link)
{
    if (!links_supported())
        GTEST_SKIP() << "Wine creates no symbolic links, and links made by Linux mislead it";
    write_tree(at("staging"), {{"real/f.txt", "f"}, {"user/secret", "s"}, {"install-manifest.txt", ""}});
    write_tree(at("outside"), {{"o.txt", "o"}, {"dir/p.txt", "p"}});
    stdfs::create_symlink("real/f.txt", at("staging/link-to-file"));
    stdfs::create_symlink(at("staging/real/f.txt"), at("staging/real/absolute-link"));
    stdfs::create_symlink("real", at("staging/link-to-dir"));
    stdfs::create_symlink("../outside/o.txt", at("staging/link-outside"));
    stdfs::create_symlink(at("outside/dir"), at("staging/link-to-outside-dir"));
    stdfs::create_symlink("missing.txt", at("staging/dangling"));
    stdfs::create_symlink("user/secret", at("staging/link-into-user"));
    stdfs::create_symlink("install-manifest.txt", at("staging/link-to-manifest"));
    stdfs::create_symlink("staging", at("staging-link"));

    // The folder named directly and through a link of its own.
    for (const char* name : {"staging", "staging-link"}) {
        SCOPED_TRACE(name);
        error_code ec = generic_error(9999);
        manifest_set staged = scan_staged_tree(native(name), ec);
        EXPECT_NO_EC(ec);
        EXPECT_EQ(generic_members(staged), (std::vector<std::string>{"real/f.txt"}));
    }
}

TEST_F(staged_tree_scan, fails_for_a_name_with_a_backslash_on_posix)
{
    if (windows_path_rules)
        GTEST_SKIP() << "a Windows name cannot hold a backslash";
    // Each would be listed and moved as another file; "user\x" is no file of a "user" folder.
    for (const char* name : {"a\\b", "dir\\x/f", "sub/c\\d", "user\\x"}) {
        SCOPED_TRACE(name);
        stdfs::path staging = at("staging");
        stdfs::remove_all(staging);
        write_tree(staging, {{"plain", ""}, {name, ""}});
        error_code ec;
        EXPECT_TRUE(scan_staged_tree(staging.native(), ec).empty());
        EXPECT_EC(ec, generic_error(generic_invalid_argument));
    }
}

TEST_F(staged_tree_scan, fails_when_a_subfolder_cannot_be_listed)
{
    if (windows_path_rules)
        GTEST_SKIP() << "denies access through POSIX modes and another user";
    write_tree(at("staging"), {{"a.txt", ""}, {"locked/b.txt", ""}});
    stdfs::permissions(at("staging/locked"), stdfs::perms::none);
    tool_result result = run_manifest_tool(unprivileged(), "scan", at("staging"), at());
    stdfs::permissions(at("staging/locked"), stdfs::perms::owner_all);
    EXPECT_EQ(result.status, "system 13") << result.errors;
    EXPECT_TRUE(result.entries.empty());
}

TEST_F(staged_tree_scan, fails_when_a_link_target_cannot_be_queried)
{
    if (windows_path_rules)
        GTEST_SKIP() << "denies access through POSIX modes and another user";
    // "listed" can be listed but not searched: its names are known, their files cannot be reached.
    write_tree(at("staging"), {{"a.txt", ""}, {"listed/f.txt", ""}});
    stdfs::create_symlink("listed/f.txt", at("staging/link"));
    stdfs::permissions(at("staging/listed"),
                       stdfs::perms::owner_read | stdfs::perms::group_read | stdfs::perms::others_read);
    tool_result result = run_manifest_tool(unprivileged(), "scan", at("staging"), at());
    stdfs::permissions(at("staging/listed"), stdfs::perms::owner_all);
    EXPECT_EQ(result.status, "system 13") << result.errors;
    EXPECT_TRUE(result.entries.empty());
}

// A file that the process cannot write: immutable as root (root ignores modes), read-only
// otherwise. Writable again when the guard goes.
class unwritable {
public:
    explicit unwritable(stdfs::path file) : file_(std::move(file))
    {
        if (running_as_root())
            ok_ = std::system(("chattr +i " + shell_quoted(file_)).c_str()) == 0;
        else
            stdfs::permissions(file_, stdfs::perms::owner_write, stdfs::perm_options::remove);
    }
    ~unwritable()
    {
        if (running_as_root())
            std::system(("chattr -i " + shell_quoted(file_)).c_str());
        else
            stdfs::permissions(file_, stdfs::perms::owner_write, stdfs::perm_options::add);
    }
    bool ok() const { return ok_; }

private:
    stdfs::path file_;
    bool ok_ = true;
};

class new_manifest : public temp_dir_test {
protected:
    path_string staging() const { return native("staging"); }
    const manifest_set scanned{P("a"), P("sub/b")};
};

TEST_F(new_manifest, uses_a_staged_manifest_with_entries_untouched)
{
    // It names a file that is not staged and misses one that is.
    const std::string content = "a\r\nnot-staged\\x\n\n/rooted\n";
    write_tree(at("staging"), {{"install-manifest.txt", content}});
    manifest_set staged = scanned;
    error_code ec = generic_error(9999);
    manifest_set result = prepare_new_manifest(staging(), staged, ec);
    EXPECT_NO_EC(ec);
    EXPECT_EQ(generic_members(result), (std::vector<std::string>{"a", "not-staged/x"}));
    EXPECT_EQ(generic_members(staged), (std::vector<std::string>{"a", "install-manifest.txt", "sub/b"}));
    EXPECT_EQ(read_file(at("staging/install-manifest.txt")), content);
}

TEST_F(new_manifest, writes_one_from_the_scan_when_the_staged_one_has_no_entries)
{
    struct staged_manifest_case {
        const char* name;
        const char* content; // nullptr: no staged manifest
    };
    const staged_manifest_case cases[] = {
        {"no staged manifest", nullptr},
        {"an empty one", ""},
        {"one without a usable line", "\r\n/a\n../b\nC:c\n"},
    };
    for (const staged_manifest_case& c : cases) {
        SCOPED_TRACE(c.name);
        stdfs::remove_all(at("staging"));
        stdfs::create_directories(at("staging"));
        if (c.content)
            write_file(at("staging/install-manifest.txt"), c.content);
        manifest_set staged = scanned;
        error_code ec = generic_error(9999);
        manifest_set result = prepare_new_manifest(staging(), staged, ec);
        EXPECT_NO_EC(ec);
        EXPECT_EQ(generic_members(result), (std::vector<std::string>{"a", "sub/b"}));
        EXPECT_EQ(generic_members(staged), (std::vector<std::string>{"a", "install-manifest.txt", "sub/b"}));
        EXPECT_EQ(read_file(at("staging/install-manifest.txt")), "a\nsub/b\n");
    }
}

TEST_F(new_manifest, fails_with_io_error_when_it_must_write_and_cannot)
{
    if (windows_path_rules)
        GTEST_SKIP() << "Wine runs as root and ignores the read-only attribute; win32_test.cpp holds the file instead";
    write_tree(at("staging"), {{"install-manifest.txt", "\n"}});
    manifest_set staged = scanned;
    error_code ec;
    {
        unwritable guard(at("staging/install-manifest.txt"));
        if (!guard.ok())
            GTEST_SKIP() << "chattr +i is not available";
        prepare_new_manifest(staging(), staged, ec);
    }
    EXPECT_EC(ec, generic_error(generic_io_error));
    EXPECT_EQ(read_file(at("staging/install-manifest.txt")), "\n");
    EXPECT_EQ(staged, scanned);
}

TEST_F(new_manifest, fails_with_io_error_when_the_staged_one_cannot_be_read)
{
    // A folder of that name: it exists, but no manifest can be read from it.
    stdfs::create_directories(at("staging/install-manifest.txt"));
    manifest_set staged = scanned;
    error_code ec;
    prepare_new_manifest(staging(), staged, ec);
    EXPECT_EC(ec, generic_error(generic_io_error));
    EXPECT_EQ(staged, scanned);
    EXPECT_TRUE(stdfs::is_directory(at("staging/install-manifest.txt")));
}

TEST_F(new_manifest, fails_with_io_error_when_the_staged_one_cannot_be_opened)
{
    if (windows_path_rules)
        GTEST_SKIP() << "denies access through POSIX modes and another user";
    write_tree(at("staging"), {{"a", ""}, {"install-manifest.txt", "a\n"}});
    // Writable but not readable, so a manifest written from the scan would replace it.
    stdfs::permissions(at("staging/install-manifest.txt"), stdfs::perms::owner_write | stdfs::perms::others_write);
    tool_result result = run_manifest_tool(unprivileged(), "prepare", at("staging"), at());
    EXPECT_EQ(result.status, "generic 5") << result.errors;
    EXPECT_TRUE(result.entries.empty());
    stdfs::permissions(at("staging/install-manifest.txt"), stdfs::perms::owner_read | stdfs::perms::owner_write);
    EXPECT_EQ(read_file(at("staging/install-manifest.txt")), "a\n");
}

TEST_F(new_manifest, fails_with_io_error_when_the_staged_one_cannot_be_read_to_its_end)
{
    if (windows_path_rules || !strace_available())
        GTEST_SKIP() << "fails a read of the manifest with strace";
    std::string content;
    for (int i = 0; i < 5000; ++i)
        content += "file-" + std::to_string(i) + "\n";
    write_tree(at("staging"), {{"a", ""}, {"install-manifest.txt", content}});
    tool_result result =
        run_manifest_tool(failing_second_read_of(at("staging/install-manifest.txt")), "prepare", at("staging"), at());
    EXPECT_EQ(result.status, "generic 5") << result.errors;
    EXPECT_TRUE(result.entries.empty());
    EXPECT_EQ(read_file(at("staging/install-manifest.txt")), content);
}

} // namespace
} // namespace updater::test
