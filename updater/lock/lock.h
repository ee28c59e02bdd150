// The installation lock: keeps two helpers from installing over one application at the same time.
// It is the file "." + the executable's name + ".lock" next to the application, held open
// exclusively until the helper exits. The file itself is never written, truncated or deleted; only
// holding it open is the lock.
#pragma once

#include "updater/fs/path.h"

#include <cstdint>

namespace updater {

// The lock file of an application: parent of app_path joined with "." + last element + ".lock".
path_string lock_path_of(path_view app_path);

// A held lock, or none. Closing it (release_install_lock, or the destructor) frees the lock; the
// file stays.
class install_lock {
public:
    install_lock() noexcept = default;
    explicit install_lock(std::intptr_t handle) noexcept : handle_(handle) {}
    install_lock(install_lock&& other) noexcept : handle_(other.handle_) { other.handle_ = invalid; }
    install_lock& operator=(install_lock&&) = delete;
    ~install_lock() { reset(); }

    // Held exactly when the open succeeded.
    explicit operator bool() const noexcept { return handle_ != invalid; }
    // Closes the handle when there is one; a failed close is ignored.
    void reset() noexcept;

private:
    // INVALID_HANDLE_VALUE on Windows, an invalid descriptor on POSIX.
    static constexpr std::intptr_t invalid = -1;
    std::intptr_t handle_ = invalid;
};

// Opens the lock file, creating it when missing, without waiting and without retrying. Windows:
// CreateFileW for reading and writing with no sharing (OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL). POSIX:
// open read-write, created when missing, close-on-exec, then an exclusive non-blocking flock. Any
// failure, another holder or not, gives a lock that is not held.
install_lock acquire_install_lock(const path_string& app_path);

void release_install_lock(install_lock& lock) noexcept;

} // namespace updater
