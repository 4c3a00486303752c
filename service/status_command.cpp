#include "service/status_command.h"

#include "log/log_directory.h"
#include "schedule/state_record.h"
#include "service/log_folder_setup.h"
#include "service/service_control.h"
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
            facts.StartType = config->dwStartType;
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

// Whether the log folder's owner and DACL are trusted, judged as start-up judges them for
// this process's account.
std::wstring LogFolderTrust(const std::wstring& folder)
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
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        token = nullptr;
    const CAccessToken processToken(token);
    const CSid self = processToken.User();
    return IsTrustedLogDirectorySecurity(descriptor, self.Get())
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

std::wstring ServiceLines(const ServiceFacts& facts, const RecordedServiceState& state, const StatusClock& clock)
{
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
        if (facts.State == SERVICE_RUNNING && state.LastPassEnd >= state.LastPassStart &&
            state.NextPass != 0) {
            line += L"; next " + std::wstring(state.AppToRun.empty() ? L"pass" : L"run of " + state.AppToRun) +
                    L" " + FormatDueMoment(state.NextPass, clock);
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
    std::wstring lines = L"Push script: " + command + L"\r\n  ";
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

}  // namespace

std::wstring StatusReport(int& exitCode)
{
    StatusClock clock;
    clock.Now = UnixSecondsNow();
    const ServiceFacts facts = AskTheServiceManager();
    const bool running = facts.State == SERVICE_RUNNING;
    const RecordedServiceState state = ReadServiceState();

    const WakeTimerSettings wakeTimers = ReadWakeTimerSettings();

    std::wstring report = ServiceLines(facts, state, clock) + WakingLine(wakeTimers, state) + L"\r\n\r\n";

    std::vector<ApplicationRow> rows;
    std::vector<std::wstring> warnings;
    CRegistryKey productKey;
    OpenProductKey(productKey, KEY_READ);
    const std::wstring pushCommand = productKey.GetString(kPushScriptCommandValue);
    CEnumSubkeys applications;
    applications.Open(productKey.Handle(), /*subkeyName=*/nullptr, KEY_READ);
    for (; applications.HasMore(); applications.Advance()) {
        const std::wstring name = applications.CurrentName();
        if (name.empty())
            continue;
        CRegistryKey application;
        application.Open(productKey.Handle(), name.c_str(), KEY_READ);
        const std::vector<std::wstring> found = RegistrationWarnings(
            name, application.GetString(kSchedulerValue), application.GetString(kScannerValue),
            application.GetString(kAppDirValue), &FileExists, &DirectoryExists);
        warnings.insert(warnings.end(), found.begin(), found.end());
        rows.push_back(MakeApplicationRow(name, ReadApplicationState(name), running, clock, &ErrorText));
    }
    applications.Close();
    productKey.Close();
    const std::vector<std::wstring> waking = WakingWarnings(wakeTimers, state);
    warnings.insert(warnings.end(), waking.begin(), waking.end());

    bool attention = !warnings.empty();
    if (rows.empty()) {
        report += L"No application is registered under HKLM\\" + std::wstring(kProductKeyPath) + L".\r\n";
    } else {
        report += FormatApplicationTable(rows);
        for (const ApplicationRow& row : rows)
            attention = attention || row.NeedsAttention;
    }
    if (!warnings.empty()) {
        report += L"\r\n";
        for (const std::wstring& warning : warnings)
            report += L"Warning: " + warning + L"\r\n";
    }

    report += L"\r\n" + PushLines(pushCommand, running, state, clock);
    const std::wstring folder = LogFolderPath();
    if (running && state.LogFileError != ERROR_SUCCESS) {
        // The running service could not open or write the day's file.
        const std::wstring reason = SystemErrorText(state.LogFileError);
        report += L"Log: no file today: " +
                  (reason.empty() ? L"error code " + FormatNumber(state.LogFileError) : reason) +
                  L"\r\n";
        attention = true;
    } else {
        report += L"Log: " + TodaysLogFile(folder) + L" (" + LogFolderTrust(folder) + L")\r\n";
    }

    exitCode = StatusExitCode(facts.State, attention);
    return report;
}

int ShowStatus()
{
    int exitCode = 3;
    const std::wstring report = StatusReport(exitCode);
    WriteStreamText(GetStdHandle(STD_OUTPUT_HANDLE), report);
    return exitCode;
}
