// Error codes of the helper: a value and a category, system (the OS's own numbers) or generic
// (POSIX errno numbers with fixed English texts).
//
// Every operation that can fail takes an `error_code&` out-parameter, clears it on success and sets
// it on failure; an operation's other outputs are defined only when the code is zero. Nothing
// throws across a module boundary.
#pragma once

#include <string>
#include <system_error>

namespace updater {

using error_code = std::error_code;

// The OS's own error numbers: Windows error codes on Windows, errno values on POSIX.
// Its message is the platform's text ("unknown error" when it has none), and on Windows value 17
// (not same device) maps to the generic condition "cross device link".
const std::error_category& system_category() noexcept;

// POSIX errno numbers with fixed lower-case texts ("io error", "file exists", "invalid argument",
// "cross device link", ...), never the C library's wording; "unknown error" for a value without one.
const std::error_category& generic_category() noexcept;

inline error_code system_error(int value) noexcept { return {value, system_category()}; }
inline error_code generic_error(int value) noexcept { return {value, generic_category()}; }

// The generic values the helper sets itself.
inline constexpr int generic_io_error = 5;
inline constexpr int generic_file_exists = 17;
inline constexpr int generic_cross_device_link = 18;
inline constexpr int generic_invalid_argument = 22;

// The condition under which a move falls back to copy and remove.
inline std::error_condition cross_device_link() noexcept { return {generic_cross_device_link, generic_category()}; }

// Whether an error of a path operation means that the path is not there (the not-found set):
// Windows 2, 3, 53, 64, 123, 161, 267; POSIX ENOENT and ENOTDIR.
bool is_not_found(const error_code& ec) noexcept;

// The last OS error (GetLastError or errno) in the system category.
error_code last_system_error() noexcept;

// The fixed text of a generic value; "unknown error" when there is none.
const char* generic_message(int value) noexcept;

} // namespace updater
