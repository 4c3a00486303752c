#include "tests/common/smallest_service.h"

#include <windows.h>

#include <cwchar>

namespace {

// The service's name, status and handle, which its two callbacks share.
wchar_t ServiceName[256] = L"";
SERVICE_STATUS Status = {};
SERVICE_STATUS_HANDLE StatusHandle = nullptr;
bool EndInHandler = false;

void WINAPI Handler(DWORD control)
{
    const bool stop = control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN;
    if (stop)
        Status.dwCurrentState = SERVICE_STOPPED;
    SetServiceStatus(StatusHandle, &Status);
    if (stop && EndInHandler)
        ExitProcess(0);
}

void WINAPI Main(DWORD, LPWSTR*)
{
    StatusHandle = RegisterServiceCtrlHandlerW(ServiceName, Handler);
    if (!StatusHandle)
        return;
    Status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    Status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    Status.dwCurrentState = SERVICE_RUNNING;
    SetServiceStatus(StatusHandle, &Status);
}

}  // namespace

bool RunSmallestService(const wchar_t* name, bool endInStopHandler)
{
    wcsncpy(ServiceName, name, 255);
    ServiceName[255] = L'\0';
    EndInHandler = endInStopHandler;
    const SERVICE_TABLE_ENTRYW table[] = {{ServiceName, Main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) != FALSE;
}
