// A path that cannot be deleted on Windows: held open without delete sharing.
#include "support/undeletable.h"

#include "support/test_support.h"

#include <cstdlib>

#include <windows.h>

namespace updater::test {

undeletable_path::undeletable_path(const std::filesystem::path& path) : path_(path)
{
    // FILE_FLAG_BACKUP_SEMANTICS opens folders too.
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    held_ = handle != INVALID_HANDLE_VALUE;
    handle_ = held_ ? handle : nullptr;
}

undeletable_path::~undeletable_path()
{
    if (held_)
        CloseHandle(handle_);
}

error_code undeletable_path::deletion_error() { return system_error(ERROR_SHARING_VIOLATION); }

} // namespace updater::test
