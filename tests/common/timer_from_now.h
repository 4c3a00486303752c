#pragma once
// A witness that a span of time has passed, for a test that must show that a call did not
// end its wait early, without a tight window on either side of the call.
#include "support/unique_resource.h"

#include <windows.h>

// Made just before a call that waits the same span from a moment inside it, it says the span
// has passed by the time the call returns, unless the call cut its wait short. It asks two
// clocks, each of which some waits run on, and one that agrees is enough:
// - a waitable timer of its own, armed when made: waits with a timeout and timers run on the
//   system's timer clock, and this one began first. Under Wine a timer fires when its server
//   comes round to it, up to a millisecond (or, on a loaded machine, longer) after a Sleep of
//   the same span has ended, so the answer waits that millisecond (on Windows, the one tick
//   of the clock that a wait of 1 ms lasts);
// - the system time, read when made: Wine's Sleep counts the span on it, and it is read
//   where the process runs, so no server's lateness can make a whole Sleep look short.
// A call that ended its wait early by more than the clocks' disagreement fails both. Any
// thread.
class TimerFromNow {
public:
    explicit TimerFromNow(DWORD milliseconds);
    // True once the span has passed by either clock; false when it has not by both.
    bool Fired() const;

private:
    long long m_spanIn100ns;
    long long m_madeAt;   // the system time when made, in 100-ns units
    UniqueHandle m_timer;
};
