// Cloud-config user data: a line reader for the few keys this system
// honours (host name, root's SSH keys, root's password or its hash), and the
// step that turns the password into a SHA-512-crypt hash.
#include "agent/userdata.h"

#include <crypt.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "agent/agent.h"
#include "agent/keys.h"

namespace {

constexpr std::string_view cloud_config_mark = "#cloud-config";
constexpr std::string_view sha512_prefix = "$6$";
constexpr size_t salt_bytes = 16;
constexpr size_t field_limit = field_size - 1;  // longest text a field holds

// crypt's working area: kept here so that it can be wiped after each use,
// since it holds material derived from the password.
crypt_data crypt_area;

bool is_hash(std::string_view value) {
    return value.starts_with(sha512_prefix);
}

// A hash goes into a line of the settings file: a CR inside it would start
// a line of the user data's choosing there. No crypt hash holds one.
bool usable_hash(std::string_view value) {
    return is_hash(value) && value.find('\r') == std::string_view::npos;
}

// Replaces a run-wide field with value; the caller has checked the length.
void set_field(char (&field)[field_size], std::string_view value) {
    explicit_bzero(field, sizeof field);
    memcpy(field, value.data(), value.size());
}

// One "key: value" line of the document. Returns true when the key-list
// flag was set by it (the indentation rule then does not apply).
bool apply(std::string_view key, char *raw_value, bool *key_list) {
    std::string_view value = trim(raw_value);
    if (key == "hostname") {
        if (simple(value.data()) && value.size() <= field_limit) set_field(hostname, value);
    } else if (key == "ssh_authorized_keys") {
        *key_list = true;
        return true;
    } else if (key == "root" || key == "password") {
        if (value.empty() || value.size() > field_limit) return false;
        if (!is_hash(value))
            set_field(password, value);
        else if (usable_hash(value))
            set_field(password_hash, value);
    } else if (key == "passwd") {
        if (value.size() <= field_limit && usable_hash(value)) set_field(password_hash, value);
    } else if (key.starts_with("-") && key.substr(1).starts_with(" name")) {
        if (value != "root") {
            fputs("[seedcfg] only the root account is supported\n", stderr);
            failed = 1;
        }
    } else if (key == "runcmd" || key == "write_files" || key == "packages") {
        fprintf(stderr, "[seedcfg] unsupported cloud-config field: %.*s\n",
                static_cast<int>(key.size()), key.data());
    }
    return false;
}

void read_line(char *line, bool *key_list) {
    size_t indentation = strspn(line, " \t");
    char *text = trim(line);
    if (!text[0] || text[0] == '#') return;
    if (*key_list && text[0] == '-') {
        add_key(trim(text + 1));
        return;
    }
    char *colon = strchr(text, ':');
    if (colon) {
        *colon = '\0';
        if (apply(text, colon + 1, key_list)) return;
    }
    if (indentation == 0) *key_list = false;
}

// crypt of the password with a setting, into out; 0, or -1 when crypt fails
// or gives anything but a SHA-512-crypt hash that fits a field.
int hash_password(const char *setting, char (&out)[field_size]) {
    const char *result = crypt_r(password, setting, &crypt_area);
    int status = -1;
    if (result && is_hash(result) && strlen(result) <= field_limit) {
        set_field(out, result);
        status = 0;
    }
    explicit_bzero(&crypt_area, sizeof crypt_area);
    return status;
}

}  // namespace

void user_data_step(char *text) {
    if (!text) return;
    if (!std::string_view(text).starts_with(cloud_config_mark)) {
        if (text[0]) fputs("[seedcfg] user-data scripts are not supported\n", stderr);
        return;
    }
    bool key_list = false;
    char *cursor = text;
    while (*cursor) {
        char *line = cursor;
        char *end = strchr(cursor, '\n');
        if (end) {
            *end = '\0';
            cursor = end + 1;
        } else {
            cursor += strlen(cursor);
        }
        read_line(line, &key_list);
    }
}

int password_hash_step(const char *output_dir) {
    mkdir(output_dir, 0700);
    char path[path_size];
    snprintf(path, sizeof path, "%s/password.hash", output_dir);

    // The stored hash stays in force while the user data names no password,
    // or names the one it was made from (same salt, same file).
    if (char *stored = read_file(path)) {
        stored[strcspn(stored, "\r\n")] = '\0';
        std::string_view hash = stored;
        if (!password_hash[0] && is_hash(hash) && hash.size() <= field_limit) {
            char check[field_size] = {};
            if (!password[0] || (hash_password(stored, check) == 0 && hash == check))
                set_field(password_hash, hash);
            explicit_bzero(check, sizeof check);  // a hash of the new password
        }
        free(stored);
    }
    if (!password[0] || password_hash[0]) return 0;

    unsigned char salt[salt_bytes];
    if (getrandom(salt, sizeof salt, 0) != static_cast<ssize_t>(sizeof salt)) return -1;
    char setting[sha512_prefix.size() + 2 * salt_bytes + 2];
    size_t used = sha512_prefix.copy(setting, sha512_prefix.size());
    for (unsigned char byte : salt) {
        snprintf(setting + used, sizeof setting - used, "%02x", byte);
        used += 2;
    }
    snprintf(setting + used, sizeof setting - used, "$");
    return hash_password(setting, password_hash);
}
