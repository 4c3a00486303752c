// How late a main task starts after its due time. The scheduler's own loop runs here
// with no start delay and no spacing, so that one wait follows the other; everything else
// is the product's path: the pass runs the query program, the wait is on the waking timer,
// the task is started by the child runner. The query program stamps the clock as it
// answers N seconds, the main task stamps it as it starts:
//   lateness = task start - (answer + N s).
// The bare loop arms an unnamed timer for N seconds right after it stamps the clock, and
// when it fires starts the same stamping program: the platform's own lateness.
// Two more figures split the difference: the time from the query program's answer to the
// end of the pass (its exit, the service noticing it, the rest of the pass), and the bare
// equivalent, from a child's last act to the end of its parent's wait for it.
#include "bench/benchmarks.h"

#include "bench/bench_support.h"
#include "schedule/child_process.h"
#include "schedule/schedule_check.h"
#include "schedule/scheduler_thread.h"
#include "support/registry_key.h"
#include "tests/common/registry.h"
#include "tests/common/scheduler_control.h"
#include "tests/common/scratch_folder.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

const wchar_t kTaskCounter[] = L"Global\\VarnholtBenchTaskRan";

std::vector<long long> ReadStamps(const std::wstring& path)
{
    std::vector<long long> stamps;
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return stamps;
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
        text.append(buffer, read);
    const char* p = text.c_str();
    while (*p) {
        char* end = nullptr;
        const long long value = std::strtoll(p, &end, 10);
        if (end == p)
            break;
        stamps.push_back(value);
        p = end;
        while (*p == '\r' || *p == '\n')
            ++p;
    }
    return stamps;
}

std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

constexpr int kTailSamples = 5;

// Passes over the one application, each timed from its query program's answer to the
// pass's return.
bool MeasurePassTail(const std::wstring& folder, const std::wstring& stamps, DWORD seconds)
{
    if (!RegisterApplication(L"Wake", ChildCommand(L"--write Wake " + std::to_wstring(seconds) + L" --stamp " + Quoted(stamps)),
                             ChildCommand(L"--exit 0"), folder))
        return false;
    for (int i = 0; i < kTailSamples; ++i) {
        CRegistryKey productKey;
        OpenProductKey(productKey, KEY_READ);
        CheckSchedules(productKey);
        const long long ended = PreciseNow();
        const std::vector<long long> answered = ReadStamps(stamps);
        if (answered.size() != static_cast<size_t>(i) + 1)
            return false;
        PrintSample("pass-tail", static_cast<double>(ended - answered.back()) / kUnitsPerMs);
    }
    return true;
}

}  // namespace

int RunWakeBench(DWORD seconds, int samples)
{
    DeleteProductKey();
    ScratchDirectory folder(L"vh-bench-wake");
    const std::wstring answers = folder.File(L"answers.txt");
    const std::wstring starts = folder.File(L"starts.txt");
    UniqueHandle counter = CreateCounter(kTaskCounter);
    const std::wstring secondsText = std::to_wstring(seconds);
    if (!counter || !MeasurePassTail(folder.Path(), folder.File(L"tail.txt"), seconds) ||
        !RegisterApplication(L"Wake", ChildCommand(L"--write Wake " + secondsText + L" --stamp " + Quoted(answers)),
                             ChildCommand(L"--stamp " + Quoted(starts) + L" --release " + kTaskCounter),
                             folder.Path())) {
        std::fprintf(stderr, "cannot set up the wake-up benchmark\n");
        return 1;
    }

    Timings timings;
    timings.StartDelayMs = 0;
    timings.SpacingMs = 0;
    SetSchedulerStop(false);
    std::thread worker([&timings] {
        try {
            RunSchedulerLoop(timings);
        } catch (...) {
            // Out of memory: the samples end here; what was stamped is still read.
        }
    });

    const bool complete = WaitForReleases(counter.Get(), samples, (seconds + 60) * 1000);
    StopSchedulerLoop(worker);
    if (!complete)
        PrintNote("the wake-up benchmark saw fewer runs than it waited for");

    const std::vector<long long> answered = ReadStamps(answers);
    const std::vector<long long> started = ReadStamps(starts);
    char row[32];
    _snprintf(row, sizeof(row) - 1, "wake-%lu", static_cast<unsigned long>(seconds));
    row[sizeof(row) - 1] = '\0';
    for (size_t i = 0; i < started.size() && i < answered.size() && i < static_cast<size_t>(samples); ++i) {
        const long long late = started[i] - (answered[i] + static_cast<long long>(seconds) * kUnitsPerSecond);
        PrintSample(row, static_cast<double>(late) / kUnitsPerMs);
    }
    DeleteProductKey();
    return 0;
}

int RunBareWakeBench(DWORD seconds, int samples)
{
    ScratchDirectory folder(L"vh-bench-wake-bare");
    const std::wstring starts = folder.File(L"starts.txt");
    const std::wstring command = ChildCommand(L"--stamp " + Quoted(starts));
    char row[32];
    char timerRow[32];
    _snprintf(row, sizeof(row) - 1, "bare-wake-%lu", static_cast<unsigned long>(seconds));
    _snprintf(timerRow, sizeof(timerRow) - 1, "bare-timer-%lu", static_cast<unsigned long>(seconds));
    row[sizeof(row) - 1] = '\0';
    timerRow[sizeof(timerRow) - 1] = '\0';

    for (int i = 0; i < samples; ++i) {
        UniqueHandle timer(CreateWaitableTimerW(/*lpTimerAttributes=*/nullptr,
                                                /*bManualReset=*/TRUE, /*lpTimerName=*/nullptr));
        if (!timer)
            return 1;
        const long long armed = PreciseNow();
        LARGE_INTEGER relative;
        relative.QuadPart = 1 - static_cast<long long>(seconds) * kUnitsPerSecond;
        SetWaitableTimer(timer.Get(), &relative, /*lPeriod=*/0, /*pfnCompletionRoutine=*/nullptr,
                         /*lpArgToCompletionRoutine=*/nullptr, /*fResume=*/TRUE);
        WaitForSingleObjectEx(timer.Get(), INFINITE, /*bAlertable=*/TRUE);
        const long long woke = PreciseNow();
        RunAndWaitPlain(command, folder.Path().c_str());
        const long long reaped = PreciseNow();
        const std::vector<long long> started = ReadStamps(starts);
        if (started.size() != static_cast<size_t>(i) + 1)
            return 1;
        const long long due = armed + static_cast<long long>(seconds) * kUnitsPerSecond;
        PrintSample(timerRow, static_cast<double>(woke - due) / kUnitsPerMs);
        PrintSample(row, static_cast<double>(started.back() - due) / kUnitsPerMs);
        PrintSample("bare-reap", static_cast<double>(reaped - started.back()) / kUnitsPerMs);
    }
    return 0;
}
