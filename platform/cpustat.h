// CPU statistics as the kernel reports them: one record per CPU with an
// identifier and a cumulative busy counter.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr long cpu_statistics_call = 101009;
constexpr size_t cpu_record_size = 304;
constexpr size_t cpu_record_capacity = 4096;
constexpr size_t cpu_id_offset = 0;      // 64-bit identifier
constexpr size_t cpu_busy_offset = 288;  // 64-bit busy time, microseconds

// Fills up to capacity records of record_size bytes; the number written,
// or a negative value on failure.
long cpu_statistics(void *records, size_t capacity, size_t record_size);

// One line of Linux's /proc/stat: for a "cpuN" line, writes N and the busy
// time into record (record_size bytes, the rest zeroed) and returns 1; 0 for
// any other line (the "cpu" total included); -1 for a malformed cpuN line.
// clock_ticks is the jiffy rate (sysconf(_SC_CLK_TCK)).
int cpu_record_from_stat(const char *line, unsigned char *record, size_t record_size,
                         long clock_ticks);
