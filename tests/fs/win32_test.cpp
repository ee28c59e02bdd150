// Windows-only behaviour of the filesystem layer: error texts and conditions, the code pages of
// narrow names, sharing violations, read-only files, moves across volumes, the final-path
// canonical form and text-mode files. Runs under Wine in CI; what Wine cannot show is skipped.
#include "updater/fs/fs.h"

#include "support/test_support.h"
#include "support/win32_call_override.h"

#include <windows.h>

#include <io.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <cwctype>
#include <locale.h>

namespace updater::test {
namespace {

class handle_owner {
public:
    explicit handle_owner(HANDLE handle) : handle_(handle) {}
    handle_owner(const handle_owner&) = delete;
    handle_owner& operator=(const handle_owner&) = delete;
    ~handle_owner() { close(); }
    explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE; }
    void close()
    {
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE handle_;
};

// Opens a file the way another program might hold it: by default readers and writers welcome,
// but no deleting or renaming while it is open.
handle_owner hold_without_delete_sharing(const path_string& path, DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE)
{
    return handle_owner(
        CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

DWORD attributes_of(const path_string& path) { return GetFileAttributesW(path.c_str()); }

void add_attributes(const path_string& path, DWORD attributes)
{
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), attributes_of(path) | attributes)) << GetLastError();
}

std::string read_all(std::FILE* file)
{
    std::string content;
    for (int c; (c = std::fgetc(file)) != EOF;)
        content.push_back(static_cast<char>(c));
    return content;
}

// ---- error codes -------------------------------------------------------------------------------

// The system's US English text in the ANSI code page, trailing line end and blanks cut off; empty
// when the system has none.
std::string us_english_text(DWORD value)
{
    char buffer[1024];
    DWORD size = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, value,
                                MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), buffer, sizeof buffer, nullptr);
    std::string text(buffer, size);
    while (!text.empty() && std::string_view(" \t\r\n").find(text.back()) != std::string_view::npos)
        text.pop_back();
    return text;
}

// Wine's texts differ from Windows' ("File not found." against "The system cannot find the file
// specified."), so they are compared with what the system itself says, never with fixed wording.
TEST(win32_error_test, system_texts_are_the_platforms_own_without_trailing_white_space)
{
    for (int value : {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_NOT_SAME_DEVICE,
                      ERROR_SHARING_VIOLATION, ERROR_DIR_NOT_EMPTY, ERROR_ALREADY_EXISTS}) {
        SCOPED_TRACE(value);
        const std::string text = system_error(value).message();
        ASSERT_FALSE(text.empty());
        EXPECT_NE(text, "unknown error");
        EXPECT_EQ(text.find_last_not_of(std::string(" \t\r\n\0", 5)), text.size() - 1) << '"' << text << '"';
        EXPECT_EQ(text.find('\0'), std::string::npos);
        const std::string expected = us_english_text(static_cast<DWORD>(value));
        if (!expected.empty()) {
            EXPECT_EQ(text, expected);
        }
    }
    EXPECT_NE(system_error(ERROR_FILE_NOT_FOUND).message(), system_error(ERROR_PATH_NOT_FOUND).message());
    EXPECT_STREQ(system_category().name(), "system");
}

TEST(win32_error_test, a_value_the_system_has_no_text_for_is_unknown_error)
{
    constexpr DWORD no_text = 0xFFFF;
    wchar_t buffer[256];
    ASSERT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, no_text, 0, buffer,
                             256, nullptr),
              0u)
        << "the system has a text for " << no_text;
    EXPECT_EQ(system_error(no_text).message(), "unknown error");
}

TEST(win32_error_test, only_not_same_device_is_the_cross_device_condition)
{
    EXPECT_TRUE(system_error(ERROR_NOT_SAME_DEVICE) == cross_device_link());
    EXPECT_EQ(system_error(ERROR_NOT_SAME_DEVICE).default_error_condition(), cross_device_link());
    EXPECT_EQ(cross_device_link().message(), "cross device link");
    for (int value : {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_NO_MORE_FILES, ERROR_ALREADY_EXISTS}) {
        SCOPED_TRACE(value);
        EXPECT_FALSE(system_error(value) == cross_device_link());
        EXPECT_EQ(system_error(value).default_error_condition(), std::error_condition(value, system_category()));
    }
}

TEST(win32_error_test, the_not_found_set)
{
    for (int value : {2, 3, 53, 64, 123, 161, 267}) {
        SCOPED_TRACE(value);
        EXPECT_TRUE(is_not_found(system_error(value)));
    }
    for (int value : {0, 5, 17, 18, 32, 87, 145, 183}) {
        SCOPED_TRACE(value);
        EXPECT_FALSE(is_not_found(system_error(value)));
    }
    // The same numbers in the generic category mean something else.
    EXPECT_FALSE(is_not_found(generic_error(2)));
}

// ---- narrow names ------------------------------------------------------------------------------

TEST(win32_path_test, utf8_conversions_are_strict)
{
    EXPECT_EQ(path_from_utf8("caf\xC3\xA9"), L"caf\u00E9");
    EXPECT_EQ(path_from_utf8("\xF0\x9F\x98\x80"), L"\xD83D\xDE00");
    EXPECT_EQ(path_to_utf8(L"caf\u00E9"), "caf\xC3\xA9");
    EXPECT_EQ(path_to_utf8(L"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
    for (const char* invalid : {"a\xC3(", "\xC0\xAF", "\xED\xA0\x80", "\xFF"}) {
        SCOPED_TRACE(invalid);
        EXPECT_EQ(path_from_utf8(invalid), L"");
    }
    EXPECT_EQ(path_to_utf8(L"a\xD800"), "");
    EXPECT_EQ(path_to_utf8(L"\xDC00z"), "");
}

// Under LANG=C.UTF-8 (scripts/wine-env.sh) Wine's ANSI code page is 1252 and its OEM one 437.
class code_page_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (GetACP() != 1252 || GetOEMCP() != 437)
            GTEST_SKIP() << "the code pages are " << GetACP() << " and " << GetOEMCP() << ", not 1252 and 437";
        if (___lc_codepage_func() == CP_UTF8)
            GTEST_SKIP() << "the C runtime's locale uses UTF-8";
        ASSERT_TRUE(AreFileApisANSI());
    }
};

struct narrow_case {
    const wchar_t* wide;
    const char* narrow; // nullptr: the name cannot be written in the code page
};

void check_narrow_cases(std::initializer_list<narrow_case> cases)
{
    for (const narrow_case& c : cases) {
        SCOPED_TRACE(path_to_utf8(c.wide));
        std::string narrow = "stale";
        bool converted = fs::to_narrow(c.wide, narrow);
        if (!c.narrow) {
            EXPECT_FALSE(converted) << "gave \"" << narrow << '"';
            continue;
        }
        ASSERT_TRUE(converted);
        EXPECT_EQ(narrow, c.narrow);
        path_string back = L"stale";
        ASSERT_TRUE(fs::from_narrow(c.narrow, back));
        EXPECT_EQ(back, c.wide);
    }
}

TEST_F(code_page_test, names_in_the_ansi_code_page_convert_strictly)
{
    check_narrow_cases({
        {L"", ""},
        {L"plain/name.txt", "plain/name.txt"},
        {L"caf\u00E9", "caf\xE9"},
        {L"\u2019\u20AC", "\x92\x80"}, // in 1252's upper half
        {L"\u0101", nullptr},          // a with macron: best fit would make it "a"
        {L"\u221E", nullptr},          // infinity: best fit would make it "8"
        {L"\u4E2D", nullptr},
        {L"a\xD800", nullptr}, // a lone surrogate
    });
}

TEST_F(code_page_test, names_in_the_oem_code_page_when_the_file_apis_use_it)
{
    SetFileApisToOEM();
    struct restore {
        ~restore() { SetFileApisToANSI(); }
    } restore_ansi;
    check_narrow_cases({
        {L"caf\u00E9", "caf\x82"},
        {L"\u2019", nullptr}, // in 1252, not in 437; best fit would make it "'"
        {L"\u2591", "\xB0"},  // a shade block, only in 437
    });
}

TEST(win32_narrow_test, names_are_utf8_when_the_c_runtime_locale_is)
{
    const char* previous = std::setlocale(LC_CTYPE, nullptr);
    std::string saved = previous ? previous : "C";
    // Observed: msvcrt.dll under Wine answers ".65001" with "C" and ".UTF-8" with nothing.
    if ((!std::setlocale(LC_CTYPE, ".UTF-8") && !std::setlocale(LC_CTYPE, ".65001")) ||
        ___lc_codepage_func() != CP_UTF8) {
        std::setlocale(LC_CTYPE, saved.c_str());
        GTEST_SKIP() << "this C runtime has no UTF-8 locale";
    }
    std::string narrow;
    bool converted = fs::to_narrow(L"\u0101\u4E2D", narrow);
    path_string wide;
    bool back = fs::from_narrow("\xC4\x81", wide);
    bool invalid = fs::from_narrow("\xC4", wide);
    std::setlocale(LC_CTYPE, saved.c_str());
    EXPECT_TRUE(converted);
    EXPECT_EQ(narrow, "\xC4\x81\xE4\xB8\xAD");
    EXPECT_TRUE(back);
    EXPECT_FALSE(invalid);
}

// ---- the file operations -----------------------------------------------------------------------

// Read-only entries are beyond std::filesystem's removal, so the folder goes through the
// helper's own remove_all first.
class win32_fs_test : public temp_dir_test {
protected:
    void TearDown() override
    {
        error_code ignored;
        fs::remove_all(native(), ignored);
        temp_dir_test::TearDown();
    }
};

// The seam the backend tests fail calls through: an entry swapped in the test's own process is what
// the backend calls, and the real function is back when the override ends.
TEST_F(win32_fs_test, a_swapped_call_answers_for_the_backend_until_the_override_ends)
{
    write_file(at("file.txt"), "x");
    {
        call_override refused(&os_calls::win32_call_table::get_file_attributes_ex,
                              [](LPCWSTR, GET_FILEEX_INFO_LEVELS, LPVOID) -> BOOL {
                                  SetLastError(ERROR_SHARING_VIOLATION);
                                  return FALSE;
                              });
        error_code ec;
        EXPECT_EQ(fs::status(native("file.txt"), ec), fs::file_type::none);
        EXPECT_EC(ec, system_error(ERROR_SHARING_VIOLATION));
        EXPECT_EQ(refused.original(), &GetFileAttributesExW);
    }
    error_code ec;
    EXPECT_EQ(fs::status(native("file.txt"), ec), fs::file_type::regular);
    EXPECT_NO_EC(ec);
}

// A file opened to append takes writes only at its end, also a write aimed at its start: two
// helpers appending to the log at once each keep their line. Found by the concurrency rounds of the
// Windows sweep: the C runtime's append seeks to the end and then writes, and a line was lost.
TEST_F(win32_fs_test, a_file_opened_to_append_is_written_only_at_its_end)
{
    write_file(at("log.txt"), "first\n");
    error_code ec;
    fs::unique_file file = fs::open_file(native("log.txt"), "ab", ec);
    ASSERT_NO_EC(ec);
    ASSERT_TRUE(file);
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file.get())));
    OVERLAPPED at_start{};
    DWORD written = 0;
    WriteFile(handle, "second\n", 7, &written, &at_start);
    file.reset();
    EXPECT_EQ(read_file(at("log.txt")), "first\nsecond\n");
}

// Only an empty volume root lists nothing at all; any other directory lists "." at least. Found by
// the fault sweep: a listing that answered 2 there passed as empty, and the scan installed only
// part of the update and reported success.
TEST_F(win32_fs_test, a_listing_that_finds_nothing_below_a_volume_root_fails)
{
    write_tree(root_, {{"dir/file.txt", "x"}});
    call_override nothing(&os_calls::win32_call_table::find_first_file_ex,
                          [](LPCWSTR, FINDEX_INFO_LEVELS, LPVOID, FINDEX_SEARCH_OPS, LPVOID, DWORD) -> HANDLE {
                              SetLastError(ERROR_FILE_NOT_FOUND);
                              return INVALID_HANDLE_VALUE;
                          });
    error_code ec;
    fs::directory_iteration entries(native("dir"), fs::iteration_mode::plain, ec);
    EXPECT_EC(ec, system_error(ERROR_FILE_NOT_FOUND));
}

TEST_F(win32_fs_test, a_file_held_without_delete_sharing_can_neither_move_nor_go)
{
    write_tree(root_, {{"dir/held.txt", "held"}});
    handle_owner held = hold_without_delete_sharing(native("dir/held.txt"));
    ASSERT_TRUE(held);
    const error_code sharing_violation = system_error(ERROR_SHARING_VIOLATION);

    error_code ec;
    fs::rename(native("dir/held.txt"), native("moved.txt"), fs::existing_target::replace, ec);
    EXPECT_EC(ec, sharing_violation);
    EXPECT_FALSE(fs::remove(native("dir/held.txt"), ec));
    EXPECT_EC(ec, sharing_violation);
    fs::remove_all(native("dir"), ec);
    EXPECT_EC(ec, sharing_violation);
    EXPECT_EQ(read_tree(root_), (tree{{"dir/", ""}, {"dir/held.txt", "held"}}));

    held.close();
    fs::rename(native("dir/held.txt"), native("moved.txt"), fs::existing_target::replace, ec);
    EXPECT_NO_EC(ec);
    fs::remove_all(native("dir"), ec);
    EXPECT_NO_EC(ec);
    EXPECT_EQ(read_tree(root_), (tree{{"moved.txt", "held"}}));
}

TEST_F(win32_fs_test, read_only_files_and_directories_are_removed)
{
    write_tree(root_, {{"single.txt", "1"}, {"tree/a.txt", "a"}, {"tree/deep/b.txt", "b"}});
    for (const char* rel : {"single.txt", "tree/a.txt", "tree/deep/b.txt", "tree/deep"})
        add_attributes(native(rel), FILE_ATTRIBUTE_READONLY);
    error_code ec;
    EXPECT_TRUE(fs::remove(native("single.txt"), ec));
    EXPECT_NO_EC(ec);
    fs::remove_all(native("tree"), ec);
    EXPECT_NO_EC(ec);
    EXPECT_EQ(read_tree(root_), tree{});
}

TEST_F(win32_fs_test, a_failed_removal_leaves_the_read_only_attribute)
{
    write_tree(root_, {{"full/inside.txt", "x"}});
    add_attributes(native("full"), FILE_ATTRIBUTE_READONLY);
    // Observed: Wine keeps no read-only attribute on directories.
    if (!(attributes_of(native("full")) & FILE_ATTRIBUTE_READONLY))
        GTEST_SKIP() << "the file system keeps no read-only attribute on directories";
    error_code ec;
    EXPECT_FALSE(fs::remove(native("full"), ec));
    EXPECT_EC(ec, not_empty_error());
    EXPECT_TRUE(attributes_of(native("full")) & FILE_ATTRIBUTE_READONLY);
}

TEST_F(win32_fs_test, listing_a_file_or_a_missing_directory_is_not_found)
{
    write_tree(root_, {{"file.txt", "x"}});
    struct case_ {
        const char* rel;
        std::initializer_list<int> values; // Windows' answer first, then Wine's where it differs
    };
    for (const case_& c : {case_{"file.txt", {ERROR_DIRECTORY, ERROR_INVALID_NAME}},
                           case_{"missing", {ERROR_PATH_NOT_FOUND}}, case_{"missing/below", {ERROR_PATH_NOT_FOUND}}}) {
        SCOPED_TRACE(c.rel);
        error_code ec;
        fs::directory_iteration it(native(c.rel), fs::iteration_mode::plain, ec);
        EXPECT_TRUE(it.at_end());
        ASSERT_TRUE(ec);
        EXPECT_TRUE(is_not_found(ec)) << describe(ec);
        EXPECT_NE(std::find(c.values.begin(), c.values.end(), ec.value()), c.values.end()) << describe(ec);
    }
}

TEST_F(win32_fs_test, equivalent_sees_one_file_through_every_spelling)
{
    write_tree(root_, {{"Dir/File.txt", "one"}, {"Dir/twin.txt", "one"}});
    ASSERT_TRUE(CreateHardLinkW(native("hard-link.txt").c_str(), native("Dir/File.txt").c_str(), nullptr))
        << GetLastError();
    const path_string file = native("Dir/File.txt");
    struct case_ {
        path_string other;
        bool same;
    };
    path_string upper = file;
    for (wchar_t& c : upper)
        c = static_cast<wchar_t>(std::towupper(c));
    path_string slashes = file;
    std::replace(slashes.begin(), slashes.end(), L'\\', L'/');
    for (const case_& c :
         {case_{file, true}, case_{upper, true}, case_{slashes, true}, case_{native("Dir/../Dir/./File.txt"), true},
          case_{native("hard-link.txt"), true}, case_{native("Dir/twin.txt"), false}, case_{native("Dir"), false}}) {
        SCOPED_TRACE(U(c.other));
        error_code ec;
        EXPECT_EQ(fs::equivalent(file, c.other, ec), c.same);
        EXPECT_NO_EC(ec);
    }
    error_code ec;
    EXPECT_TRUE(fs::equivalent(native("Dir"), native("dir/"), ec));
    EXPECT_NO_EC(ec);
    EXPECT_FALSE(fs::equivalent(file, native("Dir/missing.txt"), ec));
    EXPECT_EC(ec, not_found_error());
}

TEST_F(win32_fs_test, canonical_forms_take_the_on_disk_case_and_no_device_prefix)
{
    write_tree(root_, {{"Sub/File.txt", "x"}});
    error_code ec;
    const path_string canonical_root = fs::weakly_canonical(native(), ec);
    ASSERT_NO_EC(ec);
    EXPECT_NE(canonical_root.substr(0, 4), L"\\\\?\\");
    EXPECT_EQ(root_name(canonical_root).size(), 2u) << U(canonical_root); // a drive designator

    struct case_ {
        const char* rel;
        const wchar_t* canonical_rest;
    };
    for (const case_& c : {case_{"sub/file.txt", L"\\Sub\\File.txt"}, case_{"SUB\\missing\\..\\New", L"\\Sub\\New"},
                           case_{"sub/./a/b/../c", L"\\Sub\\a\\c"}, case_{"sub/", L"\\Sub"}}) {
        SCOPED_TRACE(c.rel);
        EXPECT_EQ(fs::weakly_canonical(native(c.rel), ec), canonical_root + c.canonical_rest);
        EXPECT_NO_EC(ec);
    }
    EXPECT_EQ(fs::relative(native("SUB/FILE.TXT"), native("sub"), ec), L"File.txt");
    EXPECT_NO_EC(ec);
}

TEST_F(win32_fs_test, text_mode_writes_cr_lf_and_reads_up_to_ctrl_z)
{
    const path_string file = native("text.txt");
    error_code ec;
    {
        fs::unique_file out = fs::open_file(file, "wb", ec);
        ASSERT_NO_EC(ec);
        std::fputs("raw\n", out.get());
    }
    for (const char* mode : {"at", "a"}) {
        fs::unique_file out = fs::open_file(file, mode, ec);
        ASSERT_NO_EC(ec);
        std::fputs("line\n", out.get());
    }
    EXPECT_EQ(read_file(at("text.txt")), "raw\nline\r\nline\r\n");

    write_file(at("text.txt"), "one\r\ntwo\x1Ahidden");
    for (const char* mode : {"rt", "r"}) {
        fs::unique_file in = fs::open_file(file, mode, ec);
        ASSERT_NO_EC(ec);
        EXPECT_EQ(read_all(in.get()), "one\ntwo") << mode;
    }
    fs::unique_file in = fs::open_file(file, "rb", ec);
    ASSERT_NO_EC(ec);
    EXPECT_EQ(read_all(in.get()), "one\r\ntwo\x1Ahidden");
}

TEST_F(win32_fs_test, an_open_file_does_not_hold_its_name)
{
    write_file(at("open.txt"), "content");
    error_code ec;
    fs::unique_file in = fs::open_file(native("open.txt"), "rb", ec);
    ASSERT_NO_EC(ec);
    fs::unique_file out = fs::open_file(native("open.txt"), "at", ec);
    ASSERT_NO_EC(ec);
    fs::rename(native("open.txt"), native("renamed.txt"), fs::existing_target::replace, ec);
    EXPECT_NO_EC(ec);
    EXPECT_TRUE(fs::remove(native("renamed.txt"), ec));
    EXPECT_NO_EC(ec);
    EXPECT_EQ(read_all(in.get()), "content");
}

TEST_F(win32_fs_test, open_file_reports_the_systems_own_error)
{
    error_code ec;
    EXPECT_FALSE(fs::open_file(native("missing.txt"), "rt", ec));
    EXPECT_EC(ec, not_found_error());
    EXPECT_FALSE(fs::open_file(native("missing/new.txt"), "at", ec));
    EXPECT_EC(ec, path_not_found_error());
    // Not the C runtime's EACCES: the numbers a sharing violation and a directory give.
    write_file(at("held.txt"), "x");
    handle_owner held = hold_without_delete_sharing(native("held.txt"), FILE_SHARE_READ);
    ASSERT_TRUE(held);
    EXPECT_FALSE(fs::open_file(native("held.txt"), "at", ec));
    EXPECT_EC(ec, system_error(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(fs::open_file(native(), "rb", ec));
    EXPECT_EC(ec, access_denied_error());
}

// Paths beyond MAX_PATH work on any Windows, long paths enabled on the system or not: the backend
// hands them to Win32 in the "\\?\" form (win32_calls_test shows the form each call receives).
TEST_F(win32_fs_test, paths_beyond_max_path_work_without_long_path_support)
{
    const path_string level = P("a-level-of-a-deep-tree");
    path_string deep = native();
    int levels = 0;
    for (; deep.size() <= MAX_PATH + 2 * level.size(); ++levels)
        deep = join_path(deep, level);
    error_code ec;
    fs::create_directories(deep, ec);
    ASSERT_NO_EC(ec);
    const path_string file = join_path(deep, P("file.txt"));
    {
        fs::unique_file out = fs::open_file(file, "wb", ec);
        ASSERT_NO_EC(ec);
        std::fputs("deep", out.get());
    }
    EXPECT_EQ(fs::status(file, ec), fs::file_type::regular);
    fs::rename(file, join_path(deep, P("moved.txt")), fs::existing_target::replace, ec);
    EXPECT_NO_EC(ec);
    const path_string canonical_root = fs::weakly_canonical(native(), ec);
    ASSERT_NO_EC(ec);
    EXPECT_EQ(fs::weakly_canonical(join_path(deep, P("moved.txt")), ec),
              canonical_root + deep.substr(native().size()) + L"\\moved.txt");
    EXPECT_NO_EC(ec);

    int directories = 0;
    path_string last;
    for (fs::directory_iteration it(native(), fs::iteration_mode::recursive, ec); !it.at_end(); it.advance(ec)) {
        directories += it.type() == fs::file_type::directory;
        last = it.path();
    }
    EXPECT_NO_EC(ec);
    EXPECT_EQ(directories, levels);
    EXPECT_EQ(last, join_path(deep, P("moved.txt")));

    fs::remove_all(join_path(native(), level), ec);
    EXPECT_NO_EC(ec);
    EXPECT_EQ(fs::status(join_path(native(), level), ec), fs::file_type::not_found);
}

TEST_F(win32_fs_test, copy_file_takes_the_attributes_along)
{
    write_tree(root_, {{"from.txt", "new"}, {"existing.txt", "old"}});
    const DWORD kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
    add_attributes(native("from.txt"), kept);
    for (const char* to : {"new.txt", "existing.txt"}) {
        SCOPED_TRACE(to);
        error_code ec;
        fs::copy_file(native("from.txt"), native(to), fs::existing_target::replace, ec);
        EXPECT_NO_EC(ec);
        EXPECT_EQ(read_file(at(to)), "new");
        EXPECT_EQ(attributes_of(native(to)) & kept, kept);
    }
}

// ---- links -------------------------------------------------------------------------------------

TEST_F(win32_fs_test, a_directory_link_is_followed_by_status_but_never_entered_or_removed_through)
{
    write_tree(root_, {{"target/inside.txt", "kept"}});
    const path_string link = native("link");
    // 0x2: allowed without privilege in developer mode (Windows 10 1703 and later).
    constexpr DWORD allow_unprivileged_create = 0x2;
    if (!CreateSymbolicLinkW(link.c_str(), native("target").c_str(),
                             SYMBOLIC_LINK_FLAG_DIRECTORY | allow_unprivileged_create))
        GTEST_SKIP() << "no right to create symbolic links (error " << GetLastError() << ")";
    // Observed: Wine's CreateSymbolicLinkW returns TRUE and creates nothing.
    if (attributes_of(link) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "CreateSymbolicLinkW reported success but created no link (Wine)";

    error_code ec;
    EXPECT_EQ(fs::status(link, ec), fs::file_type::directory);
    EXPECT_NO_EC(ec);
    std::map<std::string, fs::file_type> seen;
    for (fs::directory_iteration it(native(), fs::iteration_mode::recursive, ec); !it.at_end(); it.advance(ec))
        seen[U(it.relative_path())] = it.type();
    EXPECT_NO_EC(ec);
    EXPECT_EQ(seen, (std::map<std::string, fs::file_type>{{"link", fs::file_type::symlink},
                                                          {"target", fs::file_type::directory},
                                                          {"target\\inside.txt", fs::file_type::regular}}));
    fs::remove_all(link, ec);
    EXPECT_NO_EC(ec);
    EXPECT_EQ(read_tree(root_), (tree{{"target/", ""}, {"target/inside.txt", "kept"}}));
}

// ---- another volume ----------------------------------------------------------------------------

// QM_OTHER_VOLUME names a folder on another volume than the temporary folder; scripts/wine-env.sh
// maps drive Q: to a folder on /dev/shm for that.
class other_volume_test : public temp_dir_test {
protected:
    void SetUp() override
    {
        temp_dir_test::SetUp();
        const char* volume = std::getenv("QM_OTHER_VOLUME");
        if (!volume || !*volume)
            GTEST_SKIP() << "QM_OTHER_VOLUME names no folder on another volume";
        other_ = join_path(P(volume), root_.filename().native());
        error_code ec;
        fs::create_directories(other_, ec);
        ASSERT_NO_EC(ec);
    }
    void TearDown() override
    {
        if (!other_.empty()) {
            error_code ignored;
            fs::remove_all(other_, ignored);
        }
        temp_dir_test::TearDown();
    }
    path_string other(const char* rel) const { return join_path(other_, P(rel)); }

    path_string other_;
};

TEST_F(other_volume_test, a_directory_does_not_cross_volumes)
{
    write_tree(root_, {{"dir/file.txt", "x"}});
    write_tree(other_, {{"existing.txt", "kept"}});
    for (const char* target : {"dir", "existing.txt"}) {
        SCOPED_TRACE(target);
        error_code ec;
        fs::rename(native("dir"), other(target), fs::existing_target::replace, ec);
        EXPECT_EC(ec, system_error(ERROR_NOT_SAME_DEVICE));
        EXPECT_TRUE(ec == cross_device_link());
    }
    // Nothing moved, and Windows leaves the file standing at the target alone. Observed: Wine
    // deletes that file before it finds that the volumes differ.
    EXPECT_EQ(read_tree(root_), (tree{{"dir/", ""}, {"dir/file.txt", "x"}}));
    if (!running_under_wine()) {
        EXPECT_EQ(read_tree(other_), (tree{{"existing.txt", "kept"}}));
    }
}

TEST_F(other_volume_test, a_file_crosses_volumes_and_replaces_a_file_there)
{
    write_tree(root_, {{"new.txt", "new"}, {"second.txt", "second"}});
    write_tree(other_, {{"existing.txt", "old"}});
    error_code ec;
    fs::rename(native("new.txt"), other("existing.txt"), fs::existing_target::replace, ec);
    EXPECT_NO_EC(ec);
    fs::rename(native("second.txt"), other("second.txt"), fs::existing_target::replace, ec);
    EXPECT_NO_EC(ec);
    EXPECT_EQ(read_tree(root_), tree{});
    EXPECT_EQ(read_tree(other_), (tree{{"existing.txt", "new"}, {"second.txt", "second"}}));
}

TEST_F(other_volume_test, there_is_no_relative_path_between_volumes)
{
    error_code ec;
    EXPECT_EQ(fs::relative(other_, native(), ec), L"");
    EXPECT_TRUE(ec);
}

} // namespace
} // namespace updater::test
