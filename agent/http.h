// The metadata service client: one HTTP/1.0 GET under one deadline.
#pragma once

#include <cstddef>

#include "platform/monotonic.h"

// Body of "/openstack/latest/" + name from base ("http://a.b.c.d[:port]"),
// as a heap text the caller frees, or null. With not_found given, it tells
// a complete answer of status 404 (the service has no such document) from
// every other failure.
char *http_get(const char *base, const char *name, bool *not_found = nullptr);
// The body of a complete response of total bytes (buffer[total] is NUL):
// status 200 checked, framing by Content-Length or chunked decoding. 0 with
// the body moved to the buffer's start as a text and every byte behind it
// up to buffer[total] zeroed; -1 when the response is refused.
int http_response_body(char *buffer, size_t total);
// The status code of a response of total bytes whose header block ends
// within them, else -1.
int http_response_status(const char *buffer, size_t total);
// 0 when fd is ready for events before the deadline (monotonic_ms), else -1.
int wait_socket(int fd, short events, long long deadline);
