// The service log capture: set-up in the program, the reader child, and the
// size cap with rotation by copying into three older generations.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/descriptors.h"
#include "platform/io.h"
#include "servicelog/servicelog.h"

namespace {

constexpr char environment_name[] = "VORNA_LOG_SERVICE";
constexpr size_t path_size = 256;
constexpr size_t generation_path_size = 512;
constexpr size_t time_size = 64;

// Copies from onto to in 4096-byte blocks. 1 when from does not exist and
// missing_ok is set (nothing copied), 0 when copied, -1 on any failure.
int copy_file(const char *from, const char *to, bool missing_ok) {
    int source = open(from, O_RDONLY);
    if (source < 0) return missing_ok && errno == ENOENT ? 1 : -1;
    int target = open(to, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (target < 0) {
        close(source);
        return -1;
    }
    static char block[service_log_block];
    int status = 0;
    for (;;) {
        ssize_t got = read(source, block, sizeof block);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) status = -1;
        if (got <= 0) break;
        if (io_write_all(target, block, static_cast<size_t>(got)) != 0) {
            status = -1;
            break;
        }
    }
    close(source);
    if (close(target) != 0) status = -1;
    return status;
}

// ".3" takes ".2", ".2" takes ".1", ".1" takes the live file, which is then
// emptied in place; -1 when any step fails.
int rotate(const char *path) {
    char older[generation_path_size];
    char newer[generation_path_size];
    for (int generation = service_log_generations; generation > 1; generation--) {
        snprintf(older, sizeof older, "%s.%d", path, generation);
        snprintf(newer, sizeof newer, "%s.%d", path, generation - 1);
        if (copy_file(newer, older, true) < 0) return -1;
    }
    snprintf(newer, sizeof newer, "%s.1", path);
    if (copy_file(path, newer, false) != 0) return -1;
    int fd = open(path, O_WRONLY | O_TRUNC);
    if (fd < 0) return -1;
    return close(fd) == 0 ? 0 : -1;
}

// Appends the kept bytes of one read to the log, rotating whenever the live
// file has reached the cap. Whatever cannot be written is dropped.
void append_block(const char *path, const char *data, size_t length) {
    size_t written = 0;
    while (written < length) {
        struct stat st{};
        if (stat(path, &st) == 0) {
            if (static_cast<size_t>(st.st_size) >= service_log_cap && rotate(path) != 0) return;
        } else if (errno != ENOENT) {
            return;
        }
        int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd < 0) return;
        off_t size = lseek(fd, 0, SEEK_END);
        if (size < 0) {
            close(fd);
            return;
        }
        size_t amount = length - written;
        size_t current = static_cast<size_t>(size);
        if (current <= service_log_cap && service_log_cap - current < amount)
            amount = service_log_cap - current;
        if (amount == 0 || io_write_all(fd, data + written, amount) != 0) {
            close(fd);
            return;
        }
        close(fd);
        written += amount;
    }
}

}  // namespace

void service_log_fail_closed() {
    descriptors_to_null(1, 2, O_WRONLY);
}

void service_log_reader(int pipe_read, const char *path) {
    // One byte more than a read: a C2 held back from the previous read
    // may come first.
    static char buffer[service_log_block + 1];
    filter_state state = filter_text;
    for (;;) {
        ssize_t got = read(pipe_read, buffer, service_log_block);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        size_t kept = filter_terminal(buffer, static_cast<size_t>(got), &state);
        if (kept > 0) append_block(path, buffer, kept);
    }
    close(pipe_read);
    _exit(0);
}

void service_log_start(const char *service) {
    const char *current = getenv(environment_name);
    if (current && strcmp(current, service) == 0) return;

    mkdir("/var", 0755);
    mkdir("/var/log", 0700);
    // The reader child keeps this copy of the path.
    static char path[path_size];
    int length = snprintf(path, sizeof path, "/var/log/%s.log", service);
    if (length < 0 || static_cast<size_t>(length) >= sizeof path) {
        service_log_fail_closed();
        return;
    }
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd < 0) {
        service_log_fail_closed();
        return;
    }
    close(fd);

    int ends[2];
    if (pipe(ends) != 0) {
        service_log_fail_closed();
        return;
    }
    fflush(nullptr);
    pid_t child = fork();
    if (child < 0) {
        close(ends[0]);
        close(ends[1]);
        service_log_fail_closed();
        return;
    }
    if (child == 0) {
        descriptors_close_from(0, ends[0]);
        service_log_reader(ends[0], path);
    }

    close(ends[0]);
    if (dup2(ends[1], 1) < 0 || dup2(ends[1], 2) < 0) {
        close(ends[1]);
        service_log_fail_closed();
        return;
    }
    // Started with descriptor 1 or 2 closed, the pipe may have been given
    // one of them: that one now serves as standard output or error.
    if (ends[1] > 2) close(ends[1]);

    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
    setenv(environment_name, service, 1);

    time_t now = time(nullptr);
    struct tm utc{};
    char stamp[time_size] = {};
    if (!gmtime_r(&now, &utc) || strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S UTC", &utc) == 0)
        stamp[0] = '\0';
    dprintf(2, "[%s] %s started\n", stamp, service);
}
