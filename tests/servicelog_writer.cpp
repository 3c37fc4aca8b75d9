// Test helper: starts the service log capture and then writes what it read
// from standard input.
//   servicelog_writer SERVICE CHUNK REPEAT PAUSE_MS [env|then=COMMAND]
// The input is written REPEAT times to standard output in writes of CHUNK
// bytes, with PAUSE_MS milliseconds between writes; "env" adds a line with
// the value of VORNA_LOG_SERVICE on standard error at the end; then=COMMAND
// runs the shell command once the first write has reached the end of the
// log (waiting up to 10 s).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
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

    const char *command = argc > 5 && strncmp(argv[5], "then=", 5) == 0 ? argv[5] + 5 : "";
    service_log_start(argv[1]);
    for (long r = 0; r < repeat; r++) {
        for (size_t at = 0; at < input.size(); at += chunk) {
            size_t n = std::min(chunk, input.size() - at);
            if (write(1, input.data() + at, n) != static_cast<ssize_t>(n)) return 1;
            if (at == 0 && r == 0 && *command) {
                for (int i = 0; i < 1000; i++, usleep(10000)) {
                    std::ifstream log(std::string("/var/log/") + argv[1] + ".log");
                    std::string text{std::istreambuf_iterator<char>(log), {}};
                    if (text.size() >= n && text.compare(text.size() - n, n, input, 0, n) == 0) break;
                }
                if (system(command) != 0) return 3;
            }
            if (pause) usleep(pause);
        }
    }
    if (argc > 5 && strcmp(argv[5], "env") == 0) {
        const char *value = getenv("VORNA_LOG_SERVICE");
        fprintf(stderr, "VORNA_LOG_SERVICE=%s\n", value ? value : "(unset)");
    }
    return 0;
}
