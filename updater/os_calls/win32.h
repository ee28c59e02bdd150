// The Win32 and C runtime calls that the Windows backends make for files, the installation lock
// and processes, as one table of function pointers. Windows only; included by the backends alone.
//
// The backends call through this table and nothing else, so that a test can swap an entry: fail
// call k with Windows' own error, or answer as a volume that Wine does not have would. The table
// holds the real functions and nothing in the program changes it.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <io.h>
#include <stdio.h>

namespace updater::os_calls {

struct win32_call_table {
    // Files.
    decltype(&::CreateFile2) create_file2;
    decltype(&::CloseHandle) close_handle; // file and process handles alike
    decltype(&::GetFileAttributesExW) get_file_attributes_ex;
    decltype(&::GetFileInformationByHandleEx) get_file_information_by_handle_ex;
    // The volume serial and file index, where a volume has no FileIdInfo (FAT32, exFAT).
    decltype(&::GetFileInformationByHandle) get_file_information_by_handle;
    decltype(&::SetFileInformationByHandle) set_file_information_by_handle;
    decltype(&::MoveFileExW) move_file_ex;
    // Null where kernel32 does not export it (before Windows 8; Observed: Wine).
    decltype(&::CopyFile2) copy_file2;
    decltype(&::CopyFileExW) copy_file_ex;
    decltype(&::CreateDirectoryW) create_directory;
    decltype(&::GetFinalPathNameByHandleW) get_final_path_name_by_handle;
    decltype(&::FindFirstFileExW) find_first_file_ex;
    decltype(&::FindNextFileW) find_next_file;
    decltype(&::FindClose) find_close;
    // The absolute, normalised form of a path that is too long for the Win32 path rules.
    decltype(&::GetFullPathNameW) get_full_path_name;
    // The C runtime's side of a file opened for stdio.
    decltype(&::_open_osfhandle) open_osfhandle;
    decltype(&::_fdopen) fdopen;
    decltype(&::_close) close;

    // The system's error texts.
    decltype(&::FormatMessageW) format_message;

    // The installation lock.
    decltype(&::CreateFileW) create_file;

    // Processes.
    decltype(&::GetCommandLineW) get_command_line;
    decltype(&::CommandLineToArgvW) command_line_to_argv;
    decltype(&::OpenProcess) open_process;
    decltype(&::WaitForSingleObject) wait_for_single_object;
    decltype(&::CreateProcessW) create_process;
    decltype(&::MessageBoxW) message_box;
};

// The table the backends call through, the real functions until something swaps an entry. Made on
// first use, so that code which runs before main (a test's own set-up) finds it filled.
win32_call_table& win32_calls() noexcept;

} // namespace updater::os_calls
