// The process services on Windows: the Win32 calls the helper has always made, with their
// arguments exactly as given.
#include "updater/os_calls/unique_handle.h"
#include "updater/system/process.h"

#include "updater/os_calls/win32.h"

#include <memory>

namespace updater {

namespace {

using os_calls::win32_calls;

struct local_free {
    void operator()(wchar_t** block) const noexcept { LocalFree(block); }
};

std::wstring widen(std::string_view ascii) { return std::wstring(ascii.begin(), ascii.end()); }

} // namespace

bool split_command_line(const entry_arguments&, std::vector<path_string>& elements)
{
    int count = 0;
    std::unique_ptr<wchar_t*, local_free> split(
        win32_calls().command_line_to_argv(win32_calls().get_command_line(), &count));
    if (!split)
        return false;
    elements.assign(split.get(), split.get() + count);
    return true;
}

bool wait_for_application(std::uint32_t app_pid, std::chrono::milliseconds timeout)
{
    // NULL for id 0, an id that names no process, an ended process or refused access: nothing to
    // wait for.
    const os_calls::unique_handle process(win32_calls().open_process(SYNCHRONIZE, FALSE, app_pid));
    if (!process)
        return true;
    return win32_calls().wait_for_single_object(process.get(), static_cast<DWORD>(timeout.count())) == WAIT_OBJECT_0;
}

void show_message(std::string_view caption, std::string_view text, message_icon icon)
{
    UINT type = MB_OK | (icon == message_icon::information ? MB_ICONINFORMATION : MB_ICONERROR);
    win32_calls().message_box(nullptr, widen(text).c_str(), widen(caption).c_str(), type);
}

bool relaunch_application(const path_string& app_path, const path_string& install_dir)
{
    // CreateProcessW may write into the command line, so it lives in a buffer of our own.
    std::wstring command_line = L"\"" + app_path + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (!win32_calls().create_process(app_path.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                      install_dir.c_str(), &startup, &started))
        return false;
    const os_calls::unique_handle thread(started.hThread);
    const os_calls::unique_handle process(started.hProcess);
    return true;
}

} // namespace updater
