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
#include <cstring>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "agent/http.h"
#include "tests/http_server.h"
#include "tests/sandbox.h"

namespace {
// When set, every send of this process pauses and sends one byte, so that
// the peer can reset the connection half-way through the request.
bool trickle_sends = false;
int sends_made = 0;
}  // namespace

extern "C" ssize_t send(int fd, const void *data, size_t length, int flags) {
    if (trickle_sends) {
        usleep(100000);
        length = length > 1 ? 1 : length;
        sends_made++;
    }
    return syscall(SYS_sendto, fd, data, length, flags, nullptr, 0);
}

namespace {

using namespace std::string_literals;

const std::string none = "<null>";

std::string fetch(const std::string &url, const std::string &name = "meta_data.json") {
    char *body = http_get(url.c_str(), name.c_str());
    if (!body) return none;
    std::string text = body;
    free(body);
    return text;
}

int open_descriptors() {
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (dir && readdir(dir)) count++;
    if (dir) closedir(dir);
    return count;
}

std::string url_of(int listener) {
    return "http://127.0.0.1:" + std::to_string(test_http::port_of(listener));
}

// A loopback server that gives every request the same reply (none: it
// never answers).
struct canned {
    int listener = test_http::listen_tcp("127.0.0.1", 0);
    pid_t pid = -1;
    std::string url = url_of(listener);

    explicit canned(std::optional<std::string> reply, int trickle_ms = 0) {
        pid = test_http::fork_server(
            listener, {[reply](const std::string &) { return reply; }, {}, trickle_ms});
    }
    ~canned() {
        sandbox::stop(pid);
        close(listener);
    }
};

std::string reply_to(const std::string &response) {
    canned server(response);
    return fetch(server.url);
}

TEST(HttpGet, RefusesBadAddressesAndLongRequestsWithoutTraffic) {
    int listener = test_http::listen_tcp("127.0.0.1", 0);
    ASSERT_GE(listener, 0);
    const std::string url = url_of(listener), p = std::to_string(test_http::port_of(listener));
    int before = open_descriptors();
    for (const std::string &bad : {
             url + "/", url + "/openstack", "http://localhost:" + p,
             "http://127.1:" + p, "http://300.0.0.1:" + p,  // not dotted IPv4
             "http://127.0.0.1:0"s,
             "http://127.0.0.1:" + std::to_string(65536 + std::stoi(p)),  // no wrap-around
             "http://127.0.0.1:" + std::to_string(4294967296LL + std::stoi(p)),
             "http://127.0.0.1:"s, "http://127.0.0.1: " + p, "http://127.0.0.1:+" + p, url + " ",
             "https://127.0.0.1:" + p, "127.0.0.1:" + p,
             "http://" + std::string(60, '1') + ".0.0.1:" + p,  // host over 63 characters
             ""s})
        EXPECT_EQ(fetch(bad), none) << bad;
    // A request that does not fit its 512 bytes is not sent cut short.
    EXPECT_EQ(fetch(url, std::string(480, 'n')), none);
    EXPECT_EQ(open_descriptors(), before);
    fcntl(listener, F_SETFL, O_NONBLOCK);
    EXPECT_LT(accept(listener, nullptr, nullptr), 0);
    EXPECT_EQ(errno, EAGAIN);
    close(listener);
}

TEST(HttpGet, TakesOnlyComplete200Responses) {
    const std::string ok = "HTTP/1.0 200 OK\r\n", chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::string fits(262143 - ok.size() - 2, 'a');  // the response stays below 256 KiB
    const struct {
        std::string reply, body;
    } cases[] = {
        {"HTTP/1.0 404 Not Found\r\nContent-Length: 2\r\n\r\nno", none},
        {"HTTP/1.0 301 Moved\r\nLocation: http://127.0.0.1/x\r\n\r\n", none},
        {"HTTP/1.0 2000 OK\r\n\r\nbody", none},
        {"HTTP/1.0 201 Created\r\n\r\nbody", none},
        {ok + "Content-Length: 4\r\n", none},  // no end of the headers
        {"", none},
        // Content-Length, when present, is a number equal to the body's length.
        {ok + "Content-Length: 10\r\n\r\nhello", none},
        {ok + "Content-Length: 3\r\n\r\nhello", none},
        {ok + "content-length:5\r\n\r\nhello", "hello"},
        {ok + "Content-Length:  5; x\r\n\r\nhello", "hello"},
        {ok + "Content-Length: five\r\n\r\n", none},
        {ok + "Content-Length: 99999999999999999999999\r\n\r\nhi", none},
        {ok + "\r\nwhatever arrived\r\n", "whatever arrived\r\n"},
        {ok + "Content-Length: 0\r\n\r\n", ""},
        {ok + "\r\n", ""},
        {ok + "Content-Length: 7\r\n\r\nab\0cdef"s, "ab"},  // text ends at a NUL
        {ok + "\r\n" + fits, fits},
        {ok + "\r\n" + fits + "b", none},
        // Chunked bodies are joined; Content-Length does not count then.
        {chunked + "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n", "hello world"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 1\r\ntransfer-encoding: Chunked\r\n\r\n"
         "A;name=value\r\n0123456789\r\n0\r\nTrailer: x\r\n\r\n",
         "0123456789"},
        {chunked + "0\r\n\r\n", ""},
        {chunked + "3\r\na\0b\r\n0\r\n\r\n"s, "a"},
        {chunked + "5\r\nhelloXX6\r\n world\r\n0\r\n\r\n", none},  // no CR LF after the data
        {chunked + "5\r\nhello", none},
        {chunked + "zz\r\nhello\r\n0\r\n\r\n", none},
        {chunked + "5x\r\nhello\r\n0\r\n\r\n", none},
        {chunked + " 5\r\nhello\r\n0\r\n\r\n", none},
        {chunked + "0x5\r\nhello\r\n0\r\n\r\n", none},
        {chunked + "9\r\nhello\r\n0\r\n\r\n", none},  // longer than what came
        {chunked + "5\r\nhello\r\n", none},            // no last chunk
        {chunked + "\r\n5\r\nhello\r\n0\r\n\r\n", none},            // no size at all
        {chunked + "10000000000000005\r\nhello\r\n0\r\n\r\n", none},  // wraps to 5
    };
    for (const auto &c : cases) EXPECT_EQ(reply_to(c.reply), c.body) << c.reply.substr(0, 120);
}

TEST(HttpGet, LeavesNothingOfTheResponseBehindTheBody) {
    const std::string secret = "#cloud-config\nchpasswd:\n  root: hunter2\n";
    const struct {
        std::string reply, body;
    } cases[] = {
        {"HTTP/1.0 200 OK\r\n\r\n" + secret, secret},
        {test_http::ok(secret), secret},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n9\r\n#cloud-co\r\n1f\r\n" +
             secret.substr(9) + "\r\n0\r\n\r\n",
         secret},
        {"HTTP/1.0 200 OK\r\n\r\nab\0"s + secret, "ab"},  // all behind the NUL goes too
    };
    for (const auto &[reply, expected] : cases) {
        canned server(reply);
        char *body = http_get(server.url.c_str(), "user_data");
        ASSERT_NE(body, nullptr) << reply;
        EXPECT_EQ(body, expected);
        // The buffer is the client's whole receive buffer: every byte the
        // response reached behind the text is zero.
        size_t nonzero = 0;
        for (size_t i = strlen(body); i <= reply.size(); i++) nonzero += body[i] != 0;
        EXPECT_EQ(nonzero, 0u) << reply;
        free(body);
    }
}

TEST(HttpGet, OneDeadlineCoversTheWholeExchange) {
    int before = open_descriptors();
    // Silent; then each byte within 2.5 s of the last, but 9 s for all.
    for (int trickle_ms : {0, 150}) {
        canned server(trickle_ms ? std::optional(test_http::ok("0123456789")) : std::nullopt,
                      trickle_ms);
        long long start = monotonic_ms();
        EXPECT_EQ(fetch(server.url), none);
        long long took = monotonic_ms() - start;
        EXPECT_GE(took, 2400) << trickle_ms;
        EXPECT_LE(took, 4000) << trickle_ms;
    }
    EXPECT_EQ(open_descriptors(), before);
}

TEST(HttpGet, WaitSocketTestsTheDeadlineFirstAndTakesAHangUp) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);  // unconnected: reports a hang-up only
    EXPECT_EQ(wait_socket(fd, POLLIN, monotonic_ms()), -1);
    EXPECT_EQ(wait_socket(fd, POLLIN, monotonic_ms() + 1000), 0);
    close(fd);
    EXPECT_EQ(wait_socket(fd, POLLIN, monotonic_ms() + 1000), -1);  // not open
}

TEST(HttpGet, RefusedOrResetConnectionGivesNullNotSigpipe) {
    int listener = test_http::listen_tcp("127.0.0.1", 0);
    ASSERT_GE(listener, 0);
    const std::string url = url_of(listener);
    // The server takes one byte and closes: the client's next byte draws a
    // reset, and the one after that meets a dead connection.
    pid_t server = fork();
    if (server == 0) {
        alarm(30);
        int fd = accept(listener, nullptr, nullptr);
        char c;
        if (recv(fd, &c, 1, 0) == 1) close(fd);
        for (;;) pause();
    }
    close(listener);
    pid_t client = fork();
    if (client == 0) {
        alarm(30);
        signal(SIGPIPE, SIG_DFL);
        trickle_sends = true;
        char *body = http_get(url.c_str(), "meta_data.json");
        _exit(body ? 1 : sends_made >= 3 ? 0 : 2);
    }
    int status = 0;
    waitpid(client, &status, 0);
    sandbox::stop(server);
    EXPECT_EQ(status, 0) << (WIFSIGNALED(status) ? "signal " : "exit ")
                         << (WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
    // Nothing listens there any more.
    EXPECT_EQ(fetch(url), none);
}

}  // namespace
