// Starts commands over and over the same way (fork, execv, wait4), taking
// turns so that both see the same machine, and reports each command's
// median wall time per run and its largest resident set.
//
//   spawn_bench RUNS PROGRAM [ARG...] [-- PROGRAM [ARG...]]...
//
// Output, one line per command in the order given:
//   <program> median_us=<n> cpu_us=<n> max_rss_kib=<n> failures=<n>
// (cpu_us: mean user and system time of one run)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct command {
    std::vector<char *> argv;
    std::vector<long long> times_ns;
    long max_rss_kib = 0;
    long long cpu_ns = 0;  // user and system time of all runs
    int failures = 0;
};

long long now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

// One run with standard input and output on /dev/null; false if it failed.
bool run(command &c) {
    long long start = now_ns();
    pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
        }
        execv(c.argv[0], c.argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid)
        return false;
    c.times_ns.push_back(now_ns() - start);
    c.max_rss_kib = std::max(c.max_rss_kib, usage.ru_maxrss);
    c.cpu_ns += (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000000LL +
                (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1000LL;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: spawn_bench RUNS PROGRAM [ARG...] [-- PROGRAM [ARG...]]...\n");
        return 2;
    }
    int runs = std::atoi(argv[1]);
    if (runs < 1 || runs > 1000000) {
        std::fprintf(stderr, "spawn_bench: bad run count\n");
        return 2;
    }
    std::vector<command> commands(1);
    for (int i = 2; i < argc; i++) {
        if (std::strcmp(argv[i], "--") == 0) {
            commands.emplace_back();
            continue;
        }
        commands.back().argv.push_back(argv[i]);
    }
    for (command &c : commands) {
        if (c.argv.empty()) {
            std::fprintf(stderr, "spawn_bench: empty command\n");
            return 2;
        }
        c.argv.push_back(nullptr);
        c.times_ns.reserve(static_cast<size_t>(runs));
    }
    for (int r = 0; r < runs; r++)
        for (command &c : commands)
            if (!run(c))
                c.failures++;
    for (command &c : commands) {
        std::vector<long long> &t = c.times_ns;
        long long median = 0;
        if (!t.empty()) {
            std::nth_element(t.begin(), t.begin() + static_cast<long>(t.size() / 2), t.end());
            median = t[t.size() / 2];
        }
        std::printf("%s median_us=%.1f cpu_us=%.1f max_rss_kib=%ld failures=%d\n", c.argv[0],
                    static_cast<double>(median) / 1000.0,
                    static_cast<double>(c.cpu_ns) / 1000.0 / runs, c.max_rss_kib, c.failures);
    }
    return 0;
}
