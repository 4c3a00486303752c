#pragma once
// The scheduling's events for the Event Log (log/event_log.h): a main task's start, end,
// limit or failure to start; an application's query program that fails and answers again;
// the push script's end.
#include "schedule/child_process.h"

#include <windows.h>

#include <string>

// What a main task's RunAndWait tells (schedule/child_process.h): its start is reported as
// 1100, its failure to start as 1103, and that failure is then kept from also becoming
// event 1999. Worker thread.
class CMainTaskEvents : public CRunObserver {
public:
    CMainTaskEvents(const std::wstring& application, const std::wstring& commandLine)
        : m_application(application), m_commandLine(commandLine) {}
    CMainTaskEvents(const CMainTaskEvents&) = delete;
    CMainTaskEvents& operator=(const CMainTaskEvents&) = delete;

    void Started() override;
    void NotStarted(DWORD error) override;

private:
    const std::wstring& m_application;
    const std::wstring& m_commandLine;
};

// After a main task's RunAndWait: 1101 when it ended by itself (with its exit code and
// how long it ran), 1102 when it was ended at its limit; nothing when it did not start
// (1103 said so) or while the scheduling is stopping (the stop ended it).
void ReportMainTaskEnd(const std::wstring& application, RunOutcome outcome, int exitCode,
                       DWORD elapsedMs, bool stopping);

// After an application's query program: exit code 0 is an answer, anything else (-1 for
// the limit, 9999 for no start) a failure. The first failure after answers reports 1200,
// the first answer after failures 1201; an application starts out answering. Nothing is
// noted while the scheduling is stopping. Worker thread.
void NoteQueryResult(const std::wstring& application, int exitCode, bool stopping);

// The push script's run in process has ended and is relaunched after the pause: 1300 with
// its exit code. Nothing for a null process (no run) or while the push script is stopping.
void ReportPushScriptEnded(const std::wstring& command, HANDLE process, bool stopping);

// What is known of why a run started late: how long the computer slept between the arm of
// its due time and the run, and the last main task before it (of any application) with the
// end of the spacing after it. UTC seconds.
struct LatenessFacts {
    ULONGLONG Due = 0;
    ULONGLONG Start = 0;
    ULONGLONG SleptSeconds = 0;
    std::wstring LastTaskApplication;   // empty when no task ran before in this process
    ULONGLONG LastTaskEnd = 0;
    ULONGLONG SpacingEnd = 0;
};

// The reason a late run gives, in words: the sleep first (a minute or more of it), then
// another application's task that ran past the due time, then the spacing after a run;
// "the reason is not known" when none applies.
std::wstring LatenessReason(const LatenessFacts& facts);

// 1104 for a run that started late: the application, the due time in local time, the
// lateness and LatenessReason. Nothing while the scheduling is stopping. Worker thread.
void ReportLateRun(const std::wstring& application, const LatenessFacts& facts, bool stopping);

// 1105: the application's due time (UTC seconds) passed while the service was not running.
void ReportRunMissed(const std::wstring& application, ULONGLONG due);

// 1400: the computer did not accept the wake flag of the wait timer (error is what
// SetWaitableTimer left as the last error).
void ReportWakeNotSupported(DWORD error);
