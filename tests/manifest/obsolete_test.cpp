// The obsolete-file list: installed manifest entries that the new manifest lacks, the user's
// folder excepted, in installed order and stored form.
#include "updater/manifest/obsolete.h"

#include "support/test_support.h"

namespace updater::test {
namespace {

namespace stdfs = std::filesystem;

std::vector<std::string> texts(const std::vector<path_string>& paths)
{
    std::vector<std::string> result;
    for (const path_string& path : paths)
        result.push_back(U(path));
    return result;
}

class obsolete_files : public temp_dir_test {};

TEST_F(obsolete_files, are_the_installed_entries_the_new_manifest_lacks)
{
    struct obsolete_case {
        const char* name;
        const char* installed; // the installed manifest's content; nullptr: none
        std::vector<std::string> new_manifest;
        std::vector<std::string> expected;
        std::size_t installed_count;
    };
    // No installed file exists in any case: the list is worked out from the manifests alone.
    const obsolete_case cases[] = {
        {"no installed manifest", nullptr, {"a"}, {}, 0},
        {"an empty installed manifest", "", {"a"}, {}, 0},
        {"an installed manifest without a usable line", "\n/a\n../b\n", {"x"}, {}, 0},
        {"an entry the new manifest lacks", "bin/old.dll\nbin/a.dll\n", {"bin/a.dll"}, {"bin/old.dll"}, 2},
        {"separators alike", "bin\\a.dll\nbin//b.dll\n", {"bin/a.dll", "bin\\b.dll"}, {}, 2},
        {"letter case matters", "Bin/a.dll\n", {"bin/a.dll"}, {"Bin/a.dll"}, 1},
        {"the user folder is never obsolete",
         "user/settings.ini\nUser/cache/x\nUSER\ndata/user/x\nusers/x\n",
         {},
         {"data/user/x", "users/x"},
         5},
        {"in installed order", "b\na-y\na/x\n", {}, {"a/x", "a-y", "b"}, 3},
        {"in stored form", "bin\\old.dll\nkeep\n", {"keep"}, {"bin\\old.dll"}, 2},
        {"the manifest itself like any entry", "install-manifest.txt\na\n", {"a"}, {"install-manifest.txt"}, 2},
        {"the manifest itself when the new one lists it", "install-manifest.txt\n", {"install-manifest.txt"}, {}, 1},
        {"nothing obsolete", "a\nb/c\n", {"a", "b/c", "new"}, {}, 2},
    };
    for (const obsolete_case& c : cases) {
        SCOPED_TRACE(c.name);
        stdfs::remove_all(at("install"));
        stdfs::create_directories(at("install"));
        if (c.installed)
            write_file(at("install/install-manifest.txt"), c.installed);
        manifest_set new_manifest;
        for (const std::string& entry : c.new_manifest)
            new_manifest.insert(P(entry));

        error_code ec;
        obsolete_listing listing = list_obsolete_files(native("install"), new_manifest, ec);
        EXPECT_NO_EC(ec);
        EXPECT_EQ(texts(listing.obsolete_files), c.expected);
        EXPECT_EQ(listing.installed_manifest.size(), c.installed_count);
        EXPECT_EQ(listing.installed_manifest, read_manifest(native("install")));
    }
}

TEST_F(obsolete_files, come_only_from_an_installed_manifest_read_to_its_end)
{
    // A folder in the manifest's place is there but cannot be read (POSIX: the read fails, Windows:
    // the open). Retiring nothing, as for an installation without a manifest, would leave retired
    // files installed.
    stdfs::create_directories(at("install/install-manifest.txt"));
    error_code ec;
    list_obsolete_files(native("install"), {}, ec);
    EXPECT_TRUE(ec);
    EXPECT_FALSE(is_not_found(ec)) << describe(ec);
}

} // namespace
} // namespace updater::test
