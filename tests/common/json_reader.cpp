#include "tests/common/json_reader.h"

namespace {

const JsonValue& MissingValue()
{
    static const JsonValue missing;
    return missing;
}

class CJsonParser {
public:
    explicit CJsonParser(const std::wstring& text) : m_text(text) {}

    bool Parse(JsonValue& value, std::wstring& error)
    {
        const bool parsed = ParseValue(value, 0) && (SkipBlanks(), m_at == m_text.size() || Fail(L"text after the value"));
        if (!parsed)
            error = m_error + L" at " + std::to_wstring(m_at);
        return parsed;
    }

private:
    bool Fail(const wchar_t* why)
    {
        if (m_error.empty())
            m_error = why;
        return false;
    }
    void SkipBlanks()
    {
        while (m_at < m_text.size() && (m_text[m_at] == L' ' || m_text[m_at] == L'\t' ||
                                         m_text[m_at] == L'\r' || m_text[m_at] == L'\n'))
            ++m_at;
    }
    bool Literal(const wchar_t* word)
    {
        const std::wstring expected(word);
        if (m_text.compare(m_at, expected.size(), expected) != 0)
            return Fail(L"unknown word");
        m_at += expected.size();
        return true;
    }
    bool ParseValue(JsonValue& value, int depth)
    {
        if (depth > 64)
            return Fail(L"too deep");
        SkipBlanks();
        if (m_at >= m_text.size())
            return Fail(L"no value");
        const wchar_t c = m_text[m_at];
        if (c == L'{')
            return ParseObject(value, depth);
        if (c == L'[')
            return ParseArray(value, depth);
        if (c == L'"') {
            value.Kind = JsonValue::Type::String;
            return ParseString(value.String);
        }
        if (c == L't' || c == L'f') {
            value.Kind = JsonValue::Type::Boolean;
            value.Boolean = c == L't';
            return Literal(value.Boolean ? L"true" : L"false");
        }
        if (c == L'n') {
            value.Kind = JsonValue::Type::Null;
            return Literal(L"null");
        }
        return ParseNumber(value);
    }
    bool Digits()
    {
        const size_t from = m_at;
        while (m_at < m_text.size() && m_text[m_at] >= L'0' && m_text[m_at] <= L'9')
            ++m_at;
        return m_at > from || Fail(L"digits expected");
    }
    bool ParseNumber(JsonValue& value)
    {
        value.Kind = JsonValue::Type::Number;
        const size_t from = m_at;
        bool plain = true;
        if (m_text[m_at] == L'-') {
            plain = false;
            ++m_at;
        }
        const size_t integerStart = m_at;
        if (!Digits())
            return false;
        if (m_text[integerStart] == L'0' && m_at - integerStart > 1)
            return Fail(L"leading zero");
        if (m_at < m_text.size() && m_text[m_at] == L'.') {
            plain = false;
            ++m_at;
            if (!Digits())
                return false;
        }
        if (m_at < m_text.size() && (m_text[m_at] == L'e' || m_text[m_at] == L'E')) {
            plain = false;
            ++m_at;
            if (m_at < m_text.size() && (m_text[m_at] == L'+' || m_text[m_at] == L'-'))
                ++m_at;
            if (!Digits())
                return false;
        }
        value.IsInteger = plain;
        if (plain) {
            for (size_t i = from; i < m_at; ++i)
                value.Integer = value.Integer * 10 + static_cast<ULONGLONG>(m_text[i] - L'0');
        }
        return true;
    }
    bool Hex4(unsigned& unit)
    {
        if (m_at + 4 > m_text.size())
            return Fail(L"short \\u escape");
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            const wchar_t h = m_text[m_at++];
            unit <<= 4;
            if (h >= L'0' && h <= L'9')
                unit |= static_cast<unsigned>(h - L'0');
            else if (h >= L'a' && h <= L'f')
                unit |= static_cast<unsigned>(h - L'a' + 10);
            else if (h >= L'A' && h <= L'F')
                unit |= static_cast<unsigned>(h - L'A' + 10);
            else
                return Fail(L"bad hex digit");
        }
        return true;
    }
    bool ParseString(std::wstring& text)
    {
        ++m_at;   // the opening quote
        for (;;) {
            if (m_at >= m_text.size())
                return Fail(L"unterminated string");
            const wchar_t c = m_text[m_at++];
            if (c == L'"')
                return true;
            if (c < 0x20)
                return Fail(L"control character in a string");
            if (c != L'\\') {
                text += c;
                continue;
            }
            if (m_at >= m_text.size())
                return Fail(L"unterminated escape");
            const wchar_t e = m_text[m_at++];
            switch (e) {
            case L'"': text += L'"'; break;
            case L'\\': text += L'\\'; break;
            case L'/': text += L'/'; break;
            case L'b': text += L'\b'; break;
            case L'f': text += L'\f'; break;
            case L'n': text += L'\n'; break;
            case L'r': text += L'\r'; break;
            case L't': text += L'\t'; break;
            case L'u': {
                unsigned unit = 0;
                if (!Hex4(unit))
                    return false;
                text += static_cast<wchar_t>(unit);
                break;
            }
            default:
                return Fail(L"unknown escape");
            }
        }
    }
    bool ParseArray(JsonValue& value, int depth)
    {
        value.Kind = JsonValue::Type::Array;
        ++m_at;
        SkipBlanks();
        if (m_at < m_text.size() && m_text[m_at] == L']') {
            ++m_at;
            return true;
        }
        for (;;) {
            JsonValue element;
            if (!ParseValue(element, depth + 1))
                return false;
            value.Elements.push_back(element);
            SkipBlanks();
            if (m_at >= m_text.size())
                return Fail(L"unterminated array");
            const wchar_t c = m_text[m_at++];
            if (c == L']')
                return true;
            if (c != L',')
                return Fail(L"',' or ']' expected");
        }
    }
    bool ParseObject(JsonValue& value, int depth)
    {
        value.Kind = JsonValue::Type::Object;
        ++m_at;
        SkipBlanks();
        if (m_at < m_text.size() && m_text[m_at] == L'}') {
            ++m_at;
            return true;
        }
        for (;;) {
            SkipBlanks();
            if (m_at >= m_text.size() || m_text[m_at] != L'"')
                return Fail(L"member name expected");
            std::wstring name;
            if (!ParseString(name))
                return false;
            if (value[name].Kind != JsonValue::Type::Missing)
                return Fail(L"member given twice");
            SkipBlanks();
            if (m_at >= m_text.size() || m_text[m_at++] != L':')
                return Fail(L"':' expected");
            JsonValue member;
            if (!ParseValue(member, depth + 1))
                return false;
            value.Members.emplace_back(name, member);
            SkipBlanks();
            if (m_at >= m_text.size())
                return Fail(L"unterminated object");
            const wchar_t c = m_text[m_at++];
            if (c == L'}')
                return true;
            if (c != L',')
                return Fail(L"',' or '}' expected");
        }
    }

    const std::wstring& m_text;
    size_t m_at = 0;
    std::wstring m_error;
};

}  // namespace

const JsonValue& JsonValue::operator[](const std::wstring& name) const
{
    for (const auto& member : Members) {
        if (member.first == name)
            return member.second;
    }
    return MissingValue();
}

const JsonValue& JsonValue::At(size_t index) const
{
    return index < Elements.size() ? Elements[index] : MissingValue();
}

bool ParseJson(const std::wstring& text, JsonValue& value, std::wstring& error)
{
    value = JsonValue();
    CJsonParser parser(text);
    return parser.Parse(value, error);
}
