// The installed service's platform, for the footprint: a service that links the system
// libraries the product links (advapi32, shell32, user32, and the C++ runtime statically)
// and makes the product's first calls in service mode, with none of its work:
//   - the entry point's thread: the common application data folder (shell32), a file
//     opened there by a short-lived thread (the day's log file), a second short-lived thread
//     (the pruning's walk), an Event Log source, the worker, the service dispatcher;
//   - ServiceMain on the dispatcher's thread: the control handler, SERVICE_RUNNING and one
//     event;
//   - the worker: a waiting timer, an event, powrprof.dll loaded, read and freed as at each
//     pass's end, the push-script thread, then a wait for the stop;
//   - the push-script thread: the sleeping program (VarnholtBenchChild.exe --sleep -1)
//     started suspended in a job that kills it on close, and a wait for it or the stop.
// The stop posts WM_QUIT to the sleeping program's thread (user32, as the product's stop
// asks its children to quit) and reports SERVICE_STOPPED. Its memory beside the product's is
// what the product's own code and data cost.
#include "support/unique_resource.h"

#include <windows.h>

#include <process.h>
#include <shlobj.h>

#include <string>

namespace {

const wchar_t kName[] = L"Varnholt Bench Bare Service";
constexpr WORD kStartEventId = 1000;
constexpr DWORD kHelperWaitMs = 10000;

SERVICE_STATUS Status = {};
SERVICE_STATUS_HANDLE StatusHandle = nullptr;
// Made before the dispatcher starts, never closed: the threads may still wait on it when
// the entry point returns.
HANDLE StopEvent = nullptr;
HANDLE EventSource = nullptr;
volatile LONG SleeperThreadId = 0;

std::wstring ProgramBeside(const wchar_t* fileName)
{
    wchar_t path[MAX_PATH] = L"";
    const DWORD length = GetModuleFileNameW(/*hModule=*/nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return fileName;
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\') + 1) + fileName;
}

// Runs entry on a thread of its own and waits for its end, as the log's open and the
// pruning do.
void RunOnHelperThread(LPTHREAD_START_ROUTINE entry, void* argument)
{
    const UniqueHandle thread(CreateThread(/*lpThreadAttributes=*/nullptr, /*dwStackSize=*/0, entry,
                                           argument, /*dwCreationFlags=*/0, /*lpThreadId=*/nullptr));
    if (thread)
        WaitForSingleObject(thread.Get(), kHelperWaitMs);
}

DWORD WINAPI OpenLogFile(void* argument)
{
    const std::wstring& path = *static_cast<const std::wstring*>(argument);
    const UniqueFileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, /*lpSecurityAttributes=*/nullptr,
                                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, /*hTemplateFile=*/nullptr));
    return file ? 0 : 1;
}

DWORD WINAPI WalkFolder(void* argument)
{
    const std::wstring pattern = *static_cast<const std::wstring*>(argument) + L"\\*";
    WIN32_FIND_DATAW found;
    const UniqueFindHandle walk(FindFirstFileW(pattern.c_str(), &found));
    while (walk && FindNextFileW(walk.Get(), &found)) {
    }
    return 0;
}

using GetActiveSchemeFunction = DWORD(WINAPI*)(HKEY, GUID**);

void ReadPowerScheme()
{
    const UniqueModule library(
        LoadLibraryExW(L"powrprof.dll", /*hFile=*/nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!library)
        return;
    const auto getActiveScheme = reinterpret_cast<GetActiveSchemeFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(library.Get(), "PowerGetActiveScheme")));
    GUID* scheme = nullptr;
    if (getActiveScheme && getActiveScheme(/*UserRootPowerKey=*/nullptr, &scheme) == ERROR_SUCCESS)
        LocalFree(scheme);
}

unsigned __stdcall PushScriptThread(void*)
{
    const UniqueHandle job(CreateJobObjectW(/*lpJobAttributes=*/nullptr, /*lpName=*/nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!job || !SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits,
                                         sizeof(limits)))
        return 1;
    std::wstring commandLine = L"\"" + ProgramBeside(L"VarnholtBenchChild.exe") + L"\" --sleep -1";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(/*lpApplicationName=*/nullptr, &commandLine[0], /*lpProcessAttributes=*/nullptr,
                        /*lpThreadAttributes=*/nullptr, /*bInheritHandles=*/FALSE,
                        NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED, /*lpEnvironment=*/nullptr,
                        /*lpCurrentDirectory=*/nullptr, &startup, &info))
        return 1;
    const UniqueProcessInformation started(info);
    if (!AssignProcessToJobObject(job.Get(), started.Process())) {
        TerminateProcess(started.Process(), 1);
        return 1;
    }
    InterlockedExchange(&SleeperThreadId, static_cast<LONG>(info.dwThreadId));
    ResumeThread(started.Thread());
    const HANDLE waits[] = {started.Process(), StopEvent};
    WaitForMultipleObjects(2, waits, /*bWaitAll=*/FALSE, INFINITE);
    return 0;
}

unsigned __stdcall WorkerThread(void*)
{
    const UniqueHandle timer(CreateWaitableTimerW(/*lpTimerAttributes=*/nullptr, /*bManualReset=*/FALSE,
                                                  /*lpTimerName=*/nullptr));
    const UniqueHandle check(CreateEventW(/*lpEventAttributes=*/nullptr, /*bManualReset=*/FALSE,
                                          /*bInitialState=*/FALSE, /*lpName=*/nullptr));
    ReadPowerScheme();
    const uintptr_t push = _beginthreadex(/*security=*/nullptr, /*stack_size=*/0, PushScriptThread,
                                          /*arglist=*/nullptr, /*initflag=*/0, /*thrdaddr=*/nullptr);
    // _beginthreadex gives the new thread's handle as an integer.
    const UniqueHandle pushThread(reinterpret_cast<HANDLE>(push));   // NOLINT(performance-no-int-to-ptr)
    WaitForSingleObject(StopEvent, INFINITE);
    return 0;
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*)
{
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        SetEvent(StopEvent);
        const LONG sleeper = InterlockedCompareExchange(&SleeperThreadId, 0, 0);
        if (sleeper != 0)
            PostThreadMessageW(static_cast<DWORD>(sleeper), WM_QUIT, 0, 0);
        Status.dwCurrentState = SERVICE_STOPPED;
    }
    SetServiceStatus(StatusHandle, &Status);
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPWSTR*)
{
    StatusHandle = RegisterServiceCtrlHandlerExW(kName, Handler, /*lpContext=*/nullptr);
    if (!StatusHandle)
        return;
    Status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    Status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    Status.dwCurrentState = SERVICE_RUNNING;
    SetServiceStatus(StatusHandle, &Status);
    const wchar_t* strings[] = {L"Start"};
    if (EventSource)
        ReportEventW(EventSource, EVENTLOG_INFORMATION_TYPE, /*wCategory=*/0, kStartEventId,
                     /*lpUserSid=*/nullptr, 1, /*dwDataSize=*/0, strings, /*lpRawData=*/nullptr);
}

}  // namespace

int main()
{
    // Static: a helper thread that outlasts its wait still reads them.
    static std::wstring folder;
    static std::wstring logFile;
    wchar_t data[MAX_PATH] = L"";
    if (SUCCEEDED(SHGetFolderPathW(/*hwnd=*/nullptr, CSIDL_COMMON_APPDATA, /*hToken=*/nullptr,
                                   SHGFP_TYPE_CURRENT, data))) {
        folder = data;
        logFile = folder + L"\\VarnholtBenchBareService.log";
        RunOnHelperThread(OpenLogFile, &logFile);
        RunOnHelperThread(WalkFolder, &folder);
    }
    EventSource = RegisterEventSourceW(/*lpUNCServerName=*/nullptr, kName);
    StopEvent = CreateEventW(/*lpEventAttributes=*/nullptr, /*bManualReset=*/TRUE,
                             /*bInitialState=*/FALSE, /*lpName=*/nullptr);
    if (!StopEvent)
        return 1;
    const uintptr_t worker = _beginthreadex(/*security=*/nullptr, /*stack_size=*/0, WorkerThread,
                                            /*arglist=*/nullptr, /*initflag=*/0, /*thrdaddr=*/nullptr);
    const UniqueHandle workerThread(reinterpret_cast<HANDLE>(worker));   // NOLINT(performance-no-int-to-ptr)
    static const SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(kName), ServiceMain},
                                                 {nullptr, nullptr}};
    StartServiceCtrlDispatcherW(table);
    return 0;
}
