// The install transaction on Windows answers that Wine does not give on demand, made through the
// backends' call table in the test's own process: an existence query that answers wrongly, and a
// file that appears between the query and the move.
#include "updater/install/transaction.h"

#include "updater/fs/fs.h"

#include "support/test_support.h"
#include "support/win32_call_override.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

namespace updater::test {
namespace {

using table = os_calls::win32_call_table;

const tree installed = {{"a.txt", "a 1"}, {"b.txt", "b 1"}};
const tree staged = {{"a.txt", "a 2"},
                     {"b.txt", "b 2"},
                     {"new.txt", "new 2"},
                     {"install-manifest.txt", "a.txt\nb.txt\nnew.txt\n"}};

// The one path whose query the stand-ins below answer for.
path_string queried_path;
bool appeared;

// A query that says "not found" for a file that is there: what a network redirector's stale answer
// or a program that moves the file aside and back for a moment gives. The file is there all along.
BOOL WINAPI missing_answer(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID data)
{
    if (path == queried_path) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    return GetFileAttributesExW(path, level, data);
}

// The real answer, and right after a "not found" for that path a file made there, as another
// program would make it in the moment between the query and the move.
BOOL WINAPI file_appears_after_the_answer(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID data)
{
    const BOOL found = GetFileAttributesExW(path, level, data);
    const DWORD error = GetLastError();
    if (!found && path == queried_path && !appeared) {
        appeared = true;
        HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        if (file != INVALID_HANDLE_VALUE) {
            WriteFile(file, "appeared", 8, &written, nullptr);
            CloseHandle(file);
        }
    }
    SetLastError(error);
    return found;
}

// Trees deeper than MAX_PATH are beyond std::filesystem's removal, so the folder goes through the
// helper's own remove_all first.
class win32_install_test : public temp_dir_test {
protected:
    void TearDown() override
    {
        error_code ignored;
        fs::remove_all(native(), ignored);
        temp_dir_test::TearDown();
    }
};

// Nothing a move-in finds at its place after all is replaced: MoveFileExW without
// MOVEFILE_REPLACE_EXISTING answers 183 there (on Windows as under Wine), the install fails with
// that error and rolls back, and every file stands as it was. With a replacing move the previous
// b.txt would be gone, and no backup would hold it.
TEST_F(win32_install_test, a_file_at_the_place_of_a_move_in_is_never_replaced)
{
    struct case_ {
        const char* name;
        const char* place;
        decltype(&missing_answer) query;
        tree after;
    };
    tree with_appeared = installed;
    with_appeared["new.txt"] = "appeared";
    for (const case_& c :
         {case_{"the query answers not found", "b.txt", &missing_answer, installed},
          case_{"a file appears after the query", "new.txt", &file_appears_after_the_answer, with_appeared}}) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(root_);
        write_tree(at("install"), installed);
        write_tree(at("staging"), staged);
        queried_path = native("install") + L"\\" + P(c.place);
        appeared = false;
        error_code ec;
        {
            call_override wrong(&table::get_file_attributes_ex, c.query);
            EXPECT_FALSE(install_staged_update(native("staging"), native("install"), ec));
        }
        EXPECT_EC(ec, system_error(ERROR_ALREADY_EXISTS));
        EXPECT_EQ(read_tree(at("install")), c.after);
        EXPECT_EQ(read_tree(at("staging")), staged);
    }
}

DWORD by_handle_answer; // 0: the real call

BOOL WINAPI no_file_id(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information, DWORD size)
{
    if (kind == FileIdInfo) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return GetFileInformationByHandleEx(handle, kind, information, size);
}

BOOL WINAPI by_handle(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION information)
{
    if (by_handle_answer != 0) {
        SetLastError(by_handle_answer);
        return FALSE;
    }
    return GetFileInformationByHandle(handle, information);
}

// An update staged in ".update-backup" itself, on a volume without FileIdInfo (FAT32 and exFAT
// answer 87): the commit must see that the staging folder is the new backup and keep it, through
// the file index; and where no id can be had at all, keep it too rather than risk the backup.
TEST_F(win32_install_test, the_commit_keeps_the_new_backup_on_a_volume_without_file_ids)
{
    const tree previous = {{"a.txt", "a 1"}, {"old.txt", "old 1"}, {"install-manifest.txt", "a.txt\nold.txt\n"}};
    const tree update = {{"a.txt", "a 2"}, {"install-manifest.txt", "a.txt\n"}};
    for (DWORD answer : {DWORD{0}, DWORD{ERROR_ACCESS_DENIED}}) {
        SCOPED_TRACE(answer);
        std::filesystem::remove_all(root_);
        write_tree(at("install"), previous);
        write_tree(at("install/.update-backup"), update);
        by_handle_answer = answer;
        error_code ec;
        {
            call_override fat(&table::get_file_information_by_handle_ex, &no_file_id);
            call_override index(&table::get_file_information_by_handle, &by_handle);
            EXPECT_TRUE(install_staged_update(native("install/.update-backup"), native("install"), ec));
        }
        EXPECT_NO_EC(ec);
        tree after = update;
        for (const auto& [rel, content] : previous)
            after[".update-backup/" + rel] = content;
        after[".update-backup/"] = "";
        EXPECT_EQ(read_tree(at("install")), after);
    }
}

// A tree read with the helper's own listing and files, which take paths beyond MAX_PATH (the test
// support's reader, on the C++ library, does not).
tree read_deep_tree(const path_string& root)
{
    tree result;
    error_code ec;
    for (fs::directory_iteration it(root, fs::iteration_mode::recursive, ec); !it.at_end(); it.advance(ec)) {
        std::string rel = U(it.relative_path());
        std::replace(rel.begin(), rel.end(), '\\', '/');
        if (it.type() == fs::file_type::directory) {
            result[rel + "/"] = "";
            continue;
        }
        std::string content;
        fs::unique_file in = fs::open_file(it.path(), "rb", ec);
        EXPECT_NO_EC(ec);
        if (in)
            for (int c; (c = std::fgetc(in.get())) != EOF;)
                content.push_back(static_cast<char>(c));
        result[rel] = content;
    }
    EXPECT_NO_EC(ec);
    return result;
}

// Fails every move of the staged b.dll, as a file held by another program would.
BOOL WINAPI held_b_dll(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    constexpr std::wstring_view held = L"\\staging\\lib\\b.dll";
    const std::wstring_view source = from;
    if (source.size() >= held.size() && source.substr(source.size() - held.size()) == held) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    return MoveFileExW(from, to, flags);
}

// An installation deeper than MAX_PATH, as an application installed below a long user profile
// path or a deep program folder has it: it updates, and a failed update rolls back, with every path
// in the "\\?\" form that a Windows without LongPathsEnabled needs. Observed: Wine takes long paths
// in either form, so this shows that the device form is right for every call of an install; the
// call table shows that Windows gets it.
TEST_F(win32_install_test, an_installation_deeper_than_max_path_updates_and_rolls_back)
{
    std::string deep = "a-deep-folder-of-a-long-user-profile-path";
    while (native(deep).size() < 280)
        deep += "/a-deep-folder-of-a-long-user-profile-path";
    const std::string install = deep + "/install";
    const std::string staging = deep + "/staging";
    const tree previous = {{"a.txt", "a 1"},
                           {"lib/b.dll", "b 1"},
                           {"lib/old.dll", "old 1"},
                           {"install-manifest.txt", "a.txt\nlib/b.dll\nlib/old.dll\n"}};
    const tree update = {{"a.txt", "a 2"},
                         {"lib/b.dll", "b 2"},
                         {"lib/new/c.dll", "c 2"},
                         {"install-manifest.txt", "a.txt\nlib/b.dll\nlib/new/c.dll\n"}};
    ASSERT_GT(native(install + "/lib/new/c.dll").size(), static_cast<std::size_t>(MAX_PATH));

    // A failed move of b.dll: everything goes back.
    write_tree(at(install), previous);
    write_tree(at(staging), update);
    error_code ec;
    {
        call_override held(&table::move_file_ex, &held_b_dll);
        EXPECT_FALSE(install_staged_update(native(staging), native(install), ec));
    }
    EXPECT_EC(ec, system_error(ERROR_SHARING_VIOLATION));
    tree previous_tree = previous;
    previous_tree["lib/"] = "";
    EXPECT_EQ(read_deep_tree(native(install)), previous_tree);
    EXPECT_EQ(read_deep_tree(native(staging)), (tree{{"a.txt", "a 2"},
                                                     {"lib/", ""},
                                                     {"lib/b.dll", "b 2"},
                                                     {"lib/new/", ""},
                                                     {"lib/new/c.dll", "c 2"},
                                                     {"install-manifest.txt", "a.txt\nlib/b.dll\nlib/new/c.dll\n"}}));

    // Then it installs.
    EXPECT_TRUE(install_staged_update(native(staging), native(install), ec));
    EXPECT_NO_EC(ec);
    tree installed_tree = update;
    installed_tree["lib/"] = "";
    installed_tree["lib/new/"] = "";
    installed_tree[".update-backup/"] = "";
    installed_tree[".update-backup/lib/"] = "";
    for (const auto& [rel, content] : previous)
        installed_tree[".update-backup/" + rel] = content;
    EXPECT_EQ(read_deep_tree(native(install)), installed_tree);
    EXPECT_EQ(fs::status(native(staging), ec), fs::file_type::not_found);
}

} // namespace
} // namespace updater::test
