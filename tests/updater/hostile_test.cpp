// Hostile trees through the real quillmoor-updater: staged links that point outside, manifest lines
// that try to leave the installation, very deep trees, very long names and paths, and names that
// Windows reserves. Whatever comes, nothing outside the installation and the staging folder (the
// lock file lies in the installation) changes, the helper ends with an exit code of its own, and it
// reports success only with the new version in place.
#include "helper_run_fixture.h"

#include "updater/fs/fs.h"

#include <algorithm>

namespace updater::test {
namespace {

const std::string restored_line = "Install failed, the previous files were put back: ";

class hostile_tree_test : public helper_run_test {
protected:
    void SetUp() override
    {
        helper_run_test::SetUp();
        // Files that a helper reaching outside would move, replace or delete.
        write_tree(at("outside"), {{"x", "outside x"},
                                   {"secret.txt", "not the helper's"},
                                   {"plugins/old-plugin.dll", "outside plugin"},
                                   {"user/settings.ini", "outside settings"}});
    }

    static std::string generic(const stdfs::path& path)
    {
        std::string text = U(path.native());
        std::replace(text.begin(), text.end(), '\\', '/');
        return text;
    }

    // On Windows the "\\?\" form of a path: no length limit, and no device for a name like CON.
    static stdfs::path extended(const stdfs::path& path)
    {
        if (!windows_path_rules)
            return path;
        return stdfs::path(P("\\\\?\\")) += stdfs::path(path).make_preferred().native();
    }

    // read_tree, also for trees deeper than 260 characters on Windows, where the C runtime's
    // directory listing under std::filesystem stops at that length: there the helper's own
    // listing (FindFirstFileExW) walks them.
    static tree read_any_tree(const stdfs::path& root)
    {
        if (!windows_path_rules)
            return read_tree(root);
        tree files;
        error_code ec;
        for (fs::directory_iteration entry(root.native(), fs::iteration_mode::recursive, ec); !ec && !entry.at_end();
             entry.advance(ec)) {
            const std::string rel = generic(entry.relative_path());
            if (entry.type() == fs::file_type::directory)
                files[rel + "/"] = "";
            else
                files[rel] = read_file(extended(entry.path()));
        }
        EXPECT_NO_EC(ec);
        return files;
    }

    // Everything below the test's folder but the installation and the staging folder.
    tree outside_view() const
    {
        const std::string install = generic(install_.lexically_relative(root_)) + "/";
        const std::string staging = generic(staging_.lexically_relative(root_));
        tree files = read_any_tree(root_);
        std::erase_if(files, [&](const auto& entry) {
            return entry.first.starts_with(install) || entry.first.starts_with(staging);
        });
        return files;
    }

    // The log of one successful run and the lock file (next to the application, here in the
    // installation), with more files as data.
    static tree after_install(const tree& files)
    {
        tree expected = files;
        expected[".update-helper.log"] = installed_line + (windows_path_rules ? "\r\n" : "\n");
        expected["." + app_name + ".lock"] = "";
        return expected;
    }

    // Runs the helper and checks what every run must hold: an exit code of its own (no crash),
    // and nothing outside the two folders changed.
    outcome run_checked()
    {
        const tree outside_before = outside_view();
        outcome result = run(arguments());
        EXPECT_TRUE(result.exit_code == 0 || result.exit_code == 1) << "exit code " << result.exit_code;
        EXPECT_EQ(outside_view(), outside_before);
        return result;
    }

    void expect_installed(const outcome& result, const tree& expected)
    {
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_EQ(log_lines(), std::vector<std::string>{installed_line});
        tree files = read_any_tree(install_);
        files.erase(app_name);
        files.erase(app_name + ".record");
        EXPECT_EQ(files, expected);
        EXPECT_FALSE(stdfs::exists(staging_));
    }

    // A failed install that put everything back: the installation as before, with its log line.
    void expect_put_back(const outcome& result, const tree& install_before, const tree& staging_before)
    {
        EXPECT_EQ(result.exit_code, 1);
        const std::vector<std::string> lines = log_lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(lines[0].starts_with(restored_line)) << lines[0];
        tree now = installation();
        now.erase(".update-helper.log");
        now.erase("." + app_name + ".lock");
        EXPECT_EQ(now, install_before);
        EXPECT_EQ(read_any_tree(staging_), staging_before);
    }

    // The directories "d/", "d/d/", ... of a path, as read_tree lists them, under prefix.
    static void add_folders(tree& files, const std::string& prefix, const std::string& path)
    {
        for (std::size_t end = path.find('/'); end != std::string::npos; end = path.find('/', end + 1))
            files[prefix + path.substr(0, end + 1)] = "";
    }
};

// ---- links in the staged update -------------------------------------------------------------------

TEST_F(hostile_tree_test, staged_links_that_point_outside_install_nothing_from_there)
{
    if (windows_path_rules)
        GTEST_SKIP() << "Wine creates no symbolic links (CreateSymbolicLinkW succeeds and makes nothing)";
    prepare_update();
    const stdfs::path outside = at("outside");
    stdfs::create_symlink(outside / "secret.txt", staging_ / "secret.dll");
    stdfs::create_symlink("../../outside/secret.txt", staging_ / "relative.dll");
    stdfs::create_directory_symlink(outside / "plugins", staging_ / "plugins");
    stdfs::create_directory_symlink("../../outside/user", staging_ / "settings");
    stdfs::create_symlink(outside / "missing", staging_ / "dangling.dll");
    // A link that climbs out and back in names a staged file: nothing more to install.
    stdfs::create_symlink("../.update-staging/readme.txt", staging_ / "inside.txt");

    // No link arrives in the installation either (read_tree would list it).
    const outcome result = run_checked();
    expect_installed(result, after_install(installed_v2));
}

TEST_F(hostile_tree_test, staged_links_that_point_outside_stay_out_of_a_rollback)
{
    if (windows_path_rules)
        GTEST_SKIP() << "Wine creates no symbolic links (CreateSymbolicLinkW succeeds and makes nothing)";
    prepare_failing_update();
    stdfs::create_symlink(at("outside/secret.txt"), staging_ / "secret.dll");
    stdfs::create_directory_symlink(at("outside/plugins"), staging_ / "plugins");
    const tree install_before = installation();
    const tree staging_before = read_tree(staging_);

    const outcome result = run_checked();
    expect_put_back(result, install_before, staging_before);
}

TEST_F(hostile_tree_test, links_in_place_of_the_backup_folders_are_replaced_never_followed)
{
    if (windows_path_rules)
        GTEST_SKIP() << "Wine creates no symbolic links (CreateSymbolicLinkW succeeds and makes nothing)";
    // An empty folder outside passes the leftover guard through its link; the old backup's link
    // leads to files outside that deleting the old backup must not reach.
    prepare_update();
    stdfs::create_directory(at("outside/empty"));
    stdfs::create_directory_symlink(at("outside/empty"), install_ / ".update-backup.tmp");
    stdfs::create_directory_symlink(at("outside/plugins"), install_ / ".update-backup");

    const outcome result = run_checked();
    expect_installed(result, after_install(installed_v2));
}

// ---- manifest lines that leave the installation ---------------------------------------------------

TEST_F(hostile_tree_test, installed_manifest_lines_that_leave_the_installation_retire_nothing_outside)
{
    prepare_update();
    // Each names an existing file outside, so a helper that followed one would retire that file.
    const std::string absolute = U(at("outside/x").native());
    const std::string generic_absolute = generic(at("outside/x"));
    const std::string manifest = app_name +
                                 "\nreadme.txt\nold-plugin.dll\n"
                                 "../outside/x\n..\\outside\\secret.txt\na/../../outside/x\n./../outside/x\n"
                                 "../outside/plugins/old-plugin.dll\n../outside/user/settings.ini\n" +
                                 absolute + "\n" + generic_absolute + "\n" + "/outside/x\nC:\\x\nC:x\n\\\\server\\x\n";
    write_file(install_ / "install-manifest.txt", manifest);

    const outcome result = run_checked();
    tree expected = after_install(installed_v2);
    expected[".update-backup/install-manifest.txt"] = manifest;
    expect_installed(result, expected);
}

TEST_F(hostile_tree_test, staged_manifest_of_lines_that_leave_counts_as_none)
{
    // With no usable line the staged manifest is replaced by one written from the staged files.
    prepare_update();
    install_app(staging_ / app_name);
    write_file(staging_ / "install-manifest.txt", "../outside/x\n/outside/x\nC:\\x\n\\\\server\\x\na/../b\n.\n");

    const outcome result = run_checked();
    tree expected = after_install(installed_v2);
    expected["install-manifest.txt"] = app_name + "\nnew-plugin.dll\nreadme.txt\n";
    expected[".update-backup/" + app_name] = read_file(tool_path("record_app"));
    expect_installed(result, expected);
}

// ---- deep trees and long names --------------------------------------------------------------------

TEST_F(hostile_tree_test, tree_two_hundred_levels_deep_is_installed)
{
    std::string deep;
    for (int level = 0; level < 200; ++level)
        deep += "d/";
    write_tree(install_, {{"install-manifest.txt", app_name + "\n" + deep + "file.txt\n" + deep + "old.txt\n"},
                          {deep + "file.txt", "version 1"},
                          {deep + "old.txt", "retired"}});
    install_app(app_);
    const std::string staged_manifest = app_name + "\n" + deep + "file.txt\n" + deep + "new.txt\n";
    write_tree(staging_, {{"install-manifest.txt", staged_manifest},
                          {deep + "file.txt", "version 2"},
                          {deep + "new.txt", "new"}});

    const outcome result = run_checked();
    tree expected = after_install(
        {{"install-manifest.txt", staged_manifest},
         {deep + "file.txt", "version 2"},
         {deep + "new.txt", "new"},
         {".update-backup/", ""},
         {".update-backup/install-manifest.txt", app_name + "\n" + deep + "file.txt\n" + deep + "old.txt\n"},
         {".update-backup/" + deep + "file.txt", "version 1"},
         {".update-backup/" + deep + "old.txt", "retired"}});
    add_folders(expected, "", deep);
    add_folders(expected, ".update-backup/", deep);
    expect_installed(result, expected);
}

TEST_F(hostile_tree_test, names_of_the_longest_length_are_installed)
{
    // 255 is the longest name on both platforms (bytes on POSIX, UTF-16 units on Windows).
    const std::string name = std::string(251, 'n') + ".dll";
    const std::string nested = std::string(255, 'f') + "/" + name;
    write_tree(install_, {{"install-manifest.txt", app_name + "\n" + name + "\n" + nested + "\n"},
                          {name, "version 1"},
                          {nested, "version 1, nested"}});
    install_app(app_);
    write_tree(staging_, {{"install-manifest.txt", app_name + "\n" + name + "\n" + nested + "\n"},
                          {name, "version 2"},
                          {nested, "version 2, nested"}});

    const outcome result = run_checked();
    expect_installed(result, after_install({{"install-manifest.txt", app_name + "\n" + name + "\n" + nested + "\n"},
                                            {name, "version 2"},
                                            {std::string(255, 'f') + "/", ""},
                                            {nested, "version 2, nested"},
                                            {".update-backup/", ""},
                                            {".update-backup/install-manifest.txt",
                                             app_name + "\n" + name + "\n" + nested + "\n"},
                                            {".update-backup/" + name, "version 1"},
                                            {".update-backup/" + std::string(255, 'f') + "/", ""},
                                            {".update-backup/" + nested, "version 1, nested"}}));
}

TEST_F(hostile_tree_test, backup_place_past_the_longest_path_fails_and_puts_everything_back)
{
    if (windows_path_rules)
        GTEST_SKIP() << "the limit checked here is the POSIX PATH_MAX";
    // A replaced file whose installed and staged places are just within PATH_MAX (4096 with the
    // final NUL), while its place in ".update-backup.tmp" is not: it cannot be moved aside.
    const std::size_t install_length = U(install_.native()).size();
    const std::size_t length = 4080 - install_length; // staged place: 4092, backup place: 4100
    ASSERT_GT(length, 1000u);
    std::string rel;
    while (length - rel.size() > 201)
        rel += std::string(200, 'p') + "/";
    rel += std::string(length - rel.size(), 'f');
    ASSERT_EQ(U(staging_.native()).size() + 1 + rel.size(), 4092u);
    write_tree(install_, {{"install-manifest.txt", app_name + "\n" + rel + "\n"}, {rel, "version 1"}});
    install_app(app_);
    write_tree(staging_, {{"install-manifest.txt", app_name + "\n" + rel + "\n"}, {rel, "version 2"}});
    tree install_before = installation();
    const tree staging_before = read_tree(staging_);

    const outcome result = run_checked();
    expect_put_back(result, install_before, staging_before);
    EXPECT_EQ(log_lines(), std::vector<std::string>{restored_line + "File name too long"});
}

TEST_F(hostile_tree_test, names_that_windows_reserves_are_ordinary_files_on_posix)
{
    if (windows_path_rules)
        GTEST_SKIP() << "on Windows they name devices (test below)";
    const std::vector<std::string> names = {"CON", "NUL", "AUX", "COM1", "con.txt", "LPT1.dll", "a:b", "C:x", "x:"};
    prepare_update();
    write_file(install_ / "install-manifest.txt", app_name + "\nreadme.txt\nold-plugin.dll\nCON\n");
    write_file(install_ / "CON", "version 1");
    tree expected = after_install(installed_v2);
    expected[".update-backup/install-manifest.txt"] = app_name + "\nreadme.txt\nold-plugin.dll\nCON\n";
    expected[".update-backup/CON"] = "version 1";
    std::string staged_manifest = app_name + "\nreadme.txt\nnew-plugin.dll\n";
    for (const std::string& name : names) {
        write_file(staging_ / name, "staged " + name);
        expected[name] = "staged " + name;
        staged_manifest += name + "\n";
    }
    write_file(staging_ / "install-manifest.txt", staged_manifest);
    expected["install-manifest.txt"] = staged_manifest;

    const outcome result = run_checked();
    expect_installed(result, expected);
}

TEST_F(hostile_tree_test, staged_name_holding_a_backslash_on_posix_is_refused_before_anything_moves)
{
    if (windows_path_rules)
        GTEST_SKIP() << "a Windows name cannot hold a backslash";
    // Manifests and relative paths read "\\" as a separator, so "plugins\\a.dll" would be listed and
    // moved as "plugins/a.dll", another file.
    prepare_update();
    write_file(staging_ / "plugins\\a.dll", "staged");
    const tree install_before = installation();
    const tree staging_before = read_tree(staging_);

    const outcome result = run_checked();
    expect_put_back(result, install_before, staging_before);
    EXPECT_EQ(log_lines(), std::vector<std::string>{restored_line + "invalid argument"});
}

TEST_F(hostile_tree_test, names_that_windows_reserves_make_the_install_fail_and_put_everything_back)
{
    if (!windows_path_rules)
        GTEST_SKIP() << "on POSIX they are ordinary names (test above)";
    // A staged file can carry such a name (made here through the "\\?\" prefix, as an archive
    // tool might), but a path without the prefix names the device, so it cannot be installed.
    // Names holding ':' are not tried: Win32 cannot make one a name (on NTFS "a:b" is the stream
    // "b" of the file "a", which no directory listing shows).
    const std::vector<std::string> names = {"CON", "NUL", "AUX", "COM1", "con.txt", "LPT1.dll"};
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        SCOPED_TRACE(name);
        // A fresh installation each time, beside the earlier ones, which must stay as they are.
        const stdfs::path folder = at("case " + std::to_string(i));
        install_ = folder / "Quillmoor app";
        staging_ = folder / "download" / ".update-staging";
        app_ = install_ / app_name;
        prepare_update();
        const stdfs::path reserved = extended(staging_ / P(name));
        write_file(reserved, "staged");
        const tree install_before = installation();
        const tree staging_before = read_any_tree(staging_);

        const outcome result = run_checked();
        expect_put_back(result, install_before, staging_before);

        // Removed here: without the prefix the clean-up would open the device.
        stdfs::remove(reserved);
    }
}

} // namespace
} // namespace updater::test
