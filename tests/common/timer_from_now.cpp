#include "tests/common/timer_from_now.h"

TimerFromNow::TimerFromNow(DWORD milliseconds)
    : m_timer(CreateWaitableTimerW(/*lpTimerAttributes=*/nullptr, /*bManualReset=*/TRUE,
                                   /*lpTimerName=*/nullptr))
{
    if (!m_timer)
        return;
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;   // relative, in 100-ns units
    if (!SetWaitableTimer(m_timer.Get(), &due, /*lPeriod=*/0, /*pfnCompletionRoutine=*/nullptr,
                          /*lpArgToCompletionRoutine=*/nullptr, /*fResume=*/FALSE))
        m_timer.Reset();
}

bool TimerFromNow::Fired() const
{
    return m_timer && WaitForSingleObject(m_timer.Get(), 1) == WAIT_OBJECT_0;
}
