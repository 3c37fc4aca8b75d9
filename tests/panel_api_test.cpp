// The read-only API and the panel assets of the real dashwick, over files
// seeded in its private /var/log and /usr/share, and over jobs that the
// stand-in tool runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/panel_sandbox.h"
#include "tests/tasks_sandbox.h"

using panel::reply;

namespace {

const std::string good = panel::basic("root:" + std::string(panel::root_password));
const std::string json_type = "application/json";

std::string get(const std::string &target, bool credentials = true) {
    return "GET " + target + " HTTP/1.1\r\n" + (credentials ? good : "") + "\r\n";
}

// The body of a reply ("" when there is no blank line).
std::string body_of(const std::string &whole) {
    size_t blank = whole.find("\r\n\r\n");
    return blank == std::string::npos ? "" : whole.substr(blank + 4);
}

// The values of a system summary, in order, when it has exactly its shape:
// strings without escapes, numbers of digits with at most a sign and a point
// (one decimal for the CPU figure); empty otherwise.
std::vector<std::string> summary_fields(const std::string &body) {
    struct { const char *key; bool text; } shape[] = {
        {"hostname", true}, {"release", true},       {"cpu_core_percent", false},
        {"uptime", false},  {"memory_total", false}, {"memory_used", false},
        {"csrf", true},
    };
    std::vector<std::string> values;
    size_t at = 1;
    if (body.empty() || body[0] != '{') return {};
    for (const auto &f : shape) {
        const std::string key = "\"" + std::string(f.key) + "\":" + (f.text ? "\"" : "");
        if (body.compare(at, key.size(), key) != 0) return {};
        at += key.size();
        size_t end = f.text ? body.find_first_of("\"\\", at)
                            : body.find_first_not_of("-0123456789.", at);
        if (end == std::string::npos || (f.text && body[end] != '"')) return {};
        values.push_back(body.substr(at, end - at));
        at = end + (f.text ? 1 : 0);
        if (at >= body.size() || body[at] != (&f == std::end(shape) - 1 ? '}' : ',')) return {};
        at++;
    }
    if (at != body.size()) return {};
    const std::string &cpu = values[2];
    if (cpu.size() < 3 || cpu[cpu.size() - 2] != '.') return {};
    return values;
}

std::string job_state(const char *done, int exit, const std::string &output) {
    return reply(200, std::string("{\"done\":") + done + ",\"exit\":" + std::to_string(exit) +
                          ",\"output\":\"" + output + "\"}",
                 "application/json");
}

// Removes a file as the server sees it: from inside its mount namespace.
bool remove_inside(const panel::server &s, const std::string &path) {
    pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        std::string ns = "/proc/" + std::to_string(s.process.pid) + "/ns/mnt";
        int fd = open(ns.c_str(), O_RDONLY | O_CLOEXEC);
        _exit(fd >= 0 && setns(fd, CLONE_NEWNS) == 0 && unlink(path.c_str()) == 0 ? 0 : 1);
    }
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void symlink_at(const panel::server &s, const std::string &target, const std::string &absolute) {
    ASSERT_EQ(symlink(target.c_str(), s.box.written(absolute).c_str()), 0);
}

void fifo_at(const panel::server &s, const std::string &absolute) {
    ASSERT_EQ(mkfifo(s.box.written(absolute).c_str(), 0600), 0);
}

}  // namespace

TEST(PanelApi, LogListAndTails) {
    panel::server s;
    // Names carry a prefix of their own: /var/log lies over the machine's.
    const std::string colours =
        "\x1b[31mred\x1b[0m plain\r\n\ttab \x1b]0;title\x07 \xc3\xa9\x1b]2;t\x1b\\\x1b[2Kend\n";
    std::string tail;
    while (tail.size() + 12 <= 65536) tail += "\x1b[1mabc\x1b[0m\n";  // 12 bytes, 4 kept
    const size_t blocks = tail.size() / 12, padding = 65536 - tail.size();
    tail += std::string(padding, 'y');
    const std::string name63 = "dwt-" + std::string(55, 'n') + ".log";
    ASSERT_EQ(name63.size(), 63u);
    const std::vector<std::pair<std::string, std::string>> files = {
        {"dwt-colour.log", colours},
        {"dwt-stray.log", "\x1b]0;stray title\nafter\n\x1bPq\nmore\n\xc2\x9e" "pm\nend\n"},
        {"dwt-svc.log.2", "rotated\n"},           // ".log" in the middle
        {"dwt-empty.log", ""},
        {"dwt-big.log", std::string(100000 - 65536, 'x') + tail},
        {name63, "long name\n"},
        {name63.substr(0, 4) + "m" + name63.substr(4), "64 characters\n"},
        {".dwt-hidden.log", "hidden\n"},
        {"dwt blank.log", "blank\n"},
        {"dwt%2e.log", "percent\n"},
        {"dwt-messages", "no suffix\n"},
        {"dwt-dir.log/inside", "a directory\n"},
    };
    for (const auto &[name, content] : files) s.box.seed("/var/log/" + name, content);
    symlink_at(s, "dwt-colour.log", "/var/log/dwt-link.log");
    fifo_at(s, "/var/log/dwt-fifo.log");
    ASSERT_TRUE(s.start());

    // Listed whatever their type; left out by name alone.
    std::string list = body_of(s.exchange(get("/api/logs")));
    ASSERT_TRUE(list.size() >= 2 && list.front() == '[' && list.back() == ']') << list;
    struct { std::string name; bool listed; } names[] = {
        {"dwt-colour.log", true},  {"dwt-svc.log.2", true},   {"dwt-empty.log", true},
        {"dwt-big.log", true},     {name63, true},            {"dwt-dir.log", true},
        {"dwt-link.log", true},    {"dwt-fifo.log", true},
        {name63.substr(0, 4) + "m" + name63.substr(4), false},
        {".dwt-hidden.log", false},  {"dwt blank.log", false},  {"dwt%2e.log", false},
        {"dwt-messages", false},
    };
    for (const auto &n : names) {
        SCOPED_TRACE(n.name);
        EXPECT_EQ(list.find("\"" + n.name + "\"") != std::string::npos, n.listed);
    }

    const auto plain = [](const std::string &body) { return reply(200, body); };
    const auto invalid = reply(400, "Invalid log\n"), missing = reply(404, "Log not found\n");
    struct { std::string name, expected; } tails[] = {
        {"dwt-colour.log", plain("red plain\n\ttab  \xc3\xa9" "end\n")},
        {"dwt-stray.log", plain("\nafter\n\nmore\n\nend\n")},  // strings end with their line
        {"dwt-svc.log.2", plain("rotated\n")},
        {"dwt-empty.log", plain("")},
        // Its last 65536 bytes, filtered; nothing of the 'x' before them.
        {"dwt-big.log", plain([&] {
             std::string kept;
             for (size_t i = 0; i < blocks; i++) kept += "abc\n";
             return kept + std::string(padding, 'y');
         }())},
        {name63, plain("long name\n")},
        {"dwt-none.log", missing},  {"dwt-dir.log", missing},
        {"dwt-link.log", missing},  {"dwt-fifo.log", missing},  // and without hanging
        {"", invalid},  {"../log/dwt-colour.log", invalid},  {"dwt/colour.log", invalid},
        {".dwt-hidden.log", invalid},  {"dwt-messages", invalid},
        {name63.substr(0, 4) + "m" + name63.substr(4), invalid},
        {"dwt%2e.log", invalid},  {"dwt-colour.log&x=1", invalid},
    };
    for (const auto &t : tails) {
        SCOPED_TRACE(t.name);
        EXPECT_EQ(s.exchange(get("/api/log?name=" + t.name)), t.expected);
    }
}

TEST(PanelApi, Assets) {
    const std::string big(70000, 'h'), missing = reply(404, "Panel asset missing\n");
    enum kind { regular, link, fifo, directory, none };
    struct { const char *target, *file; kind how; std::string content, expected; } cases[] = {
        {"/", "index.html", regular, big,
         reply(200, big.substr(0, 65536), "text/html; charset=utf-8")},  // cut
        {"/app.js", "app.js", regular, "let a;\n", reply(200, "let a;\n", "application/javascript")},
        {"/style.css", "style.css", regular, "p{}\n", reply(200, "p{}\n", "text/css")},
        {"/style.css", "style.css", link, "", missing},
        {"/app.js", "app.js", fifo, "", missing},  // and without hanging
        {"/", "index.html", directory, "", missing},
        {"/", "index.html", none, "", missing},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + std::to_string(c.how));
        panel::server s;
        const std::string path = std::string("/usr/share/dashwick/") + c.file;
        s.box.seed("/usr/share/dashwick/other", "linked\n");
        if (c.how == regular) s.box.seed(path, c.content);
        if (c.how == link) symlink_at(s, "other", path);
        if (c.how == fifo) fifo_at(s, path);
        if (c.how == directory) s.box.seed(path + "/inside", "x");
        ASSERT_TRUE(s.start());
        EXPECT_EQ(s.exchange(get(c.target, false)), c.expected);
    }
}

TEST(PanelApi, JobNumbersWithoutJobs) {
    panel::server s;
    ASSERT_TRUE(s.start());
    const auto invalid = reply(400, "Invalid job\n"), expired = reply(404, "Job expired\n");
    struct { const char *number; std::string expected; } cases[] = {
        {"", invalid},    {"1x", invalid},  {"0x1", invalid},  {"1&id=2", invalid},
        {"+1", expired},  {"0", expired},   {"-1", invalid},  {"4294967296", expired},
        {"1", expired},   {"-0", invalid},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.number);
        EXPECT_EQ(s.exchange(get(std::string("/api/job?id=") + c.number)), c.expected);
    }
}

TEST(PanelApi, SystemSummaryAndCpuFigure) {
    panel::server s;
    ASSERT_TRUE(s.start());
    utsname names{};
    ASSERT_EQ(uname(&names), 0);
    std::vector<std::vector<std::string>> seen(2);
    std::vector<std::string> bodies(2);
    pid_t busy = -1;
    for (size_t i = 0; i < 2; i++) {
        if (i == 1) {
            // One core kept busy for a second between the two samples.
            busy = fork();
            ASSERT_GE(busy, 0);
            if (busy == 0) {
                volatile unsigned long spins = 0;
                for (;;) spins = spins + 1;
            }
            usleep(1000000);
        }
        std::string whole = s.exchange(get("/api/system"));
        bodies[i] = body_of(whole);
        ASSERT_EQ(whole, reply(200, bodies[i], json_type));
        seen[i] = summary_fields(bodies[i]);
        ASSERT_EQ(seen[i].size(), 7u) << bodies[i];
    }
    sandbox::stop(busy);
    EXPECT_EQ(seen[0][2], "0.0");  // no earlier sample
    EXPECT_GE(std::stod(seen[1][2]), 50.0) << bodies[1];
    EXPECT_EQ(seen[0][6], seen[1][6]);  // one token for the life of the process
    for (const auto &f : seen) {
        EXPECT_EQ(f[1], names.release);
        EXPECT_GT(std::stoull(f[4]), 0u);
        EXPECT_LE(std::stoull(f[5]), std::stoull(f[4]));
        EXPECT_EQ(f[6].size(), 64u);
        EXPECT_EQ(f[6].find_first_not_of("0123456789abcdef"), std::string::npos);
    }
}

TEST(PanelApi, StalledReaderIsDropped) {
    // A client that asks for a 64 KiB log and then reads nothing holds the
    // server 3 s at most. Socket buffers in the namespace are kept small so
    // that the reply cannot all wait in them.
    panel::server s;
    ASSERT_EQ(s.ns.sh("echo 4096 4096 4096 >/proc/sys/net/ipv4/tcp_rmem && "
                      "echo 4096 4096 4096 >/proc/sys/net/ipv4/tcp_wmem"), 0);
    s.box.seed("/var/log/dwt-big.log", std::string(65536, 'z'));
    ASSERT_TRUE(s.start());
    int stalled = s.connect();
    ASSERT_GE(stalled, 0);
    ASSERT_TRUE(panel::send_all(stalled, get("/api/log?name=dwt-big.log")));
    usleep(200000);
    long long asked = panel::now_ms();
    EXPECT_EQ(s.exchange(get("/nothing", false)), reply(404, "Not found\n"));
    long long waited = panel::now_ms() - asked;
    EXPECT_LT(waited, 8000);
    std::string got = panel::read_until_closed(stalled, 10000);
    EXPECT_LT(panel::shape(got).size(), reply(200, std::string(65536, 'z')).size());
    close(stalled);
}

TEST(PanelApi, RealJobs) {
    panel::server s;
    tasks::with_tools(s);
    ASSERT_TRUE(s.start());
    const std::string start = "operation=service&action=start&name=";
    const std::string printed = "/bin/service\\u000astart\\u000a";
    // Each row may start a job, may remove its log, and then asks for a job
    // until the answer is the one expected (or within_ms have passed since
    // the start). A tool's child that still holds the output ("held-") does
    // not hold back the tool's end or its status.
    struct { std::string body; unsigned started; bool remove; const char *number;
             std::string expected; long long within_ms = 10000; } cases[] = {
        {start + "sleep-2", 1, false, "1", job_state("false", -1, printed + "sleep-2\\u000a")},
        {"", 0, false, "+1", job_state("true", 0, printed + "sleep-2\\u000a")},
        {"", 0, false, "-18446744073709551615", reply(400, "Invalid job\n")},  // not wrapped to 1
        {start + "colour", 2, false, "2",
         job_state("true", 0, printed + "colour\\u000ared plain\\u000abar 50%\\u000abar 100%\\u000a")},
        {start + "exit-3", 3, true, "3", job_state("true", 3, "")},
        {start + "signal-TERM", 4, false, "4", job_state("true", 143, printed + "signal-TERM\\u000a")},
        {start + "held-exit-3", 5, false, "5", job_state("true", 3, printed + "held-exit-3\\u000a"), 1000},
        {start + "held-signal-TERM", 6, false, "6",
         job_state("true", 143, printed + "held-signal-TERM\\u000a"), 1000},
        {"", 0, false, "7", reply(404, "Job expired\n")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.number);
        long long asked = panel::now_ms();
        if (!c.body.empty()) {
            ASSERT_EQ(s.exchange(tasks::run(c.body)), tasks::started(c.started));
        }
        if (c.remove) {
            const std::string log = "/var/lib/dashwick/job-" + std::to_string(c.started) + ".log";
            ASSERT_TRUE(remove_inside(s, log));
        }
        const std::string ask =
            "GET /api/job?id=" + std::string(c.number) + " HTTP/1.1\r\n" + good + "\r\n";
        std::string got;
        for (long long deadline = asked + c.within_ms; panel::now_ms() < deadline; usleep(20000))
            if ((got = s.exchange(ask)) == c.expected) break;
        EXPECT_EQ(got, c.expected);
        // The held child (named before the tool ended), stopped by its pid.
        if (c.body.find("held-") != std::string::npos)
            sandbox::stop(std::stoi(sandbox::slurp(s.box.written("/var/lib/stand-in.held"))));
    }
}
