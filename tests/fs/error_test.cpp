// The two error categories: fixed generic texts, the platform's system texts, the cross-device
// condition and the not-found set.
#include "updater/fs/error.h"

#include "support/test_support.h"

#include <cerrno>
#include <vector>

namespace updater::test {
namespace {

TEST(error_test, generic_texts_are_fixed_and_lower_case)
{
    struct text_case {
        int value;
        const char* text;
    };
    const text_case cases[] = {
        {generic_io_error, "io error"},
        {generic_file_exists, "file exists"},
        {generic_cross_device_link, "cross device link"},
        {generic_invalid_argument, "invalid argument"},
        {2, "no such file or directory"},
        {13, "permission denied"},
        {28, "no space on device"},
        {39, "directory not empty"},
        {15, "unknown error"}, // ENOTBLK has no standard name
        {0, "unknown error"},
        {-1, "unknown error"},
        {9999, "unknown error"},
    };
    for (const text_case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(generic_error(c.value).message(), c.text);
        EXPECT_STREQ(generic_message(c.value), c.text);
    }
}

TEST(error_test, system_text_is_the_platforms_own)
{
    EXPECT_EQ(system_error(987654).message(), "unknown error");
    if (windows_path_rules)
        GTEST_SKIP() << "Windows texts differ between Windows and Wine; compared by code there";
    // The C library's wording, not the generic category's.
    EXPECT_EQ(system_error(ENOENT).message(), "No such file or directory");
    EXPECT_EQ(system_error(EIO).message(), "Input/output error");
}

TEST(error_test, only_the_systems_cross_device_value_is_a_cross_device_link)
{
    const int system_not_same_device = windows_path_rules ? 17 : EXDEV;
    EXPECT_EQ(system_error(system_not_same_device), cross_device_link());
    EXPECT_EQ(generic_error(generic_cross_device_link), cross_device_link());
    // Windows 18 is "no more files"; 17 and 183 are the generic and system "exists".
    const int others[] = {windows_path_rules ? 18 : EEXIST, windows_path_rules ? 183 : ENOENT, 5};
    for (int value : others) {
        SCOPED_TRACE(value);
        EXPECT_NE(system_error(value), cross_device_link());
    }
    EXPECT_NE(generic_error(generic_file_exists), cross_device_link());
}

TEST(error_test, posix_system_values_map_to_generic_conditions_of_the_same_value)
{
    if (windows_path_rules)
        GTEST_SKIP() << "Windows numbers are not errno values";
    const int values[] = {ENOENT, EACCES, ENOTEMPTY, EEXIST, EIO};
    for (int value : values) {
        SCOPED_TRACE(value);
        EXPECT_EQ(system_category().default_error_condition(value), std::error_condition(value, generic_category()));
        EXPECT_EQ(system_error(value), std::error_condition(value, generic_category()));
    }
}

TEST(error_test, not_found_set)
{
    const std::vector<int> not_found =
        windows_path_rules ? std::vector<int>{2, 3, 53, 64, 123, 161, 267} : std::vector<int>{ENOENT, ENOTDIR};
    const std::vector<int> found = windows_path_rules ? std::vector<int>{5, 17, 32, 145, 183}
                                                      : std::vector<int>{EACCES, EEXIST, ENOTEMPTY, EXDEV, ELOOP};
    for (int value : not_found) {
        SCOPED_TRACE(value);
        EXPECT_TRUE(is_not_found(system_error(value)));
        // The set holds system values only.
        EXPECT_FALSE(is_not_found(generic_error(value)));
    }
    for (int value : found) {
        SCOPED_TRACE(value);
        EXPECT_FALSE(is_not_found(system_error(value)));
    }
    EXPECT_FALSE(is_not_found(error_code()));
}

} // namespace
} // namespace updater::test
