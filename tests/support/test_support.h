// Shared test support: a fresh temporary folder per test, file trees described as data, and
// error-code assertions that print value, category and message.
#pragma once

#include "updater/fs/error.h"
#include "updater/fs/path.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

namespace updater::test {

std::string describe(const error_code& ec);

#define EXPECT_NO_EC(ec) EXPECT_FALSE(ec) << ::updater::test::describe(ec)
#define ASSERT_NO_EC(ec) ASSERT_FALSE(ec) << ::updater::test::describe(ec)
#define EXPECT_EC(ec, expected) EXPECT_EQ(ec, expected) << ::updater::test::describe(ec)

// UTF-8 to a native path and back.
inline path_string P(const std::string& utf8) { return path_from_utf8(utf8); }
inline std::string U(path_view path) { return path_to_utf8(path); }

// A tree as data: relative path ("/" between elements) to content; a path ending in "/" is a
// directory (content ignored). Links are left out of read_tree's result unless followed.
using tree = std::map<std::string, std::string>;

void write_tree(const std::filesystem::path& root, const tree& files);
// Every file and directory below root; directories end in "/". Missing root: an empty tree.
tree read_tree(const std::filesystem::path& root);
std::string read_file(const std::filesystem::path& file);
void write_file(const std::filesystem::path& file, const std::string& content);

// Error values of the platform for the common conditions.
error_code not_found_error();      // Windows 2, POSIX ENOENT
error_code path_not_found_error(); // Windows 3, POSIX ENOENT
error_code already_exists_error(); // Windows 183, POSIX EEXIST
error_code not_empty_error();      // Windows 145, POSIX ENOTEMPTY
error_code access_denied_error();  // Windows 5, POSIX EACCES

// A path as one word for /bin/sh, whatever it holds (spaces, quotes): the tests' command lines
// name tools in the build tree and folders in the temporary directory, which may hold either.
std::string shell_quoted(const std::filesystem::path& path);

bool running_as_root();
bool running_under_wine();
// strace can trace a Linux process here (false on Windows, or where it is missing or refused).
bool strace_can_trace();

// Owns a fresh directory for one test and removes it afterwards.
class temp_dir_test : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A path below the test's folder, as std::filesystem and as a native path string.
    std::filesystem::path at(const std::string& rel = {}) const;
    path_string native(const std::string& rel = {}) const;

    std::filesystem::path root_;
};

} // namespace updater::test
