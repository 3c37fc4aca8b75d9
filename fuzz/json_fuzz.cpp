// libFuzzer target for the agent's JSON reader: parses arbitrary bytes, then
// walks whatever parsed through every accessor and checks the record's
// invariants, so the sanitizers see each read the agent could make.
#include "agent/json.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

void visit(const json_doc *doc, int index, char *buffer, size_t size) {
    const json_token &token = doc->tokens[index];
    check(token.next > index && token.next <= doc->count);
    check(token.start < token.end && token.end <= doc->length);
    int64_t number;
    int flag;
    int n = json_string(doc, index, buffer, size);
    check(n < 0 || (token.type == JSON_STRING && static_cast<size_t>(n) < size && buffer[n] == '\0'));
    check(json_integer(doc, index, &number) < 0 || token.type == JSON_NUMBER);
    check((json_boolean(doc, index, &flag) == 0) == (token.type == JSON_BOOLEAN));
    if (token.type == JSON_OBJECT) {
        int members = 0;
        for (int k = index + 1; k < token.next; k = doc->tokens[k + 1].next) {
            check(doc->tokens[k].type == JSON_STRING);
            members++;
            n = json_string(doc, k, buffer, size);
            if (n >= 0) {
                int found = json_get(doc, index, buffer);
                check(found == -1 || found == k + 1 || doc->tokens[found - 1].type == JSON_STRING);
                check(text(doc, index, buffer, buffer, size) <= 0);
            }
        }
        check(token.children == 2 * members);
    } else if (token.type == JSON_ARRAY) {
        int elements = 0;
        for (int e = index + 1; e < token.next; e = doc->tokens[e].next)
            elements++;
        check(token.children == elements);
    } else {
        check(token.children == 0 && token.next == index + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The text sits in a buffer of exactly its size, so reading past the given
    // length is caught.
    std::unique_ptr<char[]> text(new char[size ? size : 1]);
    std::memcpy(text.get(), data, size);
    auto doc = std::make_unique<json_doc>();
    if (json_parse(doc.get(), text.get(), size) != 0)
        return 0;
    check(doc->pos == size && doc->count >= 1 && doc->tokens[0].next == doc->count);
    char small[4];
    char large[256];
    for (int i = 0; i < doc->count; i++) {
        visit(doc.get(), i, small, sizeof small);
        visit(doc.get(), i, large, sizeof large);
    }
    // A text that parses parses again to the same record, also into a record
    // that held another parse (of the first half of the text, which may have
    // used more slots or failed): nothing of that one stays behind.
    auto again = std::make_unique<json_doc>();
    json_parse(again.get(), text.get(), size / 2);
    check(json_parse(again.get(), text.get(), size) == 0);
    check(std::memcmp(again.get(), doc.get(), sizeof(json_doc)) == 0);
    return 0;
}
