// libFuzzer target for the cloud-config reader and the key list it feeds:
// arbitrary user data (a text, so it ends at its first NUL as the fetched
// body does) must leave the run-wide fields well formed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "agent/agent.h"
#include "agent/keys.h"
#include "agent/userdata.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

bool terminated(const char *field, size_t size) {
    return memchr(field, 0, size) != nullptr;
}

void check_keys() {
    check(terminated(keys, sizeof keys));
    std::string_view list = keys;
    check(list.empty() || list.back() == '\n');
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find('\n', start);
        std::string line(list.substr(start, end - start));
        check(!line.empty() && line.find('\r') == std::string::npos);
        check(line.starts_with("ssh-ed25519 ") || line.starts_with("ssh-rsa ") ||
              line.starts_with("ecdsa-sha2-nistp256 ") || line.starts_with("ecdsa-sha2-nistp384 ") ||
              line.starts_with("ecdsa-sha2-nistp521 "));
        // No two lines with the same key identity.
        std::string before(list.substr(0, start));
        check(!contains_key(before.c_str(), line.c_str()));
        start = end + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The reader's warnings would drown the fuzzer's own report, which
    // keeps writing to the stream it took at start.
    stderr = fopen("/dev/null", "w");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    failed = 0;
    memset(hostname, 0, sizeof hostname);
    memset(password, 0, sizeof password);
    memset(password_hash, 0, sizeof password_hash);
    memset(keys, 0, sizeof keys);
    std::string text(reinterpret_cast<const char *>(data), size);
    user_data_step(text.data());

    check(terminated(hostname, sizeof hostname) && terminated(password, sizeof password) &&
          terminated(password_hash, sizeof password_hash));
    check(!hostname[0] || usable_host_name(hostname));
    // crypt's characters, and the "=" of a "rounds=N$" parameter.
    std::string_view hash = password_hash;
    check(hash.empty() || (hash.starts_with("$6$") &&
                           hash.find_first_not_of("./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                  "abcdefghijklmnopqrstuvwxyz$=") == hash.npos));
    check(strchr(password, '\n') == nullptr);
    check_keys();
    return 0;
}
