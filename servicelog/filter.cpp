// The terminal-sequence filter: an eight-state byte machine.
#include "servicelog/servicelog.h"

namespace {

constexpr unsigned char esc = 0x1b;
constexpr unsigned char bel = 0x07;

}  // namespace

size_t filter_terminal(char *buffer, size_t length, filter_state *state) {
    filter_state s = *state;
    size_t kept = 0;
    for (size_t i = 0; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(buffer[i]);
        switch (s) {
        case filter_text:
            if (c == esc)
                s = filter_escape;
            else if (c == '\t' || c == '\n' || (c >= 0x20 && c != 0x7f))
                buffer[kept++] = static_cast<char>(c);
            break;
        case filter_escape:
            if (c == '[')
                s = filter_control_sequence;
            else if (c == ']')
                s = filter_command_string;
            else if (c == 'P' || c == '^' || c == '_')
                s = filter_control_string;
            else if (c >= 0x20 && c <= 0x2f)
                s = filter_intermediate;
            else
                s = filter_text;
            break;
        case filter_control_sequence:
            if (c >= 0x40 && c <= 0x7e)
                s = filter_text;
            else if (c == esc)
                s = filter_escape;
            break;
        case filter_intermediate:
            if (c >= 0x30 && c <= 0x7e)
                s = filter_text;
            else if (c == esc)
                s = filter_escape;
            break;
        case filter_command_string:
            if (c == bel)
                s = filter_text;
            else if (c == esc)
                s = filter_command_escape;
            break;
        case filter_command_escape:
            s = (c == '\\' || c == bel) ? filter_text : filter_command_string;
            break;
        case filter_control_string:
            if (c == esc) s = filter_string_escape;
            break;
        case filter_string_escape:
            s = c == '\\' ? filter_text : filter_control_string;
            break;
        }
    }
    *state = s;
    return kept;
}
