#pragma once
// What the benchmark programs share among themselves: clocks, the sample lines they print
// for scripts/bench, the helper child's command lines, named semaphores and the memory
// figures of a process. What they share with the tests (the product key, scratch folders,
// the programs' paths) is in tests/common.
#include "support/unique_resource.h"
#include "tests/common/times.h"

#include <windows.h>

#include <string>

// PreciseNow (tests/common/times.h) is the wall clock of the samples; the helper child
// stamps the same clock.
inline constexpr long long kUnitsPerMs = 10000;
inline constexpr long long kUnitsPerSecond = 10000000;

// A high-resolution interval clock.
class Stopwatch {
public:
    Stopwatch() { Restart(); }
    void Restart() { QueryPerformanceCounter(&m_start); }
    double Seconds() const;
    double Milliseconds() const { return Seconds() * 1e3; }

private:
    LARGE_INTEGER m_start;
};

// Prints "sample <row> <value>" on standard output, flushed at once; scripts/bench turns
// the samples of one row into its minimum, median and maximum.
void PrintSample(const char* row, double value);
// Prints "note <text>": a fact that scripts/bench shows below the table.
void PrintNote(const std::string& text);

// A command line that starts VarnholtBenchChild.exe, built beside this program, with the
// given arguments.
std::wstring ChildCommand(const std::wstring& arguments);

// A named semaphore that helper children release (--release NAME); counts up to a million.
// Null when it cannot be created.
UniqueHandle CreateCounter(const wchar_t* name);
// Waits for `count` releases, each within timeoutMs; false on the first that does not come.
bool WaitForReleases(HANDLE counter, int count, DWORD timeoutMs);
// Takes every release that is pending now; returns how many.
int DrainReleases(HANDLE counter);

// Runs a command line hidden and waits for it; its exit code, or ~0u when it could not start.
DWORD RunAndWaitPlain(std::wstring commandLine, const wchar_t* workingDirectory);

// A process's memory as the Linux kernel counts it for the Wine process that carries it
// (/proc/<pid>/smaps_rollup): resident pages, and those of them mapped by this process
// alone. In KiB.
struct MemoryFigures {
    long long ResidentKiB = -1;
    long long PrivateKiB = -1;
};
// unixPid 0 means this process (/proc/self). False when the figures cannot be read, which
// is the case outside Wine.
bool ReadMemory(unsigned long unixPid, MemoryFigures& figures);

// Parses a decimal argument; fallback when it is missing or not a number.
long ArgumentNumber(int argc, wchar_t* argv[], int index, long fallback);
