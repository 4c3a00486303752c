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
