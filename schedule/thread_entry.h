#pragma once
// The body of a worker thread's entry function. No exception leaves a thread entry, and a
// thread never ends on one without a trace.
#include "log/event_log.h"
#include "log/logger.h"

// Runs body(); an exception that ends it is logged at level 0 with `ending` (a message of
// its own, such as "Scheduler thread ended unexpectedly"), and reported as event 1901, before
// this returns.
template <class Body> void RunThreadBody(Body body, LogFormat ending) noexcept
{
    try {
        body();
        return;
    } catch (...) {
    }
    LOG(0, ending);
    ReportThreadEnded(ending.Get());
}
