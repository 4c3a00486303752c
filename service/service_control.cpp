#include "service/service_control.h"

#include "log/event_log.h"
#include "log/logger.h"
#include "log/thread_entry.h"
#include "schedule/scheduler_thread.h"
#include "schedule/scheduling.h"
#include "service/failure_actions.h"
#include "support/module_path.h"
#include "support/unique_resource.h"

#include <string>
#include <utility>

SERVICE_STATUS ServiceStatus = {};
SERVICE_STATUS_HANDLE ServiceStatusHandle = nullptr;

namespace {

enum class Request { Stop, Start, Delete };

// How often an install looks whether an old entry marked for deletion has gone.
constexpr DWORD kEntryPollMs = 250;
// Room the stop's wait hint leaves beyond the longest the scheduling's stop can take.
constexpr DWORD kStopHintRoomMs = 2000;

// The wait hint of the stop's pending report: the longest the scheduling's stop can take,
// and room to spare, so that the stop never outlasts its own hint.
DWORD StopWaitHintMs() { return LongestSchedulingStopMs() + kStopHintRoomMs; }

// Opens the manager and the service, makes one request and reports its failure unless
// it is the one error the request accepts silently. ERROR_SUCCESS, or the failed call's code.
DWORD ControlTheService(Request request)
{
    UniqueServiceHandle manager(OpenSCManagerW(/*lpMachineName=*/nullptr, /*lpDatabaseName=*/nullptr,
                                               SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        const DWORD error = GetLastError();
        LOG_FAILURE(0, ServiceManagerError(error), L"OpenSCManager failed, error code = %d");
        return error;
    }
    UniqueServiceHandle service(OpenServiceW(manager.Get(), kServiceName, SERVICE_ALL_ACCESS));
    if (!service) {
        const DWORD error = GetLastError();
        LOG_FAILURE(0, ServiceManagerError(error), L"OpenService failed, error code = %d");
        return error;
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
        return ERROR_SUCCESS;

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
    return error;
}

void ReportStatus(DWORD control)
{
    if (!SetServiceStatus(ServiceStatusHandle, &ServiceStatus)) {
        LOG_LAST_ERROR(0, L"SetServiceStatus %d failed, error code = %d", control);
    }
}

// Polls until the service entry is gone (opening it fails with any error but "marked for
// deletion"), for at most timeoutMs. The poll's own handle is closed at once, so it never
// keeps the entry alive. A poll, not a notification: the deletion is told only through the
// manager's handle (SERVICE_NOTIFY_DELETED), which Wine 8 does not implement
// (ERROR_CALL_NOT_IMPLEMENTED), and a handle to the service itself would keep the entry.
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
        Sleep(kEntryPollMs);
    }
}

// The pending notification of WaitForServiceState: the record the service manager fills, and
// whether its callback has come.
struct StateNotice {
    SERVICE_NOTIFYW Record = {};
    bool Came = false;
};

// Runs as an APC on the waiting thread.
void CALLBACK NoticeCame(void* parameter)
{
    auto* record = static_cast<SERVICE_NOTIFYW*>(parameter);
    static_cast<StateNotice*>(record->pContext)->Came = true;
}

}  // namespace

DWORD WaitForServiceState(UniqueServiceHandle service, DWORD notifyMask, DWORD timeoutMs)
{
    StateNotice notice;
    notice.Record.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
    notice.Record.pfnNotifyCallback = NoticeCame;
    notice.Record.pContext = &notice;
    DWORD result = NotifyServiceStatusChangeW(service.Get(), notifyMask, &notice.Record);
    if (result == ERROR_SUCCESS) {
        const ULONGLONG end = GetTickCount64() + timeoutMs;
        // Other APCs of this thread end the sleep early too.
        for (ULONGLONG now = GetTickCount64(); !notice.Came && now < end; now = GetTickCount64())
            SleepEx(static_cast<DWORD>(end - now), /*bAlertable=*/TRUE);
        result = notice.Came ? notice.Record.dwNotificationStatus : static_cast<DWORD>(ERROR_TIMEOUT);
    }
    // Closing the handle cancels a notification still pending; one already queued runs now,
    // while its record still lives.
    service.Reset();
    SleepEx(0, /*bAlertable=*/TRUE);
    return result;
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
    UniqueServiceHandle manager(OpenSCManagerW(/*lpMachineName=*/nullptr, /*lpDatabaseName=*/nullptr,
                                               SC_MANAGER_CONNECT));
    UniqueServiceHandle service(
        manager ? OpenServiceW(manager.Get(), kServiceName, SERVICE_QUERY_STATUS) : nullptr);
    if (!service)
        return true;   // nothing to wait for; the request that follows reports why
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    // A status that cannot be read counts as stopped, as above.
    if (WaitForServiceState(std::move(service), SERVICE_NOTIFY_STOPPED, timeoutMs) == ERROR_TIMEOUT)
        return false;
    if (!process)
        return true;
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now < end ? static_cast<DWORD>(end - now) : 0;
    return WaitForSingleObject(process, left) == WAIT_OBJECT_0;
}

DWORD InstallService(bool demandStart, DWORD markedForDeleteWaitMs)
{
    UniqueServiceHandle manager(OpenSCManagerW(/*lpMachineName=*/nullptr, /*lpDatabaseName=*/nullptr,
                                               SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        const DWORD error = GetLastError();
        LOG_FAILURE(0, ServiceManagerError(error), L"OpenSCManager failed, error code = %d");
        return error;
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
            markedForDeleteWaitMs / 1000);
        WaitForTheServiceEntryToGo(markedForDeleteWaitMs);
        service.Reset(create());
        error = service ? ERROR_SUCCESS : GetLastError();
    }
    if (!service) {
        LOG_FAILURE(0, ServiceManagerError(error), L"Failed to create service, error code = %d");
        return error;
    }
    LOG(1, L"Service installed");

    std::wstring description = kServiceDescription;
    SERVICE_DESCRIPTIONW info = {&description[0]};
    if (!ChangeServiceConfig2W(service.Get(), SERVICE_CONFIG_DESCRIPTION, &info)) {
        const DWORD configError = GetLastError();
        LOG_FAILURE(0, ServiceManagerError(configError),
                    L"ChangeServiceConfig2 failed, error code = %d");
    }
    // A service without its recovery actions still runs; the failure is logged.
    static_cast<void>(SetFailureActions(service.Get()));
    return ERROR_SUCCESS;
}

DWORD UninstallService() { return ControlTheService(Request::Delete); }
DWORD StartTheService() { return ControlTheService(Request::Start); }
DWORD StopTheService() { return ControlTheService(Request::Stop); }

namespace {

// What is left to do once an exception has ended ServiceMain or a control: the scheduling is
// stopped and SERVICE_STOPPED reported with ERROR_EXCEPTION_IN_SERVICE, so that the
// service manager neither waits on a service that can do no more nor takes the end for a
// crash. A stop that throws again leaves the report to be made all the same.
void StopAfterException() noexcept
{
    try {
        StopScheduling();
    } catch (...) {
    }
    ServiceStatus.dwCurrentState = SERVICE_STOPPED;
    ServiceStatus.dwWin32ExitCode = ERROR_EXCEPTION_IN_SERVICE;
    ServiceStatus.dwServiceSpecificExitCode = 0;
    ServiceStatus.dwCheckPoint = 0;
    ServiceStatus.dwWaitHint = 0;
    // The handle is null when the registration itself failed: nothing can be told then.
    if (ServiceStatusHandle)
        SetServiceStatus(ServiceStatusHandle, &ServiceStatus);
}

void RunServiceMain()
{
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
}

void HandleControl(DWORD control, DWORD eventType)
{
    switch (control) {
    // A resume or a new system time: the worker asks the applications again at once,
    // since a due time may have passed meanwhile. Nothing to report to the manager.
    case SERVICE_CONTROL_POWEREVENT:
        if (eventType == PBT_APMRESUMEAUTOMATIC)
            RequestPassNow(PassRequest::Resumed);
        return;
    case SERVICE_CONTROL_TIMECHANGE:
        RequestPassNow(PassRequest::TimeChanged);
        return;
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN: {
        // Reported before anything else: a log line may wait for the logger's lock.
        const ULONGLONG stopStart = GetTickCount64();
        ServiceStatus.dwWin32ExitCode = 0;
        ReportStopPending(control);
        LOG(0, L"Stopping service");
        StopScheduling();
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
}

}  // namespace

void WINAPI ServiceMain(DWORD, LPWSTR*)
{
    if (!RunThreadBody(RunServiceMain, L"Service main function ended unexpectedly"))
        StopAfterException();
}

DWORD WINAPI ServiceCtrlHandler(DWORD control, DWORD eventType, LPVOID, LPVOID)
{
    if (!RunThreadBody([&] { HandleControl(control, eventType); },
                       L"Service control handler ended unexpectedly"))
        StopAfterException();
    return NO_ERROR;
}
