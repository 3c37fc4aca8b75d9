// System-test harness for dashwick: the real binary in a private mount
// namespace (writable /var/log, /var/lib and /usr/share; a test shadow file
// bound over /etc/shadow) and a private network namespace, reached from the
// test over loopback sockets made inside that namespace.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "tests/sandbox.h"

namespace panel {

constexpr int default_port = 8088;
// root's password in the test shadow file; it holds a colon and a blank.
constexpr std::string_view root_password = "Tr0ub:4dor &3!";

// A SHA-512-crypt hash of password with a fixed salt.
std::string sha512_crypt(std::string_view password);
// The shadow line of root with the given password field.
std::string shadow_entry(std::string_view hash);
// Standard Base64 with "=" padding.
std::string base64(std::string_view bytes);
// "Authorization: Basic ...\r\n" for user:password.
std::string basic(std::string_view user_password);
// The exact bytes of a reply: status line, the seven header lines, body.
std::string reply(int status, std::string_view body,
                  std::string_view type = "text/plain; charset=utf-8");

// A connected TCP socket to address:port inside the network namespace held
// by holder; -1 (errno set) when the connection is refused.
int connect_in(pid_t holder, const char *address, int port);
// Writes all of data; false when the peer is gone.
bool send_all(int fd, std::string_view data);
// Everything the peer sends until it closes (bounded by timeout_ms).
std::string read_until_closed(int fd, int timeout_ms = 15000);

struct server {
    sandbox::box box;
    sandbox::netns ns;
    sandbox::options options;        // adjust before start()
    sandbox::box::process process;   // the running dashwick
    int port = default_port;

    // Prepares the sandbox: root's shadow hash is that of root_password.
    server();
    ~server();
    server(const server &) = delete;
    server &operator=(const server &) = delete;

    // Host path of the file bound over /etc/shadow; rewritten in place, so
    // the running server sees the change at its next lookup.
    std::string shadow_path() const { return box.root / "shadow"; }
    void set_shadow(const std::string &content) const;

    // Starts dashwick with extra arguments (a "--port P" among them sets
    // port) and waits until it accepts connections; false when it ended or
    // never listened within 10 s.
    bool start(const std::vector<std::string> &extra = {});
    int connect() const { return connect_in(ns.holder, "127.0.0.1", port); }
    // One request on a new connection; the whole reply ("" when the server
    // closed without one).
    std::string exchange(std::string_view request) const;
    // Kills the server by its pid and collects its output.
    sandbox::result stop();
    // Waits for the server to end on its own and collects its output.
    sandbox::result wait(int timeout_ms);
};

}  // namespace panel
