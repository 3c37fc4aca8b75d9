#include "tests/panel_sandbox.h"

#include <arpa/inet.h>
#include <crypt.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace panel {
namespace {

long long now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// True once the process has ended (it is left for finish() to collect).
bool ended(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

}  // namespace

std::string sha512_crypt(std::string_view password) {
    std::string text(password);
    const char *hash = crypt(text.c_str(), "$6$dashwickTest$");
    if (!hash || hash[0] != '$') throw std::runtime_error("crypt");
    return hash;
}

std::string shadow_entry(std::string_view hash) {
    return "root:" + std::string(hash) + ":19700:0:99999:7:::\n" +
           "daemon:*:19700:0:99999:7:::\n";
}

std::string base64(std::string_view bytes) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                     (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                     static_cast<unsigned char>(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) out += alphabet[(v >> shift) & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += rest == 2 ? alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string basic(std::string_view user_password) {
    return "Authorization: Basic " + base64(user_password) + "\r\n";
}

std::string reply(int status, std::string_view body, std::string_view type) {
    std::string out = "HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " Error");
    out += "\r\nContent-Type: ";
    out += type;
    out += "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n"
           "Cache-Control: no-store\r\n"
           "X-Content-Type-Options: nosniff\r\n"
           "Content-Security-Policy: default-src 'self'; frame-ancestors 'none'; "
           "base-uri 'none'; form-action 'self'\r\n"
           "\r\n";
    out += body;
    return out;
}

int connect_in(pid_t holder, const char *address, int port) {
    int own = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    std::string theirs_path = "/proc/" + std::to_string(holder) + "/ns/net";
    int theirs = open(theirs_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (own < 0 || theirs < 0 || setns(theirs, CLONE_NEWNET) != 0)
        throw std::runtime_error("enter network namespace");
    // The socket belongs to the namespace it was made in.
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (setns(own, CLONE_NEWNET) != 0) throw std::runtime_error("leave network namespace");
    close(own);
    close(theirs);
    if (fd < 0) throw std::runtime_error("socket");
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &to.sin_addr);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool send_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::string read_until_closed(int fd, int timeout_ms) {
    std::string out;
    long long deadline = now_ms() + timeout_ms;
    for (;;) {
        long long left = deadline - now_ms();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        int n = poll(&p, 1, static_cast<int>(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        char buf[65536];
        ssize_t got = read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        out.append(buf, static_cast<size_t>(got));
    }
    return out;
}

server::server() {
    set_shadow(shadow_entry(sha512_crypt(root_password)));
    options.args = {DASHWICK_PATH};
    options.writable = {"/var/log", "/var/lib", "/usr/share"};
    options.binds = {{shadow_path(), "/etc/shadow"}};
    options.net_of = ns.holder;
    // Output stays on the pipes the test reads, not in a service log.
    options.env = {"VORNA_LOG_SERVICE=dashwick"};
    options.timeout_ms = 120000;
}

server::~server() {
    if (process.pid > 0) stop();
}

void server::set_shadow(const std::string &content) const {
    sandbox::spit(shadow_path(), content, 0600);
}

bool server::start(const std::vector<std::string> &extra) {
    for (size_t i = 0; i + 1 < extra.size(); i++)
        if (extra[i] == "--port") port = std::stoi(extra[i + 1]);
    sandbox::options o = options;
    o.args.insert(o.args.end(), extra.begin(), extra.end());
    process = box.start(o);
    long long deadline = now_ms() + 10000;
    while (now_ms() < deadline) {
        if (ended(process.pid)) return false;
        int fd = connect();
        if (fd >= 0) {
            // A connection that sends nothing and closes gets no reply.
            close(fd);
            return true;
        }
        usleep(10000);
    }
    return false;
}

std::string server::exchange(std::string_view request) const {
    int fd = connect();
    if (fd < 0) return "connect: " + std::string(strerror(errno));
    std::string out;
    if (send_all(fd, request)) out = read_until_closed(fd);
    close(fd);
    return out;
}

sandbox::result server::stop() {
    if (process.pid <= 0) return {};
    kill(process.pid, SIGKILL);
    return sandbox::finish(process, 10000);
}

sandbox::result server::wait(int timeout_ms) {
    if (process.pid <= 0) return {};
    return sandbox::finish(process, timeout_ms);
}

}  // namespace panel
