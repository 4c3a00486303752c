#include "log/event_log.h"

#include "log/logger.h"
#include "support/never_destroyed.h"
#include "support/srw_lock.h"

#include <event_messages.h>

#include <algorithm>
#include <cwchar>

const EventDefinition kEventDefinitions[15] = {
    {EventKind::ServiceStarted, MSG_SERVICE_STARTED, EVENTLOG_INFORMATION_TYPE, 1},
    {EventKind::ServiceStopped, MSG_SERVICE_STOPPED, EVENTLOG_INFORMATION_TYPE, 1},
    {EventKind::TaskStarted, MSG_TASK_STARTED, EVENTLOG_INFORMATION_TYPE, 2},
    {EventKind::TaskEnded, MSG_TASK_ENDED, EVENTLOG_INFORMATION_TYPE, 3},
    {EventKind::TaskAtLimit, MSG_TASK_AT_LIMIT, EVENTLOG_WARNING_TYPE, 1},
    {EventKind::TaskNotStarted, MSG_TASK_NOT_STARTED, EVENTLOG_ERROR_TYPE, 3},
    {EventKind::TaskLate, MSG_TASK_LATE, EVENTLOG_WARNING_TYPE, 4},
    {EventKind::RunMissed, MSG_RUN_MISSED, EVENTLOG_WARNING_TYPE, 2},
    {EventKind::QueryFailing, MSG_QUERY_FAILING, EVENTLOG_WARNING_TYPE, 2},
    {EventKind::QueryAnswering, MSG_QUERY_ANSWERING, EVENTLOG_INFORMATION_TYPE, 1},
    {EventKind::PushScriptEnded, MSG_PUSH_SCRIPT_ENDED, EVENTLOG_WARNING_TYPE, 2},
    {EventKind::WakeNotSupported, MSG_WAKE_NOT_SUPPORTED, EVENTLOG_WARNING_TYPE, 2},
    {EventKind::LogFolderUnusable, MSG_LOG_FOLDER_UNUSABLE, EVENTLOG_WARNING_TYPE, 2},
    {EventKind::ThreadEnded, MSG_THREAD_ENDED, EVENTLOG_ERROR_TYPE, 1},
    {EventKind::Failure, MSG_FAILURE, EVENTLOG_ERROR_TYPE, 1},
};

namespace {

// The longest insert passed; ReportEventW takes at most 31,839 characters per string.
constexpr size_t kMostInsertCharacters = 2048;
// Past this many remembered reports, those older than the repeat time are forgotten.
constexpr size_t kThrottlePruneSize = 256;

CSrwLock ReportLock;
CEventSink* Sink GUARDED_BY(ReportLock) = nullptr;
CEventThrottle& Throttle() REQUIRES(ReportLock)
{
    static NeverDestroyed<CEventThrottle> throttle;
    return *throttle;
}
LONG volatile ReportFailures = 0;

// The log-folder problem noted at start-up, reported once reporting starts. Written and
// read only by the entry point's thread, before the worker threads exist.
NeverDestroyed<std::wstring> PendingFolderPath;
NeverDestroyed<std::wstring> PendingFolderReason;

thread_local DWORD CoveredFailure = ERROR_SUCCESS;

// The Application log, through the registered source.
class CWindowsEventSink : public CEventSink {
public:
    explicit CWindowsEventSink(HANDLE source) : m_source(source) {}
    bool Report(WORD type, DWORD messageId, const std::vector<std::wstring>& inserts) override
    {
        std::vector<LPCWSTR> strings(inserts.size());
        std::transform(inserts.begin(), inserts.end(), strings.begin(),
                       [](const std::wstring& insert) { return insert.c_str(); });
        return ReportEventW(m_source, type, /*wCategory=*/0, messageId, /*lpUserSid=*/nullptr,
                            static_cast<WORD>(strings.size()), /*dwDataSize=*/0,
                            strings.empty() ? nullptr : strings.data(),
                            /*lpRawData=*/nullptr) != FALSE;
    }

private:
    HANDLE m_source;   // for the life of the process, like the threads that report
};

std::wstring Decimal(long long value) { return std::to_wstring(value); }

// The Event Log as one of the log's sinks: it takes the level-0 lines.
class CFailureLogSink : public CLogSink {
public:
    bool Takes(int level, bool /*written*/) const override { return level == 0; }
    void Take(const LogLine& line) override
    {
        ReportLoggedFailure(line.Level, line.Error, line.Message);
    }
};

// Never destroyed: a thread may still log while the process ends.
NeverDestroyed<CFailureLogSink> TheFailureLogSink;

}  // namespace

const EventDefinition& DefinitionOf(EventKind kind)
{
    return kEventDefinitions[static_cast<size_t>(kind)];
}

bool CEventThrottle::Admit(DWORD messageId, const std::vector<std::wstring>& inserts,
                           ULONGLONG nowMs)
{
    // The inserts cannot hold a NUL, so NUL separates them unambiguously.
    std::wstring key = std::to_wstring(messageId);
    for (const std::wstring& insert : inserts) {
        key += L'\0';
        key += insert;
    }
    if (m_lastReported.size() > kThrottlePruneSize) {
        for (auto it = m_lastReported.begin(); it != m_lastReported.end();) {
            if (nowMs - it->second >= kEventRepeatMs)
                it = m_lastReported.erase(it);
            else
                ++it;
        }
    }
    const auto found = m_lastReported.find(key);
    if (found != m_lastReported.end() && nowMs - found->second < kEventRepeatMs)
        return false;
    m_lastReported[key] = nowMs;
    return true;
}

void SetEventSink(CEventSink* sink)
{
    {
        ExclusiveLock hold(ReportLock);
        Sink = sink;
        Throttle() = CEventThrottle();
    }
    if (sink)
        AddLogSink(&TheFailureLogSink.Get());
    else
        RemoveLogSink(&TheFailureLogSink.Get());
}

void StartEventReporting()
{
    HANDLE source = RegisterEventSourceW(/*lpUNCServerName=*/nullptr, kEventSourceName);
    if (!source) {
        LOG_LAST_ERROR(0, L"RegisterEventSource failed, error code = %d");
        return;
    }
    static NeverDestroyed<CWindowsEventSink> sink(source);
    SetEventSink(&sink.Get());
    if (!PendingFolderPath->empty()) {
        ReportServiceEvent(EventKind::LogFolderUnusable, {*PendingFolderPath, *PendingFolderReason});
        PendingFolderPath->clear();
        PendingFolderReason->clear();
    }
}

void ReportServiceEvent(EventKind kind, std::vector<std::wstring> inserts)
{
    const EventDefinition& definition = DefinitionOf(kind);
    inserts.resize(definition.Inserts);
    for (std::wstring& insert : inserts) {
        if (insert.size() > kMostInsertCharacters)
            insert.resize(kMostInsertCharacters);
        // Within an insert a NUL would end it early.
        insert.resize(std::wcslen(insert.c_str()));
    }
    CEventSink* sink = nullptr;
    {
        ExclusiveLock hold(ReportLock);
        if (!Sink || !Throttle().Admit(definition.MessageId, inserts, GetTickCount64()))
            return;
        sink = Sink;
    }
    const DWORD savedError = GetLastError();
    if (!sink->Report(definition.Type, definition.MessageId, inserts))
        InterlockedIncrement(&ReportFailures);
    SetLastError(savedError);
}

LONG EventReportFailures() { return ReportFailures; }

void ReportLoggedFailure(int level, const LoggedError& error, const wchar_t* message)
{
    if (level != 0 || error.Origin == ErrorOrigin::None || error.Code == ERROR_SUCCESS)
        return;
    if (CoveredFailure == error.Code) {
        CoveredFailure = ERROR_SUCCESS;
        return;
    }
    try {
        ReportServiceEvent(EventKind::Failure, {message ? message : L""});
    } catch (...) {
        // Out of memory: the event is lost, the line is not.
    }
}

void CoverNextFailure(DWORD code) { CoveredFailure = code; }

void ReportServiceStarted()
{
    ReportServiceEvent(EventKind::ServiceStarted, {L"" VARNHOLT_VERSION_TEXT});
}

void ReportServiceStopped(ULONGLONG stopMs)
{
    ReportServiceEvent(EventKind::ServiceStopped, {Decimal(static_cast<long long>(stopMs))});
    const LONG failures = EventReportFailures();
    if (failures != 0)
        LOG(0, L"%d reports to the Event Log failed", failures);
}

void NoteLogFolderProblem(const std::wstring& path, const std::wstring& reason)
{
    *PendingFolderPath = path;
    *PendingFolderReason = reason;
    while (!PendingFolderReason->empty() &&
           (PendingFolderReason->back() == L'\n' || PendingFolderReason->back() == L'\r'))
        PendingFolderReason->pop_back();
}

void ReportThreadEnded(const wchar_t* ending)
{
    ReportServiceEvent(EventKind::ThreadEnded, {ending ? ending : L""});
}
