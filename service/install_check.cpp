#include "service/install_check.h"

#include "log/logger.h"
#include "service/service_control.h"
#include "support/unique_resource.h"

#include <utility>

namespace {

constexpr int kInstalledAndRunning = 0;
constexpr int kNotInstalledOrRunning = 1;

}  // namespace

int CheckInstallation(DWORD timeoutMs)
{
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        const DWORD error = GetLastError();
        LOG_FAILURE(0, ServiceManagerError(error),
                    L"Installation check: OpenSCManager failed, error code = %d");
        return kNotInstalledOrRunning;
    }
    UniqueServiceHandle service(
        OpenServiceW(manager.Get(), kServiceName, SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG));
    if (!service) {
        const DWORD error = GetLastError();
        LOG_FAILURE(0, ServiceManagerError(error),
                    L"Installation check: the service is not installed, error code = %d");
        return kNotInstalledOrRunning;
    }
    // An entry marked for deletion still opens, and Wine even starts it, but it goes as soon
    // as the last handle to it is closed: that is no installation. A configuration change
    // that changes nothing is refused for such an entry, and only for it.
    if (!ChangeServiceConfigW(service.Get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                              /*lpBinaryPathName=*/nullptr, /*lpLoadOrderGroup=*/nullptr,
                              /*lpdwTagId=*/nullptr, /*lpDependencies=*/nullptr,
                              /*lpServiceStartName=*/nullptr, /*lpPassword=*/nullptr,
                              /*lpDisplayName=*/nullptr)) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_MARKED_FOR_DELETE) {
            LOG_FAILURE(0, ServiceManagerError(error),
                        L"Installation check: the service is marked for deletion, error code = %d");
            return kNotInstalledOrRunning;
        }
    }
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(service.Get(), &status)) {
        const DWORD error = GetLastError();
        LOG_FAILURE(0, ServiceManagerError(error),
                    L"Installation check: QueryServiceStatus failed, error code = %d");
        return kNotInstalledOrRunning;
    }
    if (status.dwCurrentState != SERVICE_RUNNING) {
        UniqueServiceHandle waited(
            OpenServiceW(manager.Get(), kServiceName, SERVICE_QUERY_STATUS));
        const DWORD waitError = waited ? WaitForServiceState(std::move(waited), SERVICE_NOTIFY_RUNNING, timeoutMs)
                                       : GetLastError();
        if (waitError != ERROR_SUCCESS && waitError != ERROR_TIMEOUT) {
            LOG_FAILURE(0, ServiceManagerError(waitError),
                        L"Installation check: waiting for the service failed, error code = %d");
            return kNotInstalledOrRunning;
        }
        if (!QueryServiceStatus(service.Get(), &status))
            status.dwCurrentState = 0;
    }
    if (status.dwCurrentState == SERVICE_RUNNING) {
        LOG(0, L"Installation check: the service is installed and running");
        return kInstalledAndRunning;
    }
    LOG(0, L"Installation check: the service is installed but not running (state %d)",
        status.dwCurrentState);
    return kNotInstalledOrRunning;
}
