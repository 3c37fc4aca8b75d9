// Throughput of the service log capture against s6-log and svlogd, with cat
// into a file as the floor: the same bytes (text lines with colour
// sequences and CR LF ends) go through each, written in 4096-byte writes.
// Meant to run as root in a private mount namespace whose /var/log and DIR
// are tmpfs (scripts/bench_servicelog sets that up).
//   servicelog_bench DIR [MIB [ROUNDS [ONLY]]]
// ONLY names one contender to run alone (for profiling).
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "servicelog/servicelog.h"

namespace {

constexpr size_t write_size = 4096;

double now_s() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string make_input(size_t bytes) {
    static const char *const lines[] = {
        "[seedcfg] \x1b[1;32mconfiguration ready\x1b[0m for instance 3f2a-%06d\r\n",
        "dashwick: GET /api/system 200 in %d us\n",
        "\x1b]0;build %d\x07\x1b[33mwarning:\x1b[0m unused variable in unit %d\n",
        "plain line %d of the service log with some ordinary words in it, and a tab\there\n",
        "progress %d%%\r\x1b[K\x1b[1;34m====>\x1b[0m\r\n",
    };
    std::string out;
    out.reserve(bytes + 256);
    char line[256];
    for (int i = 0; out.size() < bytes; i++) {
        int n = snprintf(line, sizeof line, lines[i % 5], i, i);
        out.append(line, static_cast<size_t>(n));
    }
    out.resize(bytes);
    return out;
}

void write_all(int fd, const std::string &data) {
    for (size_t at = 0; at < data.size();) {
        ssize_t wrote = write(fd, data.data() + at, std::min(write_size, data.size() - at));
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) _exit(1);
        at += static_cast<size_t>(wrote);
    }
}

// Waits for every descendant (this process is their reaper); false when
// one of them failed.
bool wait_all() {
    bool ok = true;
    for (;;) {
        int status = 0;
        pid_t done = waitpid(-1, &status, 0);
        if (done < 0 && errno == EINTR) continue;
        if (done < 0) return ok;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ok = false;
    }
}

// One run of the capture: a child starts it and writes the input; the
// time ends when its log reader has ended.
double run_capture(const std::string &input) {
    for (const char *suffix : {"", ".1", ".2", ".3"}) unlink((std::string("/var/log/bench.log") + suffix).c_str());
    double start = now_s();
    pid_t child = fork();
    if (child == 0) {
        unsetenv("VORNA_LOG_SERVICE");
        service_log_start("bench");
        write_all(1, input);
        _exit(0);
    }
    if (child < 0 || !wait_all()) return -1;
    return now_s() - start;
}

// One run of a logger program reading the input on its standard input.
double run_program(const std::string &input, const std::vector<std::string> &argv) {
    int ends[2];
    if (pipe(ends) != 0) return -1;
    double start = now_s();
    pid_t logger = fork();
    if (logger == 0) {
        dup2(ends[0], 0);
        close(ends[0]);
        close(ends[1]);
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    pid_t writer = fork();
    if (writer == 0) {
        close(ends[0]);
        write_all(ends[1], input);
        _exit(0);
    }
    close(ends[0]);
    close(ends[1]);
    if (logger < 0 || writer < 0 || !wait_all()) return -1;
    return now_s() - start;
}

int reset_dir(const std::string &dir) {
    std::string command = "rm -rf '" + dir + "' && mkdir -p '" + dir + "'";
    return system(command.c_str()) == 0 ? 0 : -1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fputs("usage: servicelog_bench DIR [MIB [ROUNDS [ONLY]]]\n", stderr);
        return 2;
    }
    std::string dir = argv[1];
    size_t mib = argc > 2 ? strtoul(argv[2], nullptr, 10) : 64;
    int rounds = argc > 3 ? atoi(argv[3]) : 3;
    const char *only = argc > 4 ? argv[4] : nullptr;
    if (mib == 0 || rounds <= 0) return 2;
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::string input = make_input(mib << 20);

    struct contender {
        const char *name;
        double best = 0;  // seconds, fastest round
    } list[] = {{"capture"}, {"s6-log"}, {"svlogd"}, {"cat"}};
    for (int round = 0; round < rounds; round++) {
        for (auto &c : list) {
            if (only && strcmp(only, c.name) != 0) continue;
            std::string sub = dir + "/" + c.name;
            if (reset_dir(sub) != 0) return 1;
            double took = -1;
            if (strcmp(c.name, "capture") == 0) {
                took = run_capture(input);
            } else if (strcmp(c.name, "s6-log") == 0) {
                took = run_program(input, {"s6-log", "n4", "s1048576", sub + "/log"});
            } else if (strcmp(c.name, "svlogd") == 0) {
                FILE *config = fopen((sub + "/config").c_str(), "w");
                if (!config) return 1;
                fputs("s1048576\nn4\n", config);
                fclose(config);
                took = run_program(input, {"svlogd", sub});
            } else {
                took = run_program(input, {"sh", "-c", "exec cat > \"$0\"", sub + "/out"});
            }
            if (took <= 0) {
                fprintf(stderr, "%s failed\n", c.name);
                return 1;
            }
            if (c.best == 0 || took < c.best) c.best = took;
        }
    }
    printf("%zu MiB, %zu-byte writes, best of %d rounds\n", mib, write_size, rounds);
    if (only) {
        for (const auto &c : list)
            if (c.best > 0) printf("%-8s %10.1f MiB/s\n", c.name, static_cast<double>(mib) / c.best);
        return 0;
    }
    printf("%-8s %10s\n", "", "MiB/s");
    for (const auto &c : list) printf("%-8s %10.1f\n", c.name, static_cast<double>(mib) / c.best);
    double capture = static_cast<double>(mib) / list[0].best;
    double s6 = static_cast<double>(mib) / list[1].best;
    double svlogd = static_cast<double>(mib) / list[2].best;
    printf("capture/s6-log %.2f\ncapture/svlogd %.2f\ncapture/faster %.2f\n", capture / s6, capture / svlogd,
           capture / std::max(s6, svlogd));
    return 0;
}
