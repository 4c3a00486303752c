#pragma once
// A directory walk that offers every entry to a derived class, and the search cursor it
// walks with. Objects are used by one thread at a time; nothing here logs. Only memory
// failures throw (std::bad_alloc); every search handle is closed on the way out.
#include "support/unique_resource.h"

#include <windows.h>

#include <string>

// True for the names "." and "..", which a search lists but which are no entries of their
// own; ".name" and "..name" are ordinary names.
bool IsDotOrDotDot(const wchar_t* name);

// One FindFirstFileW/FindNextFileW search that never stands on "." or "..". Owns its
// search handle; closes it at the end of the listing, on failure and on destruction.
class CFindCursor {
public:
    CFindCursor() = default;
    CFindCursor(const CFindCursor&) = delete;
    CFindCursor& operator=(const CFindCursor&) = delete;

    // Closes any open search and starts one on searchPath ("folder\pattern").
    // ERROR_SUCCESS when the cursor stands on an entry. Otherwise the cursor is closed and
    // the result is ERROR_INVALID_PARAMETER for a null or empty searchPath, or the system's
    // code when the search cannot start or finds nothing but "." and ".."
    // (ERROR_NO_MORE_FILES then).
    DWORD FindFirst(const wchar_t* searchPath);
    // Moves to the next entry: ERROR_SUCCESS when the cursor stands on one. At the end of
    // the listing, or on an error, the search is closed and the result is the system's code
    // (ERROR_NO_MORE_FILES at the end). When no search is open, does nothing and returns
    // ERROR_NO_MORE_FILES.
    DWORD FindNext();
    void Close();

    bool IsOpen() const { return static_cast<bool>(m_find); }
    // The entry the cursor stands on; meaningful only while IsOpen().
    const WIN32_FIND_DATAW& Data() const { return m_data; }
    bool IsDirectory() const { return (m_data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
    // A junction, a symbolic link or another reparse point: a walk must not go through it.
    bool IsReparsePoint() const { return (m_data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
    std::wstring GetFileName() const { return m_data.cFileName; }
    FILETIME GetLastWriteTime() const { return m_data.ftLastWriteTime; }
private:
    // Steps past "." and ".."; on failure closes the search. ERROR_SUCCESS when on an
    // entry, otherwise the system's code.
    DWORD SkipDotEntries();

    UniqueFindHandle m_find;
    WIN32_FIND_DATAW m_data = {};
};

// Walks a directory and, depth first, each subdirectory whose own name matches the same
// pattern, offering every entry to AcceptEntry and, when taken, to OnEntry: a file at
// once, a directory after its contents. Entries come in the file system's order. "." and
// ".." are never offered, and the walk never goes through a reparse point (a junction or
// a link to a directory): such an entry is offered like a file, so a link planted in the
// walked folder cannot lead the walk elsewhere.
//
// A derived class stops a walk by setting Aborted from either operation; every level then
// ends at its next entry, no enclosing directory reaches OnEntry, and Enumerate returns
// false. Aborted is never cleared, so every later walk of the object returns false at once.
// The object is not deleted through a pointer to this class.
class CEnumFileTree {
public:
    CEnumFileTree() = default;
    CEnumFileTree(const CEnumFileTree&) = delete;
    CEnumFileTree& operator=(const CEnumFileTree&) = delete;

    // Walks directory with pattern ("*.log"). True when the walk ran to its end, false
    // when it was stopped through Aborted. File-system errors (a missing directory, no
    // match, access denied) are not reported: that part of the walk finds nothing.
    bool Enumerate(const std::wstring& directory, const std::wstring& pattern);

    // Both receive the directory being walked (the walk's directory, or for a subdirectory
    // the parent's directory, a backslash and its name), the entry's name alone, and the
    // cursor standing on the entry; all three are borrowed for the call only.
    // Whether the entry is taken; a refused entry is neither walked into nor handed on.
    virtual bool AcceptEntry(const std::wstring& directory, const std::wstring& name,
                             const CFindCursor& cursor);
    virtual void OnEntry(const std::wstring& directory, const std::wstring& name,
                         const CFindCursor& cursor);

protected:
    ~CEnumFileTree() = default;

    bool Aborted = false;
};
