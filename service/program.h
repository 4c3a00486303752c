#pragma once
// The program's start-up and command-line modes (module NTService).
#include "log/log_directory.h"
#include "support/unique_resource.h"

#include <windows.h>

#include <string>

// The one-argument options, in the order they are compared.
enum class ProgramOption { Uninstall, Install, InstallAndRun, Bounce, Stop, TestMode, Status, None };

// Compares the argument with the options, whole, ignoring the case of A to Z only.
ProgramOption MatchOption(const std::wstring& argument);

// Fixes the log folder (the common application-data folder in its long form plus
// "\Varnholt") and decides whether this process keeps its log there: only a process that
// runs as LocalSystem or elevated creates a missing folder, checks an existing one and
// replaces one that other accounts could change (PrepareLogDirectory: movedTo receives the
// new name of a folder moved aside). When the folder is fit for the log, it is set as
// LogDirectory with its identity and kept open without delete sharing for the rest of the
// process, so that it cannot be renamed or replaced; otherwise LogDirectory is left empty,
// so that no log file is opened and nothing is pruned, and the reason goes to the debugger
// output. Returns the outcome. Nothing is logged: the day's log is not open yet. Called by
// the entry point before any other thread starts.
LogDirectoryStatus SetUpLogDirectory(std::wstring& movedTo);

// The log folder's path as SetUpLogDirectory fixes it, whether or not this process may keep
// its log there.
std::wstring LogFolderPath();

// Starts a worker thread with the default stack size and a null argument and returns its
// handle. A thread that cannot be started is logged with "_beginthread failed, error code
// = %d" and gives no handle; the program goes on without it.
UniqueHandle StartWorkerThread(unsigned(__stdcall* entry)(void*));

// The service's worker thread: takes the scheduler lock (waiting while a test-mode run
// holds it, and giving up at once when the service stops meanwhile: TakeSchedulerLockForService),
// then starts the push-script thread and runs the scheduler's loop; the lock is given back
// when the loop ends. Never lets an exception out.
unsigned __stdcall ServiceSchedulingThread(void* unused);

// After a stop, how long the entry point lets the worker finish the step it is in (the
// reset of an interrupted query's answer, its exit line) before the process ends. Its
// sleeps end at the stop, so it normally leaves within milliseconds; the bound is a
// safeguard, since the service manager removes an uninstalled service only once this
// process has ended.
inline constexpr DWORD kWorkerEndWaitMs = 3000;

// The whole program behind main: start-up, then one option or service mode. With one
// argument that is an option, the log's lines also appear on standard error (from the
// start-up's own on) and a closing sentence on standard output; with one argument that is
// none, the usage appears on standard error and nothing is done. Returns the process exit
// code, which is 0 on every path but "-s", whose code tells the service's state. Test mode and service mode return while the
// worker threads may still run; returning from main then ends the process. Nothing those
// threads use is ever destroyed (the logger's object and LogDirectory live on the heap for
// good; the slots, flags and locks are plain data), so the destructors that run at exit
// cannot pull anything from under them.
int RunProgram(int argc, char* argv[]);
