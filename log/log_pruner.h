#pragma once
// Deletes old log files: at every start the entry point walks the log directory with
// kLogFilePattern and deletes each file whose own name ends in ".log" and that was last
// written more than fourteen days ago, logging "Prune log file %s" at level 2 first. Used
// by one thread at a time (the entry point's, before any other thread starts). Failed
// deletions are not reported; only memory failures throw.
#include "support/file_tree.h"

#include <windows.h>

#include <string>

inline constexpr const wchar_t* kLogFilePattern = L"*.log";
// Fourteen days in the 100-nanosecond units of a FILETIME.
inline constexpr unsigned long long kLogRetention = 14ULL * 86400ULL * 10000000ULL;

// The moment kLogRetention before now; the start of the FILETIME scale if now lies closer
// to it than that.
FILETIME PruneCutoff(const FILETIME& now);
// True when a file last written at lastWrite is to be pruned: strictly before cutoff.
bool IsOlderThanCutoff(const FILETIME& lastWrite, const FILETIME& cutoff);
// True when an entry's own (long) name ends in ".log", whatever the case of its letters.
// A search for "*.log" also lists entries whose 8.3 short name alone ends so ("x.logold",
// short name "X~1.LOG"); only this decides what the pruner takes.
bool IsLogFileName(const std::wstring& name);

class CLogPruner : public CEnumFileTree {
public:
    // The cutoff is fixed here, from the current UTC time, for every walk of the object.
    CLogPruner();
    // The same, measured from a given moment (UTC).
    explicit CLogPruner(const FILETIME& now);

    const FILETIME& Cutoff() const { return m_cutoff; }

    // Takes an entry, file or folder, only when IsLogFileName(name): anything else is
    // neither walked into nor deleted.
    bool AcceptEntry(const std::wstring& directory, const std::wstring& name,
                     const CFindCursor& cursor) override;

    // Deletes the entry (by its path, through DeleteFileW) when its last-write time lies
    // before the cutoff. A directory gets its log line and stays: DeleteFileW removes no
    // directory, nor anything through a directory link.
    void OnEntry(const std::wstring& directory, const std::wstring& name,
                 const CFindCursor& cursor) override;

private:
    FILETIME m_cutoff;
};
