// Request intake, header lookup and the reply writers, in process over
// socket pairs. Only requests that never reach a file or the shadow
// database are served here; the rest run against the real binary.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "panel/http.h"
#include "tests/panel_sandbox.h"

using panel::reply;
using namespace std::string_literals;

namespace {

struct pair_fds {
    int test = -1;
    int server = -1;
    pair_fds() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            test = fds[0];
            server = fds[1];
        }
    }
    ~pair_fds() {
        if (test >= 0) close(test);
        if (server >= 0) close(server);
    }
};

std::string drain(int fd) {
    std::string out;
    char buf[4096];
    for (int turns = 0; turns < 10000; turns++) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) break;
        ssize_t got = read(fd, buf, sizeof buf);
        if (got <= 0) break;
        out.append(buf, static_cast<size_t>(got));
    }
    return out;
}

// Serves one request that is already wholly in the socket; with
// end_of_stream the client side is shut for writing first.
std::string serve(const std::string &request, bool end_of_stream = false) {
    pair_fds p;
    EXPECT_GE(p.test, 0);
    EXPECT_TRUE(panel::send_all(p.test, request));
    if (end_of_stream) shutdown(p.test, SHUT_WR);
    handle(p.server);
    close(p.server);
    p.server = -1;
    return drain(p.test);
}

std::string lookup(const char *headers, const char *name, size_t capacity = 64) {
    char out[256];
    if (!header_value(headers, name, out, capacity)) return "<absent>";
    return out;
}

std::string json(const char *text) {
    char *data = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&data, &size);
    json_string(out, text);
    fclose(out);
    std::string s(data, size);
    free(data);
    return s;
}

}  // namespace

TEST(PanelReplies, RespondWritesTheFixedHeadBlock) {
    pair_fds p;
    respond(p.server, 200, "application/json", "{\"a\":1}", 7);
    message(p.server, 401, "Authentication required\n");
    message(p.server, 500, "Log read failed\n");
    respond(p.server, 200, "text/css", "", 0);
    close(p.server);
    p.server = -1;
    EXPECT_EQ(drain(p.test), reply(200, "{\"a\":1}", "application/json") +
                                 reply(401, "Authentication required\n") +
                                 reply(500, "Log read failed\n") + reply(200, "", "text/css"));
}

TEST(PanelReplies, JsonStringEscapesOnlyQuotesBackslashesAndControls) {
    EXPECT_EQ(json("a\"b\\c\td\xC3\xA9"), "\"a\\\"b\\\\c\\u0009d\xC3\xA9\"");
    EXPECT_EQ(json("\n\x01\x1f\x7f /"), "\"\\u000a\\u0001\\u001f\x7f /\"");
    EXPECT_EQ(json(""), "\"\"");
}

TEST(PanelHeaders, LookupRules) {
    const char *block =
        "Host: example\r\n"
        "authorization:\t  Basic abc  \r\n"
        "X-Dashwick-Token : spaced\r\n"
        "X-Long-Name: nope\r\n"
        "Folded: one\nX-Hidden: inside\r\n"
        "Last: end";
    EXPECT_EQ(lookup(block, "Authorization"), "Basic abc  ");   // any case; trailing blanks kept
    EXPECT_EQ(lookup(block, "HOST"), "example");
    EXPECT_EQ(lookup(block, "X-Dashwick-Token"), "<absent>");   // blank before the colon
    EXPECT_EQ(lookup(block, "X-Long"), "<absent>");              // a longer name is another header
    EXPECT_EQ(lookup(block, "X-Hidden"), "<absent>");            // a lone LF ends no line
    EXPECT_EQ(lookup(block, "Folded"), "one\nX-Hidden: inside");
    EXPECT_EQ(lookup(block, "Last"), "end");
    EXPECT_EQ(lookup("", "Host"), "<absent>");
    EXPECT_EQ(lookup("Empty:", "Empty"), "");
    EXPECT_EQ(lookup("Empty:  \t", "Empty"), "");
}

TEST(PanelHeaders, CapacityDecidesAtTheFirstMatch) {
    const char *block = "Content-Length: 12345\r\nContent-Length: 1\r\n";
    EXPECT_EQ(lookup(block, "Content-Length", 6), "12345");
    // Too long for the area: the later line is not examined.
    EXPECT_EQ(lookup(block, "Content-Length", 5), "<absent>");
    EXPECT_EQ(lookup(block, "Content-Length", 0), "<absent>");
}

TEST(PanelIntake, HeaderBlockLimit) {
    // 16384 bytes without a blank line.
    std::string head = "GET /nothing HTTP/1.1\r\nX: ";
    std::string full = head + std::string(request_size - head.size(), 'a');
    EXPECT_EQ(serve(full), reply(431, "Headers too large\n"));
    // The blank line ends exactly at byte 16384: served.
    std::string fits = head + std::string(request_size - head.size() - 4, 'a') + "\r\n\r\n";
    ASSERT_EQ(fits.size(), request_size);
    EXPECT_EQ(serve(fits), reply(404, "Not found\n"));
    // One byte later and the blank line lies beyond the limit.
    std::string over = head + std::string(request_size - head.size() - 3, 'a') + "\r\n\r\n";
    EXPECT_EQ(serve(over), reply(431, "Headers too large\n"));
}

TEST(PanelIntake, EndsWithoutReply) {
    EXPECT_EQ(serve("GET /nothing HTTP/1.1\r\nX: a\0b\r\n\r\n"s), "");
    // A zero byte among body bytes of the same read counts too.
    EXPECT_EQ(serve("GET /nothing HTTP/1.1\r\n\r\nab\0"s), "");
    EXPECT_EQ(serve("GET /nothing HTTP/1.1\r\nHost: x\r\n", true), "");
    EXPECT_EQ(serve("", true), "");
}

TEST(PanelIntake, RequestLine) {
    EXPECT_EQ(serve("GET /nothing HTTP/1.1 extra\r\n\r\n"), reply(400, "Malformed request\n"));
    EXPECT_EQ(serve("GET /nothing\r\n\r\n"), reply(400, "Malformed request\n"));
    EXPECT_EQ(serve("\r\n\r\n"), reply(400, "Malformed request\n"));
    EXPECT_EQ(serve("\r\nGET /nothing HTTP/1.1\r\n\r\n"), reply(400, "Malformed request\n"));
    // A field longer than its width spills into a fourth field.
    EXPECT_EQ(serve("GETGETGET /nothing HTTP/1.1\r\n\r\n"), reply(400, "Malformed request\n"));
    std::string target = "/" + std::string(510, 'x');
    EXPECT_EQ(serve("GET " + target + " HTTP/1.1\r\n\r\n"), reply(404, "Not found\n"));
    EXPECT_EQ(serve("GET " + target + "x HTTP/1.1\r\n\r\n"), reply(400, "Malformed request\n"));
    // The version's content is not examined; runs of blanks separate.
    EXPECT_EQ(serve("GET \t /nothing   abc\r\nHost: x\r\n\r\n"), reply(404, "Not found\n"));
    // The malformed line is answered before a Transfer-Encoding header.
    EXPECT_EQ(serve("GET /nothing\r\nTransfer-Encoding: chunked\r\n\r\n"),
              reply(400, "Malformed request\n"));
}

TEST(PanelIntake, TransferEncodingRefused) {
    EXPECT_EQ(serve("GET /nothing HTTP/1.1\r\ntransfer-encoding: chunked\r\n\r\n"),
              reply(400, "Transfer encoding unsupported\n"));
    // Before authentication and whatever the value.
    EXPECT_EQ(serve("POST /api/run HTTP/1.1\r\nHost: x\r\nTRANSFER-ENCODING:\r\n\r\n"),
              reply(400, "Transfer encoding unsupported\n"));
    EXPECT_EQ(serve("GET /nothing HTTP/1.1\r\nTransfer-Encoding : chunked\r\n\r\n"),
              reply(404, "Not found\n"));
    // Body text that looks like headers is no header.
    EXPECT_EQ(serve("GET /nothing HTTP/1.1\r\n\r\nTransfer-Encoding: chunked\r\n"),
              reply(404, "Not found\n"));
}

TEST(PanelRouting, OtherTargets) {
    EXPECT_EQ(serve("get / HTTP/1.1\r\n\r\n"), reply(405, "GET required\n"));
    EXPECT_EQ(serve("HEAD / HTTP/1.1\r\n\r\n"), reply(405, "GET required\n"));
    EXPECT_EQ(serve("POST /nothing HTTP/1.1\r\nContent-Length: 0\r\n\r\n"),
              reply(405, "GET required\n"));
    EXPECT_EQ(serve("GET /app.js?v=1 HTTP/1.1\r\n\r\n"), reply(404, "Not found\n"));
    EXPECT_EQ(serve("GET /api HTTP/1.1\r\n\r\n"), reply(404, "Not found\n"));
    EXPECT_EQ(serve("GET /API/system HTTP/1.1\r\n\r\n"), reply(404, "Not found\n"));
}

TEST(PanelRouting, ApiTargetsNeedCredentialsFirst) {
    for (const char *line : {"GET /api/system", "GET /api/logs", "GET /api/log?name=a.log",
                             "GET /api/job?id=1", "GET /api/", "DELETE /api/logs",
                             "POST /api/run", "post /api/run", "GET /api/nothing"}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(serve(std::string(line) + " HTTP/1.1\r\nHost: x\r\n\r\n"),
                  reply(401, "Authentication required\n"));
    }
    // Malformed or foreign credentials fail before any password check.
    for (const char *credentials :
         {"Basic cm9vdA==", "basic cm9vdDp4", "Basic  cm9vdDp4", "Bearer cm9vdDp4",
          "Basic Um9vdDp4", "Basic YWRtaW46eA=="}) {
        SCOPED_TRACE(credentials);
        EXPECT_EQ(serve(std::string("GET /api/system HTTP/1.1\r\nAuthorization: ") + credentials +
                        "\r\n\r\n"),
                  reply(401, "Authentication required\n"));
    }
}
