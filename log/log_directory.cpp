#include "log/log_directory.h"

#include "support/account_security.h"
#include "support/file_identity.h"
#include "support/security_descriptor.h"
#include "support/unique_resource.h"

#include <aclapi.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

// Every right that changes the folder, its security or what it holds.
constexpr ACCESS_MASK kChangingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                        FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE |
                                        WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

class CTrustedSids {
public:
    explicit CTrustedSids(PSID self) : m_self(self) {}

    // The accounts that may own the folder.
    bool MayOwn(PSID sid) { return IsTrustedOwner(sid, m_self); }
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
    CSidBuffer m_creatorOwner{WinCreatorOwnerSid};
    CSidBuffer m_ownerRights{WinCreatorOwnerRightsSid};
};

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

// Renames the untrusted folder at path to MovedAsideName beside it, through a handle opened
// on the folder itself, so that a link swapped in for it is never moved, and what the
// folder holds goes with it untouched.
LogDirectoryStatus MoveAside(const std::wstring& path, std::wstring& movedTo, DWORD& error)
{
    UniqueFileHandle folder(OpenFolder(path, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE));
    if (!folder) {
        error = GetLastError();
        return LogDirectoryStatus::CannotMoveAside;
    }
    if (!IsTheFolderItself(folder.Get(), path))
        return LogDirectoryStatus::NotAFolder;

    SYSTEMTIME now;
    GetLocalTime(&now);
    const std::wstring target = MovedAsideName(path, now);
    // Without a root folder the new name is a full path of the object manager's.
    const std::wstring ntTarget = L"\\??\\" + target;
    const DWORD nameBytes = static_cast<DWORD>(ntTarget.size() * sizeof(wchar_t));
    std::vector<BYTE> buffer(offsetof(FILE_RENAME_INFO, FileName) + nameBytes + sizeof(wchar_t));
    FILE_RENAME_INFO* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = nameBytes;
    std::memcpy(rename->FileName, ntTarget.c_str(), nameBytes);
    if (!SetFileInformationByHandle(folder.Get(), FileRenameInfo, rename,
                                    static_cast<DWORD>(buffer.size()))) {
        error = GetLastError();
        return LogDirectoryStatus::CannotMoveAside;
    }
    movedTo = target;
    return LogDirectoryStatus::MovedAside;
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
           status == LogDirectoryStatus::MovedAside;
}

std::wstring MovedAsideName(const std::wstring& path, const SYSTEMTIME& localTime)
{
    wchar_t suffix[64];
    _snwprintf(suffix, 63, L".untrusted-%04d%02d%02d-%02d%02d%02d", localTime.wYear,
               localTime.wMonth, localTime.wDay, localTime.wHour, localTime.wMinute,
               localTime.wSecond);
    suffix[63] = L'\0';
    return path + suffix;
}

LogDirectoryStatus PrepareLogDirectory(const std::wstring& path, bool privileged, PSID self,
                                       UniqueFileHandle& pinned, std::wstring& movedTo,
                                       DWORD& error)
{
    error = 0;
    pinned.Reset();
    movedTo.clear();
    if (!privileged)
        return LogDirectoryStatus::NotPrivileged;

    // A folder made by someone else between the look and the creation is looked at once more,
    // like any folder that existed; a second such race gives up.
    for (int round = 0;; ++round) {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES &&
            ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(attributes & FILE_ATTRIBUTE_DIRECTORY))) {
            // Wine shows a Unix symbolic link to a folder by this attribute alone.
            return LogDirectoryStatus::NotAFolder;
        }
        if (attributes != INVALID_FILE_ATTRIBUTES && movedTo.empty()) {
            // A folder whose security cannot even be read is not trusted either.
            UniqueFileHandle folder(OpenFolder(path, READ_CONTROL | FILE_READ_ATTRIBUTES));
            if (folder && !IsTheFolderItself(folder.Get(), path))
                return LogDirectoryStatus::NotAFolder;
            if (folder && HasTrustedSecurity(folder.Get(), self)) {
                pinned = std::move(folder);
                return LogDirectoryStatus::Trusted;
            }
            folder.Reset();
            // Repairing it in place would leave what it holds to whoever made it, and a
            // handle opened on it before the repair would keep its rights: a fresh folder
            // replaces it.
            const LogDirectoryStatus moved = MoveAside(path, movedTo, error);
            if (moved != LogDirectoryStatus::MovedAside)
                return moved;
        }
        const DWORD createError = CreateDirectoryWithSddl(path, kLogDirectorySddl);
        if (createError == ERROR_SUCCESS)
            break;
        // Never moved aside twice in one start.
        if (createError != ERROR_ALREADY_EXISTS || !movedTo.empty() || round > 0) {
            error = createError;
            return LogDirectoryStatus::CannotCreate;
        }
    }

    UniqueFileHandle folder(OpenFolder(path, READ_CONTROL | FILE_READ_ATTRIBUTES));
    if (!folder) {
        error = GetLastError();
        return LogDirectoryStatus::CannotCreate;
    }
    if (!IsTheFolderItself(folder.Get(), path))
        return LogDirectoryStatus::NotAFolder;
    if (!HasTrustedSecurity(folder.Get(), self))
        return LogDirectoryStatus::CannotCreate;
    pinned = std::move(folder);
    return movedTo.empty() ? LogDirectoryStatus::Created : LogDirectoryStatus::MovedAside;
}

std::wstring LogDirectoryNotice(LogDirectoryStatus status, const std::wstring& path, DWORD error)
{
    const wchar_t* format = nullptr;
    switch (status) {
    case LogDirectoryStatus::Trusted:
    case LogDirectoryStatus::Created:
    case LogDirectoryStatus::MovedAside:
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
    case LogDirectoryStatus::CannotMoveAside:
        format = L"Varnholt Scheduling keeps no log file: %s is open to other accounts and could not be moved aside, error code = %lu\n";
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
