#include "support/file_tree.h"

namespace {

// directory\name, made in one string.
std::wstring JoinPath(const std::wstring& directory, const std::wstring& name)
{
    std::wstring path;
    path.reserve(directory.size() + 1 + name.size());
    path += directory;
    path += L'\\';
    path += name;
    return path;
}

}  // namespace

bool IsDotOrDotDot(const wchar_t* name)
{
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

DWORD CFindCursor::FindFirst(const wchar_t* searchPath)
{
    Close();
    if (!searchPath || !*searchPath)
        return ERROR_INVALID_PARAMETER;
    m_find.Reset(FindFirstFileW(searchPath, &m_data));
    if (!m_find)
        return GetLastError();
    return SkipDotEntries();
}

DWORD CFindCursor::FindNext()
{
    if (!m_find)
        return ERROR_NO_MORE_FILES;
    if (!FindNextFileW(m_find.Get(), &m_data)) {
        const DWORD error = GetLastError();
        Close();
        return error;
    }
    return SkipDotEntries();
}

DWORD CFindCursor::SkipDotEntries()
{
    while (IsDotOrDotDot(m_data.cFileName)) {
        if (!FindNextFileW(m_find.Get(), &m_data)) {
            const DWORD error = GetLastError();
            Close();
            return error;
        }
    }
    return ERROR_SUCCESS;
}

void CFindCursor::Close() { m_find.Reset(); }

bool CEnumFileTree::AcceptEntry(const std::wstring&, const std::wstring&, const CFindCursor&)
{
    return true;
}

void CEnumFileTree::OnEntry(const std::wstring&, const std::wstring&, const CFindCursor&) {}

// Recursive, one level per subdirectory, and so bounded: the walk follows no link or
// junction, and a path of MAX_PATH characters holds at most 130 levels.
// NOLINTNEXTLINE(misc-no-recursion)
bool CEnumFileTree::Enumerate(const std::wstring& directory, const std::wstring& pattern)
{
    // Every level has a cursor of its own, so after the walk of a subdirectory this one
    // still stands on the subdirectory's entry for OnEntry.
    CFindCursor cursor;
    cursor.FindFirst(JoinPath(directory, pattern).c_str());
    while (cursor.IsOpen()) {
        if (Aborted)
            break;
        const std::wstring name = cursor.GetFileName();
        if (AcceptEntry(directory, name, cursor)) {
            bool walked = true;
            // A junction or a link to a directory may lead anywhere, for instance out of
            // a folder that other users can write to; the walk stays on this side of it.
            if (cursor.IsDirectory() && !cursor.IsReparsePoint())
                walked = Enumerate(JoinPath(directory, name), pattern);
            if (walked)
                OnEntry(directory, name, cursor);
        }
        cursor.FindNext();
    }
    return !Aborted;
}
