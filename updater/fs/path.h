// Paths as the OS takes them (UTF-16 on Windows, bytes on POSIX) and the rules for joining and
// splitting them.
//
// On Windows "\" and "/" both separate elements, and a path may begin with a root name: a drive
// designator ("C:"), a network root ("\\server") or a device prefix ("\\?\"). On POSIX "/" separates the elements of
// an OS path and there are no root names; a relative path that comes from a manifest or from the
// staged tree may also use "\", which counts as a separator there too, so one rule for relative
// paths holds on every platform.
#pragma once

#include <string>
#include <string_view>

namespace updater {

#ifdef _WIN32
using path_char = wchar_t;
inline constexpr bool windows_path_rules = true;
#else
using path_char = char;
inline constexpr bool windows_path_rules = false;
#endif

using path_string = std::basic_string<path_char>;
using path_view = std::basic_string_view<path_char>;

// The native form of UTF-8 text (identity on POSIX); ASCII names such as ".update-backup" are
// spelled this way in code. Invalid UTF-8 gives an empty path on Windows.
path_string path_from_utf8(std::string_view text);
// The reverse, for diagnostics and tests (identity on POSIX).
std::string path_to_utf8(path_view path);

// A separator of an OS path: "\" or "/" on Windows, "/" on POSIX.
bool is_os_separator(path_char c) noexcept;
// A separator of a relative path from a manifest or the staged tree: "\" or "/" everywhere.
constexpr bool is_separator(path_char c) noexcept { return c == '/' || c == '\\'; }

// The root name: a drive designator "C:", a network root "\\server", a device prefix "\\?\",
// "\\.\" or "\??\", or empty (always on POSIX).
path_view root_name(path_view path) noexcept;

// Where the elements after the root begin: past the root name and the separators after it.
std::size_t elements_start(path_view path) noexcept;

// base joined with rel: an absolute rel, or one whose root name differs from base's, replaces base;
// a rel that begins with a separator follows base's root name directly; any other rel, less its
// root name, follows base after one separator, which is left out when base is empty, is exactly a
// drive designator, or ends in a separator. On POSIX the "\" of rel become "/".
path_string join_path(path_view base, path_view rel);

// The text after the last separator, looking only at the part after the root name (empty when the
// path ends in a separator).
path_view last_element(path_view path) noexcept;

// The path without its last element and without the separators before it; a root directory stays.
path_view parent_path(path_view path) noexcept;

// The relative path from base to path, element by element (no file system access); empty when the
// root names differ or the relative path cannot be formed; "." when both are the same.
path_string lexically_relative(path_view path, path_view base);

} // namespace updater
