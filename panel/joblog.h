// A job's output on its way to the job log: the job process reads the
// tool's standard output and error from a pipe and keeps the first 8 MiB in
// the log, reading on past the cap so that the tool never stalls. The cap
// is on the log only; the tool's own files are not limited.
#pragma once

#include <sys/types.h>

#include <cstddef>

constexpr size_t job_log_cap = 8u << 20;  // bytes kept of a job's output
constexpr int job_tool_check_ms = 100;    // longest wait before looking at the tool again

// The job process once the tool runs: copies pipe_read into log until the
// tool has ended and what it wrote is read, then ends with the tool's
// status (128 + the signal number for a signal). Writers the tool left
// behind (a service it started) are read on by a process of its own until
// they close the pipe. Never returns.
[[noreturn]] void job_log_copy(int pipe_read, int log, pid_t tool);
