// The header lookup and the number reading of dashwick's requests.
#include "panel/request.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

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
