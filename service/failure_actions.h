#pragma once
// What the service control manager does when the service ends without having reported
// SERVICE_STOPPED, as after a crash: it starts the service again a minute later, for the
// first and the second such failure; a third does nothing. The count of failures starts
// again after a day without one. A stop reports SERVICE_STOPPED with exit code 0 and is
// no failure.
#include <windows.h>

inline constexpr DWORD kFailureRestartDelayMs = 60000;      // one minute
inline constexpr DWORD kFailureResetPeriodSeconds = 86400;  // one day
inline constexpr DWORD kFailureActionCount = 3;

// The failure actions in the form ChangeServiceConfig2W takes for
// SERVICE_CONFIG_FAILURE_ACTIONS. The record points into the object's own array of
// actions, so the object is neither copied nor moved, and the record is valid for as long
// as the object lives. No reboot message and no command are given.
class CServiceFailureActions {
public:
    CServiceFailureActions();
    CServiceFailureActions(const CServiceFailureActions&) = delete;
    CServiceFailureActions& operator=(const CServiceFailureActions&) = delete;

    SERVICE_FAILURE_ACTIONSW* Record() { return &m_record; }

private:
    SC_ACTION m_actions[kFailureActionCount];
    SERVICE_FAILURE_ACTIONSW m_record;
};

// Gives an installed service these failure actions. The handle needs SERVICE_CHANGE_CONFIG
// and SERVICE_START access (a restart action requires the latter). On failure logs
// "ChangeServiceConfig2(SERVICE_CONFIG_FAILURE_ACTIONS) failed, error code = %d" at level
// 0 and returns its code; the service keeps the actions it had. ERROR_SUCCESS otherwise.
[[nodiscard]] DWORD SetFailureActions(SC_HANDLE service);
