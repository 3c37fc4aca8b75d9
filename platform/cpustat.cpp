// CPU statistics through our kernel's own call. Where the kernel does not
// know it (ENOSYS: a Linux host, for development and testing) the records
// come from /proc/stat: one per "cpuN" line, N as the identifier and the
// time spent on anything but idling or waiting for I/O as the busy counter.
#include "platform/cpustat.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/io.h"

namespace {

constexpr size_t stat_line_size = 1024;
// Fields of a cpu line, in order: user nice system idle iowait irq softirq
// steal guest guest_nice. Guest time is already part of user and nice.
constexpr int stat_fields = 8;
constexpr int idle_field = 3;
constexpr int iowait_field = 4;

void put64(unsigned char *at, uint64_t value) { memcpy(at, &value, sizeof value); }

// Jiffies to microseconds without overflowing for any realistic count.
uint64_t microseconds(uint64_t jiffies, uint64_t ticks) {
    return jiffies / ticks * 1000000 + jiffies % ticks * 1000000 / ticks;
}

// Lines of /proc/stat are gathered here one at a time; lines longer than it
// (the interrupt counts) are skipped, and no cpu line comes near it.
char stat_line[stat_line_size];
char stat_chunk[4096];

long linux_cpu_statistics(unsigned char *records, size_t capacity, size_t record_size) {
    long ticks = sysconf(_SC_CLK_TCK);
    if (!records || record_size < cpu_busy_offset + sizeof(uint64_t) || ticks <= 0) {
        errno = EINVAL;
        return -1;
    }
    int fd = open("/proc/stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    size_t count = 0, held = 0;
    bool too_long = false;
    for (;;) {
        ssize_t got = io_read(fd, stat_chunk, sizeof stat_chunk);
        if (got < 0) {
            close(fd);
            return -1;
        }
        if (got == 0) break;
        for (ssize_t i = 0; i < got; i++) {
            char c = stat_chunk[i];
            if (c != '\n') {
                if (held + 1 < sizeof stat_line)
                    stat_line[held++] = c;
                else
                    too_long = true;
                continue;
            }
            stat_line[held] = 0;
            if (!too_long && count < capacity &&
                cpu_record_from_stat(stat_line, records + count * record_size, record_size,
                                     ticks) > 0)
                count++;
            held = 0;
            too_long = false;
        }
    }
    close(fd);
    return static_cast<long>(count);
}

}  // namespace

int cpu_record_from_stat(const char *line, unsigned char *record, size_t record_size,
                         long clock_ticks) {
    if (strncmp(line, "cpu", 3) != 0 || line[3] < '0' || line[3] > '9') return 0;
    if (record_size < cpu_busy_offset + sizeof(uint64_t) || clock_ticks <= 0) return -1;
    char *end = nullptr;
    errno = 0;
    unsigned long long number = strtoull(line + 3, &end, 10);
    if (errno != 0 || (*end != ' ' && *end != '\t')) return -1;
    uint64_t busy = 0;
    int fields = 0;
    for (const char *p = end; fields < stat_fields; fields++) {
        while (*p == ' ' || *p == '\t') p++;
        if (*p == '\n' || *p == 0) break;  // older kernels give fewer fields
        if (*p < '0' || *p > '9') return -1;
        errno = 0;
        unsigned long long value = strtoull(p, &end, 10);
        if (errno != 0) return -1;
        p = end;
        if (fields != idle_field && fields != iowait_field) busy += value;
    }
    if (fields <= idle_field) return -1;  // user, nice, system and idle at least
    memset(record, 0, record_size);
    put64(record + cpu_id_offset, number);
    put64(record + cpu_busy_offset, microseconds(busy, static_cast<uint64_t>(clock_ticks)));
    return 1;
}

long cpu_statistics(void *records, size_t capacity, size_t record_size) {
    long n = syscall(cpu_statistics_call, records, capacity, record_size);
    if (n < 0 && errno == ENOSYS)
        return linux_cpu_statistics(static_cast<unsigned char *>(records), capacity, record_size);
    return n;
}
