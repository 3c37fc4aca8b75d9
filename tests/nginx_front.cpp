#include "tests/nginx_front.h"

#include <openssl/err.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <sstream>
#include <stdexcept>

namespace front {
namespace {

// The shipped file, included verbatim in the http block of a wrapper that
// keeps every path of nginx's own inside the test's directory.
std::string wrapper(const std::string &prefix) {
    std::string conf = "daemon off;\nmaster_process off;\npid " + prefix +
                       "/nginx.pid;\nerror_log stderr notice;\n"
                       "events { worker_connections 512; }\nhttp {\n";
    for (const char *temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        conf += "    " + std::string(temp) + "_temp_path " + prefix + "/" + temp + ";\n";
    conf += "    log_format probe '$status \"$upstream_addr\"';\n"
            "    access_log " + prefix + "/access.log probe;\n"
            "    include " SOURCE_DIR "/deploy/nginx/dashwick.conf;\n}\n";
    return conf;
}

SSL_CTX *client_context() {
    static SSL_CTX *context = [] {
        SSL_CTX *c = SSL_CTX_new(TLS_client_method());
        if (!c) throw std::runtime_error("SSL_CTX_new");
        SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
        return c;
    }();
    return context;
}

void set_timeout(int fd, int option, long long ms) {
    timeval tv{};
    ms = std::max(ms, 1LL);
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>(ms % 1000 * 1000);
    setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

}  // namespace

bool proxy::start(const panel::server &backend) {
    // nginx writes its log and temp files here; the certificate is made
    // below and seeded over /etc/ssl in nginx's own mount namespace.
    const std::string prefix = box.root / "nginx";
    sandbox::make_dirs(prefix, 0755);
    sandbox::spit(prefix + "/nginx.conf", wrapper(prefix), 0644);
    sandbox::options make;
    make.args = {"/usr/bin/openssl", "req", "-x509", "-newkey", "ec",
                 "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                 "-subj", "/CN=127.0.0.1", "-days", "2",
                 "-keyout", prefix + "/key.pem", "-out", prefix + "/cert.pem"};
    make.timeout_ms = 30000;
    if (box.run(make).status != 0) return false;
    box.seed("/etc/ssl/certs/dashwick.pem", sandbox::slurp(prefix + "/cert.pem"), 0644);
    box.seed("/etc/ssl/private/dashwick.key", sandbox::slurp(prefix + "/key.pem"), 0600);

    sandbox::options o;
    o.args = {"/usr/sbin/nginx", "-p", prefix, "-c", prefix + "/nginx.conf"};
    o.writable = {"/etc/ssl"};
    o.net_of = backend.ns.holder;
    o.timeout_ms = 300000;
    process = box.start(o);
    for (long long deadline = panel::now_ms() + 10000; panel::now_ms() < deadline; usleep(10000)) {
        int fd = panel::connect_in(backend.ns.holder, "127.0.0.1", https_port);
        if (fd >= 0) {
            close(fd);
            // nginx logs a connection closed before any request only as a
            // notice, never in the access log.
            return true;
        }
    }
    return false;
}

sandbox::result proxy::stop() {
    if (process.pid <= 0) return {};
    kill(process.pid, SIGKILL);
    return sandbox::finish(process, 10000);
}

std::vector<std::string> proxy::log() const {
    std::vector<std::string> lines;
    std::istringstream in(sandbox::slurp(box.root / "nginx/access.log"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> proxy::log_after(size_t count, int timeout_ms) const {
    std::vector<std::string> lines = log();
    for (long long deadline = panel::now_ms() + timeout_ms;
         lines.size() <= count && panel::now_ms() < deadline; usleep(20000))
        lines = log();
    return lines;
}

tls connect(pid_t holder, int port, int version, const char *ciphers) {
    tls c;
    c.fd = panel::connect_in(holder, "127.0.0.1", port);
    if (c.fd < 0) return c;
    set_timeout(c.fd, SO_RCVTIMEO, 10000);
    set_timeout(c.fd, SO_SNDTIMEO, 10000);
    SSL *ssl = SSL_new(client_context());
    if (!ssl) return c;
    SSL_set_fd(ssl, c.fd);
    if (version && !(SSL_set_min_proto_version(ssl, version) && SSL_set_max_proto_version(ssl, version))) return c;
    if (ciphers && !(SSL_set_security_level(ssl, 0), SSL_set_cipher_list(ssl, ciphers))) return c;
    if (SSL_connect(ssl) != 1) {
        ERR_clear_error();
        SSL_free(ssl);
        return c;
    }
    c.ssl = ssl;
    return c;
}

void tls::close() {
    if (ssl) SSL_free(ssl);
    if (fd >= 0) ::close(fd);
    ssl = nullptr;
    fd = -1;
}

bool tls::send(std::string_view data) {
    while (ssl && !data.empty()) {
        int n = SSL_write(ssl, data.data(), static_cast<int>(data.size()));
        if (n <= 0) {
            ERR_clear_error();
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return ssl != nullptr;
}

std::string tls::read_all(int timeout_ms) {
    std::string out;
    char buf[16384];
    for (long long deadline = panel::now_ms() + timeout_ms; ssl && panel::now_ms() < deadline;) {
        // A reply complete by its Content-Length is all there is: nginx may
        // linger before it closes after refusing a request.
        size_t head = out.find("\r\n\r\n");
        std::string length = header_of(out, "Content-Length");
        if (head != std::string::npos && !length.empty() &&
            out.size() >= head + 4 + std::stoul(length))
            break;
        set_timeout(fd, SO_RCVTIMEO, deadline - panel::now_ms());
        int n = SSL_read(ssl, buf, sizeof buf);
        if (n <= 0) {
            ERR_clear_error();
            break;
        }
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

bool tls::quiet() {
    if (!ssl) return false;
    // TLS 1.3 session tickets may be waiting on the socket: only a read
    // tells whether the peer sent data or closed.
    set_timeout(fd, SO_RCVTIMEO, 100);
    char c;
    errno = 0;
    int n = SSL_read(ssl, &c, 1);
    int error = SSL_get_error(ssl, n);
    bool waiting = n <= 0 && (error == SSL_ERROR_WANT_READ ||
                              (error == SSL_ERROR_SYSCALL && (errno == EAGAIN || errno == EWOULDBLOCK)));
    ERR_clear_error();
    return waiting;
}

int status_of(std::string_view reply) {
    if (reply.size() < 12 || reply.substr(0, 5) != "HTTP/") return 0;
    size_t blank = reply.find(' ');
    return blank == std::string_view::npos ? 0 : atoi(std::string(reply.substr(blank + 1, 3)).c_str());
}

std::string body_of(std::string_view reply) {
    size_t end = reply.find("\r\n\r\n");
    return end == std::string_view::npos ? "" : std::string(reply.substr(end + 4));
}

std::string header_of(std::string_view reply, std::string_view name) {
    std::string_view head = reply.substr(0, reply.find("\r\n\r\n"));
    std::string key = "\r\n" + std::string(name) + ": ";
    size_t at = head.find(key);
    if (at == std::string_view::npos) return "";
    size_t from = at + key.size();
    return std::string(head.substr(from, head.find("\r\n", from) - from));
}

}  // namespace front
