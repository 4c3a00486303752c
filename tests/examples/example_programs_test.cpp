// The example application's programs, run as the service runs them: the schedule query
// program against the product key in the 32-bit view, the main task in its working
// directory, and both as the registration file registers them.
#include "schedule/timings.h"
#include "support/unique_resource.h"
#include "tests/common/files.h"
#include "tests/common/processes.h"
#include "tests/common/program_paths.h"
#include "tests/common/registry.h"
#include "tests/common/scratch_folder.h"
#include "tests/common/wait_until.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const wchar_t kExampleApp[] = L"Varnholt Example";


struct Finished {
    DWORD ExitCode = ~0u;   // ~0u: did not start, or did not end in time (then terminated)
    std::string Output;     // standard output and standard error together, or why it did not start
};

// Runs commandLine in directory with a pipe for its standard output and error.
Finished RunIn(const std::wstring& commandLine, const std::wstring& directory, DWORD timeoutMs = 30000)
{
    Finished result;
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, /*bInheritHandle=*/TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 1 << 16)) {
        result.Output = "CreatePipe failed, error " + std::to_string(GetLastError());
        return result;
    }
    UniqueHandle reader(readEnd);
    UniqueHandle writer(writeEnd);
    SetHandleInformation(reader.Get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writer.Get();
    startup.hStdError = writer.Get();
    PROCESS_INFORMATION info = {};
    std::wstring buffer = commandLine;
    if (!CreateProcessW(nullptr, &buffer[0], nullptr, nullptr, /*bInheritHandles=*/TRUE, 0, nullptr,
                        directory.c_str(), &startup, &info)) {
        result.Output = "CreateProcess failed, error " + std::to_string(GetLastError());
        return result;
    }
    const UniqueProcessInformation started(info);
    writer.Reset();
    if (WaitForSingleObject(started.Process(), timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(started.Process(), 1);
        WaitForSingleObject(started.Process(), 5000);
        result.Output = "did not end in time; ";
    } else {
        GetExitCodeProcess(started.Process(), &result.ExitCode);
    }
    // The child has ended and its end of the pipe with it: read to the end.
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(reader.Get(), chunk, sizeof(chunk), &read, nullptr) && read > 0)
        result.Output.append(chunk, read);
    return result;
}

std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\""; }
std::wstring SchedulerPath() { return BinDirectory() + L"\\RunAtScheduler.exe"; }
std::wstring TaskPath() { return BinDirectory() + L"\\ExampleTask.exe"; }

std::wstring SchedulerCommand(const std::wstring& subkey)
{
    return Quoted(SchedulerPath()) + L" " + Quoted(subkey);
}

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

// The local time of day `minutesFromNow` from now, as "HH:MM".
std::wstring LocalTimeOfDayIn(int minutesFromNow)
{
    FILETIME utc;
    GetSystemTimeAsFileTime(&utc);
    ULARGE_INTEGER ticks;
    ticks.LowPart = utc.dwLowDateTime;
    ticks.HighPart = utc.dwHighDateTime;
    ticks.QuadPart += static_cast<ULONGLONG>(static_cast<LONGLONG>(minutesFromNow) * 60 * 10000000);
    utc.dwLowDateTime = ticks.LowPart;
    utc.dwHighDateTime = ticks.HighPart;
    FILETIME local;
    SYSTEMTIME time;
    FileTimeToLocalFileTime(&utc, &local);
    FileTimeToSystemTime(&local, &time);
    wchar_t text[8];
    _snwprintf(text, 7, L"%02u:%02u", time.wHour, time.wMinute);
    text[7] = L'\0';
    return text;
}

std::wstring ReadProductString(const std::wstring& subkey, const wchar_t* name)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (L"SOFTWARE\\Varnholt\\" + subkey).c_str(), 0,
                      KEY_QUERY_VALUE | KEY_WOW64_32KEY, &opened) != ERROR_SUCCESS)
        return L"<no key>";
    UniqueRegistryKey key(opened);
    wchar_t value[1024] = L"";
    DWORD type = REG_NONE;
    DWORD size = sizeof(value) - sizeof(wchar_t);
    if (RegQueryValueExW(key.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return L"<missing>";
    return value;
}

class ExampleSchedulerTest : public ::testing::Test {
protected:
    ProductKeyReset m_reset;
    ScratchDirectory m_appDir;
};

TEST_F(ExampleSchedulerTest, WritesTheSecondsUntilRunAtIntoTheThirtyTwoBitView)
{
    SetProductDword(kExampleApp, L"ScheduleEnabled", 7);   // an old answer, to be replaced
    SetProductString(kExampleApp, L"RunAt", LocalTimeOfDayIn(10));
    Finished run = RunIn(SchedulerCommand(kExampleApp), m_appDir.Path());
    EXPECT_EQ(0u, run.ExitCode) << run.Output;
    DWORD answer = 0;
    ASSERT_TRUE(ReadProductDword(kExampleApp, L"ScheduleEnabled", answer));
    // Nine to ten minutes: the time of day has whole minutes, now has seconds.
    EXPECT_GE(answer, 540u - 30u);
    EXPECT_LE(answer, 600u);

    // Ten minutes ago is tomorrow's run, about a day less ten minutes away.
    SetProductString(kExampleApp, L"RunAt", LocalTimeOfDayIn(-10));
    run = RunIn(SchedulerCommand(kExampleApp), m_appDir.Path());
    EXPECT_EQ(0u, run.ExitCode) << run.Output;
    ASSERT_TRUE(ReadProductDword(kExampleApp, L"ScheduleEnabled", answer));
    EXPECT_GE(answer, 86400u - 660u - 30u);
    EXPECT_LE(answer, 86400u - 600u);

    // Nothing was written where the service does not look.
    EXPECT_FALSE(RegistryKeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Varnholt", KEY_WOW64_64KEY));
}

TEST_F(ExampleSchedulerTest, SubkeyNameOutsideAsciiArrivesIntact)
{
    const std::wstring app = L"Varnholt \u00C4rger \u03A9 \u2713";
    SetProductString(app, L"RunAt", L"00:00");
    const Finished run = RunIn(SchedulerCommand(app), m_appDir.Path());
    EXPECT_EQ(0u, run.ExitCode) << run.Output;
    DWORD answer = 0;
    ASSERT_TRUE(ReadProductDword(app, L"ScheduleEnabled", answer));
    EXPECT_GE(answer, 1u);
    EXPECT_LE(answer, 86400u + 3600u);
}

TEST_F(ExampleSchedulerTest, MissingOrMalformedConfigurationExitsOneAndWritesNothing)
{
    // No key at all.
    Finished run = RunIn(SchedulerCommand(kExampleApp), m_appDir.Path());
    EXPECT_EQ(1u, run.ExitCode);
    EXPECT_TRUE(Contains(run.Output, "not registered")) << run.Output;
    EXPECT_FALSE(RegistryKeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Varnholt\\Varnholt Example", KEY_WOW64_32KEY));

    // The key without RunAt.
    SetProductDword(kExampleApp, L"ScheduleEnabled", 0);
    run = RunIn(SchedulerCommand(kExampleApp), m_appDir.Path());
    EXPECT_EQ(1u, run.ExitCode);
    EXPECT_TRUE(Contains(run.Output, "RunAt is missing")) << run.Output;

    for (const wchar_t* malformed : {L"24:00", L"2:3x", L"", L"2:30", L"02:30 "}) {
        SetProductString(kExampleApp, L"RunAt", malformed);
        run = RunIn(SchedulerCommand(kExampleApp), m_appDir.Path());
        EXPECT_EQ(1u, run.ExitCode) << run.Output;
        EXPECT_TRUE(Contains(run.Output, "not a time of day")) << run.Output;
    }
    SetProductDword(kExampleApp, L"RunAt", 230);
    run = RunIn(SchedulerCommand(kExampleApp), m_appDir.Path());
    EXPECT_EQ(1u, run.ExitCode);
    EXPECT_TRUE(Contains(run.Output, "REG_SZ")) << run.Output;

    DWORD answer = ~0u;
    ASSERT_TRUE(ReadProductDword(kExampleApp, L"ScheduleEnabled", answer));
    EXPECT_EQ(0u, answer);
}

TEST_F(ExampleSchedulerTest, WrongUsageExitsTwo)
{
    SetProductString(kExampleApp, L"RunAt", L"02:30");
    for (const std::wstring& arguments : {std::wstring(), std::wstring(L"\"\""),
                                          Quoted(kExampleApp) + L" extra", std::wstring(L"Varnholt\\Other")}) {
        const Finished run = RunIn(Quoted(SchedulerPath()) + L" " + arguments, m_appDir.Path());
        EXPECT_EQ(2u, run.ExitCode) << run.Output;
        EXPECT_TRUE(Contains(run.Output, "usage")) << run.Output;
    }
}

// "YYYY-MM-DD hh:mm:ss " and then the event.
void ExpectStampedLine(const std::wstring& line, const std::wstring& event)
{
    ASSERT_GT(line.size(), 20u) << "line of " << line.size() << " characters";
    for (size_t i = 0; i < 20; ++i) {
        const wchar_t expected = L"0000-00-00 00:00:00 "[i];
        if (expected == L'0')
            EXPECT_TRUE(line[i] >= L'0' && line[i] <= L'9') << "position " << i;
        else
            EXPECT_EQ(expected, line[i]) << "position " << i;
    }
    EXPECT_EQ(event, line.substr(20));
}

std::vector<std::wstring> Lines(const std::wstring& text)
{
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

class ExampleTaskTest : public ::testing::Test {
protected:
    ScratchDirectory m_scratch;
};

TEST_F(ExampleTaskTest, AppendsStampedLinesToItsFileInTheWorkingDirectory)
{
    const std::wstring appDir = m_scratch.File(L"App \u00C4rger \u03A9");
    ASSERT_TRUE(CreateDirectoryW(appDir.c_str(), nullptr));
    for (int run = 0; run < 2; ++run) {
        const Finished finished = RunIn(Quoted(TaskPath()), appDir);
        EXPECT_EQ(0u, finished.ExitCode) << finished.Output;
    }
    const std::vector<std::wstring> lines = Lines(ReadUtf8File(appDir + L"\\example-task.txt"));
    ASSERT_EQ(4u, lines.size());
    for (size_t i = 0; i < lines.size(); i += 2) {
        ExpectStampedLine(lines[i], L"Example task started in " + appDir);
        ExpectStampedLine(lines[i + 1], L"Example task finished");
    }
}

TEST_F(ExampleTaskTest, QuitsPromptlyOnWmQuitToItsPrimaryThread)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    std::wstring command = Quoted(TaskPath()) + L" --work-seconds 600";
    ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                               m_scratch.Path().c_str(), &startup, &info));
    const UniqueProcessInformation started(info);
    // A task that fails the test must not outlive it.
    struct Terminator {
        HANDLE Process;
        ~Terminator()
        {
            if (WaitForSingleObject(Process, 0) == WAIT_TIMEOUT) {
                TerminateProcess(Process, 1);
                WaitForSingleObject(Process, 5000);
            }
        }
    } terminator = {started.Process()};
    const std::wstring output = m_scratch.File(L"example-task.txt");
    // The task makes its message queue before it writes its first line.
    ASSERT_TRUE(WaitUntil([&] { return Lines(ReadUtf8File(output)).size() == 1; }, 10000));

    const ULONGLONG posted = GetTickCount64();
    ASSERT_TRUE(PostThreadMessageW(info.dwThreadId, WM_QUIT, 0, 0)) << GetLastError();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(started.Process(), 30000));
    // Within the service's grace: a task that takes longer to stop is terminated.
    EXPECT_LT(GetTickCount64() - posted, ProductTimings().KillGraceMs);
    DWORD code = 0;
    GetExitCodeProcess(started.Process(), &code);
    EXPECT_EQ(1u, code);
    const std::vector<std::wstring> lines = Lines(ReadUtf8File(output));
    ASSERT_EQ(2u, lines.size());
    ExpectStampedLine(lines[1], L"Example task stopped on request");
}

TEST_F(ExampleTaskTest, WrongUsageExitsTwoAndWritesNothing)
{
    for (const wchar_t* arguments : {L"--work-seconds", L"--work-seconds x", L"--work-seconds -1",
                                     L"--work-seconds 86401", L"--work-seconds 5 more", L"--other 5"}) {
        const Finished run = RunIn(Quoted(TaskPath()) + L" " + arguments, m_scratch.Path());
        EXPECT_EQ(2u, run.ExitCode) << run.Output;
        EXPECT_TRUE(Contains(run.Output, "usage")) << run.Output;
    }
    EXPECT_FALSE(FileExists(m_scratch.File(L"example-task.txt")));
}

// In a .reg file's strings every backslash is doubled.
std::string RegEscaped(const std::wstring& path)
{
    std::string text;
    for (const wchar_t c : path) {
        if (c == L'\\')
            text += "\\\\";
        else
            text += static_cast<char>(c);   // the test's folders are ASCII
    }
    return text;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to)
{
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
}

TEST(RegistrationFileTest, ImportedWithAdaptedPathsItRunsAsTheServiceRunsIt)
{
    ProductKeyReset reset;
    ScratchDirectory scratch;
    std::string reg = ReadFileBytes(BinDirectory() + L"\\varnholt-example.reg");
    ASSERT_TRUE(Contains(reg, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Varnholt\\Varnholt Example]"));
    ReplaceAll(reg, "C:\\\\Program Files\\\\Varnholt Example", RegEscaped(BinDirectory()));
    ReplaceAll(reg, "C:\\\\ProgramData\\\\Varnholt Example", RegEscaped(scratch.Path()));
    const std::wstring adapted = scratch.File(L"adapted.reg");
    {
        UniqueFileHandle file(CreateFileW(adapted.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        ASSERT_TRUE(file && WriteFile(file.Get(), reg.data(), static_cast<DWORD>(reg.size()), &written, nullptr));
    }
    ASSERT_EQ(0u, RunAndCollect(L"reg.exe import " + Quoted(adapted), 30000));

    EXPECT_EQ(L"02:30", ReadProductString(kExampleApp, L"RunAt"));
    const std::wstring scheduler = ReadProductString(kExampleApp, L"Scheduler");
    const std::wstring scanner = ReadProductString(kExampleApp, L"Scanner");
    const std::wstring appDir = ReadProductString(kExampleApp, L"AppDir");
    EXPECT_EQ(SchedulerCommand(kExampleApp), scheduler);
    EXPECT_EQ(Quoted(TaskPath()), scanner);
    EXPECT_EQ(scratch.Path(), appDir);

    // What the service does at a pass and at the due time.
    SetProductDword(kExampleApp, L"ScheduleEnabled", 0);
    Finished run = RunIn(scheduler, appDir);
    EXPECT_EQ(0u, run.ExitCode) << run.Output;
    DWORD answer = 0;
    ASSERT_TRUE(ReadProductDword(kExampleApp, L"ScheduleEnabled", answer));
    EXPECT_GE(answer, 1u);
    EXPECT_LE(answer, 86400u + 3600u);
    run = RunIn(scanner, appDir);
    EXPECT_EQ(0u, run.ExitCode) << run.Output;
    EXPECT_EQ(2u, Lines(ReadUtf8File(scratch.File(L"example-task.txt"))).size());
}

}  // namespace
