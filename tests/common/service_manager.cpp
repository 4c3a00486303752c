#include "tests/common/service_manager.h"

#include "support/unique_resource.h"
#include "tests/common/processes.h"
#include "tests/common/wait_until.h"

namespace {

// The product's name for its service, as an administrator types it.
const wchar_t kProductServiceName[] = L"Varnholt Scheduling";

}  // namespace

DWORD ServiceState()
{
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(
        manager ? OpenServiceW(manager.Get(), kProductServiceName, SERVICE_QUERY_STATUS) : nullptr);
    if (!service)
        return 0;
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(service.Get(), &status))
        return 0;
    return status.dwCurrentState;
}

void RemoveServiceCompletely()
{
    {
        UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        UniqueServiceHandle service(
            manager ? OpenServiceW(manager.Get(), kProductServiceName, SERVICE_ALL_ACCESS) : nullptr);
        if (!service)
            return;
        SERVICE_STATUS status = {};
        ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
        WaitUntil([&] {
            return QueryServiceStatus(service.Get(), &status) && status.dwCurrentState == SERVICE_STOPPED;
        }, 30000);
        DeleteService(service.Get());
    }
    WaitUntil([] { return ServiceState() == 0; }, 30000);
    // The entry can be gone while its process is still ending; a service started meanwhile
    // under the same name may meet it.
    WaitUntil([] { return CountProcesses(L"VarnholtScheduling.exe") == 0; }, 30000);
}
