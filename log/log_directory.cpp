#include "log/log_directory.h"

#include "support/file_identity.h"
#include "support/security_descriptor.h"
#include "support/unique_resource.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

// How many names MovedAsideName offers for one second before a move aside gives up.
constexpr unsigned kMostMovedAsideNames = 1000;

// Opens the folder itself, never what a link or junction at path leads to.
UniqueFileHandle OpenFolder(const std::wstring& path, DWORD access)
{
    return UniqueFileHandle(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                        /*hTemplateFile=*/nullptr));
}

// The pin: the sharing of an open handle binds others only when the handle holds a right
// that takes part in sharing (to read, write or execute data, or to delete). A handle with
// read control and attributes alone forbids nobody's rename or removal, on Windows as under
// Wine; FILE_LIST_DIRECTORY takes part, so without FILE_SHARE_DELETE nobody may rename or
// remove the folder while the handle is open.
constexpr DWORD kPinAccess = READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY;

bool IsTheFolderItself(HANDLE folder, const std::wstring& path)
{
    return IsPlainDirectory(folder) && IsReachedDirectly(folder, path);
}

// Whether the security of the open folder (with READ_CONTROL) is trusted.
bool HasTrustedSecurity(HANDLE folder, PSID self)
{
    CSecurityDescriptor security;
    return security.ReadFromHandle(folder, SE_FILE_OBJECT,
                                   OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION) ==
               ERROR_SUCCESS &&
           IsTrustedLogDirectorySecurity(security.Get(), self);
}

// Renames what was opened as entry to target; ERROR_SUCCESS or the system's code.
DWORD RenameOpened(HANDLE entry, const std::wstring& target)
{
    // Without a root folder the new name is a full path of the object manager's.
    const std::wstring ntTarget = L"\\??\\" + target;
    const DWORD nameBytes = static_cast<DWORD>(ntTarget.size() * sizeof(wchar_t));
    std::vector<BYTE> buffer(offsetof(FILE_RENAME_INFO, FileName) + nameBytes + sizeof(wchar_t));
    FILE_RENAME_INFO* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = nameBytes;
    std::memcpy(rename->FileName, ntTarget.c_str(), nameBytes);
    if (!SetFileInformationByHandle(entry, FileRenameInfo, rename, static_cast<DWORD>(buffer.size())))
        return GetLastError();
    return ERROR_SUCCESS;
}

// Renames whatever stands at path (an untrusted folder, a file, a junction or another
// link) to the first free MovedAsideName beside it, so that names planted in advance cannot
// block the move. A folder goes with what it holds, untouched. The entry is opened without
// following a link, and renamed through that handle: on Windows a link or junction is then
// itself moved, never its target. Wine 8 follows a Unix symbolic link whatever the flags
// say, and so does every call that could move or remove it (a rename by name or through a
// handle moves the target, RemoveDirectoryW removes it): a handle that does not name the
// entry at path itself moves nothing, and gives NotAFolder.
// MovedAside with the new name in MovedTo, or why not (Error: the system's code for
// CannotMoveAside).
LogDirectoryPreparation MoveAside(const std::wstring& path)
{
    LogDirectoryPreparation moved;
    UniqueFileHandle entry(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                       /*hTemplateFile=*/nullptr));
    if (!entry) {
        moved.Error = GetLastError();
        moved.Status = LogDirectoryStatus::CannotMoveAside;
        return moved;
    }
    if (!IsReachedDirectly(entry.Get(), path)) {
        moved.Status = LogDirectoryStatus::NotAFolder;
        return moved;
    }

    SYSTEMTIME now;
    GetLocalTime(&now);
    DWORD failure = ERROR_SUCCESS;
    for (unsigned number = 1; number <= kMostMovedAsideNames; ++number) {
        const std::wstring target = MovedAsideName(path, now, number);
        failure = RenameOpened(entry.Get(), target);
        if (failure == ERROR_SUCCESS) {
            moved.MovedTo = target;
            moved.Status = LogDirectoryStatus::MovedAside;
            return moved;
        }
        if (failure != ERROR_ALREADY_EXISTS && failure != ERROR_FILE_EXISTS)
            break;
    }
    moved.Error = failure;
    moved.Status = LogDirectoryStatus::CannotMoveAside;
    return moved;
}

LogDirectoryPreparation Outcome(LogDirectoryStatus status, DWORD error = ERROR_SUCCESS)
{
    LogDirectoryPreparation outcome;
    outcome.Status = status;
    outcome.Error = error;
    return outcome;
}
}  // namespace

bool IsTrustedLogDirectorySecurity(PSECURITY_DESCRIPTOR descriptor, PSID self)
{
    return IsTrustedFileSecurity(descriptor, self);
}

bool IsUsable(LogDirectoryStatus status)
{
    return status == LogDirectoryStatus::Trusted || status == LogDirectoryStatus::Created ||
           status == LogDirectoryStatus::MovedAside;
}

std::wstring MovedAsideName(const std::wstring& path, const SYSTEMTIME& localTime, unsigned number)
{
    wchar_t suffix[64];
    _snwprintf(suffix, 63, L".untrusted-%04d%02d%02d-%02d%02d%02d", localTime.wYear,
               localTime.wMonth, localTime.wDay, localTime.wHour, localTime.wMinute,
               localTime.wSecond);
    suffix[63] = L'\0';
    std::wstring name = path + suffix;
    if (number > 1)
        name += L"-" + std::to_wstring(number);
    return name;
}

LogDirectoryPreparation PrepareLogDirectory(const std::wstring& path, bool privileged, PSID self)
{
    if (!privileged)
        return Outcome(LogDirectoryStatus::NotPrivileged);
    std::wstring movedTo;

    // A folder made by someone else between the look and the creation is looked at once more,
    // like any folder that existed; a second such race gives up.
    for (int round = 0;; ++round) {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && movedTo.empty()) {
            // A file, a junction or a link (Wine shows a Unix symbolic link to a folder by
            // the reparse-point attribute alone) is never used, and moved aside like a
            // folder that is not trusted: nothing at the path may keep the log away.
            if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT) && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                // A folder whose security cannot even be read is not trusted either.
                UniqueFileHandle folder(OpenFolder(path, kPinAccess));
                if (folder && IsTheFolderItself(folder.Get(), path) &&
                    HasTrustedSecurity(folder.Get(), self)) {
                    LogDirectoryPreparation trusted = Outcome(LogDirectoryStatus::Trusted);
                    trusted.Pinned = std::move(folder);
                    return trusted;
                }
            }
            // Repairing a folder in place would leave what it holds to whoever made it, and
            // a handle opened on it before the repair would keep its rights: a fresh folder
            // replaces it.
            LogDirectoryPreparation moved = MoveAside(path);
            if (moved.Status != LogDirectoryStatus::MovedAside)
                return moved;
            movedTo = std::move(moved.MovedTo);
        }
        const DWORD createError = CreateDirectoryWithSddl(path, kLogDirectorySddl);
        if (createError == ERROR_SUCCESS)
            break;
        // Never moved aside twice in one start.
        if (createError != ERROR_ALREADY_EXISTS || !movedTo.empty() || round > 0)
            return Outcome(LogDirectoryStatus::CannotCreate, createError);
    }

    UniqueFileHandle folder(OpenFolder(path, kPinAccess));
    if (!folder) {
        const DWORD error = GetLastError();
        return Outcome(LogDirectoryStatus::CannotCreate, error);
    }
    if (!IsTheFolderItself(folder.Get(), path))
        return Outcome(LogDirectoryStatus::NotAFolder);
    if (!HasTrustedSecurity(folder.Get(), self))
        return Outcome(LogDirectoryStatus::CannotCreate);
    LogDirectoryPreparation made =
        Outcome(movedTo.empty() ? LogDirectoryStatus::Created : LogDirectoryStatus::MovedAside);
    made.Pinned = std::move(folder);
    made.MovedTo = std::move(movedTo);
    return made;
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
