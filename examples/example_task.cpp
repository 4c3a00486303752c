// ExampleTask: the main task of the application "Varnholt Example".
//
//     ExampleTask.exe [--work-seconds N]
//
// Varnholt Scheduling starts the command line of the application's Scanner value, hidden,
// in the application's AppDir, when the schedule query program's answer has come due. This
// task appends a line stamped with the local date and time to example-task.txt in its
// working directory, works for N seconds (default 0; the work is simulated by waiting),
// appends a second line and exits 0.
//
// A task may be asked to stop: when the service stops, or when a task runs past its limit
// of twelve hours, the service posts WM_QUIT to the task's primary thread and terminates
// the task five seconds later. So the real work runs on a thread of its own, and the
// primary thread does nothing but wait for that thread or for WM_QUIT. On WM_QUIT it tells
// the work to stop, waits for it, writes "stopped on request" and exits 1.
//
// Exit codes: 0 the work is done; 1 stopped on request; 2 wrong usage; 3 a system call
// failed, for instance the output file could not be written (the reason goes to standard
// error).
#include "examples/console_text.h"
#include "support/unique_resource.h"

#include <windows.h>

#include <cwchar>
#include <string>

namespace {

constexpr int kExitDone = 0;
constexpr int kExitStoppedOnRequest = 1;
constexpr int kExitUsage = 2;
constexpr int kExitFailure = 3;

const wchar_t kOutputFile[] = L"example-task.txt";
// The simulated work ends within a day, well inside the service's limit of twelve hours
// and longer than any demonstration needs.
constexpr unsigned long kMaxWorkSeconds = 86400;

struct Work {
    DWORD Milliseconds;
    HANDLE StopEvent;   // set by the primary thread on WM_QUIT
};

// The application's real work would go here, testing StopEvent between its steps.
DWORD WINAPI WorkThread(void* parameter)
{
    const Work* work = static_cast<const Work*>(parameter);
    WaitForSingleObject(work->StopEvent, work->Milliseconds);
    return 0;
}

// Digits only, 0 to kMaxWorkSeconds.
bool ParseWorkSeconds(const wchar_t* text, DWORD& seconds)
{
    if (text[0] < L'0' || text[0] > L'9')
        return false;
    wchar_t* end = nullptr;
    const unsigned long value = wcstoul(text, &end, 10);
    if (*end != L'\0' || value > kMaxWorkSeconds)
        return false;
    seconds = static_cast<DWORD>(value);
    return true;
}

bool ParseArguments(int argc, wchar_t* argv[], DWORD& workSeconds)
{
    if (argc == 1)
        return true;
    return argc == 3 && wcscmp(argv[1], L"--work-seconds") == 0 && ParseWorkSeconds(argv[2], workSeconds);
}

// Appends "YYYY-MM-DD hh:mm:ss event" and CR LF, as UTF-8, to the output file in the
// current directory. Returns 0, or the error of the call that failed.
DWORD AppendLine(const std::wstring& event)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t stamp[32];
    _snwprintf(stamp, 31, L"%04u-%02u-%02u %02u:%02u:%02u ", now.wYear, now.wMonth, now.wDay,
               now.wHour, now.wMinute, now.wSecond);
    stamp[31] = L'\0';
    const std::wstring line = stamp + event + L"\r\n";
    const int length = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string bytes(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) {
        WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), &bytes[0],
                            length, nullptr, nullptr);
    }
    // FILE_APPEND_DATA alone: each line lands at the end, even with several writers.
    UniqueFileHandle file(CreateFileW(kOutputFile, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return GetLastError();
    DWORD written = 0;
    if (!WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
        return GetLastError();
    return 0;
}

int Fail(const std::wstring& what, DWORD error)
{
    WriteStandardText(STD_ERROR_HANDLE, L"ExampleTask: " + what + L", error " + std::to_wstring(error) + L"\r\n");
    return kExitFailure;
}

int CannotWrite(DWORD error)
{
    return Fail(L"cannot append to " + std::wstring(kOutputFile) + L" in the working directory", error);
}

// True when WM_QUIT has arrived; every other message is dispatched.
bool QuitReceived()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT)
            return true;
        DispatchMessageW(&message);
    }
    return false;
}

}  // namespace

int wmain(int argc, wchar_t* argv[])
{
    // The message queue first: until a thread has one, a WM_QUIT posted to it is lost
    // (PostThreadMessageW fails with ERROR_INVALID_THREAD_ID).
    MSG unused;
    PeekMessageW(&unused, nullptr, 0, 0, PM_NOREMOVE);

    DWORD workSeconds = 0;
    if (!ParseArguments(argc, argv, workSeconds)) {
        WriteStandardText(STD_ERROR_HANDLE, L"usage: ExampleTask.exe [--work-seconds N]\r\n"
                                            L"  N from 0 to 86400, default 0\r\n");
        return kExitUsage;
    }

    wchar_t directory[MAX_PATH] = L"";
    GetCurrentDirectoryW(MAX_PATH, directory);
    DWORD error = AppendLine(L"Example task started in " + std::wstring(directory));
    if (error != 0)
        return CannotWrite(error);

    UniqueHandle stopEvent(CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr));
    if (!stopEvent) {
        error = GetLastError();
        return Fail(L"CreateEvent failed", error);
    }
    Work work = {workSeconds * 1000, stopEvent.Get()};
    UniqueHandle worker(CreateThread(nullptr, 0, WorkThread, &work, 0, nullptr));
    if (!worker) {
        error = GetLastError();
        return Fail(L"CreateThread failed", error);
    }

    bool stopped = false;
    for (;;) {
        if (QuitReceived()) {
            SetEvent(stopEvent.Get());
            WaitForSingleObject(worker.Get(), INFINITE);
            stopped = true;
            break;
        }
        const HANDLE handles[] = {worker.Get()};
        // QS_ALLINPUT wakes for messages that arrive after the last PeekMessageW; the loop
        // has just emptied the queue.
        if (MsgWaitForMultipleObjects(1, handles, /*fWaitAll=*/FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0)
            break;
    }
    error = AppendLine(stopped ? L"Example task stopped on request" : L"Example task finished");
    if (error != 0)
        return CannotWrite(error);
    return stopped ? kExitStoppedOnRequest : kExitDone;
}
