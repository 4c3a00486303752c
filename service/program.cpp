#include "service/program.h"

#include "log/console_sink.h"
#include "log/event_log.h"
#include "log/log_pruner.h"
#include "log/logger.h"
#include "schedule/child_process.h"
#include "schedule/push_script.h"
#include "schedule/scheduler_lock.h"
#include "schedule/scheduler_thread.h"
#include "schedule/state_record.h"
#include "schedule/thread_entry.h"
#include "service/console_report.h"
#include "service/event_source.h"
#include "service/install_check.h"
#include "service/service_control.h"
#include "service/status_command.h"
#include "service/test_mode.h"
#include "support/access_token.h"
#include "support/console_text.h"
#include "support/text.h"
#include "support/unique_resource.h"

#include <windows.h>
#include <shlobj.h>

#include <process.h>

#include <cstdint>
#include <cstring>
#include <memory>

namespace {

struct OptionRow {
    const wchar_t* Argument;
    ProgramOption Option;
};

constexpr OptionRow kOptions[] = {
    {L"-u", ProgramOption::Uninstall},     {L"-i", ProgramOption::Install},
    {L"-ir", ProgramOption::InstallAndRun}, {L"-b", ProgramOption::Bounce},
    {L"-k", ProgramOption::Stop},          {L"-t", ProgramOption::TestMode},
    {L"-s", ProgramOption::Status},
};

wchar_t FoldAsciiCase(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool EqualIgnoringAsciiCase(const std::wstring& a, const wchar_t* b)
{
    const size_t length = wcslen(b);
    if (a.size() != length)
        return false;
    for (size_t i = 0; i < length; ++i) {
        if (FoldAsciiCase(a[i]) != FoldAsciiCase(b[i]))
            return false;
    }
    return true;
}


// Runs one service control operation and keeps what it did.
template <class Operation> StepOutcome Take(Operation operation)
{
    DWORD error = ERROR_SUCCESS;
    const bool done = operation(&error);
    return StepOutcome{done, error};
}

// Launches the scripting registration command, hidden and without waiting; its outcome is
// not looked at, and its process handles are not needed. Returns its job, which service
// mode holds to its end: should the process end first, the command ends with it.
UniqueHandle LaunchRegistrationCommand()
{
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        const DWORD error = GetLastError();
        LOG(0, L"GetSystemDirectory failed, error code = %d", SystemError(error));
        return UniqueHandle();
    }
    // By its full path: the search path would begin with the service's own folder.
    const std::wstring command =
        L"\"" + std::wstring(system, length) + L"\\regsvr32.exe\" /s jscript.dll";
    ProcessSlot registration = {};
    UniqueHandle job;
    const PROCESS_INFORMATION launched = LaunchProcess(command, &registration, &job);
    UniqueHandle registrationThread(launched.hThread);
    UniqueHandle registrationProcess(launched.hProcess);
    return job;
}

// Service mode in a process that the service control manager did not start (a console
// run without an option): what it started is stopped as a service stop would, and the
// person is told how to run it.
void EndServiceModeOutsideTheServiceManager(HANDLE worker)
{
    LOG(0, L"Not started by the service control manager; use -t to run in a console");
    StopServiceWork();
    if (worker)
        WaitForSingleObject(worker, kWorkerEndWaitMs);
    WriteStreamText(GetStdHandle(STD_ERROR_HANDLE), UsageText(LogFolderPath()));
}

// The recorded state goes with the service. A stopping service still records how its run
// ended, so the state is removed once its process has ended (or after the bound).
void RemoveRecordedState()
{
    const UniqueHandle process = OpenTheServiceProcess();
    if (process)
        WaitForSingleObject(process.Get(), kRestartStopWaitMs);
    LONG status = ERROR_SUCCESS;
    if (!DeleteRecordedState(status))
        LOG(0, L"Removing the service's recorded state failed, error code = %d",
            SystemError(static_cast<DWORD>(status)));
}

// Carries out the option's actions; what each step did goes into the closing sentence.
ActionOutcome RunOption(ProgramOption option)
{
    ActionOutcome outcome;
    switch (option) {
    case ProgramOption::Uninstall:
        LOG(0, L"Uninstall");
        outcome.Stop = Take(StopTheService);
        outcome.Remove = Take(UninstallService);
        if (outcome.Remove.Done)
            RemoveRecordedState();
        RemoveTheEventSource();
        break;
    case ProgramOption::Install:
        LOG(0, L"Install");
        RegisterTheEventSource();
        outcome.Install = Take([](DWORD* error) {
            return InstallService(/*demandStart=*/true, error);
        });
        break;
    case ProgramOption::InstallAndRun:
        LOG(0, L"Install/Run");
        RegisterTheEventSource();
        outcome.Install = Take([](DWORD* error) {
            return InstallService(/*demandStart=*/false, error);
        });
        outcome.Start = Take(StartTheService);
        break;
    case ProgramOption::Bounce: {
        LOG(0, L"Bounce");
        // A start that came while the stop is still under way would meet a running service,
        // be dropped, and leave it stopped; one that came while the stopped service's
        // process is still ending may be refused the same way. The process is known only
        // until the service reports STOPPED.
        const UniqueHandle process = OpenTheServiceProcess();
        outcome.Stop = Take(StopTheService);
        if (WaitForTheServiceToStop(kRestartStopWaitMs, process.Get())) {
            outcome.Start = Take(StartTheService);
        } else {
            LOG(0, L"Service did not stop within 30 seconds");
            outcome.StopTimedOut = true;
        }
        break;
    }
    case ProgramOption::Stop:
        LOG(0, L"Stop");
        outcome.Stop = Take(StopTheService);
        break;
    case ProgramOption::TestMode:
        LOG(0, L"Start Varnholt Scheduling (TEST MODE)");
        RunTestMode();   // which writes its own closing sentence
        break;
    case ProgramOption::Status:   // RunProgram shows it: it has an exit code of its own
    case ProgramOption::None:
        break;
    }
    return outcome;
}

// The two worker threads run from here on, not from the service's report of
// SERVICE_RUNNING; the dispatcher returns once the service has reported SERVICE_STOPPED.
void RunServiceMode()
{
    LOG(0, L"Start Varnholt Scheduling Service");
    StartEventReporting();

    const UniqueHandle registrationJob = LaunchRegistrationCommand();

    ClearSlot(ScanSlot);
    const UniqueHandle worker = StartWorkerThread(ServiceSchedulingThread);

    static wchar_t serviceName[] = L"Varnholt Scheduling";
    static const SERVICE_TABLE_ENTRYW serviceTable[] = {
        {serviceName, ServiceMain},
        {nullptr, nullptr},
    };
    if (!StartServiceCtrlDispatcherW(serviceTable)) {
        const DWORD error = GetLastError();
        if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
            EndServiceModeOutsideTheServiceManager(worker.Get());
        else
            LOG(0, L"StartServiceCtrlDispatcher failed, error code = %d", error);
    } else if (worker) {
        // The service has stopped and no child runs; the worker is leaving its loop.
        WaitForSingleObject(worker.Get(), kWorkerEndWaitMs);
    }
    LOG(0, L"EXIT Varnholt Scheduling Service");
}

}  // namespace

unsigned __stdcall ServiceSchedulingThread(void*)
{
    RunThreadBody(
        [] {
            CSchedulerLock lock;
            if (!TakeSchedulerLockForService(lock, SchedulerStopEvent()))
                return;
            WorkerStateRecorder().RecordServiceStart(UnixSecondsNow(), GetCurrentProcessId());
            const UniqueHandle pushThread = StartWorkerThread(PushScriptThread);
            RunSchedulerLoop(ProductTimings());
        },
        L"Scheduler thread ended unexpectedly");
    return 0;
}

UniqueHandle StartWorkerThread(unsigned(__stdcall* entry)(void*))
{
    const uintptr_t thread = _beginthreadex(/*security=*/nullptr, /*stack_size=*/0, entry,
                                            /*arglist=*/nullptr, /*initflag=*/0, nullptr);
    if (thread == 0) {
        const DWORD error = GetLastError();
        LOG(0, L"_beginthread failed, error code = %d", SystemError(error));
        return UniqueHandle();
    }
    // _beginthreadex gives the new thread's handle as an integer.
    return UniqueHandle(reinterpret_cast<HANDLE>(thread));   // NOLINT(performance-no-int-to-ptr)
}

ProgramOption MatchOption(const std::wstring& argument)
{
    for (const OptionRow& row : kOptions) {
        // cppcheck-suppress useStlAlgorithm ; a loop that returns the matching row is as plain
        if (EqualIgnoringAsciiCase(argument, row.Argument))
            return row.Option;
    }
    return ProgramOption::None;
}

std::wstring LogFolderPath()
{
    wchar_t folder[MAX_PATH];
    folder[0] = L'\0';
    SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder);
    std::wstring directory = folder;

    // The long form may be longer than MAX_PATH; ask for the size it needs.
    if (!directory.empty()) {
        const DWORD needed = GetLongPathNameW(directory.c_str(), nullptr, 0);
        if (needed > 0) {
            std::wstring longForm(needed, L'\0');
            const DWORD length = GetLongPathNameW(directory.c_str(), &longForm[0], needed);
            if (length > 0 && length < needed) {
                longForm.resize(length);
                directory = longForm;
            }
        }
    }
    return directory + L"\\Varnholt";
}

LogDirectoryStatus SetUpLogDirectory(std::wstring& movedTo)
{
    const std::wstring directory = LogFolderPath();

    // Any local user may create folders in the common application-data folder, and would
    // own one made there by an ordinary run; only LocalSystem or an administrator's
    // elevated run creates, checks and replaces the log folder.
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        token = nullptr;
    const CAccessToken processToken(token);
    const bool privileged = processToken.IsElevatedOrLocalSystem();
    const CSid self = processToken.User();
    UniqueFileHandle pinned;
    DWORD error = 0;
    const LogDirectoryStatus status = PrepareLogDirectory(
        directory, privileged, self.Get(), pinned,
        movedTo, error);
    // The folder stays open, and so cannot be renamed or removed, for the rest of the
    // process: the handle is never closed, except by a later call of this function.
    static HANDLE pin = nullptr;
    if (pin)
        CloseHandle(pin);
    pin = nullptr;
    if (IsUsable(status)) {
        SetLogDirectory(directory, FileIdentityOf(pinned.Get()));
        pin = pinned.Release();
        if (status == LogDirectoryStatus::MovedAside)
            NoteLogFolderProblem(directory, L"it was not trusted and was moved aside to " + movedTo +
                                                L"; a fresh folder holds the log");
    } else {
        SetLogDirectory(std::wstring(), FileIdentity());
        std::wstring notice = LogDirectoryNotice(status, directory, error);
        OutputDebugStringW(notice.c_str());
        if (!notice.empty() && notice.back() == L'\n')
            notice.pop_back();
        NoteLogFolderProblem(directory, notice);
    }
    return status;
}

int RunProgram(int argc, char* argv[])
{
    try {
        const bool oneArgument = argc == 2;
        const std::wstring argument = oneArgument ? WideFromThreadAnsi(argv[1] ? argv[1] : "") : L"";
        const ProgramOption option = oneArgument ? MatchOption(argument) : ProgramOption::None;
        // An option shows the log's lines from the first one on, the pruning's included, so
        // that what a person sees is what the file gets; a run that keeps no log file shows
        // them all the same. Service mode and an argument that is no option show none.
        if (option != ProgramOption::None && option != ProgramOption::Status)
            StartConsoleSink(GetStdHandle(STD_ERROR_HANDLE));

        std::wstring movedTo;
        const LogDirectoryStatus folder = SetUpLogDirectory(movedTo);
        OpenDailyLog();
        if (folder == LogDirectoryStatus::MovedAside)
            LOG(0, L"Log folder was not trusted and was moved aside to %s", movedTo.c_str());
        // Every start, whatever the command line, clears out old log files, but only in a
        // folder that no other account controls.
        if (!LogDirectory.empty())
            PruneWithin(std::make_unique<CLogPruner>(LogDirectoryIdentity), LogDirectory, kPruneWaitMs);

        if (oneArgument) {
            if (option == ProgramOption::None) {
                // The installer's check, the one argument whose exit code tells.
                if (argument == kInstallCheckArgument)
                    return CheckInstallation();
                WriteStreamText(GetStdHandle(STD_ERROR_HANDLE), UsageText(LogFolderPath()));
            } else if (option == ProgramOption::Status) {
                return ShowStatus();
            } else {
                const ActionOutcome outcome = RunOption(option);
                // Test mode writes its own, before it lets a closing console end the process.
                if (option != ProgramOption::TestMode)
                    WriteStreamText(GetStdHandle(STD_OUTPUT_HANDLE),
                                    ClosingSentence(option, outcome) + L"\r\n");
            }
            return 0;
        }
        RunServiceMode();
    } catch (...) {
        // Out of memory at start-up: nothing sensible is left to do but end.
    }
    return 0;
}
