// dashwick's reply writers and header lookup: the only way any endpoint
// answers, and the only reading of a request's header block.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string_view>

constexpr int write_timeout_ms = 3000;   // longest a reply may take to go out
constexpr size_t reply_head_size = 1024;

// Writes the status line, the fixed header block and the body.
void respond(int client, int status, const char *type, const void *body, size_t length);
// A plain-text reply: a short sentence ending in a line feed.
void message(int client, int status, const char *text);
// Writes text as a JSON string literal, quotes included.
void json_string(FILE *out, const char *text);

// The first line of a header block (lines ended by CR LF) whose name,
// matched without regard to case, is followed directly by a colon: a
// pointer just past that colon, with *end at the end of the line; null
// when no line names the header.
const char *header_line(const char *headers, std::string_view name, const char **end);
// Looks up a header in a header block as header_line does. 1 with the
// value in out when found and shorter than capacity; 0 otherwise.
int header_value(const char *headers, const char *name, char *out, size_t capacity);

// A number in a request (a header value, a query value): text that strtoul
// in base 10 takes whole, with value as it reads it (a plus sign allowed, a
// number past the range saturating). A minus sign, which strtoul would
// accept and wrap round, makes it no number. 1 with value set; 0 otherwise.
int whole_number(const char *text, unsigned long *value);
