#include "log/logger.h"

#include "log/event_log.h"
#include "support/file_identity.h"
#include "support/registry_key.h"
#include "support/srw_lock.h"
#include "support/text.h"
#include "support/unique_resource.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

// Made before main and never destroyed (see logger.h); an allocation this small that fails
// before main leaves nothing to run anyway.
std::wstring& LogDirectory = *new std::wstring();   // NOLINT(cert-err58-cpp)
FileIdentity LogDirectoryIdentity;

namespace {

constexpr size_t kLineCapacity = 1024;          // characters, the terminator included
constexpr size_t kMemoryLogLimit = 1000;        // characters before the final line feed
constexpr char kUtf8Header[] = "\xEF\xBB\xBF\r\n";
constexpr int kOpenAttempts = 3;


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

// The folder part of path, without its last separator; empty when there is none.
std::wstring ParentOf(const wchar_t* path)
{
    const std::wstring text = path;
    const size_t separator = text.find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::wstring() : text.substr(0, separator);
}

// Opens path for appending only, creating it if need be, but never through a link and never
// outside the folder of identity `folder`: the result is a plain file that lies directly in
// that folder, or nothing. `created` tells whether this call made the file.
//
// The folder the path leads to must be that folder before anything is opened or created,
// so that a folder renamed away and replaced by a link or junction gets no file. An
// existing file is opened without following a reparse point (on Windows a symbolic link
// or junction is then opened itself, and refused); a missing one is made with CREATE_NEW,
// which fails on any name that exists, a dangling link included, so nothing is ever created
// where a link points. Wine follows a Unix symbolic link whatever the flags say and shows no
// reparse point for a link to a file; the identity of the folder its final path names still
// tells, and its final name, for a link to another file of the same folder. Every check after the open is made on the opened handle, so swapping the name
// afterwards changes nothing.
UniqueFileHandle OpenPlainFileForAppending(const wchar_t* path, const FileIdentity& folder,
                                           bool& created)
{
    if (!(FileIdentityAt(ParentOf(path)) == folder))
        return UniqueFileHandle();
    // Reading the attributes is what the checks need; without FILE_WRITE_DATA every write
    // still lands at the end of the file.
    const DWORD access = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const DWORD flags = FILE_ATTRIBUTE_ARCHIVE | FILE_FLAG_OPEN_REPARSE_POINT;
    UniqueFileHandle file;
    // Another process may create or delete the file between the two calls: try again, a
    // few times only, since a dangling link keeps failing both.
    for (int attempt = 0; attempt < kOpenAttempts && !file; ++attempt) {
        file.Reset(CreateFileW(path, access, share, /*lpSecurityAttributes=*/nullptr,
                               OPEN_EXISTING, flags, /*hTemplateFile=*/nullptr));
        if (file) {
            created = false;
            break;
        }
        const DWORD openError = GetLastError();
        if (openError != ERROR_FILE_NOT_FOUND)
            return UniqueFileHandle();
        file.Reset(CreateFileW(path, access, share, /*lpSecurityAttributes=*/nullptr, CREATE_NEW,
                               flags, /*hTemplateFile=*/nullptr));
        if (file) {
            created = true;
            break;
        }
        const DWORD createError = GetLastError();
        if (createError != ERROR_FILE_EXISTS && createError != ERROR_ALREADY_EXISTS)
            return UniqueFileHandle();
    }
    if (!file || !IsPlainFile(file.Get()) || !LiesDirectlyIn(file.Get(), folder) ||
        !IsReachedDirectly(file.Get(), path))
        return UniqueFileHandle();
    return file;
}

}  // namespace

CLogFile& TheLogFile()
{
    static CLogFile* const file = new CLogFile();
    return *file;
}

bool CLogFile::Open(const wchar_t* path, const FileIdentity& folder)
{
    Close();
    m_dated = false;
    if (!path || !*path)
        return false;
    bool created = false;
    UniqueFileHandle file = OpenPlainFileForAppending(path, folder, created);
    if (!file)
        return false;
    m_file = file.Release();
    if (created) {
        DWORD written = 0;
        WriteFile(m_file, kUtf8Header, sizeof(kUtf8Header) - 1, &written, nullptr);
    }
    return true;
}

bool CLogFile::OpenForDate(const SYSTEMTIME& localDate)
{
    const std::wstring path = DailyLogPath(localDate);
    if (!Open(path.c_str(), LogDirectoryIdentity))
        return false;
    m_dated = true;
    m_year = localDate.wYear;
    m_month = localDate.wMonth;
    m_day = localDate.wDay;
    return true;
}

bool CLogFile::FollowDate(const SYSTEMTIME& localTime)
{
    if (m_file == INVALID_HANDLE_VALUE || !m_dated)
        return m_file != INVALID_HANDLE_VALUE;
    if (localTime.wYear == m_year && localTime.wMonth == m_month && localTime.wDay == m_day)
        return true;
    return OpenForDate(localTime);
}

bool CLogFile::Close()
{
    if (m_file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
    return true;
}

bool CLogFile::WriteLine(const std::wstring& text)
{
    if (m_file == INVALID_HANDLE_VALUE)
        return false;
    std::string utf8;
    if (!text.empty()) {
        const int length = static_cast<int>(text.size());
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0,
                                              nullptr, nullptr);
        if (bytes > 0) {
            utf8.resize(bytes);
            WideCharToMultiByte(CP_UTF8, 0, text.data(), length, &utf8[0], bytes, nullptr,
                                nullptr);
        }
    }
    std::string bytes;
    bytes.reserve(utf8.size() + 8);
    for (const char c : utf8) {
        if (c == '\n')
            bytes += '\r';
        bytes += c;
    }
    DWORD written = 0;
    return WriteFile(m_file, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) != FALSE;
}

bool CLogFile::AppendToMemoryLog(const std::wstring& text)
{
    if (m_memoryLog.size() + text.size() > kMemoryLogLimit)
        return false;
    m_memoryLog += text;
    if (m_memoryLog.empty() || m_memoryLog.back() != L'\n')
        m_memoryLog += L'\n';
    return true;
}

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
    const bool shown = ConsoleSinkShows(level, written);
    if (!written && !shown)
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
        const std::wstring consoleText =
            shown ? ConsoleLineText(now, message, error) : std::wstring();
        ExclusiveLock hold(log.Lock);
        if (written) {
            // A line written after midnight goes into the new day's file, although the
            // worker switches files only at the start of its pass and a task may run for
            // hours.
            log.FollowDate(now);
            OutputDebugStringW(line.c_str());
            log.AppendToMemoryLog(line);
            log.WriteLine(line);
        }
        if (shown)
            WriteConsoleLine(consoleText);
    } catch (...) {
        // Out of memory: the line is lost, the caller goes on.
    }
    ReportLoggedFailure(level, error, message);
    SetLastError(savedError);
}

void SetLogDirectory(const std::wstring& path, const FileIdentity& identity)
{
    LogDirectory = path;
    LogDirectoryIdentity = path.empty() ? FileIdentity() : identity;
}

std::wstring DailyLogPath(const SYSTEMTIME& localDate)
{
    if (LogDirectory.empty())
        return std::wstring();
    wchar_t name[64];
    _snwprintf(name, 63, L"\\Scheduler-%04d%02d%02d.log", localDate.wYear, localDate.wMonth,
               localDate.wDay);
    name[63] = L'\0';
    return LogDirectory + name;
}

bool OpenDailyLog()
{
    CRegistryKey key;
    OpenProductKey(key, KEY_READ);
    const DWORD debug = key.GetDword(L"Debug", 0);
    key.Close();

    SYSTEMTIME today;
    GetLocalTime(&today);

    CLogFile& log = TheLogFile();
    ExclusiveLock hold(log.Lock);
    log.SetThreshold(static_cast<LONG>(debug));
    return log.OpenForDate(today);
}
