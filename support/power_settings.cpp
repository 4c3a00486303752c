#include "support/power_settings.h"

#include "support/unique_resource.h"

namespace {

WakeTimerSetting SettingOf(DWORD value)
{
    switch (value) {
    case 0:
        return WakeTimerSetting::Disabled;
    case 1:
        return WakeTimerSetting::Enabled;
    case 2:
        return WakeTimerSetting::ImportantOnly;
    default:
        break;
    }
    return WakeTimerSetting::Unknown;
}

using ReadValueIndex = decltype(PowerSchemeFunctions::ReadACValueIndex);

WakeTimerSetting ReadSetting(ReadValueIndex read, const GUID* scheme)
{
    if (!read)
        return WakeTimerSetting::Unknown;
    DWORD value = 0;
    if (read(/*rootPowerKey=*/nullptr, scheme, &kSleepSubgroupGuid, &kAllowWakeTimersGuid, &value) !=
        ERROR_SUCCESS)
        return WakeTimerSetting::Unknown;
    return SettingOf(value);
}

// A function of the library by its name, or null. GetProcAddress's generic type is cast
// through a plain function pointer, the one cast between function types that compilers let
// pass without a warning.
template <class Function> Function Lookup(HMODULE library, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

}  // namespace

WakeTimerSettings ReadWakeTimerSettings(const PowerSchemeFunctions& functions)
{
    WakeTimerSettings settings;
    if (!functions.GetActiveScheme)
        return settings;
    GUID* scheme = nullptr;
    if (functions.GetActiveScheme(/*userRootPowerKey=*/nullptr, &scheme) != ERROR_SUCCESS || !scheme)
        return settings;
    const UniqueLocalMemory owned(scheme);
    settings.Mains = ReadSetting(functions.ReadACValueIndex, scheme);
    settings.Battery = ReadSetting(functions.ReadDCValueIndex, scheme);
    return settings;
}

WakeTimerSettings ReadWakeTimerSettings()
{
    const UniqueModule library(
        LoadLibraryExW(L"powrprof.dll", /*hFile=*/nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!library)
        return WakeTimerSettings{};
    PowerSchemeFunctions functions;
    functions.GetActiveScheme =
        Lookup<decltype(functions.GetActiveScheme)>(library.Get(), "PowerGetActiveScheme");
    functions.ReadACValueIndex =
        Lookup<decltype(functions.ReadACValueIndex)>(library.Get(), "PowerReadACValueIndex");
    functions.ReadDCValueIndex =
        Lookup<decltype(functions.ReadDCValueIndex)>(library.Get(), "PowerReadDCValueIndex");
    return ReadWakeTimerSettings(functions);
}
