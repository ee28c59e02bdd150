// Plain and recursive directory listings over real trees: what is listed, with which relative
// path and type, that links are not entered, and that a failure ends the walk.
#include "updater/fs/fs.h"

#include "support/test_support.h"

#include <algorithm>
#include <cstdlib>
#include <utility>
#include <vector>

namespace updater::test {
namespace {

namespace stdfs = std::filesystem;
using entries = std::vector<std::pair<std::string, fs::file_type>>;

// "a/b" with the platform's separator, as relative_path gives it.
std::string native_rel(std::string rel)
{
    if (windows_path_rules)
        std::replace(rel.begin(), rel.end(), '/', '\\');
    return rel;
}

class directory_iteration_test : public temp_dir_test {
protected:
    // Every entry in the order listed, then sorted; each entry's full path is checked against its
    // relative path.
    entries walk(const path_string& dir, fs::iteration_mode mode, error_code& ec)
    {
        entries result;
        for (fs::directory_iteration it(dir, mode, ec); !ec && !it.at_end(); it.advance(ec)) {
            EXPECT_EQ(U(it.path()), U(join_path(dir, it.relative_path())));
            result.emplace_back(U(it.relative_path()), it.type());
        }
        std::sort(result.begin(), result.end());
        return result;
    }

    // The tree both walks list; on POSIX also a link to a directory and a dangling link.
    entries make_tree()
    {
        write_tree(root_, {{"a.txt", "a"}, {"sub/b.txt", "b"}, {"sub/deeper/c.txt", "c"}, {"empty/", ""}});
        if (windows_path_rules)
            return {};
        stdfs::create_directory_symlink(at("sub"), at("to_sub"));
        stdfs::create_symlink(at("missing"), at("dangling"));
        return {{"dangling", fs::file_type::symlink}, {"to_sub", fs::file_type::symlink}};
    }
};

TEST_F(directory_iteration_test, plain_lists_one_level)
{
    entries expected = make_tree();
    expected.insert(expected.end(), {{"a.txt", fs::file_type::regular},
                                     {"empty", fs::file_type::directory},
                                     {"sub", fs::file_type::directory}});
    std::sort(expected.begin(), expected.end());
    error_code ec;
    EXPECT_EQ(walk(native(), fs::iteration_mode::plain, ec), expected);
    EXPECT_NO_EC(ec);
}

TEST_F(directory_iteration_test, recursive_lists_every_level_and_does_not_enter_links)
{
    entries expected = make_tree();
    expected.insert(expected.end(), {{"a.txt", fs::file_type::regular},
                                     {"empty", fs::file_type::directory},
                                     {"sub", fs::file_type::directory},
                                     {native_rel("sub/b.txt"), fs::file_type::regular},
                                     {native_rel("sub/deeper"), fs::file_type::directory},
                                     {native_rel("sub/deeper/c.txt"), fs::file_type::regular}});
    std::sort(expected.begin(), expected.end());
    // The start spelled with and without a trailing separator gives the same relative paths.
    const path_string starts[] = {native(), join_path(native(), path_string())};
    for (const path_string& start : starts) {
        SCOPED_TRACE(U(start));
        error_code ec;
        EXPECT_EQ(walk(start, fs::iteration_mode::recursive, ec), expected);
        EXPECT_NO_EC(ec);
    }
}

TEST_F(directory_iteration_test, empty_directory_has_no_entries)
{
    for (fs::iteration_mode mode : {fs::iteration_mode::plain, fs::iteration_mode::recursive}) {
        error_code ec = generic_error(generic_io_error);
        fs::directory_iteration it(native(), mode, ec);
        EXPECT_NO_EC(ec);
        EXPECT_TRUE(it.at_end());
    }
}

TEST_F(directory_iteration_test, missing_directory_or_a_file_fails_at_the_start)
{
    write_tree(root_, {{"file.txt", "x"}});
    for (const char* rel : {"missing", "file.txt", "missing/child"}) {
        SCOPED_TRACE(rel);
        error_code ec;
        fs::directory_iteration it(native(rel), fs::iteration_mode::recursive, ec);
        EXPECT_TRUE(is_not_found(ec)) << describe(ec);
        EXPECT_TRUE(it.at_end());
    }
}

TEST_F(directory_iteration_test, unreadable_subdirectory_ends_the_walk_with_an_error)
{
    if (windows_path_rules)
        GTEST_SKIP() << "another user is made with setpriv on Linux";
    const char* tools = std::getenv("QM_TEST_TOOLS");
    ASSERT_NE(tools, nullptr) << "QM_TEST_TOOLS names the folder of fs_tool";
    write_tree(root_, {{"tree/locked/hidden.txt", "h"}, {"tree/open/seen.txt", "s"}, {"tree/top.txt", "t"}});
    stdfs::permissions(at("tree/locked"), stdfs::perms::none);
    const stdfs::path output = at("walk.txt");
    // As root the mode would not matter: the walk runs as nobody.
    const std::string command = "setpriv --reuid=65534 --regid=65534 --clear-groups " +
                                shell_quoted(stdfs::path(tools) / "fs_tool") + " walk " + shell_quoted(at("tree")) +
                                " > " + shell_quoted(output) + " 2>&1";
    std::system(command.c_str());

    std::vector<std::string> lines;
    std::string text = read_file(output);
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    ASSERT_GE(lines.size(), 2u) << text;
    // Entering "locked" fails; nothing is listed after it.
    EXPECT_EQ(lines.back(), "system " + std::to_string(EACCES)) << text;
    EXPECT_EQ(lines[lines.size() - 2], "locked") << text;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "locked/hidden.txt"), 0) << text;
}

} // namespace
} // namespace updater::test
