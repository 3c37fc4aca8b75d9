// dashwick: the web panel backend. A loopback HTTP server behind the HTTPS
// proxy that serves one connection at a time and reaps finished task
// processes between connections.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "panel/audit.h"
#include "panel/auth.h"
#include "panel/http.h"
#include "panel/tasks.h"
#include "servicelog/servicelog.h"

namespace {

constexpr unsigned short default_port = 8088;
constexpr int backlog = 8;
constexpr int idle_wait_ms = 500;

int listener = -1;

// 0 with the port chosen; 1 for --help (usage printed); 2 for anything
// else, with nothing printed.
int parse_command_line(int argc, char **argv, unsigned short *port) {
    if (argc <= 1) return 0;
    if (argc == 2) {
        if (std::string_view(argv[1]) != "--help") return 2;
        puts("Usage: dashwick [--port PORT]\n"
             "Loopback backend. Use nginx HTTPS. Login uses the root password.");
        return 1;
    }
    if (argc != 3 || std::string_view(argv[1]) != "--port") return 2;
    char *end = nullptr;
    errno = 0;
    long value = strtol(argv[2], &end, 10);
    if (*end != 0 || errno != 0 || value < 1 || value > 65535) return 2;
    *port = static_cast<unsigned short>(value);
    return 0;
}

// The request token from 32 bytes of /dev/urandom; -1 when they cannot
// be had.
int make_token() {
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    unsigned char bytes[token_bytes];
    ssize_t got = read(fd, bytes, sizeof bytes);
    close(fd);
    if (got != static_cast<ssize_t>(sizeof bytes)) return -1;
    format_token(bytes);
    return 0;
}

// Binds the loopback address and listens; -1 after reporting why.
int open_listener(unsigned short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(listener, backlog) != 0) {
        perror("dashwick listen");
        return -1;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    unsigned short port = default_port;
    switch (parse_command_line(argc, argv, &port)) {
    case 0:
        break;
    case 1:
        return 0;
    default:
        return 2;
    }

    // An init or a shell may hand SIGCHLD down ignored: then the kernel
    // takes ended children away and reap would never see a job end.
    signal(SIGCHLD, SIG_DFL);

    umask(077);
    mkdir("/var/lib/dashwick", 0700);
    if (make_token() != 0) return 1;

    listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0) return 1;
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (open_listener(port) != 0) return 1;

    // The service log capture starts once the port is ours: a refused bind
    // above still reaches the starter's terminal.
    service_log_start("dashwick");

    // A client that has gone away makes a write fail instead of ending us.
    signal(SIGPIPE, SIG_IGN);

    for (;;) {
        reap();
        audit_flush();
        pollfd ready{listener, POLLIN, 0};
        int count = poll(&ready, 1, idle_wait_ms);
        if (count < 0) {
            if (errno == EINTR) continue;
            perror("dashwick poll");
            close(listener);
            return 1;
        }
        if (count == 0) continue;
        int client = accept(listener, nullptr, nullptr);
        if (client < 0) continue;
        handle(client);
        close(client);
    }
}
