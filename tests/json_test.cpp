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

using namespace std::literals;

// A document and the record parsed from it; the text outlives the record.
struct parsed {
    std::string text;
    std::unique_ptr<json_doc> doc = std::make_unique<json_doc>();
    int rc;

    explicit parsed(std::string_view source)
        : text(source), rc(json_parse(doc.get(), text.data(), text.size())) {}
    std::string raw(int i) const {
        const json_token &t = doc->tokens[i];
        return text.substr(t.start, t.end - t.start);
    }
    // json_string of token i into a buffer of the given size, or "<fail>".
    std::string decoded(int i, size_t size = 1024) const {
        std::vector<char> buffer(size);
        int n = json_string(doc.get(), i, buffer.data(), size);
        if (n < 0) return "<fail>";
        EXPECT_EQ(buffer[static_cast<size_t>(n)], '\0');
        return std::string(buffer.data(), static_cast<size_t>(n));
    }
};

const std::string_view accepted[] = {
    "1", "  \"x\"  ", "[true,false,null]", "{\"a\":{\"b\":[]}}",
    " \t\r\n[ \t\r\n1 \t\r\n, \t\r\n{ \t\r\n\"a\" \t\r\n: \t\r\n2 \t\r\n} \t\r\n] \t\r\n",
    // numbers
    "0", "-0", "-0.5", "1E+5", "2e-3", "-7", "0.0", "10.25", "1e5", "0e0", "-0E-0", "1.5e+10",
    "123456789012345678901234567890123456789",
    // strings: DEL and bytes from 0x80 up pass as they are, without UTF-8 checks
    "\"\x7F\"", "\"\xC3\"", "\"\xC0\xAF\xFF\xED\xA0\x80\xE0\"",
    "\"\\\" \\\\ \\/ \\b \\f \\n \\r \\t\"", "\"\\u0041\\u00e9\\u00E9\\uFFFF\\uabcd\"",
    "\"\\uD83D\\uDE00\"", "\"\\ud83d\\ude00\"", "\"\\uD800\\uDC00\\uDBFF\\uDFFF\"",
    "[\"a\\u0000b\"]",  // parses; only its decoding fails
};

const std::string_view rejected[] = {
    // the document as a whole: nothing, more than one value, other whitespace
    "", " ", " \t\r\n", "1 2", "[] []", "{}}", "[]]", "null,", "\"a\"x", "\f1", "1\v", "[1,\f2]",
    "\xEF\xBB\xBF{}", "\xC2\xA0" "1", "1\0"sv, "\"a\0b\""sv, "[1,\0 2]"sv,
    // containers
    "[1,]", "[1, ]", "{\"a\":1,}", "{\"a\":1 , }", "{\"a\" 1}", "{\"a\"}", "{\"a\":}", "{1:2}",
    "{null:2}", "{[]:2}", "{a:2}", "{\"a\"::2}", "{\"a\":1 \"b\":2}", "{\"a\":1;\"b\":2}", "{,}",
    "{,\"a\":1}", "[1 2]", "[1,,2]", "[,1]", "[,]", "[1:2]", "[1}", "{\"a\":1]", "[", "{", "[1",
    "[1,", "[1 ", "{\"a\"", "{\"a\":", "{\"a\":1", "[[]", "]", "}", ":", ",",
    // numbers
    "01", "-01", "00", "-", "1.", "-1.", ".5", "-.5", "1e", "1E", "1e+", "1e-", "1.e3", "+1",
    "1ee2", "1e+-2", "1.2.3", "0x10", "1a", "-a", "- 1", "1 .5", "Infinity", "-Infinity", "NaN",
    "1_000", "2.5e", "1.0e+", "[1.]", "[-]", "[01]", "[1e]",
    // literals
    "tru", "t", "fals", "nul", "[tru]", "[nul", "True", "FALSE", "Null", "trUe", "nulL", "fake",
    "nan", "undefined", "truex", "trues", "nullnull", "[falsey]",
    // strings
    "\"\\x41\"", "\"\\a\"", "\"\\'\"", "\"\\0\"", "\"\\U0041\"", "\"\\u41\"", "\"\\u004\"",
    "\"\\u004g\"", "\"\\u\"", "\"\\ \"", "\"\\\t\"", "\"", "\"abc", "\"abc\\\"", "\"abc\\",
    "\"\\u00", "[\"a]",
    // unpaired surrogates
    "\"\\uD83D\"", "\"\\uDE00\"", "\"\\uD83Dx\"", "\"\\uD83D\\n\"", "\"\\uD83D\\u0041\"",
    "\"\\uD83D\\uD83D\"", "\"\\uDE00\\uD83D\"", "\"\\uD83D \\uDE00\"", "\"\\uD83D\\uDE0\"",
    "\"\\uD83D\\", "\"\\uD83D\\u\"", "\"\\uDBFF\\uE000\"", "{\"\\uDFAA\":0}",
};

TEST(JsonParse, Grammar) {
    for (std::string_view text : accepted) EXPECT_EQ(parsed(text).rc, 0) << text;
    for (std::string_view text : rejected) EXPECT_EQ(parsed(text).rc, -1) << text;
    for (int byte = 0; byte < 0x20; byte++)
        EXPECT_EQ(parsed("\"a"s + static_cast<char>(byte) + "b\"").rc, -1) << byte;
}

std::string repeated(int n, std::string_view piece) {
    std::string s;
    for (int i = 0; i < n; i++) s += piece;
    return s;
}

std::string nested_arrays(int n, std::string_view inner = "") {
    return repeated(n, "[") + std::string(inner) + repeated(n, "]");
}

TEST(JsonParse, Limits) {
    auto numbers = [](int n) { return "[7" + repeated(n - 1, ",7") + "]"; };
    auto members = [](int n) { return "{\"k\":0" + repeated(n - 1, ",\"k\":0") + "}"; };
    auto objects = [](int n, std::string_view inner) {
        return repeated(n, "{\"k\":") + std::string(inner) + repeated(n, "}");
    };
    const std::pair<std::string, int> cases[] = {
        {numbers(511), 0}, {numbers(512), -1},    // 512 token slots
        {members(255), 0}, {members(256), -1},    // keys take slots too
        {nested_arrays(33), 0}, {nested_arrays(34), -1},  // the innermost at depth 32
        {nested_arrays(32, "1"), 0}, {nested_arrays(33, "1"), -1},
        {objects(32, "1"), 0}, {objects(33, "1"), -1},
        {objects(32, "{}"), 0}, {objects(33, "{}"), -1},
        {"[" + nested_arrays(32) + repeated(9, "," + nested_arrays(32)) + "]", 0},  // siblings
        {std::string(100000, '['), -1},
    };
    for (const auto &[text, rc] : cases) EXPECT_EQ(parsed(text).rc, rc) << text.substr(0, 40);

    parsed full(numbers(511));
    EXPECT_EQ(full.doc->count, 512);
    EXPECT_EQ(full.doc->tokens[0].children, 511);
    EXPECT_EQ(full.doc->tokens[511].next, 512);

    // The parse step itself refuses a depth beyond the limit.
    auto doc = std::make_unique<json_doc>();
    doc->text = "1";
    doc->length = 1;
    EXPECT_EQ(value(doc.get(), json_depth_limit + 1), -1);
    doc->pos = doc->count = 0;
    EXPECT_EQ(value(doc.get(), json_depth_limit), 0);
}

TEST(JsonParse, OnlyTheGivenLengthIsParsedAndParsingAgainStartsAfresh) {
    const char text[] = "[1]garbage";
    auto doc = std::make_unique<json_doc>();
    EXPECT_EQ(json_parse(doc.get(), text, 2), -1);  // "[1"
    EXPECT_EQ(json_parse(doc.get(), text, 4), -1);  // "[1]g"
    ASSERT_EQ(json_parse(doc.get(), "[[[1,2,3]]]", 11), 0);
    ASSERT_EQ(json_parse(doc.get(), text, 3), 0);
    EXPECT_EQ(doc->pos, 3u);
    EXPECT_EQ(doc->count, 2);
    auto clear_past = [](const json_doc &d) {
        for (int i = d.count; i < json_token_slots; i++) {
            const json_token &t = d.tokens[i];
            if (t.type != 0 || t.start != 0 || t.end != 0 || t.next != 0 || t.children != 0)
                return i;
        }
        return -1;
    };
    EXPECT_EQ(clear_past(*doc), -1);
    // Only the slots an earlier parse may have written are cleared again; a
    // record whose count is out of range is cleared whole.
    for (int32_t count : {-1, json_token_slots + 1}) {
        std::memset(static_cast<void *>(doc.get()), 0xA5, sizeof *doc);
        doc->count = count;
        ASSERT_EQ(json_parse(doc.get(), "[[]]", 4), 0);
        EXPECT_EQ(clear_past(*doc), -1) << count;
    }
}

struct token_row {
    int32_t type;
    std::string raw;
    int32_t next, children;
};

TEST(JsonParse, TokenRecord) {
    const std::pair<std::string, std::vector<token_row>> cases[] = {
        {"{}", {{JSON_OBJECT, "{}", 1, 0}}},
        {"[ {\n}\t, [ ] ]",
         {{JSON_ARRAY, "[ {\n}\t, [ ] ]", 3, 2}, {JSON_OBJECT, "{\n}", 2, 0}, {JSON_ARRAY, "[ ]", 3, 0}}},
        {"{\"a\": 1, \"b\": [true, null]}",
         {{JSON_OBJECT, "{\"a\": 1, \"b\": [true, null]}", 7, 4}, {JSON_STRING, "\"a\"", 2, 0},
          {JSON_NUMBER, "1", 3, 0}, {JSON_STRING, "\"b\"", 4, 0}, {JSON_ARRAY, "[true, null]", 7, 2},
          {JSON_BOOLEAN, "true", 6, 0}, {JSON_NULL, "null", 7, 0}}},
        {" {\"a\":[1,{\"b\":false}],\"c\":\"x\\ny\"} ",
         {{JSON_OBJECT, "{\"a\":[1,{\"b\":false}],\"c\":\"x\\ny\"}", 9, 4}, {JSON_STRING, "\"a\"", 2, 0},
          {JSON_ARRAY, "[1,{\"b\":false}]", 7, 2}, {JSON_NUMBER, "1", 4, 0},
          {JSON_OBJECT, "{\"b\":false}", 7, 2}, {JSON_STRING, "\"b\"", 6, 0},
          {JSON_BOOLEAN, "false", 7, 0}, {JSON_STRING, "\"c\"", 8, 0},
          {JSON_STRING, "\"x\\ny\"", 9, 0}}},
        {"[-12.5e+3,0]", {{JSON_ARRAY, "[-12.5e+3,0]", 3, 2}, {JSON_NUMBER, "-12.5e+3", 2, 0},
                          {JSON_NUMBER, "0", 3, 0}}},
    };
    for (const auto &[text, tokens] : cases) {
        SCOPED_TRACE(text);
        parsed p(text);
        ASSERT_EQ(p.rc, 0);
        EXPECT_EQ(p.doc->text, p.text.data());
        EXPECT_EQ(p.doc->pos, p.text.size());
        ASSERT_EQ(p.doc->count, static_cast<int32_t>(tokens.size()));
        for (int i = 0; i < p.doc->count; i++) {
            const json_token &t = p.doc->tokens[i];
            const token_row &want = tokens[static_cast<size_t>(i)];
            EXPECT_EQ(t.type, want.type) << i;
            EXPECT_EQ(p.raw(i), want.raw) << i;
            EXPECT_EQ(t.next, want.next) << i;
            EXPECT_EQ(t.children, want.children) << i;
            // The walk visits each element, or each key, once.
            int walked = 0, last = -1;
            for (int item = json_first(p.doc.get(), i); item >= 0 && walked <= t.children;
                 item = json_next(p.doc.get(), i, item), walked++)
                last = item;
            EXPECT_EQ(walked, t.type == JSON_OBJECT ? t.children / 2 : t.children) << i;
            if (walked) {
                EXPECT_EQ(p.doc->tokens[last + (t.type == JSON_OBJECT)].next, t.next) << i;
            }
        }
    }
}

TEST(JsonString, Decoding) {
    const struct {
        std::string_view text;  // a document that is one string
        size_t size;
        std::string_view decoded;  // "<fail>" when the call fails
    } cases[] = {
        {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", 64, "\"\\/\b\f\n\r\t"},
        {"\"\\u0041\"", 64, "A"},
        {"\"\\u00E9\"", 64, "\xC3\xA9"},
        {"\"\\uD83D\\uDE00\"", 64, "\xF0\x9F\x98\x80"},
        {"\"\\u007F\\u0080\\u07FF\\u0800\\uFFFF\"", 64, "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
        {"\"\\uD800\\uDC00\\uDBFF\\uDFFF\"", 64, "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
        {"\"x\\u0001y\xC3\"", 64, "x\x01y\xC3"},
        {"\"a\\u0000b\"", 64, "<fail>"},
        {"\"hello\"", 6, "hello"},
        {"\"hello\"", 5, "<fail>"},
        {"\"h\\u00e9\"", 4, "h\xC3\xA9"},
        {"\"h\\u00e9\"", 3, "<fail>"},  // the two bytes would reach the last one
        {"\"\"", 1, ""},
    };
    for (const auto &c : cases) {
        parsed p(c.text);
        ASSERT_EQ(p.rc, 0) << c.text;
        EXPECT_EQ(p.decoded(0, c.size), c.decoded) << c.text << " size " << c.size;
    }
}

TEST(JsonString, FailureNeverWritesTheLastByte) {
    parsed p("[\"abcdef\", \"ab\\u00e9\", \"ab\\uD83D\\uDE00\", \"ab\\u0000cd\", \"\"]");
    ASSERT_EQ(p.rc, 0);
    for (int i = 1; i <= 4; i++) {
        char buffer[5];
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(json_string(p.doc.get(), i, buffer, 4), -1) << i;
        EXPECT_EQ(std::string_view(buffer + 3, 2), "##") << i;
        char cleared[4] = {};  // a cleared destination holds a terminated prefix
        EXPECT_EQ(json_string(p.doc.get(), i, cleared, sizeof cleared), -1) << i;
        EXPECT_EQ(std::string(cleared).substr(0, 2), "ab") << i;
        EXPECT_EQ(json_string(p.doc.get(), i, buffer, 0), -1) << i;
    }
    char pair[2] = {'x', 'y'};  // an empty string writes only its terminator
    EXPECT_EQ(json_string(p.doc.get(), 5, pair, 1), 0);
    EXPECT_EQ(std::string_view(pair, 2), "\0y"sv);
    EXPECT_EQ(json_string(p.doc.get(), 5, pair, 0), -1);
}

// Each accessor answers for its own kind of token only, and refuses bad
// indices (-1 being an absent member) and null destinations.
TEST(JsonAccessors, OtherTokensAndBadIndicesFail) {
    parsed p("[1, true, null, {}, [], \"true\", {\"a\": 1}]");
    ASSERT_EQ(p.rc, 0);
    const json_doc *doc = p.doc.get();
    for (int i = -2; i <= json_token_slots; i++) {
        char buffer[8];
        int64_t number = 0;
        int flag = 0;
        EXPECT_EQ(json_string(doc, i, buffer, sizeof buffer) >= 0, i == 6 || i == 8) << i;
        EXPECT_EQ(json_integer(doc, i, &number) == 0, i == 1 || i == 9) << i;
        EXPECT_EQ(json_boolean(doc, i, &flag) == 0, i == 2) << i;
        EXPECT_EQ(json_get(doc, i, "a") >= 0, i == 7) << i;
        EXPECT_EQ(json_is_array(doc, i), i == 0 || i == 5) << i;
        EXPECT_EQ(json_is_object(doc, i), i == 4 || i == 7) << i;
        EXPECT_EQ(json_first(doc, i), i == 0 ? 1 : i == 7 ? 8 : -1) << i;
        if (i <= 7) {
            EXPECT_EQ(json_next(doc, 0, i), i >= 1 && i <= 6 ? i + 1 : -1) << i;
        }
    }
    EXPECT_EQ(json_parse(nullptr, "1", 1), -1);
    EXPECT_EQ(json_parse(p.doc.get(), nullptr, 1), -1);
    ASSERT_EQ(json_parse(p.doc.get(), p.text.data(), p.text.size()), 0);
    EXPECT_EQ(json_string(doc, 6, nullptr, 8), -1);
    EXPECT_EQ(json_get(doc, 7, nullptr), -1);
    EXPECT_EQ(json_integer(doc, 1, nullptr), -1);
    EXPECT_EQ(json_boolean(doc, 2, nullptr), -1);
    EXPECT_EQ(json_get(nullptr, 0, "a"), -1);
    EXPECT_EQ(json_first(nullptr, 0), -1);
}

TEST(JsonGet, Lookup) {
    const std::string k127(127, 'k'), k128(128, 'k');
    const std::string nested = "{\"a\": {\"inner\": 1, \"b\": 2}, \"b\": [\"inner\"], \"c\": \"x\"}";
    const std::string escaped = "{\"hostnam\\u0065\": \"vm1\", \"a\\/b\": 1, \"caf\\u00e9\": 2}";
    const std::string long_keys = "{\"" + k127 + "\": 1, \"" + k128 + "\": 2, \"z\\u0000\": 3, \"z\": 4}";
    const struct {
        std::string text;
        int object;
        std::string key;
        int index;
    } cases[] = {
        {nested, 0, "a", 2}, {nested, 0, "b", 8}, {nested, 0, "c", 11},
        {nested, 0, "inner", -1}, {nested, 2, "inner", 4}, {nested, 0, "missing", -1}, {nested, 0, "", -1},
        {"{}", 0, "", -1}, {"{}", 0, "a", -1},
        {"{\"\": 5}", 0, "", 2},
        // a duplicated key counts as absent, also when written differently
        {"{\"a\": 1, \"b\": 2, \"a\": 3}", 0, "a", -1}, {"{\"a\": 1, \"b\": 2, \"a\": 3}", 0, "b", 4},
        {"{\"k\": \"v\", \"\\u006b\": \"v\"}", 0, "k", -1},
        // keys are compared decoded, bytewise
        {escaped, 0, "hostname", 2}, {escaped, 0, "hostnam\\u0065", -1},
        {escaped, 0, "a/b", 4}, {escaped, 0, "caf\xC3\xA9", 6},
        {"{\"Hostname\": 1}", 0, "hostname", -1}, {"{\"Hostname\": 1}", 0, "HOSTNAME", -1},
        {"{\"Hostname\": 1}", 0, "Hostnam", -1}, {"{\"Hostname\": 1}", 0, "Hostname", 2},
        // keys that do not decode into 128 bytes match nothing and duplicate nothing
        {long_keys, 0, k127, 2}, {long_keys, 0, k128, -1}, {long_keys, 0, "z", 8},
        {"{\"" + k128 + "\": 1, \"" + k128 + "\": 2, \"a\": 3}", 0, "a", 6},
    };
    for (const auto &c : cases) {
        parsed p(c.text);
        ASSERT_EQ(p.rc, 0) << c.text;
        EXPECT_EQ(json_get(p.doc.get(), c.object, c.key.c_str()), c.index) << c.text << " " << c.key;
    }
}

TEST(JsonGet, TextCopiesFittingStringMembers) {
    parsed p("{\"hostname\": \"vm-1\", \"id\": 7, \"name\": \"\\u00e9\", \"list\": [\"x\"]}");
    ASSERT_EQ(p.rc, 0);
    const json_doc *doc = p.doc.get();
    char buffer[16] = {};
    EXPECT_EQ(text(doc, 0, "name", buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "\xC3\xA9");
    EXPECT_EQ(text(doc, 0, "hostname", buffer, 5), 0);
    EXPECT_STREQ(buffer, "vm-1");
    for (const char *key : {"id", "list", "absent"})
        EXPECT_EQ(text(doc, 0, key, buffer, sizeof buffer), -1) << key;
    EXPECT_EQ(text(doc, 0, "hostname", buffer, 4), -1);
    EXPECT_EQ(text(doc, 2, "hostname", buffer, sizeof buffer), -1);
    EXPECT_EQ(text(doc, -1, "hostname", buffer, sizeof buffer), -1);
}

TEST(JsonNumbersAndBooleans, Conversion) {
    const struct {
        std::string text;
        int rc;
        int64_t value;
    } cases[] = {
        {"42", 0, 42}, {"-7", 0, -7}, {"-0", 0, 0},
        {"9223372036854775807", 0, INT64_MAX}, {"-9223372036854775808", 0, INT64_MIN},
        {"9223372036854775808", -1, 0}, {"-9223372036854775809", -1, 0},
        {"1.5", -1, 0}, {"1e3", -1, 0}, {"1.0", -1, 0}, {"0e0", -1, 0}, {"-0.0", -1, 0},
        {"1" + std::string(31, '0'), -1, 0}, {"-" + std::string(200, '9'), -1, 0},
    };
    for (const auto &c : cases) {
        parsed p(c.text);
        ASSERT_EQ(p.rc, 0) << c.text;
        int64_t out = 12345;
        EXPECT_EQ(json_integer(p.doc.get(), 0, &out), c.rc) << c.text;
        EXPECT_EQ(out, c.rc == 0 ? c.value : 12345) << c.text;
    }
    parsed p("[9223372036854775808, 5, true, false]");  // no error code is left behind
    int64_t out = 0;
    errno = EINTR;
    EXPECT_EQ(json_integer(p.doc.get(), 1, &out), -1);
    EXPECT_EQ(json_integer(p.doc.get(), 2, &out), 0);
    EXPECT_EQ(errno, EINTR);

    int flag = -5;
    EXPECT_EQ(json_boolean(p.doc.get(), 3, &flag), 0);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(json_boolean(p.doc.get(), 4, &flag), 0);
    EXPECT_EQ(flag, 0);
}

}  // namespace
