#include "tests/panel_sandbox.h"

#include <arpa/inet.h>
#include <crypt.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace panel {

std::string sha512_crypt(std::string_view password) {
    const char *hash = crypt(std::string(password).c_str(), "$6$dashwickTest$");
    if (!hash || hash[0] != '$') throw std::runtime_error("crypt");
    return hash;
}

std::string shadow_entry(std::string_view hash) {
    return "root:" + std::string(hash) + ":19700:0:99999:7:::\ndaemon:*:19700:0:99999:7:::\n";
}

std::string base64(std::string_view bytes) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        size_t n = std::min<size_t>(3, bytes.size() - i);  // bytes in this group
        unsigned v = 0;
        for (size_t k = 0; k < 3; k++)
            v = v << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (size_t k = 0; k < 4; k++) out += k <= n ? alphabet[v >> (18 - 6 * k) & 63] : '=';
    }
    return out;
}

std::string basic(std::string_view user_password) {
    return "Authorization: Basic " + base64(user_password) + "\r\n";
}

std::string reply(int status, std::string_view body, std::string_view type) {
    return "HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " Error") +
           "\r\nContent-Type: " + std::string(type) +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

std::string shape(std::string_view whole) {
    size_t blank = whole.find("\r\n\r\n");
    if (!whole.starts_with("HTTP/") || blank == std::string_view::npos) return std::string(whole);
    std::string out;
    for (size_t at = 0; at < blank + 2;) {
        size_t end = whole.find("\r\n", at) + 2;
        std::string_view line = whole.substr(at, end - at);
        if (at == 0 || line.starts_with("Content-Type: ") || line.starts_with("Content-Length: "))
            out += line;
        at = end;
    }
    return out + std::string(whole.substr(blank + 2));
}

int connect_in(pid_t holder, const char *address, int port, int receive_buffer) {
    // The socket belongs to the namespace it is made in.
    std::string theirs_path = "/proc/" + std::to_string(holder) + "/ns/net";
    int own = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    int theirs = open(theirs_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (own < 0 || theirs < 0 || setns(theirs, CLONE_NEWNET) != 0)
        throw std::runtime_error("setns");
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (setns(own, CLONE_NEWNET) != 0 || fd < 0) throw std::runtime_error("socket");
    close(own);
    close(theirs);
    if (receive_buffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &to.sin_addr);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0) return fd;
    int error = errno;
    close(fd);
    errno = error;
    return -1;
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
    char buf[65536];
    for (long long deadline = now_ms() + timeout_ms; now_ms() < deadline;) {
        pollfd p{fd, POLLIN, 0};
        int n = poll(&p, 1, static_cast<int>(std::max(0LL, deadline - now_ms())));
        ssize_t got = n > 0 ? read(fd, buf, sizeof buf) : -1;
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        out.append(buf, static_cast<size_t>(got));
    }
    return out;
}

// Through tests/sandbox.h, not scripts/panel-sandbox: a test reads what the
// program wrote in the overlay's upper layer, binds its own tools and files,
// and stops the program by its pid.
server::server() {
    set_shadow(shadow_entry(sha512_crypt(root_password)));
    options.args = {DASHWICK_PATH};
    options.writable = {"/var/log", "/var/lib", "/usr/share"};
    options.binds = {{box.root / "shadow", "/etc/shadow"}};
    options.net_of = ns.holder;
    // Output stays on the pipes the test reads, not in a service log.
    options.env = {"VORNA_LOG_SERVICE=dashwick"};
    options.timeout_ms = 120000;
}

void server::set_shadow(const std::string &content) const {
    sandbox::spit(box.root / "shadow", content, 0600);
}

bool server::start(const char *chosen) {
    sandbox::options o = options;
    if (chosen) {
        o.args.insert(o.args.end(), {"--port", chosen});
        port = atoi(chosen);
    }
    process = box.start(o);
    for (long long deadline = now_ms() + 10000; now_ms() < deadline; usleep(10000)) {
        int fd = connect();
        if (fd >= 0) {
            close(fd);  // a connection closed without a word gets no reply
            return true;
        }
    }
    return false;
}

std::string server::exchange_whole(std::string_view request) const {
    int fd = connect();
    if (fd < 0) return "connect: " + std::string(strerror(errno));
    std::string out = send_all(fd, request) ? read_until_closed(fd) : "";
    close(fd);
    return out;
}

sandbox::result server::stop() {
    if (process.pid <= 0) return {};
    kill(process.pid, SIGKILL);
    return sandbox::finish(process, 10000);
}

}  // namespace panel
