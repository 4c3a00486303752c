// The log folder as the installed service, running as LocalSystem, creates it.
#include "log/log_directory.h"
#include "service/service_control.h"
#include "support/security_descriptor.h"
#include "tests/common/files.h"
#include "tests/common/processes.h"
#include "tests/common/product_log.h"
#include "tests/common/registry.h"
#include "tests/common/scratch_folder.h"
#include "tests/common/security.h"
#include "tests/common/service_manager.h"
#include "tests/common/unix_side.h"
#include "tests/common/wait_until.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

namespace {

class ServiceLogFolderTest : public ::testing::Test {
protected:
    void TearDown() override { RemoveServiceCompletely(); }

    ProductKeyReset m_reset;
};

TEST_F(ServiceLogFolderTest, LocalSystemStartCreatesItOwnedByTheSystemWithAProtectedDacl)
{
    if (RunningUnderWine())
        GTEST_SKIP() << "Wine keeps neither the owner nor the DACL a folder is created with, "
                        "and runs its services as its one user";
    RemoveServiceCompletely();
    ASSERT_EQ(0u, RunProduct(L"-i"));   // demand start; this elevated run makes the folder
    ASSERT_NE(0u, ServiceState());
    RemoveTree(ProductLogDirectory());
    ASSERT_FALSE(FileExists(ProductLogDirectory()));

    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), StartTheService());
    ASSERT_TRUE(WaitUntil([] { return FileExists(TodaysProductLog()); }, 30000));

    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              GetNamedSecurityInfoW(ProductLogDirectory().c_str(), SE_FILE_OBJECT,
                                    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                    /*ppsidGroup=*/nullptr, &dacl, /*ppSacl=*/nullptr, &descriptor));
    UniqueLocalMemory held(descriptor);
    LPWSTR ownerText = nullptr;
    ASSERT_TRUE(owner && ConvertSidToStringSidW(owner, &ownerText));
    UniqueLocalMemory heldText(ownerText);
    const std::wstring ownerSid = ownerText;
    EXPECT_TRUE(ownerSid == L"S-1-5-18" || ownerSid == L"S-1-5-32-544") << testing::PrintToString(ownerSid);

    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_NE(0, control & SE_DACL_PROTECTED) << "the common folder's entries are inherited";

    // Exactly the entries the service gives the folder, in their order.
    CSecurityAttributes expected(kLogDirectorySddl);
    ASSERT_TRUE(expected.IsValid());
    const std::vector<AceEntry> wanted = AcesOf(expected.Descriptor());
    const std::vector<AceEntry> found = AcesOf(descriptor);
    ASSERT_EQ(wanted.size(), found.size()) << testing::PrintToString(SecurityTextOf(ProductLogDirectory()));
    for (size_t i = 0; i < found.size(); ++i) {
        EXPECT_EQ(wanted[i].Type, found[i].Type) << i;
        EXPECT_EQ(wanted[i].Flags, found[i].Flags) << i;
        EXPECT_EQ(wanted[i].Mask, found[i].Mask) << i;
        EXPECT_EQ(wanted[i].Sid, found[i].Sid) << i;
    }
    EXPECT_TRUE(IsTrustedLogDirectorySecurity(descriptor, nullptr));
}

}  // namespace
