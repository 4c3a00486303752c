#include "service/install_check.h"

#include "log/logger.h"
#include "service/service_control.h"
#include "support/unique_resource.h"

namespace {

constexpr int kInstalledAndRunning = 0;
constexpr int kNotInstalledOrRunning = 1;
constexpr DWORD kPollMs = 250;

}  // namespace

int CheckInstallation(DWORD timeoutMs)
{
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        const DWORD error = GetLastError();
        LOG(0, L"Installation check: OpenSCManager failed, error code = %d", ServiceManagerError(error));
        return kNotInstalledOrRunning;
    }
    UniqueServiceHandle service(OpenServiceW(manager.Get(), kServiceName, SERVICE_QUERY_STATUS));
    if (!service) {
        const DWORD error = GetLastError();
        LOG(0, L"Installation check: the service is not installed, error code = %d",
            ServiceManagerError(error));
        return kNotInstalledOrRunning;
    }
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        SERVICE_STATUS status = {};
        if (!QueryServiceStatus(service.Get(), &status)) {
            const DWORD error = GetLastError();
            LOG(0, L"Installation check: QueryServiceStatus failed, error code = %d",
                ServiceManagerError(error));
            return kNotInstalledOrRunning;
        }
        if (status.dwCurrentState == SERVICE_RUNNING) {
            LOG(0, L"Installation check: the service is installed and running");
            return kInstalledAndRunning;
        }
        if (GetTickCount64() >= end) {
            LOG(0, L"Installation check: the service is installed but not running (state %d)",
                status.dwCurrentState);
            return kNotInstalledOrRunning;
        }
        Sleep(kPollMs);
    }
}
