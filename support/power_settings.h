#pragma once
// The active power plan's "Allow wake timers" setting, for mains power (AC) and battery (DC).
// powrprof.dll is loaded at run time: Wine 8's lacks PowerReadACValueIndex and
// PowerReadDCValueIndex, and a static import of them would stop the program from loading
// there. Any thread may call these; they log nothing and change nothing.
#include <windows.h>

// The sleep subgroup (SUB_SLEEP) and its "Allow wake timers" setting (RTCWAKE).
inline constexpr GUID kSleepSubgroupGuid = {
    0x238C9FA8, 0x0AAD, 0x41ED, {0x83, 0xF4, 0x97, 0xBE, 0x24, 0x2C, 0x8F, 0x20}};
inline constexpr GUID kAllowWakeTimersGuid = {
    0xBD3B718A, 0x0680, 0x4D9D, {0x8A, 0xB2, 0xE1, 0xD2, 0xB4, 0xAC, 0x80, 0x6D}};

// The setting's value as the power plan stores it, or Unknown when it could not be read or
// is none of the three.
enum class WakeTimerSetting {
    Unknown,
    Disabled,        // 0
    Enabled,         // 1
    ImportantOnly,   // 2: important wake timers only
};

struct WakeTimerSettings {
    WakeTimerSetting Mains = WakeTimerSetting::Unknown;     // AC
    WakeTimerSetting Battery = WakeTimerSetting::Unknown;   // DC
};

// powrprof.dll's functions that the reading calls, as the system declares them. A null one
// was not found: what it would read stays Unknown.
struct PowerSchemeFunctions {
    DWORD(WINAPI* GetActiveScheme)(HKEY userRootPowerKey, GUID** activePolicyGuid) = nullptr;
    DWORD(WINAPI* ReadACValueIndex)(HKEY rootPowerKey, const GUID* schemeGuid,
                                    const GUID* subGroupGuid, const GUID* settingGuid,
                                    LPDWORD valueIndex) = nullptr;
    DWORD(WINAPI* ReadDCValueIndex)(HKEY rootPowerKey, const GUID* schemeGuid,
                                    const GUID* subGroupGuid, const GUID* settingGuid,
                                    LPDWORD valueIndex) = nullptr;
};

// Reads the setting of the active scheme through the functions given; the scheme's GUID
// that GetActiveScheme hands out is freed with LocalFree. Each value it cannot read is
// Unknown; both are when the active scheme cannot be had.
WakeTimerSettings ReadWakeTimerSettings(const PowerSchemeFunctions& functions);

// The same through powrprof.dll from the system folder (never the program's own folder or
// the search path); both Unknown when the library or PowerGetActiveScheme is missing.
WakeTimerSettings ReadWakeTimerSettings();
