#include "service/program.h"

#include "log/console_sink.h"
#include "log/event_log.h"
#include "log/log_pruner.h"
#include "log/logger.h"
#include "schedule/child_process.h"
#include "schedule/scheduling.h"
#include "schedule/state_record.h"
#include "service/console_report.h"
#include "service/event_source.h"
#include "service/executable_folder.h"
#include "service/install_check.h"
#include "service/log_file_watch.h"
#include "service/log_folder_setup.h"
#include "service/program_options.h"
#include "service/service_control.h"
#include "service/status_command.h"
#include "service/test_mode.h"
#include "support/console_text.h"
#include "support/product_names.h"
#include "support/unique_resource.h"

#include <windows.h>

#include <memory>

namespace {

// What one service control operation did, from the code it returned.
StepOutcome Took(DWORD error) { return StepOutcome{error == ERROR_SUCCESS, error}; }

// Launches the scripting registration command, hidden and without waiting; its outcome is
// not looked at, and its process handles are not needed. Returns its job, which service
// mode holds to its end: should the process end first, the command ends with it.
UniqueHandle LaunchRegistrationCommand()
{
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        LOG_LAST_ERROR(0, L"GetSystemDirectory failed, error code = %d");
        return UniqueHandle();
    }
    // By its full path: the search path would begin with the service's own folder.
    const std::wstring command =
        L"\"" + std::wstring(system, length) + L"\\regsvr32.exe\" /s jscript.dll";
    ProcessSlot registration = {};
    UniqueHandle job;
    LaunchProcess(command, &registration, &job).Reset();
    return job;
}

// Service mode in a process that the service control manager did not start (a console
// run without an option): what it started is stopped as a service stop would, and the
// person is told how to run it.
void EndServiceModeOutsideTheServiceManager(HANDLE worker)
{
    LOG(0, L"Not started by the service control manager; use -t to run in a console");
    StopScheduling();
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
    if (const DWORD error = DeleteRecordedState(); error != ERROR_SUCCESS)
        LOG_FAILURE(0, error, L"Removing the service's recorded state failed, error code = %d");
}

// What an install does once the service exists: an install that failed changes nothing, so
// the Event Log source keeps pointing at the copy that installed the service.
void CompleteTheInstallation()
{
    // Without its event source the service runs all the same; the failure is logged.
    static_cast<void>(RegisterTheEventSource());
    WarnWhenTheExecutableFolderIsOpen();
}

// Carries out the option's actions; what each step did goes into the closing sentence.
ActionOutcome RunOption(ProgramOption option)
{
    ActionOutcome outcome;
    switch (option) {
    case ProgramOption::Uninstall:
        LOG(0, L"Uninstall");
        outcome.Stop = Took(StopTheService());
        outcome.Remove = Took(UninstallService());
        if (outcome.Remove.Done)
            RemoveRecordedState();
        // A source left behind only names this executable; the failure is logged.
        static_cast<void>(RemoveTheEventSource());
        break;
    case ProgramOption::Install:
        LOG(0, L"Install");
        outcome.Install = Took(InstallService(/*demandStart=*/true));
        if (outcome.Install.Done)
            CompleteTheInstallation();
        break;
    case ProgramOption::InstallAndRun:
        LOG(0, L"Install/Run");
        outcome.Install = Took(InstallService(/*demandStart=*/false));
        if (outcome.Install.Done)
            CompleteTheInstallation();
        outcome.Start = Took(StartTheService());
        break;
    case ProgramOption::Bounce: {
        LOG(0, L"Bounce");
        // A start that came while the stop is still under way would meet a running service,
        // be dropped, and leave it stopped; one that came while the stopped service's
        // process is still ending may be refused the same way. The process is known only
        // until the service reports STOPPED.
        const UniqueHandle process = OpenTheServiceProcess();
        outcome.Stop = Took(StopTheService());
        if (WaitForTheServiceToStop(kRestartStopWaitMs, process.Get())) {
            outcome.Start = Took(StartTheService());
        } else {
            LOG(0, L"Service did not stop within %d seconds", kRestartStopWaitMs / 1000);
            outcome.StopTimedOut = true;
        }
        break;
    }
    case ProgramOption::Stop:
        LOG(0, L"Stop");
        outcome.Stop = Took(StopTheService());
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
    StartLogFileWatch();

    const UniqueHandle registrationJob = LaunchRegistrationCommand();

    ClearScanSlot();
    // Each pass's end records the counts the status command would show.
    SetPassSummaryCounter(&CountStatusSummary);
    const UniqueHandle worker = StartWorkerThread(ServiceSchedulingThread);

    // The dispatcher reads the name and never writes it.
    static const SERVICE_TABLE_ENTRYW serviceTable[] = {
        {const_cast<wchar_t*>(kServiceName), ServiceMain},
        {nullptr, nullptr},
    };
    if (!StartServiceCtrlDispatcherW(serviceTable)) {
        const DWORD error = GetLastError();
        if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
            EndServiceModeOutsideTheServiceManager(worker.Get());
        else
            LOG_FAILURE(0, error, L"StartServiceCtrlDispatcher failed, error code = %d");
    } else if (worker) {
        // The service has stopped and no child runs; the worker is leaving its loop.
        WaitForSingleObject(worker.Get(), kWorkerEndWaitMs);
    }
    LOG(0, L"EXIT Varnholt Scheduling Service");
}

}  // namespace

int RunProgram(int argc, wchar_t* argv[])
{
    try {
        const auto argumentAt = [&](int i) { return std::wstring(i < argc && argv[i] ? argv[i] : L""); };
        // One argument, or the status command with "--json" after it.
        const bool statusAsJson = argc == 3 && MatchOption(argumentAt(1)) == ProgramOption::Status &&
                                  IsJsonFlag(argumentAt(2));
        const bool oneArgument = argc == 2 || statusAsJson;
        const std::wstring argument = oneArgument ? argumentAt(1) : L"";
        const ProgramOption option = oneArgument ? MatchOption(argument) : ProgramOption::None;
        // An option shows the log's lines from the first one on, the pruning's included, so
        // that what a person sees is what the file gets; a run that keeps no log file shows
        // them all the same. Service mode and an argument that is no option show none.
        if (option != ProgramOption::None && option != ProgramOption::Status)
            StartConsoleSink(GetStdHandle(STD_ERROR_HANDLE));

        const LogDirectorySetUp folder = SetUpLogDirectory();
        OpenDailyLog();
        if (folder.Status == LogDirectoryStatus::MovedAside)
            LOG(0, L"Log folder was not trusted and was moved aside to %s", folder.MovedTo.c_str());
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
                return ShowStatus(statusAsJson);
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
