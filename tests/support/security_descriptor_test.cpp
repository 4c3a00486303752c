#include "support/security_descriptor.h"

#include "support/sid.h"
#include "support/unique_resource.h"
#include "tests/common/files.h"
#include "tests/common/scratch_folder.h"
#include "tests/common/security.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <cwchar>
#include <string>

namespace {

const wchar_t kUsers[] = L"S-1-5-32-545";
const wchar_t kTrustedInstaller[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
constexpr ACCESS_MASK kReadAndExecute = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;   // 0x1200a9

// A SID from its text, owned.
class CSidText {
public:
    explicit CSidText(const wchar_t* text)
    {
        PSID sid = nullptr;
        if (ConvertStringSidToSidW(text, &sid))
            m_sid.Reset(sid);
    }
    PSID Get() const { return m_sid.Get(); }

private:
    UniqueLocalMemory m_sid;
};

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
    EXPECT_NE(static_cast<DWORD>(ERROR_SUCCESS), broken.BuildFromSddl(L"D:(A;;FA;;;not-a-sid)"));
    EXPECT_FALSE(broken.IsValid());
    CSecurityAttributes absent(nullptr);
    EXPECT_EQ(nullptr, absent.Get());
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), absent.BuildFromSddl(nullptr));

    // Built again, it holds the new descriptor or nothing at all.
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), absent.BuildFromSddl(L"D:P(A;;FA;;;SY)(A;;FA;;;BA)"));
    ASSERT_TRUE(absent.IsValid());
    EXPECT_EQ(absent.Descriptor(), absent.Get()->lpSecurityDescriptor);
    EXPECT_EQ(2u, AcesOf(absent.Descriptor()).size());
    EXPECT_NE(static_cast<DWORD>(ERROR_SUCCESS), absent.BuildFromSddl(L"D:(bogus"));
    EXPECT_FALSE(absent.IsValid());
    EXPECT_EQ(nullptr, absent.Get());
}

TEST(CreateDirectoryWithSddlTest, CreatesWithItsSecurityOrNotAtAll)
{
    ScratchDirectory folder;
    EXPECT_NE(static_cast<DWORD>(ERROR_SUCCESS),
              CreateDirectoryWithSddl(folder.File(L"unsure"), L"D:(bogus"));
    EXPECT_FALSE(FileExists(folder.File(L"unsure")));

    // Wine keeps no DACL as given, but one without an entry for Everyone leaves the
    // folder closed to other Unix users, which it then reports; a folder made with the
    // parent's security reports read access for Everyone.
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              CreateDirectoryWithSddl(folder.File(L"closed"), L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"));
    const std::vector<AceEntry> aces = AcesOf(folder.File(L"closed"));
    ASSERT_FALSE(aces.empty());
    EXPECT_EQ(0u, RightsGrantedTo(aces, L"S-1-1-0"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS),
              CreateDirectoryWithSddl(folder.File(L"closed"), L"D:P(A;OICI;FA;;;SY)"));
}

// The decision for a descriptor written in SDDL.
bool Trusted(const std::wstring& sddl, PSID self = nullptr)
{
    CSecurityAttributes security(sddl.c_str());
    EXPECT_TRUE(security.IsValid()) << "not SDDL: " << testing::PrintToString(sddl);
    return security.IsValid() && IsTrustedFileSecurity(security.Descriptor(), self);
}

std::wstring AllowUsers(ACCESS_MASK rights, const wchar_t* owner = L"SY")
{
    wchar_t text[128];
    _snwprintf(text, 127, L"O:%lsD:P(A;OICI;FA;;;SY)(A;OICI;0x%08lx;;;BU)", owner, rights);
    text[127] = L'\0';
    return text;
}

TEST(TrustedFileSecurityTest, OwnerMustBeSystemAdministratorsTrustedInstallerOrSelf)
{
    const std::wstring dacl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
    EXPECT_TRUE(Trusted(L"O:SY" + dacl));
    EXPECT_TRUE(Trusted(L"O:BA" + dacl));
    EXPECT_TRUE(Trusted(std::wstring(L"O:") + kTrustedInstaller + dacl));

    const wchar_t user[] = L"S-1-5-21-1111-2222-3333-1001";
    EXPECT_FALSE(Trusted(std::wstring(L"O:") + user + dacl));
    CSidText userSid(user);
    EXPECT_TRUE(Trusted(std::wstring(L"O:") + user + dacl, userSid.Get()));
    CSidText otherSid(L"S-1-5-21-1111-2222-3333-1002");
    EXPECT_FALSE(Trusted(std::wstring(L"O:") + user + dacl, otherSid.Get()));
    for (const wchar_t* owner : {L"O:BU", L"O:WD", L"O:AU", L"O:CO", L"O:S-1-5-80-1-2-3-4-5"})
        EXPECT_FALSE(Trusted(owner + dacl)) << testing::PrintToString(std::wstring(owner));
    EXPECT_FALSE(Trusted(dacl));   // no owner at all
    EXPECT_FALSE(IsTrustedFileSecurity(nullptr, nullptr));
}

TEST(TrustedFileSecurityTest, AnyChangingRightForOthersIsUntrusted)
{
    // Users allowed to write, as an inherited DACL of the common folder would have it.
    EXPECT_FALSE(Trusted(L"O:SYD:(A;OICI;FA;;;SY)(A;OICI;0x1301bf;;;BU)"));
    const ACCESS_MASK changing[] = {FILE_ADD_FILE, FILE_ADD_SUBDIRECTORY, FILE_WRITE_EA,
                                    FILE_WRITE_ATTRIBUTES, FILE_DELETE_CHILD, DELETE, WRITE_DAC,
                                    WRITE_OWNER, GENERIC_WRITE, GENERIC_ALL, FILE_ALL_ACCESS};
    for (ACCESS_MASK right : changing) {
        EXPECT_FALSE(Trusted(AllowUsers(right))) << std::hex << right;
        EXPECT_FALSE(Trusted(AllowUsers(right | kReadAndExecute))) << std::hex << right;
    }
    const ACCESS_MASK reading[] = {kReadAndExecute, GENERIC_READ | GENERIC_EXECUTE, READ_CONTROL,
                                   FILE_TRAVERSE | SYNCHRONIZE, FILE_READ_ATTRIBUTES};
    for (ACCESS_MASK right : reading)
        EXPECT_TRUE(Trusted(AllowUsers(right))) << std::hex << right;
    // The trusted accounts themselves may hold every right.
    EXPECT_TRUE(Trusted(std::wstring(L"O:SYD:P(A;;GA;;;BA)(A;;FA;;;") + kTrustedInstaller + L")"));
}

TEST(TrustedFileSecurityTest, DenyEntriesNeitherSpoilNorSave)
{
    EXPECT_TRUE(Trusted(L"O:BAD:P(D;OICI;FA;;;BU)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"));
    EXPECT_TRUE(Trusted(L"O:BAD:P(D;;FA;;;SY)(A;;FA;;;BA)"));
    // A deny for Users does not take the right from every member of Everyone.
    EXPECT_FALSE(Trusted(L"O:BAD:P(D;OICI;FA;;;BU)(A;OICI;FA;;;WD)"));
    EXPECT_FALSE(Trusted(L"O:BAD:P(D;OICI;FA;;;BU)(A;OICI;FA;;;BU)"));
}

TEST(TrustedFileSecurityTest, InheritedAndInheritOnlyEntriesCount)
{
    EXPECT_FALSE(Trusted(L"O:BAD:(A;OICI;FA;;;SY)(A;OICIID;FA;;;BU)"));
    // Full control of every file created within, for any signed-in user.
    EXPECT_FALSE(Trusted(L"O:BAD:P(A;OICI;FA;;;SY)(A;OICIIO;FA;;;AU)"));
    // CREATOR OWNER becomes the creator of each file, who needed a trusted account to create
    // it; OWNER RIGHTS stands for the owner. CREATOR GROUP becomes the creator's primary
    // group, which may be every user of a domain.
    EXPECT_TRUE(Trusted(L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)"));
    EXPECT_TRUE(Trusted(L"O:BAD:P(A;OICI;FA;;;SY)(A;;FA;;;OW)"));
    EXPECT_FALSE(Trusted(L"O:BAD:P(A;OICI;FA;;;SY)(A;OICIIO;GA;;;CG)"));
}

// A descriptor owned by Administrators whose DACL holds one allow entry for Users, its
// type then changed to `type`.
bool TrustedWithEntryOfType(BYTE type, ACCESS_MASK rights)
{
    alignas(DWORD) BYTE aclBuffer[256];
    PACL acl = reinterpret_cast<PACL>(aclBuffer);
    CSidText users(kUsers);
    CSidText administrators(L"S-1-5-32-544");
    SECURITY_DESCRIPTOR descriptor;
    void* ace = nullptr;
    if (!InitializeAcl(acl, sizeof(aclBuffer), ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, rights, users.Get()) || !GetAce(acl, 0, &ace) ||
        !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorOwner(&descriptor, administrators.Get(), FALSE) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE)) {
        ADD_FAILURE() << "descriptor not built, error " << GetLastError();
        return false;
    }
    static_cast<ACE_HEADER*>(ace)->AceType = type;
    return IsTrustedFileSecurity(&descriptor, nullptr);
}

TEST(TrustedFileSecurityTest, NullDaclAndUnknownEntriesAreUntrusted)
{
    EXPECT_FALSE(Trusted(L"O:BA"));                      // no DACL
    EXPECT_TRUE(Trusted(L"O:BAD:P"));                    // empty: only the owner's own rights

    // A null DACL gives everyone every right. (Wine's SDDL reader turns "D:NO_ACCESS_CONTROL"
    // into an empty DACL, so the descriptor is built by hand.)
    SECURITY_DESCRIPTOR open;
    ASSERT_TRUE(InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION));
    CSidText administrators(L"S-1-5-32-544");
    ASSERT_TRUE(SetSecurityDescriptorOwner(&open, administrators.Get(), FALSE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE));
    EXPECT_FALSE(IsTrustedFileSecurity(&open, nullptr));

    // A callback entry starts like a plain allow entry and is read as one.
    EXPECT_TRUE(TrustedWithEntryOfType(ACCESS_ALLOWED_ACE_TYPE, kReadAndExecute));
    EXPECT_TRUE(TrustedWithEntryOfType(ACCESS_ALLOWED_CALLBACK_ACE_TYPE, kReadAndExecute));
    EXPECT_FALSE(TrustedWithEntryOfType(ACCESS_ALLOWED_CALLBACK_ACE_TYPE, FILE_ADD_FILE));
    // Any other kind may grant anything, even with a mask that reads as harmless.
    EXPECT_FALSE(TrustedWithEntryOfType(ACCESS_ALLOWED_OBJECT_ACE_TYPE, kReadAndExecute));
}

// What Wine reports for folders: its user as the owner, with full control, and the Unix
// mode's bits for others as Everyone's rights.
TEST(TrustedFileSecurityTest, FoldersAsWineReportsThem)
{
    const wchar_t user[] = L"S-1-5-21-0-0-0-1000";
    CSidText self(user);
    const std::wstring reported = std::wstring(L"O:") + user + L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;" + user + L")";
    EXPECT_TRUE(Trusted(reported + L"(A;OICI;0x1200a9;;;WD)", self.Get()));   // mode 755
    EXPECT_TRUE(Trusted(reported, self.Get()));                                // mode 700
    EXPECT_FALSE(Trusted(reported + L"(A;OICI;0x1200a9;;;WD)"));               // the user is not this process
    EXPECT_FALSE(Trusted(reported + L"(A;OICI;0x1301ff;;;WD)", self.Get()));   // mode 777
    // Another Unix user's folder.
    EXPECT_FALSE(Trusted(L"O:AND:(A;OICI;FA;;;SY)(A;OICI;FA;;;AN)(A;OICI;0x1200a9;;;WD)", self.Get()));
}

TEST(TrustedOwnerTest, SystemAdministratorsTrustedInstallerOrSelf)
{
    CSidText system(L"S-1-5-18");
    CSidText administrators(L"S-1-5-32-544");
    CSidText trustedInstaller(kTrustedInstaller);
    CSidText users(kUsers);
    CSidText user(L"S-1-5-21-1111-2222-3333-1001");
    EXPECT_TRUE(IsTrustedOwner(system.Get(), nullptr));
    EXPECT_TRUE(IsTrustedOwner(administrators.Get(), nullptr));
    EXPECT_TRUE(IsTrustedOwner(trustedInstaller.Get(), nullptr));
    EXPECT_FALSE(IsTrustedOwner(users.Get(), nullptr));
    EXPECT_FALSE(IsTrustedOwner(user.Get(), nullptr));
    EXPECT_TRUE(IsTrustedOwner(user.Get(), user.Get()));
    EXPECT_FALSE(IsTrustedOwner(users.Get(), user.Get()));
    EXPECT_FALSE(IsTrustedOwner(nullptr, nullptr));
    EXPECT_FALSE(IsTrustedOwner(nullptr, user.Get()));
}

TEST(SecurityDescriptorTest, ReadsAKernelObjectsOwnerOrReportsWhyNot)
{
    CSecurityAttributes security(L"O:BAD:(A;;GA;;;SY)(A;;GA;;;BA)");
    ASSERT_TRUE(security.IsValid());
    const UniqueHandle event(CreateEventW(security.Get(), /*bManualReset=*/TRUE,
                                          /*bInitialState=*/FALSE, /*lpName=*/nullptr));
    ASSERT_TRUE(event) << "error " << GetLastError();

    CSecurityDescriptor read;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              read.ReadFromHandle(event.Get(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION));
    EXPECT_TRUE(read);
    CSidText administrators(L"S-1-5-32-544");
    EXPECT_TRUE(SameSid(administrators.Get(), read.Owner()));
    EXPECT_TRUE(HasTrustedOwner(event.Get(), nullptr));

    // Read again and failing, it holds nothing.
    EXPECT_NE(static_cast<DWORD>(ERROR_SUCCESS),
              read.ReadFromHandle(nullptr, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION));
    EXPECT_FALSE(read);
    EXPECT_EQ(nullptr, read.Get());
    EXPECT_EQ(nullptr, read.Owner());
    EXPECT_FALSE(HasTrustedOwner(nullptr, nullptr));

    // Built from SDDL, its owner is the one written there.
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), read.BuildFromSddl(L"O:SYD:P"));
    CSidText system(L"S-1-5-18");
    EXPECT_TRUE(SameSid(system.Get(), read.Owner()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), read.BuildFromSddl(L"D:P"));
    EXPECT_EQ(nullptr, read.Owner());
}

}  // namespace
