// The reply writers of dashwick.
#include "panel/reply.h"

#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

#include "platform/io.h"
#include "platform/monotonic.h"

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
    respond(client, status, plain_text, text, strlen(text));
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

FILE *open_json(int client, char **data, size_t *size) {
    FILE *out = open_memstream(data, size);
    if (!out) message(client, 500, "Out of memory\n");
    return out;
}

void send_json(int client, FILE *out, char *&data, size_t &size) {
    bool failed = ferror(out) != 0;
    if (fclose(out) != 0) failed = true;
    if (failed)
        message(client, 500, "Out of memory\n");
    else
        respond(client, 200, json_type, data, size);
    free(data);
}
