#pragma once
// The event source "Varnholt Scheduling" of the Application log (log/event_log.h): its
// registration by the installing options, its removal by "-u".
#include <windows.h>

// Creates or updates HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Varnholt
// Scheduling with EventMessageFile (REG_EXPAND_SZ, the running executable's full path) and
// TypesSupported 7. ERROR_SUCCESS, or the failed call's code, logged at level 0 ("Event
// source registration failed, error code = %d").
[[nodiscard]] DWORD RegisterTheEventSource();

// Deletes that key. A key that is not there is no failure; any other failure is logged
// ("Event source removal failed, error code = %d", level 0) and its code returned.
[[nodiscard]] DWORD RemoveTheEventSource();
