// A job over its three-minute limit: killed with everything it started.
// Really waits for the limit.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "tests/tasks_sandbox.h"

namespace {

// Stops by pid whatever a failed run leaves of the job.
struct leftovers {
    pid_t pids[2] = {0, 0};
    ~leftovers() {
        for (pid_t pid : pids)
            if (pid > 0 && kill(pid, 0) == 0) kill(pid, SIGKILL);
    }
};

}  // namespace

TEST(TaskLimit, OverdueJobKilledWithItsChildren) {
    leftovers left;
    panel::server s;
    tasks::with_tools(s);
    s.options.timeout_ms = 280000;
    ASSERT_TRUE(s.start());
    ASSERT_EQ(s.exchange(tasks::run("operation=service&action=start&name=spawn")),
              tasks::started(1));
    long long accepted = panel::now_ms();
    // The stand-in names the child it left; the child writes a line a second.
    pid_t child = 0;
    for (long long deadline = accepted + 10000; !child && panel::now_ms() < deadline;
         usleep(20000)) {
        std::string log = tasks::job_log(s, 1);
        size_t at = log.find("child ");
        if (at != std::string::npos && log.find('\n', at) != std::string::npos)
            child = std::stoi(log.substr(at + 6));
    }
    left.pids[0] = child;
    ASSERT_GT(child, 0);
    std::vector<pid_t> job = tasks::running_children(s.process.pid);
    ASSERT_EQ(job.size(), 1u);
    const pid_t tool = job[0];
    left.pids[1] = tool;

    // Alive at 175 s; gone by 183 s (the limit counts whole seconds).
    usleep(175000000 - static_cast<useconds_t>((panel::now_ms() - accepted) * 1000));
    EXPECT_EQ(kill(tool, 0), 0);
    EXPECT_EQ(kill(child, 0), 0);
    bool collected = tasks::jobs_collected(s, 8000);
    long long killed = panel::now_ms() - accepted;
    EXPECT_TRUE(collected);
    EXPECT_GE(killed, 179000);
    // The child went with it (it is reaped by whoever inherited it).
    bool child_gone = false;
    for (long long deadline = panel::now_ms() + 5000; panel::now_ms() < deadline; usleep(20000))
        if (kill(child, 0) != 0 && errno == ESRCH) {
            child_gone = true;
            break;
        }
    EXPECT_TRUE(child_gone);
    // Nothing writes to the job log any more.
    std::string log = tasks::job_log(s, 1);
    usleep(2500000);
    EXPECT_EQ(tasks::job_log(s, 1), log);
    EXPECT_NE(log.find("tick\n"), std::string::npos);
    // The slot takes a new job.
    EXPECT_EQ(s.exchange(tasks::run("operation=network")), tasks::started(2));
    EXPECT_TRUE(tasks::jobs_ended(s));
}
