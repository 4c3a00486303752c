#include "support/clock.h"

namespace {

using PreciseTimeFunction = VOID(WINAPI*)(LPFILETIME);

// Looked up once: a static import would keep the program from loading on Windows 7.
PreciseTimeFunction PreciseTime()
{
    static const PreciseTimeFunction function = [] {
        HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        return kernel ? reinterpret_cast<PreciseTimeFunction>(reinterpret_cast<void (*)()>(
                            GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime")))
                      : nullptr;
    }();
    return function;
}

}  // namespace

ULONGLONG SystemTimeUnitsNow()
{
    FILETIME now;
    if (const PreciseTimeFunction precise = PreciseTime())
        precise(&now);
    else
        GetSystemTimeAsFileTime(&now);
    return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

ULONGLONG ComputerSleptMs()
{
    ULONGLONG awakeUnits = 0;
    if (!QueryUnbiasedInterruptTime(&awakeUnits))
        return 0;
    const ULONGLONG awakeMs = awakeUnits / 10000;
    const ULONGLONG sinceStartMs = GetTickCount64();
    return sinceStartMs > awakeMs ? sinceStartMs - awakeMs : 0;
}
