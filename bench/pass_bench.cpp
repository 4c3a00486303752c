// The cost of a schedule pass against the bare platform: CheckSchedules over applications
// whose query programs answer at once, and a loop that makes only the calls a pass cannot
// do without (per application: two registry writes, one read, one child run and its exit
// code), over the same applications and the same program.
#include "bench/benchmarks.h"

#include "bench/bench_support.h"
#include "schedule/schedule_check.h"
#include "support/registry_key.h"
#include "tests/common/registry.h"
#include "tests/common/scratch_folder.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

const wchar_t kAnswerValue[] = L"ScheduleEnabled";

struct BareApplication {
    UniqueRegistryKey Key;
    std::wstring Command;
};

// Opens every application's key up front: the loop times only the calls of a query.
std::vector<BareApplication> OpenBareApplications(int count)
{
    std::vector<BareApplication> applications;
    for (int i = 0; i < count; ++i) {
        wchar_t name[32];
        _snwprintf(name, 31, L"App%03d", i);
        name[31] = L'\0';
        HKEY key = nullptr;
        const std::wstring path = std::wstring(L"SOFTWARE\\Varnholt\\") + name;
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0,
                      KEY_READ | KEY_SET_VALUE | KEY_WOW64_32KEY, &key);
        BareApplication application;
        application.Key.Reset(key);
        application.Command = ChildCommand(std::wstring(L"--write ") + name + L" 600");
        applications.push_back(std::move(application));
    }
    return applications;
}

// The startup record of the product's child runner: hidden, on an empty desktop name.
wchar_t EmptyDesktop[] = L"";

void BareLoop(std::vector<BareApplication>& applications, const std::wstring& appDir)
{
    for (BareApplication& application : applications) {
        const DWORD zero = 0;
        RegSetValueExW(application.Key.Get(), kAnswerValue, 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&zero), sizeof(zero));

        std::wstring command = application.Command;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.lpDesktop = EmptyDesktop;
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
        PROCESS_INFORMATION info = {};
        if (CreateProcessW(/*lpApplicationName=*/nullptr, &command[0],
                           /*lpProcessAttributes=*/nullptr, /*lpThreadAttributes=*/nullptr,
                           /*bInheritHandles=*/TRUE, NORMAL_PRIORITY_CLASS,
                           /*lpEnvironment=*/nullptr, appDir.c_str(), &startup, &info)) {
            const UniqueProcessInformation started(info);
            WaitForSingleObject(started.Process(), INFINITE);
            DWORD exitCode = 0;
            GetExitCodeProcess(started.Process(), &exitCode);
            if (exitCode == 0) {
                DWORD answer = 0;
                DWORD size = sizeof(answer);
                DWORD type = 0;
                RegQueryValueExW(application.Key.Get(), kAnswerValue, nullptr, &type,
                                 reinterpret_cast<BYTE*>(&answer), &size);
            }
        }
        RegSetValueExW(application.Key.Get(), kAnswerValue, 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&zero), sizeof(zero));
    }
}

template <class Work> double TimedMs(Work work)
{
    const Stopwatch watch;
    work();
    return watch.Milliseconds();
}

double TimedPass(bool expectAnswers = true)
{
    CRegistryKey productKey;
    OpenProductKey(productKey, KEY_READ);
    ScheduleCheckResult result;
    const double ms = TimedMs([&] { result = CheckSchedules(productKey); });
    if (expectAnswers && (result.AppToRun.empty() || result.NextCheck != 600))
        PrintNote("a pass did not see the answers of its query programs");
    return ms;
}

}  // namespace

int RunPassBench(const std::vector<int>& sizes, int repetitions)
{
    DeleteProductKey();
    ScratchDirectory folder(L"vh-bench-pass");
    int registered = 0;
    bool warm = false;
    for (const int applications : sizes) {
        // The applications of the smaller sizes stay registered: a pass visits them all.
        for (; registered < applications; ++registered) {
            wchar_t name[32];
            _snwprintf(name, 31, L"App%03d", registered);
            name[31] = L'\0';
            if (!RegisterApplication(name, ChildCommand(std::wstring(L"--write ") + name + L" 600"),
                                     ChildCommand(L"--exit 0"), folder.Path())) {
                std::fprintf(stderr, "cannot write the product key\n");
                return 1;
            }
        }
        std::vector<BareApplication> bare = OpenBareApplications(applications);

        const std::string size = std::to_string(applications);
        const std::string passRow = "pass-" + size;
        const std::string bareRow = "bare-pass-" + size;

        // One unrecorded round of each warms the caches of both; then the order alternates,
        // so that a drift of the machine's load weighs on both alike.
        if (!warm) {
            TimedPass();
            BareLoop(bare, folder.Path());
            warm = true;
        }
        for (int r = 0; r < repetitions; ++r) {
            double passMs = 0;
            double loopMs = 0;
            if (r % 2 == 0) {
                passMs = TimedPass();
                loopMs = TimedMs([&] { BareLoop(bare, folder.Path()); });
            } else {
                loopMs = TimedMs([&] { BareLoop(bare, folder.Path()); });
                passMs = TimedPass();
            }
            PrintSample(passRow.c_str(), passMs);
            PrintSample(bareRow.c_str(), loopMs);
            // The two runs of one repetition are next to each other in time, so their ratio
            // shares the machine's load of that moment.
            PrintSample(("pass-ratio-" + size).c_str(), passMs / loopMs);
        }
    }

    // What the pass does beyond the bare loop's calls, alone: the same applications with
    // an empty Scheduler value cost the walk over the subkeys, their opening and the reads
    // of the three values, and start nothing.
    for (int i = 0; i < registered; ++i) {
        wchar_t name[32];
        _snwprintf(name, 31, L"App%03d", i);
        name[31] = L'\0';
        SetProductString(name, L"Scheduler", L"");
    }
    const std::string registryRow = "pass-registry-" + std::to_string(registered);
    TimedPass(/*expectAnswers=*/false);
    for (int r = 0; r < repetitions; ++r)
        PrintSample(registryRow.c_str(), TimedPass(/*expectAnswers=*/false));
    DeleteProductKey();
    return 0;
}
