#include "schedule/state_record.h"

#include "log/logger.h"
#include "support/registry_key.h"
#include "support/unique_resource.h"

#include <atomic>

namespace {

constexpr ULONGLONG kUnitsPerSecond = 10000000;   // FILETIME's 100-ns units
constexpr ULONGLONG kUnixEpochUnits = 116444736000000000ULL;   // 1970-01-01 as a FILETIME

// The value names, written exactly as stored.
const wchar_t kLastPassStart[] = L"LastPassStart";
const wchar_t kLastPassEnd[] = L"LastPassEnd";
const wchar_t kNextPass[] = L"NextPass";
const wchar_t kAppToRun[] = L"AppToRun";
const wchar_t kApplicationsChecked[] = L"ApplicationsChecked";
const wchar_t kServiceStart[] = L"ServiceStart";
const wchar_t kServiceProcessId[] = L"ServiceProcessId";
const wchar_t kPushScriptStart[] = L"PushScriptStart";
const wchar_t kPushScriptRestarts[] = L"PushScriptRestarts";
const wchar_t kPushScriptProcessId[] = L"PushScriptProcessId";
const wchar_t kLastQueryTime[] = L"LastQueryTime";
const wchar_t kLastQueryExitCode[] = L"LastQueryExitCode";
const wchar_t kLastAnswer[] = L"LastAnswer";
const wchar_t kNextDue[] = L"NextDue";
const wchar_t kLastRunStart[] = L"LastRunStart";
const wchar_t kLastRunEnd[] = L"LastRunEnd";
const wchar_t kLastRunExitCode[] = L"LastRunExitCode";
const wchar_t kLastRunOutcome[] = L"LastRunOutcome";
const wchar_t kLastRunError[] = L"LastRunError";
const wchar_t kRunning[] = L"Running";
const wchar_t kLastRunDue[] = L"LastRunDue";
const wchar_t kLastRunSlept[] = L"LastRunSlept";
const wchar_t kMissedRuns[] = L"MissedRuns";
const wchar_t kLastMissedDue[] = L"LastMissedDue";
const wchar_t kWakeSupported[] = L"WakeSupported";
const wchar_t kLogFileError[] = L"LogFileError";
const wchar_t kApplicationsRegistered[] = L"ApplicationsRegistered";
const wchar_t kApplicationsFailing[] = L"ApplicationsFailing";
const wchar_t kWarnings[] = L"Warnings";

// Set before the worker starts; read by the worker at each pass's end.
std::atomic<PassSummaryCounter> SummaryCounter{nullptr};

constexpr REGSAM kStateAccess = KEY_READ | KEY_WRITE | DELETE;

LONG volatile StateRecordingOff = 0;

// Collects the first failing status of a series of writes to one key.
class CValueWriter {
public:
    explicit CValueWriter(HKEY key) : m_key(key) {}
    void Qword(const wchar_t* name, ULONGLONG value)
    {
        Keep(RegSetValueExW(m_key, name, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&value),
                            sizeof(value)));
    }
    void Dword(const wchar_t* name, DWORD value)
    {
        Keep(RegSetValueExW(m_key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                            sizeof(value)));
    }
    void String(const wchar_t* name, const std::wstring& value)
    {
        Keep(RegSetValueExW(m_key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))));
    }
    void Remove(const wchar_t* name)
    {
        const LONG status = RegDeleteValueW(m_key, name);
        if (status != ERROR_FILE_NOT_FOUND)
            Keep(status);
    }
    LONG Status() const { return m_status; }

private:
    void Keep(LONG status)
    {
        if (m_status == ERROR_SUCCESS)
            m_status = status;
    }
    HKEY m_key;
    LONG m_status = ERROR_SUCCESS;
};

// Opens State (or the key below it named by subkey), creating what is missing below the
// service's entry. ERROR_FILE_NOT_FOUND when the service is not installed: nothing to
// record then.
LONG OpenStateKey(const std::wstring& subkey, UniqueRegistryKey& out)
{
    if (!StateRecordingOn())
        return ERROR_FILE_NOT_FOUND;   // nothing to record, as when not installed
    HKEY service = nullptr;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKeyPath, 0, KEY_CREATE_SUB_KEY, &service);
    if (status != ERROR_SUCCESS)
        return status;
    UniqueRegistryKey serviceKey(service);
    const std::wstring path =
        subkey.empty() ? std::wstring(kStateSubkey) : std::wstring(kStateSubkey) + L"\\" + subkey;
    HKEY key = nullptr;
    status = RegCreateKeyExW(serviceKey.Get(), path.c_str(), 0, /*lpClass=*/nullptr,
                             REG_OPTION_NON_VOLATILE, kStateAccess,
                             /*lpSecurityAttributes=*/nullptr, &key, /*lpdwDisposition=*/nullptr);
    if (status == ERROR_SUCCESS)
        out.Reset(key);
    return status;
}

std::wstring ApplicationPath(const std::wstring& application)
{
    return std::wstring(kStateApplicationsSubkey) + L"\\" + application;
}

// Opens State (subkey empty) or the key below it and makes the writes of writeValues
// there; the first failing status, or ERROR_SUCCESS.
template <class Writes>
LONG WriteStateValues(const std::wstring& subkey, Writes writeValues)
{
    UniqueRegistryKey key;
    const LONG status = OpenStateKey(subkey, key);
    if (status != ERROR_SUCCESS)
        return status;
    CValueWriter write(key.Get());
    writeValues(write);
    return write.Status();
}

bool ReadQword(HKEY key, const wchar_t* name, ULONGLONG& out)
{
    DWORD size = sizeof(out);
    return RegGetValueW(key, nullptr, name, RRF_RT_REG_QWORD, nullptr, &out, &size) == ERROR_SUCCESS;
}

bool ReadDword(HKEY key, const wchar_t* name, DWORD& out)
{
    DWORD size = sizeof(out);
    return RegGetValueW(key, nullptr, name, RRF_RT_REG_DWORD, nullptr, &out, &size) == ERROR_SUCCESS;
}

std::wstring ReadText(HKEY key, const wchar_t* name)
{
    DWORD size = 0;
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS ||
        size < sizeof(wchar_t))
        return std::wstring();
    std::wstring text(size / sizeof(wchar_t), L'\0');
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, &text[0], &size) != ERROR_SUCCESS)
        return std::wstring();
    text.resize(wcslen(text.c_str()));
    return text;
}

UniqueRegistryKey OpenForReading(const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return UniqueRegistryKey();
    return UniqueRegistryKey(key);
}

// Calls visit(entries, name) for each application's entry under State\Applications, where
// entries is that key; returns the status of opening it, or of reading the entries' names
// (those read before a failure are visited all the same).
template <typename Visit>
LONG ForEachApplicationEntry(Visit visit)
{
    UniqueRegistryKey entries;
    LONG status = OpenStateKey(kStateApplicationsSubkey, entries);
    if (status != ERROR_SUCCESS)
        return status;
    std::vector<std::wstring> names;
    status = ReadSubkeyNames(entries.Get(), names);
    for (const std::wstring& name : names)
        visit(entries.Get(), name);
    return status;
}

}  // namespace

void SetStateRecording(bool on) { InterlockedExchange(&StateRecordingOff, on ? 0 : 1); }

bool StateRecordingOn() { return InterlockedCompareExchange(&StateRecordingOff, 0, 0) == 0; }

ULONGLONG UnixSecondsFromFileTime(const FILETIME& time)
{
    return UnixSecondsFromUnits((static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

FILETIME FileTimeFromUnixSeconds(ULONGLONG seconds)
{
    const ULONGLONG units = kUnixEpochUnits + seconds * kUnitsPerSecond;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(units & 0xFFFFFFFFu);
    time.dwHighDateTime = static_cast<DWORD>(units >> 32);
    return time;
}

ULONGLONG UnixSecondsFromUnits(ULONGLONG units)
{
    return units < kUnixEpochUnits ? 0 : (units - kUnixEpochUnits) / kUnitsPerSecond;
}

ULONGLONG UnixSecondsNow()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return UnixSecondsFromFileTime(now);
}

RecordedServiceState ReadServiceState()
{
    RecordedServiceState state;
    const UniqueRegistryKey key = OpenForReading(kStateKeyPath);
    if (!key)
        return state;
    state.Present = true;
    ReadQword(key.Get(), kServiceStart, state.ServiceStart);
    ReadDword(key.Get(), kServiceProcessId, state.ServiceProcessId);
    ReadQword(key.Get(), kLastPassStart, state.LastPassStart);
    ReadQword(key.Get(), kLastPassEnd, state.LastPassEnd);
    ReadQword(key.Get(), kNextPass, state.NextPass);
    state.AppToRun = ReadText(key.Get(), kAppToRun);
    ReadDword(key.Get(), kApplicationsChecked, state.ApplicationsChecked);
    state.PushConfigured = ReadQword(key.Get(), kPushScriptStart, state.PushScriptStart);
    ReadDword(key.Get(), kPushScriptRestarts, state.PushScriptRestarts);
    ReadDword(key.Get(), kPushScriptProcessId, state.PushScriptProcessId);
    DWORD wake = 0;
    state.WakeKnown = ReadDword(key.Get(), kWakeSupported, wake);
    state.WakeSupported = wake != 0;
    ReadDword(key.Get(), kLogFileError, state.LogFileError);
    state.SummaryRecorded = ReadDword(key.Get(), kApplicationsRegistered, state.ApplicationsRegistered);
    ReadDword(key.Get(), kApplicationsFailing, state.ApplicationsFailing);
    ReadDword(key.Get(), kWarnings, state.Warnings);
    return state;
}

ApplicationState ReadApplicationState(const std::wstring& application)
{
    ApplicationState state;
    const UniqueRegistryKey key =
        OpenForReading(std::wstring(kStateKeyPath) + L"\\" + ApplicationPath(application));
    if (!key)
        return state;
    state.Queried = ReadQword(key.Get(), kLastQueryTime, state.LastQueryTime);
    ReadDword(key.Get(), kLastQueryExitCode, state.LastQueryExitCode);
    state.Answered = ReadDword(key.Get(), kLastAnswer, state.LastAnswer) &&
                     ReadQword(key.Get(), kNextDue, state.NextDue);
    state.RunRecorded = ReadQword(key.Get(), kLastRunStart, state.LastRunStart);
    state.RunEnded = ReadQword(key.Get(), kLastRunEnd, state.LastRunEnd);
    ReadDword(key.Get(), kLastRunExitCode, state.LastRunExitCode);
    DWORD outcome = 0;
    ReadDword(key.Get(), kLastRunOutcome, outcome);
    state.LastRunOutcome = static_cast<RunEnding>(outcome);
    ReadDword(key.Get(), kLastRunError, state.LastRunError);
    DWORD running = 0;
    ReadDword(key.Get(), kRunning, running);
    state.Running = running != 0;
    ReadQword(key.Get(), kLastRunDue, state.LastRunDue);
    ReadDword(key.Get(), kLastRunSlept, state.LastRunSlept);
    ReadDword(key.Get(), kMissedRuns, state.MissedRuns);
    ReadQword(key.Get(), kLastMissedDue, state.LastMissedDue);
    return state;
}

void CStateRecorder::NoteFailure(LONG status)
{
    // Not installed (a test-mode run): there is no entry to record under, and nothing wrong.
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND || m_failureLogged)
        return;
    m_failureLogged = true;
    LOG_FAILURE(0, status, L"Recording the service's state failed, error code = %d");
}

void CStateRecorder::BeginPass(ULONGLONG now)
{
    m_failureLogged = false;
    NoteFailure(WriteStateValues(std::wstring(), [&](CValueWriter& write) {
        write.Qword(kLastPassStart, now);
    }));
}

void CStateRecorder::RecordQuery(const std::wstring& application, ULONGLONG now, int exitCode,
                                 DWORD answer)
{
    NoteFailure(WriteStateValues(ApplicationPath(application), [&](CValueWriter& write) {
        write.Qword(kLastQueryTime, now);
        write.Dword(kLastQueryExitCode, static_cast<DWORD>(exitCode));
        if (exitCode == 0) {
            write.Dword(kLastAnswer, answer);
            // An answer of 0 asks for no run: nothing is due.
            if (answer != 0)
                write.Qword(kNextDue, now + answer);
            else
                write.Remove(kNextDue);
        } else {
            // No answer: what the last one said is no longer known to hold.
            write.Remove(kLastAnswer);
            write.Remove(kNextDue);
        }
    }));
}

void CStateRecorder::EndPass(ULONGLONG now, ULONGLONG nextPass, const std::wstring& appToRun,
                             DWORD applicationsChecked, HKEY productKey)
{
    const LONG status = WriteStateValues(std::wstring(), [&](CValueWriter& write) {
        write.Qword(kLastPassEnd, now);
        write.Qword(kNextPass, nextPass);
        write.String(kAppToRun, appToRun);
        write.Dword(kApplicationsChecked, applicationsChecked);
    });
    NoteFailure(status);
    if (status != ERROR_SUCCESS)
        return;

    // Entries of applications whose subkey is gone; a subkey that exists but cannot be
    // opened keeps its entry.
    if (productKey) {
        NoteFailure(ForEachApplicationEntry([&](HKEY entries, const std::wstring& name) {
            HKEY registered = nullptr;
            const LONG found = RegOpenKeyExW(productKey, name.c_str(), 0, KEY_QUERY_VALUE, &registered);
            UniqueRegistryKey owned(found == ERROR_SUCCESS ? registered : nullptr);
            if (found == ERROR_FILE_NOT_FOUND)
                NoteFailure(RegDeleteTreeW(entries, name.c_str()));
        }));
    }

    // The counts come last, so that they judge the state this pass has just written.
    const PassSummaryCounter counter = StateRecordingOn() ? SummaryCounter.load() : nullptr;
    PassSummary summary;
    if (counter && counter(summary)) {
        NoteFailure(WriteStateValues(std::wstring(), [&](CValueWriter& write) {
            write.Dword(kApplicationsRegistered, summary.ApplicationsRegistered);
            write.Dword(kApplicationsFailing, summary.ApplicationsFailing);
            write.Dword(kWarnings, summary.Warnings);
        }));
    }
}

void SetPassSummaryCounter(PassSummaryCounter counter) { SummaryCounter.store(counter); }

void CStateRecorder::RecordRunStart(const std::wstring& application, ULONGLONG now,
                                    ULONGLONG due, DWORD sleptSeconds)
{
    NoteFailure(WriteStateValues(ApplicationPath(application), [&](CValueWriter& write) {
        write.Qword(kLastRunStart, now);
        write.Dword(kRunning, 1);
        write.Qword(kLastRunDue, due);
        write.Dword(kLastRunSlept, sleptSeconds);
    }));
}

void CStateRecorder::RecordMissedRun(const std::wstring& application, ULONGLONG due)
{
    const DWORD missed = ReadApplicationState(application).MissedRuns;
    NoteFailure(WriteStateValues(ApplicationPath(application), [&](CValueWriter& write) {
        write.Dword(kMissedRuns, missed + 1);
        write.Qword(kLastMissedDue, due);
    }));
}

void CStateRecorder::RecordWakeSupport(bool supported)
{
    NoteFailure(WriteStateValues(std::wstring(), [&](CValueWriter& write) {
        write.Dword(kWakeSupported, supported ? 1 : 0);
    }));
}

void CStateRecorder::RecordRunEnd(const std::wstring& application, ULONGLONG now, int exitCode,
                                  RunEnding ending, DWORD systemError)
{
    NoteFailure(WriteStateValues(ApplicationPath(application), [&](CValueWriter& write) {
        write.Qword(kLastRunEnd, now);
        write.Dword(kLastRunExitCode, static_cast<DWORD>(exitCode));
        write.Dword(kLastRunOutcome, static_cast<DWORD>(ending));
        write.Dword(kLastRunError, ending == RunEnding::NotStarted ? systemError : 0);
        write.Dword(kRunning, 0);
    }));
}

void CStateRecorder::RecordServiceStart(ULONGLONG now, DWORD processId)
{
    m_failureLogged = false;
    const LONG status = WriteStateValues(std::wstring(), [&](CValueWriter& write) {
        write.Qword(kServiceStart, now);
        write.Dword(kServiceProcessId, processId);
    });
    NoteFailure(status);
    if (status != ERROR_SUCCESS)
        return;
    NoteFailure(ForEachApplicationEntry([&](HKEY entries, const std::wstring& name) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(entries, name.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
            return;
        UniqueRegistryKey owned(key);
        CValueWriter write(owned.Get());
        write.Dword(kRunning, 0);
        NoteFailure(write.Status());
    }));
}

void CStateRecorder::RecordPushLaunch(ULONGLONG now, DWORD restarts, DWORD processId)
{
    NoteFailure(WriteStateValues(std::wstring(), [&](CValueWriter& write) {
        write.Qword(kPushScriptStart, now);
        write.Dword(kPushScriptRestarts, restarts);
        write.Dword(kPushScriptProcessId, processId);
    }));
}

void CStateRecorder::RecordPushNotConfigured()
{
    NoteFailure(WriteStateValues(std::wstring(), [&](CValueWriter& write) {
        write.Remove(kPushScriptStart);
        write.Remove(kPushScriptRestarts);
        write.Remove(kPushScriptProcessId);
    }));
}

void CStateRecorder::RecordPushEnd()
{
    NoteFailure(WriteStateValues(std::wstring(), [&](CValueWriter& write) {
        write.Dword(kPushScriptProcessId, 0);
    }));
}

void CStateRecorder::RecordLogFileError(DWORD code)
{
    NoteFailure(WriteStateValues(std::wstring(), [&](CValueWriter& write) {
        write.Dword(kLogFileError, code);
    }));
}

CStateRecorder& WorkerStateRecorder()
{
    static CStateRecorder recorder;
    return recorder;
}

CStateRecorder& PushStateRecorder()
{
    static CStateRecorder recorder;
    return recorder;
}

DWORD DeleteRecordedState()
{
    HKEY service = nullptr;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKeyPath, 0, KEY_READ | KEY_WRITE | DELETE, &service);
    if (status == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS)
        return static_cast<DWORD>(status);
    UniqueRegistryKey serviceKey(service);
    status = RegDeleteTreeW(serviceKey.Get(), kStateSubkey);
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : static_cast<DWORD>(status);
}
