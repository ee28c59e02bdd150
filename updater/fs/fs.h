// File system operations that the rest of the helper relies on. One backend per platform
// (fs/posix.cpp, fs/win32.cpp) implements them on the OS's own interfaces.
//
// Where the platforms differ the meaning is kept: a POSIX rename never replaces a directory and
// reports a move across file systems as EXDEV, as a Windows move does with error 17.
#pragma once

#include "updater/fs/error.h"
#include "updater/fs/path.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace updater::fs {

enum class file_type {
    none,      // the query failed
    not_found, // the path is not there (an error in the not-found set)
    regular,
    directory,
    symlink,
    junction, // a Windows mount point
    other,    // a device, pipe or socket
};

// The type of path, following links. An error in the not-found set gives not_found with ec
// cleared; any other error gives none with ec set.
file_type status(const path_string& path, error_code& ec);
// The type of path itself: a link or junction answers symlink or junction, whatever it points at
// (also nothing); anything else as status answers.
file_type symlink_status(const path_string& path, error_code& ec);
inline bool exists(file_type type) noexcept { return type != file_type::none && type != file_type::not_found; }

// Deletes a file, a link (never its target) or an empty directory, read-only ones too. A missing
// path is success and gives false. A directory that is not empty fails with "directory not empty"
// (Windows 145, POSIX ENOTEMPTY).
bool remove(const path_string& path, error_code& ec);

// remove; when that fails only because the directory is not empty, its contents go depth first
// (links are removed, never followed), then the directory again: up to 10 tries, 10 ms apart, while
// it answers "directory not empty" or "access denied" (an entry being deleted, a file that another
// program holds for a moment).
void remove_all(const path_string& path, error_code& ec);

// What a move or a copy does when its target is already there.
enum class existing_target {
    replace, // a file at the target is replaced (a directory never is)
    keep,    // anything at the target makes the call fail with "already exists" (Windows 183 or
             // 80, POSIX EEXIST) and stays as it is
};

// Moves from to to. A directory cannot move across volumes (the "cross device link" condition); a
// file can on Windows and cannot on POSIX. With existing_target::replace a file at to is replaced
// but never a directory: what is not replaced fails with access denied on Windows (5); on POSIX
// with EEXIST when a directory moves, EISDIR when a file would replace a directory. With keep
// nothing at to is ever replaced, also on a POSIX file system that cannot rename without
// replacing (there a file is moved by a hard link and an unlink, or not at all).
void rename(const path_string& from, const path_string& to, existing_target target, error_code& ec);

// Copies the file from to to; attributes and modification time go with it. With
// existing_target::replace an existing file is replaced; with keep anything at to makes the copy
// fail. A directory source and a copy onto the source itself are refused. A copy that fails after
// it began writing to removes to again, so no partial copy passes for the file.
void copy_file(const path_string& from, const path_string& to, existing_target target, error_code& ec);

// Whether a and b name the same file (volume and file id). False with ec set when either cannot
// be opened.
bool equivalent(const path_string& a, const path_string& b, error_code& ec);

// Creates each missing level of path; succeeds when the last level ends up a directory. An empty
// path fails with "path not found" (Windows 3, POSIX ENOENT); a level that is not a directory with
// "already exists" (Windows 183, POSIX EEXIST). When the last level fails, the last failure outside
// the not-found set is reported, else the last one.
void create_directories(const path_string& path, error_code& ec);

// The path with its longest existing leading part resolved to its final path (links included) and
// the rest normalised lexically.
path_string weakly_canonical(const path_string& path, error_code& ec);

// lexically_relative of the weakly canonical forms of path and base; empty with ec set when either
// cannot be formed (the error of the query that failed). Two paths with no relative path between
// them, on two Windows volumes, give generic "invalid argument" (22).
path_string relative(const path_string& path, const path_string& base, error_code& ec);

// Closes a stdio file; a failed close is ignored.
struct file_closer {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using unique_file = std::unique_ptr<std::FILE, file_closer>;

// Opens a file for C stdio with a fopen mode ("rt", "wb", "at", "r+b", ...; "t" is text mode, the
// default, which on Windows writes LF as CR LF). The OS's sharing is not restricted, descriptors
// are not inherited by children, and the error is the OS's own; a mode it does not know gives
// generic "invalid argument".
unique_file open_file(const path_string& path, const char* mode, error_code& ec);

// Narrow text of file names in manifests: on Windows the file-name code page (UTF-8 when the C
// runtime's locale uses UTF-8, else the ANSI code page, or the OEM one when the file APIs use it),
// converted strictly both ways (no replacement, no best fit); on POSIX the bytes as they are.
// Both return false when the text cannot be converted.
bool to_narrow(path_view path, std::string& out);
bool from_narrow(std::string_view text, path_string& out);

namespace detail {
struct dir_stream;
struct dir_stream_closer {
    void operator()(dir_stream* stream) const noexcept;
};
using unique_dir_stream = std::unique_ptr<dir_stream, dir_stream_closer>;

// Backend: creates one directory; clear when it was made or a directory is there already ("already
// exists" stays for anything else).
error_code create_level(const path_string& level);
// Backend: "path not found" (Windows 3, POSIX ENOENT): an empty path, a level whose parent is missing.
error_code path_not_found_error() noexcept;
// Backend: the final path of what path names, links resolved, in the form paths are given in.
path_string final_path(const path_string& path, error_code& ec);
// Backend: whether final_path failed in a way that a shorter path may not (a missing element).
bool is_resolved_in_part(const error_code& ec) noexcept;
// Backend: whether two final paths lie on one volume (always on POSIX).
bool same_volume(path_view a, path_view b) noexcept;

// Backend: one pass of remove_all over a directory that remove found not empty: its contents,
// deepest first, links removed and never followed, then the directory itself.
void remove_tree(const path_string& dir, error_code& ec);
// Backend: "directory not empty" (Windows 145, POSIX ENOTEMPTY).
bool is_not_empty(const error_code& ec) noexcept;
// Backend: whether a pass of remove_all that failed so may succeed a moment later.
bool is_retried_by_remove_all(const error_code& ec) noexcept;

// Backend: one open directory listing. read_dir_stream gives the next name (never "." or "..")
// and the entry's own type (links not followed; file_type::none when it cannot be told); it
// returns false at the end (ec clear) or on an error (ec set).
unique_dir_stream open_dir_stream(const path_string& dir, error_code& ec);
bool read_dir_stream(dir_stream& stream, path_string& name, file_type& type, error_code& ec);
} // namespace detail

enum class iteration_mode { plain, recursive };

// Lists the entries of a directory, all levels when recursive. The recursive form enters real
// directories only: directory links and junctions are delivered but not entered. Failing to open
// or to advance, a subdirectory included, ends the iteration with ec set.
class directory_iteration {
public:
    directory_iteration(const path_string& dir, iteration_mode mode, error_code& ec);

    bool at_end() const noexcept { return levels_.empty(); }
    // The current entry's full path, its path relative to the iteration's start, and its own type
    // (links not followed).
    const path_string& path() const noexcept { return path_; }
    path_view relative_path() const noexcept;
    file_type type() const noexcept { return type_; }

    // Moves to the next entry, first into the current one when it is a directory to enter.
    void advance(error_code& ec);

private:
    struct level {
        detail::unique_dir_stream stream;
        std::size_t path_size; // length of the directory's path, without a trailing separator
    };
    void read_next(error_code& ec);

    iteration_mode mode_;
    std::size_t root_size_ = 0;
    std::vector<level> levels_;
    path_string path_;
    path_string name_;
    file_type type_ = file_type::none;
};

// Whether a listing of place's folder names place's last element: the second opinion on a status
// or an open that answered "not found", which a racing process or a share that hiccuped can give
// for a file that is there. False also when the folder cannot be listed.
bool is_listed(const path_string& place);

} // namespace updater::fs
