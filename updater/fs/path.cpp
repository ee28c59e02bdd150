// Path rules: root names, joining, last element, parent, and the lexical relative path. Windows
// follows the platform's path grammar; POSIX has no root names.
#include "updater/fs/path.h"

#include <algorithm>
#include <vector>

namespace updater {

namespace {

constexpr path_char preferred_separator = windows_path_rules ? '\\' : '/';

bool is_ascii_letter(path_char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool has_drive_designator(path_view path) noexcept
{
    return windows_path_rules && path.size() >= 2 && is_ascii_letter(path[0]) && path[1] == ':';
}

bool is_absolute(path_view path) noexcept
{
    if constexpr (!windows_path_rules)
        return !path.empty() && path[0] == '/';
    if (has_drive_designator(path))
        return path.size() >= 3 && is_os_separator(path[2]);
    // Every other root name ("\\server", "\\?\") is absolute by itself.
    return !root_name(path).empty();
}

// The elements after the root name and root directory; a trailing separator gives an empty last one.
std::vector<path_view> split_elements(path_view rest)
{
    std::vector<path_view> elements;
    std::size_t i = 0;
    while (i < rest.size() && is_os_separator(rest[i]))
        ++i;
    if (i == rest.size())
        return elements;
    while (i <= rest.size()) {
        std::size_t end = i;
        while (end < rest.size() && !is_os_separator(rest[end]))
            ++end;
        elements.push_back(rest.substr(i, end - i));
        if (end == rest.size())
            break;
        i = end;
        while (i < rest.size() && is_os_separator(rest[i]))
            ++i;
    }
    return elements;
}

} // namespace

bool is_os_separator(path_char c) noexcept { return c == '/' || (windows_path_rules && c == '\\'); }

path_view root_name(path_view path) noexcept
{
    if constexpr (!windows_path_rules)
        return {};
    if (path.size() < 2)
        return {};
    if (has_drive_designator(path))
        return path.substr(0, 2);
    if (!is_os_separator(path[0]))
        return {};
    // \\?\ \\.\ \??\ : the prefix alone is the root name.
    if (path.size() >= 4 && is_os_separator(path[3]) && (path.size() == 4 || !is_os_separator(path[4])) &&
        ((is_os_separator(path[1]) && (path[2] == '?' || path[2] == '.')) || (path[1] == '?' && path[2] == '?')))
        return path.substr(0, 3);
    // \\server: up to the next separator.
    if (path.size() >= 3 && is_os_separator(path[1]) && !is_os_separator(path[2])) {
        std::size_t end = 3;
        while (end < path.size() && !is_os_separator(path[end]))
            ++end;
        return path.substr(0, end);
    }
    return {};
}

path_string join_path(path_view base, path_view rel)
{
    path_string result;
    if constexpr (!windows_path_rules) {
        // A relative path from a manifest may use "\"; the OS only knows "/".
        path_string converted(rel);
        std::replace(converted.begin(), converted.end(), '\\', '/');
        if (!converted.empty() && converted[0] == '/')
            return converted;
        result.reserve(base.size() + 1 + converted.size());
        result.assign(base);
        if (!result.empty() && result.back() != '/')
            result.push_back('/');
        result.append(converted);
        return result;
    }
    path_view rel_root = root_name(rel);
    path_view base_root = root_name(base);
    if (is_absolute(rel) || (!rel_root.empty() && rel_root != base_root))
        return path_string(rel);
    path_view rel_rest = rel.substr(rel_root.size());
    if (!rel_rest.empty() && is_os_separator(rel_rest[0])) {
        result.assign(base_root);
        result.append(rel_rest);
        return result;
    }
    result.reserve(base.size() + 1 + rel_rest.size());
    result.assign(base);
    if (base.size() == base_root.size()) {
        // Only a root name: a network root takes a separator, a drive designator does not.
        if (base_root.size() >= 3)
            result.push_back(preferred_separator);
    } else if (!is_os_separator(base.back())) {
        result.push_back(preferred_separator);
    }
    result.append(rel_rest);
    return result;
}

std::size_t elements_start(path_view path) noexcept
{
    std::size_t start = root_name(path).size();
    while (start < path.size() && is_os_separator(path[start]))
        ++start;
    return start;
}

path_view last_element(path_view path) noexcept
{
    std::size_t start = root_name(path).size();
    std::size_t end = path.size();
    while (end > start && !is_os_separator(path[end - 1]))
        --end;
    return path.substr(end);
}

path_view parent_path(path_view path) noexcept
{
    std::size_t root_end = root_name(path).size();
    std::size_t relative_start = root_end;
    while (relative_start < path.size() && is_os_separator(path[relative_start]))
        ++relative_start;
    std::size_t end = path.size();
    while (end > relative_start && !is_os_separator(path[end - 1]))
        --end;
    while (end > relative_start && is_os_separator(path[end - 1]))
        --end;
    return path.substr(0, end);
}

path_string lexically_relative(path_view path, path_view base)
{
    path_view path_root = root_name(path);
    path_view base_root = root_name(base);
    path_view path_rest = path.substr(path_root.size());
    path_view base_rest = base.substr(base_root.size());
    bool path_rooted = !path_rest.empty() && is_os_separator(path_rest[0]);
    bool base_rooted = !base_rest.empty() && is_os_separator(base_rest[0]);
    if (path_root != base_root || is_absolute(path) != is_absolute(base) || (!path_rooted && base_rooted))
        return {};

    std::vector<path_view> a = split_elements(path_rest);
    std::vector<path_view> b = split_elements(base_rest);
    std::size_t common = 0;
    while (common < a.size() && common < b.size() && a[common] == b[common])
        ++common;
    if (common == a.size() && common == b.size())
        return path_string(1, '.');

    long ups = 0;
    for (std::size_t i = common; i < b.size(); ++i) {
        if (b[i].size() == 2 && b[i][0] == '.' && b[i][1] == '.')
            --ups;
        else if (!b[i].empty() && !(b[i].size() == 1 && b[i][0] == '.'))
            ++ups;
    }
    if (ups < 0)
        return {};
    if (ups == 0 && (common == a.size() || a[common].empty()))
        return path_string(1, '.');

    path_string result;
    for (long i = 0; i < ups; ++i) {
        if (!result.empty())
            result.push_back(preferred_separator);
        result.append(2, '.');
    }
    for (std::size_t i = common; i < a.size(); ++i) {
        if (!result.empty())
            result.push_back(preferred_separator);
        result.append(a[i]);
    }
    return result;
}

} // namespace updater
