// The read-only API and the panel's static files.
//
// Not served yet: every handler answers as it will for a resource that is
// not there (no asset files, no logs, no jobs), and /api/system is not
// offered at all.
#include "panel/api.h"

#include "panel/http.h"

void serve_asset(int client, const char *) {
    message(client, 404, "Panel asset missing\n");
}

void serve_system(int client) {
    message(client, 404, "Unknown API\n");
}

void serve_logs(int client) {
    message(client, 404, "Unknown API\n");
}

void serve_log(int client, const char *) {
    message(client, 404, "Log not found\n");
}

void serve_job(int client, const char *) {
    message(client, 404, "Job expired\n");
}
