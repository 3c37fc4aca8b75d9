// Test helper: starts the service log capture and then writes what it read
// from standard input.
//   servicelog_writer SERVICE CHUNK REPEAT PAUSE_MS [env] [then=ACTION]
// The input is written REPEAT times to standard output in writes of CHUNK
// bytes, with PAUSE_MS milliseconds between writes; "env" adds a line with
// the value of VORNA_LOG_SERVICE on standard error at the end. then=ACTION
// waits until the first write has reached the log and then changes the
// live file "/var/log/SERVICE.log" under the reader: remove, truncate,
// replace (by a new file renamed over it), or puts a link to
// /var/log/secret, a FIFO or a directory in its place, owned by nobody.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "servicelog/servicelog.h"

namespace {

constexpr uid_t nobody = 65534;

std::string slurp(const std::string &path) {
    std::string text;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return text;
    char block[4096];
    for (size_t got; (got = fread(block, 1, sizeof block, f)) > 0;) text.append(block, got);
    fclose(f);
    return text;
}

// Waits (up to 10 s) until the log ends with written, then acts on it.
int change_live_file(const std::string &log, const std::string &written, const char *action) {
    for (int i = 0; i < 10000; i++) {
        std::string text = slurp(log);
        if (text.size() >= written.size() && text.compare(text.size() - written.size(), written.size(), written) == 0)
            break;
        usleep(1000);
    }
    if (strcmp(action, "truncate") == 0) return truncate(log.c_str(), 0);
    if (strcmp(action, "replace") == 0) {
        std::string fresh = log + ".new";
        FILE *f = fopen(fresh.c_str(), "w");
        if (!f || fputs("new\n", f) < 0 || fclose(f) != 0) return -1;
        return rename(fresh.c_str(), log.c_str());
    }
    if (unlink(log.c_str()) != 0) return -1;
    int made = 0;
    if (strcmp(action, "link") == 0) made = symlink("/var/log/secret", log.c_str());
    else if (strcmp(action, "fifo") == 0) made = mkfifo(log.c_str(), 0600);
    else if (strcmp(action, "dir") == 0) made = mkdir(log.c_str(), 0700);
    else if (strcmp(action, "remove") == 0) return 0;
    else return -1;
    return made == 0 ? lchown(log.c_str(), nobody, nobody) : -1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 5) return 2;
    std::string input;
    char block[65536];
    for (ssize_t got; (got = read(0, block, sizeof block)) > 0;) input.append(block, static_cast<size_t>(got));
    size_t chunk = strtoul(argv[2], nullptr, 10);
    long repeat = strtol(argv[3], nullptr, 10);
    useconds_t pause = static_cast<useconds_t>(strtoul(argv[4], nullptr, 10)) * 1000;
    if (chunk == 0) return 2;
    bool env = false;
    const char *action = nullptr;
    for (int i = 5; i < argc; i++) {
        if (strcmp(argv[i], "env") == 0) env = true;
        else if (strncmp(argv[i], "then=", 5) == 0) action = argv[i] + 5;
        else return 2;
    }

    service_log_start(argv[1]);
    for (long r = 0; r < repeat; r++) {
        for (size_t at = 0; at < input.size(); at += chunk) {
            size_t n = std::min(chunk, input.size() - at);
            if (write(1, input.data() + at, n) != static_cast<ssize_t>(n)) return 1;
            if (action && change_live_file(std::string("/var/log/") + argv[1] + ".log", input.substr(0, n), action) != 0)
                return 3;
            action = nullptr;
            if (pause) usleep(pause);
        }
    }
    if (env) {
        const char *value = getenv("VORNA_LOG_SERVICE");
        fprintf(stderr, "VORNA_LOG_SERVICE=%s\n", value ? value : "(unset)");
    }
    return 0;
}
