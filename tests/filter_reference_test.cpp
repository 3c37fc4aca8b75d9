// The terminal-sequence filter takes runs of plain text in blocks; it must
// keep exactly what the machine taken one byte at a time
// (filter_terminal_bytes) keeps, whatever the input and however it is split
// between calls, and the same as the whole input in one call.
#include "servicelog/servicelog.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

namespace {

struct mix {
    const char *name;
    std::string_view alphabet;  // bytes drawn besides plain letters
    int plain_percent;          // share of plain letters
    size_t max_length;
};

// From nearly plain text (long runs, a stop byte now and then at any block
// position) to dense sequences; every byte value turns up in the last row.
const mix mixes[] = {
    {"rare stops", "\x1b\x01\x7f\t\n\r\xc2", 98, 300},
    {"colour codes", "\x1b[0123456789;m\n", 70, 200},
    {"strings", "\x1b]P^_\\\x07\n", 60, 120},
    {"strings ended by line feeds", "\x1b]PX\xc2\x9d\x90\x9e\n\n\r\x07", 70, 200},
    {"control bytes", std::string_view("\x00\x01\x07\x08\x09\x0a\x0b\x0d\x1a\x1b\x1c\x1f\x20\x7e\x7f\x80\xff", 17), 50, 100},
    {"utf-8 and C1 controls", "\xc2\xc2\xc2\x80\x90\x98\x9b\x9c\x9d\x9e\x9f\xa0\xbf\xc3\x1b\x07\\\r\n", 60, 300},
    {"any byte", "", 0, 100},
};

TEST(FilterReference, RandomInputsInRandomPieces) {
    std::mt19937 random(20261207);
    for (const mix &m : mixes) {
        for (int round = 0; round < 3000; round++) {
            size_t length = random() % (m.max_length + 1);
            std::string input(length, '\0');
            for (char &c : input) {
                if (m.alphabet.empty())
                    c = static_cast<char>(random() % 256);
                else if (static_cast<int>(random() % 100) < m.plain_percent)
                    c = static_cast<char>('a' + random() % 26);
                else
                    c = m.alphabet[random() % m.alphabet.size()];
            }
            std::string got, want;
            filter_state got_state = filter_text, want_state = filter_text;
            for (size_t at = 0; at < length;) {
                size_t piece = std::min<size_t>(length - at, 1 + random() % 80);
                std::string a = input.substr(at, piece) + '\0', b = a;  // room for a held C2
                got.append(a.data(), filter_terminal(a.data(), piece, &got_state));
                want.append(b.data(), filter_terminal_bytes(b.data(), piece, &want_state));
                ASSERT_EQ(got_state, want_state) << m.name << " round " << round;
                at += piece;
            }
            ASSERT_EQ(got, want) << m.name << " round " << round;
            std::string whole = input;
            filter_state whole_state = filter_text;
            whole.resize(filter_terminal(whole.data(), length, &whole_state));
            ASSERT_TRUE(got == whole && got_state == whole_state) << m.name << " round " << round;
        }
    }
}

}  // namespace
