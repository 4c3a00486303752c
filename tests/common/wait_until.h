#pragma once
// Polling for a condition that another thread or process brings about, and the bounds a
// test may put on how long a step takes.
#include <windows.h>

// Polls condition every pollMs until it holds (true) or timeoutMs have passed (false).
// The condition is asked once more at the end, so a zero time-out still asks it once.
template <class Condition> bool WaitUntil(Condition condition, DWORD timeoutMs, DWORD pollMs = 50)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        if (condition())
            return true;
        if (GetTickCount64() >= end)
            return false;
        Sleep(pollMs);
    }
}

// What a machine at a load of four may add to a step whose length a test bounds. A bound is
// the longest the step may take by design plus this margin; the fault it catches (a wait
// that runs to its time-out, a grace waited out, a second grace) lies beyond the bound.
constexpr DWORD kLoadMarginMs = 5000;

// Runs step and returns how many milliseconds it took.
template <class Step> ULONGLONG MillisecondsTaken(Step step)
{
    const ULONGLONG start = GetTickCount64();
    step();
    return GetTickCount64() - start;
}
