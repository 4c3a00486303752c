#include "log/log_directory.h"

#include "support/file_identity.h"
#include "support/security_descriptor.h"
#include "support/unique_resource.h"

#include <aclapi.h>

#include <cstddef>
#include <cstdio>

namespace {

// Every right that changes the folder, its security or what it holds.
constexpr ACCESS_MASK kChangingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                        FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE |
                                        WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// NT SERVICE\TrustedInstaller, which owns the system's own files:
// S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464.
constexpr DWORD kTrustedInstallerSubAuthorities[] = {80u, 956008885u, 3418522649u, 1831038044u,
                                                     1853292631u, 2271478464u};

// A SID in a buffer of its own; Get() is null when it could not be built.
class CSidBuffer {
public:
    explicit CSidBuffer(WELL_KNOWN_SID_TYPE type)
    {
        DWORD size = sizeof(m_bytes);
        m_valid = CreateWellKnownSid(type, /*DomainSid=*/nullptr, m_bytes, &size) != FALSE;
    }
    template <std::size_t N>
    CSidBuffer(SID_IDENTIFIER_AUTHORITY authority, const DWORD (&subAuthorities)[N])
    {
        static_assert(N <= SID_MAX_SUB_AUTHORITIES, "too many sub-authorities");
        m_valid = InitializeSid(m_bytes, &authority, static_cast<BYTE>(N)) != FALSE;
        for (std::size_t i = 0; m_valid && i < N; ++i)
            *GetSidSubAuthority(m_bytes, static_cast<DWORD>(i)) = subAuthorities[i];
    }
    PSID Get() { return m_valid ? static_cast<PSID>(m_bytes) : nullptr; }

private:
    alignas(DWORD) BYTE m_bytes[SECURITY_MAX_SID_SIZE] = {};
    bool m_valid = false;
};

bool SameSid(PSID a, PSID b) { return a && b && EqualSid(a, b); }

class CTrustedSids {
public:
    explicit CTrustedSids(PSID self) : m_self(self) {}

    // The accounts that may own the folder.
    bool MayOwn(PSID sid)
    {
        return SameSid(sid, m_system.Get()) || SameSid(sid, m_administrators.Get()) ||
               SameSid(sid, m_trustedInstaller.Get()) || SameSid(sid, m_self);
    }
    // The trustees an entry may give changing rights to. CREATOR OWNER in an inherited
    // entry becomes the creator of the file or folder within, who could create it only
    // with a trusted account; OWNER RIGHTS stands for the owner. CREATOR GROUP is not
    // among them: it becomes the creator's primary group, which may be any users.
    bool MayChange(PSID sid)
    {
        return MayOwn(sid) || SameSid(sid, m_creatorOwner.Get()) ||
               SameSid(sid, m_ownerRights.Get());
    }

private:
    PSID m_self;
    CSidBuffer m_system{WinLocalSystemSid};
    CSidBuffer m_administrators{WinBuiltinAdministratorsSid};
    CSidBuffer m_creatorOwner{WinCreatorOwnerSid};
    CSidBuffer m_ownerRights{WinCreatorOwnerRightsSid};
    CSidBuffer m_trustedInstaller{SECURITY_NT_AUTHORITY, kTrustedInstallerSubAuthorities};
};

// A token's information of one class, in a buffer of the size it needs; empty on failure.
std::vector<BYTE> TokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind)
{
    DWORD size = 0;
    GetTokenInformation(token, kind, /*TokenInformation=*/nullptr, 0, &size);
    if (size == 0)
        return std::vector<BYTE>();
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(token, kind, buffer.data(), size, &size))
        return std::vector<BYTE>();
    return buffer;
}

bool HoldsEnabledGroup(HANDLE token, PSID group)
{
    const std::vector<BYTE> buffer = TokenInformation(token, TokenGroups);
    if (buffer.empty() || !group)
        return false;
    const TOKEN_GROUPS* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        const DWORD attributes = groups->Groups[i].Attributes;
        if (SameSid(groups->Groups[i].Sid, group) && (attributes & SE_GROUP_ENABLED) &&
            !(attributes & SE_GROUP_USE_FOR_DENY_ONLY))
            return true;
    }
    return false;
}

// Enables the named privileges that the process token holds, for the life of the object,
// and puts back the state of those it changed.
class CEnabledPrivileges {
public:
    CEnabledPrivileges(const wchar_t* first, const wchar_t* second)
    {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
            return;
        m_token.Reset(token);
        const wchar_t* names[] = {first, second};
        const DWORD count = 2;
        const DWORD size = static_cast<DWORD>(offsetof(TOKEN_PRIVILEGES, Privileges) +
                                              count * sizeof(LUID_AND_ATTRIBUTES));
        std::vector<BYTE> wanted(size);
        TOKEN_PRIVILEGES* privileges = reinterpret_cast<TOKEN_PRIVILEGES*>(wanted.data());
        for (const wchar_t* name : names) {
            LUID luid = {};
            if (!LookupPrivilegeValueW(/*lpSystemName=*/nullptr, name, &luid))
                continue;
            privileges->Privileges[privileges->PrivilegeCount].Luid = luid;
            privileges->Privileges[privileges->PrivilegeCount].Attributes = SE_PRIVILEGE_ENABLED;
            ++privileges->PrivilegeCount;
        }
        // A token that lacks one of them enables the others and reports ERROR_NOT_ALL_ASSIGNED;
        // the repair then fails, or not, on its own.
        m_previous.assign(size, 0);
        DWORD previousSize = 0;
        if (!AdjustTokenPrivileges(m_token.Get(), /*DisableAllPrivileges=*/FALSE, privileges, size,
                                   reinterpret_cast<TOKEN_PRIVILEGES*>(m_previous.data()),
                                   &previousSize))
            m_previous.clear();
    }
    ~CEnabledPrivileges()
    {
        if (!m_previous.empty())
            AdjustTokenPrivileges(m_token.Get(), /*DisableAllPrivileges=*/FALSE,
                                  reinterpret_cast<TOKEN_PRIVILEGES*>(m_previous.data()), 0,
                                  /*PreviousState=*/nullptr, /*ReturnLength=*/nullptr);
    }
    CEnabledPrivileges(const CEnabledPrivileges&) = delete;
    CEnabledPrivileges& operator=(const CEnabledPrivileges&) = delete;

private:
    UniqueHandle m_token;
    std::vector<BYTE> m_previous;
};

// Opens the folder itself, never what a link or junction at path leads to. Nobody may
// rename or delete it while the handle is open.
UniqueFileHandle OpenFolder(const std::wstring& path, DWORD access)
{
    return UniqueFileHandle(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                        /*hTemplateFile=*/nullptr));
}

bool IsTheFolderItself(HANDLE folder, const std::wstring& path)
{
    return IsPlainDirectory(folder) && IsReachedDirectly(folder, path);
}

// Whether the security of the open folder (with READ_CONTROL) is trusted.
bool HasTrustedSecurity(HANDLE folder, PSID self)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        /*ppsidOwner=*/nullptr, /*ppsidGroup=*/nullptr, /*ppDacl=*/nullptr,
                        /*ppSacl=*/nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    UniqueLocalMemory owner(descriptor);
    return IsTrustedLogDirectorySecurity(descriptor, self);
}

LogDirectoryStatus RepairLogDirectory(const std::wstring& path, PSID self, DWORD& error)
{
    CSecurityAttributes wanted(kLogDirectorySddl);
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    if (!wanted.IsValid() ||
        !GetSecurityDescriptorOwner(wanted.Descriptor(), &owner, &defaulted) ||
        !GetSecurityDescriptorDacl(wanted.Descriptor(), &present, &dacl, &defaulted)) {
        error = wanted.IsValid() ? GetLastError() : wanted.Error();
        return LogDirectoryStatus::CannotRepair;
    }

    // Taking ownership needs the first privilege; naming Administrators as the owner, and
    // writing the DACL of a folder whose DACL shuts administrators out, the second.
    CEnabledPrivileges privileges(SE_TAKE_OWNERSHIP_NAME, SE_RESTORE_NAME);
    UniqueFileHandle folder(OpenFolder(path, READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES));
    if (!folder) {
        error = GetLastError();
        return LogDirectoryStatus::CannotRepair;
    }
    if (!IsTheFolderItself(folder.Get(), path))
        return LogDirectoryStatus::NotAFolder;
    const DWORD status = SetSecurityInfo(
        folder.Get(), SE_FILE_OBJECT,
        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
        owner, /*psidGroup=*/nullptr, dacl, /*pSacl=*/nullptr);
    if (status != ERROR_SUCCESS) {
        error = status;
        return LogDirectoryStatus::CannotRepair;
    }
    // What the file system kept is what counts. Wine keeps no owner, for one: a folder of
    // another Unix user stays that user's.
    if (!HasTrustedSecurity(folder.Get(), self))
        return LogDirectoryStatus::CannotRepair;
    return LogDirectoryStatus::Repaired;
}

}  // namespace

bool IsElevatedOrLocalSystem(HANDLE token)
{
    std::vector<BYTE> user = TokenUserSid(token);
    if (user.empty())
        return false;
    CSidBuffer system(WinLocalSystemSid);
    if (SameSid(user.data(), system.Get()))
        return true;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size) ||
        !elevation.TokenIsElevated)
        return false;
    CSidBuffer administrators(WinBuiltinAdministratorsSid);
    return HoldsEnabledGroup(token, administrators.Get());
}

std::vector<BYTE> TokenUserSid(HANDLE token)
{
    const std::vector<BYTE> buffer = TokenInformation(token, TokenUser);
    if (buffer.empty())
        return std::vector<BYTE>();
    PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
    if (!sid || !IsValidSid(sid))
        return std::vector<BYTE>();
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    return std::vector<BYTE>(bytes, bytes + GetLengthSid(sid));
}

bool IsTrustedLogDirectorySecurity(PSECURITY_DESCRIPTOR descriptor, PSID self)
{
    if (!descriptor || !IsValidSecurityDescriptor(descriptor))
        return false;
    CTrustedSids trusted(self);
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || !trusted.MayOwn(owner))
        return false;
    BOOL present = FALSE;
    PACL dacl = nullptr;
    // Without a DACL, or with a null one, everyone has every right.
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || !dacl)
        return false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace))
            return false;
        switch (static_cast<const ACE_HEADER*>(ace)->AceType) {
        case ACCESS_DENIED_ACE_TYPE:
        case ACCESS_DENIED_OBJECT_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
            // A deny may hide an allow that follows it from some members of a group but not
            // from others; the allow alone decides.
            continue;
        case ACCESS_ALLOWED_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
            // Both begin with the header, the mask and the SID.
            ACCESS_ALLOWED_ACE* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
            if ((allowed->Mask & kChangingRights) != 0 && !trusted.MayChange(&allowed->SidStart))
                return false;
            continue;
        }
        default:
            return false;
        }
    }
    return true;
}

bool IsUsable(LogDirectoryStatus status)
{
    return status == LogDirectoryStatus::Trusted || status == LogDirectoryStatus::Created ||
           status == LogDirectoryStatus::Repaired;
}

LogDirectoryStatus PrepareLogDirectory(const std::wstring& path, bool privileged, PSID self,
                                       DWORD& error)
{
    error = 0;
    if (!privileged)
        return LogDirectoryStatus::NotPrivileged;

    bool created = false;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (CreateDirectoryWithSddl(path, kLogDirectorySddl)) {
            created = true;
        } else {
            const DWORD createError = GetLastError();
            // Made by someone else in the meantime: checked like any folder that existed.
            if (createError != ERROR_ALREADY_EXISTS) {
                error = createError;
                return LogDirectoryStatus::CannotCreate;
            }
        }
    } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        // Wine shows a Unix symbolic link to a folder by this attribute alone.
        return LogDirectoryStatus::NotAFolder;
    }

    // A folder whose security cannot even be read is not trusted either: the repair then
    // opens it with the privileges.
    UniqueFileHandle folder(OpenFolder(path, READ_CONTROL | FILE_READ_ATTRIBUTES));
    if (folder) {
        if (!IsTheFolderItself(folder.Get(), path))
            return LogDirectoryStatus::NotAFolder;
        if (HasTrustedSecurity(folder.Get(), self))
            return created ? LogDirectoryStatus::Created : LogDirectoryStatus::Trusted;
        folder.Reset();
    }
    return RepairLogDirectory(path, self, error);
}

std::wstring LogDirectoryNotice(LogDirectoryStatus status, const std::wstring& path, DWORD error)
{
    const wchar_t* format = nullptr;
    switch (status) {
    case LogDirectoryStatus::Trusted:
    case LogDirectoryStatus::Created:
    case LogDirectoryStatus::Repaired:
        return std::wstring();
    case LogDirectoryStatus::NotPrivileged:
        format = L"Varnholt Scheduling keeps no log file: the process is neither LocalSystem nor elevated (%s)\n";
        break;
    case LogDirectoryStatus::NotAFolder:
        format = L"Varnholt Scheduling keeps no log file: %s is a link or no folder\n";
        break;
    case LogDirectoryStatus::CannotCreate:
        format = L"Varnholt Scheduling keeps no log file: %s could not be created, error code = %lu\n";
        break;
    case LogDirectoryStatus::CannotRepair:
        format = L"Varnholt Scheduling keeps no log file: %s is open to other accounts and its security could not be repaired, error code = %lu\n";
        break;
    }
    wchar_t text[1024];
    // One call for every format: those without the error code leave it unread, as the
    // standard allows for arguments beyond a format's.
    // cppcheck-suppress wrongPrintfScanfArgNum
    _snwprintf(text, 1023, format, path.c_str(), error);
    text[1023] = L'\0';
    return text;
}
