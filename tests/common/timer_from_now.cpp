#include "tests/common/timer_from_now.h"

#include "tests/common/times.h"

TimerFromNow::TimerFromNow(DWORD milliseconds)
    : m_spanIn100ns(static_cast<long long>(milliseconds) * 10000),
      m_madeAt(PreciseNow()),
      m_timer(CreateWaitableTimerW(/*lpTimerAttributes=*/nullptr, /*bManualReset=*/TRUE,
                                   /*lpTimerName=*/nullptr))
{
    if (!m_timer)
        return;
    LARGE_INTEGER due;
    due.QuadPart = -m_spanIn100ns;   // relative
    if (!SetWaitableTimer(m_timer.Get(), &due, /*lPeriod=*/0, /*pfnCompletionRoutine=*/nullptr,
                          /*lpArgToCompletionRoutine=*/nullptr, /*fResume=*/FALSE))
        m_timer.Reset();
}

bool TimerFromNow::Fired() const
{
    // The system time first: the timer's wait below would let it run on by a millisecond.
    const long long now = PreciseNow();
    if (now >= m_madeAt && now - m_madeAt >= m_spanIn100ns)
        return true;
    return m_timer && WaitForSingleObject(m_timer.Get(), 1) == WAIT_OBJECT_0;
}
