// Reading a request of dashwick: the lines of its header block and the
// numbers it carries. Intake, authentication and the API read requests
// only through these.
#pragma once

#include <cstddef>
#include <string_view>

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
