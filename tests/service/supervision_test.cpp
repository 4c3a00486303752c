// The processes that the service's children start, under Wine's real service control
// manager: a stop, a killed service process and a console start leave none behind.
#include "service/service_control.h"
#include "support/unique_resource.h"
#include "tests/common/files.h"
#include "tests/common/piped_process.h"
#include "tests/common/processes.h"
#include "tests/common/product_log.h"
#include "tests/common/program_paths.h"
#include "tests/common/registry.h"
#include "tests/common/scratch_folder.h"
#include "tests/common/service_manager.h"
#include "tests/common/wait_until.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

constexpr const wchar_t* kTestChild = L"VarnholtTestChild.exe";

class SupervisionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RemoveServiceCompletely();
        RunProduct(L"/k");
        m_logStart = LogSize();
        // A child of an earlier test may still be on its way out.
        ASSERT_TRUE(WaitUntil([] { return CountProcesses(kTestChild) == 0; }, 10000));
    }
    void TearDown() override
    {
        RemoveServiceCompletely();
        EndProcesses(kTestChild);   // what a failed test left running
    }

    // A test child that starts a grandchild which ignores WM_QUIT (its id in name.id),
    // appends to name.txt once that exists, and then ignores WM_QUIT itself.
    std::wstring DeafTree(const std::wstring& name) const
    {
        return TestChildCommand(L"--spawn \"" + m_folder.File(name + L".id") +
                                L"\" \"--ignore-quit 300000\" --append \"" +
                                m_folder.File(name + L".txt") + L"\" up --ignore-quit 300000");
    }
    bool Started(const std::wstring& name) const { return FileExists(m_folder.File(name + L".txt")); }
    UniqueHandle Grandchild(const std::wstring& name) const { return OpenSpawnedChild(m_folder.File(name + L".id")); }

    // Registers an application whose main task is due at once.
    void RegisterTask(const std::wstring& scanner) const
    {
        RegisterApplication(L"Demo", TestChildCommand(L"--write Demo 1"), scanner, m_folder.Path());
    }

    ProductKeyReset m_reset;
    ScratchDirectory m_folder;
    size_t m_logStart = 0;
};

// Sends SERVICE_CONTROL_STOP and returns at once; Wine's ControlService waits for the handler.
std::thread StopInTheBackground()
{
    return std::thread([] {
        UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        UniqueServiceHandle service(
            manager ? OpenServiceW(manager.Get(), kServiceName, SERVICE_STOP) : nullptr);
        SERVICE_STATUS status = {};
        if (service)
            ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
    });
}

// The push script is a console chain (cmd /c, which has no message queue) and the main task
// starts a grandchild; everything ignores WM_QUIT. The stop shows itself as STOP_PENDING
// while it waits out the grace, and once it reports STOPPED no process of either tree runs.
TEST_F(SupervisionTest, StopEndsBothTreesAndShowsItsProgress)
{
    wchar_t system[MAX_PATH] = L"";
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring pushChild =
        TestChildCommand(L"--append \"" + m_folder.File(L"push.txt") + L"\" up --ignore-quit 300000");
    SetProductString(L"", L"PushScriptCommand",
                     L"\"" + std::wstring(system) + L"\\cmd.exe\" /c \"" + pushChild + L"\"");
    RegisterTask(DeafTree(L"task"));
    ASSERT_EQ(0u, RunProduct(L"-ir"));
    ASSERT_TRUE(WaitUntil([&] { return Started(L"task") && Started(L"push"); }, 60000));
    UniqueHandle taskGrandchild(Grandchild(L"task"));
    ASSERT_TRUE(taskGrandchild);
    EXPECT_EQ(3, CountProcesses(kTestChild));

    std::thread stop = StopInTheBackground();
    const bool pending = WaitUntil([] { return ServiceState() == SERVICE_STOP_PENDING; }, 4000, 10);
    std::wstring shown;
    if (pending) {
        PipedProcess query(L"sc query \"" + std::wstring(kServiceName) + L"\"");
        query.Wait(10000);
        shown = query.Output();
    }
    const bool stopped = WaitUntil([] { return ServiceState() == SERVICE_STOPPED; }, 30000, 10);
    const int left = CountProcesses(kTestChild);
    stop.join();

    EXPECT_TRUE(pending);
    EXPECT_NE(std::wstring::npos, shown.find(L"STOP_PENDING")) << shown;
    ASSERT_TRUE(stopped);
    EXPECT_EQ(0, left);
    EXPECT_FALSE(StillRunning(taskGrandchild.Get()));
}

// A service process that dies (here: killed from outside) takes its children and what they
// started with it: the last handle of each job closes with the process.
TEST_F(SupervisionTest, KilledServiceProcessTakesEveryChildTreeWithIt)
{
    SetProductString(L"", L"PushScriptCommand", DeafTree(L"push"));
    RegisterTask(DeafTree(L"task"));
    ASSERT_EQ(0u, RunProduct(L"-ir"));
    ASSERT_TRUE(WaitUntil([&] { return Started(L"task") && Started(L"push"); }, 60000));
    UniqueHandle taskGrandchild(Grandchild(L"task"));
    UniqueHandle pushGrandchild(Grandchild(L"push"));
    ASSERT_TRUE(taskGrandchild);
    ASSERT_TRUE(pushGrandchild);
    EXPECT_EQ(4, CountProcesses(kTestChild));

    SERVICE_STATUS_PROCESS status = {};
    {
        UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        UniqueServiceHandle service(
            manager ? OpenServiceW(manager.Get(), kServiceName, SERVICE_QUERY_STATUS) : nullptr);
        DWORD needed = 0;
        ASSERT_TRUE(service && QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO,
                                                    reinterpret_cast<BYTE*>(&status),
                                                    sizeof(status), &needed));
    }
    UniqueHandle killable(OpenProcess(PROCESS_TERMINATE, /*bInheritHandle=*/FALSE, status.dwProcessId));
    ASSERT_TRUE(killable);
    ASSERT_TRUE(TerminateProcess(killable.Get(), 9));
    EXPECT_TRUE(WaitUntil([] { return CountProcesses(kTestChild) == 0; }, 5000))
        << CountProcesses(kTestChild) << " test children left";
    EXPECT_FALSE(StillRunning(taskGrandchild.Get()));
    EXPECT_FALSE(StillRunning(pushGrandchild.Get()));
}

// Started from a console with no argument, the executable is in service mode, but no
// service control manager answers: it stops what it started, says so and shows the usage.
TEST_F(SupervisionTest, ConsoleStartOutsideTheServiceManagerLeavesNoChild)
{
    SetProductString(L"", L"PushScriptCommand", DeafTree(L"push"));
    const ProductRun run = RunProductPiped(L"", 60000);
    const int left = CountProcesses(kTestChild);
    EXPECT_EQ(0u, run.ExitCode);
    EXPECT_EQ(0, left);
    EXPECT_EQ(0u, run.Errors.find(L"Varnholt Scheduling runs")) << run.Errors;
    const std::vector<std::wstring> lines = LogLinesAfter(m_logStart);
    EXPECT_TRUE(HasMessage(lines, L"Not started by the service control manager; use -t to run "
                                  L"in a console"));
    EXPECT_TRUE(HasMessage(lines, L"EXIT Varnholt Scheduling Service"));
}

}  // namespace
