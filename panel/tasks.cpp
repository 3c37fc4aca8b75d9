// The task runner.
//
// Not in place yet: no job is ever started, so there is nothing to reap, and
// a task request is answered as an API the panel does not offer yet.
#include "panel/tasks.h"

#include "panel/http.h"

void reap() {}

void serve_run(int client, const char *, char *, size_t, size_t) {
    message(client, 404, "Unknown API\n");
}
