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

bool CFindCursor::FindFirst(const wchar_t* searchPath)
{
    Close();
    if (!searchPath || !*searchPath) {
        m_lastError = ERROR_INVALID_PARAMETER;
        return false;
    }
    m_lastError = 0;
    m_find.Reset(FindFirstFileW(searchPath, &m_data));
    if (!m_find) {
        m_lastError = GetLastError();
        return false;
    }
    return SkipDotEntries();
}

void CFindCursor::FindNext()
{
    if (!m_find)
        return;
    if (!FindNextFileW(m_find.Get(), &m_data)) {
        m_lastError = GetLastError();
        Close();
        return;
    }
    SkipDotEntries();
}

bool CFindCursor::SkipDotEntries()
{
    while (IsDotOrDotDot(m_data.cFileName)) {
        if (!FindNextFileW(m_find.Get(), &m_data)) {
            m_lastError = GetLastError();
            Close();
            return false;
        }
    }
    return true;
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
