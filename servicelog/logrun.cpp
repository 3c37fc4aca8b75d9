// logrun NAME COMMAND [ARG...]: runs COMMAND as service NAME, its standard
// output and error captured into "/var/log/NAME.log" like every service's.
// The guest's service manager starts each daemon through it. The command
// keeps this process (and so its pid) and starts with descriptors 0 to 2
// only; when it cannot be started, "logrun: COMMAND: <reason>" goes into the
// log and the exit status is 127. A bad command line exits with status 2.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/descriptors.h"
#include "servicelog/servicelog.h"

namespace {

// The longest name whose log path, "/var/log/NAME.log.3", still fits the
// capture's buffers with room to spare.
constexpr size_t name_limit = 63;

// A service name is a file name in /var/log: letters, digits, ".", "_" and
// "-", not starting with "." or "-".
bool service_name(std::string_view name) {
    if (name.empty() || name.size() > name_limit || name[0] == '.' || name[0] == '-') return false;
    for (char c : name) {
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        bool digit = c >= '0' && c <= '9';
        if (!letter && !digit && c != '.' && c != '_' && c != '-') return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3 || !service_name(argv[1]) || argv[2][0] == '\0') {
        fputs("usage: logrun NAME COMMAND [ARG...]\n", stderr);
        return 2;
    }
    // Nothing the caller held open reaches the service: a daemon started
    // from a panel job must not keep the job's pipes.
    descriptors_close_from(STDERR_FILENO + 1, -1);
    // Always a capture of its own: a service restarted from one of its own
    // jobs still has its name in the environment, and the streams it was
    // given then are the job's, not the log.
    unsetenv("VORNA_LOG_SERVICE");
    service_log_start(argv[1]);
    execvp(argv[2], argv + 2);
    int error = errno;
    dprintf(STDERR_FILENO, "logrun: %s: %s\n", argv[2], strerror(error));
    return 127;
}
