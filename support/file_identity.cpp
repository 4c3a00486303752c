#include "support/file_identity.h"

#include "support/unique_resource.h"

namespace {

bool EqualIgnoringCase(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), /*bIgnoreCase=*/TRUE) == CSTR_EQUAL;
}

bool QueryInformation(HANDLE opened, BY_HANDLE_FILE_INFORMATION& information)
{
    return GetFileType(opened) == FILE_TYPE_DISK &&
           GetFileInformationByHandle(opened, &information) != FALSE;
}

}  // namespace

std::wstring FinalPathOf(HANDLE handle)
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFinalPathNameByHandleW(handle, &path[0],
                                                       static_cast<DWORD>(path.size()),
                                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0)
            return std::wstring();
        // A buffer too small gets the size it needs, the terminator included.
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.assign(length, L'\0');
    }
}

bool IsReachedDirectly(HANDLE opened, const std::wstring& path)
{
    const size_t separator = path.find_last_of(L"\\/");
    if (separator == std::wstring::npos || separator + 1 == path.size())
        return false;
    std::wstring parent = path.substr(0, separator);
    // "C:" alone would name the drive's current folder, not its root.
    if (parent.empty() || parent.back() == L':')
        parent += L'\\';
    const std::wstring name = path.substr(separator + 1);

    // Backup semantics let CreateFileW open a folder; reading attributes needs no more
    // than listing rights on the folder above.
    UniqueFileHandle folder(CreateFileW(parent.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, /*hTemplateFile=*/nullptr));
    if (!folder)
        return false;
    std::wstring expected = FinalPathOf(folder.Get());
    const std::wstring actual = FinalPathOf(opened);
    if (expected.empty() || actual.empty())
        return false;
    if (expected.back() != L'\\')
        expected += L'\\';
    expected += name;
    return EqualIgnoringCase(expected, actual);
}

bool IsPlainFile(HANDLE opened)
{
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!QueryInformation(opened, information))
        return false;
    const DWORD notPlain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    return (information.dwFileAttributes & notPlain) == 0 && information.nNumberOfLinks == 1;
}

bool IsPlainDirectory(HANDLE opened)
{
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!QueryInformation(opened, information))
        return false;
    return (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool operator==(const FileIdentity& a, const FileIdentity& b)
{
    return a.Known && b.Known && a.VolumeSerialNumber == b.VolumeSerialNumber &&
           a.FileIndexHigh == b.FileIndexHigh && a.FileIndexLow == b.FileIndexLow;
}

FileIdentity FileIdentityOf(HANDLE opened)
{
    FileIdentity identity;
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!QueryInformation(opened, information))
        return identity;
    identity.VolumeSerialNumber = information.dwVolumeSerialNumber;
    identity.FileIndexHigh = information.nFileIndexHigh;
    identity.FileIndexLow = information.nFileIndexLow;
    identity.Known = true;
    return identity;
}

FileIdentity FileIdentityAt(const std::wstring& path)
{
    const UniqueFileHandle opened(CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, /*hTemplateFile=*/nullptr));
    return opened ? FileIdentityOf(opened.Get()) : FileIdentity();
}

bool LiesDirectlyIn(HANDLE opened, const FileIdentity& folder)
{
    if (!folder.Known)
        return false;
    const std::wstring path = FinalPathOf(opened);
    const size_t separator = path.find_last_of(L'\\');
    if (path.empty() || separator == std::wstring::npos)
        return false;
    std::wstring parent = path.substr(0, separator);
    // "\\?\C:" alone would name the drive's current folder, not its root.
    if (!parent.empty() && parent.back() == L':')
        parent += L'\\';
    return FileIdentityAt(parent) == folder;
}
