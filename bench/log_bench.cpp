// The cost of one log line: LogMessage of a typical line at a level that passes and at
// one that does not, against one WriteFile of the same bytes to a file opened the way the
// log file is; and lines per second from four threads at once, for both. The debugger
// output, which every passing line also goes to, is timed alone as well. The console sink
// stays off, as it is in the service.
#include "bench/benchmarks.h"

#include "bench/bench_support.h"
#include "log/logger.h"
#include "support/registry_key.h"
#include "support/srw_lock.h"
#include "tests/common/registry.h"
#include "tests/common/scratch_folder.h"

#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 4;
const wchar_t kApplication[] = L"Varnholt Example";
constexpr int kAnswer = 600;

// The line the log writes for the message, as its bytes in the file.
std::string FileBytesOf(const std::wstring& line)
{
    const int length = static_cast<int>(line.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, line.data(), length, nullptr, 0, nullptr, nullptr);
    std::string utf8(bytes > 0 ? bytes : 0, '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, line.data(), length, &utf8[0], bytes, nullptr, nullptr);
    std::string out;
    for (const char c : utf8) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

UniqueFileHandle OpenLikeTheLog(const std::wstring& path)
{
    return UniqueFileHandle(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_ARCHIVE, nullptr));
}

void PassingLines(int count)
{
    for (int i = 0; i < count; ++i)
        LOG(2, L"AppName %s: %d secs", kApplication, kAnswer);
}

void FilteredLines(int count)
{
    for (int i = 0; i < count; ++i)
        LOG(3, L"AppName %s: %d secs", kApplication, kAnswer);
}

// What LogMessage does for a passing line, step by step, less the debugger output: the
// logger's own share of a line's cost.
void LinesWithoutDebuggerOutput(int count)
{
    CLogFile& log = TheLogFile();
    for (int i = 0; i < count; ++i) {
        if (!LevelPasses(2, log.Threshold()))
            continue;
        const DWORD savedError = GetLastError();
        SYSTEMTIME now;
        GetLocalTime(&now);
        wchar_t message[1024];
        _snwprintf(message, 1023, L"AppName %s: %d secs", kApplication, kAnswer);
        message[1023] = L'\0';
        const std::wstring line = FrameLogLine(__FILE__, __LINE__, now, message);
        ExclusiveLock hold(log.Lock);
        log.FollowDate(now);
        log.AppendToMemoryLog(line);
        log.WriteLine(line);
        SetLastError(savedError);
    }
}

void RawWrites(HANDLE file, const std::string& bytes, int count)
{
    for (int i = 0; i < count; ++i) {
        DWORD written = 0;
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }
}

void DebuggerOutput(const std::wstring& line, int count)
{
    for (int i = 0; i < count; ++i)
        OutputDebugStringW(line.c_str());
}

template <class Work> double Threaded(Work work)
{
    const Stopwatch watch;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(work);
    for (std::thread& thread : threads)
        thread.join();
    return watch.Seconds();
}

}  // namespace

int RunLogBench(int lines, int repetitions)
{
    ScratchDirectory folder(L"vh-bench-log");
    SetLogDirectory(folder.Path(), FileIdentityAt(folder.Path()));
    DeleteProductKey();
    SetProductDword(L"", L"Debug", 2);
    OpenDailyLog();

    SYSTEMTIME now;
    GetLocalTime(&now);
    const std::wstring line =
        FrameLogLine(__FILE__, __LINE__, now, L"AppName Varnholt Example: 600 secs");
    const std::string bytes = FileBytesOf(line);
    UniqueFileHandle raw = OpenLikeTheLog(folder.File(L"raw.log"));
    if (!raw)
        return 1;

    const int filtered = lines * 20;
    PassingLines(lines / 10);
    RawWrites(raw.Get(), bytes, lines / 10);
    for (int r = 0; r < repetitions; ++r) {
        Stopwatch watch;
        PassingLines(lines);
        PrintSample("log-passing", watch.Seconds() * 1e9 / lines);

        watch.Restart();
        RawWrites(raw.Get(), bytes, lines);
        PrintSample("raw-write", watch.Seconds() * 1e9 / lines);

        watch.Restart();
        FilteredLines(filtered);
        PrintSample("log-filtered", watch.Seconds() * 1e9 / filtered);

        watch.Restart();
        DebuggerOutput(line, lines);
        PrintSample("debugger-output", watch.Seconds() * 1e9 / lines);

        watch.Restart();
        LinesWithoutDebuggerOutput(lines);
        PrintSample("log-without-debugger", watch.Seconds() * 1e9 / lines);

        const int each = lines / kThreads;
        const double logSeconds = Threaded([each] { PassingLines(each); });
        PrintSample("log-threads", each * kThreads / logSeconds);
        const HANDLE file = raw.Get();
        const double rawSeconds = Threaded([file, &bytes, each] { RawWrites(file, bytes, each); });
        PrintSample("raw-threads", each * kThreads / rawSeconds);
    }

    {
        CLogFile& log = TheLogFile();
        ExclusiveLock hold(log.Lock);
        log.Close();
    }
    raw.Reset();
    DeleteProductKey();
    return 0;
}
