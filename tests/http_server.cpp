#include "tests/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace test_http {
namespace {

constexpr int server_lifetime_s = 120;
constexpr int request_wait_ms = 2000;
constexpr size_t request_limit = 16384;
constexpr size_t held_limit = 256;

std::string read_request(int fd) {
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < request_limit) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, request_wait_ms) <= 0) break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        request.append(buf, static_cast<size_t>(n));
    }
    return request;
}

void send_all(int fd, const std::string &data, int trickle_ms) {
    size_t step = trickle_ms > 0 ? 1 : data.size();
    for (size_t at = 0; at < data.size(); at += step) {
        if (trickle_ms > 0) usleep(static_cast<useconds_t>(trickle_ms) * 1000);
        if (send(fd, data.data() + at, std::min(step, data.size() - at), MSG_NOSIGNAL) <= 0) return;
    }
}

void append_log(const std::string &path, const std::string &request) {
    if (path.empty()) return;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd < 0) return;
    ssize_t n = write(fd, request.data(), request.size());
    (void)n;
    close(fd);
}

}  // namespace

int listen_tcp(const char *ip, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, ip, &a.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 64) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int port_of(int listener) {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    if (getsockname(listener, reinterpret_cast<sockaddr *>(&a), &length) != 0) return -1;
    return ntohs(a.sin_port);
}

void serve(int listener, const behaviour &how) {
    alarm(server_lifetime_s);
    std::vector<int> held;  // silent connections stay open until the end
    for (int served = 0; served < 100000; served++) {
        int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        std::string request = read_request(fd);
        append_log(how.log, request);
        std::optional<std::string> reply = how.reply(request);
        if (!reply) {
            if (held.size() < held_limit) held.push_back(fd);
            else close(fd);
            continue;
        }
        send_all(fd, *reply, how.trickle_ms);
        close(fd);
    }
    _exit(0);
}

pid_t fork_server(int listener, const behaviour &how) {
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        serve(listener, how);
    }
    return pid;
}

std::string ok(const std::string &body) {
    return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace test_http
