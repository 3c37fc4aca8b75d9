// libFuzzer target for dashwick's request intake and routing: the bytes go
// through a socket pair into handle, as a client would send them before
// closing its side, and the reply that comes back must be one whole HTTP
// reply or nothing.
//
// Root's shadow entry is a stand-in (password "fuzz", a hash that is cheap
// to check) so that authenticated requests reach the endpoints, and the
// request token is 64 zeros, so that task requests reach the body intake,
// the form and the operation table. No job is ever started: the job table
// always holds a running job (a child of this process that only waits), so
// every task the table accepts is answered as refused for that one.
// Where scripts/fuzz gives scratch directories, a few log, asset and job
// files are put there for the endpoints to serve.
#include <fcntl.h>
#include <shadow.h>
#include <signal.h>
#include <sys/prctl.h>
#include <linux/magic.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "panel/auth.h"
#include "panel/http.h"
#include "panel/tasks.h"

extern "C" struct spwd *getspnam(const char *name) {
    static char stored[] = "abQPvJEC1boYY";  // crypt("fuzz", "ab")
    static char user[] = "root";
    static spwd entry{};
    if (strcmp(name, "root") != 0) return nullptr;
    entry.sp_namp = user;
    entry.sp_pwdp = stored;
    return &entry;
}

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

constexpr size_t reply_limit = 1 << 20;

std::string take_reply(int fd) {
    std::string reply;
    char block[4096];
    for (;;) {
        ssize_t got = read(fd, block, sizeof block);
        if (got <= 0) break;
        reply.append(block, static_cast<size_t>(got));
        check(reply.size() <= reply_limit);
    }
    return reply;
}

// One status line, the fixed header set, and a body of exactly the length
// announced.
void check_reply(std::string_view reply) {
    if (reply.empty()) return;
    check(reply.starts_with("HTTP/1.1 "));
    size_t head_end = reply.find("\r\n\r\n");
    check(head_end != std::string_view::npos);
    std::string_view head = reply.substr(0, head_end + 2);
    constexpr std::string_view length_field = "\r\nContent-Length: ";
    size_t at = head.find(length_field);
    check(at != std::string_view::npos);
    size_t length = strtoul(std::string(head.substr(at + length_field.size())).c_str(), nullptr, 10);
    check(reply.size() - head_end - 4 == length);
    check(head.find("\r\nConnection: close\r\n") != std::string_view::npos);
    check(head.find("\r\nCache-Control: no-store\r\n") != std::string_view::npos);
}

pid_t busy_job = -1;
const char *job_file = "/nonexistent/job-1.log";

bool scratch(const char *directory) {
    struct statfs about {};
    return statfs(directory, &about) == 0 && about.f_type == TMPFS_MAGIC;
}

void put(const char *path, std::string_view content) {
    if (FILE *file = fopen(path, "w")) {
        fwrite(content.data(), 1, content.size(), file);
        fclose(file);
    }
}

// Files for the endpoints to serve, only where scripts/fuzz has put empty
// scratch directories over /var/log, /var/lib and /usr/share.
void furnish() {
    if (!scratch("/var/log") || !scratch("/var/lib") || !scratch("/usr/share")) return;
    mkdir("/usr/share/dashwick", 0755);
    put("/usr/share/dashwick/index.html", "<!doctype html><title>panel</title>\n");
    put("/usr/share/dashwick/app.js", "'use strict';\n");
    put("/usr/share/dashwick/style.css", "body{margin:0}\n");
    put("/var/log/seedcfg.log", "[2026-12-07 10:00:00] seedcfg started\n\x1b[1mready\x1b[0m\r\n");
    put("/var/log/dashwick.log.1", std::string(70000, 'x'));
    mkdir("/var/log/sub", 0755);
    mkdir("/var/lib/dashwick", 0700);
    job_file = "/var/lib/dashwick/job-1.log";
    put(job_file, "restarting dropbear\x1b]0;title\x07\n");
}

void stop_busy_job() {
    kill(busy_job, SIGKILL);
    waitpid(busy_job, nullptr, 0);
}

// The running job of every request: slot 0, started in the far future so
// that it never comes of age to be killed.
void hold_job_table() {
    // Without it the next task the table accepts would really start.
    if (waitpid(busy_job, nullptr, WNOHANG) != 0) std::abort();
    memset(jobs, 0, sizeof jobs);
    jobs[0] = {1, busy_job, 0, -1, INT64_MAX / 2, {}};
    snprintf(jobs[0].path, sizeof jobs[0].path, "%s", job_file);
    sequence = 1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    memset(csrf, '0', csrf_size - 1);
    furnish();
    busy_job = fork();
    if (busy_job < 0) std::abort();
    if (busy_job == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (;;) pause();
    }
    atexit(stop_busy_job);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    hold_job_table();
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) std::abort();
    int client = ends[0], server = ends[1];
    int buffer_size = 1 << 20;
    setsockopt(client, SOL_SOCKET, SO_SNDBUF, &buffer_size, sizeof buffer_size);
    setsockopt(server, SOL_SOCKET, SO_SNDBUF, &buffer_size, sizeof buffer_size);
    // The client sends what fits without waiting and closes its side, so
    // that every read in handle ends at once.
    fcntl(client, F_SETFL, O_NONBLOCK);
    size_t sent = 0;
    while (sent < size) {
        ssize_t n = write(client, data + sent, size - sent);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    shutdown(client, SHUT_WR);
    handle(server);
    close(server);
    fcntl(client, F_SETFL, 0);
    check_reply(take_reply(client));
    close(client);
    // Still the one job, still running: nothing was started or reaped.
    check(sequence == 1 && jobs[0].done == 0 && jobs[0].pid == busy_job && jobs[1].id == 0);
    return 0;
}
