// The terminal-sequence filter: a byte machine whose state carries from one
// call to the next.
#include "servicelog/servicelog.h"

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
// The C library's view of the processor; its header spells bool as C does,
// which only g++ accepts in C++.
#if __has_include(<sys/platform/x86.h>) && !defined(__clang__)
#define FILTER_ASKS_LIBC 1
#include <sys/platform/x86.h>
#endif
#endif

namespace {

constexpr unsigned char esc = 0x1b;
constexpr unsigned char bel = 0x07;
constexpr unsigned char cr = 0x0d;
constexpr unsigned char c1_lead = 0xc2;             // C2 80 to C2 9F: the C1 controls
constexpr unsigned char string_terminator = 0x9c;   // C2 9C ends a string

// Kept as it is in the text state; the block-wise scans stop at any other
// byte (and at C2, which may begin a C1 control).
bool is_plain(unsigned char c) {
    return c == '\t' || c == '\n' || (c >= 0x20 && c != 0x7f && c != c1_lead);
}

// Kept in the text state, as itself or (CR) as a line feed.
bool is_kept(unsigned char c) { return is_plain(c) || c == cr; }

// C2 then c is a C1 control.
bool is_c1(unsigned char c) { return c >= 0x80 && c <= 0x9f; }

#if defined(__x86_64__)
// The first byte from at on that is not plain, 32 bytes at a time, or the
// start of the last stretch shorter than a block.
__attribute__((target("avx2"))) size_t plain_blocks_avx2(const char *text, size_t at,
                                                         size_t length) {
    const __m256i control = _mm256_set1_epi8(0x1F), del = _mm256_set1_epi8(0x7F);
    const __m256i tab = _mm256_set1_epi8('\t'), line_feed = _mm256_set1_epi8('\n');
    const __m256i lead = _mm256_set1_epi8(static_cast<char>(c1_lead));
    while (length - at >= 32) {
        __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(text + at));
        __m256i below = _mm256_cmpeq_epi8(_mm256_min_epu8(block, control), block);
        __m256i kept =
            _mm256_or_si256(_mm256_cmpeq_epi8(block, tab), _mm256_cmpeq_epi8(block, line_feed));
        __m256i stop = _mm256_or_si256(
            _mm256_andnot_si256(kept, below),
            _mm256_or_si256(_mm256_cmpeq_epi8(block, del), _mm256_cmpeq_epi8(block, lead)));
        unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(stop));
        if (mask != 0)
            return at + static_cast<unsigned>(std::countr_zero(mask));
        at += 32;
    }
    return at;
}

#if defined(FILTER_ASKS_LIBC)
// The C library has asked the processor already, at start-up. (The compiler's
// own test would bring in a start-up routine of its runtime that asks again,
// in every program linking the filter, with instructions that a virtual
// machine traps.)
const bool have_avx2 = CPU_FEATURE_ACTIVE(AVX2);
#else
const bool have_avx2 = __builtin_cpu_supports("avx2");
#endif
#endif

// How many bytes from the start of text are plain (kept as they are in the
// text state). Most output is long runs of them: 32 bytes at a time where
// the processor has AVX2, 16 at a time with SSE2 (every x86-64), then eight
// at a time in a plain word, and the last few one by one.
size_t plain_run(const char *text, size_t length) {
    size_t n = 0;
#if defined(__x86_64__)
    if (have_avx2) {
        n = plain_blocks_avx2(text, 0, length);
        if (length - n >= 32)
            return n;  // stopped at a byte that is not plain
    }
#endif
#if defined(__SSE2__)
    const __m128i control = _mm_set1_epi8(0x1F), del = _mm_set1_epi8(0x7F);
    const __m128i tab = _mm_set1_epi8('\t'), line_feed = _mm_set1_epi8('\n');
    const __m128i lead = _mm_set1_epi8(static_cast<char>(c1_lead));
    while (length - n >= 16) {
        __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + n));
        __m128i below = _mm_cmpeq_epi8(_mm_min_epu8(block, control), block);  // up to 0x1F
        __m128i kept = _mm_or_si128(_mm_cmpeq_epi8(block, tab), _mm_cmpeq_epi8(block, line_feed));
        __m128i stop = _mm_or_si128(_mm_andnot_si128(kept, below),
                                    _mm_or_si128(_mm_cmpeq_epi8(block, del), _mm_cmpeq_epi8(block, lead)));
        unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(stop));
        if (mask != 0)
            return n + static_cast<unsigned>(std::countr_zero(mask));
        n += 16;
    }
#endif
    // A word with no byte below 0x20, no DEL and no C2 is all plain; a tab
    // or line feed in a word is taken by the byte step.
    constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    while (n < length) {
        if (length - n >= 8) {
            uint64_t word;
            std::memcpy(&word, text + n, 8);
            uint64_t del = word ^ (ones * 0x7f), lead = word ^ (ones * c1_lead);
            if (((((word - ones * 0x20) & ~word) | ((del - ones) & ~del) | ((lead - ones) & ~lead)) &
                 highs) == 0) {
                n += 8;
                continue;
            }
        }
        if (!is_plain(static_cast<unsigned char>(text[n])))
            break;
        n++;
    }
    return n;
}

// A byte in the text state: the next state. What it keeps goes to
// out[*kept] on.
inline filter_state text_step(unsigned char c, char *out, size_t *kept) {
    if (c == esc) return filter_escape;
    if (c == c1_lead) return filter_c1_lead;  // held until the next byte
    if (c == cr) {
        out[(*kept)++] = '\n';
        return filter_line_end;
    }
    if (is_plain(c)) out[(*kept)++] = static_cast<char>(c);
    return filter_text;
}

// C2 then a byte in the text state.
inline filter_state c1_step(unsigned char c, char *out, size_t *kept) {
    switch (c) {
    case 0x9b: return filter_control_sequence;
    case 0x9d: return filter_command_string;
    case 0x90: case 0x98: case 0x9e: case 0x9f: return filter_control_string;
    default: break;
    }
    if (is_c1(c)) return filter_text;  // any other C1 control goes alone
    // Otherwise the C2 goes out with the byte after it if that byte is kept,
    // and is dropped with it if not: so no C2 in the output can ever be
    // followed by 80 to 9F once the bytes between are gone.
    if (is_kept(c)) out[(*kept)++] = static_cast<char>(c1_lead);
    return text_step(c, out, kept);
}

inline filter_state command_string_step(unsigned char c) {
    if (c == bel) return filter_text;
    if (c == c1_lead) return filter_command_c1;
    return c == esc ? filter_command_escape : filter_command_string;
}

inline filter_state control_string_step(unsigned char c) {
    if (c == c1_lead) return filter_string_c1;
    return c == esc ? filter_string_escape : filter_control_string;
}

bool in_string(filter_state s) {
    return s == filter_command_string || s == filter_command_escape || s == filter_command_c1 ||
           s == filter_control_string || s == filter_string_escape || s == filter_string_c1;
}

// One byte through the machine: the next state. What it keeps goes to
// out[*kept] on: at most two bytes (a held C2 and the byte), never past the
// byte's own place in a buffer filtered in place.
inline filter_state step(filter_state s, unsigned char c, char *out, size_t *kept) {
    // A string that a program never ends (a stray ESC ] or ESC P) would
    // swallow all it writes later: a line feed ends it too, and is kept.
    if (c == '\n' && in_string(s)) {
        out[(*kept)++] = '\n';
        return filter_text;
    }
    switch (s) {
    case filter_text:
        return text_step(c, out, kept);
    case filter_line_end:
        return c == '\n' ? filter_text : text_step(c, out, kept);
    case filter_c1_lead:
        return c1_step(c, out, kept);
    case filter_escape:
        if (c == '[') return filter_control_sequence;
        if (c == ']') return filter_command_string;
        if (c == 'P' || c == 'X' || c == '^' || c == '_') return filter_control_string;
        if (c >= 0x20 && c <= 0x2f) return filter_intermediate;
        return filter_text;
    case filter_control_sequence:
        if (c >= 0x40 && c <= 0x7e) return filter_text;
        return c == esc ? filter_escape : filter_control_sequence;
    case filter_intermediate:
        if (c >= 0x30 && c <= 0x7e) return filter_text;
        return c == esc ? filter_escape : filter_intermediate;
    case filter_command_string:
        return command_string_step(c);
    case filter_command_escape:
        return (c == '\\' || c == bel) ? filter_text : filter_command_string;
    case filter_command_c1:
        return c == string_terminator ? filter_text : command_string_step(c);
    case filter_control_string:
        return control_string_step(c);
    case filter_string_escape:
        return c == '\\' ? filter_text : filter_control_string;
    case filter_string_c1:
        return c == string_terminator ? filter_text : control_string_step(c);
    }
    return s;
}

// The machine over buffer; blocks: runs of plain text taken by plain_run.
size_t run(char *buffer, size_t length, filter_state *state, bool blocks) {
    filter_state s = *state;
    size_t i = 0, kept = 0;
    // A C2 held back at the end of the previous call goes first when the
    // byte after it is kept, in the byte of room the caller leaves.
    if (s == filter_c1_lead && length > 0 && !is_c1(static_cast<unsigned char>(buffer[0])) &&
        is_kept(static_cast<unsigned char>(buffer[0]))) {
        std::memmove(buffer + 1, buffer, length);
        buffer[0] = static_cast<char>(c1_lead);
        i = kept = 1;
        length++;
        s = filter_text;
    }
    for (; i < length; i++) {
        if (blocks && s == filter_text) {
            size_t plain = plain_run(buffer + i, length - i);
            if (kept != i)
                std::memmove(buffer + kept, buffer + i, plain);
            kept += plain;
            i += plain;
            if (i == length)
                break;
        }
        s = step(s, static_cast<unsigned char>(buffer[i]), buffer, &kept);
    }
    *state = s;
    return kept;
}

}  // namespace

size_t filter_terminal(char *buffer, size_t length, filter_state *state) {
    return run(buffer, length, state, true);
}

size_t filter_terminal_bytes(char *buffer, size_t length, filter_state *state) {
    return run(buffer, length, state, false);
}
