// The file system operations and the system error category on POSIX: errno values, stat, unlink and
// rmdir, rename and renameat2, copies through sendfile, directory listings with getdents64.
//
// Linux-specific: getdents64, renameat2 (RENAME_NOREPLACE) and sendfile between files are Linux
// calls; another POSIX system needs readdir, renameat with a link-and-unlink for moves that must
// not replace, and read/write copies in their place.
#include "updater/fs/fs.h"
#include "updater/os_calls/unique_fd.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace updater {

namespace {

using os_calls::unique_fd;

// strerror_r comes in two forms. XSI returns 0 or an error number and fills the buffer; GNU returns
// the text and, for a value without one, formats "Unknown error N". Only one of these is called.
[[maybe_unused]] const char* strerror_text(int result, const char* buffer) noexcept
{
    return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* strerror_text(const char* result, const char*) noexcept
{
    static constexpr char unknown_prefix[] = "Unknown error";
    return std::strncmp(result, unknown_prefix, sizeof unknown_prefix - 1) == 0 ? nullptr : result;
}

class system_error_category final : public std::error_category {
public:
    const char* name() const noexcept override { return "system"; }

    std::string message(int value) const override
    {
        char buffer[256] = {};
        const char* text = strerror_text(strerror_r(value, buffer, sizeof buffer), buffer);
        return text && *text ? text : "unknown error";
    }

    // errno values are the generic numbers already (the generic texts follow Linux's numbering);
    // EXDEV is named so that a failed rename matches cross_device_link() on any POSIX system.
    std::error_condition default_error_condition(int value) const noexcept override
    {
        if (value == EXDEV)
            return cross_device_link();
        return {value, generic_category()};
    }
};

} // namespace

const std::error_category& system_category() noexcept
{
    static const system_error_category category;
    return category;
}

bool is_not_found(const error_code& ec) noexcept
{
    if (ec.category() != system_category())
        return false;
    // ENOTDIR: a leading element is a file ("file/child"), so the path cannot be there; Windows
    // says "path not found" (3) in that case.
    return ec.value() == ENOENT || ec.value() == ENOTDIR;
}

error_code last_system_error() noexcept { return system_error(errno); }

path_string path_from_utf8(std::string_view text) { return path_string(text); }

std::string path_to_utf8(path_view path) { return std::string(path); }

} // namespace updater

namespace updater::fs {

namespace detail {

// A directory listing read with getdents64 on the directory's descriptor. readdir's DIR would
// cost an fstat and an fcntl more for every directory opened (fdopendir checks the descriptor),
// and a walk opens one per folder.
struct dir_stream {
    int fd = -1;
    std::size_t next = 0;   // where the next record starts in buffer
    std::size_t filled = 0; // what the last getdents64 gave
    alignas(dirent64) char buffer[32 * 1024];
};

void dir_stream_closer::operator()(dir_stream* stream) const noexcept
{
    if (stream->fd >= 0)
        ::close(stream->fd);
    delete stream;
}

} // namespace detail

namespace {

struct malloc_deleter {
    void operator()(char* p) const noexcept { std::free(p); }
};

constexpr std::size_t copy_chunk_size = std::size_t{64} * 1024;
constexpr std::size_t sendfile_chunk_size = std::size_t{1} << 30;

file_type type_of_mode(mode_t mode) noexcept
{
    if (S_ISREG(mode))
        return file_type::regular;
    if (S_ISDIR(mode))
        return file_type::directory;
    if (S_ISLNK(mode))
        return file_type::symlink;
    return file_type::other;
}

// POSIX lets rmdir answer EEXIST or ENOTEMPTY for a directory that is not empty; callers see one.
int normalised_rmdir_error(int error) noexcept { return error == EEXIST ? ENOTEMPTY : error; }

// Opens the directory path relative to the directory at (AT_FDCWD: the current one) as a stream.
detail::unique_dir_stream open_dir_at(int at, const char* path, int extra_flags, error_code& ec)
{
    detail::unique_dir_stream stream(new detail::dir_stream);
    stream->fd = ::openat(at, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | extra_flags);
    if (stream->fd < 0) {
        ec = last_system_error();
        return nullptr;
    }
    ec.clear();
    return stream;
}

// Removes what the directory holds, depth first. Entries are reached through the directory's own
// descriptor and subdirectories are opened with O_NOFOLLOW, so a link is removed and never
// followed, even one swapped in for a directory during the walk. Entries that vanish meanwhile are
// fine. Entries are removed while the stream is read; one that the stream then skips leaves the
// directory not empty, and remove_all's next try finds it.
void remove_contents(detail::dir_stream& stream, error_code& ec)
{
    const int dir_fd = stream.fd;
    path_string name;
    file_type type;
    while (detail::read_dir_stream(stream, name, type, ec)) {
        bool is_directory = type == file_type::directory;
        if (!is_directory) {
            if (::unlinkat(dir_fd, name.c_str(), 0) == 0)
                continue;
            // The type could not be told or changed since: a directory after all.
            is_directory = errno == EISDIR;
            if (!is_directory) {
                ec = last_system_error();
                if (is_not_found(ec))
                    continue;
                return;
            }
        }
        detail::unique_dir_stream child = open_dir_at(dir_fd, name.c_str(), O_NOFOLLOW, ec);
        if (!ec)
            remove_contents(*child, ec);
        if (ec) {
            if (is_not_found(ec))
                continue;
            return;
        }
        child.reset();
        if (::unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR) != 0) {
            ec = system_error(normalised_rmdir_error(errno));
            if (is_not_found(ec))
                continue;
            return;
        }
    }
}

// Renames a directory without replacing anything at to: POSIX rename would replace an empty
// directory, which a Windows move never does. What is there makes it fail with EEXIST; Windows
// reports access denied (5) for a directory onto a directory.
void rename_directory(const path_string& from, const path_string& to, error_code& ec)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return;
    int error = errno;
    // File systems without RENAME_NOREPLACE answer EINVAL, kernels before 3.15 ENOSYS: check the
    // target first instead, leaving a short window in which a new empty directory is replaced.
    // (EINVAL also means to lies inside from; the plain rename then answers the same.)
    if (error == EINVAL || error == ENOSYS) {
        struct stat target;
        if (::lstat(to.c_str(), &target) == 0)
            error = EEXIST;
        else if (::rename(from.c_str(), to.c_str()) == 0)
            return;
        else
            error = errno;
    }
    ec = system_error(error);
}

// A file moved without replacing anything where rename cannot promise it: a new name that fails
// when to is there, then the old name goes. A file system without hard links refuses (EPERM), and
// the move fails rather than risk replacing.
void link_then_unlink(const path_string& from, const path_string& to, error_code& ec)
{
    // linkat without AT_SYMLINK_FOLLOW links a symbolic link itself, as rename moves it.
    if (::linkat(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), 0) != 0) {
        ec = last_system_error();
        return;
    }
    if (::unlink(from.c_str()) != 0) {
        ec = last_system_error();
        // Both names are the same file: taking the new one back loses nothing.
        ::unlink(to.c_str());
    }
}

// In the kernel where it can (sendfile between two files), through a buffer where it cannot
// (EINVAL: a file system without that support). Both carry on from the files' offsets.
void copy_contents(int from, int to, error_code& ec)
{
    for (;;) {
        const ssize_t sent = ::sendfile(to, from, nullptr, sendfile_chunk_size);
        if (sent > 0)
            continue;
        if (sent == 0)
            return;
        if (errno == EINTR)
            continue;
        if (errno == EINVAL || errno == ENOSYS)
            break;
        ec = last_system_error();
        return;
    }
    std::unique_ptr<char[]> buffer(new char[copy_chunk_size]);
    for (;;) {
        const ssize_t got = ::read(from, buffer.get(), copy_chunk_size);
        if (got == 0)
            return;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            ec = last_system_error();
            return;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(to, buffer.get() + done, static_cast<std::size_t>(got - done));
            if (put < 0) {
                if (errno == EINTR)
                    continue;
                ec = last_system_error();
                return;
            }
            done += put;
        }
    }
}

} // namespace

namespace detail {

unique_dir_stream open_dir_stream(const path_string& dir, error_code& ec)
{
    return open_dir_at(AT_FDCWD, dir.c_str(), 0, ec);
}

bool read_dir_stream(dir_stream& stream, path_string& name, file_type& type, error_code& ec)
{
    ec.clear();
    for (;;) {
        if (stream.next >= stream.filled) {
            const ssize_t got = ::getdents64(stream.fd, stream.buffer, sizeof stream.buffer);
            if (got <= 0) {
                if (got < 0)
                    ec = last_system_error();
                return false;
            }
            stream.filled = static_cast<std::size_t>(got);
            stream.next = 0;
        }
        const auto* entry = reinterpret_cast<const dirent64*>(stream.buffer + stream.next);
        stream.next += entry->d_reclen;
        const char* n = entry->d_name;
        if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0')))
            continue;
        name.assign(n);
        switch (entry->d_type) {
        case DT_REG:
            type = file_type::regular;
            break;
        case DT_DIR:
            type = file_type::directory;
            break;
        case DT_LNK:
            type = file_type::symlink;
            break;
        case DT_UNKNOWN: {
            // Some file systems (older XFS, several network ones) leave the type to a stat.
            struct stat st;
            type = ::fstatat(stream.fd, n, &st, AT_SYMLINK_NOFOLLOW) == 0 ? type_of_mode(st.st_mode) : file_type::none;
            break;
        }
        default:
            type = file_type::other;
            break;
        }
        return true;
    }
}

} // namespace detail

namespace {

file_type status_with(int (*query)(const char*, struct stat*), const path_string& path, error_code& ec)
{
    struct stat st;
    if (query(path.c_str(), &st) != 0) {
        ec = last_system_error();
        if (is_not_found(ec)) {
            ec.clear();
            return file_type::not_found;
        }
        return file_type::none;
    }
    ec.clear();
    return type_of_mode(st.st_mode);
}

} // namespace

file_type status(const path_string& path, error_code& ec) { return status_with(::stat, path, ec); }

file_type symlink_status(const path_string& path, error_code& ec) { return status_with(::lstat, path, ec); }

bool remove(const path_string& path, error_code& ec)
{
    ec.clear();
    // unlink removes a link itself and ignores a file's mode bits, so read-only files go too.
    if (::unlink(path.c_str()) == 0)
        return true;
    int error = errno;
    // Linux answers EISDIR for a directory, POSIX allows EPERM.
    if (error == EISDIR || error == EPERM) {
        if (::rmdir(path.c_str()) == 0)
            return true;
        // ENOTDIR: not a directory after all, so unlink's EPERM stands (an immutable file, a
        // sticky directory).
        if (errno != ENOTDIR)
            error = normalised_rmdir_error(errno);
    }
    ec = system_error(error);
    if (is_not_found(ec))
        ec.clear();
    return false;
}

namespace detail {

bool is_not_empty(const error_code& ec) noexcept { return ec == system_error(ENOTEMPTY); }

// ENOTEMPTY: something new appeared or the stream skipped an entry. EACCES and EPERM are Windows'
// access denied, there often a file still open for a moment.
bool is_retried_by_remove_all(const error_code& ec) noexcept
{
    return ec == system_error(ENOTEMPTY) || ec == system_error(EACCES) || ec == system_error(EPERM);
}

void remove_tree(const path_string& dir, error_code& ec)
{
    // O_NOFOLLOW: remove answered "not empty", so dir is a directory, not a link to one.
    detail::unique_dir_stream stream = open_dir_at(AT_FDCWD, dir.c_str(), O_NOFOLLOW, ec);
    if (!ec)
        remove_contents(*stream, ec);
    stream.reset();
    if (!ec || is_not_found(ec))
        remove(dir, ec);
}

} // namespace detail

void rename(const path_string& from, const path_string& to, existing_target target, error_code& ec)
{
    ec.clear();
    // Usually nothing is at to, and then a rename that replaces nothing is all it takes, whatever
    // the source is. Only when something is there (EEXIST) may a file replace a file; a directory
    // never replaces anything. rename never crosses file systems and answers EXDEV, files and
    // directories alike.
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return;
    const int error = errno;
    // File systems without RENAME_NOREPLACE answer EINVAL, kernels before 3.15 ENOSYS.
    const bool no_replace_unsupported = error == EINVAL || error == ENOSYS;
    if (error != EEXIST && !no_replace_unsupported) {
        ec = system_error(error);
        return;
    }
    struct stat st;
    if (::lstat(from.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        if (error == EEXIST)
            ec = system_error(EEXIST);
        else
            rename_directory(from, to, ec);
        return;
    }
    if (target == existing_target::keep) {
        if (no_replace_unsupported)
            link_then_unlink(from, to, ec);
        else
            ec = system_error(EEXIST);
        return;
    }
    if (::rename(from.c_str(), to.c_str()) != 0)
        ec = last_system_error();
}

void copy_file(const path_string& from, const path_string& to, existing_target target, error_code& ec)
{
    ec.clear();
    unique_fd source(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (!source) {
        ec = last_system_error();
        return;
    }
    struct stat source_st;
    if (::fstat(source.get(), &source_st) != 0) {
        ec = last_system_error();
        return;
    }
    if (S_ISDIR(source_st.st_mode)) {
        ec = system_error(EISDIR);
        return;
    }
    // No O_TRUNC yet: to may be from itself under another name, which truncating would destroy.
    // A new file gets the source's permissions at once, so that usually none are left to set.
    const int exclusive = target == existing_target::keep ? O_EXCL : 0;
    unique_fd to_fd(::open(to.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | exclusive, source_st.st_mode & 0777));
    if (!to_fd) {
        ec = last_system_error();
        return;
    }
    struct stat target_st;
    if (::fstat(to_fd.get(), &target_st) != 0) {
        ec = last_system_error();
        // A file made here and left empty would stand in the way of the next attempt.
        error_code ignored;
        if (exclusive)
            remove(to, ignored);
        return;
    }
    if (target_st.st_dev == source_st.st_dev && target_st.st_ino == source_st.st_ino) {
        ec = system_error(EINVAL);
        return;
    }
    if (target_st.st_size != 0 && ::ftruncate(to_fd.get(), 0) != 0) {
        ec = last_system_error();
        return;
    }
    copy_contents(source.get(), to_fd.get(), ec);
    // Mode and modification time last: the writes above set the time, and they may clear a
    // set-user-ID or set-group-ID bit, so a mode with those is always set again.
    const mode_t mode = source_st.st_mode & 07777;
    const bool mode_differs = (mode & 07000) != 0 || (target_st.st_mode & 07777) != mode;
    if (!ec && mode_differs && ::fchmod(to_fd.get(), mode) != 0)
        ec = last_system_error();
    const timespec times[2] = {{0, UTIME_OMIT}, source_st.st_mtim};
    if (!ec && ::futimens(to_fd.get(), times) != 0)
        ec = last_system_error();
    // Some file systems (NFS) report a failed write only at close.
    if (::close(to_fd.release()) != 0 && !ec)
        ec = last_system_error();
    if (ec) {
        // The old content is gone already, or there was none: a partial copy must not pass for the
        // file.
        error_code ignored;
        remove(to, ignored);
    }
}

bool equivalent(const path_string& a, const path_string& b, error_code& ec)
{
    struct stat a_st;
    struct stat b_st;
    if (::stat(a.c_str(), &a_st) != 0 || ::stat(b.c_str(), &b_st) != 0) {
        ec = last_system_error();
        return false;
    }
    ec.clear();
    return a_st.st_dev == b_st.st_dev && a_st.st_ino == b_st.st_ino;
}

namespace detail {

error_code create_level(const path_string& level)
{
    if (::mkdir(level.c_str(), 0777) == 0)
        return {};
    const error_code ec = last_system_error();
    // An existing level is fine when it is a directory; EEXIST stays for one that is not.
    struct stat st;
    if (ec == system_error(EEXIST) && ::stat(level.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return {};
    return ec;
}

error_code path_not_found_error() noexcept { return system_error(ENOENT); }

path_string final_path(const path_string& path, error_code& ec)
{
    std::unique_ptr<char, malloc_deleter> resolved(::realpath(path.c_str(), nullptr));
    if (!resolved) {
        ec = last_system_error();
        return {};
    }
    ec.clear();
    return resolved.get();
}

bool is_resolved_in_part(const error_code& ec) noexcept { return is_not_found(ec); }

bool same_volume(path_view, path_view) noexcept { return true; }

} // namespace detail

unique_file open_file(const path_string& path, const char* mode, error_code& ec)
{
    // The descriptor is opened here rather than by fopen so that O_CLOEXEC is certain. "b" and "t"
    // mean nothing on POSIX; any other letter is refused as on Windows.
    bool valid = mode[0] == 'r' || mode[0] == 'w' || mode[0] == 'a';
    bool update = false;
    for (const char* c = mode + 1; valid && *c; ++c) {
        if (*c == '+')
            update = true;
        else
            valid = *c == 'b' || *c == 't';
    }
    if (!valid) {
        ec = generic_error(generic_invalid_argument);
        return nullptr;
    }
    int flags = O_CLOEXEC | (update ? O_RDWR : mode[0] == 'r' ? O_RDONLY : O_WRONLY);
    if (mode[0] == 'w')
        flags |= O_CREAT | O_TRUNC;
    if (mode[0] == 'a')
        flags |= O_CREAT | O_APPEND;
    const char stdio_mode[] = {mode[0], update ? '+' : '\0', '\0'};
    unique_fd fd(::open(path.c_str(), flags, 0666));
    if (!fd) {
        ec = last_system_error();
        return nullptr;
    }
    unique_file file(::fdopen(fd.get(), stdio_mode));
    if (!file) {
        ec = last_system_error();
        return nullptr;
    }
    fd.release(); // the stream closes it
    ec.clear();
    return file;
}

bool to_narrow(path_view path, std::string& out)
{
    out.assign(path);
    return true;
}

bool from_narrow(std::string_view text, path_string& out)
{
    out.assign(text);
    return true;
}

} // namespace updater::fs
