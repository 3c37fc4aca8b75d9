// One HTTP/1.0 GET against the metadata service. The socket is non-blocking
// only so that connect, send and receive all run under one deadline.
#include "agent/http.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr long long exchange_ms = 2500;      // connect, send and receive together
constexpr size_t response_limit = 262144;    // headers included; must stay below
constexpr size_t request_size = 512;
constexpr int host_size = 64;                // 63 characters of digits and dots

struct service_address {
    char host[host_size];
    sockaddr_in address;
};

// "http://" + dotted IPv4 + optional ":port", nothing after. The port is
// read digit by digit: a sign, blanks or an overflowing number is refused
// rather than left to the conversion's mercy.
int parse_base(const char *base, service_address *out) {
    int used = 0;
    if (sscanf(base, "http://%63[0-9.]%n", out->host, &used) != 1) return -1;
    const char *rest = base + used;
    unsigned port = 80;
    if (*rest == ':') {
        rest++;
        if (*rest < '0' || *rest > '9') return -1;
        port = 0;
        for (; *rest >= '0' && *rest <= '9'; rest++) {
            port = port * 10 + static_cast<unsigned>(*rest - '0');
            if (port > 65535) return -1;
        }
    }
    if (*rest != '\0' || port < 1) return -1;
    memset(&out->address, 0, sizeof out->address);
    out->address.sin_family = AF_INET;
    out->address.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, out->host, &out->address.sin_addr) != 1) return -1;
    return 0;
}

// Decodes a chunked body in place, starting at body with length bytes.
// The decoded text is NUL-terminated at body; 0, or -1 when malformed.
int dechunk(char *body, size_t length) {
    char *read = body;
    char *write = body;
    size_t left = length;
    for (;;) {
        char *line_end = static_cast<char *>(memmem(read, left, "\r\n", 2));
        if (!line_end) return -1;
        // Hex digits only: no blanks, sign or "0x" that a library
        // conversion would let through.
        unsigned long long size = 0;
        const char *p = read;
        for (;; p++) {
            int digit;
            if (*p >= '0' && *p <= '9') digit = *p - '0';
            else if (*p >= 'a' && *p <= 'f') digit = *p - 'a' + 10;
            else if (*p >= 'A' && *p <= 'F') digit = *p - 'A' + 10;
            else break;
            if (size > (ULLONG_MAX >> 4)) return -1;
            size = size * 16 + static_cast<unsigned>(digit);
        }
        if (p == read) return -1;
        if (p != line_end && *p != ';') return -1;  // ";" opens an extension
        size_t line = static_cast<size_t>(line_end - read) + 2;
        left -= line;  // the line end was found within left
        if (size == 0) {
            *write = '\0';
            return 0;
        }
        char *data = line_end + 2;
        if (size > left) return -1;
        left -= size;
        if (left < 2 || data[size] != '\r' || data[size + 1] != '\n') return -1;
        memmove(write, data, size);
        write += size;
        read = data + size + 2;
        left -= 2;
    }
}

// Whether the Content-Length header, when present, matches the body.
int length_matches(const char *headers, size_t body_length) {
    const char *field = strcasestr(headers, "Content-Length:");
    if (!field) return 1;
    const char *p = field + strlen("Content-Length:");
    while (*p == ' ' || *p == '\t') p++;
    if (*p < '0' || *p > '9') return 0;
    unsigned long long value = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        value = value * 10 + static_cast<unsigned>(*p - '0');
        if (value > response_limit) return 0;  // already larger than any body
    }
    return value == body_length;
}

// Reads until the server closes; the byte count, or -1 on an error, the
// deadline, or a response that reaches the limit.
long long receive_all(int fd, char *buffer, long long deadline) {
    size_t total = 0;
    for (;;) {
        ssize_t n = recv(fd, buffer + total, response_limit - total, 0);
        if (n > 0) {
            total += static_cast<size_t>(n);
            if (total >= response_limit) return -1;
        } else if (n == 0) {
            return static_cast<long long>(total);
        } else if (errno != EAGAIN && errno != EINTR) {
            return -1;
        } else if (wait_socket(fd, POLLIN, deadline) != 0) {
            return -1;
        }
    }
}

}  // namespace

int http_response_status(const char *buffer, size_t total) {
    if (!memmem(buffer, total, "\r\n\r\n", 4)) return -1;
    int status = 0;
    if (sscanf(buffer, "HTTP/%*s %d", &status) != 1) return -1;
    return status;
}

int http_response_body(char *buffer, size_t total) {
    if (http_response_status(buffer, total) != 200) return -1;
    char *end = static_cast<char *>(memmem(buffer, total, "\r\n\r\n", 4));
    *end = '\0';  // header searches see the headers only
    char *body = end + 4;
    size_t body_length = total - static_cast<size_t>(body - buffer);
    if (strcasestr(buffer, "Transfer-Encoding: chunked")) {
        if (dechunk(body, body_length) != 0) return -1;
    } else if (!length_matches(buffer, body_length)) {
        return -1;
    }
    size_t kept = strlen(body) + 1;
    memmove(buffer, body, kept);
    // The bytes the body came from (and the headers) may still hold user
    // data with root's password: nothing of them stays behind the text.
    explicit_bzero(buffer + kept, total + 1 - kept);
    return 0;
}


int wait_socket(int fd, short events, long long deadline) {
    for (;;) {
        if (monotonic_ms() >= deadline) return -1;
        long long wait = deadline - monotonic_ms();
        if (wait < 0) wait = 0;
        if (wait > INT_MAX) wait = INT_MAX;
        pollfd entry{fd, events, 0};
        int ready = poll(&entry, 1, static_cast<int>(wait));
        if (ready > 0) return (entry.revents & (events | POLLHUP)) ? 0 : -1;
        if (ready < 0 && errno != EINTR) return -1;
    }
}

char *http_get(const char *base, const char *name, bool *not_found) {
    if (not_found) *not_found = false;
    service_address service;
    if (parse_base(base, &service) != 0) return nullptr;
    char request[request_size];
    int request_length = snprintf(request, sizeof request,
                                  "GET /openstack/latest/%s HTTP/1.0\r\nHost: %s\r\n"
                                  "Connection: close\r\n\r\n",
                                  name, service.host);
    if (request_length < 0 || static_cast<size_t>(request_length) >= sizeof request)
        return nullptr;

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        close(fd);
        return nullptr;
    }

    long long deadline = monotonic_ms() + exchange_ms;
    if (connect(fd, reinterpret_cast<const sockaddr *>(&service.address),
                sizeof service.address) != 0 &&
        errno != EINPROGRESS) {
        close(fd);
        return nullptr;
    }
    // A refused connection is not fetched here: it fails the send or the
    // receive that follows.
    if (wait_socket(fd, POLLOUT, deadline) != 0) {
        close(fd);
        return nullptr;
    }

    size_t sent = 0;
    while (sent < static_cast<size_t>(request_length)) {
        // A peer that resets the connection must give a failed fetch, not
        // a SIGPIPE that ends the agent.
        ssize_t n = send(fd, request + sent, static_cast<size_t>(request_length) - sent,
                         MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (wait_socket(fd, POLLOUT, deadline) != 0) {
                close(fd);
                return nullptr;
            }
        } else {
            close(fd);
            return nullptr;
        }
    }

    char *buffer = static_cast<char *>(malloc(response_limit + 1));
    if (!buffer) {
        close(fd);
        return nullptr;
    }
    long long total = receive_all(fd, buffer, deadline);
    close(fd);
    if (total >= 0) {
        buffer[total] = '\0';
        if (not_found) *not_found = http_response_status(buffer, static_cast<size_t>(total)) == 404;
        if (http_response_body(buffer, static_cast<size_t>(total)) == 0) return buffer;
    }
    // Whatever arrived may be user data: wiped whole, as far as a failed
    // receive may have written.
    explicit_bzero(buffer, response_limit + 1);
    free(buffer);
    return nullptr;
}
