#include "platform/descriptors.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>

namespace {

constexpr int highest_usual_descriptor = 255;  // where nothing else can tell
constexpr size_t listing_size = 4096;          // one read of /proc/self/fd

// close_range over first to last, nothing when the span is empty; -1 when
// the kernel does not do it.
int close_span(int first, int last) {
    if (first > last) return 0;
    return close_range(static_cast<unsigned>(first), static_cast<unsigned>(last), 0);
}

// The descriptor an entry of /proc/self/fd names; -1 for "." and "..".
int entry_number(const char *name) {
    if (*name == 0) return -1;
    int number = 0;
    for (const char *p = name; *p; p++) {
        if (*p < '0' || *p > '9' || number > (1 << 30) / 10) return -1;
        number = number * 10 + (*p - '0');
    }
    return number;
}

}  // namespace

int descriptors_to_null(int first, int last, int flags) {
    int null = open("/dev/null", flags);
    for (int fd = first; fd <= last; fd++)
        if (null < 0 || (null != fd && dup2(null, fd) < 0)) close(fd);
    // A standard descriptor that was free stays taken by /dev/null.
    if (null > 2 && (null < first || null > last)) close(null);
    return null < 0 ? -1 : 0;
}

int descriptors_close_listed(int first, int keep) {
    int list = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (list < 0) return -1;
    // The kernel lists the descriptors in order of number and goes on from
    // the last one listed, so those closed meanwhile do not disturb it.
    alignas(dirent64) char listing[listing_size];
    ssize_t got;
    while ((got = getdents64(list, listing, sizeof listing)) > 0) {
        for (ssize_t at = 0; at < got;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(listing + at);
            at += entry->d_reclen;
            int fd = entry_number(entry->d_name);
            if (fd >= first && fd != keep && fd != list) close(fd);
        }
    }
    close(list);
    return got < 0 ? -1 : 0;
}

void descriptors_close_from(int first, int keep) {
    int done = keep < first ? close_span(first, ~0u >> 1)
                            : close_span(first, keep - 1) | close_span(keep + 1, ~0u >> 1);
    if (done == 0 || descriptors_close_listed(first, keep) == 0) return;
    for (int fd = first; fd <= highest_usual_descriptor; fd++)
        if (fd != keep) close(fd);
}
