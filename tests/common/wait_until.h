#pragma once
// Polling for a condition that another thread or process brings about.
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
