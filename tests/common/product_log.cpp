#include "tests/common/product_log.h"

#include "tests/common/files.h"
#include "tests/common/text.h"
#include "tests/common/wait_until.h"

#include <shlobj.h>

std::wstring ProductLogDirectory()
{
    wchar_t folder[MAX_PATH] = L"";
    SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, folder);
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
    const std::string bytes = ReadFileBytes(TodaysProductLog());
    return CompleteLinesOf(WideFromUtf8(skip < bytes.size() ? bytes.substr(skip) : std::string()));
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
