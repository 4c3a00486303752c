#include "support/console_text.h"

#include "support/unique_resource.h"

void WriteStreamText(HANDLE stream, const std::wstring& text)
{
    if (stream == nullptr || stream == INVALID_HANDLE_VALUE || text.empty())
        return;
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(stream, &mode)) {
        WriteConsoleW(stream, text.data(), static_cast<DWORD>(text.size()), &written,
                      /*lpReserved=*/nullptr);
        return;
    }
    const int length = static_cast<int>(text.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0,
                                          /*lpDefaultChar=*/nullptr, /*lpUsedDefaultChar=*/nullptr);
    if (bytes <= 0)
        return;
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, &utf8[0], bytes, nullptr, nullptr);
    WriteFile(stream, utf8.data(), static_cast<DWORD>(utf8.size()), &written,
              /*lpOverlapped=*/nullptr);
}

std::wstring SystemErrorText(DWORD code)
{
    const DWORD savedError = GetLastError();
    wchar_t* buffer = nullptr;
    // Language 0: the thread's language, then the user's, then the system's, as the
    // system finds a text.
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        /*lpSource=*/nullptr, code, /*dwLanguageId=*/0, reinterpret_cast<wchar_t*>(&buffer),
        /*nSize=*/0, /*Arguments=*/nullptr);
    UniqueLocalMemory owner(buffer);
    std::wstring text;
    if (length > 0 && buffer)
        text.assign(buffer, length);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
        text.pop_back();
    SetLastError(savedError);
    return text;
}
