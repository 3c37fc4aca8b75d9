// The shipped nginx front in Debian's nginx before the real dashwick, both
// inside one private network namespace: what the backend must never see is
// stopped at the proxy, and ordinary requests pass through unchanged.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "tests/nginx_front.h"
#include "tests/panel_sandbox.h"

namespace {

using panel::basic;
using panel::root_password;

constexpr std::string_view reached = "\"127.0.0.1:880\"";
constexpr std::string_view not_reached = "\"-\"";

class proxy_test : public ::testing::Test {
protected:
    panel::server backend;
    front::proxy nginx;

    void SetUp() override {
        backend.box.seed("/usr/share/dashwick/index.html", "<!doctype html><title>panel</title>\n", 0644);
        ASSERT_TRUE(backend.start(std::to_string(front::backend_port).c_str())) << backend.stop().err;
        ASSERT_TRUE(nginx.start(backend)) << nginx.stop().err;
    }

    // One request through the proxy; the whole reply.
    std::string through(std::string_view request) {
        front::tls c = front::connect(backend.ns.holder);
        EXPECT_TRUE(c.ok());
        return c.send(request) ? c.read_all() : "";
    }

    std::string good() const { return basic("root:" + std::string(root_password)); }

    // The request token, when this backend hands one out.
    std::string token() {
        std::string body =
            front::body_of(backend.exchange("GET /api/system HTTP/1.1\r\n" + good() + "\r\n"));
        size_t at = body.find("\"csrf\":\"");
        return at == std::string::npos ? std::string(64, '0') : body.substr(at + 8, 64);
    }
};

// Requests the backend relies on never receiving. Each is answered (or
// dropped) by nginx and logged without an upstream address.
TEST_F(proxy_test, stops_what_the_backend_must_not_see) {
    const std::string pad(3500, 'p');
    struct refused {
        const char *name;
        std::string head;  // request line and header lines
        std::string rest;  // after the blank line; the whole text when stalled
        int status;        // in the access log; also the reply's unless stalled
        bool stalled;
    } cases[] = {
        {"Content-Length and Transfer-Encoding",
         "POST /api/run HTTP/1.1\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n",
         "0\r\n\r\n", 400, false},
        {"declared body over 1 KiB", "POST /api/run HTTP/1.1\r\nContent-Length: 2000\r\n",
         std::string(2000, 'a'), 413, false},
        {"chunked body over 1 KiB", "POST /api/run HTTP/1.1\r\nTransfer-Encoding: chunked\r\n",
         "7d0\r\n" + std::string(2000, 'a') + "\r\n0\r\n\r\n", 413, false},
        {"header line over 4 KiB",
         "GET /api/system HTTP/1.1\r\nAuthorization: Basic " + std::string(5000, 'A') + "\r\n",
         "", 400, false},
        {"head over 9 KiB",
         "GET /api/system HTTP/1.1\r\nX-A: " + pad + "\r\nX-B: " + pad + "\r\nX-C: " + pad + "\r\n",
         "", 400, false},
        {"target over 4 KiB", "GET /api/log?name=" + std::string(5000, 'n') + " HTTP/1.1\r\n", "",
         414, false},
        {"head that never ends", "", "GET /api/system HTTP/1.1\r\nHost: a\r\n" + good(), 408, true},
        {"body that never ends", "",
         "POST /api/run HTTP/1.1\r\nHost: a\r\nContent-Length: 20\r\n" + good() + "\r\noperation", 408, true},
        // Only the page and /api/ are forwarded, and only as nginx reads them.
        {"neither the page nor the API", "GET /index.html HTTP/1.1\r\n", "", 404, false},
        {"API without its slash", "GET /api HTTP/1.1\r\n" + good(), "", 404, false},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        size_t before = nginx.log().size();
        front::tls slow = front::connect(backend.ns.holder);
        ASSERT_TRUE(slow.ok());
        ASSERT_TRUE(slow.send(c.stalled ? c.rest : c.head + "Host: a\r\nConnection: close\r\n\r\n" + c.rest));
        if (c.stalled) {
            // The stalled client holds nginx only: an ordinary request is
            // served while it waits.
            std::string other = through("GET / HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n");
            EXPECT_NE(front::status_of(other), 0);
            EXPECT_TRUE(slow.quiet());
        }
        std::string answer = slow.read_all();
        slow.close();  // nginx logs a refused body once it stops lingering
        EXPECT_EQ(front::status_of(answer), c.stalled ? 0 : c.status) << answer.substr(0, 200);
        std::vector<std::string> log = nginx.log_after(before + (c.stalled ? 1 : 0));
        ASSERT_GT(log.size(), before);
        EXPECT_EQ(log.back(), std::to_string(c.status) + " " + std::string(not_reached));
    }
}

// Ordinary requests come back as the backend wrote them, with HSTS added;
// a chunked upload reaches the backend with a Content-Length.
TEST_F(proxy_test, passes_ordinary_requests_through) {
    const std::string key = token();
    const std::string form = "operation=none";
    struct passed {
        const char *name;
        std::string head;    // request line and header lines, sent through nginx
        std::string body;    // sent after the blank line
        std::string direct;  // the same request straight to the backend
        bool same_body;
    } cases[] = {
        {"page", "GET / HTTP/1.1\r\n", "", "GET / HTTP/1.1\r\n\r\n", true},
        {"wrong password", "GET /api/system HTTP/1.1\r\n" + basic("root:guess"), "",
         "GET /api/system HTTP/1.1\r\n" + basic("root:guess") + "\r\n", true},
        {"authenticated job query", "GET /api/job?id=4000000000 HTTP/1.1\r\n" + good(), "",
         "GET /api/job?id=4000000000 HTTP/1.1\r\n" + good() + "\r\n", true},
        {"authenticated system status", "GET /api/system HTTP/1.1\r\n" + good(), "",
         "GET /api/system HTTP/1.1\r\n" + good() + "\r\n", false},
        {"task with token, chunked body",
         "POST /api/run HTTP/1.1\r\n" + good() + "X-Dashwick-Token: " + key +
             "\r\nTransfer-Encoding: chunked\r\n",
         "e\r\n" + form + "\r\n0\r\n\r\n",
         "POST /api/run HTTP/1.0\r\n" + good() + "X-Dashwick-Token: " + key +
             "\r\nContent-Length: 14\r\n\r\n" + form, true},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string direct = backend.exchange_whole(c.direct);
        size_t before = nginx.log().size();
        std::string answer = through(c.head + "Host: a\r\nConnection: close\r\n\r\n" + c.body);
        ASSERT_NE(front::status_of(direct), 0) << direct;
        EXPECT_EQ(front::status_of(answer), front::status_of(direct)) << answer;
        if (c.same_body) {
            EXPECT_EQ(front::body_of(answer), front::body_of(direct));
        }
        for (const char *name : {"Content-Type", "Cache-Control", "X-Content-Type-Options",
                                 "Content-Security-Policy"})
            EXPECT_EQ(front::header_of(answer, name), front::header_of(direct, name)) << name;
        EXPECT_EQ(front::header_of(answer, "Strict-Transport-Security"), "max-age=31536000");
        EXPECT_EQ(front::header_of(answer, "Transfer-Encoding"), "");
        std::vector<std::string> log = nginx.log_after(before);
        ASSERT_GT(log.size(), before);
        EXPECT_EQ(log.back().substr(log.back().find(' ') + 1), reached);
    }
}

// Password guessing: a burst of requests from one address is cut off at
// the proxy after the allowed burst (or refused outright), before the
// backend hashes them, on every path that could reach it; the right
// password works again once the burst is over.
TEST_F(proxy_test, limits_the_rate_of_password_guesses) {
    constexpr int requests = 40;
    for (const char *target : {"/api/system", "/api/..", "/api/%2e%2e/", "/api/x/../../", "//api/system"}) {
        std::vector<front::tls> clients;
        for (int i = 0; i < requests; i++) {
            clients.push_back(front::connect(backend.ns.holder));
            ASSERT_TRUE(clients.back().ok()) << i;
        }
        const std::string guess = "GET " + std::string(target) + " HTTP/1.1\r\nHost: a\r\n" + basic("root:guess") + "\r\n";
        for (auto &c : clients) ASSERT_TRUE(c.send(guess));
        std::map<int, int> statuses;
        for (auto &c : clients) statuses[front::status_of(c.read_all(40000))]++;
        // The backend would answer 401 to each (credentials come first).
        EXPECT_EQ(statuses[401] + statuses[429] + statuses[400], requests) << target;
        EXPECT_LE(statuses[401], 30) << target;  // a burst of 20 plus what 5 per second refill
    }
    int status = 0;
    for (int i = 0; i < 50 && status != 200; i++, usleep(100000))
        status = front::status_of(through("GET /api/system HTTP/1.1\r\nHost: a\r\n" + good() + "\r\n"));
    EXPECT_EQ(status, 200);
}

// TLS 1.3, and TLS 1.2 only with forward secrecy and an AEAD cipher.
TEST_F(proxy_test, offers_modern_tls_only) {
    struct { int version; const char *ciphers; bool accepted; } cases[] = {
        {TLS1_3_VERSION, nullptr, true},
        {TLS1_2_VERSION, "ECDHE-ECDSA-AES128-GCM-SHA256", true},
        {TLS1_2_VERSION, "ECDHE-ECDSA-AES128-SHA:ECDHE-ECDSA-AES256-SHA384", false},  // CBC
        {TLS1_2_VERSION, "ECDHE-ECDSA-AES128-CCM8:ECDHE-ECDSA-ARIA128-GCM-SHA256:ECDHE-ECDSA-CAMELLIA128-SHA256", false},
        {TLS1_1_VERSION, "ECDHE-ECDSA-AES128-SHA", false},
    };
    for (auto &c : cases) {
        front::tls t = front::connect(backend.ns.holder, front::https_port, c.version, c.ciphers);
        EXPECT_EQ(t.ok(), c.accepted) << c.version << " " << (c.ciphers ? c.ciphers : "");
        EXPECT_TRUE(!t.ok() || (SSL_version(t.ssl) == c.version && t.send("GET / HTTP/1.0\r\n\r\n") &&
                                front::status_of(t.read_all()) == 200));
    }
}

}  // namespace
