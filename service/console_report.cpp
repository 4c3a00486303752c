#include "service/console_report.h"

#include "service/service_control.h"
#include "support/console_text.h"
#include "support/product_names.h"

#include <cwchar>

namespace {

// Made before main; an allocation this small that fails there leaves nothing to run anyway.
const std::wstring kName = kServiceName;   // NOLINT(cert-err58-cpp)

// "Access denied. (error 5)", or "error 5" when the system has no text for the code; the
// text's own line breaks become blanks, so that the sentence stays one line.
std::wstring ErrorPart(DWORD code)
{
    wchar_t number[32];
    _snwprintf(number, 31, L"error %lu", code);
    number[31] = L'\0';
    std::wstring text = SystemErrorText(code);
    if (text.empty())
        return number;
    for (size_t at = text.find(L"\r\n"); at != std::wstring::npos; at = text.find(L"\r\n", at))
        text.replace(at, 2, L" ");
    return text + L" (" + number + L")";
}

std::wstring CouldNot(const wchar_t* verb, DWORD code)
{
    return L"Could not " + std::wstring(verb) + L" " + kName + L": " + ErrorPart(code);
}

bool FailedWith(const StepOutcome& step, DWORD code) { return !step.Done && step.Error == code; }

std::wstring AfterInstall(const ActionOutcome& outcome)
{
    if (outcome.Install.Done)
        return kName + L" is installed (manual start).";
    if (FailedWith(outcome.Install, ERROR_SERVICE_EXISTS))
        return kName + L" is already installed; nothing was changed.";
    return CouldNot(L"install", outcome.Install.Error);
}

std::wstring AfterInstallAndRun(const ActionOutcome& outcome)
{
    const bool installed = outcome.Install.Done;
    if (!installed && !FailedWith(outcome.Install, ERROR_SERVICE_EXISTS)) {
        std::wstring sentence = CouldNot(L"install", outcome.Install.Error);
        if (outcome.Start.Done)
            sentence += L"; an existing entry of that name was started.";
        return sentence;
    }
    if (outcome.Start.Done)
        return installed ? kName + L" is installed and started."
                         : kName + L" was already installed; it is started.";
    if (FailedWith(outcome.Start, ERROR_SERVICE_ALREADY_RUNNING))
        return installed ? kName + L" is installed and running."
                         : kName + L" was already installed and running.";
    return (installed ? kName + L" is installed (automatic start) but could not be started: "
                      : kName + L" was already installed but could not be started: ") +
           ErrorPart(outcome.Start.Error);
}

std::wstring AfterStop(const ActionOutcome& outcome)
{
    if (outcome.Stop.Done)
        return kName + L" was asked to stop.";
    if (FailedWith(outcome.Stop, ERROR_SERVICE_NOT_ACTIVE))
        return kName + L" is not running.";
    if (FailedWith(outcome.Stop, ERROR_SERVICE_DOES_NOT_EXIST))
        return kName + L" is not installed.";
    return CouldNot(L"stop", outcome.Stop.Error);
}

std::wstring AfterBounce(const ActionOutcome& outcome)
{
    if (FailedWith(outcome.Stop, ERROR_SERVICE_DOES_NOT_EXIST))
        return kName + L" is not installed.";
    const bool wasRunning = outcome.Stop.Done;
    if (!wasRunning && !FailedWith(outcome.Stop, ERROR_SERVICE_NOT_ACTIVE))
        return CouldNot(L"restart", outcome.Stop.Error);
    if (outcome.StopTimedOut)
        return kName + L" did not stop within " + std::to_wstring(kRestartStopWaitMs / 1000) +
               L" seconds, so it was not started again.";
    if (outcome.Start.Done)
        return wasRunning ? kName + L" was restarted."
                          : kName + L" was not running; it is started.";
    if (FailedWith(outcome.Start, ERROR_SERVICE_ALREADY_RUNNING))
        return wasRunning ? kName + L" was asked to stop, but it was still running when it was "
                                    L"asked to start again; start it once it has stopped."
                          : kName + L" is running.";
    return (wasRunning ? kName + L" was asked to stop but could not be started again: "
                       : kName + L" was not running and could not be started: ") +
           ErrorPart(outcome.Start.Error);
}

std::wstring AfterUninstall(const ActionOutcome& outcome)
{
    if (outcome.Remove.Done)
        return outcome.Stop.Done ? kName + L" was asked to stop; it is removed once it has stopped."
                                 : kName + L" is removed.";
    if (FailedWith(outcome.Remove, ERROR_SERVICE_DOES_NOT_EXIST))
        return kName + L" is not installed.";
    if (FailedWith(outcome.Remove, ERROR_SERVICE_MARKED_FOR_DELETE))
        return kName + L" is already marked for removal; it is removed once it has stopped.";
    return CouldNot(L"remove", outcome.Remove.Error);
}

}  // namespace

std::wstring ClosingSentence(ProgramOption option, const ActionOutcome& outcome)
{
    switch (option) {
    case ProgramOption::Uninstall:
        return AfterUninstall(outcome);
    case ProgramOption::Install:
        return AfterInstall(outcome);
    case ProgramOption::InstallAndRun:
        return AfterInstallAndRun(outcome);
    case ProgramOption::Bounce:
        return AfterBounce(outcome);
    case ProgramOption::Stop:
        return AfterStop(outcome);
    case ProgramOption::TestMode:
        if (outcome.OtherScheduler)
            return L"Another " + kName + L" is already scheduling on this computer; stop it first.";
        if (outcome.SchedulerLockError != 0)
            return kName + L" test mode did not start: it cannot tell whether another scheduler "
                           L"runs on this computer (run it from an elevated prompt): " +
                   ErrorPart(outcome.SchedulerLockError);
        return outcome.Interrupted
                   ? kName + L" test mode has ended; the programs it ran were stopped."
                   : kName + L" test mode has ended after 24 hours; the programs it ran end "
                             L"with it.";
    case ProgramOption::Status:   // the status is its own report
    case ProgramOption::None:
        break;
    }
    return std::wstring();
}

std::wstring UsageText(const std::wstring& logDirectory)
{
    return L"Varnholt Scheduling runs the scheduled tasks of the Varnholt applications as\r\n"
           L"a Windows service.\r\n"
           L"\r\n"
           L"Usage: VarnholtScheduling.exe <option>\r\n"
           L"\r\n"
           L"  -i    install the service with manual start\r\n"
           L"  -ir   install the service with automatic start, and start it\r\n"
           L"  -k    ask the service to stop\r\n"
           L"  -b    restart the service: stop it, wait until it has stopped, start it\r\n"
           L"  -u    stop the service and remove it\r\n"
           L"  -s    show the service's state and each application's next and last run\r\n"
           L"        (no elevation needed; exits 3 if not running, else 1 on a warning, a\r\n"
           L"        failed last run or a failed last query, and 0 if none)\r\n"
           L"  -s --json  the same as one JSON object, for monitoring tools\r\n"
           L"  -t    test mode: run the scheduling in this console, not as a service, until\r\n"
           L"        Ctrl+C (at most 24 hours)\r\n"
           L"\r\n"
           L"Letters may be in either case. -i, -ir, -k, -b, -u and -t need an elevated\r\n"
           L"command prompt (Run as administrator). Each option but -s shows what it did and\r\n"
           L"exits with code 0 whatever happened; check the service with -s, or with\r\n"
           L"sc query \"Varnholt Scheduling\"\r\n"
           L"Without an option the program runs as the service, started by Windows.\r\n"
           L"\r\n"
           L"Log files: " + logDirectory + L"\\Scheduler-YYYYMMDD.log, one per day.\r\n";
}
