// dashwick in process: request intake, header lookup, the reply writers,
// Basic credentials and the request token, over socket pairs and buffers.
// Only requests that reach neither a file nor the shadow database are
// served here; the rest run against the real binary.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "panel/auth.h"
#include "panel/http.h"
#include "panel/reply.h"
#include "panel/request.h"
#include "tests/panel_sandbox.h"

using panel::reply;
using namespace std::string_literals;

namespace {

// What the server side of a socket pair writes, given the client's bytes
// (with end_of_stream the client side is shut for writing first).
std::string written(const std::function<void(int)> &server_side, const std::string &input = "",
                    bool end_of_stream = false) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return "<socketpair>";
    EXPECT_TRUE(panel::send_all(fds[0], input));
    if (end_of_stream) shutdown(fds[0], SHUT_WR);
    server_side(fds[1]);
    close(fds[1]);
    std::string out = panel::read_until_closed(fds[0], 5000);
    close(fds[0]);
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

TEST(PanelReplies, WritersAndJsonStrings) {
    // Every reply carries these lines behind its length; the other tests
    // leave them out (panel::shape).
    const std::string fixed =
        "Connection: close\r\n"
        "Cache-Control: no-store\r\n"
        "X-Content-Type-Options: nosniff\r\n"
        "Content-Security-Policy: default-src 'self'; frame-ancestors 'none'; "
        "base-uri 'none'; form-action 'self'\r\n";
    auto whole = [&](int status, const std::string &body, const char *type = "text/plain; charset=utf-8") {
        std::string r = reply(status, body, type);
        return r.insert(r.find("\r\n\r\n") + 2, fixed);
    };
    EXPECT_EQ(written([](int fd) {
                  respond(fd, 200, "application/json", "{\"a\":1}", 7);
                  message(fd, 500, "Log read failed\n");
                  respond(fd, 200, "text/css", "", 0);
              }),
              whole(200, "{\"a\":1}", "application/json") + whole(500, "Log read failed\n") +
                  whole(200, "", "text/css"));
    // No short escapes, no UTF-8 repair; DEL and bytes from 0x80 pass.
    EXPECT_EQ(json("a\"b\\c\td\xC3\xA9"), "\"a\\\"b\\\\c\\u0009d\xC3\xA9\"");
    EXPECT_EQ(json("\n\x01\x1f\x7f /"), "\"\\u000a\\u0001\\u001f\x7f /\"");
    EXPECT_EQ(json(""), "\"\"");
}

TEST(PanelHeaders, Lookup) {
    const char *block =
        "Host: example\r\nauthorization:\t  Basic abc  \r\nX-Dashwick-Token : spaced\r\n"
        "X-Long-Name: nope\r\nFolded: one\nX-Hidden: inside\r\n"
        "Twice: 12345\r\nTwice: 1\r\nLast: end";
    struct { const char *block, *name; size_t capacity; const char *value; } cases[] = {
        {block, "Authorization", 64, "Basic abc  "},  // any case; trailing blanks kept
        {block, "HOST", 64, "example"},     {block, "Last", 64, "end"},
        {block, "X-Dashwick-Token", 64, nullptr},  // a blank before the colon
        {block, "X-Long", 64, nullptr},            // a longer name is another header
        {block, "X-Hidden", 64, nullptr},          // a lone LF ends no line
        {block, "Folded", 64, "one\nX-Hidden: inside"},  {block, "Twice", 6, "12345"},
        {block, "Twice", 5, nullptr},  // too long at the first match: no later line
        {block, "Twice", 0, nullptr},       {"", "Host", 64, nullptr},
        {"Empty:", "Empty", 64, ""},        {"Empty:  \t", "Empty", 64, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name + std::to_string(c.capacity));
        char out[64] = "unchanged";
        EXPECT_EQ(header_value(c.block, c.name, out, c.capacity), c.value ? 1 : 0);
        EXPECT_STREQ(out, c.value ? c.value : "unchanged");
    }
}

TEST(PanelIntake, RepliesByRequest) {
    const auto malformed = reply(400, "Malformed request\n"), not_found = reply(404, "Not found\n"),
               too_large = reply(431, "Headers too large\n"),
               chunked = reply(400, "Transfer encoding unsupported\n"),
               get_required = reply(405, "GET required\n");
    const std::string head = "GET /nothing HTTP/1.1\r\nX: ", target = "/" + std::string(510, 'x');
    const auto filled = [&](size_t size) { return head + std::string(size - head.size(), 'a'); };
    struct { std::string request, expected; bool end_of_stream = false; } cases[] = {
        // 16384 bytes with no blank line; the blank line ending at byte
        // 16384, and one byte later.
        {filled(request_size), too_large},
        {filled(request_size - 4) + "\r\n\r\n", not_found},
        {filled(request_size - 3) + "\r\n\r\n", too_large},
        // No reply: a zero byte (also among body bytes of the same read),
        // or the end of the stream before the blank line.
        {"GET /nothing HTTP/1.1\r\nX: a\0b\r\n\r\n"s, ""},
        {"GET /nothing HTTP/1.1\r\n\r\nab\0"s, ""},
        {filled(request_size - 1), "", true},  {"", "", true},
        // The request line: three fields split by runs of blanks, the
        // version unexamined, a field over its width spilling into a fourth.
        {"GET /nothing HTTP/1.1 extra\r\n\r\n", malformed},  {"GET /nothing\r\n\r\n", malformed},
        {"\r\n\r\n", malformed},  {"\r\nGET / HTTP/1.1\r\n\r\n", malformed},
        {"GETGETGET /nothing HTTP/1.1\r\n\r\n", malformed},
        {"GET " + target + " HTTP/1.1\r\n\r\n", not_found},
        {"GET " + target + "x HTTP/1.1\r\n\r\n", malformed},
        {"GET \t /nothing   abc\r\nHost: x\r\n\r\n", not_found},
        {"GET /nothing\r\nTransfer-Encoding: chunked\r\n\r\n", malformed},
        // Transfer-Encoding, whatever its value and before credentials;
        // not with a blank before the colon, nor in the body.
        {"GET /nothing HTTP/1.1\r\ntransfer-encoding: chunked\r\n\r\n", chunked},
        {"POST /api/run HTTP/1.1\r\nHost: x\r\nTRANSFER-ENCODING:\r\n\r\n", chunked},
        {"GET /nothing HTTP/1.1\r\nTransfer-Encoding : chunked\r\n\r\n", not_found},
        {"GET /nothing HTTP/1.1\r\n\r\nTransfer-Encoding: chunked\r\n", not_found},
        // Routing: credentials first under /api/, whatever the method.
        {"get / HTTP/1.1\r\n\r\n", get_required},  {"HEAD / HTTP/1.1\r\n\r\n", get_required},
        {"POST /nothing HTTP/1.1\r\nContent-Length: 0\r\n\r\n", get_required},
        {"GET /app.js?v=1 HTTP/1.1\r\n\r\n", not_found},  {"GET /api HTTP/1.1\r\n\r\n", not_found},
        {"GET /API/system HTTP/1.1\r\n\r\n", not_found},
        {"GET /api/ HTTP/1.1\r\n\r\n", reply(401, "Authentication required\n")},
        {"post /api/run HTTP/1.1\r\n\r\n", reply(401, "Authentication required\n")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.request.substr(0, 80));
        EXPECT_EQ(panel::shape(written(handle, c.request, c.end_of_stream)), c.expected);
    }
}

TEST(PanelCredentials, BasicHeaderForRoot) {
    const std::string header = "Authorization: Basic ";
    auto with_basic = [&](const std::string &s) { return header + panel::base64(s); };
    const std::string long_password(506, 'p'), padded = with_basic("root:x") + "=";
    struct { std::string headers; const char *password; } cases[] = {
        {"Host: x\r\n" + with_basic("root:secret"), "secret"},
        {with_basic("root:a:b: c"), "a:b: c"},  // compared whole
        {with_basic("root:"), ""},
        // Base64 up to the first "=" (padding optional, the rest ignored),
        // left-over bits dropped; any character outside the alphabet fails.
        {header + "cm9vdDpwdw", "pw"},  {header + "cm9vdDpwdw=!! any", "pw"},
        {header + "cm9vdDpwd", "p"},  {header + "cm9vdDp4+/+/", "x\xfb\xff\xbf"},
        {header + "cm9vdDpw dw", nullptr},  {header + "cm9vdDpw\ndw", nullptr},
        {header + "cm9vdDpw-dw", nullptr},  {header + "cm9vdDpw_dw", nullptr},
        {header, nullptr},  {header + "=", nullptr},
        {with_basic("Root:secret"), nullptr},  {with_basic("root"), nullptr},
        {with_basic("rootx:secret"), nullptr},  {with_basic("root:se\0cret"s), nullptr},
        {"Authorization: basic " + panel::base64("root:secret"), nullptr},
        {"Authorization: Basic  " + panel::base64("root:secret"), nullptr},
        {"Authorization: Bearer " + panel::base64("root:secret"), nullptr},
        // Decoded text of 511 bytes passes, 512 does not.
        {with_basic("root:" + long_password), long_password.c_str()},
        {with_basic("root:" + long_password + "p"), nullptr},
        // The value must stay below 1024 characters.
        {padded + std::string(1023 - (padded.size() - 15), '.'), "x"},
        {padded + std::string(1024 - (padded.size() - 15), '.'), nullptr},
        {"", nullptr},  {"Authorization : Basic " + panel::base64("root:x"), nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.headers.substr(0, 80));
        char credentials[credentials_size];
        const char *password = root_password(c.headers.c_str(), credentials);
        EXPECT_STREQ(password, c.password);
    }
}

TEST(PanelToken, FormatAndCheck) {
    unsigned char bytes[token_bytes];
    for (size_t i = 0; i < token_bytes; i++) bytes[i] = static_cast<unsigned char>(i * 8 + 7);
    format_token(bytes);
    const std::string token = csrf, name = "X-Dashwick-Token: ";
    EXPECT_EQ(token, "070f171f272f373f474f575f676f777f878f979fa7afb7bfc7cfd7dfe7eff7ff");
    std::string upper = token;
    for (char &c : upper) c = static_cast<char>(toupper(c));
    struct { std::string headers; int accepted; } cases[] = {
        {name + token, 1},  {"Host: x\r\nx-dashwick-token:\t" + token + "\r\nA: b", 1},
        {name + upper, 0},  {name + token.substr(1), 0},  {name + token + "0", 0},
        {name + token.substr(0, 63) + "x", 0},
        {name + token + std::string(100, '0'), 0},  {name, 0},  {"", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.headers);
        EXPECT_EQ(token_accepted(c.headers.c_str()), c.accepted);
    }
}
