#include "schedule/schedule_events.h"

#include "log/event_log.h"
#include "schedule/child_process.h"
#include "support/console_text.h"

#include <set>

namespace {

// The applications whose query program failed last time; the worker thread's alone.
std::set<std::wstring>& FailingQueries()
{
    static std::set<std::wstring>* const failing = new std::set<std::wstring>();   // never destroyed
    return *failing;
}

}  // namespace

void CMainTaskEvents::Started()
{
    ReportServiceEvent(EventKind::TaskStarted, {m_application, m_commandLine});
}

void CMainTaskEvents::NotStarted(DWORD error)
{
    m_launchError = error;
    CoverNextFailure(error);
    ReportServiceEvent(EventKind::TaskNotStarted,
                       {m_application, std::to_wstring(error), SystemErrorText(error)});
}

void ReportMainTaskEnd(const std::wstring& application, RunOutcome outcome, int exitCode,
                       DWORD elapsedMs)
{
    if (SchedulerStopFlag)
        return;
    if (outcome == RunOutcome::KilledAtLimit)
        ReportServiceEvent(EventKind::TaskAtLimit, {application});
    else if (outcome == RunOutcome::Ended)
        ReportServiceEvent(EventKind::TaskEnded, {application, std::to_wstring(exitCode),
                                                  std::to_wstring(elapsedMs / 1000)});
}

void NoteQueryResult(const std::wstring& application, int exitCode)
{
    if (SchedulerStopFlag)
        return;
    std::set<std::wstring>& failing = FailingQueries();
    if (exitCode != 0) {
        if (failing.insert(application).second)
            ReportServiceEvent(EventKind::QueryFailing, {application, std::to_wstring(exitCode)});
    } else if (failing.erase(application) != 0) {
        ReportServiceEvent(EventKind::QueryAnswering, {application});
    }
}

void ReportPushScriptEnded(const std::wstring& command, HANDLE process)
{
    if (!process || PushStopFlag)
        return;
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process, &exitCode))
        return;
    ReportServiceEvent(EventKind::PushScriptEnded,
                       {command, std::to_wstring(static_cast<int>(exitCode))});
}
