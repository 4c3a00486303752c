#include "service/status_text.h"

#include "schedule/timings.h"
#include "support/product_names.h"

#include <algorithm>
#include <cwchar>

namespace {

constexpr ULONGLONG kFileTimeUnitsPerDay = 864000000000ULL;

// The local date as a count of days, for telling today, tomorrow and yesterday apart.
LONGLONG DayNumber(const SYSTEMTIME& local)
{
    SYSTEMTIME date = {};
    date.wYear = local.wYear;
    date.wMonth = local.wMonth;
    date.wDay = local.wDay;
    FILETIME time = {};
    if (!SystemTimeToFileTime(&date, &time))
        return 0;
    const ULONGLONG units = (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<LONGLONG>(units / kFileTimeUnitsPerDay);
}

std::wstring ClockText(const SYSTEMTIME& local)
{
    wchar_t text[16];
    _snwprintf(text, 15, L"%02u:%02u", static_cast<unsigned>(local.wHour),
               static_cast<unsigned>(local.wMinute));
    text[15] = L'\0';
    return text;
}

std::wstring DateText(const SYSTEMTIME& local)
{
    wchar_t text[16];
    _snwprintf(text, 15, L"%04u-%02u-%02u", static_cast<unsigned>(local.wYear),
               static_cast<unsigned>(local.wMonth), static_cast<unsigned>(local.wDay));
    text[15] = L'\0';
    return text;
}

std::wstring LastRunResult(const ApplicationState& state, bool serviceRunning,
                           const StatusClock& clock, std::wstring (*errorText)(DWORD), bool& failed)
{
    failed = false;
    if (state.Running && serviceRunning)
        return L"running since " + FormatMoment(state.LastRunStart, clock);
    if (!state.RunRecorded)
        return L"never";
    if (state.Running || !state.RunEnded || state.LastRunEnd < state.LastRunStart)
        return L"did not finish: the service ended during the run";
    switch (state.LastRunOutcome) {
    case RunEnding::EndedByItself:
        failed = state.LastRunExitCode != 0;
        return L"exit code " + FormatExitCode(state.LastRunExitCode) + L" after " +
               FormatDuration(state.LastRunEnd - state.LastRunStart);
    case RunEnding::AtLimit:
        failed = true;
        return L"ended at its twelve-hour limit";
    case RunEnding::NotStarted: {
        failed = true;
        std::wstring text = errorText ? errorText(state.LastRunError) : std::wstring();
        if (text.empty())
            text = L"error " + FormatNumber(state.LastRunError);
        return L"could not start: " + text;
    }
    case RunEnding::ByStop:
        return L"ended by a stop";
    case RunEnding::None:
        break;
    }
    return L"unknown";
}

// How late the last run started, when it was late: "; started 5 h 12 min late, after 5 h
// of sleep".
std::wstring LatenessOf(const ApplicationState& state)
{
    if (!state.RunRecorded || state.LastRunDue == 0 ||
        state.LastRunStart <= state.LastRunDue + ProductTimings().LateRunSeconds)
        return std::wstring();
    std::wstring text = L"; started " + FormatDuration(state.LastRunStart - state.LastRunDue) + L" late";
    if (state.LastRunSlept != 0)
        text += L", after " + FormatDuration(state.LastRunSlept) + L" of sleep";
    return text;
}

// The runs missed while the service did not run: "; missed 2 runs, the last due ...".
std::wstring MissedRunsOf(const ApplicationState& state, const StatusClock& clock)
{
    if (state.MissedRuns == 0)
        return std::wstring();
    std::wstring text = L"; missed " + FormatNumber(state.MissedRuns) +
                        (state.MissedRuns == 1 ? L" run" : L" runs");
    if (state.LastMissedDue != 0)
        text += (state.MissedRuns == 1 ? L", due " : L", the last due ") +
                FormatMoment(state.LastMissedDue, clock);
    return text;
}

const wchar_t* WakeTimerWords(WakeTimerSetting setting)
{
    switch (setting) {
    case WakeTimerSetting::Disabled:
        return L"disabled";
    case WakeTimerSetting::Enabled:
        return L"enabled";
    case WakeTimerSetting::ImportantOnly:
        return L"important wake timers only";
    case WakeTimerSetting::Unknown:
        break;
    }
    return L"unknown";
}

// Where a command line's program ends: after its closing quote, or for an unquoted one at
// each blank in turn, as the system tries them.
struct ProgramCandidates {
    bool Quoted = false;
    std::vector<std::wstring> Paths;   // in the order the system tries them
};

ProgramCandidates CandidatesOf(const std::wstring& commandLine)
{
    ProgramCandidates candidates;
    size_t start = 0;
    while (start < commandLine.size() && (commandLine[start] == L' ' || commandLine[start] == L'\t'))
        ++start;
    if (start < commandLine.size() && commandLine[start] == L'"') {
        candidates.Quoted = true;
        const size_t close = commandLine.find(L'"', start + 1);
        candidates.Paths.push_back(commandLine.substr(start + 1, close == std::wstring::npos
                                                                    ? std::wstring::npos
                                                                    : close - start - 1));
        return candidates;
    }
    for (size_t at = commandLine.find_first_of(L" \t", start); at != std::wstring::npos;
         at = commandLine.find_first_of(L" \t", at + 1))
        candidates.Paths.push_back(commandLine.substr(start, at - start));
    candidates.Paths.push_back(commandLine.substr(start));
    return candidates;
}

bool HasExtension(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    const size_t dot = path.find_last_of(L'.');
    return dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash);
}

bool ProgramExists(const std::wstring& path, bool (*fileExists)(const std::wstring&))
{
    return fileExists(path) || (!HasExtension(path) && fileExists(path + L".exe"));
}

bool EndsInProgramExtension(const std::wstring& path)
{
    if (path.size() < 4)
        return false;
    std::wstring ending = path.substr(path.size() - 4);
    std::transform(ending.begin(), ending.end(), ending.begin(), [](wchar_t c) {
        return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    });
    return ending == L".exe" || ending == L".com" || ending == L".bat" || ending == L".cmd";
}

// The warnings' texts, in order.
std::vector<std::wstring> TextsOf(const std::vector<StatusWarning>& warnings)
{
    std::vector<std::wstring> texts(warnings.size());
    std::transform(warnings.begin(), warnings.end(), texts.begin(),
                   [](const StatusWarning& warning) { return warning.Text; });
    return texts;
}

StatusWarning Finding(const wchar_t* code, const std::wstring& name, const std::wstring& text)
{
    StatusWarning warning;
    warning.Code = code;
    warning.Application = name;
    warning.Text = text;
    return warning;
}

void CheckCommandLine(const std::wstring& name, const wchar_t* valueName,
                      const std::wstring& commandLine, bool (*fileExists)(const std::wstring&),
                      std::vector<StatusWarning>& warnings)
{
    const ProgramCandidates candidates = CandidatesOf(commandLine);
    const auto found = std::find_if(candidates.Paths.begin(), candidates.Paths.end(),
                                    [&](const std::wstring& path) { return ProgramExists(path, fileExists); });
    const bool exists = found != candidates.Paths.end();
    std::wstring program;
    if (exists) {
        program = *found;
    } else {
        const auto named = std::find_if(candidates.Paths.begin(), candidates.Paths.end(),
                                        [](const std::wstring& path) { return EndsInProgramExtension(path); });
        if (named != candidates.Paths.end())
            program = *named;
        else
            program = candidates.Paths.empty() ? commandLine : candidates.Paths.front();
    }
    if (!candidates.Quoted && program.find_first_of(L" \t") != std::wstring::npos) {
        warnings.push_back(Finding(L"unquoted-path", name,
                                   name + L": the program of " + valueName + L" (" + program +
                                       L") holds a space but is not quoted, so the shorter names "
                                       L"before the space are tried first, as LocalSystem; enclose "
                                       L"it in quotes."));
    }
    if (!exists)
        warnings.push_back(Finding(L"missing-program", name,
                                   name + L": the program of " + valueName + L" (" + program +
                                       L") does not exist."));
}

}  // namespace

SYSTEMTIME LocalTimeOfUnixSeconds(ULONGLONG unixSeconds)
{
    const SYSTEMTIME utc = UtcTimeOfUnixSeconds(unixSeconds);
    SYSTEMTIME local = utc;
    if (!SystemTimeToTzSpecificLocalTime(/*lpTimeZoneInformation=*/nullptr, &utc, &local))
        local = utc;
    return local;
}

SYSTEMTIME UtcTimeOfUnixSeconds(ULONGLONG unixSeconds)
{
    const FILETIME time = FileTimeFromUnixSeconds(unixSeconds);
    SYSTEMTIME utc = {};
    FileTimeToSystemTime(&time, &utc);
    return utc;
}

std::wstring FormatMoment(ULONGLONG when, const StatusClock& clock)
{
    const SYSTEMTIME local = clock.ToLocal(when);
    const LONGLONG days = DayNumber(local) - DayNumber(clock.ToLocal(clock.Now));
    if (days == 0)
        return ClockText(local);
    if (days == 1)
        return L"tomorrow " + ClockText(local);
    if (days == -1)
        return L"yesterday " + ClockText(local);
    return DateText(local) + L" " + ClockText(local);
}

std::wstring FormatDueMoment(ULONGLONG when, const StatusClock& clock)
{
    const std::wstring moment = FormatMoment(when, clock);
    if (when == clock.Now)
        return moment + L" (now)";
    if (when > clock.Now)
        return moment + L" (in " + FormatDuration(when - clock.Now) + L")";
    return moment + L" (" + FormatDuration(clock.Now - when) + L" ago)";
}

std::wstring FormatExitCode(DWORD code)
{
    if (code == 0xFFFFFFFFu)
        return L"-1";
    if (code < 0x80000000u)
        return FormatNumber(code);
    wchar_t text[16];
    _snwprintf(text, 15, L"0x%08lX", static_cast<unsigned long>(code));
    text[15] = L'\0';
    return text;
}

ApplicationRow MakeApplicationRow(const std::wstring& name, const ApplicationState& state,
                                  bool serviceRunning, const StatusClock& clock,
                                  std::wstring (*errorText)(DWORD))
{
    ApplicationRow row;
    row.Name = name;
    row.NextDue = state.Answered && state.LastAnswer != 0 ? FormatDueMoment(state.NextDue, clock)
                                                          : L"-";
    row.LastRun = state.RunRecorded ? FormatMoment(state.LastRunStart, clock) : L"-";
    bool runFailed = false;
    row.Result = LastRunResult(state, serviceRunning, clock, errorText, runFailed) + LatenessOf(state);
    const bool queryFailed = state.Queried && state.LastQueryExitCode != 0;
    if (queryFailed)
        row.Result += L"; query program exit code " + FormatExitCode(state.LastQueryExitCode);
    // Missed runs are told, not a fault to mend: the computer was off or the service stopped,
    // event 1105 told of each, and the count never goes down.
    row.Result += MissedRunsOf(state, clock);
    row.NeedsAttention = runFailed || queryFailed;
    return row;
}

std::wstring FormatApplicationTable(const std::vector<ApplicationRow>& rows)
{
    ApplicationRow heading;
    heading.Name = L"Application";
    heading.NextDue = L"Next due";
    heading.LastRun = L"Last run";
    heading.Result = L"Result";
    size_t nameWidth = heading.Name.size();
    size_t dueWidth = heading.NextDue.size();
    size_t runWidth = heading.LastRun.size();
    for (const ApplicationRow& row : rows) {
        nameWidth = row.Name.size() > nameWidth ? row.Name.size() : nameWidth;
        dueWidth = row.NextDue.size() > dueWidth ? row.NextDue.size() : dueWidth;
        runWidth = row.LastRun.size() > runWidth ? row.LastRun.size() : runWidth;
    }
    const auto line = [&](const ApplicationRow& row) {
        return L"  " + row.Name + std::wstring(nameWidth - row.Name.size() + 2, L' ') + row.NextDue +
               std::wstring(dueWidth - row.NextDue.size() + 2, L' ') + row.LastRun +
               std::wstring(runWidth - row.LastRun.size() + 2, L' ') + row.Result + L"\r\n";
    };
    std::wstring table = line(heading);
    for (const ApplicationRow& row : rows)
        table += line(row);
    return table;
}

std::wstring ShowableText(const std::wstring& text)
{
    std::wstring shown;
    shown.reserve(text.size());
    for (const wchar_t c : text) {
        if (c < 0x20) {
            shown += L'^';
            shown += static_cast<wchar_t>(c + 0x40);
        } else if (c == 0x7F) {
            shown += L"^?";
        } else {
            shown += c;
        }
    }
    return shown;
}

std::vector<StatusWarning> RegistrationFindings(const std::wstring& name,
                                                const std::wstring& scheduler,
                                                const std::wstring& scanner,
                                                const std::wstring& appDir,
                                                bool (*fileExists)(const std::wstring&),
                                                bool (*directoryExists)(const std::wstring&))
{
    std::vector<StatusWarning> warnings;
    const struct {
        const wchar_t* Value;
        const std::wstring& Text;
    } values[] = {{kSchedulerValue, scheduler}, {kScannerValue, scanner}, {kAppDirValue, appDir}};
    for (const auto& value : values) {
        if (value.Text.empty())
            warnings.push_back(Finding(L"registration-missing-value", name,
                                       name + L" has no " + value.Value + L" value, so it is never queried."));
    }
    if (!scheduler.empty())
        CheckCommandLine(name, kSchedulerValue, scheduler, fileExists, warnings);
    if (!scanner.empty())
        CheckCommandLine(name, kScannerValue, scanner, fileExists, warnings);
    if (!appDir.empty() && !directoryExists(appDir))
        warnings.push_back(Finding(L"missing-app-dir", name, name + L": AppDir (" + appDir + L") does not exist."));
    return warnings;
}

std::vector<std::wstring> RegistrationWarnings(const std::wstring& name,
                                               const std::wstring& scheduler,
                                               const std::wstring& scanner,
                                               const std::wstring& appDir,
                                               bool (*fileExists)(const std::wstring&),
                                               bool (*directoryExists)(const std::wstring&))
{
    return TextsOf(RegistrationFindings(name, scheduler, scanner, appDir, fileExists, directoryExists));
}

std::wstring WakingLine(const WakeTimerSettings& timers, const RecordedServiceState& state)
{
    std::wstring line = L"Waking: wake timers ";
    line += WakeTimerWords(timers.Mains);
    line += L" on mains power, ";
    line += WakeTimerWords(timers.Battery);
    line += L" on battery; ";
    if (!state.WakeKnown)
        line += L"whether the computer accepts the wake timer is not known yet (no timer armed "
                L"since the State was written)";
    else if (state.WakeSupported)
        line += L"the computer accepted the wake timer when it was last armed";
    else
        line += L"the computer did NOT accept the wake timer when it was last armed (this "
                L"computer cannot be woken by a timer)";
    return line;
}

std::vector<StatusWarning> WakingFindings(const WakeTimerSettings& timers,
                                          const RecordedServiceState& state)
{
    std::vector<StatusWarning> warnings;
    if (timers.Mains == WakeTimerSetting::Disabled)
        warnings.push_back(Finding(
            L"wake-timers-disabled", std::wstring(),
            L"Wake timers are disabled on mains power in the active power plan, so a "
            L"task due while the computer sleeps runs only when something else wakes it. "
            L"To allow them, run \"powercfg /setacvalueindex SCHEME_CURRENT SUB_SLEEP "
            L"RTCWAKE 1\", then \"powercfg /setactive SCHEME_CURRENT\"."));
    if (state.WakeKnown && !state.WakeSupported)
        warnings.push_back(Finding(
            L"wake-not-accepted", std::wstring(),
            L"This computer did not accept the service's wake timer (event 1400), so a "
            L"task due while it sleeps runs only when something else wakes it."));
    return warnings;
}

std::vector<std::wstring> WakingWarnings(const WakeTimerSettings& timers,
                                         const RecordedServiceState& state)
{
    return TextsOf(WakingFindings(timers, state));
}

ULONGLONG StalePassSeconds()
{
    // The spacing after a run (four minutes) and a pass's queries fit well within the margin.
    constexpr ULONGLONG kStaleMarginSeconds = 600;   // ten minutes
    return ProductTimings().WaitBoundMs / 1000 + kStaleMarginSeconds;
}

StatusWarning StalePassWarning(bool serviceRunsTheRecordingProcess, bool taskRunning,
                               ULONGLONG lastActivity, ULONGLONG now)
{
    if (!serviceRunsTheRecordingProcess || taskRunning || lastActivity == 0 ||
        now <= lastActivity + StalePassSeconds())
        return StatusWarning();
    return Finding(L"stale-pass", std::wstring(),
                   L"No pass has begun for " + FormatDuration(now - lastActivity) +
                       L", although the service runs and no task runs: its worker may have "
                       L"ended (event 1901 in the Application log tells why). Restart the service "
                       L"(VarnholtScheduling.exe -b, or Restart-Service 'Varnholt Scheduling').");
}

ULONGLONG NextPassMoment(const RecordedServiceState& state, const ApplicationState& appToRun,
                         ULONGLONG spacingSeconds, ULONGLONG now)
{
    if (state.LastPassStart == 0 || state.LastPassEnd < state.LastPassStart)
        return 0;   // never passed, or a pass is going on
    ULONGLONG next = state.NextPass;
    if (!state.AppToRun.empty() && appToRun.RunRecorded && appToRun.LastRunStart >= state.LastPassEnd) {
        if (appToRun.Running)
            return 0;   // the pass comes after the run and its spacing
        next = appToRun.LastRunStart + spacingSeconds;
    }
    if (next == 0)
        return 0;
    return next < now ? now : next;
}

int StatusExitCode(DWORD serviceState, bool needsAttention)
{
    if (serviceState != SERVICE_RUNNING)
        return 3;
    return needsAttention ? 1 : 0;
}

std::wstring ServiceStateWords(DWORD serviceState)
{
    switch (serviceState) {
    case SERVICE_STOPPED:
        return L"stopped";
    case SERVICE_START_PENDING:
        return L"starting";
    case SERVICE_STOP_PENDING:
        return L"stopping";
    case SERVICE_RUNNING:
        return L"running";
    case SERVICE_CONTINUE_PENDING:
        return L"continuing";
    case SERVICE_PAUSE_PENDING:
        return L"pausing";
    case SERVICE_PAUSED:
        return L"paused";
    default:
        break;
    }
    return L"not installed";
}
