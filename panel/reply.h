// dashwick's reply writers: the only way any endpoint answers, JSON bodies
// included.
#pragma once

#include <cstddef>
#include <cstdio>

constexpr int write_timeout_ms = 3000;   // longest a reply may take to go out
constexpr size_t reply_head_size = 1024;

// The content types of the replies that are not files of the page.
constexpr const char *plain_text = "text/plain; charset=utf-8";
constexpr const char *json_type = "application/json";

// Writes the status line, the fixed header block and the body.
void respond(int client, int status, const char *type, const void *body, size_t length);
// A plain-text reply: a short sentence ending in a line feed.
void message(int client, int status, const char *text);
// Writes text as a JSON string literal, quotes included.
void json_string(FILE *out, const char *text);

// A stream for a JSON body; null, after answering 500, when there is no
// memory for it.
FILE *open_json(int client, char **data, size_t *size);
// Sends what was written to a JSON stream, or 500 when it could not all be
// kept in memory; frees the stream's memory either way.
void send_json(int client, FILE *out, char *&data, size_t &size);
