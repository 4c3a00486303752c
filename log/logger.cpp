#include "log/logger.h"

#include "support/product_names.h"
#include "support/registry_key.h"
#include "support/srw_lock.h"
#include "support/text.h"

#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kLineCapacity = 1024;          // characters, the terminator included
constexpr size_t kMostSinks = 4;

// The registered sinks, in the order of registration, empty places null. Written under the
// logger's lock; read without it only to decide whether a line is worth formatting.
std::atomic<CLogSink*> Sinks[kMostSinks];

std::wstring SourceName(const char* path)
{
    if (!path)
        return std::wstring();
    // A cross build's __FILE__ separates with slashes, a Windows build with backslashes.
    const char* name = path;
    for (const char* p = path; *p; ++p) {
        if (*p == '\\' || *p == '/')
            name = p + 1;
    }
    return WideFromThreadAnsi(name);
}

std::atomic<LogFileLossHandler> LossHandler{nullptr};
// Set while this thread runs the handler: a line it logs never calls it again.
thread_local bool InLossHandler = false;

void TellLossHandler(DWORD code, const std::wstring& path)
{
    const LogFileLossHandler handler = LossHandler.load();
    if (!handler || InLossHandler)
        return;
    InLossHandler = true;
    try {
        handler(code, path);
    } catch (...) {
        // Out of memory: the next failure tells again.
    }
    InLossHandler = false;
}

// Makes the file of localDate's date the open one, unless it already is: opened outside the
// logger's lock, within kLogFileOpenWaitMs, and swapped in under it. A failure closes the
// file that was open and is handed to the loss handler, and so is the first success after
// one. True when the day's file is open afterwards.
bool OpenDayFile(const SYSTEMTIME& localDate)
{
    CLogFile& log = TheLogFile();
    const std::wstring path = DailyLogPath(localDate);
    if (path.empty()) {
        // No folder for the log: start-up has said why.
        ExclusiveLock hold(log.Lock);
        log.Close();
        return false;
    }
    {
        ExclusiveLock hold(log.Lock);
        if (log.Holds(path))
            return true;
    }
    UniqueFileHandle file;
    const DWORD error = OpenLogFileWithin(path, LogDirectoryIdentity, kLogFileOpenWaitMs, file);
    if (error == ERROR_BUSY)
        return false;   // an earlier open is still held up; it has been told
    DWORD before = ERROR_SUCCESS;
    {
        ExclusiveLock hold(log.Lock);
        before = log.Failure();
        if (file)
            log.Adopt(std::move(file), path, localDate);
        else
            log.Fail(error, path);
    }
    if (error != ERROR_SUCCESS || before != ERROR_SUCCESS)
        TellLossHandler(error, path);
    return error == ERROR_SUCCESS;
}

}  // namespace

bool LevelPasses(int level, LONG threshold)
{
    if (threshold == LONG_MIN)
        return true;
    const LONG magnitude = threshold < 0 ? -threshold : threshold;
    return level <= magnitude;
}

std::wstring FrameLogLine(const char* sourcePath, int line, const SYSTEMTIME& localTime,
                          const std::wstring& message)
{
    // The source name is an argument here, never part of a format, so a '%' in it is
    // written as it stands.
    wchar_t prefix[kLineCapacity];
    _snwprintf(prefix, kLineCapacity - 1, L"%s(%d) : [%02d:%02d:%02d] ",
               SourceName(sourcePath).c_str(), line, localTime.wHour, localTime.wMinute,
               localTime.wSecond);
    prefix[kLineCapacity - 1] = L'\0';

    static const wchar_t kEnd[] = L" \n";
    const size_t endLength = 2;
    std::wstring text = prefix;
    text += message;
    // A line that does not fit is cut before its end, which it keeps, so it never runs
    // into the next line of the file.
    if (text.size() > kLineCapacity - 1 - endLength)
        text.resize(kLineCapacity - 1 - endLength);
    text += kEnd;
    return text;
}

// C-style variadic because _vsnwprintf takes a va_list; its one caller, LogMessage, lets
// numbers and C strings through only.
// NOLINTNEXTLINE(cert-dcl50-cpp)
void LogMessageV(SourceLocation location, int level, LoggedError error, const wchar_t* format, ...)
{
    CLogFile& log = TheLogFile();
    const bool written = LevelPasses(level, log.Threshold());
    if (!written && !AnyLogSinkTakes(level, written))
        return;
    const DWORD savedError = GetLastError();

    SYSTEMTIME now;
    GetLocalTime(&now);

    wchar_t message[kLineCapacity];
    va_list args;
    va_start(args, format);
    _vsnwprintf(message, kLineCapacity - 1, format ? format : L"", args);
    va_end(args);
    message[kLineCapacity - 1] = L'\0';

    try {
        const std::wstring line =
            written ? FrameLogLine(location.File, location.Line, now, message) : std::wstring();
        const LogLine passing{level, written, now, message, error};
        bool anotherDay = false;
        if (written) {
            // A line written after midnight goes into the new day's file, although the
            // worker switches files only at the start of its pass and a task may run for
            // hours. The file is opened outside the lock, as the worker opens it.
            ExclusiveLock hold(log.Lock);
            anotherDay = log.BelongsToAnotherDate(now);
        }
        if (anotherDay)
            OpenDayFile(now);
        DWORD writeError = ERROR_SUCCESS;
        std::wstring lostPath;
        {
            ExclusiveLock hold(log.Lock);
            if (written) {
                OutputDebugStringW(line.c_str());
                log.AppendToMemoryLog(line);
                if (log.FileHandle() != INVALID_HANDLE_VALUE && !log.WriteLine(line)) {
                    writeError = GetLastError();
                    // Opened again at the worker's next pass.
                    lostPath = log.DayPath();
                    log.Fail(writeError == ERROR_SUCCESS ? ERROR_WRITE_FAULT : writeError, lostPath);
                    writeError = log.Failure();
                }
            }
            for (std::atomic<CLogSink*>& place : Sinks) {
                CLogSink* const sink = place.load();
                if (sink && sink->Takes(level, written))
                    sink->Take(passing);
            }
        }
        if (writeError != ERROR_SUCCESS)
            TellLossHandler(writeError, lostPath);
    } catch (...) {
        // Out of memory: the line is lost, the caller goes on.
    }
    SetLastError(savedError);
}

bool OpenDailyLog()
{
    CRegistryKey key;
    OpenProductKey(key, KEY_READ);
    const DWORD debug = key.GetDword(kDebugValue, 0);
    key.Close();

    SYSTEMTIME today;
    GetLocalTime(&today);

    TheLogFile().SetThreshold(static_cast<LONG>(debug));
    return OpenDayFile(today);
}

void SetLogFileLossHandler(LogFileLossHandler handler)
{
    LossHandler.store(handler);
    if (!handler)
        return;
    DWORD failure = ERROR_SUCCESS;
    std::wstring path;
    {
        CLogFile& log = TheLogFile();
        ExclusiveLock hold(log.Lock);
        failure = log.Failure();
        path = log.DayPath();
    }
    // No day's file tried (the process keeps no log folder): nothing of the file is lost.
    TellLossHandler(path.empty() ? ERROR_SUCCESS : failure, path);
}

bool AddLogSink(CLogSink* sink)
{
    ExclusiveLock hold(TheLogFile().Lock);
    for (std::atomic<CLogSink*>& place : Sinks) {
        if (place.load() == sink)
            return true;
    }
    for (std::atomic<CLogSink*>& place : Sinks) {
        if (!place.load()) {
            place.store(sink);
            return true;
        }
    }
    return false;
}

void RemoveLogSink(const CLogSink* sink)
{
    ExclusiveLock hold(TheLogFile().Lock);
    for (std::atomic<CLogSink*>& place : Sinks) {
        if (place.load() == sink)
            place.store(nullptr);
    }
}

bool AnyLogSinkTakes(int level, bool written)
{
    for (const std::atomic<CLogSink*>& place : Sinks) {
        const CLogSink* const sink = place.load(std::memory_order_acquire);
        if (sink && sink->Takes(level, written))
            return true;
    }
    return false;
}
