// libFuzzer target for the credential decoding of dashwick: base64_decode
// against an independent statement of its result, and root_password over
// an arbitrary header block.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "panel/auth.h"

namespace {

constexpr std::string_view alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void check(bool condition) {
    if (!condition) std::abort();
}

std::string encoded;

std::string_view encode_buffer(const char *bytes, size_t length) {
    std::string &out = encoded;
    out.clear();
    unsigned bits = 0;
    int held = 0;
    for (size_t i = 0; i < length; i++) {
        bits = ((bits << 8) | static_cast<unsigned char>(bytes[i])) & 0xffff;
        held += 8;
        while (held >= 6) {
            held -= 6;
            out += alphabet[(bits >> held) & 63];
        }
    }
    if (held > 0) out += alphabet[(bits << (6 - held)) & 63];
    return out;
}

void check_decode(const char *text, size_t capacity) {
    // Exactly capacity bytes, so that a write past them is caught.
    std::unique_ptr<char[]> out(new char[capacity ? capacity : 1]);
    int count = base64_decode(text, out.get(), capacity);
    std::string_view digits = text;
    digits = digits.substr(0, digits.find('='));
    bool valid = digits.find_first_not_of(alphabet) == std::string_view::npos;
    size_t expected = digits.size() * 6 / 8;
    if (!valid || capacity == 0 || expected >= capacity) {
        check(count == -1);
        return;
    }
    check(count == static_cast<int>(expected) && out[expected] == '\0');
    // The bytes are the ones the digits stand for: encoding them again
    // gives the digits back, but for the low bits of the last digit that
    // make no whole byte (all six of them when one digit is left over).
    std::string_view again = encode_buffer(out.get(), expected);
    size_t k = digits.size();
    static constexpr unsigned used_mask[4] = {0x3f, 0x00, 0x30, 0x3c};
    if (k % 4 == 0 || k % 4 == 1) {
        check(again == digits.substr(0, k % 4 == 1 ? k - 1 : k));
    } else {
        check(again.size() == k && again.substr(0, k - 1) == digits.substr(0, k - 1));
        unsigned last = static_cast<unsigned>(alphabet.find(digits[k - 1]));
        check(alphabet.find(again[k - 1]) == (last & used_mask[k % 4]));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    // The first byte chooses a capacity; the whole input is the text too.
    size_t capacity = size ? data[0] % 80 : 0;
    check_decode(text.c_str(), capacity);
    check_decode(text.c_str(), credentials_size);

    std::unique_ptr<char[]> credentials(new char[credentials_size]);
    const char *password = root_password(text.c_str(), credentials.get());
    if (password) {
        check(password == credentials.get() + 5);
        check(std::string_view(credentials.get(), 5) == "root:");
        check(strlen(credentials.get()) < credentials_size);
    }
    return 0;
}
