#include "support/sid.h"

#include "support/unique_resource.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <string>

namespace {

// The text form of a SID ("S-1-5-18"); empty for none.
std::wstring TextOf(PSID sid)
{
    LPWSTR text = nullptr;
    if (!sid || !ConvertSidToStringSidW(sid, &text))
        return std::wstring();
    const UniqueLocalMemory held(text);
    return text;
}

TEST(SidTest, WellKnownSidsAreThoseOfTheirNames)
{
    EXPECT_EQ(L"S-1-5-18", TextOf(CSid(WinLocalSystemSid).Get()));
    EXPECT_EQ(L"S-1-5-32-544", TextOf(CSid(WinBuiltinAdministratorsSid).Get()));
    EXPECT_EQ(L"S-1-5-32-545", TextOf(CSid(WinBuiltinUsersSid).Get()));
    EXPECT_EQ(L"S-1-3-0", TextOf(CSid(WinCreatorOwnerSid).Get()));
    EXPECT_EQ(L"S-1-3-4", TextOf(CSid(WinCreatorOwnerRightsSid).Get()));
    EXPECT_EQ(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
              TextOf(TrustedInstallerSid().Get()));
}

TEST(SidTest, BuiltFromSubAuthoritiesButNotPastTheLimit)
{
    const DWORD subAuthorities[SID_MAX_SUB_AUTHORITIES + 1] = {21, 1, 2, 3, 1001};
    const CSid user(SECURITY_NT_AUTHORITY, subAuthorities, 5);
    EXPECT_EQ(L"S-1-5-21-1-2-3-1001", TextOf(user.Get()));
    // (Wine's InitializeSid refuses the fifteen sub-authorities that Windows allows, so the
    // limit itself is not asserted.)
    const CSid tooLong(SECURITY_NT_AUTHORITY, subAuthorities, SID_MAX_SUB_AUTHORITIES + 1);
    EXPECT_FALSE(tooLong);
    EXPECT_EQ(nullptr, tooLong.Get());
}

TEST(SidTest, CopiesCompareEqualAndNothingEqualsNone)
{
    const CSid system(WinLocalSystemSid);
    const CSid copy = CSid::FromPSID(system.Get());
    ASSERT_TRUE(copy);
    EXPECT_NE(system.Get(), copy.Get());
    EXPECT_TRUE(copy.Equal(system.Get()));
    EXPECT_TRUE(SameSid(system.Get(), copy.Get()));
    const CSid administrators(WinBuiltinAdministratorsSid);
    EXPECT_FALSE(administrators.Equal(system.Get()));
    EXPECT_FALSE(SameSid(administrators.Get(), system.Get()));

    const CSid none;
    EXPECT_FALSE(none);
    EXPECT_EQ(nullptr, none.Get());
    EXPECT_FALSE(none.Equal(system.Get()));
    EXPECT_FALSE(system.Equal(none.Get()));
    EXPECT_FALSE(SameSid(nullptr, nullptr));
    EXPECT_FALSE(CSid::FromPSID(nullptr));
    BYTE notASid[SECURITY_MAX_SID_SIZE] = {};
    EXPECT_FALSE(CSid::FromPSID(notASid));
}

}  // namespace
