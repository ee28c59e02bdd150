// The generic category: POSIX errno numbers with fixed English texts, the same on every platform.
#include "updater/fs/error.h"

namespace updater {

const char* generic_message(int value) noexcept
{
    // Linux errno numbering; the texts follow the standard's errc names.
    static const char* const texts[] = {
        nullptr,
        "operation not permitted",            // 1 EPERM
        "no such file or directory",          // 2 ENOENT
        "no such process",                    // 3 ESRCH
        "interrupted",                        // 4 EINTR
        "io error",                           // 5 EIO
        "no such device or address",          // 6 ENXIO
        "argument list too long",             // 7 E2BIG
        "executable format error",            // 8 ENOEXEC
        "bad file descriptor",                // 9 EBADF
        "no child process",                   // 10 ECHILD
        "resource unavailable try again",     // 11 EAGAIN
        "not enough memory",                  // 12 ENOMEM
        "permission denied",                  // 13 EACCES
        "bad address",                        // 14 EFAULT
        nullptr,                              // 15 ENOTBLK has no standard name
        "device or resource busy",            // 16 EBUSY
        "file exists",                        // 17 EEXIST
        "cross device link",                  // 18 EXDEV
        "no such device",                     // 19 ENODEV
        "not a directory",                    // 20 ENOTDIR
        "is a directory",                     // 21 EISDIR
        "invalid argument",                   // 22 EINVAL
        "too many files open in system",      // 23 ENFILE
        "too many files open",                // 24 EMFILE
        "inappropriate io control operation", // 25 ENOTTY
        "text file busy",                     // 26 ETXTBSY
        "file too large",                     // 27 EFBIG
        "no space on device",                 // 28 ENOSPC
        "invalid seek",                       // 29 ESPIPE
        "read only file system",              // 30 EROFS
        "too many links",                     // 31 EMLINK
        "broken pipe",                        // 32 EPIPE
        "argument out of domain",             // 33 EDOM
        "result out of range",                // 34 ERANGE
        "resource deadlock would occur",      // 35 EDEADLK
        "filename too long",                  // 36 ENAMETOOLONG
        "no lock available",                  // 37 ENOLCK
        "function not supported",             // 38 ENOSYS
        "directory not empty",                // 39 ENOTEMPTY
        "too many symbolic link levels",      // 40 ELOOP
    };
    if (value > 0 && value < static_cast<int>(std::size(texts)) && texts[value])
        return texts[value];
    switch (value) {
    case 95:
        return "not supported"; // EOPNOTSUPP
    case 110:
        return "timed out"; // ETIMEDOUT
    case 122:
        return "disk quota exceeded"; // EDQUOT
    default:
        return "unknown error";
    }
}

namespace {

class generic_error_category final : public std::error_category {
public:
    const char* name() const noexcept override { return "generic"; }
    std::string message(int value) const override { return generic_message(value); }
};

} // namespace

const std::error_category& generic_category() noexcept
{
    static const generic_error_category category;
    return category;
}

} // namespace updater
