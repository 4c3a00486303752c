#include "log/log_directory.h"

#include "support/file_identity.h"
#include "support/security_descriptor.h"
#include "support/unique_resource.h"
#include "tests/common/files.h"
#include "tests/common/links.h"
#include "tests/common/scratch_folder.h"
#include "tests/common/security.h"
#include "tests/common/times.h"
#include "tests/common/unix_side.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <cwchar>

namespace {

const wchar_t kEveryone[] = L"S-1-1-0";
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

// The decision for a descriptor written in SDDL.
bool Trusted(const std::wstring& sddl, PSID self = nullptr)
{
    CSecurityAttributes security(sddl.c_str());
    EXPECT_TRUE(security.IsValid()) << "not SDDL: " << testing::PrintToString(sddl);
    return security.IsValid() && IsTrustedLogDirectorySecurity(security.Descriptor(), self);
}

std::wstring AllowUsers(ACCESS_MASK rights, const wchar_t* owner = L"SY")
{
    wchar_t text[128];
    _snwprintf(text, 127, L"O:%lsD:P(A;OICI;FA;;;SY)(A;OICI;0x%08lx;;;BU)", owner, rights);
    text[127] = L'\0';
    return text;
}

TEST(LogDirectorySecurityTest, OwnedByAdministratorsProtectedAndReadOnlyForUsers)
{
    CSecurityAttributes security(kLogDirectorySddl);
    ASSERT_TRUE(security.IsValid()) << "error " << security.Error();
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(security.Descriptor(), &control, &revision));
    EXPECT_NE(0, control & SE_DACL_PROTECTED) << "the common folder's entries would be inherited";
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(security.Descriptor(), &owner, &defaulted));
    CSidText administrators(L"S-1-5-32-544");
    ASSERT_TRUE(owner && EqualSid(owner, administrators.Get()));

    const BYTE inherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    const AceEntry expected[] = {
        {ACCESS_ALLOWED_ACE_TYPE, inherited, FILE_ALL_ACCESS, L"S-1-5-18"},       // SYSTEM
        {ACCESS_ALLOWED_ACE_TYPE, inherited, FILE_ALL_ACCESS, L"S-1-5-32-544"},   // Administrators
        {ACCESS_ALLOWED_ACE_TYPE, inherited, kReadAndExecute, kUsers},
    };
    const std::vector<AceEntry> aces = AcesOf(security.Descriptor());
    ASSERT_EQ(3u, aces.size());
    for (size_t i = 0; i < aces.size(); ++i) {
        EXPECT_EQ(expected[i].Type, aces[i].Type) << i;
        EXPECT_EQ(expected[i].Flags, aces[i].Flags) << i;
        EXPECT_EQ(expected[i].Mask, aces[i].Mask) << i;
        EXPECT_EQ(expected[i].Sid, aces[i].Sid) << i;
    }
    EXPECT_TRUE(IsTrustedLogDirectorySecurity(security.Descriptor(), nullptr));
}

TEST(LogDirectoryTrustTest, OwnerMustBeSystemAdministratorsTrustedInstallerOrSelf)
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
    EXPECT_FALSE(IsTrustedLogDirectorySecurity(nullptr, nullptr));
}

TEST(LogDirectoryTrustTest, AnyChangingRightForOthersIsUntrusted)
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

TEST(LogDirectoryTrustTest, DenyEntriesNeitherSpoilNorSave)
{
    EXPECT_TRUE(Trusted(L"O:BAD:P(D;OICI;FA;;;BU)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"));
    EXPECT_TRUE(Trusted(L"O:BAD:P(D;;FA;;;SY)(A;;FA;;;BA)"));
    // A deny for Users does not take the right from every member of Everyone.
    EXPECT_FALSE(Trusted(L"O:BAD:P(D;OICI;FA;;;BU)(A;OICI;FA;;;WD)"));
    EXPECT_FALSE(Trusted(L"O:BAD:P(D;OICI;FA;;;BU)(A;OICI;FA;;;BU)"));
}

TEST(LogDirectoryTrustTest, InheritedAndInheritOnlyEntriesCount)
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
    return IsTrustedLogDirectorySecurity(&descriptor, nullptr);
}

TEST(LogDirectoryTrustTest, NullDaclAndUnknownEntriesAreUntrusted)
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
    EXPECT_FALSE(IsTrustedLogDirectorySecurity(&open, nullptr));

    // A callback entry starts like a plain allow entry and is read as one.
    EXPECT_TRUE(TrustedWithEntryOfType(ACCESS_ALLOWED_ACE_TYPE, kReadAndExecute));
    EXPECT_TRUE(TrustedWithEntryOfType(ACCESS_ALLOWED_CALLBACK_ACE_TYPE, kReadAndExecute));
    EXPECT_FALSE(TrustedWithEntryOfType(ACCESS_ALLOWED_CALLBACK_ACE_TYPE, FILE_ADD_FILE));
    // Any other kind may grant anything, even with a mask that reads as harmless.
    EXPECT_FALSE(TrustedWithEntryOfType(ACCESS_ALLOWED_OBJECT_ACE_TYPE, kReadAndExecute));
}

// What Wine reports for folders: its user as the owner, with full control, and the Unix
// mode's bits for others as Everyone's rights.
TEST(LogDirectoryTrustTest, FoldersAsWineReportsThem)
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

UniqueHandle OpenOwnToken(DWORD access)
{
    HANDLE token = nullptr;
    return UniqueHandle(OpenProcessToken(GetCurrentProcess(), access, &token) ? token : nullptr);
}

TEST(ElevationTest, ElevatedAdministratorOrLocalSystemOnly)
{
    UniqueHandle process(OpenOwnToken(TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY));
    ASSERT_TRUE(process);
    const bool elevated = IsElevatedOrLocalSystem(process.Get());
    if (RunningUnderWine()) {
        EXPECT_TRUE(elevated) << "Wine runs its user as an elevated administrator";
    }

    // Administrators for deny only, as in an administrator's token without elevation.
    UniqueHandle unelevated(MakeUnelevatedToken());
    ASSERT_TRUE(unelevated);
    EXPECT_FALSE(IsElevatedOrLocalSystem(unelevated.Get()));

    // The other half of a split token is elevated exactly when this one is not.
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size = 0;
    if (GetTokenInformation(process.Get(), TokenLinkedToken, &linked, sizeof(linked), &size)) {
        UniqueHandle linkedToken(linked.LinkedToken);
        EXPECT_NE(elevated, IsElevatedOrLocalSystem(linkedToken.Get()));
    }

    UniqueHandle unreadable(OpenOwnToken(TOKEN_DUPLICATE));
    ASSERT_TRUE(unreadable);
    EXPECT_FALSE(IsElevatedOrLocalSystem(unreadable.Get()));
    EXPECT_TRUE(TokenUserSid(unreadable.Get()).empty());
}

// Each test prepares Varnholt in a folder of its own, as this process, which is elevated
// under Wine.
class PrepareLogDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        UniqueHandle token(OpenOwnToken(TOKEN_QUERY));
        ASSERT_TRUE(token);
        m_privileged = IsElevatedOrLocalSystem(token.Get());
        m_self = TokenUserSid(token.Get());
        ASSERT_FALSE(m_self.empty());
    }
    LogDirectoryStatus Prepare(bool privileged)
    {
        m_error = ~0u;
        return PrepareLogDirectory(m_path, privileged, m_self.data(), m_pinned, m_movedTo, m_error);
    }
    LogDirectoryStatus Prepare() { return Prepare(m_privileged); }
    bool OpenToEveryone() const
    {
        return (RightsGrantedTo(AcesOf(m_path), kEveryone) & (FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY)) != 0;
    }
    void RequirePrivilege()
    {
        if (!m_privileged)
            GTEST_SKIP() << "needs an elevated run, as under Wine";
    }

    ScratchDirectory m_parent;
    const std::wstring m_path = m_parent.File(L"Varnholt");
    bool m_privileged = false;
    std::vector<BYTE> m_self;
    UniqueFileHandle m_pinned;
    std::wstring m_movedTo;
    DWORD m_error = 0;
};

TEST_F(PrepareLogDirectoryTest, WithoutPrivilegeNothingIsCreatedOrChanged)
{
    EXPECT_EQ(LogDirectoryStatus::NotPrivileged, Prepare(false));
    EXPECT_FALSE(FileExists(m_path));

    CSecurityAttributes open(L"D:(A;OICI;FA;;;WD)(A;OICI;FA;;;SY)");
    ASSERT_TRUE(CreateDirectoryW(m_path.c_str(), nullptr));
    ASSERT_TRUE(SetFileSecurityW(m_path.c_str(), DACL_SECURITY_INFORMATION, open.Descriptor()));
    const std::wstring before = SecurityTextOf(m_path);
    EXPECT_EQ(LogDirectoryStatus::NotPrivileged, Prepare(false));
    EXPECT_EQ(before, SecurityTextOf(m_path));
}

TEST_F(PrepareLogDirectoryTest, CreatesAMissingFolderThatIsThenTrusted)
{
    RequirePrivilege();
    EXPECT_EQ(LogDirectoryStatus::Created, Prepare());
    EXPECT_EQ(0u, m_error);
    ASSERT_TRUE(FileExists(m_path));
    EXPECT_FALSE(OpenToEveryone());
    EXPECT_TRUE(m_pinned);
    // Started again, the process finds it as it left it: nothing is moved every time.
    m_pinned.Reset();
    EXPECT_EQ(LogDirectoryStatus::Trusted, Prepare());
    EXPECT_TRUE(m_movedTo.empty());
}

TEST_F(PrepareLogDirectoryTest, UntrustedFolderIsMovedAsideWithWhatItHoldsAndReplaced)
{
    RequirePrivilege();
    CSecurityAttributes open(L"D:(A;OICI;FA;;;WD)(A;OICI;FA;;;SY)");
    ASSERT_TRUE(CreateDirectoryW(m_path.c_str(), nullptr));
    ASSERT_TRUE(SetFileSecurityW(m_path.c_str(), DACL_SECURITY_INFORMATION, open.Descriptor()));
    ASSERT_TRUE(OpenToEveryone());
    const FILETIME old = {0x5E8F0000, 0x01D00000};
    ASSERT_TRUE(WriteFileWrittenAt(m_path + L"\\Scheduler-20000101.log", old));

    ASSERT_EQ(LogDirectoryStatus::MovedAside, Prepare());
    EXPECT_EQ(0u, m_error);
    ASSERT_EQ(m_path.size() + 26, m_movedTo.size()) << testing::PrintToString(m_movedTo);
    EXPECT_EQ(m_path + L".untrusted-", m_movedTo.substr(0, m_path.size() + 11));
    EXPECT_TRUE(FileExists(m_movedTo + L"\\Scheduler-20000101.log")) << "the old files stay to be read";
    EXPECT_FALSE(FileExists(m_path + L"\\Scheduler-20000101.log"));
    EXPECT_FALSE(OpenToEveryone()) << "a fresh folder with the service's security";
    EXPECT_EQ(FileIdentityAt(m_path), FileIdentityOf(m_pinned.Get()));

    if (RunningUnderWine())
        return;   // Wine renames a folder that a handle holds without delete sharing
    // Pinned: while the handle is open the folder can be neither renamed nor removed.
    EXPECT_FALSE(MoveFileW(m_path.c_str(), (m_path + L"-elsewhere").c_str()));
    EXPECT_FALSE(RemoveDirectoryW(m_path.c_str()));
    EXPECT_TRUE(FileExists(m_path));
}

TEST_F(PrepareLogDirectoryTest, UntrustedFolderThatCannotBeMovedKeepsNoLog)
{
    RequirePrivilege();
    CSecurityAttributes open(L"D:(A;OICI;FA;;;WD)(A;OICI;FA;;;SY)");
    ASSERT_TRUE(CreateDirectoryW(m_path.c_str(), nullptr));
    ASSERT_TRUE(SetFileSecurityW(m_path.c_str(), DACL_SECURITY_INFORMATION, open.Descriptor()));
    // Every name the move could take in the next seconds is taken already (on Windows, a
    // handle held without delete sharing does the same; Wine ignores that for a folder).
    SYSTEMTIME now;
    GetLocalTime(&now);
    FILETIME local = {};
    ASSERT_TRUE(SystemTimeToFileTime(&now, &local));
    for (long long second = 0; second < 20; ++second) {
        SYSTEMTIME then = {};
        const FILETIME shifted = ShiftFileTime(local, second * 10000000LL);
        ASSERT_TRUE(FileTimeToSystemTime(&shifted, &then));
        CreateDirectoryW(MovedAsideName(m_path, then).c_str(), nullptr);
    }

    EXPECT_EQ(LogDirectoryStatus::CannotMoveAside, Prepare());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), m_error);
    EXPECT_FALSE(m_pinned);
    EXPECT_TRUE(m_movedTo.empty());
    EXPECT_TRUE(OpenToEveryone()) << "left as it was";
    EXPECT_NE(std::wstring::npos,
              LogDirectoryNotice(LogDirectoryStatus::CannotMoveAside, m_path, m_error)
                  .find(L"could not be moved aside, error code = 183"));
}

TEST(MovedAsideNameTest, StandsBesideTheFolderWithTheLocalTime)
{
    SYSTEMTIME t = {};
    t.wYear = 2026;
    t.wMonth = 3;
    t.wDay = 7;
    t.wHour = 9;
    t.wMinute = 5;
    t.wSecond = 1;
    EXPECT_EQ(L"C:\\ProgramData\\Varnholt.untrusted-20260307-090501",
              MovedAsideName(L"C:\\ProgramData\\Varnholt", t));
}

TEST_F(PrepareLogDirectoryTest, LinkOrFileAtThePathIsRefusedAndLeftAlone)
{
    RequirePrivilege();
    ASSERT_TRUE(WriteFileWrittenAt(m_path, FILETIME{0x5E8F0000, 0x01D00000}));
    EXPECT_EQ(LogDirectoryStatus::NotAFolder, Prepare());
    ASSERT_TRUE(DeleteFileW(m_path.c_str()));

    if (!RunningUnderWine())
        GTEST_SKIP() << "the file was refused; a link to a folder is made from the Unix side, "
                        "which only Wine offers";
    ScratchDirectory elsewhere;
    CSecurityAttributes open(L"D:(A;OICI;FA;;;WD)(A;OICI;FA;;;SY)");
    ASSERT_TRUE(SetFileSecurityW(elsewhere.Path().c_str(), DACL_SECURITY_INFORMATION, open.Descriptor()));
    const std::wstring before = SecurityTextOf(elsewhere.Path());
    DirectoryLink link(m_path, elsewhere.Path());
    ASSERT_TRUE(link.Made());
    EXPECT_EQ(LogDirectoryStatus::NotAFolder, Prepare());
    EXPECT_EQ(before, SecurityTextOf(elsewhere.Path()));
}

}  // namespace
