// The agent's JSON reader. One forward pass over the text records every value
// as a token (offsets into the text, nothing copied); strings are decoded only
// when an accessor asks for one, straight into the caller's buffer. Nothing is
// allocated and nothing is kept outside the caller's record.
#include "agent/json.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t key_buffer_size = 128;      // decoded keys of 128 bytes or more match nothing
constexpr size_t integer_text_limit = 31;    // longest number text json_integer converts

bool is_whitespace(unsigned char c) {
    return c == ' ' || c == '\r' || c == '\n' || c == '\t';
}

bool is_digit(unsigned char c) {
    return c >= '0' && c <= '9';
}

int hex_digit(unsigned char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The code unit of the four hexadecimal digits at text[pos], or -1 when
// fewer than four bytes are left or one of them is not a hexadecimal digit.
int32_t hex4(const char *text, uint64_t pos, uint64_t limit) {
    if (pos > limit || limit - pos < 4)
        return -1;
    int32_t unit = 0;
    for (int i = 0; i < 4; i++) {
        int d = hex_digit(static_cast<unsigned char>(text[pos + i]));
        if (d < 0)
            return -1;
        unit = unit * 16 + d;
    }
    return unit;
}

// The characters that may follow a backslash, apart from u.
bool is_simple_escape(unsigned char c) {
    switch (c) {
    case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
        return true;
    default:
        return false;
    }
}

bool is_high_surrogate(int32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool is_low_surrogate(int32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// A backslash-u escape at text[pos] (pointing at the backslash) forming the
// low half of a surrogate pair: its code unit, or -1.
int32_t low_surrogate_escape(const char *text, uint64_t pos, uint64_t limit) {
    if (pos > limit || limit - pos < 2 || text[pos] != '\\' || text[pos + 1] != 'u')
        return -1;
    int32_t unit = hex4(text, pos + 2, limit);
    return is_low_surrogate(unit) ? unit : -1;
}

// Whether the byte at the current position is c (false at the end of the text).
bool next_is(const json_doc *doc, char c) {
    return doc->pos < doc->length && doc->text[doc->pos] == c;
}

void skip_whitespace(json_doc *doc) {
    while (doc->pos < doc->length && is_whitespace(static_cast<unsigned char>(doc->text[doc->pos])))
        doc->pos++;
}

// Scans the rest of a string whose opening quote has been passed.
bool scan_string(json_doc *doc) {
    const char *text = doc->text;
    for (;;) {
        if (doc->pos >= doc->length)
            return false;
        unsigned char c = static_cast<unsigned char>(text[doc->pos++]);
        if (c == '"')
            return true;
        if (c < 0x20)
            return false;
        if (c != '\\')
            continue;  // bytes from 0x80 up pass as they are
        if (doc->pos >= doc->length)
            return false;
        unsigned char escaped = static_cast<unsigned char>(text[doc->pos++]);
        if (escaped == 'u') {
            int32_t unit = hex4(text, doc->pos, doc->length);
            if (unit < 0 || is_low_surrogate(unit))
                return false;
            doc->pos += 4;
            if (is_high_surrogate(unit)) {
                if (low_surrogate_escape(text, doc->pos, doc->length) < 0)
                    return false;
                doc->pos += 6;
            }
        } else if (!is_simple_escape(escaped)) {
            return false;
        }
    }
}

// Scans the rest of a number whose first character (minus sign or digit) has
// been passed. The character that ends the number is left for the caller.
bool scan_number(json_doc *doc, unsigned char first) {
    const char *text = doc->text;
    auto digit_here = [doc, text] {
        return doc->pos < doc->length && is_digit(static_cast<unsigned char>(text[doc->pos]));
    };
    if (first == '-') {
        if (!digit_here())
            return false;
        first = static_cast<unsigned char>(text[doc->pos++]);
    }
    if (first != '0') {
        while (digit_here())
            doc->pos++;
    }
    if (next_is(doc, '.')) {
        doc->pos++;
        if (!digit_here())
            return false;
        while (digit_here())
            doc->pos++;
    }
    if (next_is(doc, 'e') || next_is(doc, 'E')) {
        doc->pos++;
        if (next_is(doc, '+') || next_is(doc, '-'))
            doc->pos++;
        if (!digit_here())
            return false;
        while (digit_here())
            doc->pos++;
    }
    return true;
}

// Checks that the literal stands at start and moves past it.
bool scan_literal(json_doc *doc, uint64_t start, const char *literal) {
    size_t size = std::strlen(literal);
    if (doc->length - start < size || std::memcmp(doc->text + start, literal, size) != 0)
        return false;
    doc->pos = start + size;
    return true;
}

// Parses the members or elements of a container whose opening brace or
// bracket has been passed, counting its direct children.
bool scan_container(json_doc *doc, int32_t index, int depth) {
    bool object = doc->tokens[index].type == JSON_OBJECT;
    char close = object ? '}' : ']';
    skip_whitespace(doc);
    if (next_is(doc, close)) {
        doc->pos++;
        return true;
    }
    for (;;) {
        int child = value(doc, depth + 1);
        if (child < 0)
            return false;
        doc->tokens[index].children++;
        if (object) {
            if (doc->tokens[child].type != JSON_STRING)
                return false;
            skip_whitespace(doc);
            if (!next_is(doc, ':'))
                return false;
            doc->pos++;
            if (value(doc, depth + 1) < 0)
                return false;
            doc->tokens[index].children++;
        }
        skip_whitespace(doc);
        if (doc->pos >= doc->length)
            return false;
        char c = doc->text[doc->pos++];
        if (c == close)
            return true;
        if (c != ',')
            return false;
    }
}

bool valid_index(const json_doc *doc, int index) {
    return doc != nullptr && index >= 0 && index < doc->count;
}

// Writes n bytes at dest[*length] if they leave room for the terminator.
bool put(char *dest, size_t size, size_t *length, const char *bytes, size_t n) {
    if (*length + n >= size)
        return false;
    std::memcpy(dest + *length, bytes, n);
    *length += n;
    return true;
}

// The UTF-8 form of a code point from 1 to 10FFFF in out: its length.
size_t utf8_encode(uint32_t cp, char *out) {
    if (cp <= 0x7F) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp <= 0x7FF) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp <= 0xFFFF) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

}  // namespace

int json_parse(json_doc *doc, const char *text, uint64_t length) {
    if (doc == nullptr)
        return -1;
    std::memset(doc, 0, sizeof *doc);
    doc->text = text;
    doc->length = length;
    if (text == nullptr && length > 0)
        return -1;
    if (value(doc, 0) < 0)
        return -1;
    skip_whitespace(doc);
    return doc->pos == doc->length ? 0 : -1;
}

int value(json_doc *doc, int depth) {
    skip_whitespace(doc);
    if (depth < 0 || depth > json_depth_limit || doc->pos >= doc->length ||
        doc->count >= json_token_slots)
        return -1;
    int32_t index = doc->count++;
    json_token *token = &doc->tokens[index];
    uint64_t start = doc->pos;
    token->start = start;
    token->children = 0;
    unsigned char first = static_cast<unsigned char>(doc->text[doc->pos++]);
    bool ok;
    switch (first) {
    case '"':
        token->type = JSON_STRING;
        ok = scan_string(doc);
        break;
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9':
        token->type = JSON_NUMBER;
        ok = scan_number(doc, first);
        break;
    case 't':
        token->type = JSON_BOOLEAN;
        ok = scan_literal(doc, start, "true");
        break;
    case 'f':
        token->type = JSON_BOOLEAN;
        ok = scan_literal(doc, start, "false");
        break;
    case 'n':
        token->type = JSON_NULL;
        ok = scan_literal(doc, start, "null");
        break;
    case '{':
        token->type = JSON_OBJECT;
        ok = scan_container(doc, index, depth);
        break;
    case '[':
        token->type = JSON_ARRAY;
        ok = scan_container(doc, index, depth);
        break;
    default:
        ok = false;
    }
    if (!ok)
        return -1;
    token->end = doc->pos;
    token->next = doc->count;
    return index;
}

int json_string(const json_doc *doc, int index, char *dest, size_t size) {
    if (!valid_index(doc, index) || dest == nullptr || size == 0)
        return -1;
    const json_token &token = doc->tokens[index];
    // Guards against a record that no successful parse filled: the token must
    // be a quoted stretch of the text.
    if (token.type != JSON_STRING || doc->text == nullptr || token.end > doc->length ||
        token.start >= token.end || token.end - token.start < 2)
        return -1;
    const char *text = doc->text;
    uint64_t pos = token.start + 1;
    uint64_t stop = token.end - 1;
    size_t length = 0;
    while (pos < stop) {
        char c = text[pos++];
        if (c != '\\') {
            if (!put(dest, size, &length, &c, 1))
                return -1;
            continue;
        }
        if (pos >= stop)
            return -1;
        char out[4];
        size_t n = 1;
        switch (text[pos++]) {
        case 'b': out[0] = '\b'; break;
        case 'f': out[0] = '\f'; break;
        case 'n': out[0] = '\n'; break;
        case 'r': out[0] = '\r'; break;
        case 't': out[0] = '\t'; break;
        case '"': out[0] = '"'; break;
        case '\\': out[0] = '\\'; break;
        case '/': out[0] = '/'; break;
        case 'u': {
            int32_t unit = hex4(text, pos, stop);
            if (unit < 0 || is_low_surrogate(unit))
                return -1;
            pos += 4;
            uint32_t cp = static_cast<uint32_t>(unit);
            if (is_high_surrogate(unit)) {
                int32_t low = low_surrogate_escape(text, pos, stop);
                if (low < 0)
                    return -1;
                pos += 6;
                cp = 0x10000 + (cp - 0xD800) * 1024 + static_cast<uint32_t>(low - 0xDC00);
            }
            if (cp == 0)
                return -1;
            n = utf8_encode(cp, out);
            break;
        }
        default:
            return -1;
        }
        if (!put(dest, size, &length, out, n))
            return -1;
    }
    // The result is an int; a longer decoding cannot be reported.
    if (length > INT_MAX)
        return -1;
    dest[length] = '\0';
    return static_cast<int>(length);
}

int json_get(const json_doc *doc, int object, const char *key) {
    if (!valid_index(doc, object) || key == nullptr)
        return -1;
    const json_token &token = doc->tokens[object];
    if (token.type != JSON_OBJECT || token.children == 0)
        return -1;
    int found = -1;
    for (int k = object + 1; k < token.next; ) {
        if (k + 1 >= doc->count)
            return -1;
        char decoded[key_buffer_size];
        if (json_string(doc, k, decoded, sizeof decoded) >= 0 && std::strcmp(decoded, key) == 0) {
            if (found >= 0)
                return -1;  // a duplicated key counts as absent
            found = k + 1;
        }
        int after = doc->tokens[k + 1].next;
        if (after <= k + 1)
            return -1;  // not a record a successful parse left
        k = after;
    }
    return found;
}

int text(const json_doc *doc, int object, const char *key, char *dest, size_t size) {
    return json_string(doc, json_get(doc, object, key), dest, size) >= 0 ? 0 : -1;
}

int json_integer(const json_doc *doc, int index, int64_t *out) {
    if (!valid_index(doc, index) || out == nullptr)
        return -1;
    const json_token &token = doc->tokens[index];
    if (token.type != JSON_NUMBER || doc->text == nullptr || token.end > doc->length ||
        token.end <= token.start || token.end - token.start > integer_text_limit)
        return -1;
    char number[integer_text_limit + 1];
    size_t size = token.end - token.start;
    std::memcpy(number, doc->text + token.start, size);
    number[size] = '\0';
    // strtoll reports a range error through errno; the caller's errno is kept.
    int saved_errno = errno;
    errno = 0;
    char *rest = nullptr;
    long long converted = std::strtoll(number, &rest, 10);
    bool range_error = errno == ERANGE;
    errno = saved_errno;
    if (range_error || rest == number || *rest != '\0')
        return -1;
    *out = converted;
    return 0;
}

int json_boolean(const json_doc *doc, int index, int *out) {
    if (!valid_index(doc, index) || out == nullptr)
        return -1;
    const json_token &token = doc->tokens[index];
    if (token.type != JSON_BOOLEAN || doc->text == nullptr || token.start >= doc->length)
        return -1;
    *out = doc->text[token.start] == 't' ? 1 : 0;
    return 0;
}
