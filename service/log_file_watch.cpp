#include "service/log_file_watch.h"

#include "log/event_log.h"
#include "log/logger.h"
#include "schedule/state_record.h"
#include "support/console_text.h"
#include "support/never_destroyed.h"
#include "support/srw_lock.h"
#include "support/thread_annotations.h"

#include <windows.h>

#include <string>

namespace {

// How long after one loss is told the next one is told again.
constexpr ULONGLONG kLossTellGapMs = 3600000;

// The handler may be called from any thread that logs; one at a time.
CSrwLock WatchLock;
bool Told GUARDED_BY(WatchLock) = false;
ULONGLONG ToldAtMs GUARDED_BY(WatchLock) = 0;
bool Recorded GUARDED_BY(WatchLock) = false;
DWORD RecordedCode GUARDED_BY(WatchLock) = 0;

CStateRecorder& LogStateRecorder() REQUIRES(WatchLock)
{
    static NeverDestroyed<CStateRecorder> recorder;
    return *recorder;
}

void OnLogFileLoss(DWORD code, const std::wstring& path)
{
    ExclusiveLock hold(WatchLock);
    const bool wasLost = Recorded && RecordedCode != ERROR_SUCCESS;
    if (!Recorded || RecordedCode != code) {
        LogStateRecorder().RecordLogFileError(code);
        Recorded = true;
        RecordedCode = code;
    }
    if (code == ERROR_SUCCESS) {
        if (wasLost)
            LOG(1, L"The log file %s is open again", path.c_str());
        return;
    }
    const ULONGLONG now = GetTickCount64();
    if (Told && now - ToldAtMs < kLossTellGapMs)
        return;
    Told = true;
    ToldAtMs = now;
    // Its own event says it; the line goes to the debugger output, the file being lost.
    CoverNextFailure(code);
    LOG_FAILURE(0, code, L"The log file %s cannot be used, error code = %d", path.c_str());
    ReportServiceEvent(EventKind::LogFolderUnusable, {path, SystemErrorText(code)});
}

}  // namespace

void StartLogFileWatch() { SetLogFileLossHandler(OnLogFileLoss); }

void ResetLogFileWatchForTests()
{
    ExclusiveLock hold(WatchLock);
    Told = false;
    ToldAtMs = 0;
    Recorded = false;
    RecordedCode = 0;
}
