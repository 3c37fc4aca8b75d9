// Whole writes, and reads and sends bounded by a deadline, shared by both
// programs. A deadline is a point on the monotonic clock in milliseconds
// (monotonic_ms); an interrupted call is repeated here and nowhere else.
#pragma once

#include <sys/types.h>

#include <climits>
#include <cstddef>

// A deadline that never comes: the wait lasts as long as it takes.
constexpr long long io_no_deadline = LLONG_MAX;

// Waits until fd is ready for events (POLLIN, POLLOUT) or hung up: 0, or -1
// when the deadline passes first or poll reports only an error. A deadline
// already passed still takes what is ready at once.
int io_wait(int fd, short events, long long deadline);

// Reads at most size bytes into buffer (from offset at when at is not
// negative, as pread): the byte count, 0 at end of file, -1 on failure.
ssize_t io_read(int fd, char *buffer, size_t size, off_t at = -1);

// Reads at most size bytes into buffer once fd has input before the
// deadline: the byte count, 0 at end of stream, -1 when the wait or the
// read fails.
ssize_t io_read_within(int fd, char *buffer, size_t size, long long deadline);

// Writes all of data to a file or pipe, continuing partial writes; 0, or -1
// when a write fails or writes nothing (errno EIO for the latter).
int io_write_all(int fd, const char *data, size_t length);

// Sends all of data on a socket by the deadline, without blocking and
// without SIGPIPE (flags added to each send): a peer that stops taking
// bytes fails the send at the deadline. 0, or -1 as io_write_all.
int io_send_all(int fd, const char *data, size_t length, long long deadline, int flags = 0);
