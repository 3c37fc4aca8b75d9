// The reply writers and the header lookup of dashwick.
#include "panel/reply.h"

#include <strings.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

#include "platform/io.h"
#include "platform/monotonic.h"

namespace {

constexpr std::string_view plain_text = "text/plain; charset=utf-8";

}  // namespace

const char *header_line(const char *headers, std::string_view name, const char **end) {
    const char *line = headers;
    while (*line) {
        const char *crlf = strstr(line, "\r\n");
        const char *line_end = crlf ? crlf : line + strlen(line);
        size_t length = static_cast<size_t>(line_end - line);
        if (length > name.size() && strncasecmp(line, name.data(), name.size()) == 0 &&
            line[name.size()] == ':') {
            *end = line_end;
            return line + name.size() + 1;
        }
        if (!crlf) break;
        line = crlf + 2;
    }
    return nullptr;
}

void respond(int client, int status, const char *type, const void *body, size_t length) {
    char head[reply_head_size];
    int size = snprintf(head, sizeof head,
                        "HTTP/1.1 %d %s\r\n"
                        "Content-Type: %s\r\n"
                        "Content-Length: %zu\r\n"
                        "Connection: close\r\n"
                        "Cache-Control: no-store\r\n"
                        "X-Content-Type-Options: nosniff\r\n"
                        "Content-Security-Policy: default-src 'self'; frame-ancestors 'none'; "
                        "base-uri 'none'; form-action 'self'\r\n"
                        "\r\n",
                        status, status == 200 ? "OK" : "Error", type, length);
    // A head that does not fit would go out cut; send nothing instead.
    if (size < 0 || static_cast<size_t>(size) >= sizeof head) return;
    // With a body to follow, the head is held back (MSG_MORE) so that both
    // leave in one segment: one wake-up of the client instead of two. A
    // client that does not take the reply within write_timeout_ms is
    // dropped instead of holding up everyone behind it.
    int more = length != 0 ? MSG_MORE : 0;
    long long deadline = monotonic_ms() + write_timeout_ms;
    if (io_send_all(client, head, static_cast<size_t>(size), deadline, more) != 0) return;
    if (length != 0) io_send_all(client, static_cast<const char *>(body), length, deadline);
}

void message(int client, int status, const char *text) {
    respond(client, status, plain_text.data(), text, strlen(text));
}

void json_string(FILE *out, const char *text) {
    fputc('"', out);
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
        if (*p == '"')
            fputs("\\\"", out);
        else if (*p == '\\')
            fputs("\\\\", out);
        else if (*p < 0x20)
            fprintf(out, "\\u%04x", *p);
        else
            fputc(*p, out);
    }
    fputc('"', out);
}

int header_value(const char *headers, const char *name, char *out, size_t capacity) {
    const char *end = nullptr;
    const char *value = header_line(headers, name, &end);
    if (!value) return 0;
    while (value < end && (*value == ' ' || *value == '\t')) value++;
    size_t length = static_cast<size_t>(end - value);
    if (length >= capacity) return 0;
    memcpy(out, value, length);
    out[length] = 0;
    return 1;
}

int whole_number(const char *text, unsigned long *value) {
    char *end = nullptr;
    *value = strtoul(text, &end, 10);
    return text[0] != 0 && *end == 0 && !strchr(text, '-');
}
