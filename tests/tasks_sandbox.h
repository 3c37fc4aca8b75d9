// Test helpers for the task runner: dashwick in its namespaces with the
// stand-in tool (tests/tools/stand-in) over "/bin/service", "/bin/setup" and
// "/bin/ip", a known request token, task requests, and a view of the jobs
// the server has started.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/panel_sandbox.h"

namespace tasks {

// The token a server made by task_server gets from its fixed random bytes.
extern const std::string token;
// "Authorization" and "X-Dashwick-Token" lines that pass.
std::string credentials();

// Prepares s (before start) with the stand-in over the three tool paths.
void with_tools(panel::server &s);

// POST /api/run with credentials and token. headers replaces the
// "Content-Length" line made from the body when it is not empty.
std::string run(const std::string &body, const std::string &headers = "");
// The exact reply that starts job number.
std::string started(unsigned number);

// The job log of job number as the server wrote it; its mode.
std::string job_log(const panel::server &s, unsigned number);
unsigned job_log_mode(const panel::server &s, unsigned number);

// The server's child processes that have not ended (zombies left out).
std::vector<pid_t> running_children(pid_t server);
// Waits (up to timeout_ms) until every job process of the server has
// ended; false if one still runs.
bool jobs_ended(const panel::server &s, int timeout_ms = 10000);
// Waits (up to timeout_ms) until the server has collected all its job
// processes; false if one is left.
bool jobs_collected(const panel::server &s, int timeout_ms = 10000);

}  // namespace tasks
