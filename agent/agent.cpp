#include "agent/agent.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/io.h"

int failed;
char instance[field_size];
char hostname[field_size];
char password[field_size];
char password_hash[field_size];
char network[network_size];
char dns[dns_size];
char keys[keys_size];
const char *test_mac;

const char *const metadata_versions[6] = {
    "latest", "2018-08-27", "2017-02-22", "2016-10-06", "2015-10-15", "2012-08-10",
};

char *read_file(const char *path) {
    FILE *file = fopen(path, "rb");
    if (!file) return nullptr;
    char *buffer = static_cast<char *>(malloc(document_limit + 1));
    if (!buffer) {
        fclose(file);
        errno = ENOMEM;
        return nullptr;
    }
    errno = 0;
    size_t got = fread(buffer, 1, document_limit, file);
    // A file that still has a byte to give is too long: unreadable, not cut.
    // errno tells the caller why (EFBIG for an oversized file).
    if (ferror(file) || (got == document_limit && fgetc(file) != EOF)) {
        int saved = ferror(file) ? (errno ? errno : EIO) : EFBIG;
        fclose(file);
        free(buffer);
        errno = saved;
        return nullptr;
    }
    fclose(file);
    buffer[got] = '\0';
    return buffer;
}

char *config_file(const char *directory, const char *name) {
    for (const char *version : metadata_versions) {
        char path[path_size];
        int n = snprintf(path, sizeof path, "%s/openstack/%s/%s", directory, version, name);
        if (n < 0 || static_cast<size_t>(n) >= sizeof path) continue;
        char *content = read_file(path);
        if (content) return content;
    }
    return nullptr;
}

namespace {

// Puts a rename in the directory that holds path on the disk. A file system
// that cannot sync a directory (EINVAL) has nothing to put there.
int sync_directory(const char *path) {
    const char *slash = strrchr(path, '/');
    char directory[PATH_MAX];
    int n = !slash          ? snprintf(directory, sizeof directory, ".")
            : slash == path ? snprintf(directory, sizeof directory, "/")
                            : snprintf(directory, sizeof directory, "%.*s",
                                       static_cast<int>(slash - path), path);
    if (n < 0 || static_cast<size_t>(n) >= sizeof directory) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    int result = fsync(fd) == 0 || errno == EINVAL ? 0 : -1;
    int saved = errno;
    close(fd);
    errno = saved;
    return result;
}

}  // namespace

// The new content goes to a temporary file beside the target, reaches the
// disk, and is renamed over it: a reader, or a run that fails half-way,
// sees either the old file or the new one, never a truncated one. The
// directory is synced after the rename, so that the new version is on the
// disk before the caller writes its next file: after a power cut, no file
// is new while one written before it is still old.
int write_file(const char *path, const char *text) {
    // A symbolic link stays in place: the file it names is replaced, as a
    // write through the link would change it.
    char resolved[PATH_MAX];
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode) && realpath(path, resolved)) path = resolved;
    char temporary[PATH_MAX + 16];
    int n = snprintf(temporary, sizeof temporary, "%s.XXXXXX", path);
    if (n < 0 || static_cast<size_t>(n) >= sizeof temporary) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int fd = mkstemp(temporary);  // mode 0600
    if (fd < 0) return -1;
    int result = io_write_all(fd, text, strlen(text));
    if (result == 0) result = fchmod(fd, 0600);
    if (result == 0) result = fsync(fd);
    int saved = errno;
    if (close(fd) != 0 && result == 0) {
        result = -1;
        saved = errno;
    }
    if (result == 0 && rename(temporary, path) != 0) {
        result = -1;
        saved = errno;
    }
    if (result != 0) {
        unlink(temporary);
        errno = saved;
        return -1;
    }
    // The file is in place; a failed sync is still a failure, as the new
    // version may not survive a cut.
    return sync_directory(path);
}

int append(char *buffer, size_t capacity, const char *text) {
    size_t used = strlen(buffer);
    size_t length = strlen(text);
    if (used + length >= capacity) {
        failed = 1;
        return -1;
    }
    memcpy(buffer + used, text, length + 1);
    return 0;
}

namespace {

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

char *trim(char *text) {
    while (blank(*text)) text++;
    size_t length = strlen(text);
    while (length > 0 && blank(text[length - 1])) text[--length] = '\0';
    if (length >= 2 && text[0] == text[length - 1] && (text[0] == '"' || text[0] == '\'')) {
        text[length - 1] = '\0';
        return text + 1;
    }
    return text;
}

int simple(const char *text) {
    return text[0] != '\0' && strpbrk(text, "\r\n[]=;") == nullptr;
}

int usable_host_name(const char *text) {
    if (!simple(text)) return 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
        if (*p < 0x20 || *p == 0x7f) return 0;
        if (*p == 0xc2 && p[1] >= 0x80 && p[1] <= 0x9f) return 0;  // C1 controls in UTF-8
    }
    return 1;
}
