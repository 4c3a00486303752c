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
#include "support/unique_resource.h"
#include "tests/common/child_options.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

void WriteAnswer(wchar_t* const* arguments, int, int&)
{
    const std::wstring path = std::wstring(L"SOFTWARE\\Varnholt\\") + arguments[0];
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE | KEY_WOW64_32KEY,
                      &key) != ERROR_SUCCESS)
        return;
    const UniqueRegistryKey owner(key);
    const DWORD value = static_cast<DWORD>(wcstoul(arguments[1], nullptr, 10));
    RegSetValueExW(key, L"ScheduleEnabled", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                   sizeof(value));
}

void Stamp(wchar_t* const* arguments, int, int&)
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    const unsigned long long units =
        (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    char line[32];
    const int length = _snprintf(line, sizeof(line) - 1, "%llu\r\n", units);
    if (length > 0)
        AppendToFile(arguments[0], std::string(line, static_cast<size_t>(length)));
}

void Release(wchar_t* const* arguments, int, int&)
{
    const UniqueHandle semaphore(OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, /*bInheritHandle=*/FALSE,
                                                arguments[0]));
    if (semaphore)
        ReleaseSemaphore(semaphore.Get(), 1, nullptr);
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

const ChildOption kOptions[] = {
    {L"--write", 2, false, WriteAnswer},
    {L"--stamp", 1, false, Stamp},
    {L"--release", 1, false, Release},
    {L"--quit-loop", 0, false, [](wchar_t* const*, int, int&) { QuitLoop(); }},
    {L"--ignore-quit", 0, false,
     [](wchar_t* const*, int, int&) {
         MakeMessageQueue();
         Sleep(INFINITE);
     }},
    {L"--queue", 0, false, [](wchar_t* const*, int, int&) { MakeMessageQueue(); }},
};

}  // namespace

int wmain(int argc, wchar_t* argv[]) { return RunChildOptions(argc, argv, kOptions); }
