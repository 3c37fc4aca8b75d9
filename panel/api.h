// The read-only API and the panel's static files. Each handler answers
// exactly once through respond or message (or not at all where a read of a
// file fails).
#pragma once

// GET "/", "/app.js" or "/style.css" (target as given).
void serve_asset(int client, const char *target);
// GET /api/system.
void serve_system(int client);
// GET /api/logs.
void serve_logs(int client);
// GET /api/log?name=NAME; name is the rest of the target.
void serve_log(int client, const char *name);
// GET /api/job?id=N; number is the rest of the target.
void serve_job(int client, const char *number);
