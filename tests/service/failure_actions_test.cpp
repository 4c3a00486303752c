// The failure actions that installation gives the service.
#include "service/failure_actions.h"

#include "service/service_control.h"
#include "support/unique_resource.h"
#include "tests/common/log_capture.h"
#include "tests/common/processes.h"
#include "tests/common/product_log.h"
#include "tests/common/registry.h"
#include "tests/common/service_manager.h"
#include "tests/common/unix_side.h"

#include <gtest/gtest.h>

#include <type_traits>
#include <vector>

namespace {

static_assert(!std::is_copy_constructible_v<CServiceFailureActions> &&
                  !std::is_move_constructible_v<CServiceFailureActions>,
              "a copy's record would point at the original's actions");

TEST(FailureActionsTest, RestartTwiceAMinuteAfterACrashThenNothingCountedOverADay)
{
    CServiceFailureActions actions;
    const SERVICE_FAILURE_ACTIONSW& record = *actions.Record();
    EXPECT_EQ(86400u, record.dwResetPeriod);
    EXPECT_EQ(nullptr, record.lpRebootMsg);
    EXPECT_EQ(nullptr, record.lpCommand);
    ASSERT_EQ(3u, record.cActions);

    // The record points into the object itself, so it lives exactly as long as the object.
    const char* begin = reinterpret_cast<const char*>(&actions);
    const char* at = reinterpret_cast<const char*>(record.lpsaActions);
    ASSERT_GE(at, begin);
    ASSERT_LE(at + 3 * sizeof(SC_ACTION), begin + sizeof(actions));

    EXPECT_EQ(SC_ACTION_RESTART, record.lpsaActions[0].Type);
    EXPECT_EQ(60000u, record.lpsaActions[0].Delay);
    EXPECT_EQ(SC_ACTION_RESTART, record.lpsaActions[1].Type);
    EXPECT_EQ(60000u, record.lpsaActions[1].Delay);
    // The last entry stands for every later failure too.
    EXPECT_EQ(SC_ACTION_NONE, record.lpsaActions[2].Type);
}

TEST(FailureActionsTest, AFailedCallIsLoggedWithItsErrorCode)
{
    ProductKeyReset reset;
    CapturedLog log(0);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), SetFailureActions(nullptr));
    EXPECT_EQ(1, log.Count(L"ChangeServiceConfig2(SERVICE_CONFIG_FAILURE_ACTIONS) failed, error code = 6"))
        << log.Text();
}

class InstalledFailureActionsTest : public ::testing::Test {
protected:
    void TearDown() override { RemoveServiceCompletely(); }

    ProductKeyReset m_reset;
};

// The failure actions of the installed service, as the service control manager gives
// them back; false with the error code when it does not.
bool QueryFailureActions(std::vector<BYTE>& buffer, DWORD& error)
{
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(
        manager ? OpenServiceW(manager.Get(), kServiceName, SERVICE_QUERY_CONFIG) : nullptr);
    if (!service) {
        error = GetLastError();
        return false;
    }
    buffer.assign(8192, 0);
    DWORD needed = 0;
    const BOOL queried = QueryServiceConfig2W(service.Get(), SERVICE_CONFIG_FAILURE_ACTIONS,
                                              buffer.data(), static_cast<DWORD>(buffer.size()), &needed);
    error = queried ? ERROR_SUCCESS : GetLastError();
    return queried != FALSE;
}

TEST_F(InstalledFailureActionsTest, BothInstallOptionsSetThemWithoutAFailure)
{
    for (const wchar_t* option : {L"-i", L"-ir"}) {
        SCOPED_TRACE(option);
        RemoveServiceCompletely();
        const size_t logStart = LogSize();
        ASSERT_EQ(0u, RunProduct(option));
        ASSERT_NE(0u, ServiceState());
        for (const std::wstring& line : LogLinesAfter(logStart))
            EXPECT_EQ(std::wstring::npos, line.find(L"SERVICE_CONFIG_FAILURE_ACTIONS")) << line;
    }
}

TEST_F(InstalledFailureActionsTest, ReadBackAsSetAfterEitherInstallOption)
{
    if (RunningUnderWine())
        GTEST_SKIP() << "Wine 8 accepts the failure actions and keeps nothing (its query "
                        "answers ERROR_INVALID_LEVEL)";
    for (const wchar_t* option : {L"-i", L"-ir"}) {
        SCOPED_TRACE(option);
        RemoveServiceCompletely();
        ASSERT_EQ(0u, RunProduct(option));
        std::vector<BYTE> buffer;
        DWORD error = 0;
        ASSERT_TRUE(QueryFailureActions(buffer, error)) << "error " << error;
        const auto* stored = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer.data());
        EXPECT_EQ(86400u, stored->dwResetPeriod);
        ASSERT_EQ(3u, stored->cActions);
        EXPECT_EQ(SC_ACTION_RESTART, stored->lpsaActions[0].Type);
        EXPECT_EQ(60000u, stored->lpsaActions[0].Delay);
        EXPECT_EQ(SC_ACTION_RESTART, stored->lpsaActions[1].Type);
        EXPECT_EQ(60000u, stored->lpsaActions[1].Delay);
        EXPECT_EQ(SC_ACTION_NONE, stored->lpsaActions[2].Type);
    }
}

}  // namespace
