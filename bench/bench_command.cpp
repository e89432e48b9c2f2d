// Runs one command the way bench_export measures the tool, as the reference
// side of a comparison: wall time from its start to its end, and the CPU time
// and peak resident size of all its processes.
//
//   bench_command <program> [arguments...]
//
// Prints "key value" lines: wall_ms, cpu_ms (user and system time of every
// process the command ran, helpers that outlived their parent included) and
// maxrss_kib (the largest of them). Exits with 1 when the command fails.

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_command <program> [arguments...]\n");
        return 2;
    }
    // Orphaned grandchildren come to this process, so their CPU time is
    // counted once they are reaped below.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);

    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child < 0) {
        std::perror("bench_command: fork");
        return 1;
    }
    if (child == 0) {
        ::execvp(argv[1], argv + 1);
        std::perror("bench_command: exec");
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    const auto end = std::chrono::steady_clock::now();
    while (::waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
    }

    struct rusage usage {};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    const double cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    std::printf("wall_ms %.1f\ncpu_ms %.1f\nmaxrss_kib %ld\n",
                std::chrono::duration<double, std::milli>(end - start).count(), cpuMs, usage.ru_maxrss);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench_command: %s failed (status %d)\n", argv[1], status);
        return 1;
    }
    return 0;
}
