#pragma once
// The day's log file: where it lies (LogDirectory, pinned by its identity), how it is
// opened (never through a link, never outside that folder), and the process's one
// CLogFile, which the logger writes every line through.
#include "support/file_identity.h"
#include "support/srw_lock.h"
#include "support/thread_annotations.h"
#include "support/unique_resource.h"

#include <windows.h>

#include <string>

// The directory of the daily log files; set once by the entry point before any other
// thread starts, read afterwards. Empty when the process keeps no log file (start-up found
// no folder it may use): no file is then ever opened. Never destroyed, so that threads
// still running while the process ends can keep logging.
extern std::wstring& LogDirectory;
// The identity of LogDirectory's folder, noted when it was set (SetLogDirectory): every day's
// file must lie directly in that very folder, wherever its path may lead later.
extern FileIdentity LogDirectoryIdentity;

// Sets LogDirectory and LogDirectoryIdentity together; an empty path clears both. The entry
// point gives the identity of the folder it keeps pinned open. Called before any other
// thread starts (and by tests between their runs).
void SetLogDirectory(const std::wstring& path, const FileIdentity& identity);

// The logger's one object. Its file handle, that file's date and the memory log are guarded
// by Lock: every operation but the threshold's is called with Lock held (a Clang build
// checks it), by the logger (log/logger.h) and by tests to check what was written.
class CLogFile {
public:
    CLogFile() = default;
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;

    // Opens path for appending, after closing the current file. A file that did not exist
    // begins with the UTF-8 byte order mark and an empty line. Never writes through a link
    // nor outside the folder of identity `folder`: when path's folder is not that folder, or
    // path names a reparse point, a link of any kind, a file with a second name, a folder or
    // a device, nothing is opened (or created), as if the file could not be made. False
    // when nothing is open.
    bool Open(const wchar_t* path, const FileIdentity& folder) REQUIRES(Lock);
    // Opens the log file of localDate's date (DailyLogPath) in the folder of
    // LogDirectoryIdentity and notes that date for FollowDate. False when nothing is open.
    bool OpenForDate(const SYSTEMTIME& localDate) REQUIRES(Lock);
    // Before a line of localTime is written: when the open file belongs to another date,
    // opens the file of localTime's date, so that every line lands in the file of the day
    // it was written. Does nothing when no file is open, nor for a file opened by path.
    // True when a file is open afterwards.
    bool FollowDate(const SYSTEMTIME& localTime) REQUIRES(Lock);
    // True when the open file was opened by OpenForDate or Adopt under this path.
    bool Holds(const std::wstring& path) const REQUIRES(Lock);
    // True when the open file was opened for a date and localTime falls on another one.
    bool BelongsToAnotherDate(const SYSTEMTIME& localTime) const REQUIRES(Lock);
    // Takes file (opened by OpenLogFileForAppending, outside the lock) as the file of
    // localDate's date at path, closing the one open before.
    void Adopt(UniqueFileHandle file, const std::wstring& path, const SYSTEMTIME& localDate)
        REQUIRES(Lock);
    // Closes the file, if one is open, and notes why the day's file at path is not open
    // (the system's code); Adopt forgets it.
    void Fail(DWORD code, const std::wstring& path) REQUIRES(Lock);
    // The code Fail noted, ERROR_SUCCESS since the last Adopt; and the path of the day's
    // file last adopted or failed.
    DWORD Failure() const REQUIRES(Lock) { return m_failure; }
    const std::wstring& DayPath() const REQUIRES(Lock) { return m_path; }
    // True when a file was open and has been closed.
    bool Close() REQUIRES(Lock);
    // Writes text as UTF-8 with every LF turned into CR LF, in one WriteFile.
    bool WriteLine(const std::wstring& text) REQUIRES(Lock);
    // Appends text while the memory log stays within 1000 characters (plus one line feed).
    bool AppendToMemoryLog(const std::wstring& text) REQUIRES(Lock);

    LONG Threshold() const { return m_threshold; }
    void SetThreshold(LONG threshold) { InterlockedExchange(&m_threshold, threshold); }
    const std::wstring& MemoryLog() const REQUIRES(Lock) { return m_memoryLog; }
    HANDLE FileHandle() const REQUIRES(Lock) { return m_file.Get(); }

    // The logger's lock: held across everything one line is written to and across the switch
    // of the file handle.
    CSrwLock Lock;

private:
    LONG volatile m_threshold = 0;
    UniqueFileHandle m_file GUARDED_BY(Lock);
    // The local date and path of the open file, when OpenForDate or Adopt opened it.
    bool m_dated GUARDED_BY(Lock) = false;
    std::wstring m_path GUARDED_BY(Lock);
    DWORD m_failure GUARDED_BY(Lock) = ERROR_SUCCESS;
    WORD m_year GUARDED_BY(Lock) = 0;
    WORD m_month GUARDED_BY(Lock) = 0;
    WORD m_day GUARDED_BY(Lock) = 0;
    std::wstring m_memoryLog GUARDED_BY(Lock);
};

// A log file as it was opened: the handle, or on failure an empty one and the system's
// code (ERROR_CANT_ACCESS_FILE when the name is no plain file of the folder); whether the
// open made the file.
struct OpenedLogFile {
    UniqueFileHandle File;
    DWORD Error = ERROR_SUCCESS;
    bool Created = false;
};

// Opens path for appending as CLogFile::Open does (never through a link, never outside the
// folder of identity `folder`; a new file gets its header), without any lock. Any thread.
[[nodiscard]] OpenedLogFile OpenLogFileForAppending(const wchar_t* path, const FileIdentity& folder);

// The same on a helper thread, waited for at most waitMs: an open that the file system holds
// up (an opportunistic lock whose holder never acknowledges its break) must hold up no
// caller for longer. Returns ERROR_SUCCESS with file set, or the open's error; ERROR_TIMEOUT
// when the wait ran out (the helper closes what it opens late); ERROR_BUSY, at once, while
// an earlier helper has still not finished. When no thread can be started, the open is
// made on the calling thread. Any thread; call it without the logger's lock.
[[nodiscard]] DWORD OpenLogFileWithin(const std::wstring& path, const FileIdentity& folder,
                                     DWORD waitMs, UniqueFileHandle& file);

// How long the logger waits for the day's file to open.
inline constexpr DWORD kLogFileOpenWaitMs = 10000;

// Tests only: hook, when not null, is called with the path before every open of a log file,
// on the thread that makes it (a hook that never returns stands for an open that never
// does). Set it while no file is being opened.
using LogFileOpenHook = void (*)(const wchar_t* path);
void SetLogFileOpenHookForTests(LogFileOpenHook hook);

// The process's one CLogFile; never destroyed (see LogDirectory).
CLogFile& TheLogFile();

// The day's log file name for a date: LogDirectory\Scheduler-YYYYMMDD.log; empty when
// LogDirectory is.
std::wstring DailyLogPath(const SYSTEMTIME& localDate);
