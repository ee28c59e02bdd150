// The manifest file format: the order of relative paths, the line reader with its skipping rules,
// and the writer.
#include "updater/manifest/manifest.h"

#include <algorithm>
#include <type_traits>

namespace updater {

namespace {

using code_unit = std::make_unsigned_t<path_char>;

bool is_ascii_letter(path_char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Rooted on every platform, as the file format defines it: "/a", "\a", "\\server\share", and a
// drive designator with or without a root directory ("C:\a", "C:a"). Such a line could reach
// outside the folder that the manifest describes.
bool is_rooted(path_view path) noexcept
{
    return (!path.empty() && is_separator(path[0])) || (path.size() >= 2 && is_ascii_letter(path[0]) && path[1] == ':');
}

// Adds one line (without its LF) to the set when it is a usable entry.
void add_line(std::string& line, manifest_set& entries, path_string& converted)
{
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.empty())
        return;
    // No file name holds a NUL; the OS would see only the text before it and so a different file.
    if (line.find('\0') != std::string::npos)
        return;
    if (!fs::from_narrow(line, converted))
        return;
    if (is_rooted(converted) || has_dot_element(converted))
        return;
    entries.insert(converted);
}

} // namespace

bool has_dot_element(path_view rel) noexcept
{
    std::size_t start = 0;
    for (;;) {
        std::size_t end = start;
        while (end < rel.size() && !is_separator(rel[end]))
            ++end;
        path_view element = rel.substr(start, end - start);
        if ((element.size() == 1 && element[0] == '.') ||
            (element.size() == 2 && element[0] == '.' && element[1] == '.'))
            return true;
        if (end == rel.size())
            return false;
        start = end + 1;
    }
}

int compare_manifest_paths(path_view a, path_view b) noexcept
{
    std::size_t i = 0;
    std::size_t j = 0;
    for (;;) {
        bool a_end = i == a.size();
        bool b_end = j == b.size();
        if (a_end || b_end)
            return a_end == b_end ? 0 : (a_end ? -1 : 1);
        bool a_sep = is_separator(a[i]);
        bool b_sep = is_separator(b[j]);
        if (a_sep && b_sep) {
            while (i < a.size() && is_separator(a[i]))
                ++i;
            while (j < b.size() && is_separator(b[j]))
                ++j;
            continue;
        }
        if (a_sep != b_sep)
            return a_sep ? -1 : 1;
        code_unit x = static_cast<code_unit>(a[i]);
        code_unit y = static_cast<code_unit>(b[j]);
        if (x != y)
            return x < y ? -1 : 1;
        ++i;
        ++j;
    }
}

const path_string& manifest_name()
{
    static const path_string name = path_from_utf8("install-manifest.txt");
    return name;
}

manifest_set read_manifest(const path_string& dir, error_code& ec)
{
    manifest_set entries;
    // Text mode: on Windows the runtime turns CR LF into LF and ends the file at a Ctrl-Z.
    fs::unique_file file = fs::open_file(join_path(dir, manifest_name()), "rt", ec);
    if (!file)
        return entries;

    std::string line;
    path_string converted;
    char buffer[16384];
    for (;;) {
        std::size_t got = std::fread(buffer, 1, sizeof buffer, file.get());
        std::size_t start = 0;
        for (std::size_t k = 0; k < got; ++k) {
            if (buffer[k] != '\n')
                continue;
            line.append(buffer + start, k - start);
            add_line(line, entries, converted);
            line.clear();
            start = k + 1;
        }
        line.append(buffer + start, got - start);
        if (got < sizeof buffer)
            break;
    }
    if (std::ferror(file.get())) {
        // The last, unfinished line may be cut short by the error: it is not an entry.
        ec = generic_error(generic_io_error);
        return entries;
    }
    add_line(line, entries, converted);
    ec.clear();
    return entries;
}

manifest_set read_manifest(const path_string& dir)
{
    error_code ignored;
    return read_manifest(dir, ignored);
}

manifest_writer::manifest_writer(const path_string& file)
{
    error_code ec;
    file_ = fs::open_file(file, "wb", ec);
    failed_ = !file_;
}

void manifest_writer::add(path_view entry)
{
    if (failed_)
        return;
    path_string generic(entry);
    std::replace(generic.begin(), generic.end(), path_char('\\'), path_char('/'));
    if (!fs::to_narrow(generic, line_))
        return;
    // A name with a line feed, or one ending in a CR, would come back as other names; it is left
    // out like a name that the narrow text cannot represent. Only POSIX names can hold them.
    if (line_.find('\n') != std::string::npos || (!line_.empty() && line_.back() == '\r'))
        return;
    line_.push_back('\n');
    if (std::fwrite(line_.data(), 1, line_.size(), file_.get()) != line_.size())
        failed_ = true;
}

void manifest_writer::finish(error_code& ec)
{
    // The last buffered bytes are written here, not left to the close: a full disk at that point
    // would otherwise leave a cut-off manifest reported as written.
    bool failed = failed_ || !file_ || std::fflush(file_.get()) != 0 || std::ferror(file_.get());
    file_.reset();
    failed_ = true;
    if (failed)
        ec = generic_error(generic_io_error);
    else
        ec.clear();
}

void write_manifest(const path_string& file, const manifest_set& entries, error_code& ec)
{
    manifest_writer writer(file);
    for (const path_string& entry : entries)
        writer.add(entry);
    writer.finish(ec);
}

void write_manifest(const path_string& file, const std::vector<path_string>& entries, error_code& ec)
{
    manifest_writer writer(file);
    for (const path_string& entry : entries)
        writer.add(entry);
    writer.finish(ec);
}

} // namespace updater
