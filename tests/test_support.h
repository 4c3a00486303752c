#pragma once
// Shared pieces of the tests: paths of the programs built beside the tests, a temporary
// folder per test, the product key reset around a test, running a program and reading
// the log.
#include "log/event_log.h"
#include "support/file_identity.h"
#include "support/security_descriptor.h"
#include "support/unique_resource.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The folder that holds the test executable, VarnholtScheduling.exe and VarnholtTestChild.exe.
std::wstring BinDirectory();
std::wstring ProductExePath();
std::wstring TestChildPath();
// A command line that starts the test child with the given arguments.
std::wstring TestChildCommand(const std::wstring& arguments);

// A fresh folder under the temporary directory, removed with its contents at the end.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    const std::wstring& Path() const { return m_path; }
    std::wstring File(const std::wstring& name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
};
void RemoveTree(const std::wstring& path);

// Creates (or truncates) a file, or opens a directory, and sets its last-write time.
// False when it cannot.
bool WriteFileWrittenAt(const std::wstring& path, const FILETIME& lastWrite);
bool SetLastWriteTime(const std::wstring& path, const FILETIME& lastWrite);
// A time moved by a signed number of 100-nanosecond units.
FILETIME ShiftFileTime(const FILETIME& time, long long units);

// A SYSTEMTIME that holds only the time of day given (the date is all zero).
SYSTEMTIME SystemTimeOfDay(WORD hour, WORD minute, WORD second);
constexpr long long kFileTimeUnitsPerDay = 864000000000LL;

bool RunningUnderWine();
// A symbolic link to a directory, made from the Unix side (ln -s), which only Wine lets a
// test do: Made() is false elsewhere, and when the link did not appear. The link alone is
// removed on destruction, while its target still exists.
class DirectoryLink {
public:
    DirectoryLink(const std::wstring& link, const std::wstring& target);
    ~DirectoryLink();
    DirectoryLink(const DirectoryLink&) = delete;
    DirectoryLink& operator=(const DirectoryLink&) = delete;
    bool Made() const { return m_made; }

private:
    std::wstring m_link;
    bool m_made = false;
};
// The same for a link to a file. Under Wine such a link looks like a plain file with the
// target's attributes, and DeleteFileW on it deletes the target: the link is removed from
// the Unix side. The target must exist while the link is made and removed, or Wine does
// not list the link and neither can be seen to happen.
class FileLink {
public:
    FileLink(const std::wstring& link, const std::wstring& target);
    ~FileLink();
    FileLink(const FileLink&) = delete;
    FileLink& operator=(const FileLink&) = delete;
    bool Made() const { return m_made; }

private:
    std::wstring m_link;
    bool m_made = false;
};
// Removes a link without touching its target. Wine's RemoveDirectoryW goes through a link
// and removes an empty target, so under Wine the link is removed from the Unix side.
void RemoveLink(const std::wstring& link);

// Makes another Unix user (uid 12345) the owner of a file or folder, from the Unix side, and
// waits until Wine reports the change (owner ANONYMOUS LOGON). Wine only, and only for a
// test run as root; false when it did not happen.
bool GiveToAnotherUnixUser(const std::wstring& path);

// The entries of a security descriptor's DACL, each with its trustee as a SID string
// ("S-1-5-18"). Empty for a descriptor without a DACL.
struct AceEntry {
    BYTE Type;
    BYTE Flags;
    ACCESS_MASK Mask;
    std::wstring Sid;
};
std::vector<AceEntry> AcesOf(PSECURITY_DESCRIPTOR descriptor);
// The DACL of a file or directory as the system reports it; empty when it cannot be read.
std::vector<AceEntry> AcesOf(const std::wstring& path);
// The rights that allow entries grant a trustee ("S-1-1-0"); denials are not subtracted.
ACCESS_MASK RightsGrantedTo(const std::vector<AceEntry>& aces, const wchar_t* sid);
// The owner, group and DACL of a file or directory in SDDL, or empty.
std::wstring SecurityTextOf(const std::wstring& path);

// Deletes the product key (32-bit view) when made and when destroyed, so that every test
// starts from and leaves an empty configuration.
class ProductKeyReset {
public:
    ProductKeyReset();
    ~ProductKeyReset();
    ProductKeyReset(const ProductKeyReset&) = delete;
    ProductKeyReset& operator=(const ProductKeyReset&) = delete;
};
// Writes below HKLM\SOFTWARE\Varnholt (32-bit view); subkey may be empty for the key itself.
void SetProductDword(const std::wstring& subkey, const wchar_t* name, DWORD value);
void SetProductString(const std::wstring& subkey, const wchar_t* name, const std::wstring& value,
                      DWORD type = REG_SZ);
void SetProductValue(const std::wstring& subkey, const wchar_t* name, DWORD type,
                     const void* data, DWORD size);
// Registers an application subkey with its three values.
void RegisterApplication(const std::wstring& name, const std::wstring& scheduler,
                         const std::wstring& scanner, const std::wstring& appDir);
bool ReadProductDword(const std::wstring& subkey, const wchar_t* name, DWORD& value);

// Runs a command line and waits; returns the exit code, or ~0u if it could not start or
// did not end within the time (it is then terminated).
DWORD RunAndCollect(const std::wstring& commandLine, DWORD timeoutMs);
// Runs VarnholtScheduling.exe with the given argument text.
DWORD RunProduct(const std::wstring& arguments, DWORD timeoutMs = 60000);

// This process's token with the Administrators group for deny only, as a primary token that
// CreateProcessAsUserW accepts without privileges: an administrator's run without
// elevation. Null when it cannot be made.
HANDLE MakeUnelevatedToken();

// What a run of VarnholtScheduling.exe under a debugger showed: its exit code (~0u when it
// could not start or did not end in time) and the texts it wrote to the debugger output.
struct DebuggedRun {
    DWORD ExitCode = ~0u;
    std::vector<std::wstring> DebugOutput;
};
// Runs VarnholtScheduling.exe with the given argument text as its debugger, as the
// account of token (a primary token) or, when token is null, as this process.
DebuggedRun RunProductDebugged(const std::wstring& arguments, HANDLE token = nullptr,
                               DWORD timeoutMs = 60000);

// Files as text: UTF-8 bytes read whole, and their UTF-16 form.
std::string ReadFileBytes(const std::wstring& path);
std::wstring ReadUtf8File(const std::wstring& path);
bool FileExists(const std::wstring& path);

// The product's log directory (the common application-data folder plus "\Varnholt") and
// today's log file in it.
std::wstring ProductLogDirectory();
std::wstring TodaysProductLog();
// The lines of today's product log after the first `skip` bytes (see LogSize).
std::vector<std::wstring> LogLinesAfter(size_t skip);
size_t LogSize();
// The message of a log line (the text after "] "), without its trailing blank.
std::wstring MessageOf(const std::wstring& line);
// True when some line's message equals message.
bool HasMessage(const std::vector<std::wstring>& lines, const std::wstring& message);
// Waits up to timeoutMs for the log to hold message after `skip` bytes.
bool WaitForLogMessage(size_t skip, const std::wstring& message, DWORD timeoutMs);
// Polls a condition every pollMs up to timeoutMs.
template <class Condition> bool WaitUntil(Condition condition, DWORD timeoutMs, DWORD pollMs = 50)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        if (condition())
            return true;
        if (GetTickCount64() >= end)
            return false;
        Sleep(pollMs);
    }
}

// Closes this process's log file, under the logger's lock, and sets its threshold back to 0.
void CloseTheLog();
// The handle of this process's log file, read under the logger's lock.
HANDLE TheLogFileHandle();

// Sends this process's own log to a scratch folder for the life of the object, with the
// product key's Debug set to threshold (the product key must have been reset first).
class CapturedLog {
public:
    explicit CapturedLog(DWORD threshold = 6);
    ~CapturedLog();
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;
    // The messages written so far, in order.
    std::vector<std::wstring> Messages() const;
    bool Has(const std::wstring& message) const;
    // How many messages equal message.
    int Count(const std::wstring& message) const;
    std::wstring Text() const;

private:
    ScratchDirectory m_folder;
    std::wstring m_savedDirectory;
    FileIdentity m_savedIdentity;
};

// A test child that runs in the background, killed at the end if still running.
class BackgroundChild {
public:
    explicit BackgroundChild(const std::wstring& arguments);
    ~BackgroundChild();
    BackgroundChild(const BackgroundChild&) = delete;
    BackgroundChild& operator=(const BackgroundChild&) = delete;
    HANDLE Process() const { return m_info.hProcess; }
    DWORD Id() const { return m_info.dwProcessId; }
    bool Running() const { return WaitForSingleObject(m_info.hProcess, 0) == WAIT_TIMEOUT; }

private:
    PROCESS_INFORMATION m_info = {};
};

// Any program running in the background inside a job object: closing the job at the end
// ends the program and every child it started.
class BackgroundProcess {
public:
    explicit BackgroundProcess(const std::wstring& commandLine);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;
    bool Started() const { return m_info.hProcess != nullptr; }
    HANDLE Process() const { return m_info.hProcess; }

private:
    HANDLE m_job = nullptr;
    PROCESS_INFORMATION m_info = {};
};

// A program whose standard output and standard error are pipes that the test reads while
// it runs, started inside a job object: the end of the object ends the program and every
// process it started. Standard input is none.
class PipedProcess {
public:
    explicit PipedProcess(const std::wstring& commandLine, DWORD creationFlags = 0);
    ~PipedProcess();
    PipedProcess(const PipedProcess&) = delete;
    PipedProcess& operator=(const PipedProcess&) = delete;
    bool Started() const { return m_info.hProcess != nullptr; }
    DWORD Id() const { return m_info.dwProcessId; }
    bool Running() const { return WaitForSingleObject(m_info.hProcess, 0) == WAIT_TIMEOUT; }
    // Waits until the program has ended and every holder of the pipes has closed them;
    // returns its exit code, or ~0u when that takes longer than timeoutMs.
    DWORD Wait(DWORD timeoutMs);
    // Waits up to timeoutMs for the program to end and returns its exit code (~0u if it
    // did not), then gives the readers up to a second to reach the end of the pipes, which
    // a process it started may hold open.
    DWORD WaitForExit(DWORD timeoutMs);
    // What has arrived so far, its UTF-8 read as UTF-16.
    std::wstring Output() const;
    std::wstring Errors() const;
    // Polls Errors() until it holds text.
    bool WaitForErrors(const std::wstring& text, DWORD timeoutMs) const;

    struct Stream;

private:
    HANDLE m_job = nullptr;
    PROCESS_INFORMATION m_info = {};
    std::shared_ptr<Stream> m_output;
    std::shared_ptr<Stream> m_errors;
};

// Runs VarnholtScheduling.exe with the given argument text, reading both of its streams
// (PipedProcess::WaitForExit).
struct ProductRun {
    DWORD ExitCode = ~0u;
    std::wstring Output;
    std::wstring Errors;
};
ProductRun RunProductPiped(const std::wstring& arguments, DWORD timeoutMs = 60000);

// UTF-8 bytes as UTF-16.
std::wstring WideFromUtf8(const std::string& bytes);
// Text split at its CR LF line ends; a last line without one is kept.
std::vector<std::wstring> LinesOf(const std::wstring& text);
// The system's text for an error code (FormatMessageW, the user's language), without its
// line end; empty when there is none.
std::wstring SystemMessage(DWORD code);

// The installed service's current state (SERVICE_RUNNING, ...), or 0 when it is not installed.
DWORD ServiceState();
// Stops and deletes the service if it is installed, and waits until it is gone.
void RemoveServiceCompletely();

// How many processes run an executable of this file name (for example "VarnholtTestChild.exe").
int CountProcesses(const wchar_t* exeName);

// Records the Event Log reports made through it (SetEventSink), in order; any thread.
struct RecordedEvent {
    WORD Id = 0;   // as an administrator sees it
    WORD Type = 0;
    std::vector<std::wstring> Inserts;
};
class RecordingEventSink : public CEventSink {
public:
    bool Report(WORD type, DWORD messageId, const std::vector<std::wstring>& inserts) override;
    std::vector<RecordedEvent> Events() const;
    // The events with this ID.
    std::vector<RecordedEvent> EventsWithId(WORD id) const;
    // Makes every later report fail (and still be recorded).
    void Fail(bool fail) { m_fail = fail; }

private:
    mutable std::mutex m_lock;
    std::vector<RecordedEvent> m_events;
    std::atomic<bool> m_fail{false};
};

// What the stop handler does to a worker loop running on worker: the flag, the stop event,
// the check event and the child in the ScanSlot; then joins it. Nothing when not joinable.
void StopSchedulerLoop(std::thread& worker);

// Terminates every process that runs an executable of this file name: what a failed test
// left running.
void EndProcesses(const wchar_t* exeName);

// The process that a test child's --spawn started, by the id it wrote to idFile, opened for
// waiting, termination and its exit code; waits up to timeoutMs for the file. Null when
// no id appeared or the process could not be opened.
HANDLE OpenSpawnedChild(const std::wstring& idFile, DWORD timeoutMs = 20000);
// True while the process runs.
bool StillRunning(HANDLE process);

// True when a kernel object's owner reads back as the local Users group.
bool OwnedByUsers(HANDLE object);
// A peer's object made first under one of the service's names, owned by Users (an account
// the service does not trust) and open to everyone: create(security attributes) makes it.
// Null where the system does not keep the owner given; the test then skips.
template <class Create> UniqueHandle SquatAsUsers(Create create)
{
    CSecurityAttributes security(L"O:BUD:(A;;GA;;;WD)");
    UniqueHandle object(security.IsValid() ? create(security.Get()) : nullptr);
    return object && OwnedByUsers(object.Get()) ? std::move(object) : UniqueHandle();
}
