// Runs one program for the benchmark and writes what was measured of it to RESULT_FILE:
// "wall_ns cpu_ns peak_kib exit_code".
//
//     bench_launch RESULT_FILE PROGRAM ARG...
//
// A small process of its own: a process's peak memory counts what it held before its exec, so a
// program forked straight from the runner would show the runner's memory, not its own.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

long long nanoseconds(const timespec& t) { return static_cast<long long>(t.tv_sec) * 1000000000 + t.tv_nsec; }
long long nanoseconds(const timeval& t) { return static_cast<long long>(t.tv_sec) * 1000000000 + t.tv_usec * 1000LL; }

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_launch RESULT_FILE PROGRAM ARG...\n");
        return 2;
    }
    timespec start;
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t child = ::fork();
    if (child < 0) {
        std::perror("bench_launch: fork");
        return 1;
    }
    if (child == 0) {
        ::execvp(argv[2], argv + 2);
        std::fprintf(stderr, "bench_launch: cannot start %s: %s\n", argv[2], std::strerror(errno));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    while (::wait4(child, &status, 0, &usage) < 0)
        if (errno != EINTR) {
            std::perror("bench_launch: wait4");
            return 1;
        }
    timespec end;
    ::clock_gettime(CLOCK_MONOTONIC, &end);

    std::FILE* result = std::fopen(argv[1], "w");
    if (!result) {
        std::perror(argv[1]);
        return 1;
    }
    const int exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::fprintf(result, "%lld %lld %ld %d\n", nanoseconds(end) - nanoseconds(start),
                 nanoseconds(usage.ru_utime) + nanoseconds(usage.ru_stime), usage.ru_maxrss, exit_code);
    return std::fclose(result) == 0 ? 0 : 1;
}
