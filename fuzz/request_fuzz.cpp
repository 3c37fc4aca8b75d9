// libFuzzer target for dashwick's request intake and routing: the bytes go
// through a socket pair into handle, as a client would send them before
// closing its side, and the reply that comes back must be one whole HTTP
// reply or nothing.
//
// Root's shadow entry is a stand-in (password "fuzz", a hash that is cheap
// to check) so that authenticated requests reach the endpoints. The request
// token stays unset, so no task request is ever accepted and no program is
// started.
#include <fcntl.h>
#include <shadow.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "panel/http.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
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
    return 0;
}
