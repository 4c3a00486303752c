#pragma once
// A witness that a span of time has passed, for a test that must show that a call did not
// end its wait early, without reading a clock on either side of the call.
#include "support/unique_resource.h"

#include <windows.h>

// A waitable timer of the test's own, armed when made to fire after the span given. Made
// just before a call that waits the same span from a moment inside it, it has fired by the
// time the call returns, unless the call cut its wait short: both waits run on the
// system's timer clock, and this one began first. Any thread.
class TimerFromNow {
public:
    explicit TimerFromNow(DWORD milliseconds);
    // True once the span has passed; false when it has not, and when no timer could be
    // made. Under Wine a Sleep ends on the program's own clock, while timers fire on the
    // server's, which wakes for them up to a millisecond later: the answer waits that
    // millisecond (on Windows, the one tick of the clock that a wait of 1 ms lasts).
    bool Fired() const;

private:
    UniqueHandle m_timer;
};
