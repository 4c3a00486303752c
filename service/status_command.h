#pragma once
// The status command ("-s"): what the service is doing and did, read from the service
// control manager, the product key and the recorded state (schedule/state_record.h). It
// needs no elevation, and starts, stops, writes and logs nothing.
#include <string>

// The report for a person, lines ending in CR LF, and the command's exit code:
// 0 running with nothing to mend, 1 running with a warning or a failed last run or query,
// 3 not installed or not running (StatusExitCode).
std::wstring StatusReport(int& exitCode);

// Writes StatusReport to standard output and returns its exit code.
int ShowStatus();
