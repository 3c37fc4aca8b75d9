// dashwick's HTTP layer: one request per connection, read within fixed
// limits, routed, and answered with exactly one reply (or none when the
// client goes silent or away) through the writers of panel/reply.h.
#pragma once

#include <cstddef>

constexpr size_t request_size = 16384;   // request head (and body) limit
constexpr int read_timeout_ms = 3000;    // longest wait for each read
constexpr size_t method_size = 8;        // 7 characters
constexpr size_t target_size = 512;      // 511 characters
constexpr size_t version_size = 16;      // 15 characters

// Reads one request from the connected socket, answers it and returns.
// The socket stays open; the caller closes it.
void handle(int client);

