#pragma once
// A strict reader of JSON text (RFC 8259), for tests that check what the product writes.
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

struct JsonValue {
    enum class Type { Missing, Null, Boolean, Number, String, Array, Object };
    Type Kind = Type::Missing;     // Missing: a member or element that is not there
    bool Boolean = false;
    bool IsInteger = false;        // a number without sign, fraction or exponent
    ULONGLONG Integer = 0;         // its value, when IsInteger
    std::wstring String;
    std::vector<JsonValue> Elements;
    std::vector<std::pair<std::wstring, JsonValue>> Members;

    // The member of that name, or a Missing value.
    const JsonValue& operator[](const std::wstring& name) const;
    // The element at that index, or a Missing value.
    const JsonValue& At(size_t index) const;
    bool IsNull() const { return Kind == Type::Null; }
};

// Reads one JSON value that makes up the whole text, blanks around it allowed. False, with
// where and why in error, for anything RFC 8259 does not allow (a control character in a
// string, an unknown escape, a trailing comma, text after the value, a member twice).
bool ParseJson(const std::wstring& text, JsonValue& value, std::wstring& error);
