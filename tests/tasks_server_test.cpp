// Task requests against the real dashwick: what each request starts (the
// stand-in tool prints the argument vector it received into the job log)
// or the exact reply that refuses it, and the life of jobs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "tests/tasks_sandbox.h"

using panel::reply;
using tasks::run;
using tasks::started;

namespace {

// Started as a careless init or shell may start it: SIGCHLD ignored and a
// descriptor above 255 left open. Neither reaches a job, and jobs still end.
struct TaskServer : ::testing::Test {
    panel::server s;
    void SetUp() override {
        tasks::with_tools(s);
        s.options.prepare = [] {
            signal(SIGCHLD, SIG_IGN);
            if (dup2(open("/dev/null", O_RDONLY), 300) != 300) _exit(125);
        };
        ASSERT_TRUE(s.start());
    }
};

// A header line that makes the request head (through the blank line) of a
// task request with a Content-Length line of length_digits digits exactly
// head bytes long.
std::string filler(size_t head, size_t length_digits) {
    size_t fixed = run("", "Content-Length: " + std::string(length_digits, '0') + "\r\n").size();
    const std::string name = "X-Filler: ";
    return name + std::string(head - fixed - name.size() - 2, 'f') + "\r\n";
}

}  // namespace

TEST_F(TaskServer, RequestsAndWhatTheyStart) {
    const std::string services = "operation=services";  // 18 bytes
    const std::string service = "/bin/service\n", setup = "/bin/setup\n";
    const std::string name63(63, 'n'), name64(64, 'n');
    const std::string padded = services + "&pad=" + std::string(512 - 23, 'p');
    const std::string near_full = filler(16384 - 18, 2);
    const std::string over_full = filler(16384 - 17, 2);
    // 20 MB of output keeps 8 MiB of log; bigfile's own 20 MB are whole (below).
    std::string flood = service + "start\nflood\n";
    while (flood.size() < 8u << 20) flood += "y\n";
    flood.resize(8u << 20);
    struct {
        std::string body, log;  // log: the job log of a started job
        int status = 200;
        std::string text = "", headers = "";
    } cases[] = {
        // What each operation starts; fields it does not use are ignored.
        {services, service + "list\n"},
        {"operation=services&action=stop&name=nginx", service + "list\n"},
        {"operation=packages", setup + "ls\n"},
        {"action=installed&operation=packages", setup + "ls\n-i\n"},
        {"operation=packages&action=Installed", setup + "ls\n"},
        {"operation=network&name=eth0", "/bin/ip\n"},
        {"name=dropbear&action=restart&operation=service", service + "restart\ndropbear\n"},
        {"operation=service&action=start&name=cron_2-x", service + "start\ncron_2-x\n"},
        {"operation=service&action=enable&name=" + name63, service + "enable\n" + name63 + "\n"},
        {"operation=service&action=disable&name=ntpd", service + "disable\nntpd\n"},
        {"operation=package&action=update&name=../x%2F", setup + "--yes\nupdate\n"},
        {"operation=package&action=install&name=sh", setup + "--yes\ninstall\nsh\n"},
        {"operation=package&action=upgrade&name=sh", setup + "--yes\nupgrade\nsh\n"},
        {"operation=package&action=remove&name=vim", setup + "--yes\nremove\nvim\n"},
        // Pairs: the first one that names the field wins; a longer name,
        // a pair without "=", empty pairs and a closing "&" are passed over.
        {"operationx=services&operation&&operation=network&operation=services&", "/bin/ip\n"},
        // The job's output as written, control sequences included; its
        // input is /dev/null, it holds none of the server's descriptors
        // (nor 300 from the server's starter) and has SIGPIPE and SIGCHLD
        // back.
        {"operation=service&action=start&name=colour",
         service + "start\ncolour\n\033[1;31mred\033[0m plain\r\nbar 50%\rbar 100%\n"},
        {"operation=service&action=start&name=descriptors",
         service + "start\ndescriptors\nstdin /dev/null\nSIGPIPE default\nSIGCHLD default\n"},
        {"operation=service&action=start&name=flood", flood},
        {"operation=service&action=start&name=bigfile", service + "start\nbigfile\n"},
        // Refusals.
        {"operation=service&action=restart&name=nginx", "", 400, "Manage panel services from SSH\n"},
        {"operation=service&action=bogus&name=dashwick", "", 400, "Manage panel services from SSH\n"},
        {"operation=service&action=restart&name=a.b", "", 400, "Invalid operation\n"},
        {"operation=service&action=restart&name=a%2Db", "", 400, "Invalid operation\n"},
        {"operation=service&action=restart", "", 400, "Invalid operation\n"},
        {"operation=service&action=Restart&name=cron", "", 400, "Invalid operation\n"},
        {"operation=service&action=restart&name=" + name64, "", 400, "Invalid operation\n"},
        {"operation=package&action=remove&name=sh", "", 400, "Protected package\n"},
        {"operation=package&action=install", "", 400, "Package name required\n"},
        // A leading "-" would make the name an option of the tool's.
        {"operation=service&action=restart&name=-x", "", 400, "Invalid operation\n"},
        {"operation=package&action=remove&name=--force", "", 400, "Package name required\n"},
        // Too long for its field is no value: never a cut one.
        {"operation=package&action=install&name=" + name64, "", 400, "Package name required\n"},
        {"operation=package&action=purge&name=vim", "", 400, "Invalid operation\n"},
        {"operation=Services", "", 400, "Invalid operation\n"},
        // Content-Length.
        {padded, service + "list\n"},
        {padded + "p", "", 400, "Invalid body size\n"},
        {services, service + "list\n", 200, "", "Content-Length: +18\r\n"},
        {services, service + "list\n", 200, "", "content-length:\t" + std::string(29, '0') + "18\r\n"},
        {services, "", 411, "Content length required\n",
         "Content-Length: " + std::string(30, '0') + "18\r\n"},
        {services, "", 411, "Content length required\n", "Content-Lengths: 18\r\n"},
        {services, "", 400, "Invalid body size\n", "Content-Length: 18 \r\n"},
        {services, "", 400, "Invalid body size\n", "Content-Length: \r\n"},
        {services, "", 400, "Invalid body size\n", "Content-Length: 0x12\r\n"},
        {services, "", 400, "Invalid body size\n", "Content-Length: 18446744073709551634\r\n"},
        // strtoul would wrap a negative value round to 18.
        {services, "", 400, "Invalid body size\n", "Content-Length: -18446744073709551598\r\n"},
        {"", "", 400, "Invalid operation\n", "Content-Length: 0\r\n"},
        {services, "", 400, "Invalid body\n", "Content-Length: 0\r\n"},
        // Body bytes beyond the announced length.
        {services, "", 400, "Invalid body\n", "Content-Length: 17\r\n"},
        // The head and the body share the 16384-byte buffer.
        {services, service + "list\n", 200, "", near_full + "Content-Length: 18\r\n"},
        {"", "", 400, "Body too large\n", over_full + "Content-Length: 18\r\n"},
    };
    unsigned number = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.headers.substr(0, 40) + c.body.substr(0, 80));
        std::string got = s.exchange(run(c.body, c.headers));
        if (c.status != 200) {
            EXPECT_EQ(got, reply(c.status, c.text));
            continue;
        }
        EXPECT_EQ(got, started(++number));
        ASSERT_TRUE(tasks::jobs_ended(s));
        EXPECT_TRUE(sandbox::same_bytes(tasks::job_log(s, number), c.log));
        EXPECT_EQ(tasks::job_log_mode(s, number), 0600u);
    }
    EXPECT_EQ(sandbox::slurp(s.box.written("/var/lib/stand-in.big")).size(), 20000000u);
    // Nothing refused left a job log behind.
    EXPECT_FALSE(sandbox::exists(
        s.box.written("/var/lib/dashwick/job-" + std::to_string(number + 1) + ".log")));
}

TEST_F(TaskServer, BodyInPartsAndSilentBody) {
    // Head, then the body in three parts 1 s apart; behind it a client that
    // stops in the middle of its body is dropped 3 s later without a reply.
    int slow = s.connect(), partial = s.connect();
    ASSERT_TRUE(slow >= 0 && partial >= 0);
    const std::string body = "name=dropbear&action=restart&operation=service";
    ASSERT_TRUE(panel::send_all(partial, run(body).substr(0, run(body).size() - 5)));
    const std::string parts[] = {run(body).substr(0, run(body).size() - body.size()),
                                 body.substr(0, 9), body.substr(9, 20), body.substr(29)};
    for (size_t i = 0; i < std::size(parts); i++) {
        if (i > 0) usleep(1000000);
        ASSERT_TRUE(panel::send_all(slow, parts[i]));
    }
    EXPECT_EQ(panel::shape(panel::read_until_closed(slow, 20000)), started(1));
    long long served = panel::now_ms();
    EXPECT_EQ(panel::read_until_closed(partial, 20000), "");
    long long dropped = panel::now_ms() - served;
    EXPECT_GE(dropped, 2500);
    EXPECT_LT(dropped, 6000);
    for (int fd : {slow, partial}) close(fd);
    ASSERT_TRUE(tasks::jobs_ended(s));
    EXPECT_EQ(tasks::job_log(s, 1), "/bin/service\nrestart\ndropbear\n");
}

TEST_F(TaskServer, OneJobAtATime) {
    const std::string sleeper = "operation=service&action=start&name=sleep-2";
    EXPECT_EQ(s.exchange(run(sleeper)), started(1));
    std::vector<pid_t> job = tasks::running_children(s.process.pid);
    ASSERT_EQ(job.size(), 1u);
    // Its own process group, so that an overdue kill takes all of it.
    EXPECT_EQ(getpgid(job[0]), job[0]);
    // Refused while it runs, whatever is asked; its log is not touched.
    EXPECT_EQ(s.exchange(run("operation=network")), reply(409, "Another task is running\n"));
    EXPECT_FALSE(sandbox::exists(s.box.written("/var/lib/dashwick/job-2.log")));
    // Collected by the server loop within its half-second turn once it ends.
    ASSERT_TRUE(tasks::jobs_ended(s, 5000));
    EXPECT_TRUE(tasks::jobs_collected(s, 1500));
    EXPECT_EQ(s.exchange(run("operation=network")), started(2));
    EXPECT_EQ(tasks::job_log(s, 1), "/bin/service\nstart\nsleep-2\n");
}

TEST(TaskTools, JobLogFiles) {
    panel::server s;
    tasks::with_tools(s);
    const std::string dir = s.box.written("/var/lib/dashwick/"), network = "operation=network";
    // A log left by an earlier run is truncated; a symbolic link where job
    // 3's log goes is not followed: no job 3, and the number is used up.
    s.box.seed("/var/lib/dashwick/job-2.log", std::string(4096, 'o'));
    sandbox::spit(s.box.root / "victim", "kept\n");
    ASSERT_EQ(symlink((s.box.root / "victim").c_str(), (dir + "job-3.log").c_str()), 0);
    ASSERT_TRUE(s.start());
    for (unsigned number = 1; number <= 33; number++) {
        SCOPED_TRACE(number);
        if (number == 3) {
            EXPECT_EQ(s.exchange(run(network)), reply(409, "Another task is running\n"));
            EXPECT_EQ(sandbox::slurp(s.box.root / "victim"), "kept\n");
            continue;
        }
        ASSERT_EQ(s.exchange(run(network)), started(number));
        ASSERT_TRUE(tasks::jobs_ended(s));
        EXPECT_EQ(tasks::job_log(s, number), "/bin/ip\n");
    }
    // The 33rd job took the first one's slot and deleted its log; the next
    // one deletes the second's.
    EXPECT_FALSE(sandbox::exists(dir + "job-1.log"));
    EXPECT_EQ(tasks::job_log(s, 2), "/bin/ip\n");
    EXPECT_EQ(s.exchange(run(network)), started(34));
    ASSERT_TRUE(tasks::jobs_ended(s));
    EXPECT_FALSE(sandbox::exists(dir + "job-2.log"));
    EXPECT_EQ(tasks::job_log(s, 4), "/bin/ip\n");
}

// scripts/panel-sandbox, from a tree of links with the stand-in as its
// tools: the namespace's first process collects the orphan a job leaves,
// and root's hash is on no command line below the script.
TEST(TaskTools, PanelSandboxCollectsOrphans) {
    sandbox::temp_dir top;
    sandbox::make_dirs(top / "scripts"), sandbox::make_dirs(top / "examples/tools");
    for (std::string link : {"scripts/panel-sandbox", "panel", "examples/tools/service",
                             "examples/tools/setup", "examples/tools/ip"})
        ASSERT_EQ(symlink(link.starts_with("ex") ? SOURCE_DIR "/tests/tools/stand-in" : (SOURCE_DIR "/" + link).c_str(),
                          (top / link).c_str()), 0);
    panel::server s;
    tasks::with_tools(s);  // for the known token
    s.options.args = {top / "scripts/panel-sandbox", DASHWICK_PATH};
    s.options.input = std::string(panel::root_password) + "\n";
    ASSERT_TRUE(s.start());
    EXPECT_EQ(s.exchange(run("operation=service&action=start&name=orphan")), started(1));
    // "state (name)" of every process below the script, until the job, the
    // reader of its output and its orphan have ended and are gone.
    std::string left, hash_shown;
    for (int i = 0; i < 200 && left != "S(unshare)S(tini)S(dashwick)"; i++, usleep(50000)) {
        left.clear();
        std::vector<std::string> pids = {std::to_string(s.process.pid)};
        for (size_t k = 0; k < pids.size(); k++) {
            std::istringstream list(sandbox::slurp("/proc/" + pids[k] + "/task/" + pids[k] + "/children"));
            for (std::string pid; list >> pid;) pids.push_back(pid);
            std::string stat = sandbox::slurp("/proc/" + pids[k] + "/stat");
            std::string command = sandbox::slurp("/proc/" + pids[k] + "/cmdline");
            if (command.find("$6$") != std::string::npos) hash_shown += command + "\n";
            if (k > 0 && !stat.empty()) left += stat.substr(stat.rfind(')') + 2, 1) + stat.substr(stat.find('('), stat.rfind(')') - stat.find('(') + 1);
        }
    }
    EXPECT_EQ(left, "S(unshare)S(tini)S(dashwick)");
    EXPECT_EQ(hash_shown, "");
    kill(s.process.pid, SIGTERM);  // the script takes the namespace down with it
    EXPECT_EQ(sandbox::finish(s.process, 10000).status, 0);
    s.process.pid = -1;
}

// The audit trail in the service log: a line per task started (none for
// one refused while another runs), and failed sign-ins counted, the first
// at once and the rest 10 s later; nothing else, so never a credential.
TEST(TaskTools, AuditTrailInTheServiceLog) {
    panel::server s;
    tasks::with_tools(s);
    s.options.env.clear();  // through the capture into /var/log/dashwick.log
    ASSERT_TRUE(s.start());
    ASSERT_EQ(s.exchange(run("operation=service&action=restart&name=sleep-1")), started(1));
    EXPECT_EQ(s.exchange(run("operation=network")), reply(409, "Another task is running\n"));
    for (int i = 0; i < 50; i++) s.exchange("GET /api/system HTTP/1.1\r\n" + panel::basic("root:Tr0ub:4dor &4!") + "\r\n");
    std::string log;  // without the stamps, "[2026-12-07 23:01:02 UTC] "
    for (int i = 0; i < 200 && log.find("49 requests") == std::string::npos; i++, usleep(100000)) {
        std::istringstream in(sandbox::slurp(s.box.written("/var/log/dashwick.log")));
        log.clear();
        for (std::string l; std::getline(in, l);)
            log += (l.size() > 26 && l[5] == '-' && l[14] == ':' && l.compare(20, 6, " UTC] ") == 0 ? l.substr(26) : l) + "\n";
    }
    EXPECT_EQ(log, "dashwick started\njob 1: service restart sleep-1\n1 request failed authentication\n"
                   "49 requests failed authentication\n");
}
