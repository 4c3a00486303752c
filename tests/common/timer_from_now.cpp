#include "tests/common/timer_from_now.h"

namespace {

ULONGLONG SystemTimeNow()
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

}  // namespace

TimerFromNow::TimerFromNow(DWORD milliseconds)
    : m_spanIn100ns(static_cast<ULONGLONG>(milliseconds) * 10000),
      m_madeAt(SystemTimeNow()),
      m_timer(CreateWaitableTimerW(/*lpTimerAttributes=*/nullptr, /*bManualReset=*/TRUE,
                                   /*lpTimerName=*/nullptr))
{
    if (!m_timer)
        return;
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(m_spanIn100ns);   // relative
    if (!SetWaitableTimer(m_timer.Get(), &due, /*lPeriod=*/0, /*pfnCompletionRoutine=*/nullptr,
                          /*lpArgToCompletionRoutine=*/nullptr, /*fResume=*/FALSE))
        m_timer.Reset();
}

bool TimerFromNow::Fired() const
{
    // The system time first: the timer's wait below would let it run on by a millisecond.
    const ULONGLONG now = SystemTimeNow();
    if (now >= m_madeAt && now - m_madeAt >= m_spanIn100ns)
        return true;
    return m_timer && WaitForSingleObject(m_timer.Get(), 1) == WAIT_OBJECT_0;
}
