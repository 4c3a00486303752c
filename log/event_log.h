#pragma once
// What goes wrong, and the service's milestones, reach the Windows Event Log (Application log,
// source "Varnholt Scheduling") as a small set of events whose texts are in the executable's
// message table (log/event_messages.mc). Events are reported in service mode only: until
// StartEventReporting (or a test's SetEventSink) gives a sink, every report is dropped.
//
// Reporting never stops the work and never logs (a log line can itself become an event, and
// a failure to report it must not loop): a report that fails is counted, and the count is
// logged when the service stops. An event with the same ID and the same inserts as one
// reported within the last hour is not reported again. Any thread.
#include "log/logged_error.h"
#include "support/product_names.h"

#include <windows.h>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

// The source's name and its registration under the Application log.
inline constexpr const wchar_t* kEventSourceKey =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Varnholt Scheduling";
// EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE
inline constexpr DWORD kEventTypesSupported = 7;

// How long an event with the same ID and inserts is kept from being reported again.
inline constexpr ULONGLONG kEventRepeatMs = 3600000;

enum class EventKind {
    ServiceStarted,     // 1000 [version]
    ServiceStopped,     // 1001 [milliseconds the stop took]
    TaskStarted,        // 1100 [application, command line]
    TaskEnded,          // 1101 [application, exit code, seconds]
    TaskAtLimit,        // 1102 [application]
    TaskNotStarted,     // 1103 [application, error code, its text]
    TaskLate,           // 1104 [application, due time, lateness, reason]
    RunMissed,          // 1105 [application, due time]
    QueryFailing,       // 1200 [application, exit code]
    QueryAnswering,     // 1201 [application]
    PushScriptEnded,    // 1300 [command, exit code]
    WakeNotSupported,   // 1400 [error code, its text]
    LogFolderUnusable,  // 1900 [path, reason]
    ThreadEnded,        // 1901 [which thread, as its log line says]
    Failure,            // 1999 [the log line's text]
};

struct EventDefinition {
    EventKind Kind;
    DWORD MessageId;   // the full ID of the message table, severity bits included
    WORD Type;         // EVENTLOG_INFORMATION_TYPE, _WARNING_TYPE or _ERROR_TYPE
    size_t Inserts;    // how many strings each report of it passes
};

// Every event, in the order of EventKind.
extern const EventDefinition kEventDefinitions[15];
const EventDefinition& DefinitionOf(EventKind kind);

// The ID an administrator sees: the low 16 bits of the message ID.
inline WORD VisibleEventId(DWORD messageId) { return static_cast<WORD>(messageId & 0xFFFF); }

// Where reports go. Report returns false when the report failed.
class CEventSink {
public:
    virtual ~CEventSink() = default;
    virtual bool Report(WORD type, DWORD messageId, const std::vector<std::wstring>& inserts) = 0;
};

// Remembers which events were reported when, so that a repeat within kEventRepeatMs is
// kept back. Not locked: its owner locks.
class CEventThrottle {
public:
    // True, and noted at nowMs, when no event with this ID and these inserts was admitted
    // within kEventRepeatMs before nowMs.
    bool Admit(DWORD messageId, const std::vector<std::wstring>& inserts, ULONGLONG nowMs);

private:
    std::map<std::wstring, ULONGLONG> m_lastReported;
};

// Sets where reports go (null: nowhere) and forgets the reports of the last hour. The
// service sets it once before its threads start; tests set a recording sink. Not owned.
// While a sink is set, the Event Log is one of the log's sinks (ReportLoggedFailure).
void SetEventSink(CEventSink* sink);

// Service mode: registers the event source for reporting (RegisterEventSourceW; a failure
// is logged and leaves reporting off) and reports the log-folder problem noted at start-up,
// if any. Call once, before the worker threads start.
void StartEventReporting();

// Reports one event with its inserts (as many as its definition says; missing ones are
// passed empty, extra ones dropped), unless no sink is set or it repeats one of the last
// hour.
void ReportServiceEvent(EventKind kind, std::vector<std::wstring> inserts);

// How many reports failed since the process started.
LONG EventReportFailures();

// What the Event Log takes from the log: a level-0 line that carries a system error code
// becomes event 1999 with the line's message, unless the same thread has just reported
// that failure under an event of its own (CoverNextFailure).
void ReportLoggedFailure(int level, const LoggedError& error, const wchar_t* message);

// Keeps the calling thread's next level-0 line carrying this error code from becoming event
// 1999: the failure has been reported under an event of its own.
void CoverNextFailure(DWORD code);

// Events of the service host.
void ReportServiceStarted();
// Reports 1001 and then logs, at level 0, how many reports failed, if any did.
void ReportServiceStopped(ULONGLONG stopMs);
// Start-up, before the log and the reporting exist: notes that the log folder at path is
// not used and why (text without a line end); StartEventReporting reports it.
void NoteLogFolderProblem(const std::wstring& path, const std::wstring& reason);
// A worker thread ended on an exception; ending is its log line.
void ReportThreadEnded(const wchar_t* ending);

