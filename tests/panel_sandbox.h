// Test helpers for dashwick: the exact bytes of replies and credentials,
// loopback sockets, and the real binary in a private mount namespace
// (writable /var/log, /var/lib and /usr/share; a test shadow file bound over
// /etc/shadow) joined to a private network namespace.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "tests/sandbox.h"

namespace panel {

constexpr int default_port = 8088;
// root's password in the test shadow file; it holds a colon and a blank.
constexpr std::string_view root_password = "Tr0ub:4dor &3!";

std::string sha512_crypt(std::string_view password);  // with a fixed salt
std::string shadow_entry(std::string_view hash);       // root's line (and daemon's)
std::string base64(std::string_view bytes);             // standard, "=" padded
std::string basic(std::string_view user_password);      // "Authorization: Basic ...\r\n"
// What an endpoint decides of a reply: its status line, Content-Type and
// Content-Length lines, and body. The other header lines are the same on
// every reply; the test of the reply writer checks them.
std::string reply(int status, std::string_view body,
                  std::string_view type = "text/plain; charset=utf-8");
// A reply as read, reduced to what reply() gives (one reply; text that is
// not one is returned as it is).
std::string shape(std::string_view whole);

using sandbox::now_ms;
// A TCP connection inside holder's network namespace; -1 (errno set) if refused.
// A receive_buffer above 0 is set before connecting (SO_RCVBUF).
int connect_in(pid_t holder, const char *address, int port, int receive_buffer = 0);
bool send_all(int fd, std::string_view data);  // false when the peer is gone
// Everything the peer sends until it closes, or until timeout_ms passed.
std::string read_until_closed(int fd, int timeout_ms = 15000);

struct server {
    sandbox::box box;
    sandbox::netns ns;
    sandbox::options options;       // adjust before start()
    sandbox::box::process process;  // the running dashwick
    int port = default_port;

    server();  // root's shadow hash is that of root_password
    ~server() { stop(); }

    // Rewrites /etc/shadow in place: seen at the server's next lookup.
    void set_shadow(const std::string &content) const;
    // Starts dashwick (with "--port" and chosen when given); true once it
    // accepts connections within 10 s.
    bool start(const char *chosen = nullptr);
    int connect() const { return connect_in(ns.holder, "127.0.0.1", port); }
    // One request on a new connection; the whole reply ("" for none), or
    // its shape.
    std::string exchange_whole(std::string_view request) const;
    std::string exchange(std::string_view request) const { return shape(exchange_whole(request)); }
    sandbox::result stop();  // killed by its pid
};

}  // namespace panel
