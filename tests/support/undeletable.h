// A file or folder that cannot be deleted, for as long as the object lives: immutable (chattr +i)
// on POSIX, held open without delete sharing on Windows.
#pragma once

#include "updater/fs/error.h"

#include <filesystem>

namespace updater::test {

class undeletable_path {
public:
    explicit undeletable_path(const std::filesystem::path& path);
    undeletable_path(const undeletable_path&) = delete;
    undeletable_path& operator=(const undeletable_path&) = delete;
    ~undeletable_path();

    // False when the file system does not allow it (chattr needs ext4 or a similar one).
    bool held() const noexcept { return held_; }

    // The error that deleting it gives: POSIX EPERM, Windows sharing violation (32).
    static error_code deletion_error();

private:
    std::filesystem::path path_;
    bool held_ = false;
    void* handle_ = nullptr;
};

} // namespace updater::test
