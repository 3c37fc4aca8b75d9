// Debian's nginx with deploy/nginx/dashwick.conf in front of a sandboxed
// dashwick: the same network namespace, a private mount namespace with the
// test's own certificate over /etc/ssl, and a TLS client for the test.
#pragma once

#include <openssl/ssl.h>
#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "tests/panel_sandbox.h"
#include "tests/sandbox.h"

namespace front {

constexpr int https_port = 443;    // as in the shipped file
constexpr int backend_port = 880;  // where the shipped file forwards to

struct proxy {
    sandbox::box box;               // prefix: nginx.conf, access.log, temp dirs
    sandbox::box::process process;  // nginx, one process (no workers)

    proxy() = default;
    ~proxy() { stop(); }
    proxy(const proxy &) = delete;
    proxy &operator=(const proxy &) = delete;

    // Makes a certificate, starts nginx inside the backend's network
    // namespace; true once port 443 accepts connections within 10 s.
    bool start(const panel::server &backend);
    sandbox::result stop();  // killed by its pid
    // One line per finished request: status, then the upstream address in
    // quotes ("-" when the request never reached the backend).
    std::vector<std::string> log() const;
    // Waits (at most timeout_ms) until the log holds more than `count`
    // lines; the log then.
    std::vector<std::string> log_after(size_t count, int timeout_ms = 15000) const;
};

struct tls {
    int fd = -1;
    SSL *ssl = nullptr;
    tls() = default;
    tls(tls &&other) noexcept : fd(other.fd), ssl(other.ssl) { other.fd = -1, other.ssl = nullptr; }
    tls(const tls &) = delete;
    ~tls() { close(); }
    void close();
    bool ok() const { return ssl != nullptr; }
    bool send(std::string_view data);
    // What the peer sends until it closes the connection, or until
    // timeout_ms passed.
    std::string read_all(int timeout_ms = 20000);
    // True while the peer has neither sent anything nor closed.
    bool quiet();
};

// A TLS connection (no certificate check) to 127.0.0.1:port inside the
// namespace of holder; ok() is false when it failed. Only version (unless 0)
// and the TLS 1.2 suites in ciphers are offered, whatever the library's policy.
tls connect(pid_t holder, int port = https_port, int version = 0, const char *ciphers = nullptr);

// The status code of a reply ("HTTP/1.1 404 ..."), or 0 for none.
int status_of(std::string_view reply);
std::string body_of(std::string_view reply);
// The value of a reply header (name matched exactly), or "" when absent.
std::string header_of(std::string_view reply, std::string_view name);

}  // namespace front
