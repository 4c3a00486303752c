#include "log/log_pruner.h"

#include "log/logger.h"

namespace {

FILETIME CurrentFileTime()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return now;
}

}  // namespace

FILETIME PruneCutoff(const FILETIME& now)
{
    ULARGE_INTEGER value;
    value.LowPart = now.dwLowDateTime;
    value.HighPart = now.dwHighDateTime;
    value.QuadPart = value.QuadPart > kLogRetention ? value.QuadPart - kLogRetention : 0;
    FILETIME cutoff;
    cutoff.dwLowDateTime = value.LowPart;
    cutoff.dwHighDateTime = value.HighPart;
    return cutoff;
}

bool IsOlderThanCutoff(const FILETIME& lastWrite, const FILETIME& cutoff)
{
    return CompareFileTime(&lastWrite, &cutoff) < 0;
}

bool IsLogFileName(const std::wstring& name)
{
    static const wchar_t kExtension[] = L".log";
    const size_t length = 4;
    if (name.size() < length)
        return false;
    // Only A to Z fold: the extension is ASCII, and no locale may widen the match.
    for (size_t i = 0; i < length; ++i) {
        wchar_t c = name[name.size() - length + i];
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != kExtension[i])
            return false;
    }
    return true;
}

CLogPruner::CLogPruner() : CLogPruner(CurrentFileTime()) {}

CLogPruner::CLogPruner(const FILETIME& now) : m_cutoff(PruneCutoff(now)) {}

bool CLogPruner::AcceptEntry(const std::wstring&, const std::wstring& name, const CFindCursor&)
{
    return IsLogFileName(name);
}

void CLogPruner::OnEntry(const std::wstring& directory, const std::wstring& name,
                         const CFindCursor& cursor)
{
    // The last-write time alone decides: a file copied or restored into the folder keeps
    // its old last-write time but gets a new creation time.
    if (!IsOlderThanCutoff(cursor.GetLastWriteTime(), m_cutoff))
        return;
    const std::wstring path = directory + L"\\" + name;
    LOG(2, L"Prune log file %s", path.c_str());
    // By path, never through a handle: under Wine a handle opened on a link reaches the
    // link's target, while DeleteFileW on the path never reaches past a link.
    DeleteFileW(path.c_str());
}
