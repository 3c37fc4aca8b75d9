// Runs a built program the way it runs on the guest, but inside private
// namespaces: fixed system paths are overlaid or bound with temporary
// directories, so nothing the program writes reaches the machine's files.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace sandbox {

// A temporary directory removed (recursively) when the value goes away.
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    std::string operator/(const std::string &relative) const { return path + "/" + relative; }
};

struct result {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;  // standard output
    std::string err;  // standard error
    bool timed_out = false;
};

struct options {
    std::vector<std::string> args;  // argv, argv[0] included
    // Directories such as "/etc" or "/root" that the program may change:
    // an overlay whose upper layer is upper()/<dir>, so that what the
    // program wrote is exactly what appears there.
    std::vector<std::string> writable;
    // (source, target) bind mounts; the target must exist in the merged view
    // (a target below a writable directory is created when missing).
    std::vector<std::pair<std::string, std::string>> binds;
    // Tmpfs mounts over these directories (created below writable ones).
    std::vector<std::string> tmpfs;
    std::vector<std::string> env;   // extra "NAME=value" entries
    bool clear_env = false;         // start from an empty environment
    // Network namespace to join (see netns); -1 keeps a private empty one
    // when private_net is set, or the caller's otherwise.
    pid_t net_of = -1;
    bool private_net = false;
    // Runs in the child after the namespaces are set up, before exec.
    std::function<void()> prepare;
    std::string input;               // written to standard input
    int timeout_ms = 60000;          // killed by its pid after this
};

// The sandbox's scratch root; upper layers live below upper().
struct box {
    temp_dir root;
    std::string upper() const { return root.path + "/upper"; }
    // The file the program wrote (or that was seeded) at an absolute path
    // below one of the writable directories.
    std::string written(const std::string &absolute) const { return upper() + absolute; }
    // Seeds a file in the upper layer before the run (creates parents).
    void seed(const std::string &absolute, const std::string &content, unsigned mode = 0600) const;
    result run(const options &o) const;
    // The same, but returns at once: the program runs until finish() or
    // stop(); its output is collected by finish().
    struct process {
        pid_t pid = -1;
        int out = -1;
        int err = -1;
    };
    process start(const options &o) const;
};

// Waits for a started program (killing it by pid after timeout_ms) and
// collects its output.
result finish(box::process &p, int timeout_ms);

// A process that holds a private network namespace until destroyed.
struct netns {
    pid_t holder = -1;
    netns();   // with loopback up
    ~netns();
    netns(const netns &) = delete;
    netns &operator=(const netns &) = delete;
    // Runs a shell command inside the namespace; its exit status.
    int sh(const std::string &command) const;
    // Forks a process that joins the namespace and runs body; its pid.
    pid_t spawn(const std::function<void()> &body) const;
};

// Stops a process started by a test: SIGKILL and reap by pid.
void stop(pid_t pid);

// got == expected; on a difference, short texts are shown whole, long ones
// (megabytes of output) only by their sizes and the first byte that
// differs, so that a failure never prints two huge strings.
::testing::AssertionResult same_bytes(const std::string &got, const std::string &expected);

// Milliseconds of the monotonic clock, for the tests' deadlines and timings.
long long now_ms();

// Small file helpers for assertions.
bool exists(const std::string &path);
std::string slurp(const std::string &path);  // whole file; "" when missing
void spit(const std::string &path, const std::string &content, unsigned mode = 0600);
unsigned mode_of(const std::string &path);   // permission bits, or ~0u
void make_dirs(const std::string &path, unsigned mode = 0755);

}  // namespace sandbox
