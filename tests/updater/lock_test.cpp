// The installation lock: where its file lives, and holding it within one process (another process
// holding it is tested on the real helper).
#include "updater/lock/lock.h"

#include "support/test_support.h"

namespace updater::test {
namespace {

TEST(lock_path, is_a_dot_the_executable_name_and_lock_next_to_the_executable)
{
    struct row {
        const char* app_path;
        const char* lock_path;
    };
    const std::vector<row> windows = {
        {"C:\\Programs\\Quillmoor\\Quillmoor.exe", "C:\\Programs\\Quillmoor\\.Quillmoor.exe.lock"},
        {"C:/Programs//Quillmoor.exe", "C:/Programs\\.Quillmoor.exe.lock"},
        {"Quillmoor.exe", ".Quillmoor.exe.lock"},
        {"C:Quillmoor.exe", "C:.Quillmoor.exe.lock"},
        {"C:\\Quillmoor.exe", "C:\\.Quillmoor.exe.lock"},
        {"\\\\server\\share\\Quillmoor.exe", "\\\\server\\share\\.Quillmoor.exe.lock"},
        {"dir\\", "dir\\..lock"}, // a path ending in a separator has an empty last element
    };
    const std::vector<row> posix = {
        {"/opt/Quillmoor/Quillmoor", "/opt/Quillmoor/.Quillmoor.lock"},
        {"opt//Quillmoor", "opt/.Quillmoor.lock"},
        {"Quillmoor", ".Quillmoor.lock"},
        {"/Quillmoor", "/.Quillmoor.lock"},
        {"dir/", "dir/..lock"},
        {"dir\\Quillmoor", ".dir\\Quillmoor.lock"}, // a backslash belongs to a POSIX file name
    };
    for (const auto& r : windows_path_rules ? windows : posix) {
        SCOPED_TRACE(r.app_path);
        EXPECT_EQ(U(lock_path_of(P(r.app_path))), r.lock_path);
    }
}

class install_lock_test : public temp_dir_test {};

TEST_F(install_lock_test, first_acquire_creates_an_empty_file_that_stays_after_release)
{
    install_lock lock = acquire_install_lock(native("Quillmoor"));
    EXPECT_TRUE(lock);
    EXPECT_EQ(read_tree(root_), (tree{{".Quillmoor.lock", ""}}));
    release_install_lock(lock);
    EXPECT_FALSE(lock);
    EXPECT_EQ(read_tree(root_), (tree{{".Quillmoor.lock", ""}}));
}

TEST_F(install_lock_test, second_acquire_is_refused_at_once_until_the_first_is_released)
{
    install_lock first = acquire_install_lock(native("Quillmoor"));
    ASSERT_TRUE(first);
    EXPECT_FALSE(acquire_install_lock(native("Quillmoor")));
    // Another spelling of the same application leads to the same file.
    EXPECT_FALSE(acquire_install_lock(native("") + P("/./Quillmoor")));
    // Another application in the same folder has a lock of its own.
    EXPECT_TRUE(acquire_install_lock(native("Other")));

    release_install_lock(first);
    EXPECT_TRUE(acquire_install_lock(native("Quillmoor")));
}

TEST_F(install_lock_test, existing_lock_file_is_held_without_being_changed)
{
    write_file(at(".Quillmoor.lock"), "content left by someone");
    {
        install_lock lock = acquire_install_lock(native("Quillmoor"));
        EXPECT_TRUE(lock);
    }
    EXPECT_EQ(read_file(at(".Quillmoor.lock")), "content left by someone");
}

TEST_F(install_lock_test, lock_that_cannot_be_opened_counts_as_held)
{
    std::filesystem::create_directories(at(".Folder.lock"));
    const struct {
        const char* name;
        path_string app_path;
    } cases[] = {
        {"folder of the application missing", native("missing/Quillmoor")},
        {"a folder where the lock file should be", native("Folder")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(acquire_install_lock(c.app_path));
    }
    EXPECT_EQ(read_tree(root_), (tree{{".Folder.lock/", ""}}));
}

TEST_F(install_lock_test, releasing_a_lock_that_is_not_held_does_nothing)
{
    install_lock none;
    EXPECT_FALSE(none);
    release_install_lock(none);
    EXPECT_FALSE(none);
}

} // namespace
} // namespace updater::test
