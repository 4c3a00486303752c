#pragma once
// The service's log: every component reports through LOG(level, format, arguments...).
// A line is written when its level is at most the magnitude of the registry value Debug;
// it goes to the debugger output, to a small in-memory log of the run's first lines and
// to the day's UTF-8 log file, and, while it is on, to the console sink
// (log/console_sink.h). Safe to call from any thread; never changes the caller's
// last-error value; reports no failure.
//
// An argument that is a Windows error code may be given as SystemError(code) or
// ServiceManagerError(code): the log writes the number exactly as for a plain code, and
// the console sink adds the system's text for it.
#include "log/console_sink.h"
#include "support/file_identity.h"
#include "support/srw_lock.h"

#include <windows.h>

#include <cstddef>
#include <string>
#include <type_traits>

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

struct SourceLocation {
    const char* File;   // as the build gives __FILE__; only the part after the last separator is shown
    int Line;
};

// A format must be a literal of the program: text from the registry, a file or a child is
// always passed as an argument, never as a format.
class LogFormat {
public:
    // Implicit on purpose: a literal, and only a literal, converts.
    template <std::size_t N>
    // cppcheck-suppress noExplicitConstructor ; implicit on purpose, as said above
    constexpr LogFormat(const wchar_t (&text)[N]) : m_text(text) {}
    constexpr const wchar_t* Get() const { return m_text; }

private:
    const wchar_t* m_text;
};

// The logger's one object. Its file handle, that file's date and the memory log are guarded
// by Lock: every operation but the threshold's is called with Lock held (a Clang build
// checks it), by LogMessage and OpenDailyLog, and by tests to check what was written.
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
    // True when a file was open and has been closed.
    bool Close() REQUIRES(Lock);
    // Writes text as UTF-8 with every LF turned into CR LF, in one WriteFile.
    bool WriteLine(const std::wstring& text) REQUIRES(Lock);
    // Appends text while the memory log stays within 1000 characters (plus one line feed).
    bool AppendToMemoryLog(const std::wstring& text) REQUIRES(Lock);

    LONG Threshold() const { return m_threshold; }
    void SetThreshold(LONG threshold) { InterlockedExchange(&m_threshold, threshold); }
    const std::wstring& MemoryLog() const REQUIRES(Lock) { return m_memoryLog; }
    HANDLE FileHandle() const REQUIRES(Lock) { return m_file; }

    // Held across the three sinks of one line and across the switch of the file handle.
    CSrwLock Lock;

private:
    LONG volatile m_threshold = 0;
    HANDLE m_file GUARDED_BY(Lock) = INVALID_HANDLE_VALUE;
    // The local date of the open file, when OpenForDate opened it.
    bool m_dated GUARDED_BY(Lock) = false;
    WORD m_year GUARDED_BY(Lock) = 0;
    WORD m_month GUARDED_BY(Lock) = 0;
    WORD m_day GUARDED_BY(Lock) = 0;
    std::wstring m_memoryLog GUARDED_BY(Lock);
};

// The process's one CLogFile; never destroyed (see LogDirectory).
CLogFile& TheLogFile();

// True when a message of this level passes the threshold: its level is at most the
// threshold's magnitude. A threshold of 0x80000000, which has no 32-bit magnitude, lets
// every message through.
bool LevelPasses(int level, LONG threshold);

// Frames one message as a log line: "name(line) : [hh:mm:ss] message \n", at most 1023
// characters and always ending in the blank and line feed, the message cut if need be.
std::wstring FrameLogLine(const char* sourcePath, int line, const SYSTEMTIME& localTime,
                          const std::wstring& message);

// Refreshes the threshold from Debug and opens the log file of the current local date in
// LogDirectory. True when the file is open. Between two calls, LogMessage switches to the
// next day's file by itself when the date changes.
bool OpenDailyLog();

// The day's log file name for a date: LogDirectory\Scheduler-YYYYMMDD.log; empty when
// LogDirectory is.
std::wstring DailyLogPath(const SYSTEMTIME& localDate);

// error is the first LoggedError among the arguments, or none.
void LogMessageV(SourceLocation location, int level, LoggedError error, const wchar_t* format, ...);

namespace log_detail {

template <class T> T FormatArgument(T value) { return value; }
inline DWORD FormatArgument(LoggedError error) { return error.Code; }

inline LoggedError FirstError() { return LoggedError{}; }
template <class T, class... Rest> LoggedError FirstError(const T& first, const Rest&... rest)
{
    if constexpr (std::is_same<T, LoggedError>::value)
        return first;
    else
        return FirstError(rest...);
}

}  // namespace log_detail

template <class... Args>
void LogMessage(SourceLocation location, int level, LogFormat format, Args... args)
{
    static_assert(((std::is_arithmetic<Args>::value || std::is_pointer<Args>::value ||
                    std::is_same<Args, LoggedError>::value) && ...),
                  "log arguments are numbers, C strings (use .c_str()) and error codes");
    if (!LevelPasses(level, TheLogFile().Threshold()) && !ConsoleSinkShows(level, false))
        return;
    LogMessageV(location, level, log_detail::FirstError(args...), format.Get(),
                log_detail::FormatArgument(args)...);
}

#define LOG(level, ...) LogMessage(SourceLocation{__FILE__, __LINE__}, (level), __VA_ARGS__)
