// Memory over time. Two ways:
//   - the installed service, driven from outside: passes triggered through its check
//     event, with two references beside it: the bare service (VarnholtBenchBareService.exe,
//     the same system libraries, threads and first calls) and the sleeping program;
//   - the push-script supervisor's loop in this process, relaunching a script that ends at
//     once after a short pause, against a bare loop that starts and reaps the same program.
// The figures come from the Linux side (/proc), where Wine's processes are ordinary ones.
#include "bench/benchmarks.h"

#include "bench/bench_support.h"
#include "schedule/child_process.h"
#include "schedule/push_script.h"
#include "schedule/scheduler_thread.h"
#include "tests/common/program_paths.h"
#include "tests/common/registry.h"
#include "tests/common/scheduler_control.h"

#include <cstdio>
#include <thread>

namespace {

const wchar_t kQueryCounter[] = L"Global\\VarnholtBenchQueryRan";
const wchar_t kPushCounter[] = L"Global\\VarnholtBenchPushRan";
const wchar_t kBareService[] = L"Varnholt Bench Bare Service";

// The idle service's application answers well inside the scheduler's 30-minute bound, so
// that the service then waits on its timer.
constexpr DWORD kIdleAnswerSeconds = 1700;
constexpr DWORD kPassTimeoutMs = 60000;
constexpr DWORD kSettleMs = 500;
constexpr DWORD kStartTimeoutMs = 30000;

void PrintDelta(const char* row, long long before, long long after)
{
    PrintSample(row, static_cast<double>(after - before));
}

bool SignalCheckEvent()
{
    UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, /*bInheritHandle=*/FALSE, kScheduleCheckEventName));
    return event && SetEvent(event.Get());
}

}  // namespace

int SetUpIdleService()
{
    DeleteProductKey();
    wchar_t temp[MAX_PATH] = L"";
    GetTempPathW(MAX_PATH, temp);
    const std::wstring appDir = std::wstring(temp) + L"vh-bench-idle";
    CreateDirectoryW(appDir.c_str(), nullptr);
    const std::wstring answer = std::to_wstring(kIdleAnswerSeconds);
    const bool written =
        RegisterApplication(L"Idle", ChildCommand(L"--write Idle " + answer + L" --release " + kQueryCounter),
                            ChildCommand(L"--exit 0"), appDir) &&
        SetProductString(L"", L"PushScriptCommand", ChildCommand(L"--sleep -1"));
    return written ? 0 : 1;
}

int StartBareService()
{
    const UniqueServiceHandle manager(OpenSCManagerW(/*lpMachineName=*/nullptr,
                                                     /*lpDatabaseName=*/nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return 1;
    UniqueServiceHandle service(OpenServiceW(manager.Get(), kBareService, SERVICE_ALL_ACCESS));
    if (!service) {
        const std::wstring image = L"\"" + ProgramBeside(L"VarnholtBenchBareService.exe") + L"\"";
        service.Reset(CreateServiceW(manager.Get(), kBareService, kBareService, SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                     image.c_str(), /*lpLoadOrderGroup=*/nullptr, /*lpdwTagId=*/nullptr,
                                     /*lpDependencies=*/nullptr, /*lpServiceStartName=*/nullptr,
                                     /*lpPassword=*/nullptr));
    }
    if (!service || !StartServiceW(service.Get(), 0, /*lpServiceArgVectors=*/nullptr)) {
        std::fprintf(stderr, "the bare service cannot be installed or started, error %lu\n", GetLastError());
        return 1;
    }
    const ULONGLONG deadline = GetTickCount64() + kStartTimeoutMs;
    SERVICE_STATUS status = {};
    while (QueryServiceStatus(service.Get(), &status) && status.dwCurrentState != SERVICE_RUNNING) {
        if (GetTickCount64() > deadline)
            break;
        Sleep(50);
    }
    return status.dwCurrentState == SERVICE_RUNNING ? 0 : 1;
}

int RunServiceFootprint(unsigned long servicePid, unsigned long sleeperPid, unsigned long barePid,
                        int passes, int blocks)
{
    UniqueHandle counter = CreateCounter(kQueryCounter);
    if (!counter)
        return 1;
    // The service's first pass may still be ahead (its start delay) or behind: ask for one
    // until it comes.
    const ULONGLONG deadline = GetTickCount64() + kPassTimeoutMs;
    while (WaitForSingleObject(counter.Get(), 500) != WAIT_OBJECT_0) {
        if (GetTickCount64() > deadline) {
            std::fprintf(stderr, "the service ran no pass\n");
            return 1;
        }
        SignalCheckEvent();
    }
    Sleep(kSettleMs);
    DrainReleases(counter.Get());

    MemoryFigures service;
    MemoryFigures sleeper;
    MemoryFigures bare;
    if (!ReadMemory(servicePid, service) || !ReadMemory(sleeperPid, sleeper) || !ReadMemory(barePid, bare)) {
        std::fprintf(stderr, "cannot read the memory figures from /proc\n");
        return 1;
    }
    for (int b = 0; b < blocks; ++b) {
        for (int i = 0; i < passes; ++i) {
            // Each signal gives exactly one pass: one that arrives while a pass still runs
            // stays pending and ends the next wait at once.
            if (!SignalCheckEvent() || !WaitForReleases(counter.Get(), 1, kPassTimeoutMs)) {
                std::fprintf(stderr, "a pass did not come\n");
                return 1;
            }
        }
        Sleep(kSettleMs);
        MemoryFigures serviceAfter;
        MemoryFigures sleeperAfter;
        if (!ReadMemory(servicePid, serviceAfter) || !ReadMemory(sleeperPid, sleeperAfter) ||
            !ReadMemory(barePid, bare))
            return 1;
        PrintSample("service-resident", static_cast<double>(serviceAfter.ResidentKiB));
        PrintSample("service-private", static_cast<double>(serviceAfter.PrivateKiB));
        PrintSample("sleeper-resident", static_cast<double>(sleeperAfter.ResidentKiB));
        PrintSample("sleeper-private", static_cast<double>(sleeperAfter.PrivateKiB));
        PrintSample("bare-service-resident", static_cast<double>(bare.ResidentKiB));
        PrintSample("bare-service-private", static_cast<double>(bare.PrivateKiB));
        PrintDelta("passes-resident-delta", service.ResidentKiB, serviceAfter.ResidentKiB);
        PrintDelta("passes-private-delta", service.PrivateKiB, serviceAfter.PrivateKiB);
        PrintDelta("sleeper-resident-delta", sleeper.ResidentKiB, sleeperAfter.ResidentKiB);
        PrintDelta("sleeper-private-delta", sleeper.PrivateKiB, sleeperAfter.PrivateKiB);
        service = serviceAfter;
        sleeper = sleeperAfter;
    }
    return 0;
}

int RunRelaunchFootprint(int relaunches, int blocks)
{
    DeleteProductKey();
    UniqueHandle counter = CreateCounter(kPushCounter);
    const std::wstring script = ChildCommand(std::wstring(L"--release ") + kPushCounter);
    if (!counter || !SetProductString(L"", L"PushScriptCommand", script))
        return 1;

    Timings timings;
    timings.PushStartSleepMs = 10;
    timings.PushPauseMs = 20;
    timings.PushStepMs = 10;
    SetPushStop(false);
    std::thread supervisor([&timings] {
        try {
            RunPushScriptLoop(timings);
        } catch (...) {
            // Out of memory: the relaunches stop, and the wait for them says so.
        }
    });

    // A few runs first, so that what is allocated once (the log's first lines, the child
    // runner's first use) is behind us.
    int status = 0;
    MemoryFigures before;
    if (!WaitForReleases(counter.Get(), 5, kPassTimeoutMs) || !ReadMemory(0, before))
        status = 1;
    for (int b = 0; b < blocks && status == 0; ++b) {
        MemoryFigures after;
        if (!WaitForReleases(counter.Get(), relaunches, kPassTimeoutMs) || !ReadMemory(0, after)) {
            status = 1;
            break;
        }
        PrintSample("relaunch-resident", static_cast<double>(after.ResidentKiB));
        PrintSample("relaunch-private", static_cast<double>(after.PrivateKiB));
        PrintDelta("relaunch-resident-delta", before.ResidentKiB, after.ResidentKiB);
        PrintDelta("relaunch-private-delta", before.PrivateKiB, after.PrivateKiB);
        before = after;
    }
    SetPushStop(true);
    supervisor.join();
    DeleteProductKey();
    if (status != 0) {
        std::fprintf(stderr, "the push script was not relaunched as expected\n");
        return status;
    }

    // The same number of starts of the same program, with nothing of the product around them.
    for (int i = 0; i < 5; ++i)
        RunAndWaitPlain(script, nullptr);
    if (!ReadMemory(0, before))
        return 1;
    for (int b = 0; b < blocks; ++b) {
        for (int i = 0; i < relaunches; ++i)
            RunAndWaitPlain(script, nullptr);
        MemoryFigures after;
        if (!ReadMemory(0, after))
            return 1;
        PrintDelta("bare-relaunch-resident-delta", before.ResidentKiB, after.ResidentKiB);
        PrintDelta("bare-relaunch-private-delta", before.PrivateKiB, after.PrivateKiB);
        before = after;
    }
    return 0;
}
