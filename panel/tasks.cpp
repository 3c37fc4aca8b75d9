// The task runner: POST /api/run maps a small form onto one fixed command
// line of the system's tools and starts it as a background job whose output
// goes to a job log file; reap collects finished jobs and kills overdue ones.
#include "panel/tasks.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "panel/audit.h"
#include "panel/joblog.h"
#include "panel/reply.h"
#include "platform/descriptors.h"
#include "platform/monotonic.h"

job jobs[job_slots];
uint32_t sequence;

namespace {

constexpr size_t operation_size = 32;
constexpr size_t action_size = 32;
constexpr size_t name_size = 64;
constexpr size_t argument_slots = 6;   // up to four arguments and the null

constexpr const char *service_tool = "/bin/service";
constexpr const char *setup_tool = "/bin/setup";
constexpr const char *ip_tool = "/bin/ip";

constexpr std::string_view service_actions[] = {"start", "stop", "restart", "enable", "disable"};

template <size_t count>
bool one_of(std::string_view text, const std::string_view (&list)[count]) {
    for (std::string_view item : list)
        if (text == item) return true;
    return false;
}

// A service or package name for the tools' command lines. A name that
// begins with "-" would reach the tool as an option of its own choosing
// ("--purge", "-f"), so it is refused like any other unsafe name.
bool tool_name(const char *name) {
    return safe_name(name, 0) && name[0] != '-';
}

// Fills argv (null-terminated) with the command line for the request's
// fields. Null when there is one; otherwise the reply text of the refusal.
const char *command_line(const char *operation, const char *action, const char *name,
                         const char *(&argv)[argument_slots]) {
    std::string_view op = operation, act = action;
    for (const char *&entry : argv) entry = nullptr;
    if (op == "services") {
        argv[0] = service_tool;
        argv[1] = "list";
        return nullptr;
    }
    if (op == "packages") {
        argv[0] = setup_tool;
        argv[1] = "ls";
        if (act == "installed") argv[2] = "-i";
        return nullptr;
    }
    if (op == "network") {
        argv[0] = ip_tool;
        return nullptr;
    }
    if (op == "service") {
        // The name first: the panel's own services are never touched here,
        // whatever the action.
        if (!tool_name(name)) return "Invalid operation\n";
        if (one_of(name, panel_services)) return "Manage panel services from SSH\n";
        if (!one_of(act, service_actions)) return "Invalid operation\n";
        argv[0] = service_tool;
        argv[1] = action;
        argv[2] = name;
        return nullptr;
    }
    if (op == "package") {
        bool update = act == "update";
        if (!update && act != "install" && act != "upgrade" && act != "remove")
            return "Invalid operation\n";
        argv[0] = setup_tool;
        argv[1] = "--yes";
        argv[2] = action;
        if (update) return nullptr;  // the name is not looked at
        if (!tool_name(name)) return "Package name required\n";
        if (act == "remove" && one_of(name, protected_packages)) return "Protected package\n";
        argv[3] = name;
        return nullptr;
    }
    return "Invalid operation\n";
}

bool job_running() {
    for (const job &j : jobs)
        if (j.id != 0 && j.done == 0) return true;
    return false;
}

// The job process: the tool in a child of its own, with its output into a
// pipe that this process copies into the job file (capped) and its input
// from /dev/null, nothing else of the server's or its starter's open
// whatever its number; ends with the tool's status. Never returns.
[[noreturn]] void run_job(int file, const char *const argv[]) {
    // A group of its own, so that the kill of an overdue job reaches
    // whatever the tool started (the server does the same from its side).
    setpgid(0, 0);
    // The server ignores SIGPIPE for its sockets; the tools get the usual
    // disposition back.
    signal(SIGPIPE, SIG_DFL);
    // Output first, so that a job file on descriptor 0 is not lost; a tool
    // that cannot be started is reported there.
    dup2(file, STDOUT_FILENO);
    dup2(file, STDERR_FILENO);
    descriptors_to_null(STDIN_FILENO, STDIN_FILENO, O_RDONLY);
    int ends[2];
    pid_t tool = pipe(ends) == 0 ? fork() : -1;
    if (tool == 0) {
        dup2(ends[1], STDOUT_FILENO);
        dup2(ends[1], STDERR_FILENO);
        descriptors_close_from(STDERR_FILENO + 1, -1);
        execv(argv[0], const_cast<char *const *>(argv));
    }
    if (tool <= 0) {
        // No tool, or the tool's exec failed: said in the pipe or the file.
        perror("dashwick exec");
        _exit(127);
    }
    descriptors_close_from(STDERR_FILENO + 1, ends[0]);
    job_log_copy(ends[0], STDOUT_FILENO, tool);
}

// Starts argv as the next job; its number, or 0 when it could not start.
uint32_t start_job(const char *const argv[]) {
    uint32_t number = sequence + 1;
    if (number == 0) number = 1;  // 0 marks an empty slot
    job &slot = jobs[(number - 1) % job_slots];
    if (slot.id != 0) unlink(slot.path);
    sequence = number;
    snprintf(slot.path, sizeof slot.path, "/var/lib/dashwick/job-%u.log", number);

    int file = open(slot.path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600);
    if (file < 0) return 0;
    pid_t pid = fork();
    if (pid < 0) {
        close(file);
        return 0;
    }
    if (pid == 0) run_job(file, argv);
    // Also here: a kill may come before the child has run at all.
    setpgid(pid, pid);
    close(file);
    slot.done = 0;
    slot.status = -1;
    slot.id = number;
    slot.pid = pid;
    slot.started = monotonic_clock(1);
    return number;
}

// Looks up field in a form body ("a=1&b=2"): the value of the first pair
// that is the field's name, "=" and the value, taken byte for byte (no
// percent-decoding). 1 with the value in out; 0 with out empty when no pair
// names the field or its value does not fit in size bytes.
int form(const char *body, const char *field, char *out, size_t size) {
    size_t field_length = strlen(field);
    if (size > 0) out[0] = 0;
    for (const char *pair = body; *pair;) {
        const char *end = strchr(pair, '&');
        if (!end) end = pair + strlen(pair);
        size_t length = static_cast<size_t>(end - pair);
        if (length > field_length && strncmp(pair, field, field_length) == 0 &&
            pair[field_length] == '=') {
            const char *value = pair + field_length + 1;
            size_t value_length = static_cast<size_t>(end - value);
            // Too long for its field: taken as no value at all.
            if (value_length >= size) return 0;
            memcpy(out, value, value_length);
            out[value_length] = 0;
            return 1;
        }
        if (!*end) break;
        pair = end + 1;
    }
    return 0;
}

}  // namespace

void reap() {
    for (job &j : jobs) {
        if (j.id == 0 || j.done != 0) continue;
        int status = 0;
        if (waitpid(j.pid, &status, WNOHANG) == j.pid) {
            j.done = 1;
            j.status = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
            continue;
        }
        if (monotonic_clock(1) - j.started > job_time_limit) {
            // The whole group: a tool's own children go with it.
            if (kill(-j.pid, SIGKILL) != 0) kill(j.pid, SIGKILL);
        }
    }
}

const job *job_lookup(uint64_t number) {
    for (const job &j : jobs)
        if (j.id != 0 && static_cast<uint64_t>(j.id) == number) return &j;
    return nullptr;
}

int safe_name(const char *text, int dots) {
    size_t length = strlen(text);
    if (length == 0 || length > 63 || text[0] == '.') return 0;
    for (const char *p = text; *p; p++) {
        char c = *p;
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '_' || (c == '.' && dots == 1);
        if (!ok) return 0;
    }
    return 1;
}

void serve_run(int client, const char *body) {
    char operation[operation_size], action[action_size], name[name_size];
    form(body, "operation", operation, sizeof operation);
    form(body, "action", action, sizeof action);
    form(body, "name", name, sizeof name);
    const char *argv[argument_slots];
    if (const char *refusal = command_line(operation, action, name, argv)) {
        message(client, 400, refusal);
        return;
    }

    reap();
    uint32_t number = job_running() ? 0 : start_job(argv);
    if (number == 0) {
        message(client, 409, "Another task is running\n");
        return;
    }
    audit_task(number, operation, argv);
    char reply[64];
    int size = snprintf(reply, sizeof reply, "{\"job\":%u}", number);
    respond(client, 200, json_type, reply, static_cast<size_t>(size));
}
