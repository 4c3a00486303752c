#pragma once
// The log folder: who may create it, when its security is trusted, and what replaces it
// when it is not. The service writes its log, and deletes old log files, in this folder as
// LocalSystem. An account that owns the folder, or may write to it, could plant links there and turn those
// writes and deletions against any file, so start-up keeps the log only in a folder that
// no such account controls. Any thread may call; nothing here logs (start-up calls it
// before the log is open), and only memory failures throw (std::bad_alloc).
#include "support/unique_resource.h"

#include <windows.h>

#include <string>

// The log folder's security when start-up creates it: owned by Administrators,
// with a protected DACL, so that nothing is inherited from the common application-data
// folder, where any local user may create files and folders. SYSTEM and Administrators have
// full control, local Users read and execute; files and folders within inherit the same.
inline constexpr const wchar_t* kLogDirectorySddl =
    L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// Whether a log folder with this owner and DACL is trusted: by the rule of
// IsTrustedFileSecurity, only SYSTEM, Administrators, TrustedInstaller and self (the
// account the process runs as, or null) may own it or change it or what it holds.
bool IsTrustedLogDirectorySecurity(PSECURITY_DESCRIPTOR descriptor, PSID self);

enum class LogDirectoryStatus {
    Trusted,           // existed, and its security is trusted
    Created,           // was missing and has been created with kLogDirectorySddl
    MovedAside,        // was not trusted, or no plain folder (a file, a junction, a link): moved
                       // aside, and a fresh folder created in its place
    NotPrivileged,     // the process is neither LocalSystem nor elevated: nothing was looked at
    NotAFolder,        // a link stands at the path that cannot be moved as itself (Wine's), or
                       // the fresh folder turned out to be no plain folder (swapped meanwhile)
    CannotCreate,      // was missing (or moved aside) and could not be created
    CannotMoveAside,   // is not trusted and could not be moved aside
};

// True for the three outcomes that leave a folder fit for the log.
[[nodiscard]] bool IsUsable(LogDirectoryStatus status);

// What PrepareLogDirectory did. For a usable status, Pinned holds the folder, opened without
// following a link, with FILE_LIST_DIRECTORY (a right that takes part in sharing) and
// without FILE_SHARE_DELETE: while it is open nobody can rename or remove the folder, and
// it tells the folder's identity (FileIdentityOf); otherwise Pinned is empty. MovedTo is
// where the entry at the path went (MovedAside). Error is the system's code for CannotCreate
// and CannotMoveAside when a call failed, ERROR_SUCCESS otherwise.
struct LogDirectoryPreparation {
    LogDirectoryStatus Status = LogDirectoryStatus::CannotCreate;
    DWORD Error = ERROR_SUCCESS;
    UniqueFileHandle Pinned;
    std::wstring MovedTo;
};

// Where an untrusted entry at path goes: path plus ".untrusted-YYYYMMDD-hhmmss" of the
// local time given, beside it; from number 2 on, "-number" follows, for when the names
// before it are taken.
std::wstring MovedAsideName(const std::wstring& path, const SYSTEMTIME& localTime,
                            unsigned number = 1);

// Makes the folder at path (absolute, its last component created if need be) fit for the
// log, when privileged (see CAccessToken::IsElevatedOrLocalSystem): a missing folder is
// created with kLogDirectorySddl; an existing one is checked with
// IsTrustedLogDirectorySecurity (self as there). Anything else at path is moved aside to
// the first free MovedAsideName (a counter follows the time when names are taken, up to
// a thousand), and a fresh folder is created in its place: a folder that is not trusted,
// with what it holds, and a file, a junction or another link, itself, never its target
// (a link that cannot be opened as itself, as under Wine, is left alone: NotAFolder).
// Every check and the move are made on handles opened without following a link, so a
// folder swapped for a link is never used. When not privileged nothing is created or
// changed.
[[nodiscard]] LogDirectoryPreparation PrepareLogDirectory(const std::wstring& path,
                                                          bool privileged, PSID self);

// The line for the debugger output that says why the process keeps no log file in path,
// ending in a line feed; empty for a usable status.
std::wstring LogDirectoryNotice(LogDirectoryStatus status, const std::wstring& path,
                                DWORD error);
