#pragma once
// The body of a thread entry or a Win32 callback (a worker thread, ServiceMain, the control
// handler). No exception leaves one, and none ends one without a trace.
#include "log/event_log.h"
#include "log/logger.h"

#include <windows.h>

// Runs body(). An exception that ends it is logged at level 0 with `ending` (a message of
// its own, such as "Scheduler thread ended unexpectedly") and reported as event 1901; when
// even that throws (no memory left), `ending` goes to the debugger output alone. True when
// body ran to its end, false when an exception ended it.
template <class Body> bool RunThreadBody(Body body, LogFormat ending) noexcept
{
    try {
        body();
        return true;
    } catch (...) {
    }
    try {
        LOG(0, ending);
        ReportThreadEnded(ending.Get());
    } catch (...) {
        OutputDebugStringW(ending.Get());
    }
    return false;
}
