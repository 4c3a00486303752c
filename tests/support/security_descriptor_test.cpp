#include "support/security_descriptor.h"

#include "tests/common/files.h"
#include "tests/common/scratch_folder.h"
#include "tests/common/security.h"

#include <gtest/gtest.h>

namespace {

TEST(SecurityAttributesTest, HandsOnTheDescriptorOrNothing)
{
    CSecurityAttributes security(L"D:P(A;;FA;;;SY)");
    ASSERT_TRUE(security.IsValid());
    // Wine does not check nLength; Windows does.
    EXPECT_EQ(sizeof(SECURITY_ATTRIBUTES), security.Get()->nLength);
    EXPECT_EQ(security.Descriptor(), security.Get()->lpSecurityDescriptor);
    EXPECT_FALSE(security.Get()->bInheritHandle);
    EXPECT_EQ(1u, AcesOf(security.Descriptor()).size());

    CSecurityAttributes broken(L"D:(A;;FA;;;not-a-sid)");
    EXPECT_FALSE(broken.IsValid());
    EXPECT_EQ(nullptr, broken.Get());
    EXPECT_NE(0u, broken.Error());
    CSecurityAttributes absent(nullptr);
    EXPECT_EQ(nullptr, absent.Get());
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), absent.Error());
}

TEST(CreateDirectoryWithSddlTest, CreatesWithItsSecurityOrNotAtAll)
{
    ScratchDirectory folder;
    SetLastError(0);
    EXPECT_FALSE(CreateDirectoryWithSddl(folder.File(L"unsure"), L"D:(bogus"));
    EXPECT_NE(0u, GetLastError());
    EXPECT_FALSE(FileExists(folder.File(L"unsure")));

    // Wine keeps no DACL as given, but one without an entry for Everyone leaves the
    // folder closed to other Unix users, which it then reports; a folder made with the
    // parent's security reports read access for Everyone.
    ASSERT_TRUE(CreateDirectoryWithSddl(folder.File(L"closed"), L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"));
    const std::vector<AceEntry> aces = AcesOf(folder.File(L"closed"));
    ASSERT_FALSE(aces.empty());
    EXPECT_EQ(0u, RightsGrantedTo(aces, L"S-1-1-0"));
    EXPECT_FALSE(CreateDirectoryWithSddl(folder.File(L"closed"), L"D:P(A;OICI;FA;;;SY)"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
}

}  // namespace
