#pragma once
// What the benchmark programs share: clocks, the sample lines they print for scripts/bench,
// the product key, the helper child's command lines, named semaphores and the memory
// figures of a process.
#include "support/unique_resource.h"

#include <windows.h>

#include <string>

// The wall clock in 100-ns units since 1601, as GetSystemTimePreciseAsFileTime gives it;
// the helper child stamps the same clock.
long long PreciseNow();
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

// The folder of the running program, where the helper programs are built beside it.
std::wstring BinDirectory();
// A command line that starts VarnholtBenchChild.exe with the given arguments.
std::wstring ChildCommand(const std::wstring& arguments);

// A fresh folder under the temporary directory, removed with its contents at the end.
class ScratchFolder {
public:
    explicit ScratchFolder(const wchar_t* name);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::wstring& Path() const { return m_path; }
    std::wstring File(const wchar_t* name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
};

// The product key HKLM\SOFTWARE\Varnholt in the view the product reads (32-bit). Each
// returns false when the registry refused.
bool DeleteProductKey();
bool SetProductDword(const std::wstring& subkey, const wchar_t* name, DWORD value);
bool SetProductString(const std::wstring& subkey, const wchar_t* name, const std::wstring& value);
bool RegisterApplication(const std::wstring& name, const std::wstring& scheduler,
                         const std::wstring& scanner, const std::wstring& appDir);

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
