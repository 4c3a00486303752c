#include "schedule/schedule_events.h"

#include "log/event_log.h"
#include "schedule/state_record.h"
#include "support/console_text.h"
#include "support/never_destroyed.h"
#include "support/text_format.h"

#include <set>

namespace {

// The applications whose query program failed last time; the worker thread's alone.
std::set<std::wstring>& FailingQueries()
{
    static NeverDestroyed<std::set<std::wstring>> failing;
    return *failing;
}

}  // namespace

void CMainTaskEvents::Started()
{
    ReportServiceEvent(EventKind::TaskStarted, {m_application, m_commandLine});
}

void CMainTaskEvents::NotStarted(DWORD error)
{
    CoverNextFailure(error);
    ReportServiceEvent(EventKind::TaskNotStarted,
                       {m_application, std::to_wstring(error), SystemErrorText(error)});
}

void ReportMainTaskEnd(const std::wstring& application, RunOutcome outcome, int exitCode,
                       DWORD elapsedMs, bool stopping)
{
    if (stopping)
        return;
    if (outcome == RunOutcome::KilledAtLimit)
        ReportServiceEvent(EventKind::TaskAtLimit, {application});
    else if (outcome == RunOutcome::Ended)
        ReportServiceEvent(EventKind::TaskEnded, {application, std::to_wstring(exitCode),
                                                  std::to_wstring(elapsedMs / 1000)});
}

void NoteQueryResult(const std::wstring& application, int exitCode, bool stopping)
{
    if (stopping)
        return;
    std::set<std::wstring>& failing = FailingQueries();
    if (exitCode != 0) {
        if (failing.insert(application).second)
            ReportServiceEvent(EventKind::QueryFailing, {application, std::to_wstring(exitCode)});
    } else if (failing.erase(application) != 0) {
        ReportServiceEvent(EventKind::QueryAnswering, {application});
    }
}

void ReportPushScriptEnded(const std::wstring& command, HANDLE process, bool stopping)
{
    if (!process || stopping)
        return;
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process, &exitCode))
        return;
    ReportServiceEvent(EventKind::PushScriptEnded,
                       {command, std::to_wstring(static_cast<int>(exitCode))});
}

std::wstring LatenessReason(const LatenessFacts& facts)
{
    constexpr ULONGLONG kSleepWorthTelling = 60;
    if (facts.SleptSeconds >= kSleepWorthTelling)
        return L"the computer slept " + FormatDuration(facts.SleptSeconds) + L" and was not woken";
    if (!facts.LastTaskApplication.empty() && facts.LastTaskEnd > facts.Due)
        return L"the main task of the application " + facts.LastTaskApplication + L" ran until then";
    if (facts.SpacingEnd > facts.Due)
        return L"the four-minute spacing after the last run";
    return L"the reason is not known";
}

void ReportLateRun(const std::wstring& application, const LatenessFacts& facts, bool stopping)
{
    if (stopping || facts.Start < facts.Due)
        return;
    ReportServiceEvent(EventKind::TaskLate,
                       {application, FormatLocalDateTime(FileTimeFromUnixSeconds(facts.Due)),
                        FormatDuration(facts.Start - facts.Due), LatenessReason(facts)});
}

void ReportRunMissed(const std::wstring& application, ULONGLONG due)
{
    ReportServiceEvent(EventKind::RunMissed,
                       {application, FormatLocalDateTime(FileTimeFromUnixSeconds(due))});
}

void ReportWakeNotSupported(DWORD error)
{
    ReportServiceEvent(EventKind::WakeNotSupported, {std::to_wstring(error), SystemErrorText(error)});
}
