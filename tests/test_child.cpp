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
#include <windows.h>

#include <cwchar>
#include <cwctype>
#include <string>

namespace {

void Append(const wchar_t* path, const wchar_t* text)
{
    wchar_t directory[MAX_PATH] = L"";
    GetCurrentDirectoryW(MAX_PATH, directory);
    const std::wstring line = std::wstring(text) + L"|" + directory + L"\r\n";
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(bytes > 0 ? bytes - 1 : 0, '\0');
    if (bytes > 1)
        WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, &utf8[0], bytes, nullptr, nullptr);
    const HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    CloseHandle(file);
}

void WriteAnswer(const wchar_t* subkey, const wchar_t* value, const wchar_t* type)
{
    const std::wstring path = std::wstring(L"SOFTWARE\\Varnholt\\") + subkey;
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    if (wcscmp(type, L"sz") == 0) {
        RegSetValueExW(key, L"ScheduleEnabled", 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                       static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
    } else {
        const DWORD number = static_cast<DWORD>(wcstoul(value, nullptr, 10));
        RegSetValueExW(key, L"ScheduleEnabled", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&number), sizeof(number));
    }
    RegCloseKey(key);
}

DWORD Milliseconds(const wchar_t* text)
{
    const long value = wcstol(text, nullptr, 10);
    return value < 0 ? INFINITE : static_cast<DWORD>(value);
}

void QuitLoop(DWORD limit)
{
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

void Spawn(const wchar_t* idFile, const wchar_t* arguments)
{
    wchar_t self[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, /*bInheritHandles=*/FALSE, 0,
                        nullptr, nullptr, &startup, &info))
        return;
    const std::string id = std::to_string(info.dwProcessId);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    const HANDLE file = CreateFileW(idFile, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, id.data(), static_cast<DWORD>(id.size()), &written, nullptr);
    CloseHandle(file);
}

wchar_t LingeringServiceName[] = L"Varnholt Scheduling";
SERVICE_STATUS LingeringStatus = {};
SERVICE_STATUS_HANDLE LingeringStatusHandle = nullptr;
bool EndInHandler = false;

void WINAPI LingeringHandler(DWORD control)
{
    const bool stop = control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN;
    if (stop)
        LingeringStatus.dwCurrentState = SERVICE_STOPPED;
    SetServiceStatus(LingeringStatusHandle, &LingeringStatus);
    if (stop && EndInHandler)
        ExitProcess(0);
}

void WINAPI LingeringMain(DWORD, LPWSTR*)
{
    LingeringStatusHandle = RegisterServiceCtrlHandlerW(LingeringServiceName, LingeringHandler);
    if (!LingeringStatusHandle)
        return;
    LingeringStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    LingeringStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    LingeringStatus.dwCurrentState = SERVICE_RUNNING;
    SetServiceStatus(LingeringStatusHandle, &LingeringStatus);
}

void RunLingeringService(DWORD lingerMs)
{
    const SERVICE_TABLE_ENTRYW table[] = {{LingeringServiceName, LingeringMain}, {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherW(table))
        Sleep(lingerMs);
}

}  // namespace

int wmain(int argc, wchar_t* argv[])
{
    int exitCode = 0;
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        const bool hasOne = i + 1 < argc;
        const bool hasTwo = i + 2 < argc;
        if (option == L"--append" && hasTwo) {
            Append(argv[i + 1], argv[i + 2]);
            i += 2;
        } else if (option == L"--write" && hasTwo) {
            const bool typed = i + 3 < argc && argv[i + 3][0] != L'-';
            WriteAnswer(argv[i + 1], argv[i + 2], typed ? argv[i + 3] : L"dword");
            i += typed ? 3 : 2;
        } else if (option == L"--spawn" && hasTwo) {
            Spawn(argv[i + 1], argv[i + 2]);
            i += 2;
        } else if (option == L"--queue") {
            MSG message;
            PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
        } else if (option == L"--sleep" && hasOne) {
            Sleep(Milliseconds(argv[++i]));
        } else if (option == L"--quit-loop" && hasOne) {
            QuitLoop(Milliseconds(argv[++i]));
        } else if (option == L"--ignore-quit" && hasOne) {
            MSG message;
            PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);   // makes the queue
            Sleep(Milliseconds(argv[++i]));
        } else if (option == L"--signal" && hasOne) {
            const HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[++i]);
            if (!event || !SetEvent(event))
                exitCode = 3;
            if (event)
                CloseHandle(event);
        } else if (option == L"--ignore-ctrl") {
            SetConsoleCtrlHandler(/*HandlerRoutine=*/nullptr, /*Add=*/TRUE);
        } else if (option == L"--console-ctrl" && hasOne) {
            const DWORD target = static_cast<DWORD>(wcstoul(argv[++i], nullptr, 10));
            FreeConsole();
            // Ctrl+C goes to every process on the console, this one included.
            if (!AttachConsole(target) || !SetConsoleCtrlHandler(nullptr, /*Add=*/TRUE) ||
                !GenerateConsoleCtrlEvent(CTRL_C_EVENT, /*dwProcessGroupId=*/0))
                exitCode = 4;
            FreeConsole();
        } else if (option == L"--service-linger" && hasOne) {
            RunLingeringService(Milliseconds(argv[++i]));
        } else if (option == L"--service-abrupt") {
            EndInHandler = true;
            RunLingeringService(0);
        } else if (option == L"--exit" && hasOne) {
            exitCode = static_cast<int>(wcstol(argv[++i], nullptr, 10));
        }
    }
    return exitCode;
}
