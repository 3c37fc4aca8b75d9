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
constexpr std::string_view crypt_characters =
    "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz$";

// crypt's working area: kept here so that it can be wiped after each use,
// since it holds material derived from the password.
crypt_data crypt_area;

bool is_hash(std::string_view value) {
    return value.starts_with(sha512_prefix);
}

// A hash goes into a line of the settings file and, through its consumers,
// into the shadow file: only crypt's own characters may stand in it (a CR
// would start a line of the user data's choosing, a colon another field).
// "$6$", an optional "rounds=N$", then the salt and the hash themselves.
bool usable_hash(std::string_view value) {
    if (!is_hash(value)) return false;
    std::string_view rest = value.substr(sha512_prefix.size());
    constexpr std::string_view rounds = "rounds=";
    if (rest.starts_with(rounds)) {
        size_t end = rest.find_first_not_of("0123456789", rounds.size());
        if (end == rounds.size() || end == rest.npos || rest[end] != '$') return false;
        rest.remove_prefix(end + 1);
    }
    return rest.find_first_not_of(crypt_characters) == rest.npos;
}

// Replaces a run-wide field with value; the caller has checked the length.
void set_field(char (&field)[field_size], std::string_view value) {
    explicit_bzero(field, sizeof field);
    memcpy(field, value.data(), value.size());
}

bool blank(char c) {
    return c == ' ' || c == '\t';
}

// The text without surrounding whitespace, quotes left as they are.
std::string_view unpadded(std::string_view text) {
    constexpr std::string_view space = " \t\n\v\f\r";
    size_t first = text.find_first_not_of(space);
    if (first == text.npos) return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// Where a YAML comment (a blank and "#" outside quotes) begins in the text
// after a colon or a list item's hyphen; its length when there is none.
// Only a quote that opens the value quotes: one inside a plain value is a
// character like any other.
size_t comment_start(const char *value) {
    size_t at = strspn(value, " \t");
    char quote = value[at];
    if (quote == '"' || quote == '\'') {
        for (at++; value[at]; at++) {
            if (quote == '"' && value[at] == '\\' && value[at + 1])
                at++;  // an escaped character
            else if (value[at] == quote && quote == '\'' && value[at + 1] == '\'')
                at++;  // '' stands for one quote
            else if (value[at] == quote)
                break;
        }
        if (!value[at]) return at;  // never closed: nothing reads as a comment
        at++;
    }
    for (; value[at]; at++)
        if (value[at] == '#' && at > 0 && blank(value[at - 1])) return at;
    return at;
}

// "|" or ">" with an optional indentation digit and chomping sign, in
// either order: a block scalar, whose text is on the lines that follow.
bool block_indicator(std::string_view value) {
    if (value.empty() || (value[0] != '|' && value[0] != '>')) return false;
    bool digit = false, sign = false;
    for (char c : value.substr(1)) {
        if (c >= '1' && c <= '9' && !digit)
            digit = true;
        else if ((c == '+' || c == '-') && !sign)
            sign = true;
        else
            return false;
    }
    return true;
}

// A list item whose first key is "name": a hyphen, blanks, "name". Such an
// item opens an account's entry wherever it stands. (Keys never begin so.)
bool account_entry(std::string_view text) {
    size_t at = 1;
    while (at < text.size() && blank(text[at])) at++;
    return text.starts_with('-') && at > 1 && text.substr(at).starts_with("name");
}

void warn_unsupported(std::string_view key) {
    fprintf(stderr, "[seedcfg] unsupported cloud-config field: %.*s\n",
            static_cast<int>(key.size()), key.data());
}

// What the reader carries from one line to the next.
struct reader {
    bool key_list;  // the lines belong to an ssh_authorized_keys list
    bool chpasswd;  // inside the top-level chpasswd block
    // Lines indented deeper than block_below are the text of a block scalar
    // or of a block this system does not honour; with block_items, so are
    // list items at block_below (a list may stand at its key's own
    // indentation). -1: no such block.
    long block_below;
    bool block_items;
    bool read_block;  // the block is chpasswd's list: its root line is read
};

void open_block(reader *state, size_t indentation, bool items, bool read) {
    state->block_below = static_cast<long>(indentation);
    state->block_items = items;
    state->read_block = read;
}

// Root's password or, for a "$6$" value, its hash.
void take_password(std::string_view value) {
    if (value.empty() || value.size() > field_limit) return;
    if (!is_hash(value))
        set_field(password, value);
    else if (usable_hash(value))
        set_field(password_hash, value);
}

// One "key: value" line of the document. Returns true when the key-list
// flag was set by it (the indentation rule then does not apply).
bool apply(std::string_view key, char *raw_value, size_t indentation, reader *state) {
    raw_value[comment_start(raw_value)] = '\0';
    bool block = block_indicator(unpadded(raw_value));
    if (block) open_block(state, indentation, false, state->chpasswd);
    std::string_view value = trim(raw_value);
    bool password_key = key == "password" || (key == "root" && state->chpasswd);
    if (block && (key == "hostname" || key == "passwd" || password_key)) {
        warn_unsupported(key);
    } else if (key == "hostname") {
        if (usable_host_name(value.data()) && value.size() <= field_limit) set_field(hostname, value);
    } else if (key == "ssh_authorized_keys") {
        state->key_list = true;
        return true;
    } else if (password_key) {
        take_password(value);
    } else if (key == "passwd") {
        if (value.size() <= field_limit && usable_hash(value)) set_field(password_hash, value);
    } else if (account_entry(key)) {
        if (value != "root") {
            fputs("[seedcfg] only the root account is supported\n", stderr);
            failed = 1;
        }
    } else if (key == "runcmd" || key == "write_files" || key == "packages") {
        warn_unsupported(key);
        open_block(state, indentation, !key.starts_with('-'), false);
    } else if (key == "chpasswd" && indentation == 0) {
        state->chpasswd = true;
    }
    return false;
}

// A line of a block's text: passed over, but for root's line of the
// chpasswd list, which is taken as written (a "#" there is no comment).
void read_block_line(char *text, const reader *state) {
    char *colon = strchr(text, ':');
    if (!state->read_block || !colon) return;
    *colon = '\0';
    if (std::string_view(text) == "root") take_password(trim(colon + 1));
}

void read_line(char *line, reader *state) {
    size_t indentation = strspn(line, " \t");
    char *text = trim(line);
    if (!text[0] || text[0] == '#') return;
    if (state->block_below >= 0) {
        long depth = static_cast<long>(indentation);
        if (depth > state->block_below ||
            (depth == state->block_below && state->block_items && text[0] == '-')) {
            read_block_line(text, state);
            return;
        }
        state->block_below = -1;
    }
    if (indentation == 0) state->chpasswd = false;
    bool entry = account_entry(text);
    if (text[0] == '-' && !entry) {
        char *item = text + 1;
        size_t comment = comment_start(item);
        if (block_indicator(unpadded({item, comment}))) {
            open_block(state, indentation, false, state->chpasswd);
            return;
        }
        if (state->key_list) {
            item[comment] = '\0';
            add_key(trim(item));
            return;
        }
    }
    if (entry) state->key_list = false;  // another account's entry ends the key list
    char *colon = strchr(text, ':');
    if (colon) {
        *colon = '\0';
        if (apply(text, colon + 1, indentation, state)) return;
    }
    if (indentation == 0) state->key_list = false;
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
    reader state{false, false, -1, false, false};
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
        read_line(line, &state);
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
        if (!password_hash[0] && usable_hash(hash) && hash.size() <= field_limit) {
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
