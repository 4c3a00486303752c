#include "service/event_source.h"

#include "log/event_log.h"
#include "log/logger.h"
#include "support/module_path.h"
#include "support/unique_resource.h"

#include <string>

namespace {

DWORD Failed(LONG status)
{
    LOG_FAILURE(0, status, L"Event source registration failed, error code = %d");
    return static_cast<DWORD>(status);
}

}  // namespace

DWORD RegisterTheEventSource()
{
    HKEY opened = nullptr;
    const LONG created = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, /*Reserved=*/0,
                                         /*lpClass=*/nullptr, REG_OPTION_NON_VOLATILE,
                                         KEY_SET_VALUE, /*lpSecurityAttributes=*/nullptr, &opened,
                                         /*lpdwDisposition=*/nullptr);
    if (created != ERROR_SUCCESS)
        return Failed(created);
    const UniqueRegistryKey key(opened);

    const std::wstring path = ModulePath();
    if (path.empty())
        return Failed(static_cast<LONG>(ERROR_INVALID_DATA));
    const DWORD pathBytes = static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t));
    LONG status = RegSetValueExW(key.Get(), L"EventMessageFile", /*Reserved=*/0, REG_EXPAND_SZ,
                                 reinterpret_cast<const BYTE*>(path.c_str()), pathBytes);
    if (status != ERROR_SUCCESS)
        return Failed(status);
    const DWORD types = kEventTypesSupported;
    status = RegSetValueExW(key.Get(), L"TypesSupported", /*Reserved=*/0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&types), sizeof(types));
    if (status != ERROR_SUCCESS)
        return Failed(status);
    return ERROR_SUCCESS;
}

DWORD RemoveTheEventSource()
{
    const LONG status = RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey);
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    LOG_FAILURE(0, status, L"Event source removal failed, error code = %d");
    return static_cast<DWORD>(status);
}
