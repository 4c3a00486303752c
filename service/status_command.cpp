#include "service/status_command.h"

#include "log/log_directory.h"
#include "schedule/scheduler_lock.h"
#include "schedule/state_record.h"
#include "schedule/timings.h"
#include "service/log_folder_setup.h"
#include "service/service_control.h"
#include "service/status_json.h"
#include "service/status_text.h"
#include "support/access_token.h"
#include "support/console_text.h"
#include "support/power_settings.h"
#include "support/product_names.h"
#include "support/registry_key.h"
#include "support/unique_resource.h"

#include <windows.h>
#include <aclapi.h>

#include <cwchar>
#include <vector>

namespace {

struct ServiceFacts {
    DWORD State = 0;   // 0: not installed
    DWORD ProcessId = 0;
    DWORD StartType = 0;
    std::wstring Account;          // the configured account; empty for LocalSystem
    DWORD Error = ERROR_SUCCESS;   // why it could not be asked, when State stays 0
};

ServiceFacts AskTheServiceManager()
{
    ServiceFacts facts;
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        facts.Error = GetLastError();
        return facts;
    }
    UniqueServiceHandle service(
        OpenServiceW(manager.Get(), kServiceName, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
    if (!service) {
        facts.Error = GetLastError();
        return facts;
    }
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                             sizeof(status), &needed)) {
        facts.State = status.dwCurrentState;
        facts.ProcessId = status.dwProcessId;
    } else {
        facts.Error = GetLastError();
    }
    needed = 0;
    if (!QueryServiceConfigW(service.Get(), /*lpServiceConfig=*/nullptr, 0, &needed) && needed > 0) {
        std::vector<BYTE> buffer(needed);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        if (QueryServiceConfigW(service.Get(), config, needed, &needed))
        {
            facts.StartType = config->dwStartType;
            if (config->lpServiceStartName)
                facts.Account = config->lpServiceStartName;
        }
    }
    return facts;
}

std::wstring StartTypeWords(DWORD startType)
{
    switch (startType) {
    case SERVICE_AUTO_START:
        return L"automatic start";
    case SERVICE_DEMAND_START:
        return L"manual start";
    case SERVICE_DISABLED:
        return L"disabled";
    default:
        break;
    }
    return L"start type unknown";
}

bool FileExists(const std::wstring& path)
{
    if (path.find_first_of(L"\\/:") == std::wstring::npos) {
        // A bare name is looked for as the system looks for a program.
        wchar_t found[MAX_PATH];
        return SearchPathW(nullptr, path.c_str(), nullptr, MAX_PATH, found, nullptr) > 0;
    }
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring ErrorText(DWORD code) { return SystemErrorText(code); }

// The account the service runs as, for whom start-up judges the log folder: its process's
// user while it runs (when that token can be read), otherwise the account it is configured
// with; LocalSystem for none or for "LocalSystem". Without an installed service, this
// process's account, as for the elevated one-shot runs that set the folder up.
CSid ServiceAccountSid(const ServiceFacts& service)
{
    if (service.State == 0)
        return ProcessUserSid();
    if (service.ProcessId != 0) {
        const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION,
                                               /*bInheritHandle=*/FALSE, service.ProcessId));
        if (const CSid user = ProcessToken(process.Get()).User())
            return user;
    }
    if (service.Account.empty() || _wcsicmp(service.Account.c_str(), L"LocalSystem") == 0 ||
        _wcsicmp(service.Account.c_str(), L".\\LocalSystem") == 0)
        return CSid(WinLocalSystemSid);
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof(sid);
    wchar_t domain[256];
    DWORD domainSize = 256;
    SID_NAME_USE use = SidTypeUnknown;
    if (LookupAccountNameW(/*lpSystemName=*/nullptr, service.Account.c_str(), sid, &sidSize, domain,
                           &domainSize, &use))
        return CSid::FromPSID(sid);
    return CSid();   // unknown: only SYSTEM, Administrators and TrustedInstaller count
}

// Whether the log folder's owner and DACL are trusted, judged as start-up judges them for
// the service's account (self).
std::wstring LogFolderTrust(const std::wstring& folder, PSID self)
{
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return L"the folder does not exist";
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return L"not a plain folder: the service moves it aside at its next start";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD status = GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT,
                                               OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                               nullptr, nullptr, nullptr, nullptr, &descriptor);
    if (status != ERROR_SUCCESS)
        return L"its security cannot be read: " + SystemErrorText(status);
    UniqueLocalMemory owned(descriptor);
    return IsTrustedLogDirectorySecurity(descriptor, self)
               ? L"folder security trusted"
               : L"folder security NOT trusted: the service moves it aside and creates a fresh "
                 L"folder at its next start";
}

std::wstring TodaysLogFile(const std::wstring& folder)
{
    SYSTEMTIME today = {};
    GetLocalTime(&today);
    wchar_t name[64];
    _snwprintf(name, 63, L"\\Scheduler-%04u%02u%02u.log", static_cast<unsigned>(today.wYear),
               static_cast<unsigned>(today.wMonth), static_cast<unsigned>(today.wDay));
    name[63] = L'\0';
    return folder + name;
}

// One application as the status command sees it: its recorded state and its row.
struct ApplicationFacts {
    std::wstring Name;
    ApplicationState State;
    ApplicationRow Row;
};

// Everything the status command tells, read once; the text and the JSON are made from it.
struct StatusFacts {
    StatusClock Clock;
    ServiceFacts Service;
    RecordedServiceState State;
    WakeTimerSettings WakeTimers;
    std::wstring PushCommand;
    std::vector<ApplicationFacts> Applications;
    std::vector<StatusWarning> Warnings;
    ULONGLONG NextPass = 0;            // NextPassMoment; 0 when not known
    bool NextIsRun = false;            // the next pass is the run of State.AppToRun
    SchedulerLockHolder Lock = SchedulerLockHolder::Unknown;
    bool AnotherSchedulerHoldsLock = false;
    std::wstring LogFolder;
    std::wstring LogFile;
    std::wstring LogTrust;
    bool LogLost = false;              // the running service has no day's file (LogFileError)
    DWORD FailingApplications = 0;
    int ExitCode = 3;
};

bool ServiceRunsTheRecordingProcess(const StatusFacts& facts)
{
    return facts.Service.State == SERVICE_RUNNING && facts.Service.ProcessId != 0 &&
           facts.State.ServiceProcessId == facts.Service.ProcessId;
}

StatusFacts GatherStatusFacts()
{
    StatusFacts facts;
    facts.Clock.Now = UnixSecondsNow();
    facts.Service = AskTheServiceManager();
    const bool running = facts.Service.State == SERVICE_RUNNING;
    facts.State = ReadServiceState();
    facts.WakeTimers = ReadWakeTimerSettings();

    CRegistryKey productKey;
    OpenProductKey(productKey, KEY_READ);
    facts.PushCommand = productKey.GetString(kPushScriptCommandValue);
    CEnumSubkeys applications;
    applications.Open(productKey.Handle(), /*subkeyName=*/nullptr, KEY_READ);
    for (; applications.HasMore(); applications.Advance()) {
        const std::wstring name = applications.CurrentName();
        if (name.empty())
            continue;
        CRegistryKey application;
        application.Open(productKey.Handle(), name.c_str(), KEY_READ);
        const std::vector<StatusWarning> found = RegistrationFindings(
            name, application.GetString(kSchedulerValue), application.GetString(kScannerValue),
            application.GetString(kAppDirValue), &FileExists, &DirectoryExists);
        facts.Warnings.insert(facts.Warnings.end(), found.begin(), found.end());
        ApplicationFacts app;
        app.Name = name;
        app.State = ReadApplicationState(name);
        app.Row = MakeApplicationRow(name, app.State, running, facts.Clock, &ErrorText);
        facts.FailingApplications += app.Row.NeedsAttention ? 1 : 0;
        facts.Applications.push_back(app);
    }
    applications.Close();
    productKey.Close();
    const std::vector<StatusWarning> waking = WakingFindings(facts.WakeTimers, facts.State);
    facts.Warnings.insert(facts.Warnings.end(), waking.begin(), waking.end());

    ApplicationState appToRun;
    bool taskRunning = false;
    ULONGLONG lastActivity = facts.State.LastPassStart > facts.State.LastPassEnd ? facts.State.LastPassStart
                                                                                 : facts.State.LastPassEnd;
    if (ServiceRunsTheRecordingProcess(facts) && facts.State.ServiceStart > lastActivity)
        lastActivity = facts.State.ServiceStart;
    for (const ApplicationFacts& app : facts.Applications) {
        if (app.Name == facts.State.AppToRun)
            appToRun = app.State;
        taskRunning = taskRunning || app.State.Running;
        if (app.State.RunEnded && app.State.LastRunEnd > lastActivity)
            lastActivity = app.State.LastRunEnd;
    }
    const ULONGLONG spacingSeconds = ProductTimings().SpacingMs / 1000;
    facts.NextPass = NextPassMoment(facts.State, appToRun, spacingSeconds, facts.Clock.Now);
    // A run is next only when its due time lies within the wait's bound; beyond it the wait
    // ends first, in a pass.
    const ULONGLONG boundSeconds = ProductTimings().WaitBoundMs / 1000;
    facts.NextIsRun = facts.NextPass != 0 && !facts.State.AppToRun.empty() &&
                      facts.State.NextPass < facts.State.LastPassEnd + boundSeconds &&
                      !(appToRun.RunRecorded && appToRun.LastRunStart >= facts.State.LastPassEnd);

    // The worker holds the lock while it schedules; a holder while the service's own worker
    // has not recorded its start (or the service does not run) is another scheduler: a
    // test-mode run.
    facts.Lock = WhoHoldsSchedulerLock();
    facts.AnotherSchedulerHoldsLock =
        facts.Lock == SchedulerLockHolder::Someone && !ServiceRunsTheRecordingProcess(facts);
    if (facts.AnotherSchedulerHoldsLock) {
        StatusWarning warning;
        warning.Code = L"scheduler-lock-held";
        warning.Text = std::wstring(L"A test-mode run (-t) holds the scheduler lock (") + kSchedulerLockName +
                       L"), so the service schedules nothing until it ends; end it with Ctrl+C in "
                       L"its console.";
        facts.Warnings.push_back(warning);
    } else {
        const StatusWarning stale = StalePassWarning(ServiceRunsTheRecordingProcess(facts), taskRunning,
                                                     lastActivity, facts.Clock.Now);
        if (!stale.Code.empty())
            facts.Warnings.push_back(stale);
    }

    facts.LogFolder = LogFolderPath();
    facts.LogFile = TodaysLogFile(facts.LogFolder);
    facts.LogTrust = LogFolderTrust(facts.LogFolder, ServiceAccountSid(facts.Service).Get());
    facts.LogLost = running && facts.State.LogFileError != ERROR_SUCCESS;
    facts.ExitCode = StatusExitCode(facts.Service.State, !facts.Warnings.empty() ||
                                                             facts.FailingApplications != 0 ||
                                                             facts.LogLost);
    return facts;
}

std::wstring ServiceLines(const StatusFacts& all)
{
    const ServiceFacts& facts = all.Service;
    const RecordedServiceState& state = all.State;
    const StatusClock& clock = all.Clock;
    if (facts.State == 0) {
        if (facts.Error == ERROR_SERVICE_DOES_NOT_EXIST)
            return std::wstring(kServiceName) + L" is not installed.\r\n";
        return std::wstring(kServiceName) + L": its status cannot be read: " +
               SystemErrorText(facts.Error) + L"\r\n";
    }
    std::wstring line = std::wstring(kServiceName) + L": " + ServiceStateWords(facts.State) + L", " +
                        StartTypeWords(facts.StartType);
    if (facts.ProcessId != 0) {
        line += L", process " + FormatNumber(facts.ProcessId);
        if (state.ServiceProcessId == facts.ProcessId && state.ServiceStart != 0)
            line += L", since " + FormatDueMoment(state.ServiceStart, clock);
    }
    line += L"\r\n";
    if (state.LastPassStart != 0) {
        line += L"Last pass: " + FormatDueMoment(state.LastPassStart, clock) + L", " +
                FormatNumber(state.ApplicationsChecked) + L" applications checked";
        if (facts.State == SERVICE_RUNNING && all.NextPass != 0) {
            line += L"; next " +
                    std::wstring(all.NextIsRun ? L"run of " + ShowableText(state.AppToRun) : L"pass") +
                    L" " + FormatDueMoment(all.NextPass, clock);
        }
        line += L"\r\n";
    }
    return line;
}

std::wstring PushLines(const std::wstring& command, bool serviceRunning, const RecordedServiceState& state,
                       const StatusClock& clock)
{
    if (command.empty())
        return L"Push script: none configured\r\n";
    std::wstring lines = L"Push script: " + ShowableText(command) + L"\r\n  ";
    if (!serviceRunning)
        lines += L"not running (the service is not running)";
    else if (state.PushScriptProcessId != 0)
        lines += L"running since " + FormatDueMoment(state.PushScriptStart, clock) + L", process " +
                 FormatNumber(state.PushScriptProcessId);
    else
        lines += L"not running; it is launched again five minutes after its end";
    if (state.PushConfigured)
        lines += L"; relaunched " + FormatNumber(state.PushScriptRestarts) + L" times since the service started";
    return lines + L"\r\n";
}

std::wstring TextReport(const StatusFacts& facts)
{
    const bool running = facts.Service.State == SERVICE_RUNNING;
    std::wstring report = ServiceLines(facts) + WakingLine(facts.WakeTimers, facts.State) + L"\r\n\r\n";
    if (facts.Applications.empty()) {
        report += L"No application is registered under HKLM\\" + std::wstring(kProductKeyPath) + L".\r\n";
    } else {
        std::vector<ApplicationRow> rows;
        for (const ApplicationFacts& app : facts.Applications) {
            ApplicationRow row = app.Row;
            row.Name = ShowableText(row.Name);
            rows.push_back(row);
        }
        report += FormatApplicationTable(rows);
    }
    if (!facts.Warnings.empty()) {
        report += L"\r\n";
        for (const StatusWarning& warning : facts.Warnings)
            report += L"Warning: " + ShowableText(warning.Text) + L"\r\n";
    }
    report += L"\r\n" + PushLines(facts.PushCommand, running, facts.State, facts.Clock);
    if (facts.LogLost) {
        // The running service could not open or write the day's file.
        const std::wstring reason = SystemErrorText(facts.State.LogFileError);
        report += L"Log: no file today: " +
                  (reason.empty() ? L"error code " + FormatNumber(facts.State.LogFileError) : reason) +
                  L"\r\n";
    } else {
        report += L"Log: " + facts.LogFile + L" (" + facts.LogTrust + L")\r\n";
    }
    return report;
}

const wchar_t* StartTypeName(DWORD startType)
{
    switch (startType) {
    case SERVICE_AUTO_START:
        return L"automatic";
    case SERVICE_DEMAND_START:
        return L"manual";
    case SERVICE_DISABLED:
        return L"disabled";
    default:
        break;
    }
    return nullptr;
}

const wchar_t* OutcomeName(RunEnding ending)
{
    switch (ending) {
    case RunEnding::None:
        return L"none";
    case RunEnding::EndedByItself:
        return L"ended";
    case RunEnding::AtLimit:
        return L"at-limit";
    case RunEnding::NotStarted:
        return L"not-started";
    case RunEnding::ByStop:
        return L"stopped";
    }
    return L"unknown";
}

const wchar_t* WakeTimerName(WakeTimerSetting setting)
{
    switch (setting) {
    case WakeTimerSetting::Disabled:
        return L"disabled";
    case WakeTimerSetting::Enabled:
        return L"enabled";
    case WakeTimerSetting::ImportantOnly:
        return L"important-only";
    case WakeTimerSetting::Unknown:
        break;
    }
    return L"unknown";
}

const wchar_t* LockName(const StatusFacts& facts)
{
    switch (facts.Lock) {
    case SchedulerLockHolder::Nobody:
        return L"free";
    case SchedulerLockHolder::Someone:
        return facts.AnotherSchedulerHoldsLock ? L"test-mode" : L"service";
    case SchedulerLockHolder::Unknown:
        break;
    }
    return L"unknown";
}

void OptionalString(CJsonWriter& json, const wchar_t* key, const std::wstring& text)
{
    json.Key(key);
    if (text.empty())
        json.Null();
    else
        json.String(text);
}

void ApplicationJson(CJsonWriter& json, const ApplicationFacts& app, bool serviceRunning)
{
    const ApplicationState& state = app.State;
    json.BeginObject();
    json.Key(L"Name");
    json.String(app.Name);
    json.Key(L"NextDue");
    json.Time(state.Answered && state.LastAnswer != 0 ? state.NextDue : 0);
    json.Key(L"LastAnswer");
    if (state.Answered)
        json.Number(state.LastAnswer);
    else
        json.Null();
    json.Key(L"LastQueryTime");
    json.Time(state.Queried ? state.LastQueryTime : 0);
    json.Key(L"LastQueryExitCode");
    if (state.Queried)
        json.Number(state.LastQueryExitCode);
    else
        json.Null();
    json.Key(L"LastRunDue");
    json.Time(state.RunRecorded ? state.LastRunDue : 0);
    json.Key(L"LastRunStart");
    json.Time(state.RunRecorded ? state.LastRunStart : 0);
    json.Key(L"LastRunEnd");
    json.Time(state.RunEnded ? state.LastRunEnd : 0);
    json.Key(L"LastRunOutcome");
    json.Number(static_cast<DWORD>(state.LastRunOutcome));
    json.Key(L"LastRunOutcomeName");
    json.String(OutcomeName(state.LastRunOutcome));
    json.Key(L"LastRunExitCode");
    if (state.RunEnded && state.LastRunOutcome == RunEnding::EndedByItself)
        json.Number(state.LastRunExitCode);
    else
        json.Null();
    json.Key(L"LastRunError");
    if (state.LastRunOutcome == RunEnding::NotStarted)
        json.Number(state.LastRunError);
    else
        json.Null();
    json.Key(L"Running");
    json.Boolean(state.Running && serviceRunning);
    json.Key(L"LateSeconds");
    const ULONGLONG late = state.RunRecorded && state.LastRunDue != 0 && state.LastRunStart > state.LastRunDue
                               ? state.LastRunStart - state.LastRunDue
                               : 0;
    json.Number(late);
    json.Key(L"LastRunSlept");
    json.Number(state.LastRunSlept);
    json.Key(L"MissedRuns");
    json.Number(state.MissedRuns);
    json.Key(L"LastMissedDue");
    json.Time(state.LastMissedDue);
    json.Key(L"Result");
    json.String(app.Row.Result);
    json.Key(L"NeedsAttention");
    json.Boolean(app.Row.NeedsAttention);
    json.EndObject();
}

std::wstring JsonReport(const StatusFacts& facts)
{
    const bool running = facts.Service.State == SERVICE_RUNNING;
    const RecordedServiceState& state = facts.State;
    const bool ownProcess = ServiceRunsTheRecordingProcess(facts);
    CJsonWriter json;
    json.BeginObject();

    json.Key(L"Service");
    json.BeginObject();
    json.Key(L"Installed");
    json.Boolean(facts.Service.State != 0);
    json.Key(L"State");
    if (facts.Service.State != 0)
        json.String(ServiceStateWords(facts.Service.State));
    else
        json.Null();
    json.Key(L"StartType");
    const wchar_t* startType = facts.Service.State != 0 ? StartTypeName(facts.Service.StartType) : nullptr;
    if (startType)
        json.String(startType);
    else
        json.Null();
    json.Key(L"ProcessId");
    if (facts.Service.ProcessId != 0)
        json.Number(facts.Service.ProcessId);
    else
        json.Null();
    json.Key(L"Start");
    json.Time(ownProcess ? state.ServiceStart : 0);
    json.EndObject();

    json.Key(L"LastPassStart");
    json.Time(state.LastPassStart);
    json.Key(L"LastPassEnd");
    json.Time(state.LastPassEnd);
    json.Key(L"ApplicationsChecked");
    json.Number(state.ApplicationsChecked);
    json.Key(L"NextPass");
    json.Time(running ? facts.NextPass : 0);
    OptionalString(json, L"NextRunOf", running && facts.NextIsRun ? state.AppToRun : std::wstring());

    const struct {
        const wchar_t* Key;
        DWORD Value;
    } summary[] = {{L"ApplicationsRegistered", state.ApplicationsRegistered},
                   {L"ApplicationsFailing", state.ApplicationsFailing},
                   {L"Warnings", state.Warnings}};
    json.Key(L"Summary");
    json.BeginObject();
    for (const auto& value : summary) {
        json.Key(value.Key);
        if (state.SummaryRecorded)
            json.Number(value.Value);
        else
            json.Null();
    }
    json.EndObject();

    json.Key(L"Applications");
    json.BeginArray();
    for (const ApplicationFacts& app : facts.Applications)
        ApplicationJson(json, app, running);
    json.EndArray();

    json.Key(L"PushScript");
    json.BeginObject();
    OptionalString(json, L"Command", facts.PushCommand);
    const bool pushRuns = running && !facts.PushCommand.empty() && state.PushScriptProcessId != 0;
    json.Key(L"Running");
    json.Boolean(pushRuns);
    json.Key(L"ProcessId");
    if (pushRuns)
        json.Number(state.PushScriptProcessId);
    else
        json.Null();
    json.Key(L"Start");
    json.Time(state.PushConfigured ? state.PushScriptStart : 0);
    json.Key(L"Restarts");
    if (state.PushConfigured)
        json.Number(state.PushScriptRestarts);
    else
        json.Null();
    json.EndObject();

    json.Key(L"Log");
    json.BeginObject();
    OptionalString(json, L"Folder", facts.LogFolder);
    OptionalString(json, L"File", facts.LogFile);
    OptionalString(json, L"Trust", facts.LogTrust);
    json.Key(L"LogFileError");
    json.Number(state.LogFileError);
    json.EndObject();

    json.Key(L"Waking");
    json.BeginObject();
    json.Key(L"Mains");
    json.String(WakeTimerName(facts.WakeTimers.Mains));
    json.Key(L"Battery");
    json.String(WakeTimerName(facts.WakeTimers.Battery));
    json.Key(L"WakeSupported");
    if (state.WakeKnown)
        json.Boolean(state.WakeSupported);
    else
        json.Null();
    json.EndObject();

    json.Key(L"SchedulerLock");
    json.String(LockName(facts));

    json.Key(L"Warnings");
    json.BeginArray();
    for (const StatusWarning& warning : facts.Warnings) {
        json.BeginObject();
        json.Key(L"Code");
        json.String(warning.Code);
        OptionalString(json, L"Application", warning.Application);
        json.Key(L"Text");
        json.String(warning.Text);
        json.EndObject();
    }
    json.EndArray();

    json.Key(L"ExitCode");
    json.Number(static_cast<ULONGLONG>(facts.ExitCode));
    json.EndObject();
    return json.Text();
}

}  // namespace

std::wstring StatusReport(int& exitCode)
{
    const StatusFacts facts = GatherStatusFacts();
    exitCode = facts.ExitCode;
    return TextReport(facts);
}

std::wstring StatusJson(int& exitCode)
{
    const StatusFacts facts = GatherStatusFacts();
    exitCode = facts.ExitCode;
    return JsonReport(facts);
}

bool CountStatusSummary(PassSummary& summary)
{
    try {
        const StatusFacts facts = GatherStatusFacts();
        summary.ApplicationsRegistered = static_cast<DWORD>(facts.Applications.size());
        summary.ApplicationsFailing = facts.FailingApplications;
        summary.Warnings = static_cast<DWORD>(facts.Warnings.size());
        return true;
    } catch (...) {
        // Out of memory: the counts are left as they were.
    }
    return false;
}

int ShowStatus(bool json)
{
    int exitCode = 3;
    const std::wstring report = json ? StatusJson(exitCode) : StatusReport(exitCode);
    WriteStreamText(GetStdHandle(STD_OUTPUT_HANDLE), report);
    return exitCode;
}
