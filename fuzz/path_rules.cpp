// The path rules of the platform it is built on (POSIX: "/" separates, no root names): the last
// element, the parent and join_path, each checked against how the others and the input relate.
// The input is a base and a relative path, split at the first NUL byte (else in the middle).
#include "updater/fs/path.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using updater::path_string;
using updater::path_view;

static_assert(!updater::windows_path_rules, "the Windows grammar is built for Windows only");

void check(bool holds, const char* property, path_view a, path_view b = {})
{
    if (holds)
        return;
    std::fprintf(stderr, "violated: %s\n  a: \"%.*s\"\n  b: \"%.*s\"\n", property, static_cast<int>(a.size()), a.data(),
                 static_cast<int>(b.size()), b.data());
    std::abort();
}

bool only_separators(path_view path)
{
    return std::all_of(path.begin(), path.end(), [](char c) { return c == '/'; });
}

// The elements of a relative path, a trailing separator giving no empty one.
std::vector<path_view> elements_of(path_view path)
{
    std::vector<path_view> elements;
    std::size_t at = 0;
    while (at < path.size()) {
        std::size_t end = path.find('/', at);
        if (end == path_view::npos)
            end = path.size();
        if (end > at)
            elements.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    return elements;
}

// last_element and parent_path of one path.
void check_split(path_view path)
{
    const path_view last = updater::last_element(path);
    const path_view parent = updater::parent_path(path);
    check(path.ends_with(last), "the last element is a suffix", path, last);
    check(last.find('/') == path_view::npos, "the last element holds no separator", path, last);
    check(path.starts_with(parent), "the parent is a prefix", path, parent);
    check(parent.size() + last.size() <= path.size(), "parent and last element do not overlap", path, parent);
    check(only_separators(path.substr(parent.size(), path.size() - parent.size() - last.size())),
          "only separators stand between the parent and the last element", path, parent);
    if (only_separators(path)) {
        check(parent == path && last.empty(), "a root or empty path is its own parent", path, parent);
    } else {
        check(parent.size() < path.size(), "a path with an element has a shorter parent", path, parent);
        check(only_separators(parent) || parent.back() != '/', "the parent keeps no trailing separator but a root",
              path, parent);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const path_view input(reinterpret_cast<const char*>(data), size);
    std::size_t split = input.find('\0');
    const path_view base = input.substr(0, split == path_view::npos ? size / 2 : split);
    const path_view rel = split == path_view::npos ? input.substr(size / 2) : input.substr(split + 1);

    check_split(base);
    check_split(rel);

    const path_string joined = updater::join_path(base, rel);
    check_split(joined);

    // A relative path from a manifest may use "\"; on POSIX it becomes "/".
    path_string generic(rel);
    std::replace(generic.begin(), generic.end(), '\\', '/');
    if (!generic.empty() && generic[0] == '/') {
        check(joined == generic, "an absolute rel replaces the base", base, rel);
        return 0;
    }
    const bool needs_separator = !base.empty() && base.back() != '/';
    check(joined == path_string(base) + (needs_separator ? "/" : "") + generic,
          "rel follows the base after one separator", base, rel);
    if (generic.empty())
        return 0;

    check(updater::last_element(joined) == updater::last_element(generic), "join keeps rel's last element", base, rel);
    const path_view rel_parent = updater::parent_path(generic);
    if (rel_parent.empty()) {
        // One element joined to the base: its parent is the base less its trailing separators.
        path_view expected = base;
        if (!only_separators(base))
            while (expected.back() == '/')
                expected.remove_suffix(1);
        check(updater::parent_path(joined) == expected, "the parent of base joined with one element is the base", base,
              rel);
    } else {
        check(updater::parent_path(joined) == updater::join_path(base, rel_parent),
              "the parent of a join is the base joined with rel's parent", base, rel);
    }

    // A relative path of plain elements comes back from the base, elements joined by one "/".
    const std::vector<path_view> elements = elements_of(generic);
    const bool plain = generic.back() != '/' && std::none_of(elements.begin(), elements.end(),
                                                             [](path_view e) { return e == "." || e == ".."; });
    if (plain) {
        path_string expected;
        for (path_view element : elements)
            expected.append(expected.empty() ? "" : "/").append(element);
        check(updater::lexically_relative(joined, base) == expected, "join then lexically_relative gives rel back",
              base, rel);
    }
    return 0;
}
