#pragma once
// Whether an open file or folder is the very entry its path names, and what kind of entry
// it is. Used where the service writes or changes something in a folder that another
// account might once have been able to plant links in. Any thread may call; nothing here
// logs, and only memory failures throw (std::bad_alloc).
#include <windows.h>

#include <string>

// The handle's path as the system resolved it (for example "\\?\C:\ProgramData\x.log"),
// or empty when it cannot be read.
std::wstring FinalPathOf(HANDLE handle);

// True when `opened` was reached from the parent folder of path through path's last
// component itself: its final path is the parent's final path, a backslash and that
// component, compared without regard to case. A link under that name leads somewhere else
// and fails the test, also one that no attribute shows (under Wine, a Unix symbolic link
// to a file looks like a plain file). path is absolute; false when it has no last
// component or when a final path cannot be read.
bool IsReachedDirectly(HANDLE opened, const std::wstring& path);

// True when `opened` (with FILE_READ_ATTRIBUTES) is a plain file on disk: no folder, device
// or pipe, no reparse point, and no second name (a hard link may give the file a name in a
// folder of someone else's). False when the handle cannot be queried.
bool IsPlainFile(HANDLE opened);

// True when `opened` (with FILE_READ_ATTRIBUTES) is a folder and no reparse point: no
// junction, mount point or link to a folder. False when the handle cannot be queried.
bool IsPlainDirectory(HANDLE opened);

// Which file or folder an open handle stands for: its volume and its index on that volume,
// as GetFileInformationByHandle gives them. Two handles with equal identities are the same
// file or folder, whatever names led to them.
struct FileIdentity {
    DWORD VolumeSerialNumber = 0;
    DWORD FileIndexHigh = 0;
    DWORD FileIndexLow = 0;
    bool Known = false;   // false when it could not be read
};
bool operator==(const FileIdentity& a, const FileIdentity& b);

// The identity of `opened` (any access); Known is false when it cannot be read.
FileIdentity FileIdentityOf(HANDLE opened);
// The identity of the file or folder at path, opened without following a link at its last
// component; Known is false when it cannot be opened or read.
FileIdentity FileIdentityAt(const std::wstring& path);

// True when `opened` lies directly in the folder of identity `folder`: the folder that its
// final path names as its parent is that very folder. A link (or, under Wine, a Unix
// symbolic link that looks like a plain file) leads to a file of another folder and fails,
// and so does a folder renamed away and replaced, since the identity, not the path,
// decides. False when folder is not Known or anything cannot be read.
bool LiesDirectlyIn(HANDLE opened, const FileIdentity& folder);
