#include "platform/copy.h"

#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include "platform/io.h"

namespace {

constexpr size_t kernel_step = size_t{1} << 30;  // bytes asked of one copy call
constexpr size_t copy_block = 4096;              // one read of the fallback

}  // namespace

int platform_copy_file(int from, int to) {
    off_t at = 0;
    for (;;) {
        ssize_t copied = copy_file_range(from, &at, to, nullptr, kernel_step, 0);
        if (copied > 0) continue;
        if (copied == 0) return 0;
        if (errno == EINTR) continue;
        // No such call, or not between these files: the same by hand, from
        // where the kernel stopped.
        if (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP) break;
        return -1;
    }
    static char block[copy_block];
    for (;;) {
        ssize_t got = io_read(from, block, sizeof block, at);
        if (got <= 0) return got < 0 ? -1 : 0;
        if (io_write_all(to, block, static_cast<size_t>(got)) != 0) return -1;
        at += got;
    }
}
