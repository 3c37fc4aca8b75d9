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

namespace test_http {

int listen_tcp(const char *ip, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || inet_pton(AF_INET, ip, &a.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 64) != 0) {
        if (fd >= 0) close(fd);
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
    if (listener < 0) _exit(3);
    alarm(120);
    for (;;) {
        int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        std::string request;
        char buf[4096];
        pollfd p{fd, POLLIN, 0};
        while (request.find("\r\n\r\n") == std::string::npos && request.size() < 16384 &&
               poll(&p, 1, 2000) > 0) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            request.append(buf, static_cast<size_t>(n));
        }
        int log = how.log.empty() ? -1 : open(how.log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (log >= 0) {
            ssize_t n = write(log, request.data(), request.size());
            (void)n;
            close(log);
        }
        std::optional<std::string> reply = how.reply(request);
        if (!reply) continue;  // silent: the connection stays open until the end
        size_t step = how.trickle_ms > 0 ? 1 : reply->size();
        for (size_t at = 0; at < reply->size(); at += step) {
            usleep(static_cast<useconds_t>(how.trickle_ms) * 1000);
            if (send(fd, reply->data() + at, std::min(step, reply->size() - at), MSG_NOSIGNAL) <= 0) break;
        }
        if (how.reset) {
            linger abort{1, 0};  // close sends RST
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        }
        close(fd);
    }
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
