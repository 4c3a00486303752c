#include "tests/common/service_manager.h"

#include "support/unique_resource.h"
#include "tests/common/processes.h"
#include "tests/common/program_paths.h"
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

bool InstallStandInService()
{
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    UniqueServiceHandle service(
        manager ? CreateServiceW(manager.Get(), kProductServiceName, kProductServiceName, SERVICE_ALL_ACCESS,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                 TestChildCommand(L"--service-linger 0").c_str(), nullptr, nullptr,
                                 nullptr, nullptr, nullptr)
                : nullptr);
    return static_cast<bool>(service);
}
