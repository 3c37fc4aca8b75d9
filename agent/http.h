// The metadata service client: one HTTP/1.0 GET under one deadline.
#pragma once

// Body of "/openstack/latest/" + name from base ("http://a.b.c.d[:port]"),
// as a heap text the caller frees, or null.
char *http_get(const char *base, const char *name);
// 0 when fd is ready for events before the monotonic deadline (ms), else -1.
int wait_socket(int fd, short events, long long deadline);
// Milliseconds of the monotonic clock.
long long monotonic_ms();
