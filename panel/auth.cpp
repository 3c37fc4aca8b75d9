// Basic credentials for root and the request token.
#include "panel/auth.h"

#include <crypt.h>
#include <shadow.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "panel/request.h"

char csrf[csrf_size];

namespace {

constexpr std::string_view basic_scheme = "Basic ";
constexpr std::string_view alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static_assert(alphabet.size() == 64);

int sextet(char c) {
    size_t at = alphabet.find(c);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

}  // namespace

void format_token(const unsigned char *bytes) {
    for (size_t i = 0; i < token_bytes; i++) snprintf(csrf + 2 * i, 3, "%02x", bytes[i]);
}

int base64_decode(const char *text, char *out, size_t capacity) {
    if (capacity == 0) return -1;
    unsigned bits = 0;
    int waiting = 0;
    size_t count = 0;
    for (const char *p = text; *p && *p != '='; p++) {
        int value = sextet(*p);
        if (value < 0) return -1;
        bits = ((bits << 6) | static_cast<unsigned>(value)) & 0xfff;
        waiting += 6;
        if (waiting >= 8) {
            waiting -= 8;
            if (count + 1 >= capacity) return -1;
            out[count++] = static_cast<char>((bits >> waiting) & 0xff);
        }
    }
    out[count] = 0;
    return static_cast<int>(count);
}

const char *root_password(const char *headers, char *credentials) {
    char value[authorization_size];
    const char *password = nullptr;
    if (header_value(headers, "Authorization", value, sizeof value) &&
        strncmp(value, basic_scheme.data(), basic_scheme.size()) == 0) {
        int count = base64_decode(value + basic_scheme.size(), credentials, credentials_size);
        // A zero byte inside would cut the text short: refuse it instead.
        if (count > 0 && memchr(credentials, 0, static_cast<size_t>(count)) == nullptr) {
            char *colon = strchr(credentials, ':');
            if (colon && std::string_view(credentials, static_cast<size_t>(colon - credentials)) == "root")
                password = colon + 1;
        }
    }
    explicit_bzero(value, sizeof value);
    return password;
}

int password_matches(const char *password) {
    const spwd *entry = getspnam("root");
    if (!entry || !entry->sp_pwdp) return 0;
    const char *stored = entry->sp_pwdp;
    // A locked account, or one without a password, admits nobody.
    if (stored[0] == 0 || stored[0] == '!' || stored[0] == '*') return 0;
    const char *hashed = crypt(password, stored);
    if (!hashed) return 0;
    size_t length = strlen(stored);
    if (strlen(hashed) != length) return 0;
    return same_bytes(hashed, stored, length);
}

int authenticated(const char *headers) {
    char credentials[credentials_size];
    const char *password = root_password(headers, credentials);
    int accepted = password ? password_matches(password) : 0;
    explicit_bzero(credentials, sizeof credentials);
    return accepted;
}

int token_accepted(const char *headers) {
    char value[token_header_size];
    if (!header_value(headers, "X-Dashwick-Token", value, sizeof value)) return 0;
    constexpr size_t length = csrf_size - 1;
    if (strlen(value) != length) return 0;
    return same_bytes(value, csrf, length);
}

int same_bytes(const char *a, const char *b, size_t length) {
    volatile unsigned char difference = 0;
    for (size_t i = 0; i < length; i++)
        difference = static_cast<unsigned char>(difference | (a[i] ^ b[i]));
    return difference == 0;
}
