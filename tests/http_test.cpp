// The metadata client against loopback servers in child processes.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/http.h"
#include "tests/http_server.h"
#include "tests/sandbox.h"

namespace {

// When set, every send of this process goes out one byte at a time with a
// pause before it, so a peer can reset the connection half-way.
bool trickle_sends = false;
int sends_made = 0;

}  // namespace

// Stands in for the C library's send in this test program only.
extern "C" ssize_t send(int fd, const void *data, size_t length, int flags) {
    if (trickle_sends) {
        usleep(100000);
        if (length > 1) length = 1;
        sends_made++;
    }
    return syscall(SYS_sendto, fd, data, length, flags, nullptr, 0);
}

namespace {

using namespace std::string_literals;

const char *const document = "meta_data.json";

int open_descriptors() {
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (!dir) return -1;
    while (readdir(dir)) count++;
    closedir(dir);
    return count;
}

// A server that gives every request the same reply.
struct canned {
    sandbox::temp_dir dir;
    int listener = -1;
    pid_t pid = -1;
    std::string url;

    explicit canned(std::optional<std::string> reply, int trickle_ms = 0) {
        listener = test_http::listen_tcp("127.0.0.1", 0);
        if (listener < 0) return;
        test_http::behaviour how;
        how.reply = [reply](const std::string &) { return reply; };
        how.log = dir / "requests";
        how.trickle_ms = trickle_ms;
        pid = test_http::fork_server(listener, how);
        url = "http://127.0.0.1:" + std::to_string(test_http::port_of(listener));
    }
    ~canned() {
        sandbox::stop(pid);
        if (listener >= 0) close(listener);
    }
    std::string requests() const { return sandbox::slurp(dir / "requests"); }
};

// The body as text, or "<null>".
std::string fetch(const std::string &url) {
    char *body = http_get(url.c_str(), document);
    if (!body) return "<null>";
    std::string text = body;
    free(body);
    return text;
}

std::string reply_to(const std::string &response) {
    canned server(response);
    return fetch(server.url);
}

TEST(HttpGet, RefusesMalformedBaseUrlsWithoutTraffic) {
    int listener = test_http::listen_tcp("127.0.0.1", 0);
    ASSERT_GE(listener, 0);
    int port = test_http::port_of(listener);
    std::string p = std::to_string(port);
    int before = open_descriptors();
    const std::vector<std::string> refused = {
        "http://127.0.0.1:" + p + "/",
        "http://127.0.0.1:" + p + "/openstack",
        "http://localhost:" + p,
        "http://127.1:" + p,                          // shorthand is not dotted IPv4
        "http://300.0.0.1:" + p,
        "http://127.0.0.1:0",
        "http://127.0.0.1:" + std::to_string(65536 + port),  // would wrap to the port
        "http://127.0.0.1:" + std::to_string(4294967296LL + port),
        "http://127.0.0.1:",
        "http://127.0.0.1: " + p,
        "http://127.0.0.1:+" + p,
        "http://127.0.0.1:" + p + " ",
        "https://127.0.0.1:" + p,
        "127.0.0.1:" + p,
        "http://" + std::string(60, '1') + ".0.0.1:" + p,  // host over 63 characters
        "",
    };
    for (const auto &url : refused) EXPECT_EQ(fetch(url), "<null>") << url;
    EXPECT_EQ(open_descriptors(), before);
    // Nothing reached the listener.
    int flags = fcntl(listener, F_GETFL);
    fcntl(listener, F_SETFL, flags | O_NONBLOCK);
    EXPECT_LT(accept(listener, nullptr, nullptr), 0);
    EXPECT_EQ(errno, EAGAIN);
    close(listener);
}

TEST(HttpGet, SendsOneHttp10GetAndReturnsTheBody) {
    canned server(test_http::ok("{\"uuid\": \"x\"}"));
    EXPECT_EQ(fetch(server.url), "{\"uuid\": \"x\"}");
    EXPECT_EQ(server.requests(),
              "GET /openstack/latest/meta_data.json HTTP/1.0\r\nHost: 127.0.0.1\r\n"
              "Connection: close\r\n\r\n");

    // Without a port the service is asked on port 80 (in a namespace of
    // the test's own, where that port is free).
    sandbox::netns ns;
    pid_t child = ns.spawn([] {
        int listener = test_http::listen_tcp("127.0.0.1", 80);
        if (listener < 0) _exit(3);
        test_http::behaviour how;
        how.reply = [](const std::string &) { return test_http::ok("port 80"); };
        pid_t server = test_http::fork_server(listener, how);
        char *body = http_get("http://127.0.0.1", document);
        sandbox::stop(server);
        _exit(body && std::string(body) == "port 80" ? 0 : 1);
    });
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(HttpGet, AcceptsOnlyStatus200) {
    EXPECT_EQ(reply_to("HTTP/1.1 200 OK\r\nServer: t\r\n\r\nbody"), "body");
    EXPECT_EQ(reply_to("HTTP/1.0 404 Not Found\r\nContent-Length: 2\r\n\r\nno"), "<null>");
    EXPECT_EQ(reply_to("HTTP/1.0 301 Moved\r\nLocation: http://127.0.0.1/x\r\n\r\n"), "<null>");
    EXPECT_EQ(reply_to("HTTP/1.0 2000 OK\r\n\r\nbody"), "<null>");
    EXPECT_EQ(reply_to("HTTP/1.0 201 Created\r\n\r\nbody"), "<null>");
    EXPECT_EQ(reply_to("ICY 200 OK\r\n\r\nbody"), "<null>");
    EXPECT_EQ(reply_to("HTTP/1.0 200 OK\r\nContent-Length: 4\r\n"), "<null>");  // no header end
    EXPECT_EQ(reply_to(""), "<null>");
}

TEST(HttpGet, ChecksTheBodyAgainstContentLength) {
    EXPECT_EQ(reply_to("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nhello"), "<null>");
    EXPECT_EQ(reply_to("HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nhello"), "<null>");
    EXPECT_EQ(reply_to("HTTP/1.0 200 OK\r\ncontent-length:5\r\n\r\nhello"), "hello");
    EXPECT_EQ(reply_to("HTTP/1.0 200 OK\r\nContent-Length:  5; x\r\n\r\nhello"), "hello");
    EXPECT_EQ(reply_to("HTTP/1.0 200 OK\r\nContent-Length: five\r\n\r\nhello"), "<null>");
    EXPECT_EQ(reply_to("HTTP/1.0 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\nhi"),
              "<null>");
    EXPECT_EQ(reply_to("HTTP/1.0 200 OK\r\n\r\nwhatever arrived\r\n"), "whatever arrived\r\n");
    // An empty body is a document, not a failure.
    EXPECT_EQ(reply_to("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n"), "");
    EXPECT_EQ(reply_to("HTTP/1.0 200 OK\r\n\r\n"), "");
    // The body is text: it ends at its first NUL.
    EXPECT_EQ(reply_to("HTTP/1.0 200 OK\r\nContent-Length: 7\r\n\r\nab\0cdef"s), "ab");
}

TEST(HttpGet, JoinsChunkedBodies) {
    const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n";
    EXPECT_EQ(reply_to(head + "\r\n5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n"), "hello world");
    // Content-Length does not count against a chunked body.
    EXPECT_EQ(reply_to(head + "Content-Length: 1\r\n\r\n5\r\nhello\r\n0\r\n\r\n"), "hello");
    EXPECT_EQ(reply_to("HTTP/1.1 200 OK\r\ntransfer-encoding: Chunked\r\n\r\n"
                       "A;name=value\r\n0123456789\r\n0\r\nTrailer: x\r\n\r\n"),
              "0123456789");
    EXPECT_EQ(reply_to(head + "\r\n0\r\n\r\n"), "");
    EXPECT_EQ(reply_to(head + "\r\n3\r\na\0b\r\n0\r\n\r\n"s), "a");
    // Malformed chunks.
    EXPECT_EQ(reply_to(head + "\r\n5\r\nhelloXX6\r\n world\r\n0\r\n\r\n"), "<null>");
    EXPECT_EQ(reply_to(head + "\r\nzz\r\nhello\r\n0\r\n\r\n"), "<null>");
    EXPECT_EQ(reply_to(head + "\r\n5x\r\nhello\r\n0\r\n\r\n"), "<null>");
    EXPECT_EQ(reply_to(head + "\r\n 5\r\nhello\r\n0\r\n\r\n"), "<null>");
    EXPECT_EQ(reply_to(head + "\r\n-5\r\nhello\r\n0\r\n\r\n"), "<null>");
    EXPECT_EQ(reply_to(head + "\r\n9\r\nhello\r\n0\r\n\r\n"), "<null>");    // longer than what came
    EXPECT_EQ(reply_to(head + "\r\n5\r\nhello\r\n"), "<null>");             // no last chunk
    EXPECT_EQ(reply_to(head + "\r\n5\r\nhello"), "<null>");                 // no CR LF after data
    EXPECT_EQ(reply_to(head + "\r\n1ffffffffffffffff\r\nhello\r\n0\r\n\r\n"), "<null>");
    EXPECT_EQ(reply_to(head + "\r\nfffffffffffffff0\r\nhello\r\n0\r\n\r\n"), "<null>");
}

TEST(HttpGet, ResponseMustStayBelow256Kib) {
    const std::string head = "HTTP/1.0 200 OK\r\n\r\n";
    std::string fits(262143 - head.size(), 'a');
    EXPECT_EQ(reply_to(head + fits), fits);
    EXPECT_EQ(reply_to(head + fits + "b"), "<null>");
    EXPECT_EQ(reply_to(head + fits + std::string(100000, 'b')), "<null>");
}

TEST(HttpGet, OneDeadlineCoversTheWholeExchange) {
    int before = open_descriptors();
    {
        canned silent(std::nullopt);
        long long start = monotonic_ms();
        EXPECT_EQ(fetch(silent.url), "<null>");
        long long took = monotonic_ms() - start;
        EXPECT_GE(took, 2300);
        EXPECT_LE(took, 4000);
    }
    {
        // Each byte comes well within 2.5 s of the last, but the whole reply
        // would take 6 s.
        canned slow(test_http::ok("0123456789"), 150);
        long long start = monotonic_ms();
        EXPECT_EQ(fetch(slow.url), "<null>");
        long long took = monotonic_ms() - start;
        EXPECT_GE(took, 2300);
        EXPECT_LE(took, 4000);
    }
    EXPECT_EQ(open_descriptors(), before);
}

TEST(HttpGet, WaitSocketHonoursTheDeadline) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    EXPECT_EQ(wait_socket(pair[0], POLLOUT, monotonic_ms() + 1000), 0);
    EXPECT_EQ(wait_socket(pair[0], POLLIN, monotonic_ms()), -1);  // already due
    long long start = monotonic_ms();
    EXPECT_EQ(wait_socket(pair[0], POLLIN, start + 200), -1);
    EXPECT_GE(monotonic_ms() - start, 200);
    close(pair[1]);
    EXPECT_EQ(wait_socket(pair[0], POLLIN, monotonic_ms() + 1000), 0);  // hang-up
    close(pair[0]);
    // A descriptor that is not open is reported, not waited on.
    EXPECT_EQ(wait_socket(pair[0], POLLIN, monotonic_ms() + 1000), -1);
}

TEST(HttpGet, RefusedConnectionGivesNull) {
    int listener = test_http::listen_tcp("127.0.0.1", 0);
    ASSERT_GE(listener, 0);
    std::string url = "http://127.0.0.1:" + std::to_string(test_http::port_of(listener));
    close(listener);  // nothing listens there any more
    EXPECT_EQ(fetch(url), "<null>");
}

TEST(HttpGet, ResetWhileSendingGivesNullNotSigpipe) {
    int listener = test_http::listen_tcp("127.0.0.1", 0);
    ASSERT_GE(listener, 0);
    std::string url = "http://127.0.0.1:" + std::to_string(test_http::port_of(listener));
    // The server takes one byte and closes; the client's next byte draws a
    // reset, and the one after that meets a dead connection.
    pid_t server = fork();
    ASSERT_GE(server, 0);
    if (server == 0) {
        alarm(30);
        int fd = accept(listener, nullptr, nullptr);
        char c;
        if (fd >= 0 && recv(fd, &c, 1, 0) == 1) close(fd);
        for (;;) pause();
    }
    close(listener);
    pid_t client = fork();
    ASSERT_GE(client, 0);
    if (client == 0) {
        alarm(30);
        signal(SIGPIPE, SIG_DFL);
        trickle_sends = true;
        char *body = http_get(url.c_str(), document);
        _exit(body ? 1 : sends_made >= 3 ? 0 : 2);
    }
    int status = 0;
    waitpid(client, &status, 0);
    sandbox::stop(server);
    ASSERT_FALSE(WIFSIGNALED(status)) << "signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
