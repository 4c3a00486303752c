#pragma once
// The status command ("-s"): what the service is doing and did, read from the service
// control manager, the product key and the recorded state (schedule/state_record.h). It
// needs no elevation, and starts, stops, writes and logs nothing.
#include "schedule/state_record.h"

#include <string>

// The report for a person, lines ending in CR LF, and the command's exit code:
// 0 running with nothing to mend, 1 running with a warning or a failed last run or query,
// 3 not installed or not running (StatusExitCode).
std::wstring StatusReport(int& exitCode);

// The same facts as one JSON object (service/status_json.h), for monitoring tools; the same
// exit code. The names are those of the recorded state where it holds them; docs/
// administrators.md ("Status for monitoring") describes each.
std::wstring StatusJson(int& exitCode);

// The summary of a pass (ApplicationsRegistered, ApplicationsFailing, Warnings) as the
// status command counts it: the counter the service gives the scheduling
// (SetPassSummaryCounter). False when it could not count.
bool CountStatusSummary(PassSummary& summary);

// Writes StatusReport, or StatusJson when json is true, to standard output and returns its
// exit code.
int ShowStatus(bool json = false);
