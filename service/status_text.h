#pragma once
// The text of the status command ("-s"): plain functions over what was read, so that every
// line can be checked with fixed inputs. Lines end in CR LF where a function returns lines.
#include "schedule/state_record.h"
#include "support/power_settings.h"
#include "support/text_format.h"

#include <windows.h>

#include <string>
#include <vector>

// Turns UTC seconds since 1970 into the calendar time a person reads.
using LocalTimeOf = SYSTEMTIME (*)(ULONGLONG unixSeconds);
// The system's time zone, with the rules of that date (daylight saving included).
SYSTEMTIME LocalTimeOfUnixSeconds(ULONGLONG unixSeconds);
// UTC itself: for fixed-input tests.
SYSTEMTIME UtcTimeOfUnixSeconds(ULONGLONG unixSeconds);

struct StatusClock {
    ULONGLONG Now = 0;                 // UTC seconds since 1970
    LocalTimeOf ToLocal = &LocalTimeOfUnixSeconds;
};

// A moment in local time: "10:12" on today's date, "tomorrow 00:05", "yesterday 23:50",
// otherwise "2024-03-07 09:00".
std::wstring FormatMoment(ULONGLONG when, const StatusClock& clock);

// A moment and how far it lies from now: "10:14 (in 12 min)", "09:00 (12 min ago)",
// "10:14 (now)".
std::wstring FormatDueMoment(ULONGLONG when, const StatusClock& clock);

// An exit code as a person reads it: decimal, -1 for 0xFFFFFFFF, other values with the top
// bit set in hexadecimal ("0xC0000005").
std::wstring FormatExitCode(DWORD code);

// One application's row of the table.
struct ApplicationRow {
    std::wstring Name;
    std::wstring NextDue;          // "-" when nothing is due
    std::wstring LastRun;          // "-" when it never ran
    std::wstring Result;           // in words, with a late start, a failed last query and
                                   // missed runs added
    bool NeedsAttention = false;   // a failed last run or query
};

// errorText gives the system's text for a Windows error code (empty when it has none).
// serviceRunning tells whether a run recorded as running is still running.
ApplicationRow MakeApplicationRow(const std::wstring& name, const ApplicationState& state,
                                  bool serviceRunning, const StatusClock& clock,
                                  std::wstring (*errorText)(DWORD));

// The table: a heading and one line per row, the columns padded to their widest entry.
std::wstring FormatApplicationTable(const std::vector<ApplicationRow>& rows);

// A warning of the status command: a code that stays the same from version to version
// ("unquoted-path"), the application it concerns (empty for none) and its text, without its
// line end.
struct StatusWarning {
    std::wstring Code;
    std::wstring Application;
    std::wstring Text;
};

// Registry text as the text report shows it: each control character (below 0x20, and DEL) in
// caret notation, ^G for 0x07, ^[ for ESC, ^? for DEL, so that a value cannot forge a line or
// move the cursor. Everything else is kept.
std::wstring ShowableText(const std::wstring& text);

// What an administrator should mend in one application's registration, one warning each: a
// missing Scheduler, Scanner or AppDir ("registration-missing-value"); a command line whose
// program path holds a space and is not quoted ("unquoted-path"), whether that program
// exists or not; a program ("missing-program") or AppDir ("missing-app-dir") that does not
// exist. fileExists answers for a path or, for a bare program name, the search path. For a
// command line that is not quoted and names no existing program, the program is taken to
// end at the first candidate that ends in ".exe", ".com", ".bat" or ".cmd", else at the
// first blank.
std::vector<StatusWarning> RegistrationFindings(const std::wstring& name,
                                                const std::wstring& scheduler,
                                                const std::wstring& scanner,
                                                const std::wstring& appDir,
                                                bool (*fileExists)(const std::wstring&),
                                                bool (*directoryExists)(const std::wstring&));
// The texts of RegistrationFindings.
std::vector<std::wstring> RegistrationWarnings(const std::wstring& name,
                                               const std::wstring& scheduler,
                                               const std::wstring& scanner,
                                               const std::wstring& appDir,
                                               bool (*fileExists)(const std::wstring&),
                                               bool (*directoryExists)(const std::wstring&));

// How the computer is woken for a due time, without its line end: "Waking: wake timers
// enabled on mains power, disabled on battery; the computer accepted the wake timer when it
// was last armed". Each power source's setting is enabled, disabled, important wake timers
// only or unknown; the computer's acceptance is state.WakeKnown and state.WakeSupported.
std::wstring WakingLine(const WakeTimerSettings& timers, const RecordedServiceState& state);

// What keeps the computer from being woken for a due time, one warning per line without
// its line end: wake timers disabled on mains power (with the commands that allow them), a
// computer that did not accept the wake timer when it was last armed.
std::vector<std::wstring> WakingWarnings(const WakeTimerSettings& timers,
                                         const RecordedServiceState& state);

// WakingWarnings with their codes: "wake-timers-disabled", "wake-not-accepted".
std::vector<StatusWarning> WakingFindings(const WakeTimerSettings& timers,
                                          const RecordedServiceState& state);

// How long after the worker's last sign of life (a pass's start or end, the recording
// process's start, a run's end) the status command tells that the worker may have ended: the
// wait's bound (30 minutes) and a margin for the spacing after a run and a pass itself.
ULONGLONG StalePassSeconds();

// The "stale-pass" warning, or nothing (an empty Code): while the service runs in the
// process that recorded State, no task runs, and the last sign of life (lastActivity) lies
// more than StalePassSeconds() before now, the worker may have ended (event 1901).
StatusWarning StalePassWarning(bool serviceRunsTheRecordingProcess, bool taskRunning,
                               ULONGLONG lastActivity, ULONGLONG now);

// When the next pass begins, in UTC seconds, or 0 when that is not known (a pass or a run is
// going on). After the run of the pass's chosen application (lastRunStart at or after the
// pass's end) the next pass comes at the end of the spacing, spacingSeconds from the run's
// start; otherwise at state.NextPass. A moment already past gives now: the pass is due.
ULONGLONG NextPassMoment(const RecordedServiceState& state, const ApplicationState& appToRun,
                         ULONGLONG spacingSeconds, ULONGLONG now);

// The command's exit code: 3 when the service is not installed or not running (state is a
// SERVICE_* state, 0 for not installed); otherwise 1 when something needs attention, else 0.
int StatusExitCode(DWORD serviceState, bool needsAttention);

// The words for a service state: "running", "stopped", "starting", "stopping", ...
std::wstring ServiceStateWords(DWORD serviceState);
