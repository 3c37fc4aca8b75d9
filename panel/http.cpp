// Request intake and routing of dashwick.
#include "panel/http.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "panel/api.h"
#include "panel/audit.h"
#include "panel/auth.h"
#include "panel/reply.h"
#include "panel/request.h"
#include "panel/tasks.h"
#include "platform/io.h"
#include "platform/monotonic.h"

namespace {

constexpr std::string_view api_prefix = "/api/";
constexpr std::string_view log_prefix = "/api/log?name=";
constexpr std::string_view job_prefix = "/api/job?id=";
constexpr size_t length_size = 32;  // "Content-Length" value capacity

// Monotonic milliseconds by which the request being served must have been
// read whole.
long long request_deadline;

// One read of the request: each wait at most read_timeout_ms, and none past
// the request's deadline. As io_read_within.
ssize_t read_request(int client, char *buffer, size_t size) {
    long long now = monotonic_ms();
    if (now >= request_deadline) return -1;
    long long wait_until = now + read_timeout_ms;
    return io_read_within(client, buffer, size,
                          wait_until < request_deadline ? wait_until : request_deadline);
}

bool starts_with(const char *text, std::string_view prefix) {
    return strncmp(text, prefix.data(), prefix.size()) == 0;
}

// Reads the rest of the body behind the held bytes up to want; -1 when the
// client goes silent or away.
int read_body(int client, char *request, size_t held, size_t want) {
    while (held < want) {
        ssize_t got = read_request(client, request + held, want - held);
        if (got <= 0) return -1;
        held += static_cast<size_t>(got);
    }
    return 0;
}

// The body of a task request, read by its Content-Length into the request
// buffer behind the head (body_start) and the bytes held so far, and
// terminated there. Null when the request is refused (answered here) or the
// client goes silent or away.
const char *run_body(int client, const char *headers, char *request, size_t body_start,
                     size_t held) {
    char value[length_size];
    if (!header_value(headers, "Content-Length", value, sizeof value)) {
        message(client, 411, "Content length required\n");
        return nullptr;
    }
    unsigned long length = 0;
    if (!whole_number(value, &length) || length > body_limit) {
        message(client, 400, "Invalid body size\n");
        return nullptr;
    }
    if (body_start + length > request_size) {
        message(client, 400, "Body too large\n");
        return nullptr;
    }
    if (held - body_start > length) {
        message(client, 400, "Invalid body\n");
        return nullptr;
    }
    size_t body_end = body_start + length;
    if (read_body(client, request, held, body_end) != 0) return nullptr;
    request[body_end] = 0;
    return request + body_start;
}

void route(int client, const char *method, const char *target, const char *headers,
           char *request, size_t body_start, size_t held) {
    std::string_view verb = method;
    std::string_view path = target;
    if (starts_with(target, api_prefix)) {
        // Credentials come before any look at the method.
        if (!authenticated(headers)) {
            audit_failed_sign_in();
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
            if (const char *body = run_body(client, headers, request, body_start, held))
                serve_run(client, body);
            return;
        }
        message(client, 405, "Unsupported request\n");
        return;
    }
    if (verb != "GET") {
        message(client, 405, "GET required\n");
        return;
    }
    if (const page_file *file = page_file_at(path)) {
        serve_asset(client, *file);
        return;
    }
    message(client, 404, "Not found\n");
}

// handle with the request buffer given.
void intake(int client, char *request) {
    size_t held = 0;
    char *blank = nullptr;
    for (;;) {
        ssize_t got = read_request(client, request + held, request_size - held);
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
    // Called as soon as the connection is accepted.
    request_deadline = monotonic_ms() + request_deadline_ms;
    char request[request_size + 1];
    intake(client, request);
    // The head carried the credentials, and Base64 hides nothing: wiped like
    // the decoded copy.
    explicit_bzero(request, sizeof request);
}
