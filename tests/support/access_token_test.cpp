#include "support/access_token.h"

#include "support/sid.h"
#include "tests/common/security.h"
#include "tests/common/unix_side.h"

#include <gtest/gtest.h>

namespace {

HANDLE OpenOwnToken(DWORD access)
{
    HANDLE token = nullptr;
    return OpenProcessToken(GetCurrentProcess(), access, &token) ? token : nullptr;
}

TEST(ElevationTest, ElevatedAdministratorOrLocalSystemOnly)
{
    const CAccessToken process(OpenOwnToken(TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY));
    ASSERT_TRUE(process.Get());
    const bool elevated = process.IsElevatedOrLocalSystem();
    if (RunningUnderWine()) {
        EXPECT_TRUE(elevated) << "Wine runs its user as an elevated administrator";
    }

    // Administrators for deny only, as in an administrator's token without elevation.
    const CAccessToken unelevated(MakeUnelevatedToken());
    ASSERT_TRUE(unelevated.Get());
    EXPECT_FALSE(unelevated.IsElevatedOrLocalSystem());

    // The other half of a split token is elevated exactly when this one is not.
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size = 0;
    if (GetTokenInformation(process.Get(), TokenLinkedToken, &linked, sizeof(linked), &size)) {
        const CAccessToken linkedToken(linked.LinkedToken);
        EXPECT_NE(elevated, linkedToken.IsElevatedOrLocalSystem());
    }

    const CAccessToken unreadable(OpenOwnToken(TOKEN_DUPLICATE));
    ASSERT_TRUE(unreadable.Get());
    EXPECT_FALSE(unreadable.IsElevatedOrLocalSystem());
    EXPECT_FALSE(unreadable.User());
}

TEST(AccessTokenTest, UserIsTheProcesssAccount)
{
    const CAccessToken process(OpenOwnToken(TOKEN_QUERY));
    ASSERT_TRUE(process.Get());
    const CSid user = process.User();
    ASSERT_TRUE(user);
    EXPECT_TRUE(IsValidSid(user.Get()));
    const CSid self = ProcessUserSid();
    EXPECT_TRUE(user.Equal(self.Get()));

    // No token, or one opened without TOKEN_QUERY, answers nothing.
    const CAccessToken none;
    EXPECT_FALSE(none.User());
    EXPECT_FALSE(none.IsElevated());
    EXPECT_FALSE(none.IsElevatedOrLocalSystem());
    const CSid administrators(WinBuiltinAdministratorsSid);
    EXPECT_FALSE(none.HasEnabledGroup(administrators.Get()));
    const CAccessToken unreadable(OpenOwnToken(TOKEN_DUPLICATE));
    ASSERT_TRUE(unreadable.Get());
    EXPECT_FALSE(unreadable.IsElevated());
    EXPECT_FALSE(unreadable.HasEnabledGroup(administrators.Get()));
    EXPECT_FALSE(process.HasEnabledGroup(nullptr));
}

TEST(AccessTokenTest, AGroupForDenyOnlyIsNotHeld)
{
    const CSid administrators(WinBuiltinAdministratorsSid);
    const CAccessToken process(OpenOwnToken(TOKEN_QUERY));
    ASSERT_TRUE(process.Get());
    if (RunningUnderWine()) {
        EXPECT_TRUE(process.IsElevated()) << "Wine runs its user as an elevated administrator";
        EXPECT_TRUE(process.HasEnabledGroup(administrators.Get()));
    }
    // The same token with Administrators for deny only.
    const CAccessToken unelevated(MakeUnelevatedToken());
    ASSERT_TRUE(unelevated.Get());
    EXPECT_FALSE(unelevated.HasEnabledGroup(administrators.Get()));
}

}  // namespace
