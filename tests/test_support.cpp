#include "test_support.h"

#include "log/logger.h"
#include "schedule/child_process.h"
#include "schedule/scheduler_thread.h"
#include "support/registry_key.h"
#include "support/security_descriptor.h"
#include "support/sid.h"
#include "support/srw_lock.h"
#include "support/unique_resource.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <mutex>
#include <thread>

namespace {

const wchar_t kProductKey32[] = L"SOFTWARE\\Varnholt";

std::wstring ProductSubkeyPath(const std::wstring& subkey)
{
    return subkey.empty() ? std::wstring(kProductKey32) : std::wstring(kProductKey32) + L"\\" + subkey;
}

}  // namespace

std::wstring BinDirectory()
{
    wchar_t path[MAX_PATH * 2] = L"";
    GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    std::wstring text = path;
    return text.substr(0, text.find_last_of(L"\\/"));
}

std::wstring ProductExePath() { return BinDirectory() + L"\\VarnholtScheduling.exe"; }
std::wstring TestChildPath() { return BinDirectory() + L"\\VarnholtTestChild.exe"; }

std::wstring TestChildCommand(const std::wstring& arguments)
{
    return L"\"" + TestChildPath() + L"\" " + arguments;
}

ScratchDirectory::ScratchDirectory()
{
    wchar_t temp[MAX_PATH] = L"";
    GetTempPathW(MAX_PATH, temp);
    static LONG counter = 0;
    wchar_t name[64];
    _snwprintf(name, 63, L"vh-test-%lu-%ld", GetCurrentProcessId(), InterlockedIncrement(&counter));
    name[63] = L'\0';
    m_path = std::wstring(temp) + name;
    RemoveTree(m_path);
    CreateDirectoryW(m_path.c_str(), nullptr);
}

ScratchDirectory::~ScratchDirectory() { RemoveTree(m_path); }

void RemoveTree(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
        return;
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        RemoveLink(path);
        return;
    }
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((path + L"\\*").c_str(), &data));
    if (find) {
        do {
            const std::wstring name = data.cFileName;
            if (name != L"." && name != L"..")
                RemoveTree(path + L"\\" + name);
        } while (FindNextFileW(find.Get(), &data));
    }
    find.Reset();
    RemoveDirectoryW(path.c_str());
}

bool SetLastWriteTime(const std::wstring& path, const FILETIME& lastWrite)
{
    // Backup semantics let the same call open a directory.
    UniqueFileHandle file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return file && SetFileTime(file.Get(), nullptr, nullptr, &lastWrite);
}

bool WriteFileWrittenAt(const std::wstring& path, const FILETIME& lastWrite)
{
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    DWORD written = 0;
    return WriteFile(file.Get(), "x", 1, &written, nullptr) &&
           SetFileTime(file.Get(), nullptr, nullptr, &lastWrite);
}

SYSTEMTIME SystemTimeOfDay(WORD hour, WORD minute, WORD second)
{
    SYSTEMTIME t = {};
    t.wHour = hour;
    t.wMinute = minute;
    t.wSecond = second;
    return t;
}

FILETIME ShiftFileTime(const FILETIME& time, long long units)
{
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    value.QuadPart += static_cast<unsigned long long>(units);   // wraps as a signed sum would
    FILETIME shifted;
    shifted.dwLowDateTime = value.LowPart;
    shifted.dwHighDateTime = value.HighPart;
    return shifted;
}

namespace {

// Wine's kernel32 maps a Windows path to the Unix one; the string is on the process heap.
using UnixFileNameFunction = char*(CDECL*)(const wchar_t*);

UnixFileNameFunction WineUnixFileName()
{
    return reinterpret_cast<UnixFileNameFunction>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
}

std::wstring UnixPathOf(UnixFileNameFunction unixFileName, const std::wstring& path)
{
    char* unixPath = unixFileName(path.c_str());
    if (!unixPath)
        return std::wstring();
    const std::string narrow = unixPath;
    HeapFree(GetProcessHeap(), 0, unixPath);
    return std::wstring(narrow.begin(), narrow.end());   // the test folders' names are ASCII
}

}  // namespace

bool RunningUnderWine() { return WineUnixFileName() != nullptr; }

namespace {

bool HasReparsePointAt(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Starts a Unix program with arguments that are Windows paths, given in their Unix form.
// Wine runs it as a process of its own and hands back no handle to wait on, so callers
// wait for its effect instead.
bool StartUnixProgram(const wchar_t* program, const wchar_t* arguments,
                      const std::vector<std::wstring>& paths)
{
    const UnixFileNameFunction unixFileName = WineUnixFileName();
    if (!unixFileName)
        return false;
    std::wstring command = std::wstring(program) + L" " + arguments;
    for (const std::wstring& path : paths) {
        const std::wstring unixPath = UnixPathOf(unixFileName, path);
        if (unixPath.empty())
            return false;
        command += L" \"" + unixPath + L"\"";
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    const std::wstring image = std::wstring(L"Z:\\bin\\") + program;
    if (!CreateProcessW(image.c_str(), &command[0], nullptr, nullptr, /*bInheritHandles=*/FALSE, 0,
                        nullptr, nullptr, &startup, &info))
        return false;
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    return true;
}

}  // namespace

DirectoryLink::DirectoryLink(const std::wstring& link, const std::wstring& target) : m_link(link)
{
    m_made = StartUnixProgram(L"ln", L"-s", {target, link}) &&
             WaitUntil([&] { return HasReparsePointAt(link); }, 5000);
}

DirectoryLink::~DirectoryLink()
{
    if (m_made)
        RemoveLink(m_link);
}

namespace {

// True when a search lists an entry by this very name (under Wine, a link whose target
// exists).
bool IsListed(const std::wstring& path)
{
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW(path.c_str(), &data));
    return static_cast<bool>(find);
}

}  // namespace

FileLink::FileLink(const std::wstring& link, const std::wstring& target) : m_link(link)
{
    m_made = !IsListed(link) && StartUnixProgram(L"ln", L"-s", {target, link}) &&
             WaitUntil([&] { return IsListed(link); }, 5000);
}

FileLink::~FileLink()
{
    if (m_made && StartUnixProgram(L"rm", L"-f", {m_link}))
        WaitUntil([&] { return !IsListed(m_link); }, 5000);
}

void RemoveLink(const std::wstring& link)
{
    if (!RunningUnderWine()) {
        RemoveDirectoryW(link.c_str());
        return;
    }
    if (StartUnixProgram(L"rm", L"-f", {link}))
        WaitUntil([&] { return !HasReparsePointAt(link); }, 5000);
}

bool GiveToAnotherUnixUser(const std::wstring& path)
{
    return StartUnixProgram(L"chown", L"12345", {path}) &&
           WaitUntil([&] { return SecurityTextOf(path).compare(0, 4, L"O:AN") == 0; }, 5000);
}

std::vector<AceEntry> AcesOf(PSECURITY_DESCRIPTOR descriptor)
{
    std::vector<AceEntry> entries;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!descriptor || !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) ||
        !present || !dacl)
        return entries;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace))
            continue;
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
        AceEntry entry = {header->AceType, header->AceFlags, 0, std::wstring()};
        // Allowed and denied entries share one layout: header, mask, SID.
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
            ACCESS_ALLOWED_ACE* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
            entry.Mask = allowed->Mask;
            wchar_t* text = nullptr;
            if (ConvertSidToStringSidW(&allowed->SidStart, &text)) {
                entry.Sid = text;
                LocalFree(text);
            }
        }
        entries.push_back(entry);
    }
    return entries;
}

std::vector<AceEntry> AcesOf(const std::wstring& path)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return std::vector<AceEntry>();
    UniqueLocalMemory owner(descriptor);
    return AcesOf(descriptor);
}

ACCESS_MASK RightsGrantedTo(const std::vector<AceEntry>& aces, const wchar_t* sid)
{
    ACCESS_MASK rights = 0;
    for (const AceEntry& ace : aces) {
        if (ace.Type == ACCESS_ALLOWED_ACE_TYPE && ace.Sid == sid)
            rights |= ace.Mask;
    }
    return rights;
}

std::wstring SecurityTextOf(const std::wstring& path)
{
    const SECURITY_INFORMATION parts =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, parts, nullptr, nullptr, nullptr,
                              nullptr, &descriptor) != ERROR_SUCCESS)
        return std::wstring();
    UniqueLocalMemory owner(descriptor);
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, parts,
                                                              &text, nullptr))
        return std::wstring();
    UniqueLocalMemory textOwner(text);
    return text;
}

ProductKeyReset::ProductKeyReset()
{
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\Varnholt");
}

ProductKeyReset::~ProductKeyReset()
{
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\Varnholt");
}

void SetProductValue(const std::wstring& subkey, const wchar_t* name, DWORD type,
                     const void* data, DWORD size)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, ProductSubkeyPath(subkey).c_str(), 0, nullptr, 0,
                        KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
}

void SetProductDword(const std::wstring& subkey, const wchar_t* name, DWORD value)
{
    SetProductValue(subkey, name, REG_DWORD, &value, sizeof(value));
}

void SetProductString(const std::wstring& subkey, const wchar_t* name, const std::wstring& value,
                      DWORD type)
{
    SetProductValue(subkey, name, type, value.c_str(),
                    static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void RegisterApplication(const std::wstring& name, const std::wstring& scheduler,
                         const std::wstring& scanner, const std::wstring& appDir)
{
    SetProductString(name, L"Scheduler", scheduler);
    SetProductString(name, L"Scanner", scanner);
    SetProductString(name, L"AppDir", appDir);
}

bool ReadProductDword(const std::wstring& subkey, const wchar_t* name, DWORD& value)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ProductSubkeyPath(subkey).c_str(), 0,
                      KEY_READ | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0;
    DWORD size = sizeof(value);
    const LONG status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_DWORD;
}

DWORD RunAndCollect(const std::wstring& commandLine, DWORD timeoutMs)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    // A run of the program once came back in milliseconds with no exit code in CI, never
    // here, most likely a launch that Wine refused. The run under test is the program's,
    // not the launch, so a failed launch is tried again, and every way of coming back
    // without the program's own exit code says so on standard error.
    for (int attempt = 1;; ++attempt) {
        std::wstring buffer = commandLine;
        if (CreateProcessW(nullptr, &buffer[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                           &startup, &info))
            break;
        const DWORD error = GetLastError();
        std::fprintf(stderr, "RunAndCollect: CreateProcess failed, error %lu (attempt %d)\n",
                     error, attempt);
        if (attempt == 3)
            return ~0u;
        Sleep(500);
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    if (WaitForSingleObject(process.Get(), timeoutMs) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "RunAndCollect: no end within %lu ms; terminated\n", timeoutMs);
        TerminateProcess(process.Get(), 1);
        WaitForSingleObject(process.Get(), 5000);
        return ~0u;
    }
    DWORD code = ~0u;
    if (!GetExitCodeProcess(process.Get(), &code))
        std::fprintf(stderr, "RunAndCollect: GetExitCodeProcess failed, error %lu\n", GetLastError());
    return code;
}

DWORD RunProduct(const std::wstring& arguments, DWORD timeoutMs)
{
    return RunAndCollect(L"\"" + ProductExePath() + L"\" " + arguments, timeoutMs);
}

HANDLE MakeUnelevatedToken()
{
    HANDLE process = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY,
                          &process))
        return nullptr;
    UniqueHandle processToken(process);
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(administrators);
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size))
        return nullptr;
    SID_AND_ATTRIBUTES denyOnly = {administrators, 0};
    HANDLE restricted = nullptr;
    if (!CreateRestrictedToken(processToken.Get(), 0, 1, &denyOnly, 0, nullptr, 0, nullptr, &restricted))
        return nullptr;
    return restricted;
}

namespace {

std::wstring DebugStringOf(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info)
{
    const size_t length = info.nDebugStringLength;
    SIZE_T read = 0;
    std::wstring text;
    if (info.fUnicode) {
        text.assign(length, L'\0');
        ReadProcessMemory(process, info.lpDebugStringData, &text[0], length * sizeof(wchar_t), &read);
    } else {
        // Wine hands on a wide string converted to the ANSI code page.
        std::string narrow(length, '\0');
        ReadProcessMemory(process, info.lpDebugStringData, &narrow[0], length, &read);
        text.assign(narrow.begin(), narrow.end());
    }
    while (!text.empty() && text.back() == L'\0')
        text.pop_back();
    return text;
}

}  // namespace

DebuggedRun RunProductDebugged(const std::wstring& arguments, HANDLE token, DWORD timeoutMs)
{
    DebuggedRun run;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    std::wstring command = L"\"" + ProductExePath() + L"\" " + arguments;
    const BOOL started =
        token ? CreateProcessAsUserW(token, nullptr, &command[0], nullptr, nullptr, FALSE,
                                     DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr, &startup, &info)
              : CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS,
                               nullptr, nullptr, &startup, &info);
    if (!started)
        return run;
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    bool terminated = false;
    for (;;) {
        DEBUG_EVENT event = {};
        if (!WaitForDebugEvent(&event, 1000)) {
            if (GetTickCount64() >= end && !terminated) {
                TerminateProcess(process.Get(), 1);
                terminated = true;
            }
            continue;
        }
        DWORD continueStatus = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case OUTPUT_DEBUG_STRING_EVENT:
            run.DebugOutput.push_back(DebugStringOf(process.Get(), event.u.DebugString));
            break;
        case CREATE_PROCESS_DEBUG_EVENT:
            if (event.u.CreateProcessInfo.hFile)
                CloseHandle(event.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (event.u.LoadDll.hFile)
                CloseHandle(event.u.LoadDll.hFile);
            break;
        case EXCEPTION_DEBUG_EVENT:
            // The breakpoint of the attach is the debugger's; every other exception is the
            // program's own.
            if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                continueStatus = DBG_EXCEPTION_NOT_HANDLED;
            break;
        default:
            break;
        }
        const bool exited = event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT;
        if (exited && !terminated)
            run.ExitCode = event.u.ExitProcess.dwExitCode;
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continueStatus);
        if (exited)
            break;
    }
    return run;
}

std::string ReadFileBytes(const std::wstring& path)
{
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    std::string bytes;
    if (!file)
        return bytes;
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(file.Get(), chunk, sizeof(chunk), &read, nullptr) && read > 0)
        bytes.append(chunk, read);
    return bytes;
}

std::wstring ReadUtf8File(const std::wstring& path)
{
    const std::string bytes = ReadFileBytes(path);
    if (bytes.empty())
        return std::wstring();
    const int length = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()),
                                           nullptr, 0);
    std::wstring text(length, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], length);
    return text;
}

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring ProductLogDirectory()
{
    wchar_t folder[MAX_PATH] = L"";
    SHGetFolderPathW(nullptr, 0x23 /* CSIDL_COMMON_APPDATA */, nullptr, 0, folder);
    return std::wstring(folder) + L"\\Varnholt";
}

std::wstring TodaysProductLog()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t name[64];
    _snwprintf(name, 63, L"\\Scheduler-%04d%02d%02d.log", now.wYear, now.wMonth, now.wDay);
    name[63] = L'\0';
    return ProductLogDirectory() + name;
}

size_t LogSize() { return ReadFileBytes(TodaysProductLog()).size(); }

std::vector<std::wstring> LogLinesAfter(size_t skip)
{
    std::string bytes = ReadFileBytes(TodaysProductLog());
    bytes = skip < bytes.size() ? bytes.substr(skip) : std::string();
    std::wstring text;
    if (!bytes.empty()) {
        const int length = MultiByteToWideChar(CP_UTF8, 0, bytes.data(),
                                               static_cast<int>(bytes.size()), nullptr, 0);
        text.assign(length, L'\0');
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0],
                            length);
    }
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(L"\r\n", start);
        if (end == std::wstring::npos)
            break;
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::wstring MessageOf(const std::wstring& line)
{
    const size_t open = line.find(L"] ");
    if (open == std::wstring::npos)
        return std::wstring();
    std::wstring message = line.substr(open + 2);
    if (!message.empty() && message.back() == L' ')
        message.pop_back();
    return message;
}

bool HasMessage(const std::vector<std::wstring>& lines, const std::wstring& message)
{
    for (const std::wstring& line : lines) {
        if (MessageOf(line) == message)
            return true;
    }
    return false;
}

bool WaitForLogMessage(size_t skip, const std::wstring& message, DWORD timeoutMs)
{
    return WaitUntil([&] { return HasMessage(LogLinesAfter(skip), message); }, timeoutMs);
}

CapturedLog::CapturedLog(DWORD threshold)
{
    m_savedDirectory = LogDirectory;
    m_savedIdentity = LogDirectoryIdentity;
    SetLogDirectory(m_folder.Path(), FileIdentityAt(m_folder.Path()));
    SetProductDword(L"", L"Debug", threshold);
    OpenDailyLog();
}

void CloseTheLog()
{
    CLogFile& log = TheLogFile();
    {
        ExclusiveLock hold(log.Lock);
        log.Close();
    }
    log.SetThreshold(0);
}

HANDLE TheLogFileHandle()
{
    CLogFile& log = TheLogFile();
    ExclusiveLock hold(log.Lock);
    return log.FileHandle();
}

CapturedLog::~CapturedLog()
{
    CloseTheLog();
    SetLogDirectory(m_savedDirectory, m_savedIdentity);
}

std::wstring CapturedLog::Text() const
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    return ReadUtf8File(DailyLogPath(now));
}

std::vector<std::wstring> CapturedLog::Messages() const
{
    const std::wstring text = Text();
    std::vector<std::wstring> messages;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(L"\r\n", start);
        if (end == std::wstring::npos)
            break;
        const std::wstring line = text.substr(start, end - start);
        if (line.find(L"] ") != std::wstring::npos)
            messages.push_back(MessageOf(line));
        start = end + 2;
    }
    return messages;
}

bool CapturedLog::Has(const std::wstring& message) const { return Count(message) > 0; }

int CapturedLog::Count(const std::wstring& message) const
{
    int count = 0;
    for (const std::wstring& m : Messages())
        count += m == message ? 1 : 0;
    return count;
}

BackgroundChild::BackgroundChild(const std::wstring& arguments)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    std::wstring command = TestChildCommand(arguments);
    CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                   &m_info);
}

BackgroundChild::~BackgroundChild()
{
    if (!m_info.hProcess)
        return;
    TerminateProcess(m_info.hProcess, 1);
    WaitForSingleObject(m_info.hProcess, 5000);
    CloseHandle(m_info.hThread);
    CloseHandle(m_info.hProcess);
}

namespace {

// A job whose end, when its last handle is closed, ends every process in it.
HANDLE CreateKillOnCloseJob()
{
    const HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
    return job;
}

// Starts commandLine suspended, puts it into job and lets it run; info stays empty when it
// cannot be started.
void StartInJob(HANDLE job, const std::wstring& commandLine, BOOL inheritHandles,
                DWORD creationFlags, STARTUPINFOW& startup, PROCESS_INFORMATION& info)
{
    std::wstring command = commandLine;
    if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, inheritHandles,
                       creationFlags | CREATE_SUSPENDED, nullptr, nullptr, &startup, &info)) {
        AssignProcessToJobObject(job, info.hProcess);
        ResumeThread(info.hThread);
    }
}

// Ends every process of job, waits a moment for the one started, and closes the handles.
void EndJob(HANDLE job, PROCESS_INFORMATION& info)
{
    if (info.hProcess) {
        TerminateJobObject(job, 1);
        WaitForSingleObject(info.hProcess, 5000);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    CloseHandle(job);
}

}  // namespace

BackgroundProcess::BackgroundProcess(const std::wstring& commandLine) : m_job(CreateKillOnCloseJob())
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    StartInJob(m_job, commandLine, FALSE, 0, startup, m_info);
}

BackgroundProcess::~BackgroundProcess() { EndJob(m_job, m_info); }

struct PipedProcess::Stream {
    HANDLE Pipe = nullptr;   // the read end, owned by the reader thread
    HANDLE Ended = nullptr;  // set when the pipe has no writer left
    mutable std::mutex Lock;
    std::string Bytes;

    ~Stream()
    {
        if (Pipe)
            CloseHandle(Pipe);
        if (Ended)
            CloseHandle(Ended);
    }
    std::wstring Text() const
    {
        std::string bytes;
        {
            std::lock_guard<std::mutex> hold(Lock);
            bytes = Bytes;
        }
        return WideFromUtf8(bytes);
    }
};

namespace {

// Makes a pipe whose write end the child inherits, and starts the thread that reads it;
// the thread shares the stream, so that it may outlive the PipedProcess.
std::shared_ptr<PipedProcess::Stream> StartReading(HANDLE& writeEnd)
{
    auto stream = std::make_shared<PipedProcess::Stream>();
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    writeEnd = nullptr;
    if (!CreatePipe(&stream->Pipe, &writeEnd, &inheritable, 0))
        return stream;
    SetHandleInformation(stream->Pipe, HANDLE_FLAG_INHERIT, 0);
    stream->Ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread([stream] {
        char chunk[4096];
        DWORD read = 0;
        while (ReadFile(stream->Pipe, chunk, sizeof(chunk), &read, nullptr) && read > 0) {
            std::lock_guard<std::mutex> hold(stream->Lock);
            stream->Bytes.append(chunk, read);
        }
        SetEvent(stream->Ended);
    }).detach();
    return stream;
}

}  // namespace

PipedProcess::PipedProcess(const std::wstring& commandLine, DWORD creationFlags)
{
    HANDLE outputWrite = nullptr;
    HANDLE errorsWrite = nullptr;
    m_output = StartReading(outputWrite);
    m_errors = StartReading(errorsWrite);
    m_job = CreateKillOnCloseJob();

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = outputWrite;
    startup.hStdError = errorsWrite;
    if (outputWrite && errorsWrite)
        StartInJob(m_job, commandLine, /*inheritHandles=*/TRUE, creationFlags, startup, m_info);
    // Only the child holds the write ends now: the readers see the end when it is gone.
    if (outputWrite)
        CloseHandle(outputWrite);
    if (errorsWrite)
        CloseHandle(errorsWrite);
}

PipedProcess::~PipedProcess() { EndJob(m_job, m_info); }

DWORD PipedProcess::Wait(DWORD timeoutMs)
{
    if (!m_info.hProcess || !m_output->Ended || !m_errors->Ended)
        return ~0u;
    const HANDLE all[] = {m_info.hProcess, m_output->Ended, m_errors->Ended};
    if (WaitForMultipleObjects(3, all, /*bWaitAll=*/TRUE, timeoutMs) != WAIT_OBJECT_0)
        return ~0u;
    DWORD code = ~0u;
    GetExitCodeProcess(m_info.hProcess, &code);
    return code;
}

DWORD PipedProcess::WaitForExit(DWORD timeoutMs)
{
    if (!m_info.hProcess || WaitForSingleObject(m_info.hProcess, timeoutMs) != WAIT_OBJECT_0)
        return ~0u;
    if (m_output->Ended && m_errors->Ended) {
        const HANDLE streams[] = {m_output->Ended, m_errors->Ended};
        WaitForMultipleObjects(2, streams, /*bWaitAll=*/TRUE, 1000);
    }
    DWORD code = ~0u;
    GetExitCodeProcess(m_info.hProcess, &code);
    return code;
}

std::wstring PipedProcess::Output() const { return m_output->Text(); }
std::wstring PipedProcess::Errors() const { return m_errors->Text(); }

bool PipedProcess::WaitForErrors(const std::wstring& text, DWORD timeoutMs) const
{
    return WaitUntil([&] { return Errors().find(text) != std::wstring::npos; }, timeoutMs);
}

ProductRun RunProductPiped(const std::wstring& arguments, DWORD timeoutMs)
{
    PipedProcess process(L"\"" + ProductExePath() + L"\" " + arguments);
    ProductRun run;
    run.ExitCode = process.WaitForExit(timeoutMs);
    run.Output = process.Output();
    run.Errors = process.Errors();
    return run;
}

std::wstring WideFromUtf8(const std::string& bytes)
{
    std::wstring text;
    if (bytes.empty())
        return text;
    const int length = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()),
                                           nullptr, 0);
    text.assign(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], length);
    return text;
}

std::vector<std::wstring> LinesOf(const std::wstring& text)
{
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find(L"\r\n", start);
        if (end == std::wstring::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::wstring SystemMessage(DWORD code)
{
    wchar_t text[1024] = L"";
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, text, 1024, nullptr);
    std::wstring message(text, length);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
        message.pop_back();
    return message;
}

DWORD ServiceState()
{
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(
        manager ? OpenServiceW(manager.Get(), L"Varnholt Scheduling", SERVICE_QUERY_STATUS) : nullptr);
    if (!service)
        return 0;
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(service.Get(), &status))
        return 0;
    return status.dwCurrentState;
}

void RemoveServiceCompletely()
{
    {
        UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        UniqueServiceHandle service(
            manager ? OpenServiceW(manager.Get(), L"Varnholt Scheduling", SERVICE_ALL_ACCESS) : nullptr);
        if (!service)
            return;
        SERVICE_STATUS status = {};
        ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
        WaitUntil([&] {
            return QueryServiceStatus(service.Get(), &status) && status.dwCurrentState == SERVICE_STOPPED;
        }, 30000);
        DeleteService(service.Get());
    }
    WaitUntil([] { return ServiceState() == 0; }, 30000);
    // The entry can be gone while its process is still ending; a service started meanwhile
    // under the same name may meet it.
    WaitUntil([] { return CountProcesses(L"VarnholtScheduling.exe") == 0; }, 30000);
}

namespace {

// Calls found(process id) for each process that runs an executable of this file name;
// false when the processes cannot be listed.
template <class Found> bool ForEachProcess(const wchar_t* exeName, Found found)
{
    UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more;
         more = Process32NextW(snapshot.Get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, exeName) == 0)
            found(entry.th32ProcessID);
    }
    return true;
}

}  // namespace

int CountProcesses(const wchar_t* exeName)
{
    int count = 0;
    return ForEachProcess(exeName, [&](DWORD) { ++count; }) ? count : -1;
}

void EndProcesses(const wchar_t* exeName)
{
    ForEachProcess(exeName, [](DWORD id) {
        UniqueHandle process(OpenProcess(PROCESS_TERMINATE, /*bInheritHandle=*/FALSE, id));
        if (process)
            TerminateProcess(process.Get(), 1);
    });
}

HANDLE OpenSpawnedChild(const std::wstring& idFile, DWORD timeoutMs)
{
    DWORD id = 0;
    WaitUntil([&] {
        id = static_cast<DWORD>(std::strtoul(ReadFileBytes(idFile).c_str(), nullptr, 10));
        return id != 0;
    }, timeoutMs);
    if (id == 0)
        return nullptr;
    return OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION,
                       /*bInheritHandle=*/FALSE, id);
}

bool StillRunning(HANDLE process) { return WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }

bool RecordingEventSink::Report(WORD type, DWORD messageId, const std::vector<std::wstring>& inserts)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_events.push_back(RecordedEvent{VisibleEventId(messageId), type, inserts});
    return !m_fail;
}

std::vector<RecordedEvent> RecordingEventSink::Events() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_events;
}

std::vector<RecordedEvent> RecordingEventSink::EventsWithId(WORD id) const
{
    std::vector<RecordedEvent> found;
    for (const RecordedEvent& event : Events()) {
        if (event.Id == id)
            found.push_back(event);
    }
    return found;
}

void StopSchedulerLoop(std::thread& worker)
{
    if (!worker.joinable())
        return;
    InterlockedExchange(&SchedulerStopFlag, 1);
    SetEvent(SchedulerStopEvent());
    UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, kScheduleCheckEventName));
    if (event)
        SetEvent(event.Get());
    StopSlotChild(ScanSlot, 200);
    worker.join();
}

bool OwnedByUsers(HANDLE object)
{
    CSecurityDescriptor security;
    return security.ReadFromHandle(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION) ==
               ERROR_SUCCESS &&
           CSid(WinBuiltinUsersSid).Equal(security.Owner());
}
