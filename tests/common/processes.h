#pragma once
// Programs that tests start and wait for, keep running in the background, or look for by
// name.
#include "support/unique_resource.h"

#include <windows.h>

#include <string>
#include <vector>

// Runs a command line and waits; returns the exit code, or ~0u if it could not start or
// did not end within the time (it is then terminated). Says on standard error why it came
// back without the program's own exit code.
DWORD RunAndCollect(const std::wstring& commandLine, DWORD timeoutMs);
// Runs VarnholtScheduling.exe with the given argument text.
DWORD RunProduct(const std::wstring& arguments, DWORD timeoutMs = 60000);

// A test child that runs in the background, killed at the end if still running.
class BackgroundChild {
public:
    explicit BackgroundChild(const std::wstring& arguments);
    ~BackgroundChild();
    BackgroundChild(const BackgroundChild&) = delete;
    BackgroundChild& operator=(const BackgroundChild&) = delete;
    HANDLE Process() const { return m_info.Process(); }
    DWORD Id() const { return m_info.ProcessId(); }
    bool Running() const { return WaitForSingleObject(m_info.Process(), 0) == WAIT_TIMEOUT; }

private:
    UniqueProcessInformation m_info;
};

// A job whose end, when its last handle is closed, ends every process in it. Empty when it
// cannot be made.
UniqueHandle CreateKillOnCloseJob();
// Starts commandLine suspended, puts it into job and lets it run; the record is empty when
// it cannot be started.
UniqueProcessInformation StartInJob(HANDLE job, const std::wstring& commandLine, BOOL inheritHandles,
                                    DWORD creationFlags, STARTUPINFOW& startup);
// Ends every process of job and waits a moment for the one started, when there is one.
void EndJob(HANDLE job, const UniqueProcessInformation& started);

// Any program running in the background inside a job object: the end of the object ends
// the program and every child it started.
class BackgroundProcess {
public:
    explicit BackgroundProcess(const std::wstring& commandLine);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;
    bool Started() const { return static_cast<bool>(m_info); }
    HANDLE Process() const { return m_info.Process(); }

private:
    UniqueHandle m_job;
    UniqueProcessInformation m_info;
};

// How many processes run an executable of this file name (for example
// "VarnholtTestChild.exe"); -1 when the processes cannot be listed.
int CountProcesses(const wchar_t* exeName);
// The ids of the processes that run an executable of this file name; empty when there are
// none or they cannot be listed.
std::vector<DWORD> ProcessIdsOf(const wchar_t* exeName);
// Opens every process that runs an executable of this file name with the access given;
// those that cannot be opened are left out.
std::vector<UniqueHandle> OpenProcesses(const wchar_t* exeName, DWORD access);
// Terminates every process that runs an executable of this file name: what a failed test
// left running.
void EndProcesses(const wchar_t* exeName);

// The process that a test child's --spawn started, by the id it wrote to idFile, opened for
// waiting, termination and its exit code; waits up to timeoutMs for the file. Empty when
// no id appeared or the process could not be opened.
UniqueHandle OpenSpawnedChild(const std::wstring& idFile, DWORD timeoutMs = 20000);
// True while the process runs.
bool StillRunning(HANDLE process);
// The exit code of a process that has ended; STILL_ACTIVE while it runs, ~0u when it
// cannot be read.
DWORD ExitCodeOf(HANDLE process);
