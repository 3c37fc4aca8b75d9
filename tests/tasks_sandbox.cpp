#include "tests/tasks_sandbox.h"

#include <unistd.h>

#include <sstream>

namespace tasks {

namespace {

constexpr unsigned char random_byte = 0xab;  // all 32 of them

// "pid state" of each child listed in /proc; state 'Z' for an ended one.
std::vector<std::pair<pid_t, char>> children(pid_t server) {
    std::string id = std::to_string(server);
    std::istringstream list(sandbox::slurp("/proc/" + id + "/task/" + id + "/children"));
    std::vector<std::pair<pid_t, char>> out;
    for (pid_t pid; list >> pid;) {
        std::string stat = sandbox::slurp("/proc/" + std::to_string(pid) + "/stat");
        size_t close = stat.rfind(')');
        out.emplace_back(pid, close != std::string::npos && close + 2 < stat.size()
                                  ? stat[close + 2] : 'Z');
    }
    return out;
}

bool wait_for(const panel::server &s, int timeout_ms, bool zombies_count) {
    for (long long deadline = panel::now_ms() + timeout_ms; panel::now_ms() < deadline;
         usleep(5000)) {
        bool left = false;
        for (auto [pid, state] : children(s.process.pid))
            left = left || zombies_count || state != 'Z';
        if (!left) return true;
    }
    return false;
}

}  // namespace

const std::string token = [] {
    std::string hex;
    for (int i = 0; i < 32; i++) hex += "ab";
    return hex;
}();

std::string credentials() {
    return panel::basic("root:" + std::string(panel::root_password)) +
           "X-Dashwick-Token: " + token + "\r\n";
}

void with_tools(panel::server &s) {
    const std::string tool = SOURCE_DIR "/tests/tools/stand-in";
    sandbox::spit(s.box.root / "random", std::string(32, static_cast<char>(random_byte)), 0644);
    // Debian's /bin is /usr/bin: the tools that are missing there are made
    // in its overlay, not on the machine.
    s.options.writable.push_back("/usr/bin");
    s.options.binds.push_back({s.box.root / "random", "/dev/urandom"});
    s.options.binds.push_back({tool, "/bin/service"});
    s.options.binds.push_back({tool, "/bin/setup"});
    s.options.binds.push_back({tool, "/bin/ip"});
}

std::string run(const std::string &body, const std::string &headers) {
    return "POST /api/run HTTP/1.1\r\n" + credentials() +
           (headers.empty() ? "Content-Length: " + std::to_string(body.size()) + "\r\n" : headers) +
           "\r\n" + body;
}

std::string started(unsigned number) {
    return panel::reply(200, "{\"job\":" + std::to_string(number) + "}", "application/json");
}

std::string job_log(const panel::server &s, unsigned number) {
    return sandbox::slurp(s.box.written("/var/lib/dashwick/job-" + std::to_string(number) + ".log"));
}

unsigned job_log_mode(const panel::server &s, unsigned number) {
    return sandbox::mode_of(
        s.box.written("/var/lib/dashwick/job-" + std::to_string(number) + ".log"));
}

std::vector<pid_t> running_children(pid_t server) {
    std::vector<pid_t> out;
    for (auto [pid, state] : children(server))
        if (state != 'Z') out.push_back(pid);
    return out;
}

bool jobs_ended(const panel::server &s, int timeout_ms) { return wait_for(s, timeout_ms, false); }

bool jobs_collected(const panel::server &s, int timeout_ms) {
    return wait_for(s, timeout_ms, true);
}

}  // namespace tasks
