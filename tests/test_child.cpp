// A stand-in for an application's schedule query program, main task or push script.
// It carries out its arguments in order:
//   --append FILE TEXT     appends "TEXT|<current directory>" and CR LF to FILE
//   --write SUBKEY VALUE [TYPE]
//                          writes ScheduleEnabled of HKLM\SOFTWARE\Varnholt\SUBKEY in the
//                          32-bit view, as an application does; TYPE is dword (default) or sz
//   --queue                makes the message queue now, so that a WM_QUIT posted from here on
//                          is kept for a later --quit-loop (put it before an --append that
//                          tells the test the child is ready)
//   --sleep MS             sleeps
//   --quit-loop MS         runs a message loop until WM_QUIT arrives or MS pass (-1: forever)
//   --ignore-quit MS       makes a message queue, then sleeps MS without reading it
//   --signal NAME          opens the event NAME with EVENT_MODIFY_STATE and sets it (exit 3 if it cannot)
//   --ignore-ctrl          ignores Ctrl+C from the console it shares (its children too)
//   --console-ctrl PID     leaves its own console, attaches to the console of process PID
//                          and sends Ctrl+C to every process on it (exit 4 if it cannot)
//   --service-linger MS    runs as an own-process service that reports RUNNING, reports
//                          STOPPED at a stop or shutdown, and whose process then lives on
//                          for MS once the dispatcher has returned
//   --service-abrupt       runs as the same service, but ends its process in the stop
//                          handler right after reporting STOPPED, before the handler's
//                          answer can reach the service control manager
//   --spawn FILE ARGS      starts another test child with ARGS (one argument), does not
//                          wait for it, and writes its process id to FILE once it exists
//   --exit CODE            the exit code at the end (default 0)
#include "support/unique_resource.h"
#include "tests/common/child_options.h"
#include "tests/common/smallest_service.h"

#include <windows.h>

#include <cwchar>
#include <string>

namespace {

// The service the stand-in plays: the product's own name.
const wchar_t kServiceName[] = L"Varnholt Scheduling";

void Append(wchar_t* const* arguments, int, int&)
{
    wchar_t directory[MAX_PATH] = L"";
    GetCurrentDirectoryW(MAX_PATH, directory);
    const std::wstring line = std::wstring(arguments[1]) + L"|" + directory + L"\r\n";
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(bytes > 0 ? bytes - 1 : 0, '\0');
    if (bytes > 1)
        WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, &utf8[0], bytes, nullptr, nullptr);
    AppendToFile(arguments[0], utf8);
}

void WriteAnswer(wchar_t* const* arguments, int count, int&)
{
    const wchar_t* subkey = arguments[0];
    const wchar_t* value = arguments[1];
    const bool text = count > 2 && wcscmp(arguments[2], L"sz") == 0;
    const std::wstring path = std::wstring(L"SOFTWARE\\Varnholt\\") + subkey;
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    const UniqueRegistryKey owner(key);
    if (text) {
        RegSetValueExW(key, L"ScheduleEnabled", 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                       static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
    } else {
        const DWORD number = static_cast<DWORD>(wcstoul(value, nullptr, 10));
        RegSetValueExW(key, L"ScheduleEnabled", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&number), sizeof(number));
    }
}

void MakeQueue()
{
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
}

void QuitLoop(wchar_t* const* arguments, int, int&)
{
    const DWORD limit = MillisecondsArgument(arguments[0]);
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT)
                ExitProcess(static_cast<UINT>(message.wParam));
        }
        DWORD wait = INFINITE;
        if (limit != INFINITE) {
            const ULONGLONG spent = GetTickCount64() - start;
            if (spent >= limit)
                return;
            wait = static_cast<DWORD>(limit - spent);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, wait, QS_ALLINPUT);
    }
}

void IgnoreQuit(wchar_t* const* arguments, int, int&)
{
    MakeQueue();
    Sleep(MillisecondsArgument(arguments[0]));
}

void Spawn(wchar_t* const* arguments, int, int&)
{
    wchar_t self[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" " + arguments[1];
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, /*bInheritHandles=*/FALSE, 0,
                        nullptr, nullptr, &startup, &info))
        return;
    UniqueProcessInformation started(info);
    const std::string id = std::to_string(started.ProcessId());
    started.Reset();   // the child runs on by itself
    UniqueFileHandle file(CreateFileW(arguments[0], GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file)
        WriteFile(file.Get(), id.data(), static_cast<DWORD>(id.size()), &written, nullptr);
}

void Signal(wchar_t* const* arguments, int, int& exitCode)
{
    const UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, arguments[0]));
    if (!event || !SetEvent(event.Get()))
        exitCode = 3;
}

void ConsoleCtrl(wchar_t* const* arguments, int, int& exitCode)
{
    const DWORD target = static_cast<DWORD>(wcstoul(arguments[0], nullptr, 10));
    FreeConsole();
    // Ctrl+C goes to every process on the console, this one included.
    if (!AttachConsole(target) || !SetConsoleCtrlHandler(nullptr, /*Add=*/TRUE) ||
        !GenerateConsoleCtrlEvent(CTRL_C_EVENT, /*dwProcessGroupId=*/0))
        exitCode = 4;
    FreeConsole();
}

void ServiceLinger(wchar_t* const* arguments, int, int&)
{
    if (RunSmallestService(kServiceName))
        Sleep(MillisecondsArgument(arguments[0]));
}

const ChildOption kOptions[] = {
    {L"--append", 2, false, Append},
    {L"--write", 2, true, WriteAnswer},
    {L"--spawn", 2, false, Spawn},
    {L"--queue", 0, false, [](wchar_t* const*, int, int&) { MakeQueue(); }},
    {L"--quit-loop", 1, false, QuitLoop},
    {L"--ignore-quit", 1, false, IgnoreQuit},
    {L"--signal", 1, false, Signal},
    {L"--ignore-ctrl", 0, false,
     [](wchar_t* const*, int, int&) { SetConsoleCtrlHandler(/*HandlerRoutine=*/nullptr, /*Add=*/TRUE); }},
    {L"--console-ctrl", 1, false, ConsoleCtrl},
    {L"--service-linger", 1, false, ServiceLinger},
    {L"--service-abrupt", 0, false,
     [](wchar_t* const*, int, int&) { RunSmallestService(kServiceName, /*endInStopHandler=*/true); }},
};

}  // namespace

int wmain(int argc, wchar_t* argv[]) { return RunChildOptions(argc, argv, kOptions); }
