// libFuzzer target for the metadata client's response handling: status
// line, header block, Content-Length framing and chunked decoding, over the
// bytes a server could send before it closes the connection.
#include <strings.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "agent/http.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Exactly the received bytes and the NUL the client adds behind them, so
    // that any read beyond is caught.
    std::unique_ptr<char[]> buffer(new char[size + 1]);
    memcpy(buffer.get(), data, size);
    buffer[size] = '\0';
    if (http_response_body(buffer.get(), size) != 0) return 0;

    std::string_view response(reinterpret_cast<const char *>(data), size);
    size_t head_end = response.find("\r\n\r\n");
    check(head_end != std::string_view::npos && response.starts_with("HTTP/"));
    std::string_view headers = response.substr(0, head_end);
    std::string_view sent = response.substr(head_end + 4);
    size_t length = strlen(buffer.get());
    check(length <= sent.size());
    // Nothing of the response stays behind the body.
    for (size_t i = length; i <= size; i++) check(buffer[i] == '\0');

    // Without chunked framing the body is what followed the headers, up to
    // its first NUL; a NUL inside the header block ends the headers early.
    std::string headers_text(headers.substr(0, headers.find('\0')));
    if (strcasestr(headers_text.c_str(), "Transfer-Encoding: chunked")) return 0;
    check(std::string_view(buffer.get(), length) == sent.substr(0, sent.find('\0')));
    // And a Content-Length header, if any, gave the number of bytes sent.
    if (const char *field = strcasestr(headers_text.c_str(), "Content-Length:")) {
        const char *digits = field + strlen("Content-Length:");
        digits += strspn(digits, " \t");
        check(*digits >= '0' && *digits <= '9');
        check(strtoull(digits, nullptr, 10) == sent.size());
    }
    return 0;
}
