// The table of the Windows backends' calls, filled with the real functions.
#include "updater/os_calls/win32.h"

namespace updater::os_calls {

namespace {

// CopyFile2 (Windows 8) is looked up rather than imported, so the program still starts where it is
// missing. Observed: Wine does not export it; a static import aborts at the call.
decltype(&::CopyFile2) find_copy_file2() noexcept
{
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    return kernel32 ? reinterpret_cast<decltype(&::CopyFile2)>(
                          reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "CopyFile2")))
                    : nullptr;
}

win32_call_table real_calls() noexcept
{
    win32_call_table table{};
    table.create_file2 = &::CreateFile2;
    table.close_handle = &::CloseHandle;
    table.get_file_attributes_ex = &::GetFileAttributesExW;
    table.get_file_information_by_handle_ex = &::GetFileInformationByHandleEx;
    table.get_file_information_by_handle = &::GetFileInformationByHandle;
    table.set_file_information_by_handle = &::SetFileInformationByHandle;
    table.move_file_ex = &::MoveFileExW;
    table.copy_file2 = find_copy_file2();
    table.copy_file_ex = &::CopyFileExW;
    table.create_directory = &::CreateDirectoryW;
    table.get_final_path_name_by_handle = &::GetFinalPathNameByHandleW;
    table.find_first_file_ex = &::FindFirstFileExW;
    table.find_next_file = &::FindNextFileW;
    table.find_close = &::FindClose;
    table.get_full_path_name = &::GetFullPathNameW;
    table.open_osfhandle = &::_open_osfhandle;
    table.fdopen = &::_fdopen;
    table.close = &::_close;
    table.format_message = &::FormatMessageW;
    table.create_file = &::CreateFileW;
    table.get_command_line = &::GetCommandLineW;
    table.command_line_to_argv = &::CommandLineToArgvW;
    table.open_process = &::OpenProcess;
    table.wait_for_single_object = &::WaitForSingleObject;
    table.create_process = &::CreateProcessW;
    table.message_box = &::MessageBoxW;
    return table;
}

} // namespace

win32_call_table& win32_calls() noexcept
{
    static win32_call_table table = real_calls();
    return table;
}

} // namespace updater::os_calls
