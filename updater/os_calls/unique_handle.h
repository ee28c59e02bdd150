// The owner of a Windows handle (a file, a process, a thread), shared by the Windows backends.
// Windows only. A failed close is ignored.
#pragma once

#include "updater/os_calls/win32.h"

#include <utility>

namespace updater::os_calls {

class unique_handle {
public:
    unique_handle() noexcept = default;
    // NULL and INVALID_HANDLE_VALUE both stand for none: the calls that open answer one or the other.
    explicit unique_handle(HANDLE handle) noexcept : handle_(handle) {}
    unique_handle(unique_handle&& other) noexcept : handle_(other.release()) {}
    unique_handle& operator=(unique_handle&& other) noexcept
    {
        std::swap(handle_, other.handle_);
        return *this;
    }
    ~unique_handle()
    {
        if (*this)
            win32_calls().close_handle(handle_);
    }

    HANDLE get() const noexcept { return handle_; }
    HANDLE release() noexcept { return std::exchange(handle_, INVALID_HANDLE_VALUE); }
    explicit operator bool() const noexcept { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

} // namespace updater::os_calls
