// The JSON of the status command as a strict reader reads it back.
#include "service/status_json.h"
#include "tests/common/json_reader.h"

#include <gtest/gtest.h>

#include <iterator>

namespace {

TEST(StatusJsonTest, EveryStringReadsBackAsItWasAndTimesAreUtc)
{
    const std::wstring strings[] = {
        L"",
        L"C:\\Program Files\\App \"quoted\" \\\\share",
        std::wstring(L"bell\x07 nul\0 esc\x1b del\x7f unit\x1f", 27),
        L"\r\n\t\b\f line ends and tabs",
        L"\x00e9t\x00e9 \xD83D\xDE00 a pair",
        L"lone \xD800 high and \xDC00 low",
    };
    CJsonWriter writer;
    writer.BeginObject();
    writer.Key(L"Strings");
    writer.BeginArray();
    for (const std::wstring& text : strings)
        writer.String(text);
    writer.EndArray();
    writer.Key(L"Empty");
    writer.BeginArray();
    writer.EndArray();
    writer.Key(L"Nested");
    writer.BeginObject();
    writer.Key(L"Number");
    writer.Number(4294967295u);
    writer.Key(L"Yes");
    writer.Boolean(true);
    writer.Key(L"Nothing");
    writer.Null();
    writer.Key(L"When");
    writer.Time(1796868000);
    writer.Key(L"Never");
    writer.Time(0);
    writer.EndObject();
    writer.EndObject();

    JsonValue read;
    std::wstring error;
    ASSERT_TRUE(ParseJson(writer.Text(), read, error)) << error << L"\n" << writer.Text();
    ASSERT_EQ(std::size(strings), read[L"Strings"].Elements.size());
    for (size_t i = 0; i < std::size(strings); ++i)
        EXPECT_EQ(strings[i], read[L"Strings"].At(i).String) << i;
    EXPECT_EQ(JsonValue::Type::Array, read[L"Empty"].Kind);
    EXPECT_TRUE(read[L"Empty"].Elements.empty());
    const JsonValue& nested = read[L"Nested"];
    EXPECT_TRUE(nested[L"Number"].IsInteger);
    EXPECT_EQ(4294967295u, nested[L"Number"].Integer);
    EXPECT_TRUE(nested[L"Yes"].Boolean);
    EXPECT_TRUE(nested[L"Nothing"].IsNull());
    EXPECT_EQ(L"2026-12-10T02:00:00Z", nested[L"When"].String);
    EXPECT_TRUE(nested[L"Never"].IsNull());

    // What leaves the program holds no raw control character and no lone surrogate.
    for (const wchar_t c : writer.Text())
        EXPECT_TRUE(c >= 0x20 || c == L'\n') << static_cast<unsigned>(c);
    EXPECT_NE(std::wstring::npos, writer.Text().find(L"\\u0007"));
    EXPECT_NE(std::wstring::npos, writer.Text().find(L"\\uD800"));
}

TEST(StatusJsonTest, TheReaderRefusesWhatJsonDoesNotAllow)
{
    JsonValue read;
    std::wstring error;
    for (const wchar_t* bad : {L"{\"a\": 1,}", L"[1 2]", L"\"raw\x07\"", L"\"\\x07\"", L"{\"a\":1}{",
                               L"{\"a\":1,\"a\":2}", L"01", L"", L"nul"})
        EXPECT_FALSE(ParseJson(bad, read, error)) << bad;
}

}  // namespace
