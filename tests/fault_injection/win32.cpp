// Fault injection for the Windows helper, linked into the test-only build of it
// (quillmoor-updater-faults.exe) and never into the shipped one. At start-up it wraps every entry of
// the backends' call table but FormatMessageW (an error text decides nothing about a file); QM_FAULTS
// says what the wrappers do, items separated by ";":
//
//   record=<file>              every call, one line each, appended to <file> as it happens
//   fail=<call>#<k>:<error>    call k of <call> fails with the Windows error <error>
//   fail=<call>#<k>:<error>+   ... and every later call of <call> too
//   fail=<call>#<k>:<error>*<n> ... and the n - 1 calls of <call> after it
//   kill=<call>#<k>            the process ends before call k of <call> (TerminateProcess, 137)
//
// <call> is the Win32 or C runtime name (MoveFileExW, _open_osfhandle) or "*" for every call of the
// table; k counts from 1 and from the program's start. A C runtime call fails with <error> as its
// errno. Each fault that fires writes an "INJECTED" or "KILLED" line to the record before it acts,
// so a run can show that its fault fired. Calls are recorded after they return, with their result
// ("ok" or "e<GetLastError>") and their first path (a handle's path as it was opened; a message's
// caption and text).
#include "updater/os_calls/win32.h"

#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace updater::os_calls {
namespace {

constexpr UINT killed_exit_code = 137;

struct fault_item {
    std::string call; // a name, or "*"
    long first = 0;
    long count = 1; // calls from first on that fail; 0: all of them
    bool kill = false;
    DWORD error = 0;
};

struct injection_state {
    win32_call_table real{};
    std::vector<fault_item> faults;
    HANDLE record = INVALID_HANDLE_VALUE;
    std::map<std::string, long> counts;
    long all = 0;
    std::map<HANDLE, std::wstring> handle_paths;
    std::map<int, std::wstring> fd_paths;
};

injection_state& state()
{
    static injection_state s;
    return s;
}

std::string utf8(std::wstring_view text)
{
    if (text.empty())
        return {};
    int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

// Written at once with the real WriteFile, so that a process ended right after leaves every line.
// The thread's last error is the caller's and stays as it was.
void write_record(const std::string& line)
{
    injection_state& s = state();
    if (s.record == INVALID_HANDLE_VALUE)
        return;
    const DWORD saved = GetLastError();
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(s.record, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    SetLastError(saved);
}

std::wstring wide(const std::string& text)
{
    if (text.empty())
        return {};
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

std::wstring path_of(HANDLE handle)
{
    auto found = state().handle_paths.find(handle);
    return found == state().handle_paths.end() ? L"?" : found->second;
}

// One call about to be made: counted, and the fault that applies to it, if any, carried out.
// Returns the error to fail it with; a kill does not return.
struct call_site {
    const char* name;
    long k = 0;
    long global = 0;
    std::optional<DWORD> fault;
};

call_site enter(const char* name, const std::wstring& path)
{
    injection_state& s = state();
    call_site site{name, ++s.counts[name], ++s.all, std::nullopt};
    for (const fault_item& f : s.faults) {
        const long k = f.call == "*" ? site.global : f.call == name ? site.k : 0;
        if (k == 0 || k < f.first || (f.count != 0 && k >= f.first + f.count))
            continue;
        const std::string where = std::to_string(site.global) + " " + name + "#" + std::to_string(site.k);
        if (f.kill) {
            write_record("KILLED " + where + " " + utf8(path));
            TerminateProcess(GetCurrentProcess(), killed_exit_code);
        }
        write_record("INJECTED " + where + " e" + std::to_string(f.error) + " " + utf8(path));
        site.fault = f.error;
        break;
    }
    return site;
}

void leave(const call_site& site, bool succeeded, const std::wstring& path)
{
    if (state().record == INVALID_HANDLE_VALUE || site.fault)
        return;
    std::string line = std::to_string(site.global);
    line.append(" ").append(site.name).append("#").append(std::to_string(site.k));
    line.append(succeeded ? " ok " : " e" + std::to_string(GetLastError()) + " ");
    line.append(utf8(path));
    write_record(line);
}

template <class Result> Result failed(const call_site& site, Result value)
{
    SetLastError(*site.fault);
    return value;
}

std::wstring two_paths(LPCWSTR from, LPCWSTR to) { return std::wstring(from ? from : L"") + L" -> " + (to ? to : L""); }

// ---- the wrappers --------------------------------------------------------------------------------

HANDLE WINAPI create_file2(LPCWSTR path, DWORD access, DWORD share, DWORD disposition,
                           LPCREATEFILE2_EXTENDED_PARAMETERS parameters)
{
    const call_site site = enter("CreateFile2", path);
    if (site.fault)
        return failed(site, INVALID_HANDLE_VALUE);
    HANDLE handle = state().real.create_file2(path, access, share, disposition, parameters);
    if (handle != INVALID_HANDLE_VALUE)
        state().handle_paths[handle] = path;
    leave(site, handle != INVALID_HANDLE_VALUE, path);
    return handle;
}

HANDLE WINAPI create_file(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                          DWORD flags, HANDLE template_file)
{
    const call_site site = enter("CreateFileW", path);
    if (site.fault)
        return failed(site, INVALID_HANDLE_VALUE);
    HANDLE handle = state().real.create_file(path, access, share, security, disposition, flags, template_file);
    if (handle != INVALID_HANDLE_VALUE)
        state().handle_paths[handle] = path;
    leave(site, handle != INVALID_HANDLE_VALUE, path);
    return handle;
}

// A close that fails still closes: Windows frees a valid handle whatever CloseHandle answers.
BOOL WINAPI close_handle(HANDLE handle)
{
    const std::wstring path = path_of(handle);
    const call_site site = enter("CloseHandle", path);
    BOOL closed = state().real.close_handle(handle);
    state().handle_paths.erase(handle);
    if (site.fault)
        return failed(site, FALSE);
    leave(site, closed, path);
    return closed;
}

BOOL WINAPI get_file_attributes_ex(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID information)
{
    const call_site site = enter("GetFileAttributesExW", path);
    if (site.fault)
        return failed(site, FALSE);
    BOOL done = state().real.get_file_attributes_ex(path, level, information);
    leave(site, done, path);
    return done;
}

BOOL WINAPI get_file_information_by_handle_ex(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information,
                                              DWORD size)
{
    const std::wstring path = path_of(handle) + L" class " + std::to_wstring(static_cast<int>(kind));
    const call_site site = enter("GetFileInformationByHandleEx", path);
    if (site.fault)
        return failed(site, FALSE);
    BOOL done = state().real.get_file_information_by_handle_ex(handle, kind, information, size);
    leave(site, done, path);
    return done;
}

BOOL WINAPI get_file_information_by_handle(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION information)
{
    const std::wstring path = path_of(handle);
    const call_site site = enter("GetFileInformationByHandle", path);
    if (site.fault)
        return failed(site, FALSE);
    BOOL done = state().real.get_file_information_by_handle(handle, information);
    leave(site, done, path);
    return done;
}

BOOL WINAPI set_file_information_by_handle(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information,
                                           DWORD size)
{
    const std::wstring path = path_of(handle) + L" class " + std::to_wstring(static_cast<int>(kind));
    const call_site site = enter("SetFileInformationByHandle", path);
    if (site.fault)
        return failed(site, FALSE);
    BOOL done = state().real.set_file_information_by_handle(handle, kind, information, size);
    leave(site, done, path);
    return done;
}

BOOL WINAPI move_file_ex(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    const std::wstring paths = two_paths(from, to);
    const call_site site = enter("MoveFileExW", paths);
    if (site.fault)
        return failed(site, FALSE);
    BOOL done = state().real.move_file_ex(from, to, flags);
    leave(site, done, paths);
    return done;
}

HRESULT WINAPI copy_file2(PCWSTR from, PCWSTR to, COPYFILE2_EXTENDED_PARAMETERS* parameters)
{
    const std::wstring paths = two_paths(from, to);
    const call_site site = enter("CopyFile2", paths);
    if (site.fault)
        return failed(site, HRESULT_FROM_WIN32(*site.fault));
    HRESULT result = state().real.copy_file2(from, to, parameters);
    if (FAILED(result))
        SetLastError(HRESULT_CODE(result));
    leave(site, SUCCEEDED(result), paths);
    return result;
}

BOOL WINAPI copy_file_ex(LPCWSTR from, LPCWSTR to, LPPROGRESS_ROUTINE progress, LPVOID data, LPBOOL cancel, DWORD flags)
{
    const std::wstring paths = two_paths(from, to);
    const call_site site = enter("CopyFileExW", paths);
    if (site.fault)
        return failed(site, FALSE);
    BOOL done = state().real.copy_file_ex(from, to, progress, data, cancel, flags);
    leave(site, done, paths);
    return done;
}

BOOL WINAPI create_directory(LPCWSTR path, LPSECURITY_ATTRIBUTES security)
{
    const call_site site = enter("CreateDirectoryW", path);
    if (site.fault)
        return failed(site, FALSE);
    BOOL done = state().real.create_directory(path, security);
    leave(site, done, path);
    return done;
}

DWORD WINAPI get_final_path_name_by_handle(HANDLE handle, LPWSTR buffer, DWORD size, DWORD flags)
{
    const std::wstring path = path_of(handle);
    const call_site site = enter("GetFinalPathNameByHandleW", path);
    if (site.fault)
        return failed(site, DWORD{0});
    DWORD length = state().real.get_final_path_name_by_handle(handle, buffer, size, flags);
    leave(site, length != 0, path);
    return length;
}

HANDLE WINAPI find_first_file_ex(LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID data, FINDEX_SEARCH_OPS search,
                                 LPVOID filter, DWORD flags)
{
    const call_site site = enter("FindFirstFileExW", pattern);
    if (site.fault)
        return failed(site, INVALID_HANDLE_VALUE);
    HANDLE find = state().real.find_first_file_ex(pattern, level, data, search, filter, flags);
    if (find != INVALID_HANDLE_VALUE)
        state().handle_paths[find] = pattern;
    leave(site, find != INVALID_HANDLE_VALUE, pattern);
    return find;
}

BOOL WINAPI find_next_file(HANDLE find, LPWIN32_FIND_DATAW data)
{
    const std::wstring path = path_of(find);
    const call_site site = enter("FindNextFileW", path);
    if (site.fault)
        return failed(site, FALSE);
    BOOL found = state().real.find_next_file(find, data);
    leave(site, found, path);
    return found;
}

BOOL WINAPI find_close(HANDLE find)
{
    const std::wstring path = path_of(find);
    const call_site site = enter("FindClose", path);
    BOOL closed = state().real.find_close(find);
    state().handle_paths.erase(find);
    if (site.fault)
        return failed(site, FALSE);
    leave(site, closed, path);
    return closed;
}

DWORD WINAPI get_full_path_name(LPCWSTR path, DWORD size, LPWSTR buffer, LPWSTR* file_part)
{
    const call_site site = enter("GetFullPathNameW", path);
    if (site.fault)
        return failed(site, DWORD{0});
    DWORD length = state().real.get_full_path_name(path, size, buffer, file_part);
    leave(site, length != 0, path);
    return length;
}

int __cdecl crt_open_osfhandle(intptr_t handle, int flags)
{
    const std::wstring path = path_of(reinterpret_cast<HANDLE>(handle));
    const call_site site = enter("_open_osfhandle", path);
    if (site.fault) {
        errno = static_cast<int>(*site.fault);
        return -1;
    }
    int fd = state().real.open_osfhandle(handle, flags);
    if (fd != -1)
        state().fd_paths[fd] = path;
    leave(site, fd != -1, path);
    return fd;
}

FILE* __cdecl crt_fdopen(int fd, const char* mode)
{
    auto found = state().fd_paths.find(fd);
    const std::wstring path = found == state().fd_paths.end() ? L"?" : found->second;
    const call_site site = enter("_fdopen", path);
    if (site.fault) {
        errno = static_cast<int>(*site.fault);
        return nullptr;
    }
    FILE* file = state().real.fdopen(fd, mode);
    leave(site, file != nullptr, path);
    return file;
}

int __cdecl crt_close(int fd)
{
    auto found = state().fd_paths.find(fd);
    const std::wstring path = found == state().fd_paths.end() ? L"?" : found->second;
    const call_site site = enter("_close", path);
    int result = state().real.close(fd);
    state().fd_paths.erase(fd);
    if (site.fault) {
        errno = static_cast<int>(*site.fault);
        return -1;
    }
    leave(site, result == 0, path);
    return result;
}

LPWSTR WINAPI get_command_line()
{
    const call_site site = enter("GetCommandLineW", L"");
    LPWSTR line = state().real.get_command_line();
    leave(site, true, line);
    return line;
}

LPWSTR* WINAPI command_line_to_argv(LPCWSTR line, int* count)
{
    const call_site site = enter("CommandLineToArgvW", line);
    if (site.fault)
        return failed(site, static_cast<LPWSTR*>(nullptr));
    LPWSTR* split = state().real.command_line_to_argv(line, count);
    leave(site, split != nullptr, line);
    return split;
}

HANDLE WINAPI open_process(DWORD access, BOOL inherit, DWORD id)
{
    const std::wstring what = L"process " + std::to_wstring(id);
    const call_site site = enter("OpenProcess", what);
    if (site.fault)
        return failed(site, static_cast<HANDLE>(nullptr));
    HANDLE process = state().real.open_process(access, inherit, id);
    if (process)
        state().handle_paths[process] = what;
    leave(site, process != nullptr, what);
    return process;
}

DWORD WINAPI wait_for_single_object(HANDLE handle, DWORD milliseconds)
{
    const std::wstring what = path_of(handle);
    const call_site site = enter("WaitForSingleObject", what);
    if (site.fault)
        return failed(site, WAIT_FAILED);
    DWORD result = state().real.wait_for_single_object(handle, milliseconds);
    leave(site, result != WAIT_FAILED, what);
    return result;
}

BOOL WINAPI create_process(LPCWSTR application, LPWSTR command_line, LPSECURITY_ATTRIBUTES process_security,
                           LPSECURITY_ATTRIBUTES thread_security, BOOL inherit, DWORD flags, LPVOID environment,
                           LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION started)
{
    const std::wstring path = application ? application : L"";
    const call_site site = enter("CreateProcessW", path);
    if (site.fault)
        return failed(site, FALSE);
    BOOL done = state().real.create_process(application, command_line, process_security, thread_security, inherit,
                                            flags, environment, directory, startup, started);
    leave(site, done, path);
    return done;
}

// The message as "caption: text", the form the sweeps compare; the box is shown as it would be.
int WINAPI message_box(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type)
{
    const std::wstring shown = std::wstring(caption ? caption : L"") + L": " + (text ? text : L"");
    const call_site site = enter("MessageBoxW", shown);
    if (site.fault)
        return failed(site, 0);
    int answer = state().real.message_box(owner, text, caption, type);
    leave(site, true, shown);
    return answer;
}

// ---- start-up -------------------------------------------------------------------------------------

std::wstring variable(const wchar_t* name)
{
    DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0)
        return {};
    std::wstring value(size, L'\0');
    value.resize(GetEnvironmentVariableW(name, value.data(), size));
    return value;
}

// Ends the process with a line on standard error: a misspelt QM_FAULTS must not pass as a run
// without faults.
[[noreturn]] void refuse(const std::string& item)
{
    const std::string text = "QM_FAULTS: cannot read \"" + item + "\"\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    ExitProcess(3);
}

long number(const std::string& text, const std::string& item)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        refuse(item);
    return std::strtol(text.c_str(), nullptr, 10);
}

fault_item parse_fault(const std::string& item, bool kill)
{
    const std::string spec = item.substr(item.find('=') + 1);
    const std::size_t hash = spec.find('#');
    if (hash == std::string::npos || hash == 0)
        refuse(item);
    fault_item f;
    f.call = spec.substr(0, hash);
    f.kill = kill;
    std::string rest = spec.substr(hash + 1);
    if (kill) {
        f.first = number(rest, item);
        return f;
    }
    const std::size_t colon = rest.find(':');
    if (colon == std::string::npos)
        refuse(item);
    f.first = number(rest.substr(0, colon), item);
    std::string error = rest.substr(colon + 1);
    if (!error.empty() && error.back() == '+') {
        f.count = 0;
        error.pop_back();
    } else if (const std::size_t star = error.find('*'); star != std::string::npos) {
        f.count = number(error.substr(star + 1), item);
        error.resize(star);
    }
    f.error = static_cast<DWORD>(number(error, item));
    if (f.first == 0)
        refuse(item);
    return f;
}

struct installer {
    installer()
    {
        const std::wstring setting = variable(L"QM_FAULTS");
        if (setting.empty())
            return;
        injection_state& s = state();
        win32_call_table& table = win32_calls();
        s.real = table;
        const std::string text = utf8(setting);
        std::size_t start = 0;
        while (start <= text.size()) {
            std::size_t end = text.find(';', start);
            if (end == std::string::npos)
                end = text.size();
            const std::string item = text.substr(start, end - start);
            start = end + 1;
            if (item.empty())
                continue;
            if (item.rfind("record=", 0) == 0) {
                const std::wstring file = wide(item.substr(7));
                s.record = s.real.create_file(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
                if (s.record == INVALID_HANDLE_VALUE)
                    refuse(item);
            } else if (item.rfind("fail=", 0) == 0) {
                s.faults.push_back(parse_fault(item, false));
            } else if (item.rfind("kill=", 0) == 0) {
                s.faults.push_back(parse_fault(item, true));
            } else {
                refuse(item);
            }
        }
        table.create_file2 = &create_file2;
        table.close_handle = &close_handle;
        table.get_file_attributes_ex = &get_file_attributes_ex;
        table.get_file_information_by_handle_ex = &get_file_information_by_handle_ex;
        table.get_file_information_by_handle = &get_file_information_by_handle;
        table.set_file_information_by_handle = &set_file_information_by_handle;
        table.move_file_ex = &move_file_ex;
        // Where the system has no CopyFile2 the entry stays empty, as the backend expects there.
        if (s.real.copy_file2)
            table.copy_file2 = &copy_file2;
        table.copy_file_ex = &copy_file_ex;
        table.create_directory = &create_directory;
        table.get_final_path_name_by_handle = &get_final_path_name_by_handle;
        table.find_first_file_ex = &find_first_file_ex;
        table.find_next_file = &find_next_file;
        table.find_close = &find_close;
        table.get_full_path_name = &get_full_path_name;
        table.open_osfhandle = &crt_open_osfhandle;
        table.fdopen = &crt_fdopen;
        table.close = &crt_close;
        table.create_file = &create_file;
        table.get_command_line = &get_command_line;
        table.command_line_to_argv = &command_line_to_argv;
        table.open_process = &open_process;
        table.wait_for_single_object = &wait_for_single_object;
        table.create_process = &create_process;
        table.message_box = &message_box;
    }
};

const installer install_at_start_up;

} // namespace
} // namespace updater::os_calls
