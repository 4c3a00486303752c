// The benchmarks' stand-in for an application's programs and for the sleeping program.
// It links nothing of the product, so what it costs is the platform's alone, and it links
// no user32 either: under Wine that library alone adds some 20 to 30 ms to every start,
// so the options that need a message queue load it when they run. It carries out its
// arguments in order:
//   --write SUBKEY SECONDS  writes ScheduleEnabled of HKLM\SOFTWARE\Varnholt\SUBKEY (32-bit
//                           view), as a schedule query program answers
//   --stamp FILE            appends the current time (GetSystemTimePreciseAsFileTime, in
//                           100-ns units) as one decimal line to FILE
//   --release NAME          releases the named semaphore once, if it exists
//   --queue                 makes the thread's message queue (so that a WM_QUIT posted
//                           from now on arrives; a --release after it says so)
//   --quit-loop             runs a message loop until WM_QUIT arrives
//   --ignore-quit           makes a message queue and then never reads it: sleeps for ever
//   --sleep MS              sleeps; -1 sleeps for ever
//   --exit CODE             the exit code at the end (default 0)
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

void WriteAnswer(const wchar_t* subkey, const wchar_t* seconds)
{
    const std::wstring path = std::wstring(L"SOFTWARE\\Varnholt\\") + subkey;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE | KEY_WOW64_32KEY,
                      &key) != ERROR_SUCCESS)
        return;
    const DWORD value = static_cast<DWORD>(wcstoul(seconds, nullptr, 10));
    RegSetValueExW(key, L"ScheduleEnabled", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                   sizeof(value));
    RegCloseKey(key);
}

void Stamp(const wchar_t* path)
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    const unsigned long long units =
        (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    char line[32];
    const int length = _snprintf(line, sizeof(line) - 1, "%llu\r\n", units);
    const HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE || length <= 0)
        return;
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
    CloseHandle(file);
}

void Release(const wchar_t* name)
{
    const HANDLE semaphore = OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, /*bInheritHandle=*/FALSE, name);
    if (!semaphore)
        return;
    ReleaseSemaphore(semaphore, 1, nullptr);
    CloseHandle(semaphore);
}

using PeekMessageFunction = BOOL(WINAPI*)(LPMSG, HWND, UINT, UINT, UINT);
using GetMessageFunction = BOOL(WINAPI*)(LPMSG, HWND, UINT, UINT);

// user32's function of that name, or null.
template <class Function> Function User32(const char* name)
{
    const HMODULE user32 = LoadLibraryW(L"user32.dll");
    return user32 ? reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(user32, name)))
                  : nullptr;
}

void MakeMessageQueue()
{
    const PeekMessageFunction peek = User32<PeekMessageFunction>("PeekMessageW");
    MSG message;
    if (peek)
        peek(&message, nullptr, 0, 0, PM_NOREMOVE);
}

void QuitLoop()
{
    const GetMessageFunction get = User32<GetMessageFunction>("GetMessageW");
    MSG message;
    while (get && get(&message, nullptr, 0, 0) > 0) {
    }
}

}  // namespace

int wmain(int argc, wchar_t* argv[])
{
    int exitCode = 0;
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        const bool hasOne = i + 1 < argc;
        const bool hasTwo = i + 2 < argc;
        if (option == L"--write" && hasTwo) {
            WriteAnswer(argv[i + 1], argv[i + 2]);
            i += 2;
        } else if (option == L"--stamp" && hasOne) {
            Stamp(argv[++i]);
        } else if (option == L"--release" && hasOne) {
            Release(argv[++i]);
        } else if (option == L"--quit-loop") {
            QuitLoop();
        } else if (option == L"--ignore-quit") {
            MakeMessageQueue();
            Sleep(INFINITE);
        } else if (option == L"--queue") {
            MakeMessageQueue();
        } else if (option == L"--sleep" && hasOne) {
            const long ms = wcstol(argv[++i], nullptr, 10);
            Sleep(ms < 0 ? INFINITE : static_cast<DWORD>(ms));
        } else if (option == L"--exit" && hasOne) {
            exitCode = static_cast<int>(wcstol(argv[++i], nullptr, 10));
        }
    }
    return exitCode;
}
