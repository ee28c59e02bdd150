// The manifest file "install-manifest.txt": one relative path per line, "/" between elements, LF
// line ends, in the narrow file-name text of the platform; and manifest_set, the ordered set of
// relative paths that manifests are read into and written from.
#pragma once

#include "updater/fs/error.h"
#include "updater/fs/fs.h"
#include "updater/fs/path.h"

#include <set>
#include <vector>

namespace updater {

// Orders relative paths: "/" and "\" are one separator, a run of separators counts as one, and at
// the first difference the end of a path sorts before a separator, which sorts before every other
// character; other characters compare as unsigned code units (letter case matters). So
// 'a' < 'a/b' < 'a-b' < 'a.b'.
int compare_manifest_paths(path_view a, path_view b) noexcept;

struct manifest_order {
    using is_transparent = void;
    bool operator()(path_view a, path_view b) const noexcept { return compare_manifest_paths(a, b) < 0; }
};

// Members keep the form in which they were first inserted.
using manifest_set = std::set<path_string, manifest_order>;

// Whether an element of rel ("/" and "\" both separate) is exactly "." or "..".
bool has_dot_element(path_view rel) noexcept;

// "install-manifest.txt"
const path_string& manifest_name();

// Reads dir's "install-manifest.txt" (text mode; on Windows Ctrl-Z ends the file). Skipped lines:
// empty ones (after one trailing CR is removed), rooted ones ('/a', '\a', 'C:a'), those with a "."
// or ".." element, and those that cannot be converted from narrow text or hold a NUL (no file
// name does). Nothing is trimmed.
// A missing or unreadable file gives an empty set; a read error part-way the entries read so far.
manifest_set read_manifest(const path_string& dir);

// The same, with the reason in ec: a not-found error when there is no such file, the open's error
// when it cannot be opened, and generic "io error" when it cannot be read to its end. The set
// holds the entries read so far.
manifest_set read_manifest(const path_string& dir, error_code& ec);

// Writes manifest lines to a file: opened in binary mode, created or truncated, each entry in
// generic form ("/" between elements) followed by one LF. An entry that the narrow text cannot
// represent, or that would not read back as itself (one holding a LF or ending in a CR, which only
// POSIX names can), is left out: the file it names is still installed, only unlisted.
class manifest_writer {
public:
    explicit manifest_writer(const path_string& file);
    void add(path_view entry);
    // Writes out what is buffered and closes the file; generic "io error" when the open, a write or
    // that last flush failed.
    void finish(error_code& ec);

private:
    fs::unique_file file_;
    bool failed_ = false;
    std::string line_;
};

void write_manifest(const path_string& file, const manifest_set& entries, error_code& ec);
void write_manifest(const path_string& file, const std::vector<path_string>& entries, error_code& ec);

} // namespace updater
