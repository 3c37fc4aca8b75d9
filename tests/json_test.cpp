// Unit tests of the agent's JSON reader: the grammar it accepts, its fixed
// limits, the token record it leaves, and the accessors.
#include "agent/json.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

// A document and the record parsed from it; the text outlives the record's use.
struct parsed {
    std::string text;
    std::unique_ptr<json_doc> doc = std::make_unique<json_doc>();
    int rc;

    explicit parsed(std::string_view source) : text(source) {
        rc = json_parse(doc.get(), text.data(), text.size());
    }
    const json_token &token(int index) const { return doc->tokens[index]; }
    // json_string of a token into a buffer of the given size, or "<fail>".
    std::string decoded(int index, size_t size = 1024) const {
        std::vector<char> buffer(size);
        int n = json_string(doc.get(), index, buffer.data(), buffer.size());
        if (n < 0)
            return "<fail>";
        EXPECT_EQ(buffer[static_cast<size_t>(n)], '\0');
        return std::string(buffer.data(), static_cast<size_t>(n));
    }
    std::string raw(int index) const {
        return text.substr(token(index).start, token(index).end - token(index).start);
    }
};

bool parses(std::string_view source) {
    return parsed(source).rc == 0;
}

std::string nested_arrays(int count, std::string_view innermost = "") {
    return std::string(static_cast<size_t>(count), '[') + std::string(innermost) +
           std::string(static_cast<size_t>(count), ']');
}

std::string nested_objects(int count, std::string_view innermost) {
    std::string s;
    for (int i = 0; i < count; i++)
        s += "{\"k\":";
    s += innermost;
    return s + std::string(static_cast<size_t>(count), '}');
}

std::string array_of_numbers(int count) {
    std::string s = "[";
    for (int i = 0; i < count; i++)
        s += i == 0 ? "7" : ",7";
    return s + "]";
}

std::string object_of_members(int count) {
    std::string s = "{";
    for (int i = 0; i < count; i++)
        s += (i == 0 ? "\"k" : ",\"k") + std::to_string(i) + "\":0";
    return s + "}";
}

// ---------------------------------------------------------------------------
// The document as a whole

TEST(JsonDocument, EmptyOrWhitespaceOnlyTextFails) {
    EXPECT_FALSE(parses(""));
    EXPECT_FALSE(parses(" "));
    EXPECT_FALSE(parses(" \t\r\n"));
}

TEST(JsonDocument, WhitespaceIsExactlySpaceTabCarriageReturnLineFeed) {
    EXPECT_TRUE(parses(" \t\r\n[ \t\r\n1 \t\r\n, \t\r\n{ \t\r\n\"a\" \t\r\n: \t\r\n2 \t\r\n} \t\r\n] \t\r\n"));
    EXPECT_FALSE(parses("\f1"));
    EXPECT_FALSE(parses("1\v"));
    EXPECT_FALSE(parses("[1,\f2]"));
    EXPECT_FALSE(parses("\xEF\xBB\xBF{}"));  // a byte order mark is not whitespace
    EXPECT_FALSE(parses("\xC2\xA0" "1"));     // nor is a no-break space
}

TEST(JsonDocument, ExactlyOneValue) {
    EXPECT_TRUE(parses("1"));
    EXPECT_TRUE(parses("  \"x\"  "));
    EXPECT_FALSE(parses("1 2"));
    EXPECT_FALSE(parses("[] []"));
    EXPECT_FALSE(parses("{}}"));
    EXPECT_FALSE(parses("[]]"));
    EXPECT_FALSE(parses("null,"));
    EXPECT_FALSE(parses("\"a\"x"));
}

TEST(JsonDocument, OnlyTheGivenLengthIsParsed) {
    const char text[] = "[1]garbage";
    auto doc = std::make_unique<json_doc>();
    EXPECT_EQ(json_parse(doc.get(), text, 3), 0);
    EXPECT_EQ(doc->pos, 3u);
    EXPECT_EQ(json_parse(doc.get(), text, 2), -1);  // "[1" is cut short
    EXPECT_EQ(json_parse(doc.get(), text, 4), -1);  // "[1]g"
}

TEST(JsonDocument, NulByteWithinTheLengthFails) {
    EXPECT_FALSE(parses(std::string_view("1\0", 2)));
    EXPECT_FALSE(parses(std::string_view("\"a\0b\"", 5)));
    EXPECT_FALSE(parses(std::string_view("[1,\0 2]", 7)));
}

TEST(JsonDocument, RecordAfterSuccessfulParse) {
    parsed p("  [1, \"two\"]  ");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.doc->text, p.text.data());
    EXPECT_EQ(p.doc->length, p.text.size());
    EXPECT_EQ(p.doc->pos, p.text.size());
    EXPECT_EQ(p.doc->count, 3);
    EXPECT_EQ(p.text, "  [1, \"two\"]  ");  // the text is left unchanged
}

TEST(JsonDocument, ParsingAgainStartsAfresh) {
    parsed p("[[[1,2,3]]]");
    ASSERT_EQ(p.rc, 0);
    const char second[] = "true";
    ASSERT_EQ(json_parse(p.doc.get(), second, 4), 0);
    EXPECT_EQ(p.doc->count, 1);
    EXPECT_EQ(p.doc->text, second);
    EXPECT_EQ(p.doc->tokens[0].type, JSON_BOOLEAN);
    for (int i = 1; i < json_token_slots; i++) {
        EXPECT_EQ(p.doc->tokens[i].type, 0) << i;
        EXPECT_EQ(p.doc->tokens[i].end, 0u) << i;
        EXPECT_EQ(p.doc->tokens[i].next, 0) << i;
    }
}

TEST(JsonDocument, TwoRecordsAreIndependent) {
    parsed meta("{\"name\":\"one\"}");
    parsed network("{\"name\":\"two\"}");
    ASSERT_EQ(meta.rc, 0);
    ASSERT_EQ(network.rc, 0);
    EXPECT_EQ(meta.decoded(json_get(meta.doc.get(), 0, "name")), "one");
    EXPECT_EQ(network.decoded(json_get(network.doc.get(), 0, "name")), "two");
}

// ---------------------------------------------------------------------------
// Tokens

TEST(JsonTokens, EmptyObjectIsOneToken) {
    parsed p("{}");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.doc->count, 1);
    EXPECT_EQ(p.token(0).type, JSON_OBJECT);
    EXPECT_EQ(p.token(0).next, 1);
    EXPECT_EQ(p.token(0).children, 0);
    EXPECT_EQ(p.token(0).start, 0u);
    EXPECT_EQ(p.token(0).end, 2u);
}

TEST(JsonTokens, EmptyContainersWithWhitespaceInside) {
    parsed p("[ {\n}\t, [ ] ]");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.doc->count, 3);
    EXPECT_EQ(p.token(0).children, 2);
    EXPECT_EQ(p.raw(1), "{\n}");
    EXPECT_EQ(p.raw(2), "[ ]");
}

TEST(JsonTokens, ObjectWithTwoMembersHasFourChildren) {
    parsed p("{\"a\": 1, \"b\": [true, null]}");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.token(0).children, 4);
    EXPECT_EQ(p.doc->count, 7);
    EXPECT_EQ(p.token(4).type, JSON_ARRAY);
    EXPECT_EQ(p.token(4).children, 2);
}

TEST(JsonTokens, PreOrderWithTypesOffsetsAndNext) {
    //                 0         1         2
    //                 0123456789012345678901234567
    parsed p(" {\"a\":[1,{\"b\":false}],\"c\":null} ");
    ASSERT_EQ(p.rc, 0);
    struct expected {
        int32_t type;
        std::string raw;
        int32_t next;
        int32_t children;
    };
    const std::vector<expected> tokens = {
        {JSON_OBJECT, "{\"a\":[1,{\"b\":false}],\"c\":null}", 9, 4},
        {JSON_STRING, "\"a\"", 2, 0},
        {JSON_ARRAY, "[1,{\"b\":false}]", 7, 2},
        {JSON_NUMBER, "1", 4, 0},
        {JSON_OBJECT, "{\"b\":false}", 7, 2},
        {JSON_STRING, "\"b\"", 6, 0},
        {JSON_BOOLEAN, "false", 7, 0},
        {JSON_STRING, "\"c\"", 8, 0},
        {JSON_NULL, "null", 9, 0},
    };
    ASSERT_EQ(p.doc->count, static_cast<int32_t>(tokens.size()));
    for (size_t i = 0; i < tokens.size(); i++) {
        SCOPED_TRACE(i);
        int index = static_cast<int>(i);
        EXPECT_EQ(p.token(index).type, tokens[i].type);
        EXPECT_EQ(p.raw(index), tokens[i].raw);
        EXPECT_EQ(p.token(index).next, tokens[i].next);
        EXPECT_EQ(p.token(index).children, tokens[i].children);
    }
    EXPECT_EQ(p.token(0).start, 1u);
    EXPECT_EQ(p.token(0).end, p.text.size() - 1);
}

TEST(JsonTokens, StringsAreKeptRawWithTheirQuotes) {
    parsed p("[\"a\\nb\"]");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.token(1).type, JSON_STRING);
    EXPECT_EQ(p.token(1).start, 1u);
    EXPECT_EQ(p.token(1).end, 7u);
    EXPECT_EQ(p.raw(1), "\"a\\nb\"");
}

TEST(JsonTokens, WalkingAnArrayVisitsEachElementOnce) {
    parsed p("[1, [2, 3], {\"x\": [4]}, \"five\", []]");
    ASSERT_EQ(p.rc, 0);
    const json_doc *doc = p.doc.get();
    std::vector<std::string> elements;
    for (int e = 1; e < doc->tokens[0].next; e = doc->tokens[e].next)
        elements.push_back(p.raw(e));
    EXPECT_EQ(elements, (std::vector<std::string>{"1", "[2, 3]", "{\"x\": [4]}", "\"five\"", "[]"}));
    EXPECT_EQ(static_cast<size_t>(doc->tokens[0].children), elements.size());
}

TEST(JsonTokens, WalkingAnObjectVisitsEachMemberOnce) {
    parsed p("{\"a\": {\"b\": [1, 2]}, \"c\": 3, \"d\": []}");
    ASSERT_EQ(p.rc, 0);
    const json_doc *doc = p.doc.get();
    std::vector<std::string> members;
    for (int k = 1; k < doc->tokens[0].next; k = doc->tokens[k + 1].next)
        members.push_back(p.decoded(k) + "=" + p.raw(k + 1));
    EXPECT_EQ(members, (std::vector<std::string>{"a={\"b\": [1, 2]}", "c=3", "d=[]"}));
    EXPECT_EQ(static_cast<size_t>(doc->tokens[0].children), 2 * members.size());
}

// ---------------------------------------------------------------------------
// Containers

TEST(JsonContainers, TrailingCommaFails) {
    EXPECT_FALSE(parses("[1,]"));
    EXPECT_FALSE(parses("[1, ]"));
    EXPECT_FALSE(parses("{\"a\":1,}"));
    EXPECT_FALSE(parses("{\"a\":1 , }"));
}

TEST(JsonContainers, MalformedMembersFail) {
    EXPECT_FALSE(parses("{\"a\" 1}"));      // no colon
    EXPECT_FALSE(parses("{\"a\"}"));        // no colon, no value
    EXPECT_FALSE(parses("{\"a\":}"));       // no value
    EXPECT_FALSE(parses("{1:2}"));          // the key is a number
    EXPECT_FALSE(parses("{null:2}"));
    EXPECT_FALSE(parses("{[]:2}"));
    EXPECT_FALSE(parses("{a:2}"));
    EXPECT_FALSE(parses("{\"a\"::2}"));
    EXPECT_FALSE(parses("{\"a\":1 \"b\":2}"));
    EXPECT_FALSE(parses("{\"a\":1;\"b\":2}"));
    EXPECT_FALSE(parses("{,}"));
    EXPECT_FALSE(parses("{,\"a\":1}"));
}

TEST(JsonContainers, MalformedArraysFail) {
    EXPECT_FALSE(parses("[1 2]"));          // whitespace only between elements
    EXPECT_FALSE(parses("[1,,2]"));
    EXPECT_FALSE(parses("[,1]"));
    EXPECT_FALSE(parses("[,]"));
    EXPECT_FALSE(parses("[1:2]"));
    EXPECT_FALSE(parses("[1}"));
    EXPECT_FALSE(parses("{\"a\":1]"));
}

TEST(JsonContainers, UnterminatedContainersFail) {
    EXPECT_FALSE(parses("["));
    EXPECT_FALSE(parses("{"));
    EXPECT_FALSE(parses("[1"));
    EXPECT_FALSE(parses("[1,"));
    EXPECT_FALSE(parses("[1 "));
    EXPECT_FALSE(parses("{\"a\""));
    EXPECT_FALSE(parses("{\"a\":"));
    EXPECT_FALSE(parses("{\"a\":1"));
    EXPECT_FALSE(parses("[[]"));
}

TEST(JsonContainers, StrayClosersFail) {
    EXPECT_FALSE(parses("]"));
    EXPECT_FALSE(parses("}"));
    EXPECT_FALSE(parses(":"));
    EXPECT_FALSE(parses(","));
}

// ---------------------------------------------------------------------------
// Numbers

TEST(JsonNumbers, ValidForms) {
    for (const char *number : {"0", "-0", "-0.5", "1E+5", "2e-3", "7", "-7", "123456789", "0.0",
                               "10.25", "1e5", "1E5", "0e0", "-0E-0", "1.5e+10",
                               "123456789012345678901234567890123456789"}) {
        parsed p(number);
        EXPECT_EQ(p.rc, 0) << number;
        EXPECT_EQ(p.token(0).type, JSON_NUMBER) << number;
        EXPECT_EQ(p.raw(0), number);
    }
}

TEST(JsonNumbers, InvalidFormsFail) {
    for (const char *number : {"01", "-01", "00", "-", "1.", "-1.", ".5", "-.5", "1e", "1E", "1e+",
                               "1e-", "1.e3", "+1", "1ee2", "1e+-2", "1.2.3", "0x10", "1a",
                               "-a", "- 1", "1 .5", "Infinity", "-Infinity", "NaN", "1_000",
                               "2.5e", "1.0e+", "[1.]", "[-]", "[01]", "[1e]"}) {
        EXPECT_FALSE(parses(number)) << number;
    }
}

TEST(JsonNumbers, NumberEndsBeforeTheFirstCharacterThatCannotContinueIt) {
    parsed p("[-12.5e+3,0]");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.raw(1), "-12.5e+3");
    EXPECT_EQ(p.raw(2), "0");
}

// ---------------------------------------------------------------------------
// Literals

TEST(JsonLiterals, WholeLiteralsParse) {
    parsed t("true"), f("false"), n("null");
    ASSERT_EQ(t.rc, 0);
    ASSERT_EQ(f.rc, 0);
    ASSERT_EQ(n.rc, 0);
    EXPECT_EQ(t.token(0).type, JSON_BOOLEAN);
    EXPECT_EQ(f.token(0).type, JSON_BOOLEAN);
    EXPECT_EQ(n.token(0).type, JSON_NULL);
    EXPECT_EQ(f.token(0).end, 5u);
    EXPECT_TRUE(parses("[true,false,null]"));
}

TEST(JsonLiterals, PartialOrMisspelledLiteralsFail) {
    for (const char *literal : {"tru", "t", "fals", "nul", "[tru]", "[nul", "True", "FALSE",
                                "Null", "trUe", "nulL", "fake", "nan", "undefined"}) {
        EXPECT_FALSE(parses(literal)) << literal;
    }
}

TEST(JsonLiterals, LiteralFollowedByALetterFails) {
    EXPECT_FALSE(parses("truex"));
    EXPECT_FALSE(parses("trues"));
    EXPECT_FALSE(parses("nullnull"));
    EXPECT_FALSE(parses("[falsey]"));
}

// ---------------------------------------------------------------------------
// Strings

TEST(JsonStrings, ControlBytesInsideAStringFail) {
    for (int byte = 0; byte < 0x20; byte++) {
        std::string s = "\"a";
        s += static_cast<char>(byte);
        s += "b\"";
        EXPECT_FALSE(parses(s)) << byte;
    }
    EXPECT_TRUE(parses("\"\x7F\""));  // DEL is not a control byte here
}

TEST(JsonStrings, HighBytesPassUnchanged) {
    parsed p("\"\xC3\"");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.decoded(0), "\xC3");
    // No UTF-8 validation: overlong, truncated and stray bytes all pass.
    EXPECT_TRUE(parses("\"\xC0\xAF\xFF\xED\xA0\x80\xE0\""));
}

TEST(JsonStrings, ValidEscapesParse) {
    EXPECT_TRUE(parses("\"\\\" \\\\ \\/ \\b \\f \\n \\r \\t\""));
    EXPECT_TRUE(parses("\"\\u0041\\u00e9\\u00E9\\uFFFF\\uabcd\""));
}

TEST(JsonStrings, InvalidEscapesFail) {
    for (const char *s : {"\"\\x41\"", "\"\\a\"", "\"\\'\"", "\"\\0\"", "\"\\U0041\"",
                          "\"\\u41\"", "\"\\u004\"", "\"\\u004g\"", "\"\\u\"", "\"\\ \"",
                          "\"\\\t\""}) {
        EXPECT_FALSE(parses(s)) << s;
    }
}

TEST(JsonStrings, UnterminatedStringsFail) {
    EXPECT_FALSE(parses("\""));
    EXPECT_FALSE(parses("\"abc"));
    EXPECT_FALSE(parses("\"abc\\\""));   // the last quote is escaped
    EXPECT_FALSE(parses("\"abc\\"));     // backslash at the end of the text
    EXPECT_FALSE(parses("\"\\u00"));     // \u escape cut short by the end of the text
    EXPECT_FALSE(parses("[\"a]"));
}

TEST(JsonStrings, SurrogatePairsParse) {
    EXPECT_TRUE(parses("\"\\uD83D\\uDE00\""));
    EXPECT_TRUE(parses("\"\\ud83d\\ude00\""));
    EXPECT_TRUE(parses("\"\\uD800\\uDC00\\uDBFF\\uDFFF\""));
}

TEST(JsonStrings, UnpairedSurrogatesFail) {
    for (const char *s : {"\"\\uD83D\"", "\"\\uDE00\"", "\"\\uD83Dx\"", "\"\\uD83D\\n\"",
                          "\"\\uD83D\\u0041\"", "\"\\uD83D\\uD83D\"", "\"\\uDE00\\uD83D\"",
                          "\"\\uD83D \\uDE00\"", "\"\\uD83D\\uDE0\"", "\"\\uD83D\\",
                          "\"\\uD83D\\u\"", "\"\\uDBFF\\uE000\"", "{\"\\uDFAA\":0}"}) {
        EXPECT_FALSE(parses(s)) << s;
    }
}

TEST(JsonStrings, EscapedNulParsesButDoesNotDecode) {
    parsed p("[\"a\\u0000b\"]");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.decoded(1), "<fail>");
}

// ---------------------------------------------------------------------------
// Fixed limits

TEST(JsonLimits, TokenSlots) {
    EXPECT_TRUE(parses(array_of_numbers(json_token_slots - 1)));
    EXPECT_FALSE(parses(array_of_numbers(json_token_slots)));
    parsed full(array_of_numbers(511));
    ASSERT_EQ(full.rc, 0);
    EXPECT_EQ(full.doc->count, 512);
    EXPECT_EQ(full.token(0).children, 511);
    EXPECT_EQ(full.token(0).next, 512);
    EXPECT_EQ(full.token(511).next, 512);
}

TEST(JsonLimits, ObjectKeysTakeTokenSlotsToo) {
    EXPECT_TRUE(parses(object_of_members(255)));   // 1 + 510 tokens
    EXPECT_FALSE(parses(object_of_members(256)));  // 1 + 512 tokens
}

TEST(JsonLimits, NestingDepth) {
    EXPECT_TRUE(parses(nested_arrays(33)));    // the innermost array sits at depth 32
    EXPECT_FALSE(parses(nested_arrays(34)));
    EXPECT_TRUE(parses(nested_arrays(32, "1")));   // the number sits at depth 32
    EXPECT_FALSE(parses(nested_arrays(33, "1")));  // the number would sit at depth 33
    EXPECT_TRUE(parses(nested_objects(32, "1")));
    EXPECT_FALSE(parses(nested_objects(33, "1")));
    EXPECT_TRUE(parses(nested_objects(32, "{}")));
    EXPECT_FALSE(parses(nested_objects(33, "{}")));
    EXPECT_FALSE(parses(std::string(100000, '[')));
}

TEST(JsonLimits, DepthCountsEnclosingContainersNotSiblings) {
    std::string wide = "[";
    for (int i = 0; i < 10; i++)
        wide += (i ? "," : "") + nested_arrays(32);
    wide += "]";
    EXPECT_TRUE(parses(wide));
}

TEST(JsonLimits, ValueRefusesDepthBeyondTheLimit) {
    const char text[] = "1";
    auto doc = std::make_unique<json_doc>();
    doc->text = text;
    doc->length = 1;
    EXPECT_EQ(value(doc.get(), json_depth_limit + 1), -1);
    doc->pos = 0;
    doc->count = 0;
    EXPECT_EQ(value(doc.get(), json_depth_limit), 0);
    EXPECT_EQ(doc->pos, 1u);
    EXPECT_EQ(doc->count, 1);
}

// ---------------------------------------------------------------------------
// json_string

TEST(JsonString, DecodesEscapes) {
    parsed p("[\"\\\"\\\\\\/\\b\\f\\n\\r\\t\", \"plain\", \"\"]");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.decoded(1), "\"\\/\b\f\n\r\t");
    EXPECT_EQ(p.decoded(2), "plain");
    EXPECT_EQ(p.decoded(3), "");
}

TEST(JsonString, DecodesCodePointsToUtf8) {
    parsed p("[\"\\u0041\", \"\\u00E9\", \"\\uD83D\\uDE00\", \"\\u007F\", \"\\u0080\", \"\\u07FF\","
             " \"\\u0800\", \"\\uFFFF\", \"\\uD800\\uDC00\", \"\\uDBFF\\uDFFF\", \"x\\u0001y\"]");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.decoded(1), "A");
    EXPECT_EQ(p.decoded(2), "\xC3\xA9");
    EXPECT_EQ(p.decoded(3), "\xF0\x9F\x98\x80");
    EXPECT_EQ(p.decoded(4), "\x7F");
    EXPECT_EQ(p.decoded(5), "\xC2\x80");
    EXPECT_EQ(p.decoded(6), "\xDF\xBF");
    EXPECT_EQ(p.decoded(7), "\xE0\xA0\x80");
    EXPECT_EQ(p.decoded(8), "\xEF\xBF\xBF");
    EXPECT_EQ(p.decoded(9), "\xF0\x90\x80\x80");
    EXPECT_EQ(p.decoded(10), "\xF4\x8F\xBF\xBF");
    EXPECT_EQ(p.decoded(11), "x\x01y");
}

TEST(JsonString, BufferMustHoldTheTerminator) {
    parsed p("[\"hello\", \"\", \"h\\u00e9\"]");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.decoded(1, 6), "hello");
    EXPECT_EQ(p.decoded(1, 5), "<fail>");
    EXPECT_EQ(p.decoded(2, 1), "");
    EXPECT_EQ(p.decoded(3, 4), "h\xC3\xA9");
    EXPECT_EQ(p.decoded(3, 3), "<fail>");  // the two bytes of é would reach the last byte
    char byte = 'x';
    for (int index = 1; index <= 3; index++)
        EXPECT_EQ(json_string(p.doc.get(), index, &byte, 0), -1);
    EXPECT_EQ(byte, 'x');
}

TEST(JsonString, EmptyStringWritesOnlyATerminator) {
    parsed p("\"\"");
    ASSERT_EQ(p.rc, 0);
    char buffer[2] = {'x', 'y'};
    EXPECT_EQ(json_string(p.doc.get(), 0, buffer, 1), 0);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], 'y');
}

TEST(JsonString, FailureNeverWritesTheLastByte) {
    parsed p("[\"abcdef\", \"ab\\u00e9\", \"ab\\uD83D\\uDE00\", \"ab\\u0000cd\"]");
    ASSERT_EQ(p.rc, 0);
    for (int index = 1; index <= 4; index++) {
        SCOPED_TRACE(index);
        char buffer[5];
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(json_string(p.doc.get(), index, buffer, 4), -1);
        EXPECT_EQ(buffer[3], '#');
        EXPECT_EQ(buffer[4], '#');
        // A cleared destination holds a terminated prefix afterwards.
        char cleared[4] = {};
        EXPECT_EQ(json_string(p.doc.get(), index, cleared, sizeof cleared), -1);
        EXPECT_EQ(cleared[3], '\0');
        EXPECT_EQ(std::string(cleared).substr(0, 2), "ab");
    }
}

TEST(JsonString, FailsForOtherTokensAndBadIndices) {
    parsed p("[1, true, null, {}, [], \"s\"]");
    ASSERT_EQ(p.rc, 0);
    for (int index : {-1, -2, 0, 1, 2, 3, 4, 5, 7, 512, 100000})
        EXPECT_EQ(p.decoded(index), "<fail>") << index;
    EXPECT_EQ(p.decoded(6), "s");
}

// ---------------------------------------------------------------------------
// json_get and text

TEST(JsonGet, FindsMembersAndSkipsNestedValues) {
    parsed p("{\"a\": {\"inner\": 1, \"b\": 2}, \"b\": [\"inner\"], \"c\": \"x\"}");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(json_get(p.doc.get(), 0, "a"), 2);
    int b = json_get(p.doc.get(), 0, "b");
    ASSERT_GE(b, 0);
    EXPECT_EQ(p.token(b).type, JSON_ARRAY);
    EXPECT_EQ(p.raw(json_get(p.doc.get(), 0, "c")), "\"x\"");
    EXPECT_EQ(json_get(p.doc.get(), 0, "inner"), -1);  // only in the nested object
    EXPECT_EQ(p.raw(json_get(p.doc.get(), json_get(p.doc.get(), 0, "a"), "inner")), "1");
    EXPECT_EQ(json_get(p.doc.get(), 0, "missing"), -1);
    EXPECT_EQ(json_get(p.doc.get(), 0, ""), -1);
}

TEST(JsonGet, EmptyObjectHasNoMembers) {
    parsed p("{}");
    ASSERT_EQ(p.rc, 0);
    for (const char *key : {"", "a", "{}", "\"\""})
        EXPECT_EQ(json_get(p.doc.get(), 0, key), -1) << key;
}

TEST(JsonGet, EmptyKeyIsAKeyLikeAnyOther) {
    parsed p("{\"\": 5}");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(json_get(p.doc.get(), 0, ""), 2);
}

TEST(JsonGet, DuplicatedKeyCountsAsAbsent) {
    parsed p("{\"a\": 1, \"b\": 2, \"a\": 3}");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(json_get(p.doc.get(), 0, "a"), -1);
    EXPECT_EQ(json_get(p.doc.get(), 0, "b"), 4);
    parsed same("{\"k\": \"v\", \"\\u006b\": \"v\"}");  // the same key, once escaped
    ASSERT_EQ(same.rc, 0);
    EXPECT_EQ(json_get(same.doc.get(), 0, "k"), -1);
}

TEST(JsonGet, KeysAreComparedDecoded) {
    parsed p("{\"hostnam\\u0065\": \"vm1\", \"a\\/b\": 1, \"caf\\u00e9\": 2}");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.decoded(json_get(p.doc.get(), 0, "hostname")), "vm1");
    EXPECT_EQ(json_get(p.doc.get(), 0, "hostnam\\u0065"), -1);
    EXPECT_EQ(json_get(p.doc.get(), 0, "a/b"), 4);
    EXPECT_EQ(json_get(p.doc.get(), 0, "caf\xC3\xA9"), 6);
}

TEST(JsonGet, CaseMatters) {
    parsed p("{\"Hostname\": \"vm1\"}");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(json_get(p.doc.get(), 0, "hostname"), -1);
    EXPECT_EQ(json_get(p.doc.get(), 0, "HOSTNAME"), -1);
    EXPECT_EQ(json_get(p.doc.get(), 0, "Hostname"), 2);
    EXPECT_EQ(json_get(p.doc.get(), 0, "Hostnam"), -1);
    EXPECT_EQ(json_get(p.doc.get(), 0, "Hostnames"), -1);
}

TEST(JsonGet, KeysThatDoNotDecodeMatchNothing) {
    std::string k127(127, 'k'), k128(128, 'k');
    parsed p("{\"" + k127 + "\": 1, \"" + k128 + "\": 2, \"z\\u0000\": 3, \"z\": 4}");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(json_get(p.doc.get(), 0, k127.c_str()), 2);
    EXPECT_EQ(json_get(p.doc.get(), 0, k128.c_str()), -1);
    EXPECT_EQ(json_get(p.doc.get(), 0, "z"), 8);  // "z\u0000" is no duplicate of it
    // A key that fails to decode is no duplicate either.
    parsed twice("{\"" + k128 + "\": 1, \"" + k128 + "\": 2, \"a\": 3}");
    ASSERT_EQ(twice.rc, 0);
    EXPECT_EQ(json_get(twice.doc.get(), 0, "a"), 6);
}

TEST(JsonGet, FailsForNonObjectsAndBadIndices) {
    parsed p("[{\"a\": 1}, [\"a\", 1], \"a\"]");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(json_get(p.doc.get(), 1, "a"), 3);
    for (int index : {-1, 0, 4, 5, 7, 8, 9, 512})
        EXPECT_EQ(json_get(p.doc.get(), index, "a"), -1) << index;
}

TEST(JsonGet, LookupsChainThroughAbsentMembers) {
    parsed p("{\"network\": {\"links\": []}}");
    ASSERT_EQ(p.rc, 0);
    const json_doc *doc = p.doc.get();
    EXPECT_EQ(json_get(doc, json_get(doc, 0, "absent"), "links"), -1);
    EXPECT_EQ(json_get(doc, json_get(doc, json_get(doc, 0, "absent"), "x"), "y"), -1);
    EXPECT_GE(json_get(doc, json_get(doc, 0, "network"), "links"), 0);
    char buffer[8];
    int64_t number = 0;
    int flag = 0;
    EXPECT_EQ(json_string(doc, json_get(doc, 0, "absent"), buffer, sizeof buffer), -1);
    EXPECT_EQ(json_integer(doc, json_get(doc, 0, "absent"), &number), -1);
    EXPECT_EQ(json_boolean(doc, json_get(doc, 0, "absent"), &flag), -1);
}

TEST(JsonText, CopiesStringMembers) {
    parsed p("{\"hostname\": \"vm-1\", \"id\": 7, \"name\": \"\\u00e9\", \"list\": [\"x\"]}");
    ASSERT_EQ(p.rc, 0);
    const json_doc *doc = p.doc.get();
    char buffer[16] = {};
    EXPECT_EQ(text(doc, 0, "hostname", buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "vm-1");
    EXPECT_EQ(text(doc, 0, "name", buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "\xC3\xA9");
    EXPECT_EQ(text(doc, 0, "hostname", buffer, 5), 0);
    EXPECT_EQ(text(doc, 0, "hostname", buffer, 4), -1);   // does not fit
    EXPECT_EQ(text(doc, 0, "id", buffer, sizeof buffer), -1);  // not a string
    EXPECT_EQ(text(doc, 0, "list", buffer, sizeof buffer), -1);
    EXPECT_EQ(text(doc, 0, "absent", buffer, sizeof buffer), -1);
    EXPECT_EQ(text(doc, -1, "hostname", buffer, sizeof buffer), -1);
    EXPECT_EQ(text(doc, 2, "hostname", buffer, sizeof buffer), -1);  // not an object
}

// ---------------------------------------------------------------------------
// json_integer and json_boolean

TEST(JsonInteger, ConvertsIntegers) {
    parsed p("[42, -7, 0, -0, 9223372036854775807, -9223372036854775808]");
    ASSERT_EQ(p.rc, 0);
    const int64_t expected[] = {42, -7, 0, 0, INT64_MAX, INT64_MIN};
    for (int i = 0; i < 6; i++) {
        int64_t out = 12345;
        EXPECT_EQ(json_integer(p.doc.get(), i + 1, &out), 0) << i;
        EXPECT_EQ(out, expected[i]) << i;
    }
}

TEST(JsonInteger, RefusesFractionsExponentsAndOverflow) {
    parsed p("[1.5, 1e3, 9223372036854775808, -9223372036854775809, 1.0, 0e0, -0.0]");
    ASSERT_EQ(p.rc, 0);
    for (int index = 1; index <= 7; index++) {
        int64_t out = 12345;
        EXPECT_EQ(json_integer(p.doc.get(), index, &out), -1) << index;
        EXPECT_EQ(out, 12345) << index;
    }
}

TEST(JsonInteger, RefusesLongNumbers) {
    const std::string digits31 = "1" + std::string(30, '0');
    const std::string digits32 = "1" + std::string(31, '0');
    const std::string zeros32 = "0." + std::string(30, '0');
    const std::string long_text = "-" + std::string(200, '9');
    parsed p("[" + digits31 + "," + digits32 + "," + zeros32 + "," + long_text + "]");
    ASSERT_EQ(p.rc, 0);
    ASSERT_EQ(p.raw(1).size(), 31u);
    ASSERT_EQ(p.raw(3).size(), 32u);
    for (int index = 1; index <= 4; index++) {
        int64_t out = 12345;
        EXPECT_EQ(json_integer(p.doc.get(), index, &out), -1) << index;
        EXPECT_EQ(out, 12345) << index;
    }
}

TEST(JsonInteger, FailsForOtherTokens) {
    parsed p("[\"42\", true, null, [], {}]");
    ASSERT_EQ(p.rc, 0);
    int64_t out = 0;
    for (int index : {-1, 0, 1, 2, 3, 4, 5, 6})
        EXPECT_EQ(json_integer(p.doc.get(), index, &out), -1) << index;
}

TEST(JsonInteger, LeavesErrnoAsItWas) {
    parsed p("[9223372036854775808, 5]");
    ASSERT_EQ(p.rc, 0);
    int64_t out = 0;
    errno = 0;
    EXPECT_EQ(json_integer(p.doc.get(), 1, &out), -1);
    EXPECT_EQ(errno, 0);
    errno = EINTR;
    EXPECT_EQ(json_integer(p.doc.get(), 2, &out), 0);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(out, 5);
}

TEST(JsonBoolean, ReadsTrueAndFalse) {
    parsed p("[true, false]");
    ASSERT_EQ(p.rc, 0);
    int out = -5;
    EXPECT_EQ(json_boolean(p.doc.get(), 1, &out), 0);
    EXPECT_EQ(out, 1);
    EXPECT_EQ(json_boolean(p.doc.get(), 2, &out), 0);
    EXPECT_EQ(out, 0);
}

TEST(JsonBoolean, FailsForOtherTokens) {
    parsed p("[null, \"true\", 1, 0, [], {}]");
    ASSERT_EQ(p.rc, 0);
    for (int index : {-1, 0, 1, 2, 3, 4, 5, 6, 7}) {
        int out = -5;
        EXPECT_EQ(json_boolean(p.doc.get(), index, &out), -1) << index;
        EXPECT_EQ(out, -5) << index;
    }
}

}  // namespace
