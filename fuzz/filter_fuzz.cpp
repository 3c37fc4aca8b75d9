// libFuzzer target for the terminal-sequence filter. The first byte picks
// the state to start in, the second where the input is split in two; the
// rest is the text. Filtering never lengthens the text (but for a C2 held
// back before it), keeps no control byte but tab and line feed nor a C1
// control in UTF-8, gives the same bytes and end state whether
// the text comes in one piece or two, and agrees with the machine taken
// one byte at a time (filter_terminal_bytes), which the filter's
// block-wise scan of plain text must not change.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "servicelog/servicelog.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const auto start = static_cast<filter_state>(data[0] % filter_state_count);
    const size_t length = size - 2;
    const size_t split = length * data[1] / 255;
    const char *text = reinterpret_cast<const char *>(data + 2);

    std::unique_ptr<char[]> whole(new char[length + 1]);
    memcpy(whole.get(), text, length);
    filter_state one = start;
    size_t kept = filter_terminal(whole.get(), length, &one);
    check(kept <= length + (start == filter_c1_lead) && one < filter_state_count);
    for (size_t i = 0; i < kept; i++) {
        unsigned char c = static_cast<unsigned char>(whole[i]);
        check(c == '\t' || c == '\n' || (c >= 0x20 && c != 0x7f));
        check(c != 0xc2 || (i + 1 < kept && (static_cast<unsigned char>(whole[i + 1]) & 0xe0) != 0x80));
    }

    std::unique_ptr<char[]> plain(new char[length + 1]);
    memcpy(plain.get(), text, length);
    filter_state by_byte = start;
    check(filter_terminal_bytes(plain.get(), length, &by_byte) == kept && by_byte == one);
    check(memcmp(plain.get(), whole.get(), kept) == 0);

    std::unique_ptr<char[]> parts(new char[length + 1]);
    memcpy(parts.get(), text, length);
    filter_state two = start;
    // The second piece in a buffer of its own: the first may take a byte more.
    std::unique_ptr<char[]> tail(new char[length - split + 1]);
    memcpy(tail.get(), text + split, length - split);
    size_t first = filter_terminal(parts.get(), split, &two);
    size_t second = filter_terminal(tail.get(), length - split, &two);
    check(two == one && first + second == kept);
    check(memcmp(parts.get(), whole.get(), first) == 0);
    check(memcmp(tail.get(), whole.get() + first, second) == 0);

    // What the filter keeps passes it again unchanged.
    filter_state again = filter_text;
    std::unique_ptr<char[]> copy(new char[kept ? kept : 1]);
    memcpy(copy.get(), whole.get(), kept);
    check(filter_terminal(copy.get(), kept, &again) == kept && again == filter_text);
    check(memcmp(copy.get(), whole.get(), kept) == 0);
    return 0;
}
