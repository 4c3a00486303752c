// The smallest service there is: it reports RUNNING when started and STOPPED as soon as it
// is told to stop. Its stop is what the service control manager itself costs.
#include <windows.h>

namespace {

wchar_t ServiceName[] = L"Varnholt Bench Service";
SERVICE_STATUS Status = {};
SERVICE_STATUS_HANDLE StatusHandle = nullptr;

void WINAPI Handler(DWORD control)
{
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN)
        Status.dwCurrentState = SERVICE_STOPPED;
    SetServiceStatus(StatusHandle, &Status);
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

int main()
{
    const SERVICE_TABLE_ENTRYW table[] = {{ServiceName, Main}, {nullptr, nullptr}};
    StartServiceCtrlDispatcherW(table);
    return 0;
}
