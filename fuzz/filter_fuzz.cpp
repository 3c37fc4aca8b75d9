// libFuzzer target for the terminal-sequence filter. The first byte picks
// the state to start in, the second where the input is split in two; the
// rest is the text. Filtering never lengthens the text, keeps no control
// byte but tab and line feed, gives the same bytes and end state whether
// the text comes in one piece or two, and agrees with the plain byte
// machine below, one byte at a time, which the filter's block-wise scan of
// plain text must not change.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "servicelog/servicelog.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

constexpr unsigned state_count = 8;
constexpr unsigned char esc = 0x1b;
constexpr unsigned char bel = 0x07;

// The filter's states one byte at a time, with nothing taken in blocks.
size_t byte_machine(char *buffer, size_t length, filter_state *state) {
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const auto start = static_cast<filter_state>(data[0] % state_count);
    const size_t length = size - 2;
    const size_t split = length * data[1] / 255;
    const char *text = reinterpret_cast<const char *>(data + 2);

    std::unique_ptr<char[]> whole(new char[length ? length : 1]);
    memcpy(whole.get(), text, length);
    filter_state one = start;
    size_t kept = filter_terminal(whole.get(), length, &one);
    check(kept <= length && one < state_count);
    for (size_t i = 0; i < kept; i++) {
        unsigned char c = static_cast<unsigned char>(whole[i]);
        check(c == '\t' || c == '\n' || (c >= 0x20 && c != 0x7f));
    }

    std::unique_ptr<char[]> plain(new char[length ? length : 1]);
    memcpy(plain.get(), text, length);
    filter_state by_byte = start;
    check(byte_machine(plain.get(), length, &by_byte) == kept && by_byte == one);
    check(memcmp(plain.get(), whole.get(), kept) == 0);

    std::unique_ptr<char[]> parts(new char[length ? length : 1]);
    memcpy(parts.get(), text, length);
    filter_state two = start;
    size_t first = filter_terminal(parts.get(), split, &two);
    size_t second = filter_terminal(parts.get() + split, length - split, &two);
    check(first <= split && second <= length - split);
    check(two == one && first + second == kept);
    check(memcmp(parts.get(), whole.get(), first) == 0);
    check(memcmp(parts.get() + split, whole.get() + first, second) == 0);

    // What the filter keeps passes it again unchanged.
    filter_state again = filter_text;
    std::unique_ptr<char[]> copy(new char[kept ? kept : 1]);
    memcpy(copy.get(), whole.get(), kept);
    check(filter_terminal(copy.get(), kept, &again) == kept && again == filter_text);
    check(memcmp(copy.get(), whole.get(), kept) == 0);
    return 0;
}
