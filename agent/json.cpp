// The agent's JSON reader. One forward pass over the text records every value
// as a token (offsets into the text, nothing copied); strings are decoded only
// when an accessor asks for one, straight into the caller's buffer. Nothing is
// allocated and nothing is kept outside the caller's record.
#include "agent/json.h"

#include <bit>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Sixteen bytes at a time where SSE2 is at hand (every x86-64), then eight
// at a time in a plain word, then byte by byte at the end of the text.
//
// Eight bytes at a time: a word whose bytes are compared all at once. The
// lowest flagged byte of each mask is always a true match (a false flag can
// only sit above a true one, where the borrow came from), which is all the
// scan needs.
constexpr uint64_t byte_ones = 0x0101010101010101ull;
constexpr uint64_t byte_highs = 0x8080808080808080ull;

constexpr uint64_t bytes_below(uint64_t word, unsigned char limit) {
    return (word - byte_ones * limit) & ~word & byte_highs;
}

constexpr uint64_t bytes_equal(uint64_t word, unsigned char c) {
    return bytes_below(word ^ (byte_ones * c), 1);
}

// Flags the double quotes, backslashes and bytes below 0x20 of a word.
constexpr uint64_t string_stops(uint64_t word) {
    return bytes_equal(word, '"') | bytes_equal(word, '\\') | bytes_below(word, 0x20);
}

// Eight bytes of text as a word whose lowest byte comes first in memory, so
// that a borrow runs from earlier bytes to later ones on every machine.
uint64_t load_word(const char *bytes) {
    uint64_t word;
    std::memcpy(&word, bytes, 8);
    if constexpr (std::endian::native == std::endian::big)
        word = __builtin_bswap64(word);
    return word;
}

// Byte offset within a word from load_word of its lowest flag.
unsigned first_flagged(uint64_t mask) {
    return static_cast<unsigned>(std::countr_zero(mask)) / 8;
}

// Flags exactly the bytes of a word that equal c (no false flags at all).
constexpr uint64_t bytes_exactly(uint64_t word, unsigned char c) {
    constexpr uint64_t low_bits = 0x7F7F7F7F7F7F7F7Full;
    uint64_t t = word ^ (byte_ones * c);
    return ~(((t & low_bits) + low_bits) | t) & byte_highs;
}

// The position of the first byte at or after pos that is not whitespace.
[[gnu::always_inline]] inline uint64_t skip_whitespace(const char *text, uint64_t pos,
                                                       uint64_t length) {
    // The usual cases: no whitespace at all, or the one blank after a colon.
    if (pos >= length || static_cast<unsigned char>(text[pos]) > ' ')
        return pos;
    if (length - pos >= 2 && text[pos] == ' ' && static_cast<unsigned char>(text[pos + 1]) > ' ')
        return pos + 1;
#if defined(__SSE2__)
    const __m128i space = _mm_set1_epi8(' '), line_feed = _mm_set1_epi8('\n');
    const __m128i carriage_return = _mm_set1_epi8('\r'), tab = _mm_set1_epi8('\t');
    while (length - pos >= 16) {
        __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + pos));
        __m128i blank = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(block, space), _mm_cmpeq_epi8(block, line_feed)),
            _mm_or_si128(_mm_cmpeq_epi8(block, carriage_return), _mm_cmpeq_epi8(block, tab)));
        unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(blank)) & 0xFFFFu;
        if (other != 0)
            return pos + static_cast<unsigned>(std::countr_zero(other));
        pos += 16;
    }
#endif
    while (length - pos >= 8) {
        uint64_t word = load_word(text + pos);
        uint64_t blank = bytes_exactly(word, ' ') | bytes_exactly(word, '\n') |
                         bytes_exactly(word, '\r') | bytes_exactly(word, '\t');
        uint64_t other = ~blank & byte_highs;
        if (other != 0)
            return pos + first_flagged(other);
        pos += 8;
    }
    while (pos < length && is_whitespace(static_cast<unsigned char>(text[pos])))
        pos++;
    return pos;
}

bool is_string_stop(unsigned char c) {
    return c == '"' || c == '\\' || c < 0x20;
}

// The position of the first double quote, backslash or byte below 0x20 at
// or after pos, or length when there is none.
[[gnu::always_inline]] inline uint64_t skip_plain(const char *text, uint64_t pos, uint64_t length) {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
    const __m128i control = _mm_set1_epi8(0x1F);
    while (length - pos >= 16) {
        __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + pos));
        __m128i below = _mm_cmpeq_epi8(_mm_min_epu8(block, control), block);  // bytes up to 0x1F
        __m128i stop = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(block, quote), _mm_cmpeq_epi8(block, backslash)), below);
        unsigned stops = static_cast<unsigned>(_mm_movemask_epi8(stop));
        if (stops != 0)
            return pos + static_cast<unsigned>(std::countr_zero(stops));
        pos += 16;
    }
#endif
    while (length - pos >= 8) {
        uint64_t word = load_word(text + pos);
        uint64_t stops = string_stops(word);
        if (stops != 0)
            return pos + first_flagged(stops);
        pos += 8;
    }
    while (pos < length && !is_string_stop(static_cast<unsigned char>(text[pos])))
        pos++;
    return pos;
}

// The scanners below take the text, its length and a position, and return
// the position after what they scanned, or no_position when it is not what
// it must be. The position stays in a register: the record is written only
// where a token is filled in.
constexpr uint64_t no_position = UINT64_MAX;

// Scans the rest of a string whose opening quote has been passed.
[[gnu::always_inline]] inline uint64_t scan_string(const char *text, uint64_t length, uint64_t pos) {
    for (;;) {
        pos = skip_plain(text, pos, length);  // bytes from 0x80 up pass as they are
        if (pos >= length)
            return no_position;
        unsigned char c = static_cast<unsigned char>(text[pos++]);
        if (c == '"')
            return pos;
        if (c != '\\')
            return no_position;  // a byte below 0x20
        if (pos >= length)
            return no_position;
        unsigned char escaped = static_cast<unsigned char>(text[pos++]);
        if (escaped == 'u') {
            int32_t unit = hex4(text, pos, length);
            if (unit < 0 || is_low_surrogate(unit))
                return no_position;
            pos += 4;
            if (is_high_surrogate(unit)) {
                if (low_surrogate_escape(text, pos, length) < 0)
                    return no_position;
                pos += 6;
            }
        } else if (!is_simple_escape(escaped)) {
            return no_position;
        }
    }
}

uint64_t skip_digits(const char *text, uint64_t pos, uint64_t length) {
    while (pos < length && is_digit(static_cast<unsigned char>(text[pos])))
        pos++;
    return pos;
}

// Scans the rest of a number whose first character (minus sign or digit) has
// been passed. The character that ends the number is left for the caller.
uint64_t scan_number(const char *text, uint64_t length, uint64_t pos, unsigned char first) {
    auto digit_at = [text, length](uint64_t at) {
        return at < length && is_digit(static_cast<unsigned char>(text[at]));
    };
    auto byte_is = [text, length](uint64_t at, char c) { return at < length && text[at] == c; };
    if (first == '-') {
        if (!digit_at(pos))
            return no_position;
        first = static_cast<unsigned char>(text[pos++]);
    }
    if (first != '0')
        pos = skip_digits(text, pos, length);
    if (byte_is(pos, '.')) {
        pos++;
        if (!digit_at(pos))
            return no_position;
        pos = skip_digits(text, pos, length);
    }
    if (byte_is(pos, 'e') || byte_is(pos, 'E')) {
        pos++;
        if (byte_is(pos, '+') || byte_is(pos, '-'))
            pos++;
        if (!digit_at(pos))
            return no_position;
        pos = skip_digits(text, pos, length);
    }
    return pos;
}

// Checks that the literal stands at start; the position after it.
template <size_t n>
uint64_t scan_literal(const char *text, uint64_t length, uint64_t start, const char (&literal)[n]) {
    constexpr size_t size = n - 1;
    if (length - start < size || std::memcmp(text + start, literal, size) != 0)
        return no_position;
    return start + size;
}

// The parse step of value, on a position of its own: the position after the
// value, or no_position; the value's token index in *index.
//
// One loop instead of a call per value: the containers still open are kept
// on a stack of at most json_depth_limit + 1 entries (a value inside 32 of
// them is the deepest allowed, and only a container is ever pushed), each
// with its token and the children counted so far. A value at stack height h
// has depth depth + h, exactly as when each container parsed its contents
// with a call of its own. The count of slots in use is kept in a register
// and stored back on the way out, success or failure.
uint64_t parse_value(json_doc *doc, const char *text, uint64_t length, uint64_t pos, int depth,
                     int *index) {
    if (depth < 0 || depth > json_depth_limit)
        return no_position;
    struct open_container {
        json_token *token;
        int32_t children;
        char close;
    };
    open_container stack[json_depth_limit + 1];
    int height = 0;
    const int room = json_depth_limit - depth;  // containers a value may still sit in
    json_token *const tokens = doc->tokens;
    const int32_t first = doc->count;
    int32_t count = first;
    json_token *token;
    unsigned char c;
    // Takes the next slot for a value starting at pos. It is cleared whole,
    // padding included, so the record needs no clearing beforehand.
    auto take = [&](int32_t type) {
        json_token *taken = &tokens[count++];
        std::memset(taken, 0, sizeof *taken);
        taken->type = type;
        taken->start = pos;
        return taken;
    };

next_value:
    pos = skip_whitespace(text, pos, length);
    if (height > room || pos >= length || count >= json_token_slots)
        goto failed;
    c = static_cast<unsigned char>(text[pos]);
    switch (c) {
    case '"':
        token = take(JSON_STRING);
        pos = scan_string(text, length, pos + 1);
        break;
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9':
        token = take(JSON_NUMBER);
        pos = scan_number(text, length, pos + 1, c);
        break;
    case 't':
        token = take(JSON_BOOLEAN);
        pos = scan_literal(text, length, pos, "true");
        break;
    case 'f':
        token = take(JSON_BOOLEAN);
        pos = scan_literal(text, length, pos, "false");
        break;
    case 'n':
        token = take(JSON_NULL);
        pos = scan_literal(text, length, pos, "null");
        break;
    case '{':
    case '[': {
        token = take(c == '{' ? JSON_OBJECT : JSON_ARRAY);
        char close = c == '{' ? '}' : ']';
        pos = skip_whitespace(text, pos + 1, length);
        if (pos < length && text[pos] == close) {
            pos++;
            break;  // empty: ends like a scalar
        }
        stack[height++] = open_container{token, 0, close};
        if (close == '}')
            goto next_key;
        goto next_value;
    }
    default:
        goto failed;
    }
    if (pos == no_position)
        goto failed;
    token->end = pos;
    token->next = count;

    // A value has ended: it is a child of the innermost open container, which
    // must now go on with a comma or end.
value_done:
    if (height == 0) {
        doc->count = count;
        *index = first;
        return pos;
    }
    {
        open_container &open = stack[height - 1];
        open.children++;
        pos = skip_whitespace(text, pos, length);
        if (pos >= length)
            goto failed;
        c = static_cast<unsigned char>(text[pos++]);
        if (c == ',') {
            if (open.close == '}')
                goto next_key;
            goto next_value;
        }
        if (c != static_cast<unsigned char>(open.close))
            goto failed;
        open.token->end = pos;
        open.token->next = count;
        open.token->children = open.children;
        height--;
        goto value_done;
    }

    // A member's key (a string, since anything else fails the document), its
    // colon, then its value.
next_key:
    pos = skip_whitespace(text, pos, length);
    if (height > room || pos >= length || text[pos] != '"' || count >= json_token_slots)
        goto failed;
    token = take(JSON_STRING);
    pos = scan_string(text, length, pos + 1);
    if (pos == no_position)
        goto failed;
    token->end = pos;
    token->next = count;
    stack[height - 1].children++;
    pos = skip_whitespace(text, pos, length);
    if (pos >= length || text[pos] != ':')
        goto failed;
    pos++;
    goto next_value;

failed:
    doc->count = count;  // the slots taken stay taken
    return no_position;
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
    // The record ends up wholly cleared but for what the parse wrote. Every
    // slot is written whole as it is taken, so only the slots past the new
    // count need clearing, and of those only the ones that may hold anything:
    // a record comes zeroed from its allocation or from an earlier parse,
    // which leaves every slot past its count clear, so the old count bounds
    // them. (A small document parsed again and again into one record then
    // costs no 16 KiB of clearing each time.) An old count out of range
    // clears every slot.
    int32_t written = doc->count;
    if (written < 0 || written > json_token_slots)
        written = json_token_slots;
    std::memset(doc, 0, offsetof(json_doc, tokens));
    doc->text = text;
    doc->length = length;
    int result = -1;
    if ((text != nullptr || length == 0) && value(doc, 0) >= 0) {
        uint64_t pos = doc->pos;
        while (pos < length && is_whitespace(static_cast<unsigned char>(text[pos])))
            pos++;
        doc->pos = pos;
        result = pos == length ? 0 : -1;
    }
    if (written > doc->count)
        std::memset(doc->tokens + doc->count, 0,
                    static_cast<size_t>(written - doc->count) * sizeof(json_token));
    return result;
}

int value(json_doc *doc, int depth) {
    int index = -1;
    uint64_t pos = parse_value(doc, doc->text, doc->length, doc->pos, depth, &index);
    if (pos == no_position)
        return -1;
    doc->pos = pos;
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

bool json_is_array(const json_doc *doc, int index) {
    return valid_index(doc, index) && doc->tokens[index].type == JSON_ARRAY;
}

bool json_is_object(const json_doc *doc, int index) {
    return valid_index(doc, index) && doc->tokens[index].type == JSON_OBJECT;
}

int json_first(const json_doc *doc, int container) {
    if (!json_is_array(doc, container) && !json_is_object(doc, container))
        return -1;
    const json_token &token = doc->tokens[container];
    int first = container + 1;
    if (token.children == 0 || first >= token.next || first >= doc->count)
        return -1;
    return first;
}

int json_next(const json_doc *doc, int container, int item) {
    if (!valid_index(doc, container) || item <= container || !valid_index(doc, item))
        return -1;
    // An object's item is a key: the next key follows its value.
    int last = item;
    if (doc->tokens[container].type == JSON_OBJECT && ++last >= doc->count)
        return -1;
    int after = doc->tokens[last].next;
    if (after <= last || after >= doc->tokens[container].next || after >= doc->count)
        return -1;
    return after;
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
