// The reader takes strings and whitespace in blocks of 8 and 16 bytes: every
// byte that ends or breaks such a run must be found wherever it sits relative
// to a block, and nothing past the given length may be read as part of the
// document.
#include "agent/json.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

namespace {

using namespace std::literals;

struct inserted {
    std::string_view bytes;  // put inside a string of plain letters
    bool accepted;
};

// Bytes next to the ones the scan looks for ('!' and '#' beside the double
// quote, '[' and ']' beside the backslash, 0x20 beside the control bytes)
// pass; escapes pass; a bare quote ends the string early.
const inserted string_cases[] = {
    {"", true}, {" ", true}, {"!", true}, {"#", true}, {"[", true}, {"]", true},
    {"\x7F", true}, {"\x80", true}, {"\xFF", true}, {"\xE2\x82\xAC", true},
    {"\\\"", true}, {"\\\\", true}, {"\\/", true}, {"\\n", true}, {"\\u00e9", true},
    {"\\uD83D\\uDE00", true}, {"\\\\\\\"", true},
    {"\"", false}, {"\x1F", false}, {"\x01", false}, {"\t", false}, {"\n", false},
    {"\0"sv, false}, {"\\", false}, {"\\x", false}, {"\\u00", false}, {"\\uDE00", false},
    {"\\uD83D", false}, {"\\\\\"", false},
};

int parse(json_doc *doc, std::string_view text) {
    return json_parse(doc, text.data(), text.size());
}

TEST(JsonScan, StopBytesAtEveryBlockPosition) {
    auto doc = std::make_unique<json_doc>();
    for (const inserted &c : string_cases) {
        for (size_t lead = 0; lead < 16; lead++) {
            for (size_t before = 0; before < 34; before++) {
                for (size_t after : {0, 1, 7, 8, 9, 15, 16, 17, 31}) {
                    std::string text = std::string(lead, ' ') + "[\"" + std::string(before, 'a');
                    text += c.bytes;
                    text += std::string(after, 'z') + "\"]";
                    SCOPED_TRACE(testing::Message() << "lead " << lead << " before " << before
                                                    << " after " << after);
                    ASSERT_EQ(parse(doc.get(), text), c.accepted ? 0 : -1) << c.bytes;
                    if (c.accepted) {
                        ASSERT_EQ(doc->count, 2);
                        ASSERT_EQ(doc->tokens[1].start, lead + 1);
                        ASSERT_EQ(doc->tokens[1].end, text.size() - 1);
                    }
                }
            }
        }
    }
}

// The document ends inside a string, in a block or short of one; the closing
// quote that follows in memory lies past the given length.
TEST(JsonScan, NothingPastTheLengthIsRead) {
    auto doc = std::make_unique<json_doc>();
    for (size_t lead = 0; lead < 16; lead++) {
        for (size_t n = 0; n < 40; n++) {
            std::string text = std::string(lead, '\n') + "\"" + std::string(n, 'k') + "\"";
            SCOPED_TRACE(testing::Message() << "lead " << lead << " letters " << n);
            ASSERT_EQ(json_parse(doc.get(), text.data(), text.size()), 0);
            ASSERT_EQ(doc->tokens[0].end, text.size());
            ASSERT_EQ(json_parse(doc.get(), text.data(), text.size() - 1), -1);
            std::string spaced = "[1" + std::string(n, ' ') + "]";
            ASSERT_EQ(json_parse(doc.get(), spaced.data(), spaced.size() - 1), -1);
        }
    }
}

struct blank_case {
    std::string_view fill;  // repeated to make a run between two tokens
    bool accepted;
};

const blank_case blank_cases[] = {
    {" ", true}, {"\n", true}, {"\r", true}, {"\t", true}, {" \t\r\n", true},
};

// Runs of whitespace of every length around the tokens, and one other byte
// at every position of a run.
TEST(JsonScan, WhitespaceRuns) {
    auto doc = std::make_unique<json_doc>();
    for (const blank_case &c : blank_cases) {
        for (size_t n = 0; n < 40; n++) {
            std::string run;
            while (run.size() < n)
                run += c.fill;
            run.resize(n);
            std::string text = run + "[" + run + "1" + run + "," + run + "{" + run + "\"a\"" +
                               run + ":" + run + "2" + run + "}" + run + "]" + run;
            SCOPED_TRACE(testing::Message() << "run " << n);
            ASSERT_EQ(parse(doc.get(), text), 0);
            ASSERT_EQ(doc->count, 5);
            ASSERT_EQ(doc->pos, text.size());
            for (std::string_view other : {"\f"sv, "\v"sv, "\0"sv, "\xA0"sv, "x"sv}) {
                for (size_t at = 0; at < n; at++) {
                    std::string broken = "[1," + run + "2]";
                    broken.replace(3 + at, 1, other);
                    ASSERT_EQ(parse(doc.get(), broken), -1) << at;
                }
            }
        }
    }
}

}  // namespace
