// Windows backend of the filesystem layer and of the system error category, on the Win32 file API.
// Every path goes to Win32 through win32_path, which gives long ones the "\\?\" form.
#include "updater/fs/fs.h"
#include "updater/fs/win32_path.h"
#include "updater/os_calls/unique_handle.h"

#include "updater/os_calls/win32.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <locale.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

namespace updater {

namespace {

using os_calls::unique_handle;

using os_calls::win32_calls;

struct local_free {
    void operator()(void* memory) const noexcept { LocalFree(memory); }
};

std::string narrow_message(const wchar_t* text, int size)
{
    int length = WideCharToMultiByte(CP_ACP, 0, text, size, nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return {};
    std::string result(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, size, result.data(), length, nullptr, nullptr);
    return result;
}

class system_error_category final : public std::error_category {
public:
    const char* name() const noexcept override { return "system"; }

    std::string message(int value) const override
    {
        // US English where the system has it, so log lines read the same everywhere; then the
        // system's default language (where US English is not installed, it is most often the
        // language the system was installed in); then the user's; then FormatMessageW's own search.
        const DWORD languages[] = {MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), LANG_SYSTEM_DEFAULT, LANG_USER_DEFAULT,
                                   0};
        for (DWORD language : languages) {
            wchar_t* buffer = nullptr;
            DWORD size = win32_calls().format_message(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                                          FORMAT_MESSAGE_IGNORE_INSERTS,
                                                      nullptr, static_cast<DWORD>(value), language,
                                                      reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
            std::unique_ptr<void, local_free> owner(buffer);
            // Observed: Wine's texts, like Windows', end in CR LF.
            while (size > 0 && (buffer[size - 1] == L' ' || buffer[size - 1] == L'\t' || buffer[size - 1] == L'\r' ||
                                buffer[size - 1] == L'\n' || buffer[size - 1] == L'\0'))
                --size;
            if (size == 0)
                continue;
            std::string text = narrow_message(buffer, static_cast<int>(size));
            if (!text.empty())
                return text;
        }
        return "unknown error";
    }

    std::error_condition default_error_condition(int value) const noexcept override
    {
        // A move across volumes: the condition that makes a move fall back to copy and remove.
        if (value == ERROR_NOT_SAME_DEVICE)
            return {generic_cross_device_link, generic_category()};
        return {value, *this};
    }
};

} // namespace

const std::error_category& system_category() noexcept
{
    static const system_error_category category;
    return category;
}

error_code last_system_error() noexcept { return system_error(static_cast<int>(GetLastError())); }

bool is_not_found(const error_code& ec) noexcept
{
    if (ec.category() != system_category())
        return false;
    switch (ec.value()) {
    case ERROR_FILE_NOT_FOUND:  // 2
    case ERROR_PATH_NOT_FOUND:  // 3: a missing parent
    case ERROR_BAD_NETPATH:     // 53: no such network server
    case ERROR_NETNAME_DELETED: // 64: the network name went away
    case ERROR_INVALID_NAME:    // 123: a name no file can have; Observed: Wine also for "file\*"
    case ERROR_BAD_PATHNAME:    // 161
    case ERROR_DIRECTORY:       // 267: a file used as a directory
        return true;
    default:
        return false;
    }
}

namespace {

// Strict conversions: a character the target cannot represent fails instead of becoming "?" or a
// look-alike, which could name another file.
bool wide_from_multibyte(UINT code_page, std::string_view text, std::wstring& out)
{
    out.clear();
    if (text.empty())
        return true;
    if (text.size() > INT_MAX)
        return false;
    int size = static_cast<int>(text.size());
    int length = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (length <= 0)
        return false;
    out.resize(static_cast<std::size_t>(length));
    return MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(), size, out.data(), length) == length;
}

bool multibyte_from_wide(UINT code_page, std::wstring_view text, std::string& out)
{
    out.clear();
    if (text.empty())
        return true;
    if (text.size() > INT_MAX)
        return false;
    int size = static_cast<int>(text.size());
    // UTF-8: a lone surrogate fails (1113) instead of becoming U+FFFD; it takes neither the
    // best-fit flag nor the used-default report.
    const bool utf8 = code_page == CP_UTF8;
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL used_default = FALSE;
    BOOL* report_default = utf8 ? nullptr : &used_default;
    int length = WideCharToMultiByte(code_page, flags, text.data(), size, nullptr, 0, nullptr, report_default);
    if (length <= 0 || used_default)
        return false;
    out.resize(static_cast<std::size_t>(length));
    if (WideCharToMultiByte(code_page, flags, text.data(), size, out.data(), length, nullptr, report_default) !=
            length ||
        used_default)
        return false;
    if (utf8)
        return true;
    // Some code pages map a character without reporting the default character; only text that
    // converts back to itself names the same file.
    std::wstring back;
    return wide_from_multibyte(code_page, out, back) && back == text;
}

// The code page of narrow file names: UTF-8 when the C runtime's locale uses it, else the one the
// file APIs use (ANSI unless a program switched them to OEM).
UINT file_name_code_page()
{
    if (___lc_codepage_func() == CP_UTF8)
        return CP_UTF8;
    // GetACP and GetOEMCP give the number, so a system set to UTF-8 takes the UTF-8 path, where the
    // best-fit flags are not allowed.
    return AreFileApisANSI() ? GetACP() : GetOEMCP();
}

} // namespace

path_string path_from_utf8(std::string_view text)
{
    path_string result;
    if (!wide_from_multibyte(CP_UTF8, text, result))
        result.clear();
    return result;
}

std::string path_to_utf8(path_view path)
{
    std::string result;
    if (!multibyte_from_wide(CP_UTF8, path, result))
        result.clear();
    return result;
}

} // namespace updater

namespace updater::fs {

namespace detail {

namespace {

// Win32 refuses a path from MAX_PATH characters on, terminator included (CreateDirectoryW from 248,
// to leave room for an 8.3 name), unless long paths are enabled on the system (LongPathsEnabled, off
// by default on Windows 10 and 11) or the path has the "\\?\" form, which Win32 passes on without
// parsing it. One limit for every call: from 248 characters on, a path takes that form.
constexpr std::size_t shortest_long_path = MAX_PATH - 12;

// "\\?\", "\\.\" and "\??\": Win32 parses nothing after them, and neither does win32_path.
bool is_device_form(path_view path) noexcept
{
    const path_view root = root_name(path);
    return root.size() == 3 && (root[2] == L'?' || root[2] == L'.');
}

// The absolute, normalised path ("/" turned into "\", "." and ".." resolved, as Win32 would) in the
// "\\?\" form; empty when it cannot be formed, and the call then gets the path as it stands.
path_string long_form(const path_string& path)
{
    path_string full(path.size() + MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            win32_calls().get_full_path_name(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length == 0)
            return {};
        // Too small a buffer gives the size needed, terminator included.
        if (length < full.size()) {
            full.resize(length);
            break;
        }
        full.resize(length);
    }
    if (is_device_form(full))
        return full;
    if (full.size() >= 2 && is_os_separator(full[0]) && is_os_separator(full[1]))
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

} // namespace

win32_path::win32_path(const path_string& path) : path_(path)
{
    if (path.size() >= shortest_long_path && !is_device_form(path))
        long_form_ = long_form(path);
}

} // namespace detail

namespace {

using detail::win32_path;

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The extended deletion of Windows 10, which the headers declare only for targets newer than the
// oldest system this program runs on.
constexpr auto file_disposition_info_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
struct disposition_info_ex {
    DWORD flags;
};
constexpr DWORD disposition_delete = 0x1;
constexpr DWORD disposition_posix_semantics = 0x2;
constexpr DWORD disposition_ignore_read_only = 0x10;

unique_handle open_handle(const path_string& path, DWORD access, DWORD disposition, DWORD flags)
{
    CREATEFILE2_EXTENDED_PARAMETERS parameters{};
    parameters.dwSize = sizeof parameters;
    parameters.dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
    parameters.dwFileFlags = flags;
    // No security attributes: the handle is not inherited by child processes.
    return unique_handle(
        win32_calls().create_file2(win32_path(path).c_str(), access, share_all, disposition, &parameters));
}

// Opens what path resolves to, links and junctions followed, for queries; directories need
// backup semantics to be opened at all.
unique_handle open_for_query(const path_string& path)
{
    return open_handle(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
}

file_type type_from_attributes(DWORD attributes) noexcept
{
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? file_type::directory : file_type::regular;
}

file_type type_from_error(error_code& ec) noexcept
{
    ec = last_system_error();
    if (is_not_found(ec)) {
        ec.clear();
        return file_type::not_found;
    }
    return file_type::none;
}

bool is_directory(const path_string& path)
{
    error_code ignored;
    return status(path, ignored) == file_type::directory;
}

} // namespace

file_type status(const path_string& path, error_code& ec)
{
    ec.clear();
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!win32_calls().get_file_attributes_ex(win32_path(path).c_str(), GetFileExInfoStandard, &data))
        return type_from_error(ec);
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return type_from_attributes(data.dwFileAttributes);
    // A link or junction describes itself; opening it resolves it to its target (a dangling link
    // fails with 2 or 3 here and so counts as not found).
    unique_handle handle = open_for_query(path);
    FILE_BASIC_INFO info;
    if (!handle || !win32_calls().get_file_information_by_handle_ex(handle.get(), FileBasicInfo, &info, sizeof info))
        return type_from_error(ec);
    return type_from_attributes(info.FileAttributes);
}

file_type symlink_status(const path_string& path, error_code& ec)
{
    ec.clear();
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!win32_calls().get_file_attributes_ex(win32_path(path).c_str(), GetFileExInfoStandard, &data))
        return type_from_error(ec);
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return type_from_attributes(data.dwFileAttributes);
    // Only a listing tells the reparse tag: other tags (cloud placeholders, deduplicated files)
    // are ordinary files and directories.
    WIN32_FIND_DATAW found;
    HANDLE find = win32_calls().find_first_file_ex(win32_path(path).c_str(), FindExInfoBasic, &found,
                                                   FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE)
        return type_from_error(ec);
    win32_calls().find_close(find);
    if (found.dwReserved0 == IO_REPARSE_TAG_SYMLINK)
        return file_type::symlink;
    if (found.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT)
        return file_type::junction;
    return type_from_attributes(data.dwFileAttributes);
}

bool remove(const path_string& path, error_code& ec)
{
    ec.clear();
    // The entry itself, never a link's target.
    unique_handle handle = open_handle(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    if (!handle) {
        ec = last_system_error();
        if (is_not_found(ec))
            ec.clear();
        return false;
    }

    // Windows 10 1809 and later: POSIX semantics take the name away at once, even while other
    // handles keep the file open, and the read-only attribute does not stop the deletion.
    disposition_info_ex disposition_ex{disposition_delete | disposition_posix_semantics | disposition_ignore_read_only};
    if (win32_calls().set_file_information_by_handle(handle.get(), file_disposition_info_ex, &disposition_ex,
                                                     sizeof disposition_ex))
        return true;
    DWORD error = GetLastError();
    // Older systems answer 87 (1709 to 1803 know the class but not the read-only flag), and file
    // systems without POSIX deletion 1 or 50. Observed: Wine always answers 87.
    if (error != ERROR_INVALID_PARAMETER && error != ERROR_INVALID_FUNCTION && error != ERROR_NOT_SUPPORTED) {
        ec = system_error(static_cast<int>(error));
        return false;
    }

    // The classic deletion refuses read-only entries (5): clear the attribute first, and put it back
    // if the deletion still fails.
    FILE_BASIC_INFO basic{};
    if (!win32_calls().get_file_information_by_handle_ex(handle.get(), FileBasicInfo, &basic, sizeof basic)) {
        ec = last_system_error();
        return false;
    }
    bool read_only = basic.FileAttributes & FILE_ATTRIBUTE_READONLY;
    if (read_only) {
        FILE_BASIC_INFO writable{};
        DWORD others = basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY;
        // Zero attributes would mean "unchanged"; NORMAL stands for none.
        writable.FileAttributes = others ? others : FILE_ATTRIBUTE_NORMAL;
        if (!win32_calls().set_file_information_by_handle(handle.get(), FileBasicInfo, &writable, sizeof writable)) {
            ec = last_system_error();
            return false;
        }
    }
    FILE_DISPOSITION_INFO disposition{TRUE};
    if (win32_calls().set_file_information_by_handle(handle.get(), FileDispositionInfo, &disposition,
                                                     sizeof disposition))
        return true;
    ec = last_system_error();
    if (read_only) {
        FILE_BASIC_INFO restore{};
        restore.FileAttributes = basic.FileAttributes;
        win32_calls().set_file_information_by_handle(handle.get(), FileBasicInfo, &restore, sizeof restore);
    }
    return false;
}

namespace {

// Removes what dir holds, deepest first. One level is listed before anything in it is deleted, so
// the listing never runs over entries that are going away.
void remove_contents(const path_string& dir, error_code& ec)
{
    std::vector<std::pair<path_string, file_type>> entries;
    {
        detail::unique_dir_stream stream = detail::open_dir_stream(dir, ec);
        if (ec)
            return;
        path_string name;
        file_type type;
        while (detail::read_dir_stream(*stream, name, type, ec))
            entries.emplace_back(join_path(dir, name), type);
        if (ec)
            return;
    }
    for (const auto& [path, type] : entries) {
        // Links and junctions are entries of their own: removed, never followed.
        if (type == file_type::directory)
            detail::remove_tree(path, ec);
        else
            remove(path, ec);
        if (ec)
            return;
    }
}

} // namespace

namespace detail {

bool is_not_empty(const error_code& ec) noexcept { return ec == system_error(ERROR_DIR_NOT_EMPTY); }

bool is_retried_by_remove_all(const error_code& ec) noexcept
{
    // 145: a deletion still pending (another process holds a handle without POSIX semantics) keeps
    // the directory non-empty for a moment; 5: an entry that is just being deleted refuses access.
    return ec == system_error(ERROR_DIR_NOT_EMPTY) || ec == system_error(ERROR_ACCESS_DENIED);
}

void remove_tree(const path_string& dir, error_code& ec)
{
    remove_contents(dir, ec);
    if (!ec)
        remove(dir, ec);
}

} // namespace detail

void rename(const path_string& from, const path_string& to, existing_target target, error_code& ec)
{
    ec.clear();
    // Without MOVEFILE_REPLACE_EXISTING anything at to fails the move with 183.
    const DWORD replace = target == existing_target::replace ? MOVEFILE_REPLACE_EXISTING : 0;
    // First without MOVEFILE_COPY_ALLOWED, so that a move across volumes is told apart: a file
    // then goes again with copying allowed, a directory is refused with 17. With the flag, a
    // directory move across volumes would try to copy the directory as a file and fail with 5
    // (Observed: Wine).
    if (win32_calls().move_file_ex(win32_path(from).c_str(), win32_path(to).c_str(), replace))
        return;
    DWORD error = GetLastError();
    if (error == ERROR_NOT_SAME_DEVICE) {
        WIN32_FILE_ATTRIBUTE_DATA source;
        if (win32_calls().get_file_attributes_ex(win32_path(from).c_str(), GetFileExInfoStandard, &source) &&
            !(source.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            if (win32_calls().move_file_ex(win32_path(from).c_str(), win32_path(to).c_str(),
                                           replace | MOVEFILE_COPY_ALLOWED)) {
                // The move copied and then deleted the source; where the deletion failed (another
                // program holds the source without delete sharing) Windows still reports success and
                // leaves the source standing. The copy at to is whole, so the move is done; the
                // source goes now if it can, and a source that stays loses nothing.
                error_code ignored;
                remove(from, ignored);
                return;
            }
            error = GetLastError();
        }
    }
    ec = system_error(static_cast<int>(error));
}

namespace {

error_code error_from_hresult(HRESULT result) noexcept
{
    if (HRESULT_FACILITY(result) == FACILITY_WIN32)
        return system_error(HRESULT_CODE(result));
    return system_error(static_cast<int>(result));
}

} // namespace

void copy_file(const path_string& from, const path_string& to, existing_target target, error_code& ec)
{
    ec.clear();
    // Both calls keep attributes and the last-write time; with COPY_FILE_FAIL_IF_EXISTS anything at
    // to fails the copy with 80.
    const DWORD flags = target == existing_target::keep ? COPY_FILE_FAIL_IF_EXISTS : 0;
    if (auto copy_file2 = win32_calls().copy_file2) {
        COPYFILE2_EXTENDED_PARAMETERS parameters{};
        parameters.dwSize = sizeof parameters;
        parameters.dwCopyFlags = flags;
        HRESULT result = copy_file2(win32_path(from).c_str(), win32_path(to).c_str(), &parameters);
        if (FAILED(result))
            ec = error_from_hresult(result);
        return;
    }
    if (!win32_calls().copy_file_ex(win32_path(from).c_str(), win32_path(to).c_str(), nullptr, nullptr, nullptr,
                                    flags)) {
        ec = last_system_error();
        return;
    }
    // CopyFileExW is documented to give the target the source's attributes. Observed: Wine's
    // leaves a file it replaces its old ones, so they are set here.
    WIN32_FILE_ATTRIBUTE_DATA source;
    unique_handle copy = open_handle(to, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, OPEN_EXISTING, 0);
    FILE_BASIC_INFO basic{};
    if (!win32_calls().get_file_attributes_ex(win32_path(from).c_str(), GetFileExInfoStandard, &source) || !copy ||
        !win32_calls().get_file_information_by_handle_ex(copy.get(), FileBasicInfo, &basic, sizeof basic)) {
        ec = last_system_error();
        return;
    }
    if (basic.FileAttributes == source.dwFileAttributes)
        return;
    FILE_BASIC_INFO attributes{}; // zero times: left as they are
    attributes.FileAttributes = source.dwFileAttributes;
    if (!win32_calls().set_file_information_by_handle(copy.get(), FileBasicInfo, &attributes, sizeof attributes))
        ec = last_system_error();
}

namespace {

// Answers of a query whose information class the volume does not have: 87 (FAT32, exFAT and some
// network redirectors for FileIdInfo), 1 and 50 (file systems that implement no such query).
bool is_unsupported_class(DWORD error) noexcept
{
    return error == ERROR_INVALID_PARAMETER || error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED;
}

} // namespace

bool equivalent(const path_string& a, const path_string& b, error_code& ec)
{
    ec.clear();
    unique_handle handles[2];
    const path_string* paths[2] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
        handles[i] = open_for_query(*paths[i]);
        if (!handles[i]) {
            ec = last_system_error();
            return false;
        }
    }
    // FileIdInfo gives ReFS's 128-bit ids; where a volume lacks the class, the 32-bit volume serial
    // and 64-bit file index describe a file as well, on both handles alike so that they compare.
    FILE_ID_INFO ids[2];
    bool full_ids = true;
    for (int i = 0; i < 2 && full_ids; ++i) {
        if (win32_calls().get_file_information_by_handle_ex(handles[i].get(), FileIdInfo, &ids[i], sizeof ids[i]))
            continue;
        const DWORD error = GetLastError();
        if (!is_unsupported_class(error)) {
            ec = system_error(static_cast<int>(error));
            return false;
        }
        full_ids = false;
    }
    if (!full_ids) {
        for (int i = 0; i < 2; ++i) {
            BY_HANDLE_FILE_INFORMATION info;
            if (!win32_calls().get_file_information_by_handle(handles[i].get(), &info)) {
                ec = last_system_error();
                return false;
            }
            ids[i] = FILE_ID_INFO{};
            ids[i].VolumeSerialNumber = info.dwVolumeSerialNumber;
            const ULONGLONG index = (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
            std::memcpy(ids[i].FileId.Identifier, &index, sizeof index);
        }
    }
    return ids[0].VolumeSerialNumber == ids[1].VolumeSerialNumber &&
           std::memcmp(&ids[0].FileId, &ids[1].FileId, sizeof ids[0].FileId) == 0;
}

namespace {

bool equals_ignoring_case(path_view a, path_view b) noexcept
{
    const auto upper = [](wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](wchar_t x, wchar_t y) { return upper(x) == upper(y); });
}

// The element of path that begins at or after i (separators skipped); i moves past it.
path_view next_element(path_view path, std::size_t& i) noexcept
{
    while (i < path.size() && is_os_separator(path[i]))
        ++i;
    const std::size_t start = i;
    while (i < path.size() && !is_os_separator(path[i]))
        ++i;
    return path.substr(start, i - start);
}

// How much of path names its volume: the root name ("C:", "\\server"), and behind a device prefix
// ("\\?\", "\\.\") the elements that name the volume there: "C:", "Volume{...}",
// "GLOBALROOT\Device\<name>" or "UNC\<server>\<share>".
std::size_t volume_name_size(path_view path) noexcept
{
    const path_view root = root_name(path);
    if (root.size() != 3 || (root[2] != L'?' && root[2] != L'.'))
        return root.size();
    std::size_t i = root.size();
    const path_view first = next_element(path, i);
    std::size_t elements = 0;
    if ((first.size() == 2 && first[1] == L':') ||
        (first.size() > 7 && equals_ignoring_case(first.substr(0, 7), L"Volume{") && first.back() == L'}'))
        elements = 1;
    else if (equals_ignoring_case(first, L"GLOBALROOT") || equals_ignoring_case(first, L"UNC"))
        elements = 3;
    else
        return root.size();
    i = root.size();
    for (std::size_t k = 0; k < elements; ++k)
        next_element(path, i);
    return i;
}

// Whether dir names the root folder of a volume with a drive letter or a device name: "C:\",
// "\\?\C:\", "\\?\Volume{...}\" or "\\?\GLOBALROOT\Device\<name>\" (a share's root is a folder
// of its server's volume).
bool is_volume_root(path_view dir) noexcept
{
    const std::size_t size = volume_name_size(dir);
    std::size_t i = root_name(dir).size();
    if (size > i && equals_ignoring_case(next_element(dir, i), L"UNC"))
        return false;
    if (size == root_name(dir).size() && size > 2)
        return false; // "\\server\share"
    i = size;
    return next_element(dir, i).empty();
}

} // namespace

namespace detail {

error_code create_level(const path_string& level)
{
    if (win32_calls().create_directory(win32_path(level).c_str(), nullptr))
        return {};
    error_code ec = last_system_error();
    // An existing level is fine when it is a directory; 183 stays for one that is not.
    if (ec == system_error(ERROR_ALREADY_EXISTS) && is_directory(level))
        return {};
    return ec;
}

error_code path_not_found_error() noexcept { return system_error(ERROR_PATH_NOT_FOUND); }

} // namespace detail

namespace {

bool starts_with(path_view text, path_view prefix) noexcept { return text.substr(0, prefix.size()) == prefix; }

// The final path of an open handle in one form of its volume's name, as the call gives it.
path_string final_path_as(HANDLE handle, DWORD volume_form, error_code& ec)
{
    ec.clear();
    path_string result(MAX_PATH, L'\0');
    for (;;) {
        DWORD length =
            win32_calls().get_final_path_name_by_handle(handle, result.data(), static_cast<DWORD>(result.size()),
                                                        FILE_NAME_NORMALIZED | volume_form);
        if (length == 0) {
            ec = last_system_error();
            return {};
        }
        // Too small a buffer gives the size needed, terminator included.
        if (length < result.size()) {
            result.resize(length);
            return result;
        }
        result.resize(length);
    }
}

// The final path of an open handle, links resolved, in a form that Win32 opens. Where the volume
// has a drive letter, or is a share, "C:\..." or "\\server\share\..." ("\\?\" taken off so
// that it reads as an ordinary path). A volume without a DOS name (mounted in a folder only, or a RAM
// disk or image mount made past the mount manager) answers 3 or 1 for that form (python/cpython#6010,
// rust-lang/rust#79449 and #48249): then "\\?\Volume{...}\...", and where the mount manager does not
// know the volume either, its NT name under "\\?\GLOBALROOT".
path_string final_path_of(HANDLE handle, error_code& ec)
{
    const auto without_dos_name = [&] {
        return ec == system_error(ERROR_PATH_NOT_FOUND) || ec == system_error(ERROR_INVALID_FUNCTION);
    };
    path_string result = final_path_as(handle, VOLUME_NAME_DOS, ec);
    if (!ec) {
        constexpr std::wstring_view unc_prefix = L"\\\\?\\UNC\\";
        constexpr std::wstring_view local_prefix = L"\\\\?\\";
        if (starts_with(result, unc_prefix))
            result.replace(0, unc_prefix.size(), L"\\\\");
        else if (starts_with(result, local_prefix) &&
                 root_name(path_view(result).substr(local_prefix.size())).size() == 2)
            result.erase(0, local_prefix.size());
        return result;
    }
    if (!without_dos_name())
        return {};
    result = final_path_as(handle, VOLUME_NAME_GUID, ec);
    if (!ec || !without_dos_name())
        return result;
    result = final_path_as(handle, VOLUME_NAME_NT, ec);
    if (ec)
        return {};
    // "\Device\HarddiskVolume3\...": the NT name, which Win32 reaches through GLOBALROOT.
    return L"\\\\?\\GLOBALROOT" + result;
}

bool is_dot(path_view element) noexcept { return element.size() == 1 && element[0] == L'.'; }
bool is_dot_dot(path_view element) noexcept { return element.size() == 2 && element[0] == L'.' && element[1] == L'.'; }

} // namespace

namespace detail {

path_string final_path(const path_string& path, error_code& ec)
{
    ec.clear();
    unique_handle handle = open_for_query(path);
    if (!handle) {
        ec = last_system_error();
        return {};
    }
    return final_path_of(handle.get(), ec);
}

bool is_resolved_in_part(const error_code& ec) noexcept
{
    // Observed: Wine cannot name a file whose path is longer than MAX_PATH and answers 234 whatever
    // the buffer (Windows gives the size it needs). Such a path is resolved as far as it can be
    // named; the rest follows as written.
    return is_not_found(ec) || ec == system_error(ERROR_MORE_DATA);
}

bool same_volume(path_view a, path_view b) noexcept
{
    // Behind a device prefix the volume's name is made of elements that lexically_relative would
    // take for folders.
    return equals_ignoring_case(a.substr(0, volume_name_size(a)), b.substr(0, volume_name_size(b)));
}

} // namespace detail

unique_file open_file(const path_string& path, const char* mode, error_code& ec)
{
    ec.clear();
    DWORD access = 0;
    DWORD disposition = 0;
    int flags = 0;
    switch (mode[0]) {
    case 'r':
        access = GENERIC_READ;
        disposition = OPEN_EXISTING;
        break;
    case 'w':
        access = GENERIC_WRITE;
        disposition = CREATE_ALWAYS;
        break;
    case 'a':
        // Append access without write access: every write lands at the end, in one step, however
        // many processes append at once. The C runtime's own append seeks to the end and then
        // writes, and two helpers appending to the log together lost a line that way.
        access = FILE_GENERIC_WRITE & ~FILE_WRITE_DATA;
        disposition = OPEN_ALWAYS;
        flags = _O_APPEND;
        break;
    default:
        ec = generic_error(generic_invalid_argument);
        return nullptr;
    }
    // Text mode unless "b": the C runtime writes LF as CR LF and stops reading at Ctrl-Z.
    flags |= _O_TEXT;
    for (const char* c = mode + 1; *c; ++c) {
        if (*c == '+') {
            access = GENERIC_READ | (mode[0] == 'a' ? FILE_GENERIC_WRITE & ~FILE_WRITE_DATA : GENERIC_WRITE);
        } else if (*c == 'b') {
            flags = (flags & ~_O_TEXT) | _O_BINARY;
        } else if (*c != 't') {
            ec = generic_error(generic_invalid_argument);
            return nullptr;
        }
    }

    // CreateFile2 rather than the C runtime's own open, so that sharing is not restricted and the
    // error is the OS's own number.
    unique_handle handle = open_handle(path, access, disposition, 0);
    if (!handle) {
        ec = last_system_error();
        return nullptr;
    }
    int fd = win32_calls().open_osfhandle(reinterpret_cast<intptr_t>(handle.get()), flags);
    if (fd == -1) {
        ec = generic_error(errno);
        return nullptr;
    }
    handle.release();
    unique_file file(win32_calls().fdopen(fd, mode));
    if (!file) {
        ec = generic_error(errno);
        win32_calls().close(fd);
    }
    return file;
}

bool to_narrow(path_view path, std::string& out) { return multibyte_from_wide(file_name_code_page(), path, out); }

bool from_narrow(std::string_view text, path_string& out)
{
    return wide_from_multibyte(file_name_code_page(), text, out);
}

namespace {

} // namespace

namespace detail {

struct dir_stream {
    HANDLE find = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW data;
    bool pending = false; // data holds an entry that read_dir_stream has not given out yet
};

void dir_stream_closer::operator()(dir_stream* stream) const noexcept
{
    if (stream->find != INVALID_HANDLE_VALUE)
        win32_calls().find_close(stream->find);
    delete stream;
}

unique_dir_stream open_dir_stream(const path_string& dir, error_code& ec)
{
    ec.clear();
    unique_dir_stream stream(new dir_stream);
    path_string pattern = join_path(dir, L"*");
    // Basic information skips the 8.3 names; large fetches read bigger batches per call.
    stream->find = win32_calls().find_first_file_ex(win32_path(pattern).c_str(), FindExInfoBasic, &stream->data,
                                                    FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (stream->find == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        // Nothing matched at all: an empty volume root, the one directory without "." and "..".
        // Any other directory lists "." at least, so there 2 is a failure, never an empty listing
        // (which would let a scan or a leftover check miss what the directory holds). A missing
        // directory gives 3, and a file 267 (Observed: Wine, 123).
        if (error == ERROR_FILE_NOT_FOUND && is_volume_root(dir))
            return stream;
        ec = system_error(static_cast<int>(error));
        return nullptr;
    }
    stream->pending = true;
    return stream;
}

bool read_dir_stream(dir_stream& stream, path_string& name, file_type& type, error_code& ec)
{
    ec.clear();
    if (stream.find == INVALID_HANDLE_VALUE)
        return false;
    for (;;) {
        if (!stream.pending && !win32_calls().find_next_file(stream.find, &stream.data)) {
            DWORD error = GetLastError();
            if (error != ERROR_NO_MORE_FILES)
                ec = system_error(static_cast<int>(error));
            return false;
        }
        stream.pending = false;
        path_view found = stream.data.cFileName;
        if (is_dot(found) || is_dot_dot(found))
            continue;
        name.assign(found);
        DWORD attributes = stream.data.dwFileAttributes;
        type = type_from_attributes(attributes);
        // The reparse tag is in dwReserved0 when the reparse point attribute is set. Other tags
        // (cloud placeholders, deduplicated files) are ordinary files and directories.
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            if (stream.data.dwReserved0 == IO_REPARSE_TAG_SYMLINK)
                type = file_type::symlink;
            else if (stream.data.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT)
                type = file_type::junction;
        }
        return true;
    }
}

} // namespace detail

} // namespace updater::fs
