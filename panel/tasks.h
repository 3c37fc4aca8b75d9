// The task runner: POST /api/run starts one of a fixed set of commands as a
// background job; reap collects finished jobs and stops overdue ones.
#pragma once

#include <cstddef>

// Collects finished job processes without blocking and kills over-age ones.
void reap();

// POST /api/run after authentication and the token check. request is the
// request buffer (request_size bytes plus one), held the bytes in it so
// far, body_start where the body begins; headers is the header block.
void serve_run(int client, const char *headers, char *request, size_t body_start, size_t held);
