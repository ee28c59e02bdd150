// The backup manifest over fixture installations: which installed files it lists, and the real
// failures that make it give false.
#include "updater/install/backup_manifest.h"

#include "support/test_support.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <vector>

namespace updater::test {
namespace {

namespace stdfs = std::filesystem;

bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }

manifest_set staged_set(const std::vector<std::string>& paths)
{
    manifest_set set;
    for (const std::string& path : paths)
        set.insert(P(path));
    return set;
}

// The lines of a manifest, sorted, since a scan lists entries in the order the platform lists the
// folders. A last line without its LF shows as a line of its own marked "<no LF>".
std::vector<std::string> sorted_lines(const std::string& content)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = content.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(content.substr(start, end - start));
    if (start != content.size())
        lines.push_back(content.substr(start) + "<no LF>");
    std::sort(lines.begin(), lines.end());
    return lines;
}

struct listing_case {
    const char* name;
    std::vector<std::string> staged;
    tree installed;
    std::vector<std::string> lines; // sorted
};

class backup_manifest_test : public temp_dir_test {
protected:
    // Writes the manifest of install_dir into its pending backup, as the transaction does, and
    // gives its lines; the call must succeed.
    std::vector<std::string> listed(const std::string& install, const std::vector<std::string>& staged)
    {
        const stdfs::path pending = at(install) / ".update-backup.tmp";
        stdfs::create_directories(pending);
        error_code ec;
        bool written = write_backup_manifest(staged_set(staged), native(install), pending.native(), ec);
        EXPECT_TRUE(written);
        EXPECT_NO_EC(ec);
        EXPECT_TRUE(stdfs::is_regular_file(pending / "install-manifest.txt"));
        return sorted_lines(read_file(pending / "install-manifest.txt"));
    }
};

TEST_F(backup_manifest_test, lists_top_level_files_and_the_folders_the_update_brings)
{
    const listing_case cases[] = {
        {"top-level names: dot names, 'user' and non-ASCII names are left out",
         {"app.exe", "install-manifest.txt"},
         {{"Readme.txt", "r"},
          {"app.exe", "a"},
          {"install-manifest.txt", ""},
          {".hidden.cfg", "h"},
          {"User", "a file named like the user folder"},
          {"naïve.txt", "n"},
          {".update-backup/app.exe", "older"},
          {".update-helper.log", "log"},
          {".update-staging/app.exe", "new"}},
         {"Readme.txt", "app.exe", "install-manifest.txt"}},
        {"a top-level 'user' folder is never entered, even when the update brings it",
         {"user/settings.ini", "app.exe"},
         {{"user/settings.ini", "s"}, {"user/sub/y.txt", "y"}, {"app.exe", "a"}},
         {"app.exe"}},
        {"a folder the update brings is listed recursively, dot-files and a nested 'user' included",
         {"plugins/a.dll"},
         {{"plugins/b.dll", "b"},
          {"plugins/sub/c.dat", "c"},
          {"plugins/.cache/x.bin", "x"},
          {"plugins/user/u.txt", "u"},
          {"plugins/empty/", ""}},
         {"plugins/.cache/x.bin", "plugins/b.dll", "plugins/sub/c.dat", "plugins/user/u.txt"}},
        {"a folder the update brings nothing into is left out",
         {"plugins/a.dll", "app.exe"},
         {{"old/x.dll", "x"}, {"old/sub/y.dll", "y"}, {"app.exe", "a"}},
         {"app.exe"}},
        {"a staged top-level file does not make the folder of that name eligible",
         {"tools", "lib\\x.dll"},
         {{"tools/t.exe", "t"}, {"lib/y.dll", "y"}},
         {"lib/y.dll"}},
        {"letter case counts", {"Plugins/a.dll"}, {{"plugins/b.dll", "b"}}, {}},
        {"non-ASCII names are left out and their siblings kept",
         {"plugins/a.dll", "données/a.txt"},
         {{"plugins/ok.dll", "o"},
          {"plugins/café.dll", "c"},
          {"plugins/naïve/x.dll", "x"},
          {"plugins/zz/y.dll", "y"},
          {"données/a.txt", "a"},
          {"Ünïcode.txt", "u"},
          {"plain.txt", "p"}},
         {"plain.txt", "plugins/ok.dll", "plugins/zz/y.dll"}},
        {"nothing to list gives an empty file", {"a/b"}, {{".hidden", "h"}, {"user/x", "x"}, {"a/", ""}}, {}},
    };
    int index = 0;
    for (const listing_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string install = "case" + std::to_string(index++);
        write_tree(at(install), c.installed);
        EXPECT_EQ(listed(install, c.staged), c.lines);
    }
}

TEST_F(backup_manifest_test, follows_links_to_files_and_enters_no_linked_folder_below_the_top)
{
    if (windows_path_rules)
        GTEST_SKIP() << "links made under Wine are not real";
    write_tree(at("install"), {{"app.exe", "a"}, {"plugins/b.dll", "b"}});
    write_tree(at("elsewhere"), {{"x.dll", "x"}});
    stdfs::create_symlink("app.exe", at("install/link.exe"));
    stdfs::create_symlink("missing.exe", at("install/broken.exe"));
    stdfs::create_symlink("b.dll", at("install/plugins/lib.so"));
    stdfs::create_symlink(at("elsewhere"), at("install/plugins/ext"));
    EXPECT_EQ(listed("install", {"plugins/a.dll"}),
              (std::vector<std::string>{"app.exe", "link.exe", "plugins/b.dll", "plugins/lib.so"}));
}

TEST_F(backup_manifest_test, installation_that_cannot_be_listed_gives_false_and_closes_the_file)
{
    stdfs::create_directories(at("pending"));
    error_code ec;
    EXPECT_FALSE(write_backup_manifest(staged_set({"app.exe"}), native("missing"), native("pending"), ec));
    EXPECT_EC(ec, path_not_found_error());
    EXPECT_EQ(read_file(at("pending/install-manifest.txt")), "");
    // On Windows a file still open (without delete sharing) could not be removed.
    std::error_code removal;
    EXPECT_TRUE(stdfs::remove(at("pending/install-manifest.txt"), removal)) << removal.message();
}

TEST_F(backup_manifest_test, manifest_that_cannot_be_created_gives_false)
{
    write_tree(at("install"), {{"app.exe", "a"}});
    error_code ec;
    EXPECT_FALSE(write_backup_manifest(staged_set({"app.exe"}), native("install"), native("missing"), ec));
    EXPECT_EC(ec, generic_error(generic_io_error));
}

TEST_F(backup_manifest_test, full_file_system_gives_false)
{
    if (windows_path_rules)
        GTEST_SKIP() << "a full file system is made with a Linux tmpfs";
    const stdfs::path full = at("full");
    stdfs::create_directories(full);
    if (!shell("mount -t tmpfs -o size=64k tmpfs " + shell_quoted(full) + " 2>/dev/null"))
        GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    struct mount_guard {
        stdfs::path dir;
        ~mount_guard() { shell("umount " + shell_quoted(dir)); }
    } guard{full};

    // Far more lines than the stream's buffer holds, so that a write fails during the scan.
    tree installed;
    for (int k = 0; k < 300; ++k)
        installed["a-file-with-a-rather-long-name-" + std::to_string(k) + ".dat"] = "";
    write_tree(at("install"), installed);
    stdfs::create_directories(full / ".update-backup.tmp");
    {
        std::ofstream filler(full / "filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size())))
            filler.flush();
    }

    error_code ec;
    EXPECT_FALSE(
        write_backup_manifest(staged_set({"app.exe"}), native("install"), (full / ".update-backup.tmp").native(), ec));
    EXPECT_EC(ec, generic_error(generic_io_error));
    EXPECT_TRUE(stdfs::exists(full / ".update-backup.tmp/install-manifest.txt")) << "the open failed, not a write";
}

} // namespace
} // namespace updater::test
