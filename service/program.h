#pragma once
// The program's start-up and command-line modes (module NTService).
#include "support/unique_resource.h"

#include <windows.h>

#include <string>

// The one-argument options, in the order they are compared.
enum class ProgramOption { Uninstall, Install, InstallAndRun, Bounce, Stop, TestMode, None };

// Compares the argument with the options, whole, ignoring the case of A to Z only.
ProgramOption MatchOption(const std::wstring& argument);

// The log directory's security when start-up creates it: a protected DACL, so nothing is
// inherited from the common application-data folder, where any local user may create
// files and folders. SYSTEM and Administrators have full control, local Users read and
// execute; files and folders within inherit the same.
inline constexpr const wchar_t* kLogDirectorySddl =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// Fixes LogDirectory (the common application-data folder in its long form plus
// "\Varnholt"), creating the directory with kLogDirectorySddl when it is missing. A
// directory that exists is left as it is. Failures are not reported: nothing is logged
// before the day's log is open. Called by the entry point before any other thread starts.
void SetUpLogDirectory();

// Starts a worker thread with the default stack size and a null argument and returns its
// handle. A thread that cannot be started is logged with "_beginthread failed, error code
// = %d" and gives no handle; the program goes on without it.
UniqueHandle StartWorkerThread(unsigned(__stdcall* entry)(void*));

// After a stop, how long the entry point lets the worker finish the step it is in (the
// reset of an interrupted query's answer, its exit line) before the process ends. A
// worker keeping its spacing cannot be woken and is not waited for longer.
inline constexpr DWORD kWorkerEndWaitMs = 3000;

// The whole program behind main: start-up, then one option or service mode. With one
// argument that is an option, the log's lines also appear on standard error (from the
// start-up's own on) and a closing sentence on standard output; with one argument that is
// none, the usage appears on standard error and nothing is done. Returns the process exit
// code, which is 0 on every path. Test mode and service mode return while the
// worker threads may still run; returning from main then ends the process. Nothing those
// threads use is ever destroyed (the logger's object and LogDirectory live on the heap for
// good; the slots, flags and locks are plain data), so the destructors that run at exit
// cannot pull anything from under them.
int RunProgram(int argc, char* argv[]);
