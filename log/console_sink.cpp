#include "log/console_sink.h"

#include "log/logger.h"
#include "support/console_text.h"
#include "support/never_destroyed.h"

#include <atomic>

namespace {

// The highest level that the console shows whatever Debug says: the milestones and
// failures (0) and the installation's own line (1).
constexpr int kAlwaysShownLevel = 1;

// Aligns a continuation under the message, past "[hh:mm:ss] ".
constexpr const wchar_t* kIndent = L"           ";

constexpr const wchar_t* kElevationHint =
    L"Run this command from an elevated command prompt (Run as administrator).";

// The sink's stream, null while it is off. Changed only while the sink is not registered
// with the log; read by the log's threads.
std::atomic<HANDLE> SinkStream{nullptr};

// Every line feed that does not follow a CR becomes CR LF.
std::wstring WithCrLf(const std::wstring& text)
{
    std::wstring result;
    result.reserve(text.size() + 4);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\n' && (i == 0 || text[i - 1] != L'\r'))
            result += L'\r';
        result += text[i];
    }
    return result;
}

// Each line of text, its last included, indented and ended with CR LF.
std::wstring Indented(const std::wstring& text)
{
    std::wstring result = kIndent;
    for (size_t i = 0; i < text.size(); ++i) {
        result += text[i];
        if (text[i] == L'\n' && i + 1 < text.size())
            result += kIndent;
    }
    return result + L"\r\n";
}

// The console as one of the log's sinks.
class CConsoleSink : public CLogSink {
public:
    bool Takes(int level, bool written) const override { return ConsoleSinkShows(level, written); }
    void Take(const LogLine& line) override
    {
        WriteConsoleLine(ConsoleLineText(line.LocalTime, line.Message, line.Error));
    }
};

// Never destroyed: a thread may still log while the process ends.
NeverDestroyed<CConsoleSink> TheConsoleSink;

}  // namespace

bool StartConsoleSink(HANDLE stream)
{
    bool usable = false;
    if (stream != nullptr && stream != INVALID_HANDLE_VALUE) {
        const DWORD type = GetFileType(stream);
        usable = type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE || type == FILE_TYPE_DISK;
    }
    // Out of the log while the stream changes, so that no line is half written to either.
    RemoveLogSink(&TheConsoleSink.Get());
    SinkStream.store(usable ? stream : nullptr);
    if (usable)
        AddLogSink(&TheConsoleSink.Get());
    return usable;
}

void StopConsoleSink()
{
    RemoveLogSink(&TheConsoleSink.Get());
    SinkStream.store(nullptr);
}

bool ConsoleSinkShows(int level, bool written)
{
    return SinkStream.load(std::memory_order_relaxed) != nullptr &&
           (written || level <= kAlwaysShownLevel);
}

std::wstring ErrorExplanation(const LoggedError& error)
{
    std::wstring text;
    if (error.Origin == ErrorOrigin::None)
        return text;
    const std::wstring meaning = SystemErrorText(error.Code);
    if (!meaning.empty())
        text += Indented(WithCrLf(meaning));
    if (error.Origin == ErrorOrigin::ServiceManager && error.Code == ERROR_ACCESS_DENIED)
        text += Indented(kElevationHint);
    return text;
}

std::wstring ConsoleLineText(const SYSTEMTIME& localTime, const std::wstring& message,
                             const LoggedError& error)
{
    wchar_t stamp[16];
    _snwprintf(stamp, 15, L"[%02d:%02d:%02d] ", localTime.wHour, localTime.wMinute,
               localTime.wSecond);
    stamp[15] = L'\0';
    return stamp + WithCrLf(message) + L"\r\n" + ErrorExplanation(error);
}

void WriteConsoleLine(const std::wstring& text)
{
    WriteStreamText(SinkStream.load(), text);
}
