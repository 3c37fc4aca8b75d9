// The panel's audit trail on standard error, and so in the service log:
// every task started, and failed sign-ins counted at most a line per 10 s,
// so that guessing cannot flood the log. Never a credential.
#pragma once

#include <cstdint>

constexpr long long sign_in_report_ms = 10000;  // shortest gap between two sign-in lines

// "job N: OPERATION ARGUMENTS": the operation asked for and the arguments
// that reached the tool (argv after the tool's path, null-terminated).
void audit_task(uint32_t number, const char *operation, const char *const argv[]);
// One request that failed authentication: a line now when none was written
// in the last 10 s, otherwise counted for the next one.
void audit_failed_sign_in();
// From the server loop: the line for counted failures once 10 s have
// passed since the last one.
void audit_flush();
