#pragma once
// The installer's check after it has had the service installed and started: an installation
// that left no running service must fail, not report success.
#include <windows.h>

// The argument that runs the check (not one of the one-letter options, whose exit code is
// always 0).
inline constexpr const wchar_t* kInstallCheckArgument = L"--check-installed";

// How long the check waits for the service to report SERVICE_RUNNING.
inline constexpr DWORD kInstallCheckWaitMs = 30000;

// The exit code of "--check-installed": 0 when the service is installed and reports
// SERVICE_RUNNING within timeoutMs, 1 otherwise (logged at level 0 with the reason). Waits
// only while the service is installed and not yet running.
int CheckInstallation(DWORD timeoutMs = kInstallCheckWaitMs);
