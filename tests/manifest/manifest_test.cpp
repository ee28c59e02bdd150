// The manifest file: the order of manifest_set, the reader's line rules and failures, and the
// writer's line form and failures.
#include "updater/manifest/manifest.h"

#include "manifest/manifest_tool.h"
#include "support/test_support.h"

#include <cstdlib>

namespace updater::test {
namespace {

using namespace std::string_literals;
namespace stdfs = std::filesystem;

// The members in set order, in the form the set holds them.
std::vector<std::string> members(const manifest_set& set)
{
    std::vector<std::string> result;
    for (const path_string& member : set)
        result.push_back(U(member));
    return result;
}

manifest_set set_of(const std::vector<std::string>& entries)
{
    manifest_set set;
    for (const std::string& entry : entries)
        set.insert(P(entry));
    return set;
}

TEST(manifest_order, compares_by_the_manifest_rules)
{
    struct order_case {
        const char* a;
        const char* b;
        int expected; // sign of compare(a, b)
    };
    const order_case cases[] = {
        {"a", "a/b", -1},                                       // the end before a separator
        {"a/b", "a-b", -1},                                     // a separator before every other character
        {"a-b", "a.b", -1},                                     // other characters by code unit
        {"a/b", "a b", -1},                                     // even before characters below "/"
        {"a/b", "a\tb", -1},    {"a", "a/", -1},                // a trailing separator is not the end
        {"a/b", "a\\b", 0},                                     // both separators alike
        {"a//b", "a\\/\\b", 0},                                 // a run of separators counts as one
        {"a/", "a//", 0},       {"Bin/a.dll", "bin/a.dll", -1}, // letter case matters
        {"z", "\xc3\xa9", -1}, // code units are unsigned: U+00E9 (or its UTF-8 lead byte) after "z"
        {"", "a", -1},          {"", "", 0},
    };
    for (const order_case& c : cases) {
        SCOPED_TRACE(std::string("'") + c.a + "' vs '" + c.b + "'");
        auto sign = [](int v) { return (v > 0) - (v < 0); };
        EXPECT_EQ(sign(compare_manifest_paths(P(c.a), P(c.b))), c.expected);
        EXPECT_EQ(sign(compare_manifest_paths(P(c.b), P(c.a))), -c.expected);
    }
}

TEST(manifest_order, keeps_the_first_inserted_form)
{
    manifest_set set = set_of({"a.b", "bin\\a.dll", "a-b", "bin/a.dll", "a/b", "bin//a.dll", "a", "a\\b"});
    EXPECT_EQ(members(set), (std::vector<std::string>{"a", "a/b", "a-b", "a.b", "bin\\a.dll"}));
}

class manifest_reader : public temp_dir_test {};

TEST_F(manifest_reader, takes_usable_lines_and_skips_the_rest)
{
    struct line_case {
        const char* name;
        std::string content;
        std::vector<std::string> expected; // in set order
    };
    const line_case cases[] = {
        {"LF line ends", "a\nb/c\n", {"a", "b/c"}},
        {"CR LF line ends", "a\r\nb/c\r\n", {"a", "b/c"}},
        {"a last line without LF", "a\nb", {"a", "b"}},
        {"a last line with CR only", "a\r\nb\r", {"a", "b"}},
        {"empty and CR-only lines", "\n\r\n\na\n\r\n\r\n", {"a"}},
        {"only one CR is removed, inner ones stay", "a\rb\r\n", {"a\rb"}},
        {"nothing is trimmed", " a\na \n\ta\n", {"\ta", " a", "a "}},
        {"rooted lines", "/a\n\\a\nC:\\a\nC:a\nc:a\nz:/a\n\\\\server\\share\\a\n:a\n", {":a"}},
        {"dot elements", "./a\na/./b\na/../b\n..\na/..\n.\na\\.\\b\n..\\a\n", {}},
        {"dots that are not dot elements", "a/...\n.a\na..\n..a/b.\n", {"..a/b.", ".a", "a/...", "a.."}},
        {"duplicates keep the first form",
         "bin\\a.dll\nbin/a.dll\nbin//a.dll\nBin/a.dll\n",
         {"Bin/a.dll", "bin\\a.dll"}},
        {"a line holding a NUL names no file", "a\0b\nc\n"s, {"c"}},
        {"an empty file", "", {}},
    };
    for (const line_case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(at("install-manifest.txt"), c.content);
        error_code ec = generic_error(9999);
        manifest_set set = read_manifest(native(), ec);
        EXPECT_NO_EC(ec);
        EXPECT_EQ(members(set), c.expected);
        EXPECT_EQ(members(read_manifest(native())), c.expected);
    }
}

TEST_F(manifest_reader, ends_a_file_at_ctrl_z_on_windows_only)
{
    write_file(at("install-manifest.txt"), "a\nb\x1a"
                                           "c\nd\n");
    std::vector<std::string> expected = windows_path_rules ? std::vector<std::string>{"a", "b"}
                                                           : std::vector<std::string>{"a",
                                                                                      "b\x1a"
                                                                                      "c",
                                                                                      "d"};
    EXPECT_EQ(members(read_manifest(native())), expected);
}

TEST_F(manifest_reader, reports_a_missing_manifest_as_not_found)
{
    for (const std::string& dir : {std::string(), std::string("no-such-folder")}) {
        SCOPED_TRACE("folder '" + dir + "'");
        error_code ec;
        EXPECT_TRUE(read_manifest(native(dir), ec).empty());
        EXPECT_TRUE(ec && is_not_found(ec)) << describe(ec);
        EXPECT_TRUE(read_manifest(native(dir)).empty());
    }
}

TEST_F(manifest_reader, reports_a_manifest_that_cannot_be_read)
{
    // A folder of that name: Windows refuses to open it, POSIX opens it and fails the first read.
    stdfs::create_directory(at("install-manifest.txt"));
    error_code ec;
    EXPECT_TRUE(read_manifest(native(), ec).empty());
    EXPECT_TRUE(ec && !is_not_found(ec)) << describe(ec);
    if (!windows_path_rules) {
        EXPECT_EC(ec, generic_error(generic_io_error));
    }
    EXPECT_TRUE(read_manifest(native()).empty());
}

TEST_F(manifest_reader, reports_a_manifest_without_read_permission)
{
    if (windows_path_rules)
        GTEST_SKIP() << "denies access through POSIX modes and another user";
    write_file(at("install-manifest.txt"), "a\n");
    stdfs::permissions(at("install-manifest.txt"), stdfs::perms::none);
    tool_result result = run_manifest_tool(unprivileged(), "read", at(), at());
    EXPECT_EQ(result.status, "system 13") << result.errors;
    EXPECT_TRUE(result.entries.empty());
}

TEST_F(manifest_reader, keeps_whole_lines_read_before_a_read_error)
{
    if (windows_path_rules || !strace_available())
        GTEST_SKIP() << "fails a read of the manifest with strace";
    std::vector<std::string> lines;
    std::string content;
    for (int i = 0; i < 5000; ++i) {
        lines.push_back("line-" + std::to_string(10000 + i));
        content += lines.back() + "\n";
    }
    write_file(at("install-manifest.txt"), content);
    tool_result result = run_manifest_tool(failing_second_read_of(at("install-manifest.txt")), "read", at(), at());
    EXPECT_EQ(result.status, "generic 5") << result.errors;
    // The entries read before the error, each a whole line: none is cut short where the read ended.
    ASSERT_FALSE(result.entries.empty());
    ASSERT_LT(result.entries.size(), lines.size());
    EXPECT_EQ(result.entries, std::vector<std::string>(lines.begin(), lines.begin() + result.entries.size()));
}

// Whether a line that the file-name code page cannot decode is skipped is not shown here: on POSIX
// every byte sequence is a name, and the code pages that Wine gives with LANG=C.UTF-8 (ANSI 1252,
// OEM 437) decode every byte. The NUL line above goes through the same skip.

class manifest_writer_test : public temp_dir_test {};

TEST_F(manifest_writer_test, writes_a_set_in_order_with_slashes_and_lf_only)
{
    manifest_set set = set_of({"a.b", "a-b", "a\\b", "a", "bin\\sub\\x.dll"});
    error_code ec = generic_error(9999);
    write_manifest(native("install-manifest.txt"), set, ec);
    EXPECT_NO_EC(ec);
    EXPECT_EQ(read_file(at("install-manifest.txt")), "a\na/b\na-b\na.b\nbin/sub/x.dll\n");
    EXPECT_EQ(read_manifest(native()), set_of({"a", "a/b", "a-b", "a.b", "bin/sub/x.dll"}));
}

TEST_F(manifest_writer_test, writes_a_list_in_the_order_given)
{
    error_code ec = generic_error(9999);
    write_manifest(native("install-manifest.txt"), std::vector<path_string>{P("z"), P("b\\c"), P("a")}, ec);
    EXPECT_NO_EC(ec);
    EXPECT_EQ(read_file(at("install-manifest.txt")), "z\nb/c\na\n");
}

TEST_F(manifest_writer_test, replaces_content_and_writes_nothing_for_no_entries)
{
    write_file(at("install-manifest.txt"), "old\nentries\n");
    error_code ec = generic_error(9999);
    write_manifest(native("install-manifest.txt"), manifest_set{}, ec);
    EXPECT_NO_EC(ec);
    EXPECT_TRUE(stdfs::exists(at("install-manifest.txt")));
    EXPECT_EQ(read_file(at("install-manifest.txt")), "");
}

TEST_F(manifest_writer_test, leaves_out_names_that_would_read_back_as_other_names)
{
    manifest_set set = set_of({"a", "x\ny", "z\r", "b"});
    error_code ec = generic_error(9999);
    write_manifest(native("install-manifest.txt"), set, ec);
    EXPECT_NO_EC(ec);
    EXPECT_EQ(read_file(at("install-manifest.txt")), "a\nb\n");
}

TEST_F(manifest_writer_test, leaves_out_names_the_code_page_cannot_represent)
{
    if (!windows_path_rules)
        GTEST_SKIP() << "POSIX manifests hold names as bytes, so every name is represented";
    path_string missing = P("\xd0\x96"); // U+0416
    std::string narrow;
    ASSERT_FALSE(fs::to_narrow(missing, narrow)) << "expects an ANSI code page without U+0416 (1252 under Wine)";
    path_string lone_surrogate = P("s");
    lone_surrogate.push_back(static_cast<path_char>(0xD800));

    manifest_set set{P("a"), missing, lone_surrogate, P("b")};
    error_code ec = generic_error(9999);
    write_manifest(native("install-manifest.txt"), set, ec);
    EXPECT_NO_EC(ec);
    EXPECT_EQ(read_file(at("install-manifest.txt")), "a\nb\n");
}

TEST_F(manifest_writer_test, fails_with_io_error_when_the_file_cannot_be_opened)
{
    error_code ec;
    write_manifest(native("no-such-folder/install-manifest.txt"), set_of({"a"}), ec);
    EXPECT_EC(ec, generic_error(generic_io_error));
    EXPECT_FALSE(stdfs::exists(at("no-such-folder")));

    write_manifest(native("no-such-folder/install-manifest.txt"), std::vector<path_string>{P("a")}, ec);
    EXPECT_EC(ec, generic_error(generic_io_error));
}

TEST_F(manifest_writer_test, fails_with_io_error_when_a_write_fails)
{
    if (windows_path_rules || !running_as_root())
        GTEST_SKIP() << "fills a small tmpfs, which needs root on POSIX";
    stdfs::create_directory(at("small"));
    std::string mount = "mount -t tmpfs -o size=64k tmpfs " + shell_quoted(at("small"));
    if (std::system(mount.c_str()) != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    // Far more than the disk and the stream's buffer hold, so a write fails before the close.
    std::vector<path_string> entries;
    for (int i = 0; i < 20000; ++i)
        entries.push_back(P("folder/file-" + std::to_string(i) + ".dat"));
    error_code ec;
    write_manifest(native("small/install-manifest.txt"), entries, ec);
    std::string unmount = "umount " + shell_quoted(at("small"));
    EXPECT_EQ(std::system(unmount.c_str()), 0);
    EXPECT_EC(ec, generic_error(generic_io_error));
}

TEST_F(manifest_writer_test, fails_with_io_error_when_only_the_last_buffered_bytes_find_no_room)
{
    if (windows_path_rules || !running_as_root())
        GTEST_SKIP() << "fills a small tmpfs, which needs root on POSIX";
    stdfs::create_directory(at("full"));
    std::string mount = "mount -t tmpfs -o size=64k tmpfs " + shell_quoted(at("full"));
    if (std::system(mount.c_str()) != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    // The disk is full before the manifest is written; its two short lines stay in the stream's
    // buffer until the writer finishes.
    std::string fill = "dd if=/dev/zero of=" + shell_quoted(at("full/filler")) + " bs=4k 2>/dev/null";
    std::system(fill.c_str());
    error_code ec;
    write_manifest(native("full/install-manifest.txt"), set_of({"a", "b"}), ec);
    std::string unmount = "umount " + shell_quoted(at("full"));
    EXPECT_EQ(std::system(unmount.c_str()), 0);
    EXPECT_EC(ec, generic_error(generic_io_error));
}

} // namespace
} // namespace updater::test
