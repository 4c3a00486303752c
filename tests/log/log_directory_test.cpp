#include "log/log_directory.h"

#include "support/access_token.h"
#include "support/file_identity.h"
#include "support/security_descriptor.h"
#include "support/sid.h"
#include "support/unique_resource.h"
#include "tests/common/files.h"
#include "tests/common/links.h"
#include "tests/common/scratch_folder.h"
#include "tests/common/security.h"
#include "tests/common/times.h"
#include "tests/common/unix_side.h"

#include <gtest/gtest.h>

#include <aclapi.h>

#include <utility>

namespace {

const wchar_t kEveryone[] = L"S-1-1-0";
const wchar_t kUsers[] = L"S-1-5-32-545";
constexpr ACCESS_MASK kReadAndExecute = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;   // 0x1200a9

TEST(LogDirectorySecurityTest, OwnedByAdministratorsProtectedAndReadOnlyForUsers)
{
    CSecurityAttributes security;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), security.BuildFromSddl(kLogDirectorySddl));
    ASSERT_TRUE(security.IsValid());
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(security.Descriptor(), &control, &revision));
    EXPECT_NE(0, control & SE_DACL_PROTECTED) << "the common folder's entries would be inherited";
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(security.Descriptor(), &owner, &defaulted));
    const CSid administrators(WinBuiltinAdministratorsSid);
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

// Each test prepares Varnholt in a folder of its own, as this process, which is elevated
// under Wine.
class PrepareLogDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const CAccessToken token = ProcessToken();
        ASSERT_TRUE(token.Get());
        m_privileged = token.IsElevatedOrLocalSystem();
        m_self = token.User();
        ASSERT_TRUE(m_self);
    }
    LogDirectoryStatus Prepare(bool privileged)
    {
        LogDirectoryPreparation prepared = PrepareLogDirectory(m_path, privileged, m_self.Get());
        m_pinned = std::move(prepared.Pinned);
        m_movedTo = std::move(prepared.MovedTo);
        m_error = prepared.Error;
        return prepared.Status;
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
    CSid m_self;
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

    // Pinned: while the handle is open the folder can be neither renamed nor removed, under
    // Wine as on Windows, since the pin holds a right that takes part in sharing.
    EXPECT_FALSE(MoveFileW(m_path.c_str(), (m_path + L"-elsewhere").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    EXPECT_FALSE(RemoveDirectoryW(m_path.c_str()));
    EXPECT_TRUE(FileExists(m_path));
    // A folder found trusted is pinned the same way.
    m_pinned.Reset();
    ASSERT_EQ(LogDirectoryStatus::Trusted, Prepare());
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
    // Names taken in advance no longer stop the move (see below); a handle that another
    // process holds without delete sharing does, under Wine as on Windows.
    const UniqueFileHandle held(CreateFileW(m_path.c_str(), FILE_LIST_DIRECTORY,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(held);

    EXPECT_EQ(LogDirectoryStatus::CannotMoveAside, Prepare());
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), m_error);
    EXPECT_FALSE(m_pinned);
    EXPECT_TRUE(m_movedTo.empty());
    EXPECT_TRUE(OpenToEveryone()) << "left as it was";
    EXPECT_NE(std::wstring::npos,
              LogDirectoryNotice(LogDirectoryStatus::CannotMoveAside, m_path, m_error)
                  .find(L"could not be moved aside, error code = 32"));
}

// Every name the move could take in the next minute, taken in advance by someone who may
// create folders beside the log folder: a counter after the time finds a free one.
TEST_F(PrepareLogDirectoryTest, NamesTakenInAdvanceDoNotStopTheMove)
{
    RequirePrivilege();
    CSecurityAttributes open(L"D:(A;OICI;FA;;;WD)(A;OICI;FA;;;SY)");
    ASSERT_TRUE(CreateDirectoryW(m_path.c_str(), nullptr));
    ASSERT_TRUE(SetFileSecurityW(m_path.c_str(), DACL_SECURITY_INFORMATION, open.Descriptor()));
    SYSTEMTIME now;
    GetLocalTime(&now);
    FILETIME local = {};
    ASSERT_TRUE(SystemTimeToFileTime(&now, &local));
    for (long long second = 0; second < 60; ++second) {
        SYSTEMTIME then = {};
        const FILETIME shifted = ShiftFileTime(local, second * 10000000LL);
        ASSERT_TRUE(FileTimeToSystemTime(&shifted, &then));
        ASSERT_TRUE(CreateDirectoryW(MovedAsideName(m_path, then).c_str(), nullptr));
    }

    ASSERT_EQ(LogDirectoryStatus::MovedAside, Prepare());
    EXPECT_EQ(L"-2", m_movedTo.substr(m_movedTo.size() - 2)) << testing::PrintToString(m_movedTo);
    EXPECT_FALSE(OpenToEveryone()) << "a fresh folder with the service's security";
    EXPECT_TRUE(m_pinned);
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

// A file at the path would keep the service from ever logging: it is moved aside as an
// untrusted folder is, and a fresh folder takes its place. A link's target is never touched.
TEST_F(PrepareLogDirectoryTest, FileAtThePathIsMovedAsideAndALinksTargetLeftAlone)
{
    RequirePrivilege();
    ASSERT_TRUE(WriteFileWrittenAt(m_path, FILETIME{0x5E8F0000, 0x01D00000}));
    ASSERT_EQ(LogDirectoryStatus::MovedAside, Prepare());
    EXPECT_EQ("x", ReadFileBytes(m_movedTo)) << "the file itself, moved aside";
    EXPECT_EQ(m_path + L".untrusted-", m_movedTo.substr(0, m_path.size() + 11));
    EXPECT_EQ(FileIdentityAt(m_path), FileIdentityOf(m_pinned.Get()));
    EXPECT_FALSE(OpenToEveryone());
    m_pinned.Reset();
    ASSERT_TRUE(RemoveDirectoryW(m_path.c_str()));

    if (!RunningUnderWine())
        GTEST_SKIP() << "a link to a folder is made from the Unix side, which only Wine offers";
    // Wine 8 cannot move or remove a Unix link itself: every call follows it to its target.
    // The target stays where it is, as it was, and no log is kept.
    ScratchDirectory elsewhere;
    CSecurityAttributes open(L"D:(A;OICI;FA;;;WD)(A;OICI;FA;;;SY)");
    ASSERT_TRUE(SetFileSecurityW(elsewhere.Path().c_str(), DACL_SECURITY_INFORMATION, open.Descriptor()));
    ASSERT_TRUE(WriteFileWrittenAt(elsewhere.File(L"theirs.log"), FILETIME{0x5E8F0000, 0x01D00000}));
    const std::wstring before = SecurityTextOf(elsewhere.Path());
    DirectoryLink link(m_path, elsewhere.Path());
    ASSERT_TRUE(link.Made());
    EXPECT_EQ(LogDirectoryStatus::NotAFolder, Prepare());
    EXPECT_FALSE(m_pinned);
    EXPECT_EQ(before, SecurityTextOf(elsewhere.Path()));
    EXPECT_EQ("x", ReadFileBytes(elsewhere.File(L"theirs.log")));
    EXPECT_NE(0u, GetFileAttributesW(m_path.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) << "the link stays";
}

}  // namespace
