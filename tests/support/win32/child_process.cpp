// Test programs as child processes on Windows: CreateProcessW in a job object, output through a file.
#include "support/child_process.h"
#include "support/child_process_shared.h"

#include "updater/fs/path.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <windows.h>

namespace updater::test {

namespace fs = std::filesystem;

namespace {

// The quoting that CommandLineToArgvW and the C runtime undo.
void append_quoted(std::wstring& line, const std::wstring& argument)
{
    if (!line.empty())
        line += L' ';
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line += L'"';
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

std::vector<std::string> current_environment()
{
    std::vector<std::string> entries;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* entry = block; *entry; entry += wcslen(entry) + 1)
        entries.push_back(path_to_utf8(entry));
    FreeEnvironmentStringsW(block);
    return entries;
}

// The running processes of job but Wine's own. Observed: Wine starts its desktop and services
// (explorer.exe, rpcss.exe, plugplay.exe, ...) on demand from whichever process first needs them;
// they join that process's job and outlive it.
unsigned processes_of_the_test_in(HANDLE job)
{
    struct {
        JOBOBJECT_BASIC_PROCESS_ID_LIST list;
        ULONG_PTR more[255];
    } ids{};
    if (!QueryInformationJobObject(job, JobObjectBasicProcessIdList, &ids, sizeof(ids), nullptr))
        return 0;
    wchar_t system_dir[MAX_PATH];
    const UINT system_dir_size = GetSystemDirectoryW(system_dir, MAX_PATH);
    unsigned count = 0;
    for (DWORD i = 0; i < ids.list.NumberOfProcessIdsInList; ++i) {
        HANDLE process =
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(ids.list.ProcessIdList[i]));
        if (!process)
            continue;
        std::wstring image(32768, L'\0');
        DWORD size = static_cast<DWORD>(image.size());
        const bool wine_own = QueryFullProcessImageNameW(process, 0, image.data(), &size) &&
                              _wcsnicmp(image.c_str(), system_dir, system_dir_size) == 0;
        DWORD code = 0;
        const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
        CloseHandle(process);
        if (running && !wine_own)
            ++count;
    }
    return count;
}

} // namespace

child_process::child_process(const fs::path& program, const std::vector<std::string>& arguments,
                             const std::vector<environment_change>& environment)
{
    std::wstring line;
    append_quoted(line, program.native());
    for (const auto& argument : arguments)
        append_quoted(line, path_from_utf8(argument));

    std::wstring block;
    for (const auto& entry : environment_with(environment, current_environment())) {
        block += path_from_utf8(entry);
        block += L'\0';
    }
    block += L'\0';

    static std::atomic<unsigned> counter{0};
    output_file_ = fs::temp_directory_path() /
                   ("qm-output-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++) + ".txt");
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    HANDLE output =
        CreateFileW(output_file_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE input =
        CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0, nullptr);

    // The child inherits these two handles and no other: a test that opens files on other threads
    // meanwhile must not lend them to it (a file held open that way cannot be moved or deleted).
    HANDLE inherited[] = {input, output};
    SIZE_T list_size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
    std::vector<char> list_memory(list_size);
    auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &list_size) ||
        !UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited, nullptr,
                                   nullptr))
        throw std::runtime_error("cannot limit the inherited handles: error " + std::to_string(GetLastError()));
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input;
    startup.StartupInfo.hStdOutput = output;
    startup.StartupInfo.hStdError = output;
    startup.lpAttributeList = list;
    PROCESS_INFORMATION started{};
    // Started suspended, so that it is in its job before it can start anything itself. Observed:
    // Wine fails a start now and then with 1359 while many processes start at once; another try
    // a moment later succeeds.
    BOOL created = FALSE;
    DWORD error = 0;
    for (int attempt = 0; attempt < 20; ++attempt) {
        created = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                                 CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT,
                                 block.data(), nullptr, &startup.StartupInfo, &started);
        error = GetLastError();
        if (created || error != ERROR_INTERNAL_ERROR)
            break;
        Sleep(50);
    }
    DeleteProcThreadAttributeList(list);
    CloseHandle(output);
    CloseHandle(input);
    if (!created)
        throw std::runtime_error("cannot start " + program.string() + ": error " + std::to_string(error));
    job_ = CreateJobObjectW(nullptr, nullptr);
    AssignProcessToJobObject(job_, started.hProcess);
    ResumeThread(started.hThread);
    CloseHandle(started.hThread);
    process_ = started.hProcess;
    id_ = started.dwProcessId;
}

child_process::~child_process()
{
    if (!finished_)
        kill();
    CloseHandle(process_);
    CloseHandle(job_);
    std::error_code ignored;
    fs::remove(output_file_, ignored);
}

std::uint32_t child_process::id() const noexcept { return id_; }

int child_process::wait_for_exit()
{
    if (exited_)
        return exit_code_;
    WaitForSingleObject(process_, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    exit_code_ = static_cast<int>(code);
    exited_ = true;
    return exit_code_;
}

bool child_process::wait_for_exit_within(std::chrono::milliseconds limit)
{
    if (exited_)
        return true;
    if (WaitForSingleObject(process_, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0)
        return false;
    wait_for_exit();
    return true;
}

int child_process::finish()
{
    if (finished_)
        return exit_code_;
    wait_for_exit();
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (processes_of_the_test_in(job_) > 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "processes started by " << id_ << " still run after a minute";
            break;
        }
        Sleep(5);
    }
    std::ifstream in(output_file_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    output_ = text.str();
    finished_ = true;
    return exit_code_;
}

void child_process::kill() noexcept
{
    if (finished_)
        return;
    // Not the whole job: Wine's own services may have joined it.
    TerminateProcess(process_, 255);
    WaitForSingleObject(process_, INFINITE);
    exited_ = finished_ = true;
}

} // namespace updater::test
