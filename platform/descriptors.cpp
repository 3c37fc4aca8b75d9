#include "platform/descriptors.h"

#include <fcntl.h>
#include <unistd.h>

int descriptors_to_null(int first, int last, int flags) {
    int null = open("/dev/null", flags);
    for (int fd = first; fd <= last; fd++)
        if (null < 0 || (null != fd && dup2(null, fd) < 0)) close(fd);
    // A standard descriptor that was free stays taken by /dev/null.
    if (null > 2 && (null < first || null > last)) close(null);
    return null < 0 ? -1 : 0;
}

void descriptors_close_from(int first, int keep) {
    for (int fd = first; fd <= highest_inherited_descriptor; fd++)
        if (fd != keep) close(fd);
}
