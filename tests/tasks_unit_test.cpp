// The task runner in process: reaping, job numbers, a tool that cannot run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "panel/joblog.h"
#include "panel/tasks.h"
#include "tests/panel_sandbox.h"

namespace {

void clear_jobs() {
    memset(jobs, 0, sizeof jobs);
    sequence = 0;
}

// Calls reap until slot 0 is done or timeout_ms passed.
bool reaped(int timeout_ms) {
    for (long long deadline = panel::now_ms() + timeout_ms; panel::now_ms() < deadline;
         usleep(10000)) {
        reap();
        if (jobs[0].done) return true;
    }
    return false;
}

// Waits (up to timeout_ms) for a child of ours to end.
bool collected(pid_t pid, int timeout_ms) {
    for (long long deadline = panel::now_ms() + timeout_ms; panel::now_ms() < deadline;
         usleep(10000))
        if (waitpid(pid, nullptr, WNOHANG) == pid) return true;
    return false;
}

// The job process's part: a tool that prints bytes (many times the pipe's
// capacity) is copied into a log on which every write fails with ENOSPC.
[[noreturn]] void copy_into_full_log(size_t bytes) {
    int ends[2];
    if (pipe(ends) != 0) _exit(1);
    pid_t tool = fork();
    if (tool == 0) {
        close(ends[0]);
        static char block[65536];
        for (size_t left = bytes; left > 0;) {
            ssize_t n = write(ends[1], block, std::min(left, sizeof block));
            if (n <= 0) _exit(1);
            left -= static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(ends[1]);
    job_log_copy(ends[0], open("/dev/full", O_WRONLY), tool);
}

}  // namespace

TEST(TaskReap, StatusesAndTheTimeLimit) {
    // Each row is a job process in a group of its own that leaves a
    // grandchild in the group (its pid through a pipe) and then acts.
    struct { const char *what; void (*act)(); int64_t age; int status; } cases[] = {
        {"exit 3", [] { _exit(3); }, 0, 3},
        {"SIGTERM", [] { raise(SIGTERM); }, 0, 128 + SIGTERM},
        {"overdue", [] { pause(); }, job_time_limit + 1, 128 + SIGKILL},
        {"within the limit", [] { pause(); }, job_time_limit - 1, -1},
        // A log that takes no byte (a full file system) loses the output,
        // never the tool: 1 MiB through the copy, and the job ends.
        {"full log", [] { copy_into_full_log(1u << 20); }, 0, 0},
    };
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        clear_jobs();
        int pipe_fds[2];
        ASSERT_EQ(pipe(pipe_fds), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            setpgid(0, 0);
            pid_t grandchild = fork();
            if (grandchild == 0) {
                pause();
                _exit(0);
            }
            if (write(pipe_fds[1], &grandchild, sizeof grandchild) != sizeof grandchild) _exit(1);
            c.act();
            _exit(0);
        }
        setpgid(pid, pid);
        close(pipe_fds[1]);
        pid_t grandchild = 0;
        ASSERT_EQ(read(pipe_fds[0], &grandchild, sizeof grandchild),
                  static_cast<ssize_t>(sizeof grandchild));
        close(pipe_fds[0]);
        jobs[0] = job{1, pid, 0, -1, panel::now_ms() / 1000 - c.age, "/var/lib/dashwick/job-1.log"};
        bool done = reaped(c.status < 0 ? 300 : 5000);
        EXPECT_EQ(done, c.status >= 0);
        EXPECT_EQ(jobs[0].status, c.status);
        if (!done) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        // The kill of an overdue job takes the whole group; any other
        // grandchild is stopped here. Ours once its parent is gone.
        if (c.status != 128 + SIGKILL) kill(grandchild, SIGKILL);
        bool gone = collected(grandchild, 5000);
        EXPECT_TRUE(gone);
        if (!gone) {
            kill(grandchild, SIGKILL);
            collected(grandchild, 5000);
        }
    }
}

TEST(TaskNumbers, WrapSkipsZeroAndToolsThatCannotRun) {
    // In a mount namespace of this test's own: an empty /var/lib for the job
    // logs, and no tools at all.
    ASSERT_EQ(unshare(CLONE_NEWNS), 0);
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    ASSERT_EQ(mount("tmpfs", "/var/lib", "tmpfs", 0, "mode=0755"), 0);
    ASSERT_EQ(mount("tmpfs", "/usr/bin", "tmpfs", 0, "mode=0755"), 0);
    ASSERT_EQ(mkdir("/var/lib/dashwick", 0700), 0);
    clear_jobs();
    sequence = UINT32_MAX - 1;
    struct { unsigned number; size_t slot; } cases[] = {{UINT32_MAX, 30}, {1, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.number);
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        serve_run(fds[1], "operation=network");
        close(fds[1]);
        EXPECT_EQ(panel::shape(panel::read_until_closed(fds[0], 5000)),
                  panel::reply(200, "{\"job\":" + std::to_string(c.number) + "}",
                               "application/json"));
        close(fds[0]);
        const job &j = jobs[c.slot];
        ASSERT_EQ(j.id, c.number);
        EXPECT_STREQ(j.path, ("/var/lib/dashwick/job-" + std::to_string(c.number) + ".log").c_str());
        for (long long deadline = panel::now_ms() + 5000; !j.done && panel::now_ms() < deadline;
             usleep(10000))
            reap();
        EXPECT_EQ(j.status, 127);
        EXPECT_EQ(sandbox::slurp(j.path), std::string("dashwick exec: ") + strerror(ENOENT) + "\n");
    }
    EXPECT_EQ(sequence, 1u);
}
