#include "tests/common/scratch_folder.h"

#include "support/unique_resource.h"
#include "tests/common/links.h"

#include <windows.h>

namespace {

std::wstring TemporaryFolder()
{
    wchar_t temp[MAX_PATH] = L"";
    GetTempPathW(MAX_PATH, temp);
    return temp;
}

std::wstring FreshName()
{
    static LONG counter = 0;
    wchar_t name[64];
    _snwprintf(name, 63, L"vh-test-%lu-%ld", GetCurrentProcessId(), InterlockedIncrement(&counter));
    name[63] = L'\0';
    return name;
}

}  // namespace

ScratchDirectory::ScratchDirectory() : ScratchDirectory(FreshName()) {}

ScratchDirectory::ScratchDirectory(const std::wstring& name) : m_path(TemporaryFolder() + name)
{
    RemoveTree(m_path);
    CreateDirectoryW(m_path.c_str(), nullptr);
}

ScratchDirectory::~ScratchDirectory() { RemoveTree(m_path); }

void RemoveTree(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
        return;
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        RemoveLink(path);
        return;
    }
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((path + L"\\*").c_str(), &data));
    if (find) {
        do {
            const std::wstring name = data.cFileName;
            if (name != L"." && name != L"..")
                RemoveTree(path + L"\\" + name);
        } while (FindNextFileW(find.Get(), &data));
    }
    find.Reset();
    RemoveDirectoryW(path.c_str());
}
