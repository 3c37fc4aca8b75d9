// A tiny HTTP server for tests of the metadata client and the metadata
// service poll. It runs in a child process that the test stops by pid.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

namespace test_http {

struct behaviour {
    // The bytes sent for a request (its header block as received); no
    // value keeps the connection open without a word.
    std::function<std::optional<std::string>(const std::string &request)> reply;
    std::string log = {};  // each request is appended to this file when set
    int trickle_ms = 0;    // > 0: the reply goes out one byte per period
    bool reset = false;    // end each connection with a reset instead of a close
};

// A listening TCP socket on ip:port (port 0 picks a free one), or -1.
int listen_tcp(const char *ip, int port);
int port_of(int listener);

// Serves listener until killed (at most two minutes); never returns.
[[noreturn]] void serve(int listener, const behaviour &how);
// The same in a forked child, stopped by the caller with sandbox::stop.
pid_t fork_server(int listener, const behaviour &how);

// A 200 reply with Content-Length for body.
std::string ok(const std::string &body);

}  // namespace test_http
