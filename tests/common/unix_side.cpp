#include "tests/common/unix_side.h"

#include "support/unique_resource.h"
#include "tests/common/security.h"
#include "tests/common/wait_until.h"

#include <windows.h>

namespace {

// Wine's kernel32 maps a Windows path to the Unix one; the string is on the process heap.
using UnixFileNameFunction = char*(CDECL*)(const wchar_t*);

UnixFileNameFunction WineUnixFileName()
{
    return reinterpret_cast<UnixFileNameFunction>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
}

std::wstring UnixPathOf(UnixFileNameFunction unixFileName, const std::wstring& path)
{
    char* unixPath = unixFileName(path.c_str());
    if (!unixPath)
        return std::wstring();
    const std::string narrow = unixPath;
    HeapFree(GetProcessHeap(), 0, unixPath);
    return std::wstring(narrow.begin(), narrow.end());   // the test folders' names are ASCII
}

}  // namespace

bool RunningUnderWine() { return WineUnixFileName() != nullptr; }

bool StartUnixProgram(const wchar_t* program, const wchar_t* arguments,
                      const std::vector<std::wstring>& paths)
{
    const UnixFileNameFunction unixFileName = WineUnixFileName();
    if (!unixFileName)
        return false;
    std::wstring command = std::wstring(program) + L" " + arguments;
    for (const std::wstring& path : paths) {
        const std::wstring unixPath = UnixPathOf(unixFileName, path);
        if (unixPath.empty())
            return false;
        command += L" \"" + unixPath + L"\"";
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    const std::wstring image = std::wstring(L"Z:\\bin\\") + program;
    if (!CreateProcessW(image.c_str(), &command[0], nullptr, nullptr, /*bInheritHandles=*/FALSE, 0,
                        nullptr, nullptr, &startup, &info))
        return false;
    const UniqueProcessInformation started(info);
    return true;
}

bool UnixSideRunsAsRoot()
{
    if (!RunningUnderWine())
        return false;
    // Wine shows a file of another Unix user as owned by ANONYMOUS LOGON, and one of its own
    // user as the process's: a file of root's is not another user's only when Wine is root.
    const std::wstring owner = SecurityTextOf(L"Z:\\etc\\passwd");
    return !owner.empty() && owner.compare(0, 4, L"O:AN") != 0;
}

bool GiveToAnotherUnixUser(const std::wstring& path)
{
    // The program's start and its effect take their time on a loaded machine.
    return StartUnixProgram(L"chown", L"12345", {path}) &&
           WaitUntil([&] { return SecurityTextOf(path).compare(0, 4, L"O:AN") == 0; }, 30000);
}
