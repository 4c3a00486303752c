#pragma once
// A junction (a folder's mount point) made the Windows way, as any user can make one in a
// folder they may write to. Wine's links are made from the Unix side instead (DirectoryLink).
#include "support/unique_resource.h"

#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <string>
#include <vector>

// Creates an empty folder at link and turns it into a junction to target (an absolute path
// that need not exist). False, with nothing left at link and the failed call's error as the
// last error, when either step fails. The junction alone goes with RemoveDirectoryW (or
// RemoveTree), whatever its target holds.
inline bool MakeJunction(const std::wstring& link, const std::wstring& target)
{
    if (!CreateDirectoryW(link.c_str(), /*lpSecurityAttributes=*/nullptr))
        return false;
    // The mount point form of REPARSE_DATA_BUFFER, which only the driver kit declares: the
    // tag, the data's length, a reserved word, then the offsets and lengths (in bytes) of the
    // NT path and of the printed path, and both paths, each with a terminating null.
    const std::wstring substitute = L"\\??\\" + target;
    const size_t substituteBytes = substitute.size() * sizeof(wchar_t);
    const size_t printBytes = target.size() * sizeof(wchar_t);
    const size_t dataBytes = 4 * sizeof(WORD) + substituteBytes + printBytes + 2 * sizeof(wchar_t);
    std::vector<BYTE> buffer(sizeof(DWORD) + 2 * sizeof(WORD) + dataBytes, 0);
    const auto put = [&](size_t at, DWORD value, size_t size) { std::memcpy(&buffer[at], &value, size); };
    put(0, IO_REPARSE_TAG_MOUNT_POINT, sizeof(DWORD));
    put(4, static_cast<DWORD>(dataBytes), sizeof(WORD));
    put(8, 0, sizeof(WORD));
    put(10, static_cast<DWORD>(substituteBytes), sizeof(WORD));
    put(12, static_cast<DWORD>(substituteBytes + sizeof(wchar_t)), sizeof(WORD));
    put(14, static_cast<DWORD>(printBytes), sizeof(WORD));
    std::memcpy(&buffer[16], substitute.c_str(), substituteBytes);
    std::memcpy(&buffer[16 + substituteBytes + sizeof(wchar_t)], target.c_str(), printBytes);

    UniqueFileHandle folder(CreateFileW(link.c_str(), GENERIC_WRITE, /*dwShareMode=*/0,
                                        /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                        /*hTemplateFile=*/nullptr));
    DWORD returned = 0;
    const bool made = folder && DeviceIoControl(folder.Get(), FSCTL_SET_REPARSE_POINT, buffer.data(),
                                                static_cast<DWORD>(buffer.size()), /*lpOutBuffer=*/nullptr,
                                                0, &returned, /*lpOverlapped=*/nullptr);
    const DWORD error = GetLastError();
    folder.Reset();
    if (!made) {
        RemoveDirectoryW(link.c_str());
        SetLastError(error);   // the caller reports why the junction was not made
    }
    return made;
}
