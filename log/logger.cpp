#include "log/logger.h"

#include "support/registry_key.h"
#include "support/srw_lock.h"
#include "support/text.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

std::wstring& LogDirectory = *new std::wstring();

namespace {

constexpr size_t kLineCapacity = 1024;          // characters, the terminator included
constexpr size_t kMemoryLogLimit = 1000;        // characters before the final line feed
constexpr char kUtf8Header[] = "\xEF\xBB\xBF\r\n";


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

}  // namespace

CLogFile& TheLogFile()
{
    static CLogFile* const file = new CLogFile();
    return *file;
}

bool CLogFile::Open(const wchar_t* path)
{
    Close();
    if (!path || !*path)
        return false;
    const bool existed = GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
    const HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_ARCHIVE, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    m_file = file;
    if (!existed) {
        DWORD written = 0;
        WriteFile(m_file, kUtf8Header, sizeof(kUtf8Header) - 1, &written, nullptr);
    }
    return true;
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
            OutputDebugStringW(line.c_str());
            log.AppendToMemoryLog(line);
            log.WriteLine(line);
        }
        if (shown)
            WriteConsoleLine(consoleText);
    } catch (...) {
        // Out of memory: the line is lost, the caller goes on.
    }
    SetLastError(savedError);
}

std::wstring DailyLogPath(const SYSTEMTIME& localDate)
{
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
    const std::wstring path = DailyLogPath(today);

    CLogFile& log = TheLogFile();
    ExclusiveLock hold(log.Lock);
    log.SetThreshold(static_cast<LONG>(debug));
    return log.Open(path.c_str());
}
