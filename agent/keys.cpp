// The managed SSH key list for root, and its merge into the keys file.
//
// Keys from the metadata and the user data go to `keys`, one line each,
// de-duplicated by key identity (type and key data with the separator
// between them). At the end of a run the list is merged into the keys
// file; authorized_keys.managed remembers which lines this agent placed, so
// that a key the metadata drops is removed next time while lines the
// administrator added stay.
#include "agent/keys.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "agent/agent.h"

namespace {

constexpr std::string_view key_types[] = {"ssh-ed25519 ", "ssh-rsa ", "ecdsa-sha2-nistp256 ",
                                          "ecdsa-sha2-nistp384 ", "ecdsa-sha2-nistp521 "};
constexpr size_t json_key_size = 8192;  // one decoded key value from the metadata

// The key list as it was before the merge: the content of the managed file.
char managed[keys_size];
static_assert(sizeof managed == sizeof keys);

bool field_end(char c) {
    return c == '\0' || c == ' ' || c == '\t' || c == '\n';
}

bool supported_type(const char *line) {
    std::string_view text = line;
    for (std::string_view type : key_types)
        if (text.starts_with(type)) return true;
    return false;
}

// Next non-empty line of a text split in place at runs of CR and LF; null
// after the last one. *cursor walks the text.
char *next_line(char **cursor) {
    char *p = *cursor;
    while (*p == '\r' || *p == '\n') p++;
    if (!*p) {
        *cursor = p;
        return nullptr;
    }
    char *line = p;
    p += strcspn(p, "\r\n");
    if (*p) *p++ = '\0';
    *cursor = p;
    return line;
}

// read_file, but telling a missing file (0, *text null) from one that exists
// and cannot be read whole (-1, errno set). A NUL byte would end the text
// early and the lines behind it would be lost, so such a file counts as
// unreadable too.
int read_existing(const char *path, char **text) {
    *text = read_file(path);
    if (!*text) return errno == ENOENT ? 0 : -1;
    struct stat st;
    if (stat(path, &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<size_t>(st.st_size) != strlen(*text)) {
        free(*text);
        *text = nullptr;
        errno = EILSEQ;
        return -1;
    }
    return 0;
}

void report_keys_error() {
    fprintf(stderr, "[seedcfg] keys: %s\n", strerror(errno));
}

}  // namespace

size_t key_identity_length(const char *line) {
    size_t i = 0;
    while (!field_end(line[i])) i++;
    while (line[i] == ' ' || line[i] == '\t') i++;
    while (!field_end(line[i])) i++;
    return i;
}

int contains_key(const char *list, const char *line) {
    size_t n = key_identity_length(line);
    const char *entry = list;
    while (*entry) {
        if (key_identity_length(entry) == n && memcmp(entry, line, n) == 0) return 1;
        const char *end = strchr(entry, '\n');
        if (!end) break;
        entry = end + 1;
    }
    return 0;
}

void add_key(const char *value) {
    if (strpbrk(value, "\r\n")) {
        size_t length = strlen(value);
        char *copy = strdup(value);
        if (!copy) {
            // Going on without these keys would lock their owners out.
            failed = 1;
            return;
        }
        char *cursor = copy;
        while (char *line = next_line(&cursor)) add_key(line);
        // The text may come from the user data, which can carry a password.
        explicit_bzero(copy, length);
        free(copy);
        return;
    }
    if (!supported_type(value) || contains_key(keys, value)) return;
    size_t used = strlen(keys);
    size_t length = strlen(value);
    if (used + length + 1 > keys_size - 1) {
        failed = 1;
        return;
    }
    memcpy(keys + used, value, length);
    keys[used + length] = '\n';
    keys[used + length + 1] = '\0';
}

void collect_metadata_keys(const json_doc *doc) {
    char value[json_key_size];
    const json_token *tokens = doc->tokens;

    // "public_keys": an object whose member values are key texts.
    int object = json_get(doc, 0, "public_keys");
    if (object >= 0 && tokens[object].type == JSON_OBJECT) {
        int end = tokens[object].next;
        for (int key = object + 1; key < end && key + 1 < doc->count; key = tokens[key + 1].next) {
            if (json_string(doc, key + 1, value, sizeof value) >= 0) add_key(value);
        }
    }

    // "keys": an array of objects, each with the key text in "data".
    int array = json_get(doc, 0, "keys");
    if (array >= 0 && tokens[array].type == JSON_ARRAY) {
        int end = tokens[array].next;
        for (int element = array + 1; element < end && element < doc->count;
             element = tokens[element].next) {
            if (tokens[element].type != JSON_OBJECT) continue;
            int data = json_get(doc, element, "data");
            if (data >= 0 && json_string(doc, data, value, sizeof value) >= 0) add_key(value);
        }
    }
}

namespace {

// The managed file's version while the keys file is replaced: the new key
// list, then the lines of the old managed list that it lacks. Room for a
// full key list and a managed file read whole, each line with its LF.
char placed[keys_size + document_limit + 1];

// Fills `placed` from the managed key snapshot and the old managed list;
// -1 when there is no memory to split the old list.
int collect_placed(const char *old_managed) {
    memcpy(placed, managed, sizeof managed);
    if (!old_managed) return 0;
    char *copy = strdup(old_managed);
    if (!copy) return -1;
    char *cursor = copy;
    while (char *line = next_line(&cursor)) {
        if (contains_key(managed, line)) continue;
        if (append(placed, sizeof placed, line) == 0) append(placed, sizeof placed, "\n");
    }
    free(copy);
    return 0;
}

}  // namespace

int merge_keys(const char *output_dir, const char *keys_file) {
    char managed_path[path_size];
    snprintf(managed_path, sizeof managed_path, "%s/authorized_keys.managed", output_dir);

    // A file that is there but cannot be read is never replaced: the keys
    // file holds the administrator's lines, and without the managed file
    // keys the metadata dropped would stay authorized for good.
    char *old_managed = nullptr;
    char *current = nullptr;
    if (read_existing(managed_path, &old_managed) != 0 ||
        read_existing(keys_file, &current) != 0) {
        report_keys_error();
        free(old_managed);
        return -1;
    }

    memcpy(managed, keys, sizeof managed);
    if (current) {
        char *cursor = current;
        while (char *line = next_line(&cursor)) {
            if (old_managed && contains_key(old_managed, line)) continue;  // placed by a run
            if (contains_key(keys, line)) continue;
            if (append(keys, keys_size, line) == 0) append(keys, keys_size, "\n");
        }
    }

    int result = 0;
    if (failed) {
        result = -1;
    } else if (keys[0] || current || old_managed) {
        mkdir("/root", 0700);
        mkdir("/root/.ssh", 0700);
        // Each write is on the disk before the next begins, and the managed
        // file never lacks a key that the keys file may hold from a run:
        // first every key this run or an earlier one placed, then the new
        // keys file, then the new list alone. A cut between any two of them
        // leaves the next run able to tell the administrator's lines apart.
        if (collect_placed(old_managed) != 0 || write_file(managed_path, placed) != 0 ||
            write_file(keys_file, keys) != 0 || write_file(managed_path, managed) != 0) {
            report_keys_error();
            result = -1;
        }
    }
    free(current);
    free(old_managed);
    return result;
}
