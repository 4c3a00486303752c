#include "tests/common/links.h"

#include "support/unique_resource.h"
#include "tests/common/unix_side.h"
#include "tests/common/wait_until.h"

#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <vector>

namespace {

bool HasReparsePointAt(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// True when a search lists an entry by this very name (under Wine, a link whose target
// exists).
bool IsListed(const std::wstring& path)
{
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW(path.c_str(), &data));
    return static_cast<bool>(find);
}

}  // namespace

DirectoryLink::DirectoryLink(const std::wstring& link, const std::wstring& target) : m_link(link)
{
    m_made = StartUnixProgram(L"ln", L"-s", {target, link}) &&
             WaitUntil([&] { return HasReparsePointAt(link); }, 20000);
}

DirectoryLink::~DirectoryLink()
{
    if (m_made)
        RemoveLink(m_link);
}

FileLink::FileLink(const std::wstring& link, const std::wstring& target) : m_link(link)
{
    m_made = !IsListed(link) && StartUnixProgram(L"ln", L"-s", {target, link}) &&
             WaitUntil([&] { return IsListed(link); }, 20000);
}

FileLink::~FileLink()
{
    if (m_made && StartUnixProgram(L"rm", L"-f", {m_link}))
        WaitUntil([&] { return !IsListed(m_link); }, 20000);
}

void RemoveLink(const std::wstring& link)
{
    if (!RunningUnderWine()) {
        RemoveDirectoryW(link.c_str());
        return;
    }
    if (StartUnixProgram(L"rm", L"-f", {link}))
        WaitUntil([&] { return !HasReparsePointAt(link); }, 20000);
}

bool MakeJunction(const std::wstring& link, const std::wstring& target)
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
