// The benchmark runner: generates the installation and the staged update for each size, runs the
// whole helper and its floor alternately on fresh copies of the trees, counts system calls under
// strace, and prints the table with the targets.
//
//     bench_runner --helper PATH --floor PATH --launch PATH --work DIR --shm DIR
//                  [--sizes 1000,10000,100000] [--runs R] [--no-strace]
//
// The trees of each size are generated once under DIR/pristine and copied as hard links for every
// run, so a run costs no file data to prepare; the staging folder for the run across file systems
// lives under the --shm folder (another file system) and is removed at the end.
#include "tree.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Bump when tree.h or the generator changes, so that older pristine trees are made again.
constexpr const char* tree_version = "1";
constexpr int removal_threads = 16;

struct options {
    std::string helper;
    std::string floor_program;
    std::string launcher;
    fs::path work;
    fs::path shm;
    std::vector<std::size_t> sizes{1000, 10000, 100000};
    int runs = 0; // 0: by size
    bool strace = true;
};

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "bench: %s\n", what.c_str());
    std::exit(1);
}

// ---- generation -----------------------------------------------------------------------------

void write_file(const fs::path& path, std::size_t size, std::size_t seed)
{
    static std::string data;
    data.resize(size);
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>('a' + (seed + i * 7) % 26);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, data.data(), size) != static_cast<ssize_t>(size) || ::close(fd) != 0)
        fail("cannot write " + path.string() + ": " + std::strerror(errno));
}

void write_manifest(const fs::path& path, const std::vector<std::string>& lines)
{
    std::ofstream out(path, std::ios::binary);
    for (const std::string& line : lines)
        out << line << '\n';
    if (!out.flush())
        fail("cannot write " + path.string());
}

class folder_maker {
public:
    void ensure_parent(const fs::path& file)
    {
        fs::path parent = file.parent_path();
        if (parent == last_)
            return;
        fs::create_directories(parent);
        last_ = parent;
    }

private:
    fs::path last_;
};

std::string mix_name(bench::tree_mix mix)
{
    switch (mix) {
    case bench::tree_mix::realistic:
        return "realistic";
    case bench::tree_mix::replaced_only:
        return "replaced";
    case bench::tree_mix::added_only:
        return "added";
    }
    return "?";
}

struct fixture {
    std::size_t n;
    bench::tree_mix mix;
    fs::path install;
    fs::path staging;
    std::vector<bench::tree_file> files;
    std::size_t staged_count = 0; // files moved in, the manifest included
};

// The installation: the replaced and retired files, one kept file that the update leaves alone,
// a "user" folder of n/100 files, and a manifest of its files. The update: the replaced and new
// files, a "user" file that is never installed, and a manifest of the new version.
fixture make_fixture(const fs::path& root, std::size_t n, bench::tree_mix mix)
{
    fixture f{n, mix, root / "install", root / "staging", bench::files_of(n, mix)};
    for (const bench::tree_file& file : f.files)
        f.staged_count += file.kind != bench::file_kind::retired;
    ++f.staged_count;

    const fs::path stamp = root / "complete";
    {
        std::ifstream in(stamp);
        std::string version;
        if (in >> version && version == tree_version)
            return f;
    }
    std::printf("generating %s tree of %zu files in %s\n", mix_name(mix).c_str(), n, root.c_str());
    std::fflush(stdout);
    fs::remove_all(root);
    fs::create_directories(f.install / "user" / "profiles");
    fs::create_directories(f.staging / "user");

    std::vector<std::string> installed_lines{"kept.dat"};
    std::vector<std::string> staged_lines{"kept.dat"};
    write_file(f.install / "kept.dat", 2048, 1);
    folder_maker install_folders;
    folder_maker staging_folders;
    for (const bench::tree_file& file : f.files) {
        if (file.kind != bench::file_kind::added) {
            install_folders.ensure_parent(f.install / file.rel);
            write_file(f.install / file.rel, bench::size_of(file.index, true), file.index);
            installed_lines.push_back(file.rel);
        }
        if (file.kind != bench::file_kind::retired) {
            staging_folders.ensure_parent(f.staging / file.rel);
            write_file(f.staging / file.rel, bench::size_of(file.index, false), file.index + 3);
            staged_lines.push_back(file.rel);
        }
    }
    write_file(f.install / "user" / "settings.ini", 300, 2);
    for (std::size_t i = 0; i < std::max<std::size_t>(5, n / 100); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "p%05zu.dat", i);
        write_file(f.install / "user" / "profiles" / name, 1024, i);
    }
    write_file(f.staging / "user" / "defaults.ini", 300, 4);
    write_manifest(f.install / bench::manifest_name, installed_lines);
    write_manifest(f.staging / bench::manifest_name, staged_lines);

    std::ofstream(stamp) << tree_version << '\n';
    return f;
}

// ---- processes ------------------------------------------------------------------------------

struct run_result {
    double wall_ms = 0;
    double cpu_ms = 0;
    double peak_mib = 0;
    int exit_code = -1;
    std::string output; // standard output
};

std::string read_text(const fs::path& path);

// Runs a program through bench_launch, which measures it; its standard output and error go to
// files next to the launcher's result.
run_result run_process(const std::string& launcher, const std::vector<std::string>& args, const fs::path& files)
{
    const fs::path result_file = files / "last-result.txt";
    const fs::path output_file = files / "last-stdout.txt";
    const fs::path error_file = files / "last-stderr.txt";
    std::vector<std::string> full{launcher, result_file.string()};
    full.insert(full.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (const std::string& arg : full)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    fs::remove(result_file);
    const pid_t child = ::fork();
    if (child < 0)
        fail("fork failed");
    if (child == 0) {
        const int null = ::open("/dev/null", O_RDONLY);
        const int out = ::open(output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(error_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(null, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::execv(argv[0], argv.data());
        std::fprintf(stderr, "cannot start %s: %s\n", argv[0], std::strerror(errno));
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            fail("waitpid failed");
    std::istringstream measured(read_text(result_file));
    long long wall_ns = 0;
    long long cpu_ns = 0;
    long peak_kib = 0;
    run_result result;
    if (!(measured >> wall_ns >> cpu_ns >> peak_kib >> result.exit_code))
        fail("bench_launch measured nothing: " + read_text(error_file));
    result.wall_ms = static_cast<double>(wall_ns) / 1e6;
    result.cpu_ms = static_cast<double>(cpu_ns) / 1e6;
    result.peak_mib = static_cast<double>(peak_kib) / 1024;
    result.output = read_text(output_file);
    return result;
}

std::string read_text(const fs::path& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// ---- one run's trees ------------------------------------------------------------------------

enum class scenario { install, rollback, cross };

const char* scenario_title(scenario s)
{
    switch (s) {
    case scenario::install:
        return "install and commit";
    case scenario::rollback:
        return "failed install, everything rolled back";
    case scenario::cross:
        return "install with the staging folder on another file system";
    }
    return "?";
}

struct bench_context {
    options opts;
    fs::path run_dir;     // on the work volume
    fs::path shm_run_dir; // on the other file system
    fs::path app_path;    // the program the helper starts again
    fs::path stderr_file;

    run_result run(const std::vector<std::string>& args) const { return run_process(opts.launcher, args, opts.work); }

    fs::path install() const { return run_dir / "install"; }
    fs::path staging(scenario s) const { return (s == scenario::cross ? shm_run_dir : run_dir) / ".update-staging"; }
    fs::path copy_target() const { return run_dir / "cp-target"; }
};

// Calls work(i) for every i below count on several threads.
template <class Work> void parallel_for(std::size_t count, Work work)
{
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < removal_threads; ++t)
        threads.emplace_back([&] {
            for (std::size_t i = next++; i < count; i = next++)
                work(i);
        });
    for (std::thread& thread : threads)
        thread.join();
}

// remove_all on many threads. A disk mounted with "discard" answers an unlink that frees blocks
// only once the device has discarded them (observed: 3.6 ms a file here); the copies of the run
// across file systems would take minutes one by one, while the device takes many at a time.
void remove_tree(const fs::path& root)
{
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(root, ec)))
        return;
    std::vector<fs::path> files;
    std::vector<std::vector<fs::path>> folders_by_depth;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        if (it->is_directory() && !it->is_symlink()) {
            folders_by_depth.resize(std::max<std::size_t>(folders_by_depth.size(), it.depth() + 1));
            folders_by_depth[it.depth()].push_back(it->path());
        } else {
            files.push_back(it->path());
        }
    }
    parallel_for(files.size(), [&](std::size_t i) { ::unlink(files[i].c_str()); });
    for (auto level = folders_by_depth.rbegin(); level != folders_by_depth.rend(); ++level)
        parallel_for(level->size(), [&](std::size_t i) { ::rmdir((*level)[i].c_str()); });
    fs::remove_all(root);
}

void sync_volume(const fs::path& dir)
{
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::syncfs(fd);
        ::close(fd);
    }
}

void link_tree(const fs::path& from, const fs::path& to)
{
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::create_hard_links);
}

// Fresh trees for one run: the installation and the staging folder as hard links of the pristine
// ones (the staging folder on the other file system for the cross run), the blocked file for the
// rollback, and the volume synced so that no write-back of the preparation falls into the run.
void prepare(const bench_context& ctx, const fixture& f, const fs::path& shm_pristine, scenario s)
{
    remove_tree(ctx.run_dir);
    remove_tree(ctx.shm_run_dir);
    fs::create_directories(ctx.run_dir);
    link_tree(f.install, ctx.install());
    if (s == scenario::cross) {
        fs::create_directories(ctx.shm_run_dir);
        link_tree(shm_pristine, ctx.staging(s));
    } else {
        link_tree(f.staging, ctx.staging(s));
    }
    if (s == scenario::rollback) {
        write_file(ctx.install() / bench::blocker_file, 100, 5);
        fs::create_directories((ctx.staging(s) / bench::blocked_staged_file).parent_path());
        write_file(ctx.staging(s) / bench::blocked_staged_file, 100, 6);
    }
    sync_volume(ctx.run_dir);
}

std::vector<std::string> helper_args(const bench_context& ctx, scenario s)
{
    return {ctx.opts.helper, "0", ctx.staging(s).string(), ctx.install().string(), ctx.app_path.string()};
}

std::vector<std::string> floor_args(const bench_context& ctx, const fixture& f, scenario s)
{
    if (s == scenario::cross)
        return {"cp", "-r", ctx.staging(s).string(), ctx.copy_target().string()};
    return {ctx.opts.floor_program, s == scenario::rollback ? "rollback" : "install", std::to_string(f.n),
            ctx.install().string(), ctx.staging(s).string()};
}

// What the helper must have left: the new version and the committed backup, or, after the
// rollback, the old version and the staged files back in the staging folder.
void check_outcome(const bench_context& ctx, const fixture& f, scenario s, const run_result& r)
{
    const int expected = s == scenario::rollback ? 1 : 0;
    if (r.exit_code != expected)
        fail("the helper exited with " + std::to_string(r.exit_code) + ", expected " + std::to_string(expected) + ": " +
             read_text(ctx.stderr_file));
    const bool rolled_back = s == scenario::rollback;
    for (const bench::tree_file& file : f.files) {
        std::error_code ec;
        const auto installed_size = fs::file_size(ctx.install() / file.rel, ec);
        const bool present = !ec;
        bool ok = true;
        switch (file.kind) {
        case bench::file_kind::retired:
            ok = rolled_back == present;
            break;
        case bench::file_kind::added:
            ok = rolled_back != present;
            break;
        case bench::file_kind::replaced:
            ok = present && installed_size == bench::size_of(file.index, rolled_back);
            break;
        }
        if (!ok)
            fail("after the helper, " + file.rel + " is not as expected");
    }
    if (fs::exists(ctx.install() / ".update-backup.tmp") || fs::exists(ctx.install() / ".update-backup") == rolled_back)
        fail("the helper left the backup folders in an unexpected state");
}

// ---- strace ---------------------------------------------------------------------------------

struct syscall_counts {
    std::map<std::string, long> calls;
    long total = 0;
};

syscall_counts parse_strace_summary(const fs::path& file)
{
    syscall_counts counts;
    std::istringstream text(read_text(file));
    std::string line;
    while (std::getline(text, line)) {
        std::istringstream fields(line);
        std::vector<std::string> tokens;
        for (std::string token; fields >> token;)
            tokens.push_back(token);
        if (tokens.size() < 2 || !std::isdigit(static_cast<unsigned char>(tokens[0][0])))
            continue;
        const long calls = std::stol(tokens[0]);
        if (tokens.back() == "total")
            counts.total = calls;
        else
            counts.calls[tokens.back()] += calls;
    }
    if (counts.total == 0)
        fail("no strace summary in " + file.string());
    return counts;
}

syscall_counts trace_helper(const bench_context& ctx, const fixture& f, const fs::path& shm_pristine, scenario s)
{
    prepare(ctx, f, shm_pristine, s);
    const fs::path summary = ctx.opts.work / "strace-summary.txt";
    std::vector<std::string> args{"strace", "-f", "-c", "-U", "calls,errors,name", "-o", summary.string()};
    for (const std::string& arg : helper_args(ctx, s))
        args.push_back(arg);
    const run_result r = ctx.run(args);
    check_outcome(ctx, f, s, r);
    return parse_strace_summary(summary);
}

// ---- measuring ------------------------------------------------------------------------------

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

struct measurement {
    scenario what;
    std::size_t n;
    std::size_t staged;
    double helper_ms, floor_ms, ratio;
    double removal_ms, ratio_with_removal; // the folders the helper must remove besides (floor runs)
    double helper_cpu_ms, floor_cpu_ms;
    double peak_mib;
    std::optional<double> syscalls_per_staged;
    long pauses = 0;
};

// The time the floor reports for removing what the helper must remove besides its moves.
double removal_ms_of(const run_result& floor)
{
    std::istringstream output(floor.output);
    std::string key;
    long long ns = 0;
    if (output >> key >> ns && key == "removal_ns")
        return static_cast<double>(ns) / 1e6;
    return 0;
}

measurement measure(const bench_context& ctx, const fixture& f, const fs::path& shm_pristine, scenario s, int runs)
{
    std::vector<double> helper_ms, floor_ms, removal_ms, ratios, ratios_with_removal, helper_cpu, floor_cpu;
    double peak = 0;
    for (int run = 0; run < runs; ++run) {
        run_result helper;
        run_result floor;
        // Alternating which goes first cancels a drift of the machine's load within a pair.
        for (int turn = 0; turn < 2; ++turn) {
            const bool helper_turn = (turn == 0) == (run % 2 == 0);
            prepare(ctx, f, shm_pristine, s);
            if (helper_turn) {
                helper = ctx.run(helper_args(ctx, s));
                if (run == 0)
                    check_outcome(ctx, f, s, helper);
                else if (helper.exit_code != (s == scenario::rollback ? 1 : 0))
                    fail("the helper failed: " + read_text(ctx.stderr_file));
            } else {
                floor = ctx.run(floor_args(ctx, f, s));
                if (floor.exit_code != 0)
                    fail("the floor failed: " + read_text(ctx.stderr_file));
            }
        }
        const double removal = removal_ms_of(floor);
        const double floor_only = floor.wall_ms - removal;
        helper_ms.push_back(helper.wall_ms);
        floor_ms.push_back(floor_only);
        removal_ms.push_back(removal);
        ratios.push_back(helper.wall_ms / floor_only);
        ratios_with_removal.push_back(helper.wall_ms / floor.wall_ms);
        helper_cpu.push_back(helper.cpu_ms);
        floor_cpu.push_back(floor.cpu_ms);
        peak = std::max(peak, helper.peak_mib);
    }
    measurement m{s,
                  f.n,
                  f.staged_count,
                  median(helper_ms),
                  median(floor_ms),
                  median(ratios),
                  median(removal_ms),
                  median(ratios_with_removal),
                  median(helper_cpu),
                  median(floor_cpu),
                  peak,
                  std::nullopt};
    if (ctx.opts.strace) {
        const syscall_counts counts = trace_helper(ctx, f, shm_pristine, s);
        m.syscalls_per_staged = static_cast<double>(counts.total) / static_cast<double>(f.staged_count);
        for (const char* sleep : {"clock_nanosleep", "nanosleep"})
            if (auto it = counts.calls.find(sleep); it != counts.calls.end())
                m.pauses += it->second;
    }
    return m;
}

// System calls per file of each kind, all phases together: the difference between two sizes of a
// tree of only that kind, divided by the difference in files, so that the fixed cost of a run
// (start, lock, log, relaunch) drops out.
struct per_file_calls {
    double total;
    std::vector<std::pair<std::string, double>> by_call;
};

per_file_calls calls_per_file(const bench_context& ctx, bench::tree_mix mix)
{
    constexpr std::size_t small = 1000;
    constexpr std::size_t large = 10000;
    const fixture a =
        make_fixture(ctx.opts.work / "pristine" / (mix_name(mix) + "-" + std::to_string(small)), small, mix);
    const fixture b =
        make_fixture(ctx.opts.work / "pristine" / (mix_name(mix) + "-" + std::to_string(large)), large, mix);
    const syscall_counts ca = trace_helper(ctx, a, {}, scenario::install);
    const syscall_counts cb = trace_helper(ctx, b, {}, scenario::install);
    const auto files = static_cast<double>(b.staged_count - a.staged_count);
    per_file_calls result{static_cast<double>(cb.total - ca.total) / files, {}};
    for (const auto& [name, calls] : cb.calls) {
        const auto it = ca.calls.find(name);
        const double per_file = static_cast<double>(calls - (it == ca.calls.end() ? 0 : it->second)) / files;
        if (per_file >= 0.005)
            result.by_call.emplace_back(name, per_file);
    }
    std::sort(result.by_call.begin(), result.by_call.end(),
              [](const auto& x, const auto& y) { return x.second > y.second; });
    return result;
}

std::string describe(const per_file_calls& calls)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", calls.total);
    std::string out = text;
    out += " (";
    for (std::size_t i = 0; i < calls.by_call.size(); ++i) {
        std::snprintf(text, sizeof text, "%s%s %.2f", i ? ", " : "", calls.by_call[i].first.c_str(),
                      calls.by_call[i].second);
        out += text;
    }
    return out + ")";
}

// ---- report ---------------------------------------------------------------------------------

std::string machine_description(const fs::path& work)
{
    std::string cpu = "unknown CPU";
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);)
        if (line.rfind("model name", 0) == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    std::string fs_type = "?";
    std::ifstream mounts("/proc/mounts");
    std::size_t best = 0;
    const std::string work_text = fs::canonical(work).string();
    for (std::string line; std::getline(mounts, line);) {
        std::istringstream fields(line);
        std::string device, mount_point, type;
        fields >> device >> mount_point >> type;
        if (work_text.rfind(mount_point, 0) == 0 && mount_point.size() >= best) {
            best = mount_point.size();
            fs_type = type;
        }
    }
    return std::to_string(::sysconf(_SC_NPROCESSORS_ONLN)) + " x " + cpu + ", work folder on " + fs_type;
}

void print_row(const measurement& m, bool cross)
{
    char calls[32] = "-";
    if (m.syscalls_per_staged)
        std::snprintf(calls, sizeof calls, "%.2f", *m.syscalls_per_staged);
    char removal[64] = "| - | - ";
    if (!cross)
        std::snprintf(removal, sizeof removal, "| %.1f | %.2f ", m.removal_ms, m.ratio_with_removal);
    std::printf("| %zu | %.1f | %.1f | %.2f %s| %.1f | %.1f | %.1f | %s | %.1f |\n", m.n, m.helper_ms, m.floor_ms,
                m.ratio, removal, m.helper_cpu_ms, m.floor_cpu_ms, 1000 * m.helper_ms / static_cast<double>(m.n), calls,
                m.peak_mib);
}

void print_table(scenario s, const std::vector<measurement>& rows)
{
    const bool cross = s == scenario::cross;
    std::printf("\n%s%s\n\n", scenario_title(s),
                s == scenario::rollback ? " (the failing move fails at once, without a retry pause: nothing subtracted)"
                : cross                 ? " (the floor is cp -r of the same staged tree to the installation's volume)"
                                        : "");
    std::printf(
        "| N | helper ms | %s ms | ratio%s | floor removal ms | ratio to whole floor | helper cpu ms | %s cpu ms | "
        "helper us/file | calls/file | peak MiB |\n",
        cross ? "cp -r" : "floor moves", cross ? "" : " to moves", cross ? "cp -r" : "floor");
    std::printf("|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n");
    for (const measurement& m : rows)
        if (m.what == s)
            print_row(m, cross);
}

struct target_line {
    std::string text;
    bool met;
};

void print_targets(const std::vector<measurement>& rows, const std::optional<per_file_calls>& replaced,
                   const std::optional<per_file_calls>& added)
{
    const auto find = [&](scenario s, std::size_t n) -> const measurement* {
        for (const measurement& m : rows)
            if (m.what == s && m.n == n)
                return &m;
        return nullptr;
    };
    std::size_t largest = 0;
    std::size_t smallest = ~std::size_t{0};
    for (const measurement& m : rows) {
        largest = std::max(largest, m.n);
        smallest = std::min(smallest, m.n);
    }
    std::vector<target_line> lines;
    char text[256];
    if (const measurement* m = find(scenario::install, largest)) {
        std::snprintf(text, sizeof text,
                      "install at N=%zu: %.2f x the floor with its removal (at most 1.30); %.2f x its moves alone",
                      largest, m->ratio_with_removal, m->ratio);
        lines.push_back({text, m->ratio_with_removal <= 1.3});
        if (const measurement* small = find(scenario::install, smallest); small && small != m) {
            const double growth =
                (m->helper_ms / static_cast<double>(m->n)) / (small->helper_ms / static_cast<double>(small->n));
            std::snprintf(text, sizeof text, "cost per file at N=%zu: %.2f x that at N=%zu (at most 1.30)", largest,
                          growth, smallest);
            lines.push_back({text, growth <= 1.3});
        }
        std::snprintf(text, sizeof text, "peak memory at N=%zu: %.1f MiB (at most 64)", largest, m->peak_mib);
        lines.push_back({text, m->peak_mib <= 64});
    }
    if (const measurement* m = find(scenario::rollback, largest)) {
        std::snprintf(
            text, sizeof text,
            "rollback at N=%zu: %.2f x the floor with its removal (at most 1.50); %.2f x its moves alone; retry "
            "pauses taken: %ld",
            largest, m->ratio_with_removal, m->ratio, m->pauses);
        lines.push_back({text, m->ratio_with_removal <= 1.5 && m->pauses == 0});
    }
    if (const measurement* m = find(scenario::cross, largest)) {
        std::snprintf(text, sizeof text, "across file systems at N=%zu: %.2f x the throughput of cp -r (at least 0.80)",
                      largest, 1 / m->ratio);
        lines.push_back({text, 1 / m->ratio >= 0.8});
    }
    if (replaced) {
        std::snprintf(text, sizeof text, "system calls per replaced file: %.2f (at most 6)", replaced->total);
        lines.push_back({text, replaced->total <= 6});
    }
    if (added) {
        std::snprintf(text, sizeof text, "system calls per new file: %.2f (at most 4)", added->total);
        lines.push_back({text, added->total <= 4});
    }
    std::printf("\ntargets\n\n");
    for (const target_line& line : lines)
        std::printf("- %s: %s\n", line.met ? "met" : "NOT MET", line.text.c_str());
}

options parse_options(int argc, char** argv)
{
    options opts;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                fail(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--helper")
            opts.helper = value();
        else if (arg == "--floor")
            opts.floor_program = value();
        else if (arg == "--launch")
            opts.launcher = value();
        else if (arg == "--work")
            opts.work = value();
        else if (arg == "--shm")
            opts.shm = value();
        else if (arg == "--runs")
            opts.runs = std::stoi(value());
        else if (arg == "--no-strace")
            opts.strace = false;
        else if (arg == "--sizes") {
            opts.sizes.clear();
            std::istringstream list(value());
            for (std::string size; std::getline(list, size, ',');)
                opts.sizes.push_back(std::stoul(size));
        } else
            fail("unknown option " + arg);
    }
    if (opts.helper.empty() || opts.floor_program.empty() || opts.launcher.empty() || opts.work.empty() ||
        opts.shm.empty())
        fail("usage: bench_runner --helper PATH --floor PATH --launch PATH --work DIR --shm DIR [--sizes N,...] "
             "[--runs R] "
             "[--no-strace]");
    return opts;
}

} // namespace

int main(int argc, char** argv)
{
    bench_context ctx;
    ctx.opts = parse_options(argc, argv);
    fs::create_directories(ctx.opts.work);
    fs::create_directories(ctx.opts.shm);
    ctx.opts.work = fs::canonical(ctx.opts.work);
    ctx.opts.shm = fs::canonical(ctx.opts.shm);
    ctx.run_dir = ctx.opts.work / "run";
    ctx.shm_run_dir = ctx.opts.shm / "run";
    ctx.stderr_file = ctx.opts.work / "last-stderr.txt"; // written by run_process
    // The relaunched application does nothing; its folder holds the helper's lock file.
    fs::create_directories(ctx.opts.work / "app");
    ctx.app_path = ctx.opts.work / "app" / "quillmoor";
    if (!fs::is_symlink(ctx.app_path))
        fs::create_symlink("/bin/true", ctx.app_path);
    // No message dialog: the rollback's message goes to standard error only.
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");

    std::vector<measurement> rows;
    for (std::size_t n : ctx.opts.sizes) {
        const fixture f = make_fixture(ctx.opts.work / "pristine" / ("realistic-" + std::to_string(n)), n,
                                       bench::tree_mix::realistic);
        const fs::path shm_pristine = ctx.opts.shm / ("staging-" + std::to_string(n));
        fs::remove_all(shm_pristine);
        fs::copy(f.staging, shm_pristine, fs::copy_options::recursive);
        const int runs = ctx.opts.runs > 0 ? ctx.opts.runs : n <= 1000 ? 11 : n <= 10000 ? 7 : 3;
        for (scenario s : {scenario::install, scenario::rollback, scenario::cross}) {
            std::printf("measuring %s, N=%zu, %d runs each\n", scenario_title(s), n, runs);
            std::fflush(stdout);
            rows.push_back(measure(ctx, f, shm_pristine, s, runs));
        }
        fs::remove_all(shm_pristine);
    }
    std::optional<per_file_calls> replaced;
    std::optional<per_file_calls> added;
    if (ctx.opts.strace) {
        replaced = calls_per_file(ctx, bench::tree_mix::replaced_only);
        added = calls_per_file(ctx, bench::tree_mix::added_only);
    }
    remove_tree(ctx.run_dir);
    remove_tree(ctx.opts.shm);

    std::printf("\nquillmoor-updater benchmark: %s\n", machine_description(ctx.opts.work).c_str());
    std::printf("Times are medians of runs in which the helper and its floor alternate; ratios are medians of\n"
                "the per-pair ratios. The floor makes the renames and the folder checks and creations of the install\n"
                "(its moves), then removes what the install must remove besides: the emptied staging folder after a\n"
                "commit; the emptied pending backup and the folders made for new files after a rollback. Both are\n"
                "timed apart; ratio to whole floor is the helper's time over the floor's whole run. cpu is user +\n"
                "system time; calls/file is every system call of the helper process and its children (strace -f\n"
                "-c) divided by the staged files moved in.\n");
    for (scenario s : {scenario::install, scenario::rollback, scenario::cross})
        print_table(s, rows);
    if (replaced && added) {
        std::printf("\nsystem calls per file, all phases, from strace -f -c of trees of 1,000 and 10,000 files of one "
                    "kind:\n\n");
        std::printf("- per replaced file: %s\n", describe(*replaced).c_str());
        std::printf("- per new file: %s\n", describe(*added).c_str());
    }
    print_targets(rows, replaced, added);
    return 0;
}
