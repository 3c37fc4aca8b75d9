// The job process's copy of the tool's output into the job log, capped.
#include "panel/joblog.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/io.h"
#include "platform/monotonic.h"

namespace {

constexpr size_t block_size = 65536;  // one read of the pipe

char block[block_size];
size_t kept;  // bytes in the log so far

// Reads one block (waiting up to the deadline) and keeps what fits under
// the cap: its size, 0 at end of stream, -1 when nothing came.
ssize_t copy_block(int pipe_read, int log, long long deadline) {
    ssize_t got = io_read_within(pipe_read, block, sizeof block, deadline);
    if (got <= 0) return got;
    size_t keep = job_log_cap - kept < static_cast<size_t>(got) ? job_log_cap - kept
                                                                : static_cast<size_t>(got);
    // A log that cannot be written loses the output, never the tool.
    if (keep > 0 && io_write_all(log, block, keep) == 0) kept += keep;
    return got;
}

}  // namespace

void job_log_copy(int pipe_read, int log, pid_t tool) {
    int status = -1, raw = 0;
    // Once the tool has ended, everything it wrote is in the pipe: at most
    // the pipe's capacity, read then without waiting.
    long left = 0;
    for (;;) {
        if (status < 0 && waitpid(tool, &raw, WNOHANG) == tool) {
            status = WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : WEXITSTATUS(raw);
            left = fcntl(pipe_read, F_GETPIPE_SZ);
        }
        long long wait_ms = status < 0 ? job_tool_check_ms : 0;
        ssize_t got = copy_block(pipe_read, log, monotonic_ms() + wait_ms);
        if (got == 0) break;  // every writer has closed the pipe
        if (status < 0 || (got > 0 && (left -= got) > 0)) continue;
        // Something the tool started still holds the pipe: read on in a
        // process of its own (collected by init), and report the tool's end.
        if (fork() == 0) {
            while (copy_block(pipe_read, log, io_no_deadline) > 0) {
            }
            _exit(0);
        }
        break;
    }
    // A tool that closed its output early is waited for.
    if (status < 0 && waitpid(tool, &raw, 0) == tool)
        status = WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : WEXITSTATUS(raw);
    _exit(status < 0 ? 127 : status);
}
