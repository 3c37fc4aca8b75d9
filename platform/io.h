// Whole writes and bounded reads on a descriptor, shared by both programs.
#pragma once

#include <sys/types.h>

#include <cstddef>

// Writes all of data to fd, continuing partial writes and repeating a write
// interrupted by a signal; 0, or -1 when a write fails or writes nothing
// (errno EIO for the latter). With wait_ms of 0 or more fd is a socket:
// each write waits up to wait_ms for room and then sends without blocking
// and without SIGPIPE (send_flags added), so a peer that stops taking bytes
// fails the write after wait_ms without room.
int io_write_all(int fd, const char *data, size_t length, int wait_ms = -1, int send_flags = 0);

// Waits up to wait_ms for input on fd, then reads at most size bytes into
// buffer: the byte count, 0 at end of stream, -1 when the wait times out or
// fails or the read fails.
ssize_t io_read_within(int fd, char *buffer, size_t size, int wait_ms);
