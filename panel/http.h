// dashwick's HTTP layer: one request per connection, read within fixed
// limits, routed, and answered with exactly one reply (or none when the
// client goes silent or away). The writers below are the only way any
// endpoint answers.
#pragma once

#include <cstddef>
#include <cstdio>

constexpr size_t request_size = 16384;   // request head (and body) limit
constexpr int read_timeout_ms = 3000;    // longest wait for each read
constexpr int write_timeout_ms = 3000;   // longest a reply write may make no progress
constexpr size_t method_size = 8;        // 7 characters
constexpr size_t target_size = 512;      // 511 characters
constexpr size_t version_size = 16;      // 15 characters
constexpr size_t reply_head_size = 1024;

// Reads one request from the connected socket, answers it and returns.
// The socket stays open; the caller closes it.
void handle(int client);

// Writes the status line, the fixed header block and the body.
void respond(int client, int status, const char *type, const void *body, size_t length);
// A plain-text reply: a short sentence ending in a line feed.
void message(int client, int status, const char *text);
// Writes text as a JSON string literal, quotes included.
void json_string(FILE *out, const char *text);

// Looks up a header in a header block (lines ended by CR LF, the name
// matched without regard to case and followed directly by a colon). 1 with
// the value in out when found and shorter than capacity; 0 otherwise.
int header_value(const char *headers, const char *name, char *out, size_t capacity);
