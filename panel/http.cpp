// Request intake, routing and the reply writers of dashwick.
#include "panel/http.h"

#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "panel/api.h"
#include "panel/auth.h"
#include "panel/tasks.h"

namespace {

constexpr std::string_view plain_text = "text/plain; charset=utf-8";
constexpr std::string_view api_prefix = "/api/";
constexpr std::string_view log_prefix = "/api/log?name=";
constexpr std::string_view job_prefix = "/api/job?id=";

// Writes all of data; -1 when the connection fails or stops taking bytes.
// A client that stops taking the reply is dropped after write_timeout_ms
// without room instead of holding up everyone behind it. (A blocking
// write's own time limit would count anew with every write that got a few
// bytes out, and so hold the server several times as long.) flags are added
// to those of send.
int write_all(int fd, const char *data, size_t length, int flags = 0) {
    while (length > 0) {
        pollfd room{fd, POLLOUT, 0};
        int ready = poll(&room, 1, write_timeout_ms);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return -1;
        ssize_t written = send(fd, data, length, MSG_DONTWAIT | MSG_NOSIGNAL | flags);
        if (written < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (written <= 0) return -1;
        data += written;
        length -= static_cast<size_t>(written);
    }
    return 0;
}

// The first line of a header block that names the header: a pointer just
// past its colon, with *end at the end of that line; null when none does.
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

bool starts_with(const char *text, std::string_view prefix) {
    return strncmp(text, prefix.data(), prefix.size()) == 0;
}

bool is_asset(std::string_view target) {
    return target == "/" || target == "/app.js" || target == "/style.css";
}

void route(int client, const char *method, const char *target, const char *headers,
           char *request, size_t body_start, size_t held) {
    std::string_view verb = method;
    std::string_view path = target;
    if (starts_with(target, api_prefix)) {
        // Credentials come before any look at the method.
        if (!authenticated(headers)) {
            message(client, 401, "Authentication required\n");
            return;
        }
        if (verb == "GET") {
            if (path == "/api/system")
                serve_system(client);
            else if (path == "/api/logs")
                serve_logs(client);
            else if (starts_with(target, log_prefix))
                serve_log(client, target + log_prefix.size());
            else if (starts_with(target, job_prefix))
                serve_job(client, target + job_prefix.size());
            else
                message(client, 404, "Unknown API\n");
            return;
        }
        if (verb == "POST" && path == "/api/run") {
            if (!token_accepted(headers)) {
                message(client, 403, "Request token required\n");
                return;
            }
            serve_run(client, headers, request, body_start, held);
            return;
        }
        message(client, 405, "Unsupported request\n");
        return;
    }
    if (verb != "GET") {
        message(client, 405, "GET required\n");
        return;
    }
    if (is_asset(path)) {
        serve_asset(client, target);
        return;
    }
    message(client, 404, "Not found\n");
}

// handle with the request buffer given.
void intake(int client, char *request) {
    size_t held = 0;
    char *blank = nullptr;
    for (;;) {
        pollfd ready{client, POLLIN, 0};
        if (poll(&ready, 1, read_timeout_ms) <= 0) return;
        ssize_t got = read(client, request + held, request_size - held);
        if (got <= 0) return;
        size_t count = static_cast<size_t>(got);
        if (memchr(request + held, 0, count)) return;
        held += count;
        request[held] = 0;
        blank = strstr(request, "\r\n\r\n");
        if (blank) break;
        if (held == request_size) {
            message(client, 431, "Headers too large\n");
            return;
        }
    }
    size_t body_start = static_cast<size_t>(blank - request) + 4;

    // The request line ends at the first CR LF; the header block runs from
    // the next line up to the blank line, and is empty when there is none.
    char *line_end = strstr(request, "\r\n");
    const char *headers = "";
    if (line_end != blank) {
        headers = line_end + 2;
        *blank = 0;
    }
    *line_end = 0;

    char method[method_size];
    char target[target_size];
    char version[version_size];
    char extra = 0;
    static_assert(method_size == 8 && target_size == 512 && version_size == 16,
                  "the field widths of the pattern below");
    if (sscanf(request, "%7s %511s %15s %c", method, target, version, &extra) != 3) {
        message(client, 400, "Malformed request\n");
        return;
    }
    const char *end = nullptr;
    if (header_line(headers, "Transfer-Encoding", &end)) {
        message(client, 400, "Transfer encoding unsupported\n");
        return;
    }
    route(client, method, target, headers, request, body_start, held);
}

}  // namespace

void handle(int client) {
    char request[request_size + 1];
    intake(client, request);
    // The head carried the credentials, and Base64 hides nothing: wiped like
    // the decoded copy.
    explicit_bzero(request, sizeof request);
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
    // leave in one segment: one wake-up of the client instead of two.
    int more = length != 0 ? MSG_MORE : 0;
    if (write_all(client, head, static_cast<size_t>(size), more) != 0) return;
    if (length != 0) write_all(client, static_cast<const char *>(body), length);
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
