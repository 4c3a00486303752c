#include "support/text_format.h"

#include <cwchar>

namespace {

constexpr ULONGLONG kSecondsPerMinute = 60;
constexpr ULONGLONG kSecondsPerHour = 3600;
constexpr ULONGLONG kSecondsPerDay = 86400;

std::wstring TwoUnits(ULONGLONG big, const wchar_t* bigUnit, ULONGLONG small, const wchar_t* smallUnit)
{
    std::wstring text = FormatNumber(big) + L" " + bigUnit;
    if (small != 0)
        text += L" " + FormatNumber(small) + L" " + smallUnit;
    return text;
}

}  // namespace

std::wstring FormatNumber(ULONGLONG value)
{
    wchar_t text[32];
    _snwprintf(text, 31, L"%llu", value);
    text[31] = L'\0';
    return text;
}

std::wstring FormatDuration(ULONGLONG seconds)
{
    if (seconds < kSecondsPerMinute)
        return FormatNumber(seconds) + L" s";
    if (seconds < kSecondsPerHour)
        return TwoUnits(seconds / kSecondsPerMinute, L"min", seconds % kSecondsPerMinute, L"s");
    if (seconds < kSecondsPerDay)
        return TwoUnits(seconds / kSecondsPerHour, L"h", seconds % kSecondsPerHour / kSecondsPerMinute,
                        L"min");
    return TwoUnits(seconds / kSecondsPerDay, L"d", seconds % kSecondsPerDay / kSecondsPerHour, L"h");
}

std::wstring FormatLocalDateTime(const FILETIME& utc)
{
    SYSTEMTIME universal = {};
    SYSTEMTIME local = {};
    if (!FileTimeToSystemTime(&utc, &universal))
        return std::wstring();
    if (!SystemTimeToTzSpecificLocalTime(/*lpTimeZoneInformation=*/nullptr, &universal, &local))
        local = universal;
    wchar_t text[32];
    _snwprintf(text, 31, L"%04u-%02u-%02u %02u:%02u:%02u", static_cast<unsigned>(local.wYear),
               static_cast<unsigned>(local.wMonth), static_cast<unsigned>(local.wDay),
               static_cast<unsigned>(local.wHour), static_cast<unsigned>(local.wMinute),
               static_cast<unsigned>(local.wSecond));
    text[31] = L'\0';
    return text;
}
