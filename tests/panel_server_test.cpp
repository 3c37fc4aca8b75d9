// The real dashwick in private mount and network namespaces.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tests/panel_sandbox.h"

using panel::basic;
using panel::reply;

namespace {

long long now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

const std::string good = basic("root:" + std::string(panel::root_password));

std::string get(const std::string &target, const std::string &headers = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: panel\r\n" + headers + "\r\n";
}

struct PanelServer : ::testing::Test {
    panel::server s;
    void SetUp() override { ASSERT_TRUE(s.start()); }
};

}  // namespace

TEST(PanelCommandLine, BadVectorsExitTwoSilently) {
    const std::vector<std::vector<std::string>> bad = {
        {"--port", "0"}, {"--port", "65536"}, {"--port", "80x"}, {"--port"}, {"--port", ""},
        {"--help", "x"}, {"--verbose"},       {"--port", "8088", "x"},
    };
    for (const auto &args : bad) {
        SCOPED_TRACE(testing::PrintToString(args));
        panel::server s;
        sandbox::options o = s.options;
        o.args.insert(o.args.end(), args.begin(), args.end());
        o.timeout_ms = 10000;
        auto r = s.box.run(o);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        // Refused before anything is touched.
        EXPECT_FALSE(sandbox::exists(s.box.written("/var/lib/dashwick")));
    }
}

TEST(PanelCommandLine, Help) {
    panel::server s;
    sandbox::options o = s.options;
    o.args.push_back("--help");
    auto r = s.box.run(o);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "Usage: dashwick [--port PORT]\n"
              "Loopback backend. Use nginx HTTPS. Login uses the root password.\n");
    EXPECT_EQ(r.err, "");
}

TEST(PanelCommandLine, PortBounds) {
    for (const char *port : {"1", "65535"}) {
        SCOPED_TRACE(port);
        panel::server s;
        ASSERT_TRUE(s.start({"--port", port}));
        EXPECT_EQ(s.exchange(get("/nothing")), reply(404, "Not found\n"));
        auto r = s.stop();
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
}

TEST(PanelStart, BusyPortIsReportedBeforeAnythingElse) {
    panel::server s;
    ASSERT_TRUE(s.start());
    sandbox::options second = s.options;
    second.timeout_ms = 10000;
    auto r = s.box.run(second);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string("dashwick listen: ") + strerror(EADDRINUSE) + "\n");
    // The first one still serves.
    EXPECT_EQ(s.exchange(get("/nothing")), reply(404, "Not found\n"));
}

TEST_F(PanelServer, StateDirectoryAndLoopbackOnly) {
    EXPECT_EQ(sandbox::mode_of(s.box.written("/var/lib/dashwick")), 0700u);
    int fd = panel::connect_in(s.ns.holder, "127.0.0.2", panel::default_port);
    int error = errno;
    if (fd >= 0) close(fd);
    EXPECT_LT(fd, 0);
    EXPECT_EQ(error, ECONNREFUSED);
}

TEST_F(PanelServer, AssetsNeedNoCredentials) {
    // The asset directory is empty here.
    for (const char *target : {"/", "/app.js", "/style.css"}) {
        SCOPED_TRACE(target);
        EXPECT_EQ(s.exchange(std::string("GET ") + target + " HTTP/1.0\r\n\r\n"),
                  reply(404, "Panel asset missing\n"));
    }
    EXPECT_EQ(s.exchange(get("/", "Authorization: Basic bm9ib2R5\r\n")),
              reply(404, "Panel asset missing\n"));
    EXPECT_EQ(s.exchange(get("/app.js?v=2")), reply(404, "Not found\n"));
    EXPECT_EQ(s.exchange("HEAD / HTTP/1.1\r\n\r\n"), reply(405, "GET required\n"));
}

TEST_F(PanelServer, ApiWithAndWithoutCredentials) {
    const auto unknown = reply(404, "Unknown API\n");
    const auto refused = reply(401, "Authentication required\n");
    EXPECT_EQ(s.exchange(get("/api/nothing", good)), unknown);
    EXPECT_EQ(s.exchange(get("/api/system?x=1", good)), unknown);
    EXPECT_EQ(s.exchange(get("/api/job?id=1", good)), reply(404, "Job expired\n"));
    EXPECT_EQ(s.exchange("DELETE /api/logs HTTP/1.1\r\n" + good + "\r\n"),
              reply(405, "Unsupported request\n"));
    EXPECT_EQ(s.exchange("POST /api/logs HTTP/1.1\r\n" + good + "Content-Length: 0\r\n\r\n"),
              reply(405, "Unsupported request\n"));
    for (const char *target : {"/api/nothing", "/api/system", "/api/job?id=1", "/api/logs"}) {
        SCOPED_TRACE(target);
        EXPECT_EQ(s.exchange(get(target)), refused);
    }
    EXPECT_EQ(s.exchange("DELETE /api/logs HTTP/1.1\r\n\r\n"), refused);
}

TEST_F(PanelServer, CredentialChecks) {
    const auto unknown = reply(404, "Unknown API\n");
    const auto refused = reply(401, "Authentication required\n");
    const std::string password(panel::root_password);
    const std::string hash = panel::sha512_crypt(password);
    const std::string encoded = panel::base64("root:" + password);
    ASSERT_NE(encoded.find('='), std::string::npos);
    const std::string bare = encoded.substr(0, encoded.find('='));
    struct { std::string headers; const std::string &expected; } cases[] = {
        {"Authorization: Basic " + bare + "\r\n", unknown},
        {"authorization:   Basic " + bare + "=junk after padding\r\n", unknown},
        {basic("root:" + hash), refused},                           // the stored hash itself
        {basic("root:" + password.substr(0, password.find(':'))), refused},  // cut at its colon
        {basic("root:" + password + " "), refused},
        {basic("root:"), refused},
        {basic("Root:" + password), refused},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.headers);
        EXPECT_EQ(s.exchange(get("/api/nothing", c.headers)), c.expected);
    }
}

TEST_F(PanelServer, ShadowIsReadOnEveryRequest) {
    const auto unknown = reply(404, "Unknown API\n");
    const auto refused = reply(401, "Authentication required\n");
    const std::string hash = panel::sha512_crypt(panel::root_password);
    s.set_shadow(panel::shadow_entry("!" + hash));
    EXPECT_EQ(s.exchange(get("/api/nothing", good)), refused);
    s.set_shadow(panel::shadow_entry("*"));
    EXPECT_EQ(s.exchange(get("/api/nothing", basic("root:*"))), refused);
    s.set_shadow(panel::shadow_entry(""));
    EXPECT_EQ(s.exchange(get("/api/nothing", basic("root:"))), refused);
    s.set_shadow(panel::shadow_entry(panel::sha512_crypt("changed")));
    EXPECT_EQ(s.exchange(get("/api/nothing", good)), refused);
    EXPECT_EQ(s.exchange(get("/api/nothing", basic("root:changed"))), unknown);
    s.set_shadow(panel::shadow_entry(hash));
    EXPECT_EQ(s.exchange(get("/api/nothing", good)), unknown);
}

TEST_F(PanelServer, TaskRequestsNeedTheToken) {
    const auto forbidden = reply(403, "Request token required\n");
    const std::string body = "operation=services";
    const std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
    auto post = [&](const std::string &headers) {
        return s.exchange("POST /api/run HTTP/1.1\r\n" + headers + length + "\r\n" + body);
    };
    EXPECT_EQ(post(good), forbidden);
    EXPECT_EQ(post(good + "X-Dashwick-Token: " + std::string(64, 'a') + "\r\n"), forbidden);
    EXPECT_EQ(post(good + "X-Dashwick-Token: " + std::string(63, '0') + "\r\n"), forbidden);
    EXPECT_EQ(post(good + "X-Dashwick-Token: " + std::string(200, 'f') + "\r\n"), forbidden);
    // Credentials are checked first.
    EXPECT_EQ(post("X-Dashwick-Token: " + std::string(64, 'a') + "\r\n"),
              reply(401, "Authentication required\n"));
}

TEST_F(PanelServer, RequestArrivingInParts) {
    int fd = s.connect();
    ASSERT_GE(fd, 0);
    const std::string request = get("/api/nothing", good);
    for (size_t at = 0; at < request.size(); at += 7) {
        ASSERT_TRUE(panel::send_all(fd, request.substr(at, 7)));
        usleep(2000);
    }
    EXPECT_EQ(panel::read_until_closed(fd), reply(404, "Unknown API\n"));
    close(fd);
}

TEST_F(PanelServer, SilentClientsAreDroppedAfterThreeSeconds) {
    // One client says nothing, the next stops in the middle of its head;
    // a third waits in the backlog and is served once they are dropped.
    int silent = s.connect();
    int partial = s.connect();
    int waiting = s.connect();
    ASSERT_GE(silent, 0);
    ASSERT_GE(partial, 0);
    ASSERT_GE(waiting, 0);
    long long begin = now_ms();
    ASSERT_TRUE(panel::send_all(partial, "GET /nothing HTTP/1.1\r\nHost: x\r\n"));
    ASSERT_TRUE(panel::send_all(waiting, get("/nothing")));
    EXPECT_EQ(panel::read_until_closed(silent, 20000), "");
    long long first = now_ms() - begin;
    EXPECT_EQ(panel::read_until_closed(partial, 20000), "");
    long long second = now_ms() - begin;
    EXPECT_EQ(panel::read_until_closed(waiting, 20000), reply(404, "Not found\n"));
    EXPECT_GE(first, 2500);
    EXPECT_LT(first, 15000);
    EXPECT_GE(second - first, 2500);
    close(silent);
    close(partial);
    close(waiting);
}

TEST(PanelStart, FailingWaitEndsWithStatusOne) {
    panel::server s;
    // The leak check of a sanitized build cannot run without descriptors.
    s.options.env.push_back("ASAN_OPTIONS=detect_leaks=0");
    ASSERT_TRUE(s.start());
    // With no descriptors allowed, poll refuses even one.
    rlimit none{0, 0};
    rlimit old{};
    ASSERT_EQ(prlimit(s.process.pid, RLIMIT_NOFILE, nullptr, &old), 0);
    none.rlim_max = old.rlim_max;
    ASSERT_EQ(prlimit(s.process.pid, RLIMIT_NOFILE, &none, nullptr), 0);
    auto r = s.wait(15000);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string("dashwick poll: ") + strerror(EINVAL) + "\n");
}
