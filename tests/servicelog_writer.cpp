// Test helper: starts the service log capture and then writes what it read
// from standard input.
//   servicelog_writer SERVICE CHUNK REPEAT PAUSE_MS [env]
// The input is written REPEAT times to standard output in writes of CHUNK
// bytes, with PAUSE_MS milliseconds between writes; "env" adds a line with
// the value of VORNA_LOG_SERVICE on standard error at the end.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "servicelog/servicelog.h"

int main(int argc, char **argv) {
    if (argc < 5) return 2;
    std::string input;
    char block[65536];
    for (ssize_t got; (got = read(0, block, sizeof block)) > 0;) input.append(block, static_cast<size_t>(got));
    size_t chunk = strtoul(argv[2], nullptr, 10);
    long repeat = strtol(argv[3], nullptr, 10);
    useconds_t pause = static_cast<useconds_t>(strtoul(argv[4], nullptr, 10)) * 1000;
    if (chunk == 0) return 2;

    service_log_start(argv[1]);
    for (long r = 0; r < repeat; r++) {
        for (size_t at = 0; at < input.size(); at += chunk) {
            size_t n = std::min(chunk, input.size() - at);
            if (write(1, input.data() + at, n) != static_cast<ssize_t>(n)) return 1;
            if (pause) usleep(pause);
        }
    }
    if (argc > 5 && strcmp(argv[5], "env") == 0) {
        const char *value = getenv("VORNA_LOG_SERVICE");
        fprintf(stderr, "VORNA_LOG_SERVICE=%s\n", value ? value : "(unset)");
    }
    return 0;
}
