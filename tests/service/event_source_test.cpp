#include "service/event_source.h"

#include "log/event_log.h"
#include "service/install_check.h"
#include "service/service_control.h"
#include "support/unique_resource.h"
#include "tests/common/log_capture.h"
#include "tests/common/processes.h"
#include "tests/common/program_paths.h"
#include "tests/common/registry.h"
#include "tests/common/service_manager.h"
#include "tests/common/wait_until.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

bool SourceKeyExists() { return RegistryKeyExists(HKEY_LOCAL_MACHINE, kEventSourceKey); }

class InstallationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RemoveServiceCompletely();
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey);
    }
    void TearDown() override
    {
        RemoveServiceCompletely();
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey);
    }

    ProductKeyReset m_reset;
};

// Holds the installed service open and deletes it, so that its entry stays marked for
// deletion until Release.
class HeldDeletedService {
public:
    HeldDeletedService()
        : m_manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)),
          m_service(m_manager ? OpenServiceW(m_manager.Get(), kServiceName, DELETE | SERVICE_QUERY_STATUS)
                              : nullptr)
    {
        m_deleted = m_service && DeleteService(m_service.Get());
    }
    bool Deleted() const { return m_deleted; }
    void Release() { m_service.Reset(); }

private:
    UniqueServiceHandle m_manager;
    UniqueServiceHandle m_service;
    bool m_deleted = false;
};

}  // namespace

TEST_F(InstallationTest, InstallRegistersTheEventSourceAndUninstallRemovesIt)
{
    EXPECT_EQ(0u, RunProduct(L"-i"));
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, KEY_READ, &key));
    const UniqueRegistryKey source(key);
    wchar_t path[1024] = L"";
    DWORD type = 0;
    DWORD size = sizeof(path) - sizeof(wchar_t);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(source.Get(), L"EventMessageFile", nullptr, &type,
                                              reinterpret_cast<BYTE*>(path), &size));
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
    EXPECT_EQ(0, _wcsicmp(ProductExePath().c_str(), path)) << path;
    DWORD types = 0;
    size = sizeof(types);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(source.Get(), L"TypesSupported", nullptr, &type,
                                              reinterpret_cast<BYTE*>(&types), &size));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(7u, types);

    // Installed already: the install fails and changes nothing, so the source keeps
    // pointing at the copy that installed the service, not at the one run now.
    const wchar_t other[] = L"C:\\Program Files\\Varnholt Scheduling\\VarnholtScheduling.exe";
    {
        HKEY writable = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, KEY_SET_VALUE, &writable));
        const UniqueRegistryKey owned(writable);
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(owned.Get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                                                reinterpret_cast<const BYTE*>(other), sizeof(other)));
    }
    for (const wchar_t* install : {L"-i", L"-ir"}) {
        EXPECT_EQ(0u, RunProduct(install));
        size = sizeof(path) - sizeof(wchar_t);
        ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(source.Get(), L"EventMessageFile", nullptr, &type,
                                                  reinterpret_cast<BYTE*>(path), &size));
        EXPECT_STREQ(other, path) << install;
    }

    EXPECT_EQ(0u, RunProduct(L"-u"));
    EXPECT_FALSE(SourceKeyExists());
    // Removing what is not there is no failure.
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), RemoveTheEventSource());
}

TEST_F(InstallationTest, InstallWaitsForAnEntryMarkedForDeletionToGo)
{
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), InstallService(/*demandStart=*/true));
    HeldDeletedService held;
    ASSERT_TRUE(held.Deleted());

    // Held for longer than the wait: the install fails with 1072, after one more try.
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE),
              InstallService(/*demandStart=*/true, /*markedForDeleteWaitMs=*/500));

    // Released within the wait, once the install has begun it: the old entry goes and the
    // install succeeds.
    CapturedLog log(0);
    std::thread release([&] {
        WaitUntil([&] { return log.Has(L"The service is marked for deletion; waiting up to 30 seconds for it to go"); },
                  20000);
        held.Release();
    });
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), InstallService(/*demandStart=*/true));
    release.join();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState());
}

TEST_F(InstallationTest, InstallCheckPassesOnlyForARunningService)
{
    EXPECT_EQ(1, CheckInstallation(0));   // not installed
    EXPECT_EQ(1u, RunProduct(kInstallCheckArgument));
    ASSERT_EQ(0u, RunProduct(L"-i"));
    EXPECT_EQ(1, CheckInstallation(500));   // installed, never started
    EXPECT_EQ(0u, RunProduct(L"-ir"));      // already there: the start alone does it
    EXPECT_EQ(0u, RunProduct(kInstallCheckArgument));
}
