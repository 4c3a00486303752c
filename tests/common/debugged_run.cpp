#include "tests/common/debugged_run.h"

#include "support/unique_resource.h"
#include "tests/common/program_paths.h"

namespace {

std::wstring DebugStringOf(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info)
{
    const size_t length = info.nDebugStringLength;
    SIZE_T read = 0;
    std::wstring text;
    if (info.fUnicode) {
        text.assign(length, L'\0');
        ReadProcessMemory(process, info.lpDebugStringData, &text[0], length * sizeof(wchar_t), &read);
    } else {
        // Wine hands on a wide string converted to the ANSI code page.
        std::string narrow(length, '\0');
        ReadProcessMemory(process, info.lpDebugStringData, &narrow[0], length, &read);
        text.assign(narrow.begin(), narrow.end());
    }
    while (!text.empty() && text.back() == L'\0')
        text.pop_back();
    return text;
}

}  // namespace

DebuggedRun RunProductDebugged(const std::wstring& arguments, HANDLE token, DWORD timeoutMs)
{
    DebuggedRun run;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    std::wstring command = ProductCommand(arguments);
    const BOOL started =
        token ? CreateProcessAsUserW(token, nullptr, &command[0], nullptr, nullptr, FALSE,
                                     DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr, &startup, &info)
              : CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS,
                               nullptr, nullptr, &startup, &info);
    if (!started)
        return run;
    const UniqueProcessInformation debugged(info);
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    bool terminated = false;
    for (;;) {
        DEBUG_EVENT event = {};
        if (!WaitForDebugEvent(&event, 1000)) {
            if (GetTickCount64() >= end && !terminated) {
                TerminateProcess(debugged.Process(), 1);
                terminated = true;
            }
            continue;
        }
        DWORD continueStatus = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case OUTPUT_DEBUG_STRING_EVENT:
            run.DebugOutput.push_back(DebugStringOf(debugged.Process(), event.u.DebugString));
            break;
        case CREATE_PROCESS_DEBUG_EVENT:
            // The debugger owns the image's file handle that the event hands over.
            UniqueHandle(event.u.CreateProcessInfo.hFile).Reset();
            break;
        case LOAD_DLL_DEBUG_EVENT:
            UniqueHandle(event.u.LoadDll.hFile).Reset();
            break;
        case EXCEPTION_DEBUG_EVENT:
            // The breakpoint of the attach is the debugger's; every other exception is the
            // program's own.
            if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                continueStatus = DBG_EXCEPTION_NOT_HANDLED;
            break;
        default:
            break;
        }
        const bool exited = event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT;
        if (exited && !terminated)
            run.ExitCode = event.u.ExitProcess.dwExitCode;
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continueStatus);
        if (exited)
            break;
    }
    return run;
}
