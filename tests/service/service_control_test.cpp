// The service under Wine's real service control manager.
#include "service/service_control.h"

#include "log/event_log.h"
#include "log/log_file.h"
#include "log/logger.h"
#include "schedule/state_record.h"
#include "schedule/timings.h"
#include "support/console_text.h"
#include "support/unique_resource.h"
#include "tests/common/event_recording.h"
#include "tests/common/files.h"
#include "tests/common/log_capture.h"
#include "tests/common/piped_process.h"
#include "tests/common/processes.h"
#include "tests/common/product_log.h"
#include "tests/common/program_paths.h"
#include "tests/common/registry.h"
#include "tests/common/scheduler_control.h"
#include "tests/common/scratch_folder.h"
#include "tests/common/service_manager.h"
#include "tests/common/timer_from_now.h"
#include "tests/common/wait_until.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

struct InstalledConfig {
    DWORD ServiceType = 0;
    DWORD StartType = 0;
    DWORD ErrorControl = 0;
    std::wstring ImagePath;
    std::wstring Account;
    std::wstring Description;
};

bool QueryInstalled(InstalledConfig& config)
{
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(
        manager ? OpenServiceW(manager.Get(), kServiceName, SERVICE_QUERY_CONFIG) : nullptr);
    if (!service)
        return false;
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    if (!QueryServiceConfigW(service.Get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                             static_cast<DWORD>(buffer.size()), &needed))
        return false;
    const auto* info = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    config.ServiceType = info->dwServiceType;
    config.StartType = info->dwStartType;
    config.ErrorControl = info->dwErrorControl;
    config.ImagePath = info->lpBinaryPathName ? info->lpBinaryPathName : L"";
    config.Account = info->lpServiceStartName ? info->lpServiceStartName : L"";
    if (QueryServiceConfig2W(service.Get(), SERVICE_CONFIG_DESCRIPTION, buffer.data(),
                             static_cast<DWORD>(buffer.size()), &needed)) {
        const auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer.data());
        config.Description = description->lpDescription ? description->lpDescription : L"";
    }
    return true;
}

bool SendControl(DWORD control, DWORD& error)
{
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(
        manager ? OpenServiceW(manager.Get(), kServiceName,
                               SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL | SERVICE_STOP)
                : nullptr);
    SERVICE_STATUS status = {};
    const BOOL sent = service && ControlService(service.Get(), control, &status);
    error = sent ? 0 : GetLastError();
    return sent != FALSE;
}

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RemoveServiceCompletely();
        RunProduct(L"/k");
        m_logStart = LogSize();
    }
    void TearDown() override { RemoveServiceCompletely(); }

    std::vector<std::wstring> Messages() const
    {
        std::vector<std::wstring> messages;
        for (const std::wstring& line : LogLinesAfter(m_logStart))
            messages.push_back(MessageOf(line));
        return messages;
    }
    int Count(const std::wstring& message) const
    {
        const std::vector<std::wstring> messages = Messages();
        return static_cast<int>(std::count(messages.begin(), messages.end(), message));
    }
    bool WaitForState(DWORD state, DWORD timeoutMs = 20000)
    {
        return WaitUntil([&] { return ServiceState() == state; }, timeoutMs);
    }
    // Sends the stop control and returns how long it took until the service reported
    // STOPPED, polled every 10 ms. graceOut, when given, receives whether the service's
    // grace for its children (counted from before the request) had run out by then.
    ULONGLONG TimedStop(bool* graceOut = nullptr)
    {
        const TimerFromNow grace(ProductTimings().KillGraceMs);
        const ULONGLONG start = GetTickCount64();
        DWORD error = 0;
        SendControl(SERVICE_CONTROL_STOP, error);   // under Wine may answer 1053 while it still stops
        const bool stopped = WaitUntil([] { return ServiceState() == SERVICE_STOPPED; }, 40000, 10);
        const ULONGLONG took = GetTickCount64() - start;
        if (graceOut)
            *graceOut = grace.Fired();
        EXPECT_TRUE(stopped);
        return took;
    }

    ProductKeyReset m_reset;
    size_t m_logStart = 0;
};

TEST_F(ServiceTest, InstallWritesTheConfigurationAndRefusesASecondInstall)
{
    EXPECT_EQ(0u, RunProduct(L"-i"));
    InstalledConfig config;
    ASSERT_TRUE(QueryInstalled(config));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), config.ServiceType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), config.StartType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config.ErrorControl);
    EXPECT_EQ(L"\"" + ProductExePath() + L"\"", config.ImagePath);
    EXPECT_EQ(L"LocalSystem", config.Account);
    EXPECT_EQ(L"This service handles the scheduling for Varnholt Applications", config.Description);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState());

    EXPECT_EQ(0u, RunProduct(L"-k"));   // not running: quiet
    EXPECT_EQ(0u, RunProduct(L"-I"));
    EXPECT_EQ(1, Count(L"Failed to create service, error code = 1073"));
    EXPECT_EQ(0, Count(L"ControlService(SERVICE_CONTROL_STOP) failed, error code = 1062"));

    EXPECT_EQ(0u, RunProduct(L"-u"));
    EXPECT_TRUE(WaitUntil([] { return ServiceState() == 0; }, 20000));
    EXPECT_EQ(0, Count(L"DeleteService failed, error code = 1072"));
}

TEST_F(ServiceTest, ControlsOfAServiceThatIsNotInstalledFailWithTheirMessage)
{
    EXPECT_EQ(0u, RunProduct(L"-k"));
    EXPECT_EQ(0u, RunProduct(L"-b"));
    EXPECT_EQ(0u, RunProduct(L"-u"));
    // -k once, -b twice (stop and start), -u twice (its stop, then the uninstall).
    EXPECT_EQ(5, Count(L"OpenService failed, error code = 1060"));
}

TEST_F(ServiceTest, InstallAndRunStartsItAndBounceRestartsIt)
{
    EXPECT_EQ(0u, RunProduct(L"-ir"));
    InstalledConfig config;
    ASSERT_TRUE(QueryInstalled(config));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config.StartType);
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING));

    // Installed already: the install fails, the start is still asked for, and a running
    // service accepts that silently.
    EXPECT_EQ(0u, RunProduct(L"-iR"));
    EXPECT_EQ(1, Count(L"Failed to create service, error code = 1073"));
    EXPECT_EQ(0, Count(L"StartService failed, error code = 1056"));

    EXPECT_EQ(0u, RunProduct(L"-b"));
    EXPECT_TRUE(WaitForState(SERVICE_RUNNING));
    EXPECT_EQ(2, Count(L"Start Varnholt Scheduling Service"));
    EXPECT_EQ(1, Count(L"Stopping service"));

    EXPECT_EQ(0u, RunProduct(L"-k"));
    EXPECT_TRUE(WaitForState(SERVICE_STOPPED));
    EXPECT_TRUE(WaitUntil([&] { return Count(L"EXIT Varnholt Scheduling Service") == 2; }, 20000));
}

TEST_F(ServiceTest, QuotedPathWithSpacesStarts)
{
    ScratchDirectory folder;
    const std::wstring spaced = folder.File(L"Program Files With Spaces");
    ASSERT_TRUE(CreateDirectoryW(spaced.c_str(), nullptr));
    const std::wstring copy = spaced + L"\\VarnholtScheduling.exe";
    ASSERT_TRUE(CopyFileW(ProductExePath().c_str(), copy.c_str(), FALSE));

    EXPECT_EQ(0u, RunAndCollect(L"\"" + copy + L"\" -ir", 60000));
    InstalledConfig config;
    ASSERT_TRUE(QueryInstalled(config));
    EXPECT_EQ(L"\"" + copy + L"\"", config.ImagePath);
    EXPECT_TRUE(WaitForState(SERVICE_RUNNING));
    EXPECT_EQ(0u, RunAndCollect(L"\"" + copy + L"\" -u", 60000));
    EXPECT_TRUE(WaitUntil([] { return ServiceState() == 0; }, 30000));
}

TEST_F(ServiceTest, RunningServiceAnswersControlsAndStopsBeforeItsWorkerIsUp)
{
    ASSERT_EQ(0u, RunProduct(L"-ir"));
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
    DWORD error = 0;
    EXPECT_TRUE(SendControl(SERVICE_CONTROL_INTERROGATE, error)) << error;
    EXPECT_TRUE(SendControl(128, error)) << error;
    EXPECT_TRUE(WaitUntil([&] { return Count(L"Unrecognized opcode 128") == 1; }, 20000));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState());

    // Still within the worker's 15-second start delay: no check event exists yet.
    EXPECT_EQ(0u, RunProduct(L"-k"));
    EXPECT_TRUE(WaitForState(SERVICE_STOPPED));
    EXPECT_TRUE(WaitUntil([&] { return Count(L"EXIT Varnholt Scheduling Service") == 1; }, 20000));
    EXPECT_EQ(1, Count(L"Stopping service"));
}

// One whole scheduled run through the service control manager, then a stop while the
// push script runs.
TEST_F(ServiceTest, ScheduledRunUnderTheServiceControlManager)
{
    ScratchDirectory folder;
    SetProductDword(L"", L"Debug", 2);
    RegisterApplication(L"Demo", TestChildCommand(L"--write Demo 3"),
                        TestChildCommand(L"--append \"" + folder.File(L"task.txt") + L"\" scanned"),
                        folder.Path());
    SetProductString(L"", L"PushScriptCommand", TestChildCommand(L"--ignore-quit 300000"));
    UniqueHandle completed(CreateEventW(nullptr, TRUE, FALSE, L"Global\\VARNHOLT_SCHEDULED_SCAN_COMPLETED"));
    ASSERT_TRUE(completed);

    ASSERT_EQ(0u, RunProduct(L"-i"));
    DWORD error = 0;
    {
        UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        UniqueServiceHandle service(OpenServiceW(manager.Get(), kServiceName, SERVICE_START));
        ASSERT_TRUE(StartServiceW(service.Get(), 0, nullptr)) << "error " << GetLastError();
    }
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(completed.Get(), 60000));
    EXPECT_EQ(L"scanned|" + folder.Path() + L"\r\n", ReadUtf8File(folder.File(L"task.txt")));

    // The worker now keeps its spacing; the push script runs and ignores WM_QUIT.
    const TimerFromNow grace(ProductTimings().KillGraceMs);
    SendControl(SERVICE_CONTROL_STOP, error);   // under Wine may answer 1053 while it still stops
    EXPECT_TRUE(WaitForState(SERVICE_STOPPED, 30000));
    EXPECT_TRUE(grace.Fired()) << "STOPPED came before the push script's grace was out";
    EXPECT_TRUE(WaitUntil([&] { return Count(L"EXIT Varnholt Scheduling Service") == 1; }, 20000));
    EXPECT_EQ(0u, RunProduct(L"-u"));

    const std::vector<std::wstring> messages = Messages();
    const auto at = [&](const std::wstring& m) {
        return std::find(messages.begin(), messages.end(), m) - messages.begin();
    };
    const std::vector<std::wstring> order = {
        L"Start Varnholt Scheduling Service", L"Start Varnholt Push Script",
        L"Checked 1 schedules; NextCheck=3, AppToRun=Demo", L"Starting to sleep for 3 seconds.",
        L"Starting Scan.", L"Scan Finished.", L"Task ran short; sleeping 239 seconds",
        L"Stopping service", L"EXIT Varnholt Scheduling Service"};
    for (size_t i = 0; i + 1 < order.size(); ++i) {
        ASSERT_LT(at(order[i]), static_cast<std::ptrdiff_t>(messages.size())) << "missing: " << i;
        EXPECT_LT(at(order[i]), at(order[i + 1])) << "order at " << i;
    }
}

}  // namespace

namespace {

// A stop while a main task and the push script both run and ignore WM_QUIT: they share one
// grace, then are terminated, and only then does the service report STOPPED, with no child
// left.
TEST_F(ServiceTest, StopGivesTheTaskAndPushScriptOneGraceTogether)
{
    ScratchDirectory folder;
    RegisterApplication(L"Demo", TestChildCommand(L"--write Demo 1"),
                        TestChildCommand(L"--append \"" + folder.File(L"task.txt") + L"\" task --ignore-quit 300000"),
                        folder.Path());
    SetProductString(L"", L"PushScriptCommand",
                     TestChildCommand(L"--append \"" + folder.File(L"push.txt") + L"\" push --ignore-quit 300000"));
    ASSERT_EQ(0, CountProcesses(L"VarnholtTestChild.exe"));
    ASSERT_EQ(0u, RunProduct(L"-ir"));
    ASSERT_TRUE(WaitUntil([&] { return FileExists(folder.File(L"task.txt")) && FileExists(folder.File(L"push.txt")); }, 60000));
    EXPECT_EQ(2, CountProcesses(L"VarnholtTestChild.exe"));

    bool graceOut = false;
    const ULONGLONG took = TimedStop(&graceOut);
    EXPECT_EQ(0, CountProcesses(L"VarnholtTestChild.exe"));   // none left once STOPPED
    EXPECT_TRUE(graceOut) << "STOPPED came before the children's grace was out";
    // One grace for both, then their terminations: a grace for each would take two.
    EXPECT_LT(took, 2 * ProductTimings().KillGraceMs) << "the stop took " << took << " ms";
    EXPECT_TRUE(WaitUntil([&] { return Count(L"EXIT Varnholt Scheduling Service") == 1; }, 20000));
    EXPECT_EQ(0, Count(L"KillProcess failed, error 5"));
}

// Children that quit when asked end the stop at once: nothing is waited out, nothing
// terminated, no failure logged.
TEST_F(ServiceTest, StopWithCooperativeChildrenIsPrompt)
{
    ScratchDirectory folder;
    RegisterApplication(L"Demo", TestChildCommand(L"--write Demo 1"),
                        TestChildCommand(L"--queue --append \"" + folder.File(L"task.txt") + L"\" task --quit-loop -1"),
                        folder.Path());
    SetProductString(L"", L"PushScriptCommand",
                     TestChildCommand(L"--queue --append \"" + folder.File(L"push.txt") + L"\" push --quit-loop -1"));
    ASSERT_EQ(0u, RunProduct(L"-ir"));
    ASSERT_TRUE(WaitUntil([&] { return FileExists(folder.File(L"task.txt")) && FileExists(folder.File(L"push.txt")); }, 60000));

    const ULONGLONG took = TimedStop();
    EXPECT_EQ(0, CountProcesses(L"VarnholtTestChild.exe"));
    // A stop that waited out the grace although they had quit would take it.
    EXPECT_LT(took, ProductTimings().KillGraceMs) << "the children quit at once; the stop took " << took << " ms";
    EXPECT_TRUE(WaitUntil([&] { return Count(L"EXIT Varnholt Scheduling Service") == 1; }, 20000));
    EXPECT_EQ(0, Count(L"KillProcess failed, error 5"));
    EXPECT_EQ(0, Count(L"KillProcess failed, error 6"));
}

// A stop while application A's query program runs: the program is ended, the pass ends
// there, application B's program never starts, both answers are 0 afterwards, and no
// child of the service outlives its report of STOPPED. Started by the service control
// manager, the service launches the registration command by its full path.
TEST_F(ServiceTest, StopDuringAPassLeavesNoChildAndStartsNoOther)
{
    ScratchDirectory folder;
    SetProductDword(L"", L"Debug", 3);
    const std::wstring queried = folder.File(L"queried.txt");
    RegisterApplication(L"A", TestChildCommand(L"--write A 77 --append \"" + queried + L"\" A --ignore-quit 300000"),
                        TestChildCommand(L"--append \"" + folder.File(L"task.txt") + L"\" task"), folder.Path());
    RegisterApplication(L"B", TestChildCommand(L"--append \"" + queried + L"\" B --write B 5"),
                        TestChildCommand(L"--append \"" + folder.File(L"task.txt") + L"\" task"), folder.Path());
    SetProductDword(L"B", L"ScheduleEnabled", 0);
    ASSERT_EQ(0u, RunProduct(L"-ir"));
    ASSERT_TRUE(WaitUntil([&] { return FileExists(queried); }, 60000));

    TimedStop();
    EXPECT_EQ(0, CountProcesses(L"VarnholtTestChild.exe"));
    ASSERT_TRUE(WaitUntil([] { return CountProcesses(L"VarnholtScheduling.exe") == 0; }, 20000));
    EXPECT_EQ(L"A|" + folder.Path() + L"\r\n", ReadUtf8File(queried));   // B never started
    EXPECT_FALSE(FileExists(folder.File(L"task.txt")));
    DWORD a = 12345;
    DWORD b = 12345;
    EXPECT_TRUE(ReadProductDword(L"A", L"ScheduleEnabled", a));
    EXPECT_TRUE(ReadProductDword(L"B", L"ScheduleEnabled", b));
    EXPECT_EQ(0u, a);
    EXPECT_EQ(0u, b);
    EXPECT_EQ(1, Count(L"Service is exiting, shutting down worker thread"));

    wchar_t system[MAX_PATH] = L"";
    GetSystemDirectoryW(system, MAX_PATH);
    EXPECT_EQ(1, Count(L"Launching '\"" + std::wstring(system) + L"\\regsvr32.exe\" /s jscript.dll'"));
    EXPECT_EQ(0, Count(L"CreateProcess failed, error code = 2"));
}

// What "-b" waits on between its stop and its start: SERVICE_STOPPED, for a bounded time;
// a service that cannot be queried is not waited for.
TEST_F(ServiceTest, RestartWaitsUntilTheServiceReportsStopped)
{
    const auto timed = [](DWORD timeoutMs, bool& stopped) {
        const ULONGLONG start = GetTickCount64();
        stopped = WaitForTheServiceToStop(timeoutMs);
        return GetTickCount64() - start;
    };
    // Each wait below ends at once: one that ran to its time-out would take a minute.
    bool stopped = false;
    EXPECT_LT(timed(60000, stopped), kLoadMarginMs);   // not installed
    EXPECT_TRUE(stopped);
    ASSERT_EQ(0u, RunProduct(L"-ir"));
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
    // A running service is waited for until the time is out, and only then given up on.
    const TimerFromNow timeout(1500);
    EXPECT_FALSE(WaitForTheServiceToStop(1500));
    EXPECT_TRUE(timeout.Fired()) << "the wait gave up before its time was out";
    EXPECT_EQ(0u, RunProduct(L"-k"));
    EXPECT_LT(timed(60000, stopped), kLoadMarginMs);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState());
}

// A stand-in service under the product's name whose process lives on for a while after
// it has reported STOPPED (the test child's --service-linger), installed for a manual start.
bool InstallLingeringService(const std::wstring& arguments)
{
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    UniqueServiceHandle service(
        manager ? CreateServiceW(manager.Get(), kServiceName, kServiceName, SERVICE_ALL_ACCESS,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                 TestChildCommand(arguments).c_str(), nullptr, nullptr, nullptr,
                                 nullptr, nullptr)
                : nullptr);
    return static_cast<bool>(service);
}

// A stopped service's process may still be ending: the restart's wait covers that process
// too, taken while the service still names it.
TEST_F(ServiceTest, RestartAlsoWaitsForTheStoppedServicesProcessToEnd)
{
    ASSERT_TRUE(InstallLingeringService(L"--service-linger 3000"));
    EXPECT_FALSE(OpenTheServiceProcess()) << "a service that is not running has no process";
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), StartTheService());
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
    const UniqueHandle process = OpenTheServiceProcess();
    ASSERT_TRUE(process);
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), StopTheService());

    EXPECT_FALSE(WaitForTheServiceToStop(1000, process.Get()));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(process.Get(), 0));
    EXPECT_TRUE(WaitForTheServiceToStop(10000, process.Get()));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(process.Get(), 0));
}

TEST_F(ServiceTest, BounceRestartsAServiceWhoseProcessOutlivesItsStop)
{
    ScratchDirectory folder;
    const std::wstring starts = folder.File(L"starts.txt");
    const auto startCount = [&] {
        const std::string text = ReadFileBytes(starts);
        return std::count(text.begin(), text.end(), '\n');
    };
    ASSERT_TRUE(InstallLingeringService(L"--append \"" + starts + L"\" start --service-linger 3000"));
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), StartTheService());
    ASSERT_TRUE(WaitUntil([&] { return startCount() == 1; }, 20000));
    const UniqueHandle first = OpenTheServiceProcess();
    ASSERT_TRUE(first);

    EXPECT_EQ(0u, RunProduct(L"-b"));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(first.Get(), 0));
    EXPECT_TRUE(WaitUntil([&] { return startCount() == 2; }, 10000)) << "no second start";
    EXPECT_TRUE(WaitForState(SERVICE_RUNNING, 10000));
    EXPECT_EQ(0, Count(L"Service did not stop within 30 seconds"));

    // The next test starts a service under the same name: this one's process ends first.
    const UniqueHandle second = OpenTheServiceProcess();
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), StopTheService());
    EXPECT_TRUE(WaitForTheServiceToStop(10000, second.Get()));
}

// A service's process may end right after the service has reported STOPPED, before the
// answer to the stop request has left it. The stop happened: it is no failure.
TEST_F(ServiceTest, StopWhoseAnswerIsLostWithTheProcessIsNoFailure)
{
    ASSERT_TRUE(InstallLingeringService(L"--service-abrupt"));
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), StartTheService());
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
    const UniqueHandle process = OpenTheServiceProcess();
    ASSERT_TRUE(process);
    CapturedLog log;
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), StopTheService());
    EXPECT_TRUE(log.Messages().empty()) << log.Text();
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(process.Get(), 20000));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState());
}

// "-b" waits for the stop before it asks for the start, so a stop that takes its time (a
// main task that ignores WM_QUIT) still ends in a running service.
TEST_F(ServiceTest, BounceRestartsAServiceWhoseStopTakesItsTime)
{
    ScratchDirectory folder;
    RegisterApplication(L"Demo", TestChildCommand(L"--write Demo 1"),
                        TestChildCommand(L"--append \"" + folder.File(L"task.txt") + L"\" task --ignore-quit 300000"),
                        folder.Path());
    ASSERT_EQ(0u, RunProduct(L"-ir"));
    ASSERT_TRUE(WaitUntil([&] { return FileExists(folder.File(L"task.txt")); }, 60000));

    EXPECT_EQ(0u, RunProduct(L"-b"));
    EXPECT_TRUE(WaitForState(SERVICE_RUNNING, 10000));
    EXPECT_EQ(2, Count(L"Start Varnholt Scheduling Service"));
    EXPECT_EQ(1, Count(L"Stopping service"));
    EXPECT_EQ(0, Count(L"Service did not stop within 30 seconds"));
    EXPECT_EQ(0, Count(L"StartService failed, error code = 1056"));
}

}  // namespace

namespace {

// The day's file held by another process without write sharing when the service starts:
// the service runs without its file and says so (State's LogFileError, "-s"), and once the
// holder lets go, its next pass takes the file again and its lines reach it.
TEST_F(ServiceTest, DaysFileHeldAtTheStartIsShownAndTakenAgain)
{
    SetProductDword(L"", L"Debug", 2);
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), DeleteRecordedState());
    const std::string before = ReadFileBytes(TodaysProductLog());
    UniqueFileHandle holder(CreateFileW(TodaysProductLog().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder);

    ASSERT_EQ(0u, RunProduct(L"-ir"));
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
    EXPECT_TRUE(WaitUntil([] { return ReadServiceState().LogFileError == ERROR_SHARING_VIOLATION; }, 30000));
    const ProductRun status = RunProductPiped(L"-s");
    EXPECT_EQ(1u, status.ExitCode) << status.Output;
    EXPECT_NE(std::wstring::npos,
              status.Output.find(L"Log: no file today: " + SystemErrorText(ERROR_SHARING_VIOLATION)))
        << status.Output;
    EXPECT_EQ(before, ReadFileBytes(TodaysProductLog())) << "a line reached the held file";

    holder.Reset();
    // The first pass comes after the start delay; should it have come already, a check
    // request brings the next one (the event exists from the first pass on).
    UniqueHandle check;
    EXPECT_TRUE(WaitUntil([&] {
        check.Reset(OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Global\\VarnholtScheduleCheck"));
        return static_cast<bool>(check);
    }, 40000));
    if (check)
        SetEvent(check.Get());
    EXPECT_TRUE(WaitForLogMessage(before.size(), L"The log file " + TodaysProductLog() + L" is open again",
                                  30000));
    EXPECT_TRUE(WaitForLogMessage(before.size(), L"Checked 0 schedules; NextCheck=86400, AppToRun=", 30000));
    EXPECT_EQ(0u, ReadServiceState().LogFileError);
}

// What the service had reported when the stop's first line reached the log.
class StopLineWitness : public CLogSink {
public:
    bool Takes(int, bool) const override { return true; }
    void Take(const LogLine& line) override
    {
        if (std::wstring(line.Message) == L"Stopping service" && !m_seen.exchange(true)) {
            m_state = ServiceStatus.dwCurrentState;
            m_hint = ServiceStatus.dwWaitHint;
        }
    }
    bool Seen() const { return m_seen.load(); }
    DWORD State() const { return m_state; }
    DWORD Hint() const { return m_hint; }

private:
    std::atomic<bool> m_seen{false};
    DWORD m_state = 0;
    DWORD m_hint = 0;
};

// Reports through it fail with an exception at the stop's event (1001), as an allocation
// that fails while the report is made would.
class ThrowingAtTheStopsEvent : public RecordingEventSink {
public:
    bool Report(WORD type, DWORD messageId, const std::vector<std::wstring>& inserts) override
    {
        if (VisibleEventId(messageId) == 1001)
            throw std::bad_alloc();
        return RecordingEventSink::Report(type, messageId, inserts);
    }
};

// An exception during a stop is logged as a thread's end is (1901), and the service is left
// STOPPED with an exit code that says why, not waiting in STOP_PENDING; the scheduling
// has been stopped all the same.
TEST(StopHandlerTest, AnExceptionIsLoggedAndLeavesTheServiceStopped)
{
    ProductKeyReset reset;
    CapturedLog log(0);
    ThrowingAtTheStopsEvent events;
    SetEventSink(&events);
    const DWORD answer = ServiceCtrlHandler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
    SetEventSink(nullptr);
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), answer);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceStatus.dwCurrentState);
    EXPECT_EQ(static_cast<DWORD>(ERROR_EXCEPTION_IN_SERVICE), ServiceStatus.dwWin32ExitCode);
    EXPECT_EQ(1, log.Count(L"Service control handler ended unexpectedly")) << log.Text();
    const std::vector<RecordedEvent> ended = events.EventsWithId(1901);
    ASSERT_EQ(1u, ended.size());
    EXPECT_EQ(L"Service control handler ended unexpectedly", ended[0].Inserts.at(0));
    EXPECT_TRUE(SchedulerStopping());
    ServiceStatus = SERVICE_STATUS{};
    ClearSchedulerStop();   // no worker ran to take the stop back
}

// Stands for an open of the day's file that an opportunistic lock holds up for ever: it
// returns only when the test lets it go at its end.
HANDLE OpenRelease = nullptr;
LONG volatile OpenBegun = 0;
void NeverReturningOpen(const wchar_t*)
{
    InterlockedExchange(&OpenBegun, 1);
    WaitForSingleObject(OpenRelease, INFINITE);
}

// The stop handler, in this process: its first report is STOP_PENDING, made before any log
// line (a line may wait), and the stop reports SERVICE_STOPPED within the hint it gave,
// although the day's file is being opened and that open never returns; meanwhile another
// thread's line returns at once.
TEST(StopHandlerTest, ReportsFirstAndStopsWithinItsHintWhileAnOpenHangs)
{
    ProductKeyReset reset;
    CapturedLog log(2);
    StopLineWitness witness;
    ASSERT_TRUE(AddLogSink(&witness));
    UniqueHandle release(CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr));
    ASSERT_TRUE(release);
    OpenRelease = release.Get();
    InterlockedExchange(&OpenBegun, 0);
    CloseTheLog();   // the next pass opens the file again
    SetLogFileOpenHookForTests(NeverReturningOpen);

    std::thread pass([] { OpenDailyLog(); });
    EXPECT_TRUE(WaitUntil([] { return OpenBegun != 0; }, 20000)) << "the pass did not open the day's file";
    UniqueHandle lineDone(CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr));
    std::thread other([&lineDone] {
        LOG(0, L"another thread's line");
        SetEvent(lineDone.Get());
    });
    // A line that waited for the open would wait as long as the open.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(lineDone.Get(), 20000)) << "a line waited for the open";

    UniqueHandle stopDone(CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr));
    std::atomic<ULONGLONG> took{0};
    std::thread stop([&stopDone, &took] {
        const ULONGLONG start = GetTickCount64();
        ServiceCtrlHandler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
        took.store(GetTickCount64() - start);
        SetEvent(stopDone.Get());
    });
    // No hint was reported when the stop is stuck before its report: the longest hint a stop
    // of the product may give, and a margin for a loaded machine to fail no sound stop.
    constexpr DWORD kLongestHintMs = 17000;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(stopDone.Get(), kLongestHintMs + 5000)) << "the stop hangs";
    EXPECT_TRUE(witness.Seen());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), witness.State()) << "a line came before the report";
    EXPECT_LE(took.load(), static_cast<ULONGLONG>(witness.Hint()));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceStatus.dwCurrentState);

    SetEvent(release.Get());
    pass.join();
    other.join();
    stop.join();
    SetLogFileOpenHookForTests(nullptr);
    RemoveLogSink(&witness);
    ClearSchedulerStop();   // no worker ran to take the stop back
}

}  // namespace
