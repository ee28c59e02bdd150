// The file system operations that are not about the OS, written once over the small primitives
// each backend provides: the removal of a tree, the creation of a folder's levels, and the
// canonical and relative forms of a path.
#include "updater/clock/clock.h"
#include "updater/fs/fs.h"

#include <vector>

namespace updater::fs {

namespace {

constexpr int remove_all_tries = 10;
// A deletion that another process's handle keeps pending, or a scanner's look at a file, usually
// ends within milliseconds: the tries are spread over a moment instead of made back to back.
constexpr std::chrono::milliseconds pause_between_tries{10};

constexpr path_char native_separator = windows_path_rules ? path_char('\\') : path_char('/');

// Creates the missing levels of path from the deepest existing one down: one creation per missing
// level, none for the levels above. False at the first failure, which the level-by-level walk of
// create_directories then reports. The elements begin at first; the root is never created.
bool create_missing_levels(const path_string& path, std::size_t first)
{
    const error_code ec = detail::create_level(path);
    if (!ec)
        return true;
    if (ec != detail::path_not_found_error())
        return false;
    std::size_t end = path.size();
    while (end > first && is_os_separator(path[end - 1]))
        --end;
    while (end > first && !is_os_separator(path[end - 1]))
        --end;
    while (end > first && is_os_separator(path[end - 1]))
        --end;
    return end > first && create_missing_levels(path.substr(0, end), first) && !detail::create_level(path);
}

bool is_dot(path_view element) noexcept { return element.size() == 1 && element[0] == '.'; }
bool is_dot_dot(path_view element) noexcept { return element.size() == 2 && element[0] == '.' && element[1] == '.'; }

} // namespace

void remove_all(const path_string& path, error_code& ec)
{
    remove(path, ec);
    if (!detail::is_not_empty(ec))
        return;
    for (int attempt = 1;; ++attempt) {
        detail::remove_tree(path, ec);
        if (!detail::is_retried_by_remove_all(ec) || attempt == remove_all_tries)
            return;
        sleep_for(pause_between_tries);
    }
}

void create_directories(const path_string& path, error_code& ec)
{
    ec.clear();
    if (path.empty()) {
        ec = detail::path_not_found_error();
        return;
    }
    // Usually everything exists already: one query instead of one creation per level. Otherwise
    // usually only the last levels are missing.
    const file_type type = status(path, ec);
    if (type == file_type::directory)
        return;
    if (type == file_type::not_found && create_missing_levels(path, elements_start(path)))
        return;
    // Every level from the top, so that failures are reported alike on every platform: a level
    // that is a file answers "already exists", the levels below it a not-found error. Levels
    // created above are there already, as this walk would have created them.
    error_code last = ec ? ec : detail::path_not_found_error();
    error_code last_outside_not_found;
    path_string level;
    std::size_t i = elements_start(path);
    while (i < path.size()) {
        std::size_t end = i;
        while (end < path.size() && !is_os_separator(path[end]))
            ++end;
        level.assign(path, 0, end);
        last = detail::create_level(level);
        if (last && !is_not_found(last))
            last_outside_not_found = last;
        i = end;
        while (i < path.size() && is_os_separator(path[i]))
            ++i;
    }
    if (!last) {
        ec.clear();
        return;
    }
    ec = last_outside_not_found ? last_outside_not_found : last;
}

path_string weakly_canonical(const path_string& path, error_code& ec)
{
    ec.clear();
    if (path.empty()) {
        ec = detail::path_not_found_error();
        return {};
    }
    // Shorten the path from the end until what is left resolves; the elements taken off are the
    // part that does not exist. A relative path none of whose elements exist stands on the current
    // directory.
    path_string head = path;
    std::vector<path_string> rest;
    path_string resolved;
    for (;;) {
        error_code error;
        resolved = detail::final_path(head.empty() ? path_string(1, path_char('.')) : head, error);
        if (!error)
            break;
        const path_view parent = parent_path(head);
        if (!detail::is_resolved_in_part(error) || head.empty() || parent.size() == head.size()) {
            ec = error;
            return {};
        }
        rest.emplace_back(last_element(head));
        head.resize(parent.size());
    }

    // The rest, lexically: "." goes, ".." takes the element before it, of the rest or of the
    // resolved part (which holds no links any more).
    std::vector<path_view> normal;
    for (auto it = rest.rbegin(); it != rest.rend(); ++it) {
        const path_view element = *it;
        if (element.empty() || is_dot(element))
            continue;
        if (!is_dot_dot(element))
            normal.push_back(element);
        else if (!normal.empty())
            normal.pop_back();
        else
            resolved.resize(parent_path(resolved).size());
    }
    for (const path_view element : normal) {
        if (!resolved.empty() && !is_os_separator(resolved.back()))
            resolved += native_separator;
        resolved.append(element);
    }
    return resolved;
}

path_string relative(const path_string& path, const path_string& base, error_code& ec)
{
    const path_string canonical_path = weakly_canonical(path, ec);
    if (ec)
        return {};
    const path_string canonical_base = weakly_canonical(base, ec);
    if (ec)
        return {};
    // Different volumes have no relative path between them.
    if (!detail::same_volume(canonical_path, canonical_base)) {
        ec = generic_error(generic_invalid_argument);
        return {};
    }
    path_string result = lexically_relative(canonical_path, canonical_base);
    if (result.empty())
        ec = generic_error(generic_invalid_argument);
    return result;
}

} // namespace updater::fs
