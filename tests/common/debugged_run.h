#pragma once
// VarnholtScheduling.exe run under this process as its debugger, for what it writes to
// the debugger output.
#include <windows.h>

#include <string>
#include <vector>

// What a run of VarnholtScheduling.exe under a debugger showed: its exit code (~0u when it
// could not start or did not end in time) and the texts it wrote to the debugger output.
struct DebuggedRun {
    DWORD ExitCode = ~0u;
    std::vector<std::wstring> DebugOutput;
};
// Runs VarnholtScheduling.exe with the given argument text as its debugger, as the
// account of token (a primary token) or, when token is null, as this process.
DebuggedRun RunProductDebugged(const std::wstring& arguments, HANDLE token = nullptr,
                               DWORD timeoutMs = 60000);
