// The Windows backend on the answers that Wine never gives, made through the backends' call table:
// the deletion with POSIX semantics, CopyFile2, a final path or a file id that the volume cannot
// give, a move across volumes that leaves its source, listings that find nothing, and error texts
// without US English. Each test says what a real Windows machine answers there and where that was
// learned.
#include "updater/fs/fs.h"
#include "updater/lock/lock.h"
#include "updater/manifest/staged_tree.h"

#include "support/test_support.h"
#include "support/win32_call_override.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <vector>

namespace updater::test {
namespace {

using table = os_calls::win32_call_table;

// Read-only entries are beyond std::filesystem's removal, so the folder goes through the helper's
// own remove_all first.
class win32_calls_test : public temp_dir_test {
protected:
    void TearDown() override
    {
        error_code ignored;
        fs::remove_all(native(), ignored);
        temp_dir_test::TearDown();
    }
};

DWORD attributes_of(const path_string& path) { return GetFileAttributesW(path.c_str()); }

void make_read_only(const path_string& path)
{
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), attributes_of(path) | FILE_ATTRIBUTE_READONLY)) << GetLastError();
}

// ---- the deletion with POSIX semantics -----------------------------------------------------------

constexpr auto file_disposition_info_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD posix_deletion_flags = 0x1 | 0x2 | 0x10; // delete, POSIX semantics, ignore read-only

// What the backend asked SetFileInformationByHandle, class by class, and the flags of class 21.
std::vector<int> set_classes;
DWORD disposition_ex_flags;
DWORD disposition_ex_answer; // 0: accepted

// Stands in for a system that knows FileDispositionInfoEx: records the request and, when it
// accepts, deletes the way Windows 10 1809 does (name gone, read-only attribute no obstacle),
// with the calls Wine has. Other classes go to the real call.
BOOL WINAPI disposition_ex_stand_in(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information, DWORD size)
{
    set_classes.push_back(static_cast<int>(kind));
    if (kind != file_disposition_info_ex)
        return SetFileInformationByHandle(handle, kind, information, size);
    disposition_ex_flags = *static_cast<const DWORD*>(information);
    if (disposition_ex_answer != 0) {
        SetLastError(disposition_ex_answer);
        return FALSE;
    }
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic))
        return FALSE;
    if (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) {
        FILE_BASIC_INFO writable{};
        writable.FileAttributes = (basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY) | FILE_ATTRIBUTE_NORMAL;
        if (!SetFileInformationByHandle(handle, FileBasicInfo, &writable, sizeof writable))
            return FALSE;
    }
    FILE_DISPOSITION_INFO disposition{TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
}

// Windows 10 1809 and later accept FileDispositionInfoEx with POSIX semantics and the read-only flag
// on NTFS (Microsoft's documentation of FILE_DISPOSITION_INFO_EX: the read-only flag from 1809 on).
// Observed: Wine refuses the class with 87 always, so this path runs only here.
TEST_F(win32_calls_test, a_system_with_posix_deletion_deletes_in_one_call)
{
    write_tree(root_, {{"read-only.txt", "r"}, {"empty/", ""}});
    make_read_only(native("read-only.txt"));
    disposition_ex_answer = 0;
    call_override accepting(&table::set_file_information_by_handle, &disposition_ex_stand_in);
    for (const char* rel : {"read-only.txt", "empty"}) {
        SCOPED_TRACE(rel);
        set_classes.clear();
        disposition_ex_flags = 0;
        error_code ec;
        EXPECT_TRUE(fs::remove(native(rel), ec));
        EXPECT_NO_EC(ec);
        // One request, with every flag; no classic deletion after it.
        EXPECT_EQ(set_classes, std::vector<int>{file_disposition_info_ex});
        EXPECT_EQ(disposition_ex_flags, posix_deletion_flags);
    }
    EXPECT_EQ(read_tree(root_), tree{});
}

// Answers that mean "not this way": 87 from Windows 10 before 1809 (1709 to 1803 know the class but
// not the read-only flag, older ones not the class), 1 and 50 from file systems without POSIX
// deletion (FAT32, exFAT, network redirectors). Microsoft's STL falls back on the same answers in
// its filesystem remove. Those fall back to the classic deletion, which needs the read-only
// attribute cleared; any other answer (5: no right to delete) is the removal's failure.
TEST_F(win32_calls_test, a_refused_posix_deletion_falls_back_only_where_the_system_lacks_it)
{
    call_override refusing(&table::set_file_information_by_handle, &disposition_ex_stand_in);
    struct case_ {
        DWORD answer;
        bool removed;
    };
    for (const case_& c :
         {case_{ERROR_INVALID_PARAMETER, true}, case_{ERROR_INVALID_FUNCTION, true}, case_{ERROR_NOT_SUPPORTED, true},
          case_{ERROR_ACCESS_DENIED, false}, case_{ERROR_SHARING_VIOLATION, false}}) {
        SCOPED_TRACE(c.answer);
        write_file(at("read-only.txt"), "r");
        make_read_only(native("read-only.txt"));
        disposition_ex_answer = c.answer;
        set_classes.clear();
        error_code ec;
        EXPECT_EQ(fs::remove(native("read-only.txt"), ec), c.removed);
        if (c.removed) {
            EXPECT_NO_EC(ec);
            // The attribute cleared, then the classic deletion.
            EXPECT_EQ(set_classes, (std::vector<int>{file_disposition_info_ex, FileBasicInfo, FileDispositionInfo}));
            EXPECT_EQ(read_tree(root_), tree{});
        } else {
            EXPECT_EC(ec, system_error(static_cast<int>(c.answer)));
            EXPECT_EQ(set_classes, std::vector<int>{file_disposition_info_ex});
            EXPECT_EQ(read_tree(root_), (tree{{"read-only.txt", "r"}}));
            EXPECT_TRUE(attributes_of(native("read-only.txt")) & FILE_ATTRIBUTE_READONLY);
            ASSERT_TRUE(SetFileAttributesW(native("read-only.txt").c_str(), FILE_ATTRIBUTE_NORMAL));
        }
    }
}

// ---- CopyFile2 -----------------------------------------------------------------------------------

std::vector<DWORD> copy_file2_flags;
int copy_file_ex_calls;
HRESULT copy_file2_answer; // S_OK: copy for real

// Stands in for the CopyFile2 of Windows 8 and later: records the flags and copies with the call
// Wine has, answering as CopyFile2 does, in an HRESULT.
HRESULT WINAPI copy_file2_stand_in(PCWSTR from, PCWSTR to, COPYFILE2_EXTENDED_PARAMETERS* parameters)
{
    copy_file2_flags.push_back(parameters ? parameters->dwCopyFlags : 0);
    if (FAILED(copy_file2_answer))
        return copy_file2_answer;
    const DWORD flags = parameters ? parameters->dwCopyFlags & COPY_FILE_FAIL_IF_EXISTS : 0;
    if (!CopyFileExW(from, to, nullptr, nullptr, nullptr, flags))
        return HRESULT_FROM_WIN32(GetLastError());
    return S_OK;
}

BOOL WINAPI counting_copy_file_ex(LPCWSTR from, LPCWSTR to, LPPROGRESS_ROUTINE progress, LPVOID data, LPBOOL cancel,
                                  DWORD flags)
{
    ++copy_file_ex_calls;
    return CopyFileExW(from, to, progress, data, cancel, flags);
}

// Windows 8 and later export CopyFile2 (Observed: Wine does not, so the entry is empty there). With
// COPY_FILE_FAIL_IF_EXISTS an existing target fails the copy with 80 or 183 in an HRESULT
// (Microsoft's documentation of COPYFILE2_EXTENDED_PARAMETERS names both).
TEST_F(win32_calls_test, copy_file2_copies_where_the_system_has_it_and_keeps_what_stands_at_the_target)
{
    write_tree(root_, {{"from.txt", "new"}, {"kept.txt", "old"}, {"replaced.txt", "old"}});
    copy_file2_answer = S_OK;
    copy_file2_flags.clear();
    copy_file_ex_calls = 0;
    call_override present(&table::copy_file2, &copy_file2_stand_in);
    call_override counted(&table::copy_file_ex, &counting_copy_file_ex);

    error_code ec;
    fs::copy_file(native("from.txt"), native("fresh.txt"), fs::existing_target::keep, ec);
    EXPECT_NO_EC(ec);
    fs::copy_file(native("from.txt"), native("kept.txt"), fs::existing_target::keep, ec);
    EXPECT_TRUE(ec == system_error(ERROR_FILE_EXISTS) || ec == system_error(ERROR_ALREADY_EXISTS)) << describe(ec);
    fs::copy_file(native("from.txt"), native("replaced.txt"), fs::existing_target::replace, ec);
    EXPECT_NO_EC(ec);

    EXPECT_EQ(copy_file2_flags, (std::vector<DWORD>{COPY_FILE_FAIL_IF_EXISTS, COPY_FILE_FAIL_IF_EXISTS, 0}));
    EXPECT_EQ(copy_file_ex_calls, 0) << "CopyFileExW was called although CopyFile2 is there";
    EXPECT_EQ(read_tree(root_),
              (tree{{"from.txt", "new"}, {"fresh.txt", "new"}, {"kept.txt", "old"}, {"replaced.txt", "new"}}));
}

// A failed CopyFile2 reports the Win32 error inside its HRESULT (a sharing violation: a scanner
// holds the source); an HRESULT of another facility is kept whole.
TEST_F(win32_calls_test, a_failed_copy_file2_reports_its_error)
{
    write_tree(root_, {{"from.txt", "new"}});
    call_override present(&table::copy_file2, &copy_file2_stand_in);
    struct case_ {
        HRESULT answer;
        int value;
    };
    for (const case_& c :
         {case_{HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION), ERROR_SHARING_VIOLATION},
          case_{HRESULT_FROM_WIN32(ERROR_DISK_FULL), ERROR_DISK_FULL}, case_{E_FAIL, static_cast<int>(E_FAIL)}}) {
        SCOPED_TRACE(c.value);
        copy_file2_answer = c.answer;
        error_code ec;
        fs::copy_file(native("from.txt"), native("to.txt"), fs::existing_target::keep, ec);
        EXPECT_EC(ec, system_error(c.value));
    }
    EXPECT_EQ(read_tree(root_), (tree{{"from.txt", "new"}}));
}

// ---- a move across volumes that leaves its source -------------------------------------------------

path_string stayed_source;

// Stands in for a move to another volume: without MOVEFILE_COPY_ALLOWED Windows answers 17; with it
// the file is copied and the source deleted, and where the deletion fails (another program holds
// the source without delete sharing) the call still succeeds and leaves the source (Microsoft's
// documentation of MoveFileEx). The stand-in always leaves it.
BOOL WINAPI move_leaving_source(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    if (!(flags & MOVEFILE_COPY_ALLOWED)) {
        SetLastError(ERROR_NOT_SAME_DEVICE);
        return FALSE;
    }
    stayed_source = from;
    return CopyFileExW(from, to, nullptr, nullptr, nullptr,
                       (flags & MOVEFILE_REPLACE_EXISTING) ? 0 : COPY_FILE_FAIL_IF_EXISTS);
}

// The target holds the whole file, so the move is done; the source that the system could not delete
// goes now if it can, and stays (nothing lost) where it still cannot.
TEST_F(win32_calls_test, a_move_across_volumes_that_leaves_its_source_removes_it_afterwards)
{
    write_tree(root_, {{"staged/a.txt", "a"}, {"staged/held.txt", "held"}});
    call_override across(&table::move_file_ex, &move_leaving_source);
    error_code ec;
    fs::rename(native("staged/a.txt"), native("a.txt"), fs::existing_target::keep, ec);
    EXPECT_NO_EC(ec);
    EXPECT_EQ(stayed_source, native("staged/a.txt"));

    HANDLE held = CreateFileW(native("staged/held.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    fs::rename(native("staged/held.txt"), native("held.txt"), fs::existing_target::keep, ec);
    CloseHandle(held);
    EXPECT_NO_EC(ec);
    EXPECT_EQ(read_tree(root_),
              (tree{{"a.txt", "a"}, {"held.txt", "held"}, {"staged/", ""}, {"staged/held.txt", "held"}}));
}

// ---- listings that find nothing ----------------------------------------------------------------

DWORD find_answer;

HANDLE WINAPI find_nothing(LPCWSTR, FINDEX_INFO_LEVELS, LPVOID, FINDEX_SEARCH_OPS, LPVOID, DWORD)
{
    SetLastError(find_answer);
    return INVALID_HANDLE_VALUE;
}

// A volume's root folder has no "." and "..", so an empty volume lists nothing at all and
// FindFirstFileExW answers 2 (a freshly formatted volume mounted without a letter, as in
// microsoft/STL#4291 and rust-lang/rust#120040); every other folder lists "." at least. A folder
// whose access list grants no listing answers 5 (C:\System Volume Information for anyone but the
// system). Only the first is an empty listing.
TEST_F(win32_calls_test, only_a_volume_root_that_finds_nothing_is_empty)
{
    const path_string volume = path_string(root_name(native())) + L"\\";
    const path_string guid_volume = L"\\\\?\\Volume{0b4f2ae1-6d3c-4e8a-9f20-5c1d7e3a8b64}\\";
    call_override nothing(&table::find_first_file_ex, &find_nothing);
    struct case_ {
        path_string dir;
        DWORD answer;
        bool empty; // else the listing fails with the answer
    };
    for (const case_& c :
         {case_{volume, ERROR_FILE_NOT_FOUND, true}, case_{L"\\\\?\\" + volume, ERROR_FILE_NOT_FOUND, true},
          case_{guid_volume, ERROR_FILE_NOT_FOUND, true},
          case_{L"\\\\?\\GLOBALROOT\\Device\\ImDisk0\\", ERROR_FILE_NOT_FOUND, true},
          case_{volume, ERROR_ACCESS_DENIED, false}, case_{guid_volume, ERROR_ACCESS_DENIED, false},
          case_{native("dir"), ERROR_FILE_NOT_FOUND, false}, case_{guid_volume + L"dir", ERROR_FILE_NOT_FOUND, false},
          case_{native("dir"), ERROR_ACCESS_DENIED, false}}) {
        SCOPED_TRACE(U(c.dir) + " " + std::to_string(c.answer));
        find_answer = c.answer;
        error_code ec;
        fs::directory_iteration entries(c.dir, fs::iteration_mode::recursive, ec);
        EXPECT_TRUE(entries.at_end());
        if (c.empty) {
            EXPECT_NO_EC(ec);
        } else {
            EXPECT_EC(ec, system_error(static_cast<int>(c.answer)));
        }
    }
}

// ---- file ids on volumes without FileIdInfo ------------------------------------------------------

DWORD file_id_answer;
int by_handle_calls;

BOOL WINAPI file_id_refused(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information, DWORD size)
{
    if (kind == FileIdInfo) {
        SetLastError(file_id_answer);
        return FALSE;
    }
    return GetFileInformationByHandleEx(handle, kind, information, size);
}

BOOL WINAPI counting_by_handle(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION information)
{
    ++by_handle_calls;
    return GetFileInformationByHandle(handle, information);
}

// FAT32 and exFAT volumes, and some network redirectors, have no FileIdInfo and answer 87 (so
// Microsoft's STL falls back in its equivalent too); the volume serial and file index of
// GetFileInformationByHandle tell files apart there. Any other answer is the query's failure.
TEST_F(win32_calls_test, equivalent_falls_back_to_the_file_index_where_a_volume_has_no_file_id)
{
    write_tree(root_, {{"Dir/File.txt", "one"}, {"Dir/twin.txt", "one"}});
    ASSERT_TRUE(CreateHardLinkW(native("hard-link.txt").c_str(), native("Dir/File.txt").c_str(), nullptr))
        << GetLastError();
    call_override refused(&table::get_file_information_by_handle_ex, &file_id_refused);
    call_override counted(&table::get_file_information_by_handle, &counting_by_handle);
    const path_string file = native("Dir/File.txt");
    struct case_ {
        path_string other;
        bool same;
    };
    for (DWORD answer : {ERROR_INVALID_PARAMETER, ERROR_INVALID_FUNCTION, ERROR_NOT_SUPPORTED}) {
        file_id_answer = answer;
        for (const case_& c : {case_{native("dir/../DIR/file.txt"), true}, case_{native("hard-link.txt"), true},
                               case_{native("Dir/twin.txt"), false}, case_{native("Dir"), false}}) {
            SCOPED_TRACE(std::to_string(answer) + " " + U(c.other));
            by_handle_calls = 0;
            error_code ec;
            EXPECT_EQ(fs::equivalent(file, c.other, ec), c.same);
            EXPECT_NO_EC(ec);
            EXPECT_EQ(by_handle_calls, 2);
        }
    }
    file_id_answer = ERROR_ACCESS_DENIED;
    error_code ec;
    EXPECT_FALSE(fs::equivalent(file, file, ec));
    EXPECT_EC(ec, access_denied_error());
}

// ---- canonical forms on volumes without a drive letter ------------------------------------------

std::vector<DWORD> asked_forms;
DWORD dos_name_answer;  // 0: the real DOS form
DWORD guid_name_answer; // 0: a volume GUID form

// The volume GUID of the stand-in volumes, one per drive letter, and their NT device names.
path_string guid_volume_of(wchar_t drive)
{
    return path_string(L"\\\\?\\Volume{0b4f2ae1-6d3c-4e8a-9f20-5c1d7e3a8b6") + drive + L"}";
}
path_string nt_volume_of(wchar_t drive) { return path_string(L"\\Device\\ImDisk") + drive; }

// Stands in for GetFinalPathNameByHandleW on a volume without a DOS name: 3 or 1 for VOLUME_NAME_DOS
// (a volume mounted without a letter answers 3, python/cpython#6010; a RAM disk or image mount made
// past the mount manager 1, rust-lang/rust#79449), then the GUID form or, where the mount manager
// does not know the volume, 1 again and the NT form (rust-lang/rust#86447). The forms are the real
// DOS form with the drive letter exchanged.
DWORD WINAPI without_dos_name(HANDLE handle, LPWSTR buffer, DWORD size, DWORD flags)
{
    const DWORD form = flags & (VOLUME_NAME_GUID | VOLUME_NAME_NT | VOLUME_NAME_NONE);
    asked_forms.push_back(form);
    const DWORD answer = form == VOLUME_NAME_DOS ? dos_name_answer : form == VOLUME_NAME_GUID ? guid_name_answer : 0;
    if (answer != 0) {
        SetLastError(answer);
        return 0;
    }
    path_string dos(1024, L'\0');
    DWORD length = GetFinalPathNameByHandleW(handle, dos.data(), static_cast<DWORD>(dos.size()),
                                             (flags & ~(VOLUME_NAME_GUID | VOLUME_NAME_NT)) | VOLUME_NAME_DOS);
    if (length == 0 || length >= dos.size())
        return 0;
    dos.resize(length);
    // "\\?\C:\...": the letter is at 4.
    path_string result = dos;
    if (form == VOLUME_NAME_GUID)
        result = guid_volume_of(dos[4]) + dos.substr(6);
    else if (form == VOLUME_NAME_NT)
        result = nt_volume_of(dos[4]) + dos.substr(6);
    if (result.size() + 1 > size)
        return static_cast<DWORD>(result.size() + 1);
    std::copy(result.begin(), result.end(), buffer);
    buffer[result.size()] = L'\0';
    return static_cast<DWORD>(result.size());
}

// A staging folder on such a volume still has a canonical form, one that Win32 opens and in which
// links are resolved, and the relative paths and the staged scan work on it as on a drive letter.
TEST_F(win32_calls_test, a_volume_without_a_drive_letter_is_named_by_its_guid_or_its_nt_name)
{
    write_tree(root_, {{"Sub/File.txt", "x"}, {"Sub/deeper/b.txt", "b"}});
    error_code ec;
    const path_string dos_root = fs::weakly_canonical(native(), ec);
    ASSERT_NO_EC(ec);
    ASSERT_EQ(root_name(dos_root).size(), 2u) << U(dos_root);
    const path_string rest = dos_root.substr(2);
    call_override letterless(&table::get_final_path_name_by_handle, &without_dos_name);
    struct case_ {
        DWORD dos_answer;
        DWORD guid_answer;
        path_string root;
        std::vector<DWORD> forms;
    };
    for (const case_& c :
         {case_{ERROR_PATH_NOT_FOUND, 0, guid_volume_of(dos_root[0]) + rest, {VOLUME_NAME_DOS, VOLUME_NAME_GUID}},
          case_{ERROR_INVALID_FUNCTION, 0, guid_volume_of(dos_root[0]) + rest, {VOLUME_NAME_DOS, VOLUME_NAME_GUID}},
          case_{ERROR_INVALID_FUNCTION,
                ERROR_INVALID_FUNCTION,
                L"\\\\?\\GLOBALROOT" + nt_volume_of(dos_root[0]) + rest,
                {VOLUME_NAME_DOS, VOLUME_NAME_GUID, VOLUME_NAME_NT}}}) {
        SCOPED_TRACE(U(c.root));
        dos_name_answer = c.dos_answer;
        guid_name_answer = c.guid_answer;
        asked_forms.clear();
        EXPECT_EQ(fs::weakly_canonical(native("sub/file.txt"), ec), c.root + L"\\Sub\\File.txt");
        EXPECT_NO_EC(ec);
        EXPECT_EQ(asked_forms, c.forms);
        EXPECT_EQ(fs::weakly_canonical(native("SUB/missing/../New/./x"), ec), c.root + L"\\Sub\\New\\x");
        EXPECT_NO_EC(ec);
        EXPECT_EQ(fs::relative(native("SUB/DEEPER/B.TXT"), native("sub"), ec), L"deeper\\b.txt");
        EXPECT_NO_EC(ec);
        EXPECT_EQ(fs::relative(native("sub"), native("Sub/deeper"), ec), L"..");
        EXPECT_NO_EC(ec);
        // The scan resolves the staging folder itself.
        manifest_set staged = scan_staged_tree(native("Sub"), ec);
        EXPECT_NO_EC(ec);
        EXPECT_EQ(staged, (manifest_set{L"File.txt", L"deeper\\b.txt"}));
    }
    // Any other answer is the query's failure: the final path is not guessed.
    dos_name_answer = ERROR_ACCESS_DENIED;
    asked_forms.clear();
    EXPECT_EQ(fs::weakly_canonical(native("sub/file.txt"), ec), L"");
    EXPECT_EC(ec, access_denied_error());
    EXPECT_EQ(asked_forms, std::vector<DWORD>{VOLUME_NAME_DOS});
}

// Two volumes named by their GUIDs: the GUID is part of the volume's name, not a folder that a
// relative path could climb out of.
TEST_F(win32_calls_test, there_is_no_relative_path_between_two_letterless_volumes)
{
    const char* volume = std::getenv("QM_OTHER_VOLUME");
    if (!volume || !*volume)
        GTEST_SKIP() << "QM_OTHER_VOLUME names no folder on another volume";
    const path_string other = P(volume);
    dos_name_answer = ERROR_PATH_NOT_FOUND;
    guid_name_answer = 0;
    call_override letterless(&table::get_final_path_name_by_handle, &without_dos_name);
    error_code ec;
    const path_string canonical_other = fs::weakly_canonical(other, ec);
    ASSERT_NO_EC(ec);
    ASSERT_EQ(canonical_other.rfind(L"\\\\?\\Volume{", 0), 0u) << U(canonical_other);
    EXPECT_EQ(fs::relative(other, native(), ec), L"");
    EXPECT_TRUE(ec);
}

// ---- long paths ----------------------------------------------------------------------------------

// The paths that the backend handed to each Win32 call, after which the real call is made.
std::map<std::string, std::vector<path_string>> handed;
DWORD unc_answer;

HANDLE WINAPI recording_create_file2(LPCWSTR path, DWORD access, DWORD share, DWORD disposition,
                                     LPCREATEFILE2_EXTENDED_PARAMETERS parameters)
{
    handed["CreateFile2"].push_back(path);
    return CreateFile2(path, access, share, disposition, parameters);
}

BOOL WINAPI recording_attributes(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID data)
{
    handed["GetFileAttributesExW"].push_back(path);
    // A share that is not there: the call is answered without asking the network.
    const path_view view = path;
    const bool share =
        view.substr(0, 8) == L"\\\\?\\UNC\\" || (view.substr(0, 2) == L"\\\\" && view.substr(0, 4) != L"\\\\?\\");
    if (share) {
        SetLastError(unc_answer);
        return FALSE;
    }
    return GetFileAttributesExW(path, level, data);
}

BOOL WINAPI recording_move(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    handed["MoveFileExW"].push_back(from);
    handed["MoveFileExW"].push_back(to);
    return MoveFileExW(from, to, flags);
}

BOOL WINAPI recording_copy(LPCWSTR from, LPCWSTR to, LPPROGRESS_ROUTINE progress, LPVOID data, LPBOOL cancel,
                           DWORD flags)
{
    handed["CopyFileExW"].push_back(from);
    handed["CopyFileExW"].push_back(to);
    return CopyFileExW(from, to, progress, data, cancel, flags);
}

HANDLE WINAPI recording_create_file(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                    DWORD disposition, DWORD flags, HANDLE template_file)
{
    handed["CreateFileW"].push_back(path);
    return CreateFileW(path, access, share, security, disposition, flags, template_file);
}

BOOL WINAPI recording_create_directory(LPCWSTR path, LPSECURITY_ATTRIBUTES security)
{
    handed["CreateDirectoryW"].push_back(path);
    return CreateDirectoryW(path, security);
}

HANDLE WINAPI recording_find(LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID data, FINDEX_SEARCH_OPS search,
                             LPVOID filter, DWORD flags)
{
    handed["FindFirstFileExW"].push_back(pattern);
    return FindFirstFileExW(pattern, level, data, search, filter, flags);
}

bool is_prefixed(path_view path) { return path.substr(0, 4) == L"\\\\?\\"; }

// Without LongPathsEnabled (off by default on Windows 10 and 11) Win32 refuses a path of 260
// characters or more, terminator included, with 3 or 206, and CreateDirectoryW one of 248 or more
// (Microsoft's "Maximum Path Length Limitation"); the "\\?\" form passes. Observed: Wine takes long
// paths in either form, so the table shows what Windows would be handed: every path from 248
// characters on in the "\\?\" form, absolute, with "\" only and no "." or ".." left; shorter paths
// as they are.
TEST_F(win32_calls_test, long_paths_reach_win32_in_the_device_form)
{
    std::string rel = "x/../level-of-a-deep-tree-below-the-temporary-folder";
    while (native(rel).size() < 320)
        rel += "/level-of-a-deep-tree-below-the-temporary-folder";
    const path_string deep = native(rel);
    handed.clear();
    call_override created(&table::create_directory, &recording_create_directory);
    call_override opened(&table::create_file2, &recording_create_file2);
    call_override queried(&table::get_file_attributes_ex, &recording_attributes);
    call_override moved(&table::move_file_ex, &recording_move);
    call_override copied(&table::copy_file_ex, &recording_copy);
    call_override listed(&table::find_first_file_ex, &recording_find);
    call_override locked(&table::create_file, &recording_create_file);
    // The copy goes through CopyFileExW, as on a system without CopyFile2.
    call_override no_copy_file2(&table::copy_file2, nullptr);

    error_code ec;
    fs::create_directories(deep, ec);
    ASSERT_NO_EC(ec);
    {
        fs::unique_file out = fs::open_file(join_path(deep, L"file.txt"), "wb", ec);
        ASSERT_NO_EC(ec);
        std::fputs("deep", out.get());
    }
    EXPECT_EQ(fs::status(join_path(deep, L"file.txt"), ec), fs::file_type::regular);
    fs::rename(join_path(deep, L"file.txt"), join_path(deep, L"moved.txt"), fs::existing_target::keep, ec);
    EXPECT_NO_EC(ec);
    fs::copy_file(join_path(deep, L"moved.txt"), join_path(deep, L"copy.txt"), fs::existing_target::keep, ec);
    EXPECT_NO_EC(ec);
    {
        // The installation lock of an application that lies that deep.
        install_lock lock = acquire_install_lock(join_path(deep, L"App.exe"));
        EXPECT_TRUE(lock);
    }
    int files = 0;
    for (fs::directory_iteration it(native(), fs::iteration_mode::recursive, ec); !it.at_end(); it.advance(ec))
        files += it.type() == fs::file_type::regular;
    EXPECT_NO_EC(ec);
    EXPECT_EQ(files, 3); // moved.txt, copy.txt and the lock file
    fs::remove_all(native("level-of-a-deep-tree-below-the-temporary-folder"), ec);
    EXPECT_NO_EC(ec);
    EXPECT_EQ(read_tree(root_), tree{});

    // A share, and a path that is in the device form already.
    unc_answer = ERROR_BAD_NETPATH;
    const path_string share_path = L"\\\\server\\share/" + deep.substr(3);
    EXPECT_EQ(fs::status(share_path, ec), fs::file_type::not_found);
    EXPECT_NO_EC(ec);
    const path_string device_path = L"\\\\?\\" + deep;
    fs::status(device_path, ec);

    path_string canonical_deep = L"\\\\?\\" + native(rel.substr(5));
    std::replace(canonical_deep.begin(), canonical_deep.end(), L'/', L'\\');
    for (const auto& [call, paths] : handed) {
        SCOPED_TRACE(call);
        int long_ones = 0;
        for (const path_string& path : paths) {
            SCOPED_TRACE(U(path));
            if (path == device_path)
                continue;
            if (!is_prefixed(path)) {
                EXPECT_LT(path.size(), 248u);
                continue;
            }
            ++long_ones;
            EXPECT_GE(path.size(), 248u);
            EXPECT_EQ(path.find(L'/'), path_string::npos);
            EXPECT_EQ(path.find(L"\\..\\"), path_string::npos);
            EXPECT_EQ(path.find(L"\\x\\"), path_string::npos);
            if (path.substr(0, 8) == L"\\\\?\\UNC\\") {
                EXPECT_EQ(path.substr(0, 21), L"\\\\?\\UNC\\server\\share\\");
            } else {
                EXPECT_EQ(path.substr(0, 6), L"\\\\?\\" + path_string(root_name(deep)));
            }
        }
        EXPECT_GT(long_ones, 0) << "no long path reached " << call;
    }
    EXPECT_NE(std::find(handed["GetFileAttributesExW"].begin(), handed["GetFileAttributesExW"].end(), device_path),
              handed["GetFileAttributesExW"].end());
    EXPECT_NE(std::find(handed["CreateDirectoryW"].begin(), handed["CreateDirectoryW"].end(), canonical_deep),
              handed["CreateDirectoryW"].end())
        << U(canonical_deep);
    // Short paths reach Win32 as they are.
    handed.clear();
    fs::status(native("short/name"), ec);
    EXPECT_EQ(handed["GetFileAttributesExW"], std::vector<path_string>{native("short/name")});
}

// ---- error texts ---------------------------------------------------------------------------------

std::vector<DWORD> asked_languages;

// Stands in for a system installed in another language without the US English texts: FormatMessageW
// then answers 15100 (no language resource file) or 1815 for US English (Microsoft's documentation
// of FormatMessage: a language that has no text fails with ERROR_RESOURCE_LANG_NOT_FOUND), and has
// a text in the system's default language.
DWORD WINAPI texts_without_us_english(DWORD flags, LPCVOID, DWORD, DWORD language, LPWSTR buffer, DWORD, va_list*)
{
    asked_languages.push_back(language);
    if (language != LANG_SYSTEM_DEFAULT || !(flags & FORMAT_MESSAGE_ALLOCATE_BUFFER)) {
        SetLastError(language == MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US) ? ERROR_MUI_FILE_NOT_FOUND
                                                                              : ERROR_RESOURCE_LANG_NOT_FOUND);
        return 0;
    }
    static constexpr wchar_t text[] = L"Datei nicht gefunden.\r\n";
    auto* copy = static_cast<wchar_t*>(LocalAlloc(LMEM_FIXED, sizeof text));
    if (!copy)
        return 0;
    std::copy(std::begin(text), std::end(text), copy);
    *reinterpret_cast<wchar_t**>(buffer) = copy;
    return static_cast<DWORD>(std::size(text) - 1);
}

TEST(win32_error_texts, fall_back_to_the_systems_default_language_after_us_english)
{
    asked_languages.clear();
    call_override localised(&table::format_message, &texts_without_us_english);
    EXPECT_EQ(system_error(ERROR_FILE_NOT_FOUND).message(), "Datei nicht gefunden.");
    EXPECT_EQ(asked_languages, (std::vector<DWORD>{MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), LANG_SYSTEM_DEFAULT}));
}

} // namespace
} // namespace updater::test
