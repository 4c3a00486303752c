// How long a stop takes under the service control manager: from the stop request to the
// moment the manager reports SERVICE_STOPPED, and to the end of the service's process.
// The service is installed here, started, given its children, stopped, and removed again:
//   none         one application whose query program answers at once; no push script, so
//                that at the stop both slots are empty and the worker waits on its timer
//   cooperative  a query program and a push script that both quit on WM_QUIT
//   ignoring     a query program and a push script that both ignore WM_QUIT
//   bare         the smallest possible service instead of the product: the manager's own cost
#include "bench/benchmarks.h"

#include "bench/bench_support.h"
#include "tests/common/processes.h"
#include "tests/common/program_paths.h"
#include "tests/common/registry.h"
#include "tests/common/scratch_folder.h"

#include <cstdio>
#include <thread>

namespace {

const wchar_t kProductService[] = L"Varnholt Scheduling";
const wchar_t kBareService[] = L"Varnholt Bench Service";
const wchar_t kReadyCounter[] = L"Global\\VarnholtBenchReady";
const wchar_t kChildExe[] = L"VarnholtBenchChild.exe";
constexpr DWORD kStateTimeoutMs = 30000;
constexpr DWORD kReadyTimeoutMs = 60000;
constexpr DWORD kPollMs = 2;

UniqueServiceHandle OpenManager()
{
    return UniqueServiceHandle(OpenSCManagerW(/*lpMachineName=*/nullptr, /*lpDatabaseName=*/nullptr,
                                              SC_MANAGER_ALL_ACCESS));
}

bool WaitForState(SC_HANDLE service, DWORD state, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        SERVICE_STATUS status = {};
        if (QueryServiceStatus(service, &status) && status.dwCurrentState == state)
            return true;
        if (GetTickCount64() > deadline)
            return false;
        Sleep(20);
    }
}

void RemoveService(SC_HANDLE manager, const wchar_t* name)
{
    UniqueServiceHandle service(OpenServiceW(manager, name, SERVICE_ALL_ACCESS));
    if (!service)
        return;
    SERVICE_STATUS status = {};
    ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
    WaitForState(service.Get(), SERVICE_STOPPED, kStateTimeoutMs);
    DeleteService(service.Get());
}

// Ends every helper child still running; returns how many there were.
int EndChildren()
{
    int ended = 0;
    for (const UniqueHandle& process : OpenProcesses(kChildExe, PROCESS_TERMINATE | SYNCHRONIZE)) {
        if (TerminateProcess(process.Get(), 1)) {
            WaitForSingleObject(process.Get(), 5000);
            ++ended;
        }
    }
    return ended;
}

struct Setup {
    const wchar_t* Service;
    const wchar_t* Image;
    int Children;   // releases of the ready counter to wait for before the stop
};

bool Configure(const std::wstring& kind, const std::wstring& appDir, Setup& setup)
{
    DeleteProductKey();
    setup = {kProductService, L"VarnholtScheduling.exe", 2};
    const std::wstring ready = std::wstring(L" --release ") + kReadyCounter;
    if (kind == L"bare") {
        setup = {kBareService, L"VarnholtBenchService.exe", 0};
        return true;
    }
    if (kind == L"none") {
        setup.Children = 1;
        return RegisterApplication(L"Stop", ChildCommand(L"--write Stop 1700" + ready),
                                   ChildCommand(L"--exit 0"), appDir);
    }
    std::wstring child;
    if (kind == L"cooperative")
        child = ChildCommand(L"--queue" + ready + L" --quit-loop");
    else if (kind == L"ignoring")
        child = ChildCommand(L"--queue" + ready + L" --ignore-quit");
    else
        return false;
    return RegisterApplication(L"Stop", child, ChildCommand(L"--exit 0"), appDir) &&
           SetProductString(L"", L"PushScriptCommand", child);
}

}  // namespace

int RunStopBench(const std::wstring& kind, int repetitions)
{
    ScratchDirectory folder(L"vh-bench-stop");
    Setup setup;
    if (!Configure(kind, folder.Path(), setup)) {
        std::fprintf(stderr, "unknown stop case or no product key\n");
        return 1;
    }
    UniqueHandle ready = CreateCounter(kReadyCounter);
    UniqueServiceHandle manager = OpenManager();
    if (!manager || !ready)
        return 1;
    RemoveService(manager.Get(), setup.Service);
    const std::wstring image = L"\"" + ProgramBeside(setup.Image) + L"\"";
    UniqueServiceHandle service(CreateServiceW(
        manager.Get(), setup.Service, setup.Service, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
        SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(), /*lpLoadOrderGroup=*/nullptr,
        /*lpdwTagId=*/nullptr, /*lpDependencies=*/nullptr,
        /*lpServiceStartName=*/nullptr, /*lpPassword=*/nullptr));
    if (!service) {
        std::fprintf(stderr, "CreateService failed, error %lu\n", GetLastError());
        return 1;
    }

    std::string rowText = "stop-";
    rowText.append(kind.begin(), kind.end());
    const std::string exitRow = rowText + "-exit";
    int status = 0;
    for (int r = 0; r < repetitions && status == 0; ++r) {
        DrainReleases(ready.Get());
        if (!StartServiceW(service.Get(), 0, /*lpServiceArgVectors=*/nullptr) ||
            !WaitForState(service.Get(), SERVICE_RUNNING, kStateTimeoutMs) ||
            !WaitForReleases(ready.Get(), setup.Children, kReadyTimeoutMs)) {
            std::fprintf(stderr, "the service did not start with its children\n");
            status = 1;
            break;
        }
        Sleep(500);   // the pass ends, the worker is in its wait

        SERVICE_STATUS_PROCESS process = {};
        DWORD needed = 0;
        QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&process),
                             sizeof(process), &needed);
        UniqueHandle serviceProcess(OpenProcess(SYNCHRONIZE, /*bInheritHandle=*/FALSE, process.dwProcessId));

        double stoppedMs = -1;
        const Stopwatch watch;
        std::thread poller([&] {
            UniqueServiceHandle own(OpenServiceW(manager.Get(), setup.Service, SERVICE_QUERY_STATUS));
            while (own && watch.Milliseconds() < kStateTimeoutMs) {
                SERVICE_STATUS current = {};
                if (QueryServiceStatus(own.Get(), &current) && current.dwCurrentState == SERVICE_STOPPED) {
                    stoppedMs = watch.Milliseconds();
                    return;
                }
                Sleep(kPollMs);
            }
        });
        SERVICE_STATUS stopStatus = {};
        const BOOL sent = ControlService(service.Get(), SERVICE_CONTROL_STOP, &stopStatus);
        const DWORD error = GetLastError();
        const double sentMs = watch.Milliseconds();
        poller.join();
        if (serviceProcess)
            WaitForSingleObject(serviceProcess.Get(), kStateTimeoutMs);
        const double exitMs = watch.Milliseconds();

        if (stoppedMs < 0) {
            std::fprintf(stderr, "the service did not report STOPPED\n");
            status = 1;
        } else {
            PrintSample(rowText.c_str(), stoppedMs);
            PrintSample(exitRow.c_str(), exitMs);
        }
        if (!sent) {
            char note[160];
            _snprintf(note, sizeof(note) - 1,
                      "%s: ControlService returned error %lu after %.0f ms", rowText.c_str(),
                      error, sentMs);
            note[sizeof(note) - 1] = '\0';
            PrintNote(note);
        }
        const int survivors = EndChildren();
        if (survivors > 0) {
            char note[160];
            _snprintf(note, sizeof(note) - 1, "%s: %d child(ren) still ran after the service had ended",
                      rowText.c_str(), survivors);
            note[sizeof(note) - 1] = '\0';
            PrintNote(note);
        }
    }
    DeleteService(service.Get());
    service.Reset();
    DeleteProductKey();
    return status;
}
