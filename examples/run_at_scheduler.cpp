// RunAtScheduler: the schedule query program of the application "Varnholt Example".
//
//     RunAtScheduler.exe "<application subkey>"
//
// Varnholt Scheduling starts the command line of the application's Scheduler value, hidden,
// in the application's AppDir, after setting ScheduleEnabled to 0. This program reads RunAt,
// a daily time of day in local time written "HH:MM" (REG_SZ), from the application's subkey
// HKEY_LOCAL_MACHINE\SOFTWARE\Varnholt\<subkey> in the 32-bit registry view (the view the
// service reads), works out the seconds until the clock next shows that time, and writes
// them into ScheduleEnabled of the same key as a REG_DWORD of at least 1. The service then
// runs the application's main task (its Scanner value) when they have passed.
//
// The subkey's name is the one argument, so the same program serves any application that
// registers it; non-ASCII names arrive intact (wmain).
//
// Exit codes: 0 the answer is written; 1 the configuration is missing or malformed
// (no key, no RunAt, RunAt not a REG_SZ "HH:MM"), nothing is written; 2 wrong usage;
// 3 a system call failed. Every exit other than 0 explains itself on standard error; the
// service takes any code other than 0 as "no run wanted".
#include "examples/console_text.h"
#include "examples/run_at.h"
#include "support/unique_resource.h"

#include <windows.h>

#include <cwchar>
#include <string>

namespace {

constexpr int kExitAnswered = 0;
constexpr int kExitBadConfiguration = 1;
constexpr int kExitUsage = 2;
constexpr int kExitSystemFailure = 3;

const wchar_t kProductKeyPath[] = L"SOFTWARE\\Varnholt";
const wchar_t kRunAtValue[] = L"RunAt";
const wchar_t kAnswerValue[] = L"ScheduleEnabled";
// "HH:MM" and its terminator fit many times over; a longer value is malformed anyway.
constexpr DWORD kRunAtCapacity = 32;


std::wstring SystemMessage(DWORD error)
{
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    UniqueLocalMemory owner(text);
    std::wstring message = L"error " + std::to_wstring(error);
    if (length > 0) {
        std::wstring description(text, length);
        while (!description.empty() && (description.back() == L'\n' || description.back() == L'\r' ||
                                         description.back() == L' '))
            description.pop_back();
        message += L": " + description;
    }
    return message;
}

int Fail(int exitCode, const std::wstring& message)
{
    WriteStandardText(STD_ERROR_HANDLE, L"RunAtScheduler: " + message + L"\r\n");
    return exitCode;
}

// Reads RunAt as text. On failure returns the exit code and has reported why; on success
// returns kExitAnswered.
int ReadRunAt(HKEY key, const std::wstring& keyName, std::wstring& text)
{
    wchar_t buffer[kRunAtCapacity + 1] = {};
    DWORD type = REG_NONE;
    DWORD size = kRunAtCapacity * sizeof(wchar_t);
    const LONG status = RegQueryValueExW(key, kRunAtValue, nullptr, &type,
                                         reinterpret_cast<BYTE*>(buffer), &size);
    if (status == ERROR_FILE_NOT_FOUND)
        return Fail(kExitBadConfiguration, L"the value RunAt is missing in " + keyName);
    if (status == ERROR_SUCCESS && type != REG_SZ)
        return Fail(kExitBadConfiguration, L"RunAt in " + keyName + L" must be a string (REG_SZ) \"HH:MM\"");
    if (status == ERROR_MORE_DATA)
        return Fail(kExitBadConfiguration, L"RunAt in " + keyName + L" is too long for \"HH:MM\"");
    if (status != ERROR_SUCCESS)
        return Fail(kExitSystemFailure, L"cannot read RunAt in " + keyName + L": " + SystemMessage(status));
    // The stored string need not end in a terminator; the buffer's spare zeros supply one.
    text.assign(buffer, wcsnlen(buffer, size / sizeof(wchar_t)));
    return kExitAnswered;
}

}  // namespace

int wmain(int argc, wchar_t* argv[])
{
    if (argc != 2 || argv[1][0] == L'\0' || wcschr(argv[1], L'\\') != nullptr) {
        return Fail(kExitUsage, L"usage: RunAtScheduler.exe \"<application subkey>\"\r\n"
                                L"  The subkey of HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt (32-bit view) "
                                L"that holds RunAt, for example \"Varnholt Example\".");
    }
    const std::wstring subkey = argv[1];
    const std::wstring keyName = L"HKEY_LOCAL_MACHINE\\" + std::wstring(kProductKeyPath) + L"\\" + subkey;

    // KEY_WOW64_32KEY: the service reads the 32-bit view, and so must its applications,
    // whether they are built for 32 or 64 bits.
    HKEY opened = nullptr;
    const LONG openStatus =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kProductKeyPath) + L"\\" + subkey).c_str(), 0,
                      KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_32KEY, &opened);
    if (openStatus == ERROR_FILE_NOT_FOUND)
        return Fail(kExitBadConfiguration, L"the application is not registered: " + keyName + L" is missing");
    if (openStatus != ERROR_SUCCESS)
        return Fail(kExitSystemFailure, L"cannot open " + keyName + L": " + SystemMessage(openStatus));
    UniqueRegistryKey key(opened);

    std::wstring text;
    const int readResult = ReadRunAt(key.Get(), keyName, text);
    if (readResult != kExitAnswered)
        return readResult;
    TimeOfDay runAt = {};
    if (!ParseTimeOfDay(text.c_str(), runAt)) {
        return Fail(kExitBadConfiguration, L"RunAt in " + keyName + L" is \"" + text +
                                               L"\", not a time of day \"HH:MM\" from 00:00 to 23:59");
    }

    TIME_ZONE_INFORMATION zone = {};
    if (GetTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID) {
        const DWORD error = GetLastError();
        return Fail(kExitSystemFailure, L"cannot read the time zone: " + SystemMessage(error));
    }
    SYSTEMTIME nowUtc;
    GetSystemTime(&nowUtc);
    DWORD seconds = 0;
    if (!SecondsUntilNextRun(nowUtc, zone, runAt, seconds))
        return Fail(kExitSystemFailure, L"cannot apply the time zone's rules to the date");

    const LONG writeStatus = RegSetValueExW(key.Get(), kAnswerValue, 0, REG_DWORD,
                                            reinterpret_cast<const BYTE*>(&seconds), sizeof(seconds));
    if (writeStatus != ERROR_SUCCESS) {
        return Fail(kExitSystemFailure,
                    L"cannot write ScheduleEnabled in " + keyName + L": " + SystemMessage(writeStatus));
    }
    WriteStandardText(STD_OUTPUT_HANDLE, L"RunAt " + text + L": next run in " + std::to_wstring(seconds) +
                                             L" seconds; ScheduleEnabled written in " + keyName + L"\r\n");
    return kExitAnswered;
}
