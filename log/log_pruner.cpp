#include "log/log_pruner.h"

#include "log/logger.h"
#include "support/unique_resource.h"

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

CLogPruner::CLogPruner(const FileIdentity& folder) : CLogPruner(folder, CurrentFileTime()) {}

CLogPruner::CLogPruner(const FileIdentity& folder, const FILETIME& now)
    : m_folder(folder), m_cutoff(PruneCutoff(now))
{
}

bool CLogPruner::AcceptEntry(const std::wstring&, const std::wstring& name,
                             const CFindCursor& cursor)
{
    // Log files only ever lie at the top of the folder.
    return !cursor.IsDirectory() && IsLogFileName(name);
}

void CLogPruner::BeforeOpen(const std::wstring&) {}

void CLogPruner::OnEntry(const std::wstring& directory, const std::wstring& name,
                         const CFindCursor& cursor)
{
    // The last-write time alone decides: a file copied or restored into the folder keeps
    // its old last-write time but gets a new creation time.
    if (!IsOlderThanCutoff(cursor.GetLastWriteTime(), m_cutoff))
        return;
    const std::wstring path = directory + L"\\" + name;
    LOG(2, L"Prune log file %s", path.c_str());
    BeforeOpen(path);

    // The name may have been swapped for a link since the listing. On Windows a link is
    // then opened itself and is no plain file; Wine follows a Unix symbolic link whatever
    // the flags say, to a file that lies in another folder. Either way the handle tells,
    // and the deletion goes through that handle, never by the name again.
    const UniqueFileHandle file(CreateFileW(
        path.c_str(), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, /*lpSecurityAttributes=*/nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, /*hTemplateFile=*/nullptr));
    if (!file)
        return;
    if (!IsPlainFile(file.Get()) || !LiesDirectlyIn(file.Get(), m_folder) ||
        !IsReachedDirectly(file.Get(), path)) {
        LOG(0, L"Not pruning %s: not a plain file of the log folder", path.c_str());
        return;
    }
    // A file written since the listing is no longer old.
    FILETIME lastWrite = {};
    if (!GetFileTime(file.Get(), /*lpCreationTime=*/nullptr, /*lpLastAccessTime=*/nullptr,
                     &lastWrite) ||
        !IsOlderThanCutoff(lastWrite, m_cutoff))
        return;
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    SetFileInformationByHandle(file.Get(), FileDispositionInfo, &disposition, sizeof(disposition));
}

namespace {

struct PruneWork {
    std::unique_ptr<CLogPruner> Pruner;
    std::wstring Directory;
};

DWORD WINAPI PruneThread(void* argument)
{
    std::unique_ptr<PruneWork> work(static_cast<PruneWork*>(argument));
    try {
        work->Pruner->Enumerate(work->Directory, kLogFilePattern);
    } catch (...) {
        // Out of memory: the old files stay until the next start.
    }
    return 0;
}

}  // namespace

bool PruneWithin(std::unique_ptr<CLogPruner> pruner, const std::wstring& directory, DWORD waitMs)
{
    auto work = std::make_unique<PruneWork>();
    work->Pruner = std::move(pruner);
    work->Directory = directory;
    UniqueHandle thread(CreateThread(/*lpThreadAttributes=*/nullptr, /*dwStackSize=*/0, PruneThread,
                                     work.get(), /*dwCreationFlags=*/0, /*lpThreadId=*/nullptr));
    if (!thread) {
        work->Pruner->Enumerate(work->Directory, kLogFilePattern);
        return true;
    }
    static_cast<void>(work.release());   // the thread's now
    if (WaitForSingleObject(thread.Get(), waitMs) == WAIT_OBJECT_0)
        return true;
    LOG(0, L"Pruning old log files is taking too long; going on without it");
    return false;
}
