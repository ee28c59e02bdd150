// The path rules: joining, last element and parent as one table per platform's grammar, and the
// lexical relative path.
#include "updater/fs/path.h"

#include "support/test_support.h"

#include <span>

namespace updater::test {
namespace {

// base joined with rel, then the joined path's last element and parent.
struct join_case {
    const char* base;
    const char* rel;
    const char* joined;
    const char* last;
    const char* parent;
};

const join_case windows_join_cases[] = {
    {"C:\\inst", "bin\\app.exe", "C:\\inst\\bin\\app.exe", "app.exe", "C:\\inst\\bin"},
    {"C:\\inst\\", "bin/app.exe", "C:\\inst\\bin/app.exe", "app.exe", "C:\\inst\\bin"},
    {"C:\\inst", "", "C:\\inst\\", "", "C:\\inst"},
    {"", "bin\\app.exe", "bin\\app.exe", "app.exe", "bin"},
    // A drive designator alone takes no separator: "C:a" is relative to C:'s current directory.
    {"C:", "a", "C:a", "a", "C:"},
    {"C:\\", "a", "C:\\a", "a", "C:\\"},
    {"", "C:\\", "C:\\", "", "C:\\"},
    {"", "C:", "C:", "", "C:"},
    // An absolute rel, or another root name, replaces base; the same root name is dropped.
    {"C:\\inst", "D:\\x", "D:\\x", "x", "D:\\"},
    {"C:\\inst", "D:x", "D:x", "x", "D:"},
    {"C:\\inst", "C:x", "C:\\inst\\x", "x", "C:\\inst"},
    // A rel that begins with a separator follows base's root name.
    {"C:\\inst\\sub", "\\x", "C:\\x", "x", "C:\\"},
    {"C:\\inst", "/x/y", "C:/x/y", "y", "C:/x"},
    // Network roots: the server is the root name, the share an element.
    {"\\\\server\\share", "a\\b", "\\\\server\\share\\a\\b", "b", "\\\\server\\share\\a"},
    {"\\\\server", "a", "\\\\server\\a", "a", "\\\\server\\"},
    {"\\\\server\\share\\dir", "\\x", "\\\\server\\x", "x", "\\\\server\\"},
    {"\\\\server\\share", "\\\\other\\x", "\\\\other\\x", "x", "\\\\other\\"},
    {"", "\\\\server\\share", "\\\\server\\share", "share", "\\\\server\\"},
    // Device prefixes: "\\?" is the root name and "C:" the first element after it.
    {"\\\\?\\C:\\", "a", "\\\\?\\C:\\a", "a", "\\\\?\\C:"},
    {"\\\\?\\C:\\inst", "a\\b", "\\\\?\\C:\\inst\\a\\b", "b", "\\\\?\\C:\\inst\\a"},
    {"C:\\inst", "\\\\?\\D:\\x", "\\\\?\\D:\\x", "x", "\\\\?\\D:"},
    {"C:\\inst\\\\", "a", "C:\\inst\\\\a", "a", "C:\\inst"},
};

const join_case posix_join_cases[] = {
    {"/inst", "bin/app", "/inst/bin/app", "app", "/inst/bin"},
    {"/inst/", "bin/app", "/inst/bin/app", "app", "/inst/bin"},
    // A "\" in a relative path from a manifest separates too.
    {"/inst", "bin\\sub\\app", "/inst/bin/sub/app", "app", "/inst/bin/sub"},
    {"/inst", "", "/inst/", "", "/inst"},
    {"", "bin/app", "bin/app", "app", "bin"},
    {"inst", "app", "inst/app", "app", "inst"},
    {"/", "app", "/app", "app", "/"},
    {"", "/", "/", "", "/"},
    // An absolute rel replaces base, also when its separator was written "\".
    {"/inst", "/other/app", "/other/app", "app", "/other"},
    {"/inst", "\\app", "/app", "app", "/"},
    // No root names on POSIX: "C:" is an ordinary element.
    {"/inst", "C:x", "/inst/C:x", "C:x", "/inst"},
    {"/inst//", "app", "/inst//app", "app", "/inst"},
};

TEST(path_test, join_path_last_element_and_parent)
{
    std::span<const join_case> cases = posix_join_cases;
    if (windows_path_rules)
        cases = windows_join_cases;
    for (const join_case& c : cases) {
        SCOPED_TRACE(std::string("base \"") + c.base + "\", rel \"" + c.rel + "\"");
        const path_string joined = join_path(P(c.base), P(c.rel));
        EXPECT_EQ(U(joined), c.joined);
        EXPECT_EQ(U(last_element(joined)), c.last);
        EXPECT_EQ(U(parent_path(joined)), c.parent);
    }
}

TEST(path_test, os_paths_split_only_at_os_separators)
{
    // In an OS path "\" is a character of a name on POSIX; only join_path's rel converts it.
    const char* path = "/inst/a\\b";
    EXPECT_EQ(U(last_element(P(path))), windows_path_rules ? "b" : "a\\b");
    EXPECT_EQ(U(parent_path(P(path))), windows_path_rules ? "/inst/a" : "/inst");
}

TEST(path_test, parent_of_a_root_stays_the_root)
{
    const char* const roots[] = {"/", "//"};
    for (const char* root : roots) {
        SCOPED_TRACE(root);
        EXPECT_EQ(U(parent_path(P(root))), root);
    }
}

struct relative_case {
    const char* path;
    const char* base;
    const char* relative; // "" when it cannot be formed
};

const relative_case windows_relative_cases[] = {
    {"C:\\a\\b\\c", "C:\\a", "b\\c"},
    {"C:\\a\\b", "C:\\a\\x\\y", "..\\..\\b"},
    {"C:\\a", "D:\\a", ""},
    {"C:\\a", "C:a", ""},
    {"\\\\server\\share\\a", "\\\\server\\share", "a"},
    {"\\\\server\\share\\a", "\\\\other\\share", ""},
};

const relative_case posix_relative_cases[] = {
    {"/a/b/c", "/a", "b/c"},   {"/a/b", "/a/x/y", "../../b"},
    {"/a", "/a/b/c", "../.."}, {"/a/b", "/a/b", "."},
    {"/a/b/", "/a/b", "."},    {"/a/b", "/a/b/", "."},
    {"/a//b", "/a/c", "../b"}, {"/a/b", "/a/./c", "../b"},
    {"/a/b", "/a/x/..", "b"}, // lexical only: ".." takes back the element before it
    {"/a", "/a/../..", ""},    {"a/b", "a", "b"},
    {"/a", "a", ""},           {"a", "/a", ""},
};

TEST(path_test, lexically_relative)
{
    std::span<const relative_case> cases = posix_relative_cases;
    if (windows_path_rules)
        cases = windows_relative_cases;
    for (const relative_case& c : cases) {
        SCOPED_TRACE(std::string("path \"") + c.path + "\", base \"" + c.base + "\"");
        EXPECT_EQ(U(lexically_relative(P(c.path), P(c.base))), c.relative);
    }
}

TEST(path_test, root_name)
{
    struct root_case {
        const char* path;
        const char* root; // on Windows; always empty on POSIX
    };
    const root_case cases[] = {
        {"C:\\a", "C:"},
        {"c:", "c:"},
        {"\\\\server\\share\\a", "\\\\server"},
        {"//server/share", "//server"},
        {"\\\\?\\C:\\a", "\\\\?"},
        {"\\\\.\\pipe\\x", "\\\\."},
        {"\\??\\C:\\a", "\\??"},
        {"\\a", ""},
        {"1:\\a", ""},
        {"a", ""},
    };
    for (const root_case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(U(root_name(P(c.path))), windows_path_rules ? c.root : "");
    }
}

} // namespace
} // namespace updater::test
