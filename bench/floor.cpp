// The floor of the benchmark: the least that installing its update on one volume takes. It knows
// the trees from tree.h, so it examines nothing; it performs only the renames, and one check (and,
// where missing, one creation) per destination folder, in the helper's order.
//
//     bench_floor install|rollback <n> <install_dir> <staging_dir>
//
// install: retired files to the pending backup, then each staged file (the installed one aside
// first when it is replaced), then the pending backup renamed to the backup. rollback: the same
// until the move-in of the blocked file fails, then every rename undone, newest first.
//
// Then, timed apart and printed as "removal_ns N", the folders that the helper must also remove:
// after an install the emptied staging folder, after a rollback the emptied pending backup and
// the folders made for new files. The runner counts that time apart from the floor.
#include "tree.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string parent_of(const std::string& path) { return path.substr(0, path.rfind('/')); }

// Removes a folder and what it holds, depth first, the way the helper's remove_all does.
void remove_tree(int at, const char* name)
{
    if (::unlinkat(at, name, 0) == 0 || errno != EISDIR)
        return;
    const int fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd)) {
        while (const dirent* entry = ::readdir(dir))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                remove_tree(fd, entry->d_name);
        ::closedir(dir);
    }
    ::unlinkat(at, name, AT_REMOVEDIR);
}

long long now_ns()
{
    timespec t;
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

class floor_run {
public:
    // A folder is checked once: a stat, and a mkdir (parents first) when it is missing.
    bool ensure_folder(const std::string& folder)
    {
        if (known_folders_.contains(folder))
            return true;
        struct stat st;
        if (::stat(folder.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode))
                return false;
        } else if (errno != ENOENT || !ensure_folder(parent_of(folder)) || ::mkdir(folder.c_str(), 0777) != 0) {
            return false;
        } else {
            created_.push_back(folder);
        }
        known_folders_.insert(folder);
        return true;
    }

    // The folders this run made, in the order made.
    const std::vector<std::string>& created() const { return created_; }

    void add_known(const std::string& folder) { known_folders_.insert(folder); }

    bool move(const std::string& from, const std::string& to)
    {
        if (!ensure_folder(parent_of(to)) || ::rename(from.c_str(), to.c_str()) != 0)
            return false;
        done_.push_back({from, to});
        return true;
    }

    void undo_all()
    {
        for (auto move = done_.rbegin(); move != done_.rend(); ++move)
            if (!ensure_folder(parent_of(move->from)) || ::rename(move->to.c_str(), move->from.c_str()) != 0)
                std::fprintf(stderr, "floor: cannot undo %s: %s\n", move->to.c_str(), std::strerror(errno));
    }

private:
    struct done_move {
        std::string from;
        std::string to;
    };
    std::unordered_set<std::string> known_folders_;
    std::vector<std::string> created_;
    std::vector<done_move> done_;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: bench_floor install|rollback <n> <install_dir> <staging_dir>\n");
        return 2;
    }
    const std::string mode = argv[1];
    const bool rollback = mode == "rollback";
    const std::size_t n = std::strtoull(argv[2], nullptr, 10);
    const std::string install = argv[3];
    const std::string staging = argv[4];
    const std::string pending = install + "/.update-backup.tmp";

    std::vector<bench::tree_file> files = bench::files_of(n, bench::tree_mix::realistic);
    // The manifest is staged and replaces the installed one; it takes its sorted place.
    bench::tree_file manifest{bench::manifest_name, bench::file_kind::replaced, 0};
    files.insert(std::upper_bound(files.begin(), files.end(), manifest,
                                  [](const bench::tree_file& a, const bench::tree_file& b) {
                                      return bench::manifest_less(a.rel, b.rel);
                                  }),
                 manifest);

    floor_run run;
    if (::mkdir(pending.c_str(), 0777) != 0) {
        std::perror("floor: pending backup");
        return 1;
    }
    run.add_known(pending);
    for (const bench::tree_file& file : files)
        if (file.kind == bench::file_kind::retired && !run.move(install + "/" + file.rel, pending + "/" + file.rel)) {
            std::perror(file.rel.c_str());
            return 1;
        }
    for (const bench::tree_file& file : files) {
        if (file.kind == bench::file_kind::retired)
            continue;
        if (file.kind == bench::file_kind::replaced && !run.move(install + "/" + file.rel, pending + "/" + file.rel)) {
            std::perror(file.rel.c_str());
            return 1;
        }
        if (!run.move(staging + "/" + file.rel, install + "/" + file.rel)) {
            std::perror(file.rel.c_str());
            return 1;
        }
    }
    if (rollback) {
        if (run.move(staging + "/" + bench::blocked_staged_file, install + "/" + bench::blocked_staged_file)) {
            std::fprintf(stderr, "floor: the blocked file moved in\n");
            return 1;
        }
        run.undo_all();
        const long long start = now_ns();
        for (auto folder = run.created().rbegin(); folder != run.created().rend(); ++folder)
            if (folder->compare(0, pending.size() + 1, pending + "/") != 0)
                ::rmdir(folder->c_str());
        remove_tree(AT_FDCWD, pending.c_str());
        std::printf("removal_ns %lld\n", now_ns() - start);
        return 0;
    }
    if (::rename(pending.c_str(), (install + "/.update-backup").c_str()) != 0) {
        std::perror("floor: commit");
        return 1;
    }
    const long long start = now_ns();
    remove_tree(AT_FDCWD, staging.c_str());
    std::printf("removal_ns %lld\n", now_ns() - start);
    return 0;
}
