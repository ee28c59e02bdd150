// Paths as the Windows backends hand them to Win32. Windows only; included by the backends alone.
#pragma once

#include "updater/fs/path.h"

namespace updater::fs::detail {

// The form of a path that Win32 takes whatever its length, for every path a backend hands to a
// Win32 call: the path as it stands, or from 248 characters on its absolute, normalised "\\?\" form
// ("\\?\UNC\server\share\..." for a share). A path already in a device form stays as it is. Lives
// for the call it is made for: win32_calls().move_file_ex(win32_path(from).c_str(), ...).
class win32_path {
public:
    explicit win32_path(const path_string& path);
    win32_path(const win32_path&) = delete;
    win32_path& operator=(const win32_path&) = delete;

    const wchar_t* c_str() const noexcept { return long_form_.empty() ? path_.c_str() : long_form_.c_str(); }

private:
    const path_string& path_;
    path_string long_form_;
};

} // namespace updater::fs::detail
