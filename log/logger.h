#pragma once
// The service's log: every component reports through LOG(level, format, arguments...).
// A line is written when its level is at most the magnitude of the registry value Debug;
// it goes to the debugger output, to a small in-memory log of the run's first lines and
// to the day's UTF-8 log file (log/log_file.h), and to each sink registered with the log
// that takes it (the console, log/console_sink.h; the Event Log, log/event_log.h). Safe to
// call from any thread; never changes the caller's last-error value; reports no failure.
//
// An argument that is a Windows error code is given as SystemError(code) or
// ServiceManagerError(code) (log/logged_error.h): the log writes the number exactly as for
// a plain code, and the console adds the system's text for it. LOG_LAST_ERROR and
// LOG_FAILURE log a failed call with its code so wrapped.
#include "log/log_file.h"
#include "log/logged_error.h"

#include <windows.h>

#include <cstddef>
#include <string>
#include <type_traits>

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

// True when a message of this level passes the threshold: its level is at most the
// threshold's magnitude. A threshold of 0x80000000, which has no 32-bit magnitude, lets
// every message through.
bool LevelPasses(int level, LONG threshold);

// Frames one message as a log line: "name(line) : [hh:mm:ss] message \n", at most 1023
// characters and always ending in the blank and line feed, the message cut if need be.
std::wstring FrameLogLine(const char* sourcePath, int line, const SYSTEMTIME& localTime,
                          const std::wstring& message);

// Refreshes the threshold from Debug and makes the log file of the current local date in
// LogDirectory the open one. The file stays open from one call to the next: it is opened
// again only when the date has changed or no file is open (an earlier open or a write
// failed). The open is made outside the logger's lock and waited for at most
// kLogFileOpenWaitMs (OpenLogFileWithin); meanwhile other threads' lines go on to the
// debugger output and the memory log. True when the file is open. Between two calls,
// LogMessage switches to the next day's file by itself when the date changes, the same way.
bool OpenDailyLog();

// Told when the day's log file is lost or back: code is the system's code of an open or a
// write that failed (the file is then closed until the next OpenDailyLog), or
// ERROR_SUCCESS for the first open that succeeds after a failure; path is the day's file.
// Called on the thread that met it, without the logger's lock; a line it logs never calls
// it again. Must not throw.
using LogFileLossHandler = void (*)(DWORD code, const std::wstring& path);
// Sets the handler (null: none) and tells it at once how the day's file stands
// (ERROR_SUCCESS when it is open, or when none was tried since the process keeps no log
// folder). Service mode sets it once its reporting has started.
void SetLogFileLossHandler(LogFileLossHandler handler);

// One line as the log hands it to its sinks.
struct LogLine {
    int Level;
    bool Written;              // whether the log file gets it (Debug lets it through)
    SYSTEMTIME LocalTime;      // when it was logged
    const wchar_t* Message;    // the formatted message, without the file's frame
    LoggedError Error;         // the first error code among its arguments, or none
};

// A place lines go beside the log file. A sink depends on the log, never the reverse: it
// registers itself with AddLogSink and leaves with RemoveLogSink.
class CLogSink {
public:
    virtual ~CLogSink() = default;
    // Whether the sink takes a line of this level; written says whether the log file gets
    // it. Any thread, with or without the logger's lock; makes no system call.
    virtual bool Takes(int level, bool written) const = 0;
    // Takes one line. Called with the logger's lock held, so that lines from different
    // threads reach each sink whole and in the file's order; must not log.
    virtual void Take(const LogLine& line) = 0;
};

// Registers sink (not owned; it must outlive its registration); registering it twice
// changes nothing. At most four sinks at a time: a fifth is not registered, and false is
// returned. Takes the logger's lock, so no line is half handed to it.
bool AddLogSink(CLogSink* sink);
// Unregisters sink; once this returns, the log no longer calls it. Takes the logger's lock.
void RemoveLogSink(const CLogSink* sink);
// True when a registered sink takes a line of this level (CLogSink::Takes). Any thread.
bool AnyLogSinkTakes(int level, bool written);

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
    if (!LevelPasses(level, TheLogFile().Threshold()) && !AnyLogSinkTakes(level, false))
        return;
    LogMessageV(location, level, log_detail::FirstError(args...), format.Get(),
                log_detail::FormatArgument(args)...);
}

#define LOG(level, ...) LogMessage(SourceLocation{__FILE__, __LINE__}, (level), __VA_ARGS__)

// A failed call's line: format's arguments, then the call's error code, wrapped so that
// the console explains it. Made for formats that end in "error code = %d".
template <class... Args>
void LogFailure(SourceLocation location, int level, LoggedError error, LogFormat format,
                Args... args)
{
    LogMessage(location, level, format, args..., error);
}
inline LoggedError AsLoggedError(LoggedError error) { return error; }
inline LoggedError AsLoggedError(DWORD code) { return SystemError(code); }
inline LoggedError AsLoggedError(LONG status) { return SystemError(static_cast<DWORD>(status)); }

// LOG_FAILURE(level, code, format, arguments...): logs a call that failed with code (a
// system error code, a registry status, or a LoggedError made by ServiceManagerError),
// the code last among the arguments.
#define LOG_FAILURE(level, code, ...) \
    LogFailure(SourceLocation{__FILE__, __LINE__}, (level), AsLoggedError(code), __VA_ARGS__)
// LOG_LAST_ERROR(level, format, arguments...): the same for the call that failed just
// before it, its last error read before anything else runs.
#define LOG_LAST_ERROR(level, ...)                                 \
    do {                                                           \
        const LoggedError lastError_ = SystemError(GetLastError()); \
        LOG_FAILURE((level), lastError_, __VA_ARGS__);             \
    } while (false)
