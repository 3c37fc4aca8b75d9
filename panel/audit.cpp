// The panel's audit trail: one line per task started and counted sign-in
// failures, each line stamped with the UTC time.
#include "panel/audit.h"

#include <unistd.h>

#include <cstdio>

#include "platform/monotonic.h"
#include "servicelog/servicelog.h"

namespace {

constexpr size_t line_size = 512;  // a task's fields are at most 31 + 31 + 63 bytes

unsigned long failed_sign_ins;  // since the last line about them
long long last_report = -1;     // monotonic ms of that line; -1 before the first

// Writes one stamped line to standard error with a single write.
void audit_line(const char *text) {
    char stamp[service_log_stamp_size];
    service_log_stamp(stamp, sizeof stamp);
    dprintf(STDERR_FILENO, "[%s] %s\n", stamp, text);
}

void report_failures() {
    char text[line_size];
    snprintf(text, sizeof text, "%lu request%s failed authentication", failed_sign_ins,
             failed_sign_ins == 1 ? "" : "s");
    audit_line(text);
    failed_sign_ins = 0;
    last_report = monotonic_ms();
}

}  // namespace

void audit_task(uint32_t number, const char *operation, const char *const argv[]) {
    char text[line_size];
    int used = snprintf(text, sizeof text, "job %u: %s", number, operation);
    for (size_t i = 1; argv[i] && used >= 0 && static_cast<size_t>(used) < sizeof text; i++)
        used += snprintf(text + used, sizeof text - static_cast<size_t>(used), " %s", argv[i]);
    audit_line(text);
}

void audit_failed_sign_in() {
    failed_sign_ins++;
    if (last_report < 0 || monotonic_ms() - last_report >= sign_in_report_ms) report_failures();
}

void audit_flush() {
    if (failed_sign_ins > 0 && monotonic_ms() - last_report >= sign_in_report_ms) report_failures();
}
