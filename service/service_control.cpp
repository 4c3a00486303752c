#include "service/service_control.h"

#include "log/event_log.h"
#include "log/logger.h"
#include "schedule/child_process.h"
#include "schedule/push_script.h"
#include "schedule/scheduler_thread.h"
#include "service/failure_actions.h"
#include "support/unique_resource.h"

#include <string>

SERVICE_STATUS ServiceStatus = {};
SERVICE_STATUS_HANDLE ServiceStatusHandle = nullptr;

namespace {

enum class Request { Stop, Start, Delete };

// How often a restart looks whether the service has stopped.
constexpr DWORD kStopPollMs = 250;
// Room the stop's wait hint leaves beyond the longest StopServiceWork can take.
constexpr DWORD kStopHintRoomMs = 2000;

// The wait hint of the stop's pending report: the longest StopServiceWork can take over its
// two slots (the grace, then the bounded waits for each child's job), and room to spare,
// so that the stop never outlasts its own hint.
DWORD StopWaitHintMs()
{
    return LongestSlotStopMs(2, ProductTimings().KillGraceMs) + kStopHintRoomMs;
}

// Hands a failure's code to the caller that asked for it.
bool Failed(DWORD code, DWORD* error)
{
    if (error)
        *error = code;
    return false;
}

bool Succeeded(DWORD* error)
{
    if (error)
        *error = ERROR_SUCCESS;
    return true;
}

// Opens the manager and the service, makes one request and reports its failure unless
// it is the one error the request accepts silently.
bool ControlTheService(Request request, DWORD* failure)
{
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        const DWORD error = GetLastError();
        LOG_FAILURE(0, ServiceManagerError(error), L"OpenSCManager failed, error code = %d");
        return Failed(error, failure);
    }
    UniqueServiceHandle service(OpenServiceW(manager.Get(), kServiceName, SERVICE_ALL_ACCESS));
    if (!service) {
        const DWORD error = GetLastError();
        LOG_FAILURE(0, ServiceManagerError(error), L"OpenService failed, error code = %d");
        return Failed(error, failure);
    }

    SERVICE_STATUS status = {};
    BOOL succeeded = FALSE;
    DWORD error = ERROR_SUCCESS;
    switch (request) {
    case Request::Stop:
        succeeded = ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
        error = GetLastError();
        // The service's process may end as soon as the service has reported STOPPED, and
        // so before the answer to this request has left it: the request then fails with a
        // broken pipe although the service did stop. Its status tells.
        if (!succeeded && (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED) &&
            QueryServiceStatus(service.Get(), &status) && status.dwCurrentState == SERVICE_STOPPED)
            succeeded = TRUE;
        break;
    case Request::Start:
        succeeded = StartServiceW(service.Get(), 0, nullptr);
        error = GetLastError();
        break;
    case Request::Delete:
        ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
        succeeded = DeleteService(service.Get());
        error = GetLastError();
        break;
    }
    service.Reset();
    manager.Reset();
    if (succeeded)
        return Succeeded(failure);

    switch (request) {
    case Request::Stop:
        if (error != ERROR_SERVICE_NOT_ACTIVE)
            LOG_FAILURE(0, ServiceManagerError(error),
                        L"ControlService(SERVICE_CONTROL_STOP) failed, error code = %d");
        break;
    case Request::Start:
        if (error != ERROR_SERVICE_ALREADY_RUNNING)
            LOG_FAILURE(0, ServiceManagerError(error), L"StartService failed, error code = %d");
        break;
    case Request::Delete:
        LOG_FAILURE(0, ServiceManagerError(error), L"DeleteService failed, error code = %d");
        break;
    }
    return Failed(error, failure);
}

void ReportStatus(DWORD control)
{
    if (!SetServiceStatus(ServiceStatusHandle, &ServiceStatus)) {
        LOG_LAST_ERROR(0, L"SetServiceStatus %d failed, error code = %d", control);
    }
}

// Polls until the service entry is gone (opening it fails with any error but "marked for
// deletion"), for at most timeoutMs. The poll's own handle is closed at once, so it never
// keeps the entry alive.
bool WaitForTheServiceEntryToGo(DWORD timeoutMs)
{
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return false;
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        UniqueServiceHandle service(OpenServiceW(manager.Get(), kServiceName, SERVICE_QUERY_STATUS));
        const DWORD error = service ? ERROR_SUCCESS : GetLastError();
        service.Reset();
        if (error != ERROR_SUCCESS && error != ERROR_SERVICE_MARKED_FOR_DELETE)
            return true;
        if (GetTickCount64() >= end)
            return false;
        Sleep(kStopPollMs);
    }
}

}  // namespace

std::wstring ModulePath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0)
            return std::wstring();
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

namespace {

// Tells the service control manager, and whoever watches it, that the stop is under way
// and how long it may take; each such report carries a larger check point.
void ReportStopPending(DWORD control)
{
    ServiceStatus.dwCurrentState = SERVICE_STOP_PENDING;
    ServiceStatus.dwCheckPoint += 1;
    ServiceStatus.dwWaitHint = StopWaitHintMs();
    ReportStatus(control);
}

}  // namespace

void StopServiceWork(DWORD graceMs)
{
    InterlockedExchange(&SchedulerStopFlag, 1);
    SetEvent(SchedulerStopEvent());
    InterlockedExchange(&PushStopFlag, 1);

    // Reached by name: the worker may not have created it yet, and then there is no wait
    // to end.
    UniqueHandle checkEvent(OpenEventW(EVENT_MODIFY_STATE, /*bInheritHandle=*/FALSE,
                                       kScheduleCheckEventName));
    if (checkEvent)
        SetEvent(checkEvent.Get());
    checkEvent.Reset();

    // The main task or query program first, then the push script; both share one grace.
    ProcessSlot* const slots[] = {&ScanSlot, &PushSlot};
    StopSlotChildren(slots, 2, graceMs);
}

UniqueHandle OpenTheServiceProcess()
{
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(
        manager ? OpenServiceW(manager.Get(), kServiceName, SERVICE_QUERY_STATUS) : nullptr);
    if (!service)
        return UniqueHandle();
    const auto processId = [&]() -> DWORD {
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        if (!QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO,
                                  reinterpret_cast<BYTE*>(&status), sizeof(status), &needed) ||
            status.dwCurrentState == SERVICE_STOPPED)
            return 0;
        return status.dwProcessId;
    };
    const DWORD id = processId();
    if (id == 0)
        return UniqueHandle();
    UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, id));
    // The id may have been freed and taken by another process between the query and the
    // open. Asked again while the handle holds the id, the service names the same id only
    // if the handle is its process.
    if (!process || processId() != id)
        return UniqueHandle();
    return process;
}

bool WaitForTheServiceToStop(DWORD timeoutMs, HANDLE process)
{
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(
        manager ? OpenServiceW(manager.Get(), kServiceName, SERVICE_QUERY_STATUS) : nullptr);
    if (!service)
        return true;   // nothing to wait for; the request that follows reports why
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        SERVICE_STATUS status = {};
        if (!QueryServiceStatus(service.Get(), &status) || status.dwCurrentState == SERVICE_STOPPED)
            break;
        if (GetTickCount64() >= end)
            return false;
        Sleep(kStopPollMs);
    }
    if (!process)
        return true;
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now < end ? static_cast<DWORD>(end - now) : 0;
    return WaitForSingleObject(process, left) == WAIT_OBJECT_0;
}

bool InstallService(bool demandStart, DWORD* failure, const Timings& timings)
{
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        const DWORD error = GetLastError();
        LOG_FAILURE(0, ServiceManagerError(error), L"OpenSCManager failed, error code = %d");
        return Failed(error, failure);
    }
    const std::wstring imagePath = L"\"" + ModulePath() + L"\"";
    const auto create = [&] {
        return CreateServiceW(
            manager.Get(), kServiceName, kServiceName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
            demandStart ? SERVICE_DEMAND_START : SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
            imagePath.c_str(), /*lpLoadOrderGroup=*/nullptr, /*lpdwTagId=*/nullptr,
            /*lpDependencies=*/nullptr, /*lpServiceStartName=*/nullptr, /*lpPassword=*/nullptr);
    };
    UniqueServiceHandle service(create());
    DWORD error = service ? ERROR_SUCCESS : GetLastError();
    // The old entry of an upgrade is deleted only once every handle to it is closed; another
    // program that holds one (a monitoring tool, a management console) delays that.
    if (!service && error == ERROR_SERVICE_MARKED_FOR_DELETE) {
        LOG(0, L"The service is marked for deletion; waiting up to %d seconds for it to go",
            timings.MarkedForDeleteWaitMs / 1000);
        WaitForTheServiceEntryToGo(timings.MarkedForDeleteWaitMs);
        service.Reset(create());
        error = service ? ERROR_SUCCESS : GetLastError();
    }
    if (!service) {
        LOG_FAILURE(0, ServiceManagerError(error), L"Failed to create service, error code = %d");
        return Failed(error, failure);
    }
    LOG(1, L"Service installed");

    std::wstring description = kServiceDescription;
    SERVICE_DESCRIPTIONW info = {&description[0]};
    if (!ChangeServiceConfig2W(service.Get(), SERVICE_CONFIG_DESCRIPTION, &info)) {
        const DWORD configError = GetLastError();
        LOG_FAILURE(0, ServiceManagerError(configError),
                    L"ChangeServiceConfig2 failed, error code = %d");
    }
    SetFailureActions(service.Get());
    return Succeeded(failure);
}

bool UninstallService(DWORD* error) { return ControlTheService(Request::Delete, error); }
bool StartTheService(DWORD* error) { return ControlTheService(Request::Start, error); }
bool StopTheService(DWORD* error) { return ControlTheService(Request::Stop, error); }

void WINAPI ServiceMain(DWORD, LPWSTR*)
{
    try {
        ServiceStatus.dwServiceType = SERVICE_WIN32;
        ServiceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN |
                                           SERVICE_ACCEPT_POWEREVENT | SERVICE_ACCEPT_TIMECHANGE;
        ServiceStatus.dwWin32ExitCode = 0;
        ServiceStatus.dwServiceSpecificExitCode = 0;
        ServiceStatus.dwCheckPoint = 0;
        ServiceStatus.dwWaitHint = 0;

        ServiceStatusHandle = RegisterServiceCtrlHandlerExW(kServiceName, ServiceCtrlHandler,
                                                            /*lpContext=*/nullptr);
        if (!ServiceStatusHandle) {
            const DWORD error = GetLastError();
            LOG_FAILURE(0, error, L"RegisterServiceCtrlHandlerEx failed, error code = %d");
            return;
        }
        ServiceStatus.dwCurrentState = SERVICE_RUNNING;
        ServiceStatus.dwCheckPoint = 0;
        ServiceStatus.dwWaitHint = 0;
        if (!SetServiceStatus(ServiceStatusHandle, &ServiceStatus)) {
            LOG_LAST_ERROR(0, L"SetServiceStatus failed, error code = %d");
        }
        ReportServiceStarted();
    } catch (...) {
    }
}

DWORD WINAPI ServiceCtrlHandler(DWORD control, DWORD eventType, LPVOID, LPVOID)
{
    try {
        switch (control) {
        // A resume or a new system time: the worker asks the applications again at once,
        // since a due time may have passed meanwhile. Nothing to report to the manager.
        case SERVICE_CONTROL_POWEREVENT:
            if (eventType == PBT_APMRESUMEAUTOMATIC)
                RequestPassNow(PassRequest::Resumed);
            return NO_ERROR;
        case SERVICE_CONTROL_TIMECHANGE:
            RequestPassNow(PassRequest::TimeChanged);
            return NO_ERROR;
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN: {
            // Reported before anything else: a log line may wait for the logger's lock.
            const ULONGLONG stopStart = GetTickCount64();
            ServiceStatus.dwWin32ExitCode = 0;
            ReportStopPending(control);
            LOG(0, L"Stopping service");
            StopServiceWork();
            ServiceStatus.dwCurrentState = SERVICE_STOPPED;
            ServiceStatus.dwCheckPoint = 0;
            ServiceStatus.dwWaitHint = 0;
            ReportServiceStopped(GetTickCount64() - stopStart);
            break;
        }
        case SERVICE_CONTROL_INTERROGATE:
            break;
        default:
            LOG(0, L"Unrecognized opcode %d", control);
            break;
        }
        ReportStatus(control);
    } catch (...) {
    }
    return NO_ERROR;
}
