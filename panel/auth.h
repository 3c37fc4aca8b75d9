// The panel's one user is root, checked against the shadow database on
// every API request; POST /api/run also carries the per-process token.
#pragma once

#include <cstddef>

constexpr size_t token_bytes = 32;                  // random bytes behind csrf
constexpr size_t csrf_size = 2 * token_bytes + 1;   // 64 hex digits and NUL
constexpr size_t authorization_size = 1024;         // header lookup capacity
constexpr size_t credentials_size = 512;            // decoded user:password
constexpr size_t token_header_size = 128;

// The request token: made once at start, never changed afterwards.
extern char csrf[csrf_size];

// Writes the 32 bytes into csrf as lowercase hex, first byte first.
void format_token(const unsigned char *bytes);

// Decodes Base64 up to the first "=" or the end of text into out (at most
// capacity - 1 bytes, NUL added). The byte count, or -1 for a character
// outside the alphabet or output that does not fit.
int base64_decode(const char *text, char *out, size_t capacity);

// Takes the Basic credentials of the header block apart: the password
// (inside credentials, which must hold credentials_size bytes) when the user
// is "root" and the header is well formed; null otherwise.
const char *root_password(const char *headers, char *credentials);

// 1 when password hashes to root's stored shadow hash, else 0.
int password_matches(const char *password);

// 1 when the header block carries good credentials for root, else 0.
int authenticated(const char *headers);

// 1 when the header block carries the request token, else 0.
int token_accepted(const char *headers);

// 1 when the first length bytes of a and b are equal; the time taken
// depends only on length.
int same_bytes(const char *a, const char *b, size_t length);
