#pragma once
// The clocks the scheduler reads: the wall clock and the computer's time asleep.
#include <windows.h>

// UTC in FILETIME units (100 ns since 1601) as one number; to the microsecond where the
// system offers it (Windows 8 and later, Wine), otherwise to the clock's tick.
ULONGLONG SystemTimeUnitsNow();

// How long the computer has slept or hibernated since it started, in milliseconds: the
// tick count goes on during sleep, the unbiased interrupt time does not. 0 when the
// unbiased time cannot be read.
ULONGLONG ComputerSleptMs();
