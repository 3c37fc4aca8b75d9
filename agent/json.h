// The agent's JSON reader: one validating forward pass over a document,
// every value recorded as a token in a fixed record that the caller owns.
#pragma once

#include <cstddef>
#include <cstdint>

enum : int32_t {
    JSON_OBJECT = 0,
    JSON_ARRAY = 1,
    JSON_STRING = 2,
    JSON_NUMBER = 3,
    JSON_BOOLEAN = 4,
    JSON_NULL = 5,
};

constexpr int32_t json_token_slots = 512;
constexpr int json_depth_limit = 32;  // containers that may enclose a value

struct json_token {
    int32_t type;
    uint64_t start;     // first byte; for a string its opening quote
    uint64_t end;       // just past the last byte
    int32_t next;       // first token after this value and its descendants
    int32_t children;   // elements, or keys and values (two per member)
};

struct json_doc {
    const char *text;   // not owned, not copied
    uint64_t length;
    uint64_t pos;
    int32_t count;
    json_token tokens[json_token_slots];
};

// 0 when the text is exactly one JSON value with optional whitespace around it.
// The record must come zeroed (calloc, value initialisation) or from an
// earlier json_parse; either way every slot past count is clear afterwards.
int json_parse(json_doc *doc, const char *text, uint64_t length);
// Parses one value at the current position; its token index, or -1.
int value(json_doc *doc, int depth);
// Decodes a string token into dest; the decoded length, or -1.
int json_string(const json_doc *doc, int index, char *dest, size_t size);
// The value token of member key of object, or -1 (absent or duplicated).
int json_get(const json_doc *doc, int object, const char *key);
// json_string of member key of object: 0, or -1.
int text(const json_doc *doc, int object, const char *key, char *dest, size_t size);
// Walking a container: the first element of an array or the first key of
// an object (its value is the next token), then each one after it; -1 when
// the container is empty or the walk is past its end, and for a token that
// is not a container.
int json_first(const json_doc *doc, int container);
int json_next(const json_doc *doc, int container, int item);
bool json_is_array(const json_doc *doc, int index);
bool json_is_object(const json_doc *doc, int index);
int json_integer(const json_doc *doc, int index, int64_t *out);
int json_boolean(const json_doc *doc, int index, int *out);
