// The service log capture: set-up in the program, the reader child, and the
// size cap with rotation by copying into three older generations.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/copy.h"
#include "platform/descriptors.h"
#include "platform/io.h"
#include "servicelog/servicelog.h"

namespace {

constexpr char environment_name[] = "VORNA_LOG_SERVICE";
constexpr size_t path_size = 256;
constexpr size_t generation_path_size = 512;

// Every open of the live file or a generation: a link is not followed, a
// FIFO or device not waited on, and no program started later inherits it.
constexpr int guarded = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// Opens a file of the log with flags (created with mode 0600), keeping it
// only if it is a regular file of this process's user and of no other name:
// never a link, FIFO, directory or device planted by someone who may write
// to /var/log, nor another account's file or a hard link to one. The
// descriptor and *st, or -1 (errno ENOENT when there is no such file).
int open_guarded(const char *path, int flags, struct stat *st) {
    int fd = open(path, flags | guarded, 0600);
    if (fd < 0) return -1;
    if (fstat(fd, st) == 0 && S_ISREG(st->st_mode) && st->st_uid == geteuid() && st->st_nlink == 1)
        return fd;
    close(fd);
    errno = EPERM;
    return -1;
}

// Copies source onto the generation at to: 0, or -1 on any failure.
int copy_onto(int source, const char *to) {
    struct stat st{};
    int target = open_guarded(to, O_WRONLY | O_CREAT, &st);
    if (target < 0) return -1;
    // The copy goes over the old content, whose pages the file system can
    // then reuse instead of freeing and taking new ones, and what is left of
    // the old content is cut after it: so the generation ends as if emptied
    // first, holding the part copied when the copy fails part-way.
    //
    // The copy reaches the disk before its length is set and before the
    // next step overwrites its source. Setting the length first would let a
    // power cut leave a generation of the right size whose blocks were never
    // written (read back as NUL bytes), and without the sync a generation
    // could be lost between the copies.
    int status = platform_copy_file(source, target);
    if (status == 0 && fdatasync(target) != 0) status = -1;
    off_t end = lseek(target, 0, SEEK_CUR);
    if (end < 0 || ftruncate(target, end) != 0) status = -1;
    if (close(target) != 0) status = -1;
    return status;
}

// Copies the file at from onto the generation at to. 1 when from does not
// exist and missing_ok is set (nothing copied), 0 when copied, -1 on any
// failure.
int copy_file(const char *from, const char *to, bool missing_ok) {
    struct stat st{};
    int source = open_guarded(from, O_RDONLY, &st);
    if (source < 0) return missing_ok && errno == ENOENT ? 1 : -1;
    int status = copy_onto(source, to);
    close(source);
    return status;
}

// The reader holds the live file open from one block to the next, as long
// as the path still names it.
int live = -1;
dev_t live_device;
ino_t live_inode;

// One look at the path (lstat) tells whether the live file held is still
// the one there; when the path is gone the file is created again, when it
// names another file that one is opened. The live file's size, or -1 when
// there is no file of ours to write to.
off_t hold_live(const char *path) {
    struct stat st{};
    if (lstat(path, &st) == 0) {
        if (live >= 0 && st.st_dev == live_device && st.st_ino == live_inode) return st.st_size;
    } else if (errno != ENOENT) {
        return -1;
    }
    if (live >= 0) close(live);
    live = open_guarded(path, O_RDWR | O_CREAT | O_APPEND, &st);
    if (live < 0) return -1;
    live_device = st.st_dev;
    live_inode = st.st_ino;
    return st.st_size;
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
    if (copy_onto(live, newer) != 0) return -1;
    return ftruncate(live, 0);
}

// Appends the kept bytes of one read to the log, rotating whenever the live
// file has reached the cap. Whatever cannot be written is dropped.
void append_block(const char *path, const char *data, size_t length) {
    size_t written = 0;
    while (written < length) {
        off_t size = hold_live(path);
        if (size < 0) return;
        size_t current = static_cast<size_t>(size);
        if (current >= service_log_cap) {
            if (rotate(path) != 0) return;
            current = 0;
        }
        size_t amount = std::min(length - written, service_log_cap - current);
        if (io_write_all(live, data + written, amount) != 0) return;
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
        ssize_t got = io_read(pipe_read, buffer, service_log_block);
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

    // The reader child keeps this copy of the path.
    static char path[path_size];
    struct stat st{};
    int ends[2] = {-1, -1};
    int fd = -1;
    int length = 0;
    pid_t child = -1;
    char stamp[service_log_stamp_size];

    mkdir("/var", 0755);
    mkdir("/var/log", 0700);
    length = snprintf(path, sizeof path, "/var/log/%s.log", service);
    if (length < 0 || static_cast<size_t>(length) >= sizeof path) goto fail;
    fd = open_guarded(path, O_WRONLY | O_CREAT | O_APPEND, &st);
    if (fd < 0) goto fail;
    close(fd);

    if (pipe(ends) != 0) goto fail;  // ends stay -1
    fflush(nullptr);
    child = fork();
    if (child < 0) goto fail;
    if (child == 0) {
        descriptors_close_from(0, ends[0]);
        service_log_reader(ends[0], path);
    }

    close(ends[0]);
    ends[0] = -1;
    if (dup2(ends[1], 1) < 0 || dup2(ends[1], 2) < 0) goto fail;
    // Started with descriptor 1 or 2 closed, the pipe may have been given
    // one of them: that one now serves as standard output or error.
    if (ends[1] > 2) close(ends[1]);

    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
    setenv(environment_name, service, 1);

    service_log_stamp(stamp, sizeof stamp);
    dprintf(2, "[%s] %s started\n", stamp, service);
    return;

fail:
    if (ends[0] >= 0) close(ends[0]);
    if (ends[1] >= 0) close(ends[1]);
    service_log_fail_closed();
}

void service_log_stamp(char *out, size_t size) {
    time_t now = time(nullptr);
    struct tm utc{};
    if (size == 0) return;
    if (!gmtime_r(&now, &utc) || strftime(out, size, "%Y-%m-%d %H:%M:%S UTC", &utc) == 0)
        out[0] = '\0';
}
