#pragma once
// The JSON text of the status command ("-s --json"): a writer that builds one JSON value as
// UTF-16 text (the stream writer turns it into UTF-8), with no knowledge of what it writes.
#include <windows.h>

#include <string>
#include <vector>

// A JSON string with its quotes: the quote, the backslash and every character below 0x20 are
// escaped (\", \\, \n, \r, \t, \b, \f, others as \u00XX), and so is a UTF-16 surrogate that
// has no partner (\uD800), which UTF-8 could not carry. Everything else is kept.
std::wstring JsonString(const std::wstring& text);

// A moment in UTC seconds since 1970 as ISO 8601 UTC with its quotes
// ("2026-12-10T02:00:00Z"); 0 (not recorded) as null.
std::wstring JsonTime(ULONGLONG unixSeconds);

// Builds a JSON text value by value; members and elements are separated for the caller. The
// caller pairs each Begin with its End and gives a Key before each value inside an object.
// The text is indented by two blanks per level, one member or element per line.
class CJsonWriter {
public:
    void BeginObject() { Open(L'{'); }
    void EndObject() { Close(L'}'); }
    void BeginArray() { Open(L'['); }
    void EndArray() { Close(L']'); }
    // The name of the member whose value comes next.
    void Key(const wchar_t* name);
    void String(const std::wstring& text) { Value(JsonString(text)); }
    void Number(ULONGLONG number);
    void Boolean(bool value) { Value(value ? L"true" : L"false"); }
    void Null() { Value(L"null"); }
    void Time(ULONGLONG unixSeconds) { Value(JsonTime(unixSeconds)); }
    // The text so far; whole once every Begin has its End.
    const std::wstring& Text() const { return m_text; }

private:
    void Open(wchar_t bracket);
    void Close(wchar_t bracket);
    void Value(const std::wstring& text);
    void Separate();

    std::wstring m_text;
    std::vector<bool> m_empty;   // per open level: nothing written in it yet
    bool m_afterKey = false;
};
