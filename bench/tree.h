// The shape of the benchmark's installation and staged update, shared by the generator (runner.cpp)
// and the floor (floor.cpp) so that both see the same files in the same order.
//
// Files sit 16 to a leaf folder, three folder levels deep: "pkgAAA/libB/dirC/fNNNNNNN.dat". In the
// realistic mix a leaf folder "dir8" is retired whole, a "dir9" is new whole, and every other leaf
// holds five replaced files to three new ones in each run of eight: half of all files are
// replaced, a tenth retired, the rest new.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

enum class file_kind { replaced, retired, added };

enum class tree_mix {
    realistic,     // half replaced, a tenth retired, the rest new
    replaced_only, // every file replaces an installed one
    added_only,    // every file is new to the installation
};

struct tree_file {
    std::string rel;
    file_kind kind;
    std::size_t index;
};

inline constexpr std::size_t files_per_folder = 16;

inline const char* const manifest_name = "install-manifest.txt";

// A staged file whose installed parent is a file that the update keeps: its move-in cannot create
// that folder, fails at once without a retry pause, and makes the helper roll everything back. It
// sorts after every other staged path, so it is the last move.
inline const char* const blocker_file = "zzz-blocker";
inline const char* const blocked_staged_file = "zzz-blocker/last.dat";

inline std::string file_path(std::size_t index)
{
    const std::size_t leaf = index / files_per_folder;
    char text[64];
    std::snprintf(text, sizeof text, "pkg%03zu/lib%zu/dir%zu/f%07zu.dat", leaf / 100, leaf / 10 % 10, leaf % 10, index);
    return text;
}

inline file_kind kind_of(std::size_t index, tree_mix mix)
{
    if (mix == tree_mix::replaced_only)
        return file_kind::replaced;
    if (mix == tree_mix::added_only)
        return file_kind::added;
    const std::size_t leaf_digit = index / files_per_folder % 10;
    if (leaf_digit == 8)
        return file_kind::retired;
    if (leaf_digit == 9)
        return file_kind::added;
    return index % 8 < 5 ? file_kind::replaced : file_kind::added;
}

// The helper's order of relative paths: element by element, the end of an element before any
// character. The generated names have fixed widths, so "/" sorting first is all it takes.
inline bool manifest_less(const std::string& a, const std::string& b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        const auto rank = [](char c) { return c == '/' ? 0 : static_cast<unsigned char>(c) + 1; };
        return rank(x) < rank(y);
    });
}

// Every file of the update, in the helper's order.
inline std::vector<tree_file> files_of(std::size_t n, tree_mix mix)
{
    std::vector<tree_file> files;
    files.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        files.push_back({file_path(i), kind_of(i, mix), i});
    std::sort(files.begin(), files.end(),
              [](const tree_file& a, const tree_file& b) { return manifest_less(a.rel, b.rel); });
    return files;
}

// The size of a file's staged (or, with installed, its installed) version: 512 bytes to 8 KiB,
// spread evenly, about 4.3 KiB on average.
inline std::size_t size_of(std::size_t index, bool installed)
{
    const std::size_t mixed = (index * 2654435761u + (installed ? 12345u : 0u)) >> 7;
    return 512 + mixed % 7680;
}

} // namespace bench
