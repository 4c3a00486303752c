#pragma once
// Deletes old log files: at every start the entry point walks the top of the log folder with
// kLogFilePattern and deletes each plain file whose own name ends in ".log" and that was
// last written more than fourteen days ago, logging "Prune log file %s" at level 2 first.
// Folders are never walked into or deleted, whatever their names. Each file is opened
// without following a link, checked on that handle to be a plain file lying directly in
// the log folder (by the folder's identity, not its path), and deleted through the same
// handle; one that fails the check is left alone and logged at level 0 ("Not pruning %s:
// not a plain file of the log folder"). A pruner is used by one thread at a time (at start,
// one of its own that the entry point waits for: PruneWithin). Failed deletions are not
// reported; only memory failures throw.
#include "support/file_identity.h"
#include "support/file_tree.h"

#include <windows.h>

#include <memory>
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
    // folder is the identity of the log folder that is walked; the cutoff is fixed here,
    // from the current UTC time, for every walk of the object.
    explicit CLogPruner(const FileIdentity& folder);
    // The same, measured from a given moment (UTC).
    CLogPruner(const FileIdentity& folder, const FILETIME& now);
    // Virtual: PruneWithin owns a pruner of any derived class.
    virtual ~CLogPruner() = default;

    const FILETIME& Cutoff() const { return m_cutoff; }

    // Takes an entry only when it is no folder and IsLogFileName(name): anything else is
    // neither walked into nor deleted.
    bool AcceptEntry(const std::wstring& directory, const std::wstring& name,
                     const CFindCursor& cursor) override;

    // Deletes the file when the listing's last-write time lies before the cutoff: opens it
    // (DELETE access, no link followed), checks it as said above, reads its last-write time
    // again from the handle, and deletes it through the handle.
    void OnEntry(const std::wstring& directory, const std::wstring& name,
                 const CFindCursor& cursor) override;

protected:
    // Called between the listing of a candidate and its opening, with its path; does
    // nothing here. A test overrides it to change the entry in that moment.
    virtual void BeforeOpen(const std::wstring& path);

private:
    FileIdentity m_folder;
    FILETIME m_cutoff;
};

// Walks directory with kLogFilePattern and pruner on a thread of its own, and waits for the
// walk at most waitMs: a deletion that the file system holds up (an opportunistic lock whose
// holder never lets go of it) must not hold up the start of the service. True when the walk
// ended in time. Otherwise it is logged at level 0 ("Pruning old log files is taking too
// long; going on without it") and the walk goes on in the background, to its end or to the
// end of the process. The thread owns pruner; when it cannot be started, the walk is made
// on the calling thread.
bool PruneWithin(std::unique_ptr<CLogPruner> pruner, const std::wstring& directory, DWORD waitMs);

// How long start-up waits for the pruning.
inline constexpr DWORD kPruneWaitMs = 10000;
