// The read-only API and the panel's static files: the three assets, the
// system summary with the CPU figure and the request token, the log list,
// one log's tail and a job's state and output.
#include "panel/api.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "panel/auth.h"
#include "panel/reply.h"
#include "panel/request.h"
#include "panel/tasks.h"
#include "platform/cpustat.h"
#include "platform/monotonic.h"
#include "servicelog/servicelog.h"

namespace {

constexpr size_t asset_path_size = 128;
constexpr size_t log_path_size = 160;
constexpr std::string_view asset_directory = "/usr/share/dashwick/";

// Assets, log tails and job outputs, one at a time; one byte more for the
// terminator the JSON writer needs behind a job's output.
char file_buffer[file_limit + 1];

// The CPU sample: the records of the latest /api/system and of the one
// before, paired by identifier.
alignas(8) unsigned char current[cpu_record_capacity * cpu_record_size];
alignas(8) unsigned char previous[cpu_record_capacity * cpu_record_size];
int32_t old_count;
uint64_t old_time;  // microseconds of the monotonic clock; 0 for no sample yet

static_assert(sizeof current == 4096 * 304, "4096 records of 304 bytes");

// Opens a file named by a fixed path read-only, never through a symbolic
// link as its last part and without blocking, so that a FIFO or a device
// cannot hold up the server. -1 unless it is a regular file; otherwise the
// descriptor, with its size in *size.
int open_regular(const char *path, off_t *size) {
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        return -1;
    }
    *size = status.st_size;
    return fd;
}

// One read of the last file_limit bytes into file_buffer, then the file is
// closed. The byte count, or -1 on a read error.
ssize_t read_tail(int fd, off_t size) {
    if (size > static_cast<off_t>(file_limit)) lseek(fd, size - static_cast<off_t>(file_limit), SEEK_SET);
    ssize_t got = read(fd, file_buffer, file_limit);
    close(fd);
    return got;
}

// Strips terminal sequences from the first length bytes of file_buffer and
// terminates what is left; its length.
size_t filter_buffer(size_t length) {
    filter_state state = filter_text;
    size_t kept = filter_terminal(file_buffer, length, &state);
    file_buffer[kept] = 0;
    return kept;
}

uint64_t read64(const unsigned char *at) {
    uint64_t value;
    memcpy(&value, at, sizeof value);
    return value;
}

// Busy CPU time since the previous sample as a percentage of the time
// passed (100 for one core fully busy); 0.0 for the first sample, -1.0 when
// the platform cannot tell.
double cpu_figure() {
    long result = cpu_statistics(current, cpu_record_capacity, cpu_record_size);
    if (static_cast<unsigned long>(result) > cpu_record_capacity) return -1.0;
    size_t count = static_cast<size_t>(result);
    uint64_t now = static_cast<uint64_t>(monotonic_clock(1000000));
    uint64_t sum = 0;
    for (size_t i = 0; i < count; i++) {
        const unsigned char *record = current + i * cpu_record_size;
        uint64_t id = read64(record + cpu_id_offset);
        for (int32_t k = 0; k < old_count; k++) {
            const unsigned char *before = previous + static_cast<size_t>(k) * cpu_record_size;
            if (read64(before + cpu_id_offset) != id) continue;
            uint64_t busy = read64(record + cpu_busy_offset);
            uint64_t was = read64(before + cpu_busy_offset);
            if (busy >= was) sum += busy - was;
            break;
        }
    }
    double figure = 0.0;
    if (old_time != 0 && old_time < now)
        figure = static_cast<double>(sum) * 100.0 / static_cast<double>(now - old_time);
    memcpy(previous, current, count * cpu_record_size);
    old_count = static_cast<int32_t>(count);
    old_time = now;
    return figure;
}

bool log_name(const char *name) {
    return safe_name(name, 1) && strstr(name, ".log") != nullptr;
}

}  // namespace

const page_file *page_file_at(std::string_view target) {
    for (const page_file &file : page_files)
        if (file.target == target) return &file;
    return nullptr;
}

void serve_asset(int client, const page_file &file) {
    std::string_view name = file.name;
    char path[asset_path_size];
    snprintf(path, sizeof path, "%s%.*s", asset_directory.data(), static_cast<int>(name.size()),
             name.data());
    off_t size = 0;
    int fd = open_regular(path, &size);
    if (fd < 0) {
        message(client, 404, "Panel asset missing\n");
        return;
    }
    ssize_t got = read(fd, file_buffer, file_limit);
    close(fd);
    if (got < 0) return;
    const char *type = name.find(".js") != name.npos    ? "application/javascript"
                       : name.find(".css") != name.npos ? "text/css"
                                                        : "text/html; charset=utf-8";
    respond(client, 200, type, file_buffer, static_cast<size_t>(got));
}

void serve_system(int client) {
    char *data = nullptr;
    size_t size = 0;
    FILE *out = open_json(client, &data, &size);
    if (!out) return;
    struct sysinfo info {};
    struct utsname names {};
    sysinfo(&info);
    uname(&names);
    unsigned long long unit = info.mem_unit;
    fputs("{\"hostname\":", out);
    json_string(out, names.nodename);
    fputs(",\"release\":", out);
    json_string(out, names.release);
    fprintf(out, ",\"cpu_core_percent\":%.1f", cpu_figure());
    fprintf(out, ",\"uptime\":%ld,\"memory_total\":%llu,\"memory_used\":%llu,\"csrf\":",
            info.uptime, static_cast<unsigned long long>(info.totalram) * unit,
            static_cast<unsigned long long>(info.totalram - info.freeram) * unit);
    json_string(out, csrf);
    fputc('}', out);
    send_json(client, out, data, size);
}

void serve_logs(int client) {
    char *data = nullptr;
    size_t size = 0;
    FILE *out = open_json(client, &data, &size);
    if (!out) return;
    fputc('[', out);
    if (DIR *directory = opendir("/var/log")) {
        bool first = true;
        while (const dirent *entry = readdir(directory)) {
            if (!log_name(entry->d_name)) continue;
            if (!first) fputc(',', out);
            first = false;
            json_string(out, entry->d_name);
        }
        closedir(directory);
    }
    fputc(']', out);
    send_json(client, out, data, size);
}

void serve_log(int client, const char *name) {
    if (!log_name(name)) {
        message(client, 400, "Invalid log\n");
        return;
    }
    char path[log_path_size];
    snprintf(path, sizeof path, "/var/log/%.63s", name);
    off_t size = 0;
    int fd = open_regular(path, &size);
    if (fd < 0) {
        message(client, 404, "Log not found\n");
        return;
    }
    ssize_t got = read_tail(fd, size);
    if (got < 0) {
        message(client, 500, "Log read failed\n");
        return;
    }
    respond(client, 200, plain_text, file_buffer, filter_buffer(static_cast<size_t>(got)));
}

void serve_job(int client, const char *number) {
    unsigned long wanted = 0;
    if (!whole_number(number, &wanted)) {
        message(client, 400, "Invalid job\n");
        return;
    }
    reap();
    const job *found = job_lookup(static_cast<uint64_t>(wanted));
    if (!found) {
        message(client, 404, "Job expired\n");
        return;
    }
    // A log that is gone, unreadable or not a regular file gives no output.
    size_t length = 0;
    off_t size = 0;
    int fd = open_regular(found->path, &size);
    if (fd >= 0) {
        ssize_t got = read_tail(fd, size);
        if (got > 0) length = static_cast<size_t>(got);
    }
    filter_buffer(length);
    char *data = nullptr;
    size_t reply_size = 0;
    FILE *out = open_json(client, &data, &reply_size);
    if (!out) return;
    fprintf(out, "{\"done\":%s,\"exit\":%d,\"output\":", found->done ? "true" : "false",
            found->status);
    json_string(out, file_buffer);
    fputc('}', out);
    send_json(client, out, data, reply_size);
}
