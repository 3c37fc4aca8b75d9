// The read-only API in process: the CPU figure over a stand-in statistics
// call, job state and output over jobs placed in the table, replies when
// no memory is left for a JSON body, and the /proc/stat reading of the
// platform's stand-in.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "panel/api.h"
#include "panel/tasks.h"
#include "platform/cpustat.h"
#include "tests/panel_sandbox.h"

using panel::reply;
using namespace std::string_literals;

// The statistics call and the memory stream, as the panel links them
// (--wrap): scripted by the tests below.
namespace {

struct cpu { uint64_t id, busy; };
std::vector<cpu> next_sample;
long next_result = -2;  // below -1: the count of next_sample
bool memstream_fails = false;

}  // namespace

extern "C" FILE *__real_open_memstream(char **data, size_t *size);
extern "C" FILE *__wrap_open_memstream(char **data, size_t *size) {
    if (memstream_fails) {
        errno = ENOMEM;
        return nullptr;
    }
    return __real_open_memstream(data, size);
}

extern "C" long __wrap__Z14cpu_statisticsPvmm(void *records, size_t capacity, size_t record_size) {
    EXPECT_EQ(capacity, 4096u);
    EXPECT_EQ(record_size, 304u);
    auto *at = static_cast<unsigned char *>(records);
    for (size_t i = 0; i < next_sample.size() && i < capacity; i++) {
        memset(at + i * record_size, 0x5a, record_size);
        memcpy(at + i * record_size, &next_sample[i].id, 8);
        memcpy(at + i * record_size + 288, &next_sample[i].busy, 8);
    }
    return next_result < -1 ? static_cast<long>(next_sample.size()) : next_result;
}

namespace {

// What the server side of a socket pair writes.
std::string written(const std::function<void(int)> &server_side) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return "<socketpair>";
    server_side(fds[1]);
    close(fds[1]);
    std::string out = panel::read_until_closed(fds[0], 5000);
    close(fds[0]);
    return out;
}

std::string cpu_figure_of(const std::string &whole) {
    const std::string key = "\"cpu_core_percent\":";
    size_t at = whole.find(key);
    if (at == std::string::npos) return "<none>";
    at += key.size();
    return whole.substr(at, whole.find(',', at) - at);
}

}  // namespace

TEST(PanelApiUnit, CpuFigureAcrossSamples) {
    constexpr uint64_t lots = 1000000000000;  // microseconds: shows as a huge figure
    enum expect { zero, minus_one, huge };
    struct { std::vector<cpu> sample; long result; expect figure; } cases[] = {
        {{{1, 100}, {2, 500}}, -2, zero},           // no earlier sample
        // Unchanged, gone backwards, and new: nothing counts.
        {{{1, 100}, {2, 400}, {3, lots}}, -2, zero},
        {{{2, 400 + lots}}, -2, huge},
        // A failing call keeps the sample before it.
        {{{2, 400 + lots + lots}}, -1, minus_one},
        {{{2, 400 + lots + lots}}, 4097, minus_one},
        {{{2, 400 + lots}}, -2, zero},
        {{}, -2, zero},                              // no records at all
        {{{2, 400 + lots}}, -2, zero},               // no partner in an empty sample
        // Paired with the first record of the same identifier only.
        {{{7, 50}, {7, 10}}, -2, zero},
        {{{7, 50}}, -2, zero},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(i);
        next_sample = cases[i].sample;
        next_result = cases[i].result;
        usleep(1000);  // the clock moves between samples
        std::string figure = cpu_figure_of(written(serve_system));
        if (cases[i].figure == huge)
            EXPECT_GT(std::stod(figure), 1e6) << figure;
        else
            EXPECT_EQ(figure, cases[i].figure == zero ? "0.0" : "-1.0");
    }
    next_result = -2;
}

TEST(PanelApiUnit, JobStateAndOutput) {
    sandbox::temp_dir dir;
    pid_t running = fork();
    ASSERT_GE(running, 0);
    if (running == 0) {
        pause();
        _exit(0);
    }
    std::string big = std::string(100000 - 65536, 'x') + std::string(65536, 'y');
    sandbox::spit(dir / "1.log", "ok\n");
    sandbox::spit(dir / "2.log", "so far");
    sandbox::spit(dir / "4.log", "a\x1b[32mb\x1b[0m\r\nc\0d\x1b]0;t"s);  // open title dropped
    ASSERT_EQ(mkfifo((dir / "5.log").c_str(), 0600), 0);
    ASSERT_EQ(symlink("1.log", (dir / "6.log").c_str()), 0);
    sandbox::spit(dir / "7.log", big);
    ASSERT_EQ(mkdir((dir / "8.log").c_str(), 0700), 0);
    struct { uint32_t id; int32_t done, status; } placed[] = {
        {1, 1, 0}, {2, 0, -1}, {3, 1, 137}, {4, 1, 1}, {5, 1, 0}, {6, 1, 0}, {7, 1, 0}, {8, 1, 0},
    };
    for (const auto &p : placed) {
        job &j = jobs[p.id - 1];
        j = job{p.id, p.id == 2 ? running : 1, p.done, p.status, 1 << 30, {}};
        snprintf(j.path, sizeof j.path, "%s/%u.log", dir.path.c_str(), p.id);
    }
    sequence = 8;
    const auto state = [](const char *done, int exit, const std::string &output) {
        return reply(200, "{\"done\":"s + done + ",\"exit\":" + std::to_string(exit) +
                              ",\"output\":\"" + output + "\"}",
                     "application/json");
    };
    const auto expired = reply(404, "Job expired\n");
    struct { const char *number; std::string expected; } cases[] = {
        {"1", state("true", 0, "ok\\u000a")},  {"+1", state("true", 0, "ok\\u000a")},
        {"2", state("false", -1, "so far")},
        {"3", state("true", 137, "")},  // its log was removed
        {"4", state("true", 1, "ab\\u000acd")},
        {"5", state("true", 0, "")},  {"6", state("true", 0, "")},  {"8", state("true", 0, "")},
        {"7", state("true", 0, std::string(65536, 'y'))},
        {"4294967297", expired},  // job 1 only if cut to 32 bits
        {"9", expired},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.number);
        EXPECT_EQ(panel::shape(written([&](int fd) { serve_job(fd, c.number); })), c.expected);
    }
    sandbox::stop(running);
    for (auto &j : jobs) j = job{};
    sequence = 0;
}

TEST(PanelApiUnit, NoMemoryForJsonBody) {
    sandbox::temp_dir dir;
    sandbox::spit(dir / "1.log", "ok\n");
    jobs[0] = job{1, 1, 1, 0, 0, {}};
    snprintf(jobs[0].path, sizeof jobs[0].path, "%s/1.log", dir.path.c_str());
    const std::function<void(int)> handlers[] = {
        serve_system, serve_logs, [](int fd) { serve_job(fd, "1"); },
    };
    memstream_fails = true;
    for (size_t i = 0; i < std::size(handlers); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(panel::shape(written(handlers[i])), reply(500, "Out of memory\n"));
    }
    memstream_fails = false;
    jobs[0] = job{};
}

TEST(PlatformCpu, ProcStatLines) {
    constexpr uint64_t unset = ~0ull;
    struct { const char *line; long ticks; int result; uint64_t id = unset, busy = unset; } cases[] = {
        // Everything but idle and iowait; guest time is already in user and nice.
        {"cpu0 100 200 300 400 500 600 700 800 900 1000\n", 100, 1, 0, 27000000},
        {"cpu12 1 0 0 5\n", 100, 1, 12, 10000},      // an older kernel's four fields
        {"cpu1 3 0 0 0 0 0 0 0\n", 3, 1, 1, 1000000},
        {"cpu2 1000000000000000 0 0 0\n", 100, 1, 2, 10000000000000000000ull},  // no overflow
        {"cpu  1 2 3 4 5 6 7 8 9 10\n", 100, 0},     // the total of all CPUs
        {"intr 1 2 3 4\n", 100, 0},
        {"cpu3 1 2 3\n", 100, -1},  {"cpu3 1 x 3 4\n", 100, -1},  {"cpu3x 1 2 3 4\n", 100, -1},
        {"cpu3 18446744073709551616 0 0 0\n", 100, -1},
        {"cpu3 1 2 3 4\n", 0, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        unsigned char record[304];
        memset(record, 0xa5, sizeof record);
        ASSERT_EQ(cpu_record_from_stat(c.line, record, sizeof record, c.ticks), c.result);
        if (c.result != 1) continue;
        uint64_t id, busy;
        memcpy(&id, record, 8);
        memcpy(&busy, record + 288, 8);
        EXPECT_EQ(id, c.id);
        EXPECT_EQ(busy, c.busy);
        for (size_t k = 8; k < 288; k++) ASSERT_EQ(record[k], 0) << k;
        for (size_t k = 296; k < 304; k++) ASSERT_EQ(record[k], 0) << k;
    }
}
