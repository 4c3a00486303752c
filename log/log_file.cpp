#include "log/log_file.h"

#include "support/file_identity.h"
#include "support/never_destroyed.h"
#include "support/unique_resource.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

namespace {

NeverDestroyed<std::wstring> TheLogDirectory;

}  // namespace

// Made before main and never destroyed (see logger.h).
std::wstring& LogDirectory = *TheLogDirectory;
FileIdentity LogDirectoryIdentity;

namespace {

constexpr size_t kMemoryLogLimit = 1000;        // characters before the final line feed
constexpr char kUtf8Header[] = "\xEF\xBB\xBF\r\n";
constexpr int kOpenAttempts = 3;

// The folder part of path, without its last separator; empty when there is none.
std::wstring ParentOf(const wchar_t* path)
{
    const std::wstring text = path;
    const size_t separator = text.find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::wstring() : text.substr(0, separator);
}

// Called before each open of a log file; null outside tests.
std::atomic<LogFileOpenHook> OpenHook{nullptr};
// 1 while a helper thread of OpenLogFileWithin has not finished its open.
LONG volatile OpenInProgress = 0;

// Opens path for appending only, creating it if need be, but never through a link and never
// outside the folder of identity `folder`: the result is a plain file that lies directly in
// that folder, or nothing (Error then holds the system's code, ERROR_CANT_ACCESS_FILE for a
// name that is not such a file). Created tells whether this call made the file.
//
// The path's folder must be that folder before anything is opened or created, so that a
// folder replaced by a link gets no file. An existing file is opened without following a
// reparse point; a missing one is made with CREATE_NEW, which fails on any name that exists
// (a dangling link included), so nothing is created where a link points. Wine follows a
// Unix symbolic link whatever the flags say: the identity of the folder of the final path,
// and its final name, still tell. Every check after the open is made on the handle.
OpenedLogFile OpenPlainFileForAppending(const wchar_t* path, const FileIdentity& folder)
{
    OpenedLogFile opened;
    opened.Error = ERROR_CANT_ACCESS_FILE;
    if (!(FileIdentityAt(ParentOf(path)) == folder))
        return opened;
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
            opened.Created = false;
            break;
        }
        const DWORD openError = GetLastError();
        if (openError != ERROR_FILE_NOT_FOUND) {
            opened.Error = openError;
            return opened;
        }
        file.Reset(CreateFileW(path, access, share, /*lpSecurityAttributes=*/nullptr, CREATE_NEW,
                               flags, /*hTemplateFile=*/nullptr));
        if (file) {
            opened.Created = true;
            break;
        }
        const DWORD createError = GetLastError();
        opened.Error = createError;
        if (createError != ERROR_FILE_EXISTS && createError != ERROR_ALREADY_EXISTS)
            return opened;
    }
    if (!file)
        return opened;
    if (!IsPlainFile(file.Get()) || !LiesDirectlyIn(file.Get(), folder) ||
        !IsReachedDirectly(file.Get(), path)) {
        opened.Error = ERROR_CANT_ACCESS_FILE;
        return opened;
    }
    opened.File = std::move(file);
    opened.Error = ERROR_SUCCESS;
    return opened;
}

// What one bounded open hands between its caller and its helper thread; shared, since
// either may be the last to let go of it.
struct OpenWork {
    std::wstring Path;
    FileIdentity Folder;
    UniqueFileHandle File;
    DWORD Error = ERROR_SUCCESS;
};

DWORD WINAPI OpenThread(void* argument)
{
    std::unique_ptr<std::shared_ptr<OpenWork>> held(static_cast<std::shared_ptr<OpenWork>*>(argument));
    OpenWork& work = **held;
    try {
        OpenedLogFile opened = OpenLogFileForAppending(work.Path.c_str(), work.Folder);
        work.File = std::move(opened.File);
        work.Error = opened.Error;
    } catch (...) {
        work.Error = ERROR_NOT_ENOUGH_MEMORY;
    }
    // A caller that gave up has dropped its share: the file is then closed with the last one.
    held.reset();
    InterlockedExchange(&OpenInProgress, 0);
    return 0;
}

}  // namespace

OpenedLogFile OpenLogFileForAppending(const wchar_t* path, const FileIdentity& folder)
{
    if (const LogFileOpenHook hook = OpenHook.load())
        hook(path);
    OpenedLogFile opened = OpenPlainFileForAppending(path, folder);
    if (opened.File && opened.Created) {
        DWORD written = 0;
        WriteFile(opened.File.Get(), kUtf8Header, sizeof(kUtf8Header) - 1, &written, /*lpOverlapped=*/nullptr);
    }
    return opened;
}

DWORD OpenLogFileWithin(const std::wstring& path, const FileIdentity& folder, DWORD waitMs,
                        UniqueFileHandle& file)
{
    file.Reset();
    if (InterlockedCompareExchange(&OpenInProgress, 1, 0) != 0)
        return ERROR_BUSY;
    auto work = std::make_shared<OpenWork>();
    work->Path = path;
    work->Folder = folder;
    auto* handed = new std::shared_ptr<OpenWork>(work);
    UniqueHandle thread(CreateThread(/*lpThreadAttributes=*/nullptr, /*dwStackSize=*/0, OpenThread,
                                     handed, /*dwCreationFlags=*/0, /*lpThreadId=*/nullptr));
    if (!thread) {
        delete handed;
        InterlockedExchange(&OpenInProgress, 0);
        // No thread to bound the wait with: the open is made here, as it was before any
        // bound.
        OpenedLogFile opened = OpenLogFileForAppending(path.c_str(), folder);
        file = std::move(opened.File);
        return opened.Error;
    }
    if (WaitForSingleObject(thread.Get(), waitMs) != WAIT_OBJECT_0)
        return ERROR_TIMEOUT;
    file = std::move(work->File);
    return work->Error;
}

void SetLogFileOpenHookForTests(LogFileOpenHook hook) { OpenHook.store(hook); }

CLogFile& TheLogFile()
{
    static NeverDestroyed<CLogFile> file;
    return *file;
}

bool CLogFile::Open(const wchar_t* path, const FileIdentity& folder)
{
    Close();
    m_dated = false;
    m_path.clear();
    if (!path || !*path)
        return false;
    OpenedLogFile opened = OpenLogFileForAppending(path, folder);
    if (!opened.File)
        return false;
    m_file = std::move(opened.File);
    m_path = path;
    return true;
}

bool CLogFile::Holds(const std::wstring& path) const
{
    return m_file && m_dated && !path.empty() && path == m_path;
}

bool CLogFile::BelongsToAnotherDate(const SYSTEMTIME& localTime) const
{
    return m_file && m_dated &&
           (localTime.wYear != m_year || localTime.wMonth != m_month || localTime.wDay != m_day);
}

void CLogFile::Adopt(UniqueFileHandle file, const std::wstring& path, const SYSTEMTIME& localDate)
{
    m_file = std::move(file);
    m_path = path;
    m_failure = ERROR_SUCCESS;
    m_dated = true;
    m_year = localDate.wYear;
    m_month = localDate.wMonth;
    m_day = localDate.wDay;
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
    if (!m_file || !m_dated)
        return static_cast<bool>(m_file);
    if (localTime.wYear == m_year && localTime.wMonth == m_month && localTime.wDay == m_day)
        return true;
    return OpenForDate(localTime);
}

void CLogFile::Fail(DWORD code, const std::wstring& path)
{
    Close();
    m_dated = false;
    m_path = path;
    m_failure = code;
}

bool CLogFile::Close()
{
    if (!m_file)
        return false;
    m_file.Reset();
    return true;
}

bool CLogFile::WriteLine(const std::wstring& text)
{
    if (!m_file)
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
    return WriteFile(m_file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
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
