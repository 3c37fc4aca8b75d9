// The service log capture: a program's standard output and error go through
// a pipe to a reader child that strips terminal sequences and appends the
// rest to "/var/log/<service>.log", capped at 1 MiB with three older
// generations (".1" newest to ".3").
#pragma once

#include <cstddef>

constexpr size_t service_log_cap = 1048576;  // bytes in the live file
constexpr int service_log_generations = 3;
constexpr size_t service_log_block = 4096;   // one read of the pipe
constexpr size_t service_log_stamp_size = 64;

// The states of the terminal-sequence filter. A caller that filters a
// buffer in one pass starts in filter_text; the capture keeps the state
// from one read to the next so that a sequence split across reads goes
// as a whole.
enum filter_state : unsigned char {
    filter_text,
    filter_escape,              // ESC seen
    filter_control_sequence,    // ESC [ or C2 9B
    filter_intermediate,        // ESC and bytes 0x20 to 0x2F
    filter_command_string,      // ESC ] or C2 9D
    filter_command_escape,      // ESC inside a command string
    filter_control_string,      // ESC P, X, ^ or _, or C2 90, 98, 9E or 9F
    filter_string_escape,       // ESC inside a control string
    filter_line_end,            // text after a CR, given as LF
    filter_c1_lead,             // text after a C2, held back
    filter_command_c1,          // C2 inside a command string
    filter_string_c1,           // C2 inside a control string
};
constexpr unsigned filter_state_count = filter_string_c1 + 1;

// Removes terminal escape and control sequences (also those begun by the
// UTF-8 form of a C1 control, C2 followed by 0x80 to 0x9F) and every
// control byte but tab and line feed from buffer, writing the kept bytes
// over it in order. A command or control string ends at BEL or ST as the
// terminal ends it, and also at a line feed, which is kept. A CR becomes a
// line feed, and a line feed directly after a CR is dropped. Returns how many bytes were kept: never more than
// length, except that a C2 held back at the end of the previous call (state
// filter_c1_lead) may come first, so then buffer needs room for length + 1
// bytes. Any split of a text into calls gives the same bytes as one call.
size_t filter_terminal(char *buffer, size_t length, filter_state *state);
// The same machine taken one byte at a time, without the block-wise scan
// of plain text: what filter_terminal must always agree with.
size_t filter_terminal_bytes(char *buffer, size_t length, filter_state *state);

// Points descriptors 1 and 2 into the capture for service (or at
// /dev/null when it cannot be set up; untouched when VORNA_LOG_SERVICE
// already names service).
void service_log_start(const char *service);

// The reader child's loop over the pipe's read end; ends the process.
[[noreturn]] void service_log_reader(int pipe_read, const char *path);

// Points descriptors 1 and 2 at /dev/null.
void service_log_fail_closed();

// The calendar time now in UTC as the lines of a service log begin with it,
// "2026-12-07 23:01:02 UTC" ("" when it cannot be had), in out (size bytes,
// service_log_stamp_size is enough).
void service_log_stamp(char *out, size_t size);
