#include "service/failure_actions.h"

#include "log/logger.h"

// The service control manager repeats the last action of the array for every failure past
// its end, so the third entry is what stops the restarts: a service that has crashed three
// times within a day has a fault that starting it again does not mend, and every start of
// a crashing service runs its query programs and the push script once more.
CServiceFailureActions::CServiceFailureActions()
    : m_actions{{SC_ACTION_RESTART, kFailureRestartDelayMs},
                {SC_ACTION_RESTART, kFailureRestartDelayMs},
                {SC_ACTION_NONE, 0}},
      m_record{kFailureResetPeriodSeconds, /*lpRebootMsg=*/nullptr, /*lpCommand=*/nullptr,
               kFailureActionCount, m_actions}
{
}

DWORD SetFailureActions(SC_HANDLE service)
{
    CServiceFailureActions actions;
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, actions.Record())) {
        const DWORD error = GetLastError();
        LOG_FAILURE(0, error, L"ChangeServiceConfig2(SERVICE_CONFIG_FAILURE_ACTIONS) failed, error code = %d");
        return error;
    }
    return ERROR_SUCCESS;
}
