#include "service/status_json.h"

#include "schedule/state_record.h"

#include <cwchar>

namespace {

bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

void AppendEscape(std::wstring& text, wchar_t c)
{
    wchar_t escape[8];
    _snwprintf(escape, 7, L"\\u%04X", static_cast<unsigned>(c));
    escape[7] = L'\0';
    text += escape;
}

}  // namespace

std::wstring JsonString(const std::wstring& text)
{
    std::wstring json = L"\"";
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        switch (c) {
        case L'"':
            json += L"\\\"";
            continue;
        case L'\\':
            json += L"\\\\";
            continue;
        case L'\n':
            json += L"\\n";
            continue;
        case L'\r':
            json += L"\\r";
            continue;
        case L'\t':
            json += L"\\t";
            continue;
        case L'\b':
            json += L"\\b";
            continue;
        case L'\f':
            json += L"\\f";
            continue;
        default:
            break;
        }
        if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            json += c;
            json += text[++i];
        } else if (c < 0x20 || IsHighSurrogate(c) || IsLowSurrogate(c)) {
            AppendEscape(json, c);   // a control character, or half a pair
        } else {
            json += c;
        }
    }
    return json + L"\"";
}

std::wstring JsonTime(ULONGLONG unixSeconds)
{
    if (unixSeconds == 0)
        return L"null";
    const FILETIME time = FileTimeFromUnixSeconds(unixSeconds);
    SYSTEMTIME utc = {};
    if (!FileTimeToSystemTime(&time, &utc))
        return L"null";
    wchar_t text[32];
    _snwprintf(text, 31, L"\"%04u-%02u-%02uT%02u:%02u:%02uZ\"", static_cast<unsigned>(utc.wYear),
               static_cast<unsigned>(utc.wMonth), static_cast<unsigned>(utc.wDay),
               static_cast<unsigned>(utc.wHour), static_cast<unsigned>(utc.wMinute),
               static_cast<unsigned>(utc.wSecond));
    text[31] = L'\0';
    return text;
}

void CJsonWriter::Key(const wchar_t* name)
{
    Separate();
    m_text += JsonString(name) + L": ";
    m_afterKey = true;
}

void CJsonWriter::Number(ULONGLONG number)
{
    Value(std::to_wstring(number));
}

void CJsonWriter::Open(wchar_t bracket)
{
    Value(std::wstring(1, bracket));
    m_empty.push_back(true);
}

void CJsonWriter::Close(wchar_t bracket)
{
    const bool empty = m_empty.empty() || m_empty.back();
    if (!m_empty.empty())
        m_empty.pop_back();
    if (!empty)
        m_text += L"\n" + std::wstring(m_empty.size() * 2, L' ');
    m_text += bracket;
    if (m_empty.empty())
        m_text += L"\n";
}

void CJsonWriter::Value(const std::wstring& text)
{
    if (m_afterKey)
        m_afterKey = false;
    else
        Separate();
    m_text += text;
}

void CJsonWriter::Separate()
{
    if (m_empty.empty())
        return;
    if (!m_empty.back())
        m_text += L",";
    m_text += L"\n" + std::wstring(m_empty.size() * 2, L' ');
    m_empty.back() = false;
}
