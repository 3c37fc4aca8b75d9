// The task runner: POST /api/run starts one of a fixed set of commands as a
// background job; reap collects finished jobs and stops overdue ones.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

constexpr size_t job_slots = 32;
constexpr size_t job_path_size = 128;
constexpr long job_time_limit = 180;   // seconds before a job is killed
constexpr size_t body_limit = 512;     // longest task request body

// The panel's own services, which a task never touches, and the packages
// that a task never removes. The page keeps a copy of both lists and of
// job_time_limit.
constexpr std::string_view panel_services[] = {"dashwick", "nginx"};
constexpr std::string_view protected_packages[] = {"kernel", "init",    "sh",    "sbase",
                                                   "ubase",  "setup",   "service", "nginx",
                                                   "dashwick", "dropbear"};

// One job: id 0 marks a slot that never held one.
struct job {
    uint32_t id;
    int32_t pid;
    int32_t done;      // 0 while running, 1 once collected
    int32_t status;    // -1 while running; exit code, or 128 + signal
    int64_t started;   // whole seconds of the monotonic clock
    char path[job_path_size];  // "/var/lib/dashwick/job-N.log"
};

static_assert(sizeof(job) == 152, "job record: four 32-bit fields, the start time, the path");

// The last 32 jobs; job N lives in slot (N - 1) % 32.
extern job jobs[job_slots];
// The last job number handed out.
extern uint32_t sequence;

// Collects finished job processes without blocking and kills over-age ones.
void reap();

// 1 when text is 1 to 63 characters of ASCII letters, digits, "-", "_"
// (and "." when dots is 1) not beginning with "."; else 0.
int safe_name(const char *text, int dots);

// The job numbered number, or null when no slot holds it (any more).
const job *job_lookup(uint64_t number);

// POST /api/run after authentication, the token check and the reading of
// the body (at most body_limit bytes) by its Content-Length.
void serve_run(int client, const char *body);
