// Whole writes and bounded reads on a descriptor.
#include "platform/io.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

// A socket's writes wait with poll instead of blocking, because a blocking
// write's own time limit would count anew with every write that got a few
// bytes out, and so hold the writer several times as long.
int io_write_all(int fd, const char *data, size_t length, int wait_ms, int send_flags) {
    while (length > 0) {
        if (wait_ms >= 0) {
            pollfd room{fd, POLLOUT, 0};
            int ready = poll(&room, 1, wait_ms);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return -1;
        }
        ssize_t written = wait_ms >= 0
                              ? send(fd, data, length, MSG_DONTWAIT | MSG_NOSIGNAL | send_flags)
                              : write(fd, data, length);
        if (written < 0 && (errno == EINTR || (wait_ms >= 0 && errno == EAGAIN))) continue;
        if (written <= 0) {
            if (written == 0) errno = EIO;
            return -1;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return 0;
}

ssize_t io_read_within(int fd, char *buffer, size_t size, int wait_ms) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, wait_ms) <= 0) return -1;
    return read(fd, buffer, size);
}
