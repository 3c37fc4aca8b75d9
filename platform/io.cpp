// Whole writes, and reads and sends bounded by a deadline.
#include "platform/io.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/monotonic.h"

namespace {

// The poll time-out that leads up to the deadline: -1 for none, 0 once it
// has passed.
int time_left(long long deadline) {
    if (deadline == io_no_deadline) return -1;
    long long left = deadline - monotonic_ms();
    if (left <= 0) return 0;
    return left < INT_MAX ? static_cast<int>(left) : INT_MAX;
}

bool again(ssize_t result) {
    return result < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK);
}

}  // namespace

int io_wait(int fd, short events, long long deadline) {
    for (;;) {
        int timeout = time_left(deadline);
        pollfd entry{fd, events, 0};
        int ready = poll(&entry, 1, timeout);
        if (ready > 0) return (entry.revents & (events | POLLHUP)) ? 0 : -1;
        if (ready < 0 && errno != EINTR) return -1;
        // A time-out ends the wait once the deadline is really there.
        if (ready == 0 && (timeout == 0 || monotonic_ms() >= deadline)) return -1;
    }
}

ssize_t io_read(int fd, char *buffer, size_t size, off_t at) {
    for (;;) {
        ssize_t got = at < 0 ? read(fd, buffer, size) : pread(fd, buffer, size, at);
        if (!(got < 0 && errno == EINTR)) return got;
    }
}

ssize_t io_read_within(int fd, char *buffer, size_t size, long long deadline) {
    for (;;) {
        if (io_wait(fd, POLLIN, deadline) != 0) return -1;
        ssize_t got = read(fd, buffer, size);
        if (!again(got)) return got;
    }
}

int io_write_all(int fd, const char *data, size_t length) {
    while (length > 0) {
        ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = EIO;
            return -1;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return 0;
}

int io_send_all(int fd, const char *data, size_t length, long long deadline, int flags) {
    while (length > 0) {
        ssize_t sent = send(fd, data, length, MSG_DONTWAIT | MSG_NOSIGNAL | flags);
        if (again(sent)) {
            if (io_wait(fd, POLLOUT, deadline) != 0) return -1;
            continue;
        }
        if (sent <= 0) {
            if (sent == 0) errno = EIO;
            return -1;
        }
        data += sent;
        length -= static_cast<size_t>(sent);
    }
    return 0;
}
