// The task runner.
//
// Not in place yet: no job is ever started, so there is nothing to reap, and
// a task request is answered as an API the panel does not offer yet.
#include "panel/tasks.h"

#include <cstring>

#include "panel/http.h"

job jobs[job_slots];
uint32_t sequence;

void reap() {}

int safe_name(const char *text, int dots) {
    size_t length = strlen(text);
    if (length == 0 || length > 63 || text[0] == '.') return 0;
    for (const char *p = text; *p; p++) {
        char c = *p;
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '_' || (c == '.' && dots == 1);
        if (!ok) return 0;
    }
    return 1;
}

void serve_run(int client, const char *, char *, size_t, size_t) {
    message(client, 404, "Unknown API\n");
}
