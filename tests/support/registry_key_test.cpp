#include "support/registry_key.h"

#include "support/unique_resource.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A scratch key under HKEY_CURRENT_USER, created and deleted by each test.
class RegistryKeyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, kPath);
        HKEY scratch = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kPath, 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &scratch, nullptr));
        m_scratch.Reset(scratch);
    }
    void TearDown() override
    {
        m_scratch.Reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, kPath);
    }
    // Creates a subkey of the scratch key; ERROR_SUCCESS or the registry's error.
    static LONG CreateChild(HKEY parent, const wchar_t* name)
    {
        HKEY child = nullptr;
        const LONG status = RegCreateKeyExW(parent, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                            &child, nullptr);
        const UniqueRegistryKey owner(status == ERROR_SUCCESS ? child : nullptr);
        return status;
    }

    void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD size)
    {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(m_scratch.Get(), name, 0, type,
                                                static_cast<const BYTE*>(data), size));
    }
    void SetText(const wchar_t* name, DWORD type, const std::wstring& text, DWORD extraChars = 1)
    {
        SetRaw(name, type, text.data(),
               static_cast<DWORD>((text.size() + extraChars) * sizeof(wchar_t)));
    }
    void OpenScratch(CRegistryKey& key, REGSAM access = KEY_READ)
    {
        ASSERT_EQ(ERROR_SUCCESS, key.Open(HKEY_CURRENT_USER, kPath, access));
    }

    static constexpr const wchar_t* kPath = L"Software\\VarnholtRegistryKeyTest";
    UniqueRegistryKey m_scratch;
};

TEST_F(RegistryKeyTest, DwordReadsAcceptDwordAndShortBinaryOnly)
{
    const DWORD dword = 0xDEADBEEF;
    SetRaw(L"dword", REG_DWORD, &dword, sizeof(dword));
    const BYTE twoBytes[] = {0x34, 0x12};
    SetRaw(L"binary2", REG_BINARY, twoBytes, sizeof(twoBytes));
    const BYTE fiveBytes[] = {1, 2, 3, 4, 5};
    SetRaw(L"binary5", REG_BINARY, fiveBytes, sizeof(fiveBytes));
    SetText(L"text", REG_SZ, L"5");
    const ULONGLONG qword = 7;
    SetRaw(L"qword", REG_QWORD, &qword, sizeof(qword));

    CRegistryKey key;
    OpenScratch(key);
    EXPECT_EQ(0xDEADBEEFu, key.GetDword(L"dword", 1));
    DWORD out = 99;
    EXPECT_EQ(ERROR_SUCCESS, key.QueryDword(L"dword", out));
    EXPECT_EQ(0xDEADBEEFu, out);
    EXPECT_EQ(4660u, key.GetDword(L"binary2", 1));

    EXPECT_EQ(ERROR_MORE_DATA, key.QueryDword(L"binary5", out));
    EXPECT_EQ(77u, key.GetDword(L"binary5", 77));

    EXPECT_EQ(77u, key.GetDword(L"text", 77));
    EXPECT_EQ(ERROR_DATATYPE_MISMATCH, key.QueryDword(L"text", out));
    EXPECT_EQ(ERROR_DATATYPE_MISMATCH, key.QueryDword(L"qword", out));
    EXPECT_EQ(0u, out);

    EXPECT_EQ(77u, key.GetDword(L"missing", 77));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.QueryDword(L"missing", out));
}

TEST_F(RegistryKeyTest, StringReadsTerminateJoinAndKeepTextLiteral)
{
    SetText(L"plain", REG_SZ, L"hello");
    SetText(L"unterminated", REG_SZ, L"whole text", 0);
    SetText(L"expand", REG_EXPAND_SZ, L"%SystemRoot%\\x");
    SetText(L"multi", REG_MULTI_SZ, std::wstring(L"a\0b\0c\0", 6));
    SetText(L"emptyList", REG_MULTI_SZ, std::wstring(L"\0", 1));
    SetText(L"embedded", REG_SZ, std::wstring(L"ab\0cd", 5));
    const char odd[] = {'h', 0, 'i', 0, 'x'};   // "hi" and a stray byte
    SetRaw(L"odd", REG_SZ, odd, sizeof(odd));
    const DWORD number = 5;
    SetRaw(L"number", REG_DWORD, &number, sizeof(number));

    CRegistryKey key;
    OpenScratch(key);
    EXPECT_EQ(L"hello", key.GetString(L"plain"));
    EXPECT_EQ(L"whole text", key.GetString(L"unterminated"));
    EXPECT_EQ(L"%SystemRoot%\\x", key.GetString(L"expand"));
    EXPECT_EQ(L"a|b|c", key.GetString(L"multi"));
    EXPECT_EQ(L"", key.GetString(L"emptyList", L"default"));
    EXPECT_EQ(L"ab", key.GetString(L"embedded"));
    EXPECT_EQ(L"hi", key.GetString(L"odd"));

    std::wstring out = L"stale";
    EXPECT_EQ(ERROR_SUCCESS, key.QueryString(L"multi", out, L';'));
    EXPECT_EQ(L"a;b;c", out);
    EXPECT_EQ(ERROR_DATATYPE_MISMATCH, key.QueryString(L"number", out, L'|'));
    EXPECT_EQ(L"", out);
    EXPECT_EQ(L"fallback", key.GetString(L"number", L"fallback"));
    EXPECT_EQ(L"", key.GetString(L"missing"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.QueryString(L"missing", out, L'|'));
}

TEST_F(RegistryKeyTest, FailedOpenReleasesTheOldHandleAndReadsYieldDefaults)
{
    SetText(L"plain", REG_SZ, L"hello");
    CRegistryKey key;
    OpenScratch(key);
    ASSERT_NE(nullptr, key.Handle());

    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              key.Open(HKEY_CURRENT_USER, L"Software\\VarnholtNoSuchKey", KEY_READ));
    EXPECT_EQ(static_cast<REGSAM>(KEY_READ), key.Access());
    EXPECT_EQ(nullptr, key.Handle());
    EXPECT_EQ(L"default", key.GetString(L"plain", L"default"));
    std::wstring out;
    EXPECT_EQ(ERROR_INVALID_HANDLE, key.QueryString(L"plain", out, L'|'));
    EXPECT_EQ(3u, key.GetDword(L"plain", 3));
    EXPECT_NE(ERROR_SUCCESS, key.SetDword(L"x", 1));
}

TEST_F(RegistryKeyTest, SetDwordNeedsSetValueAccess)
{
    CRegistryKey reader;
    OpenScratch(reader, KEY_READ);
    EXPECT_NE(ERROR_SUCCESS, reader.SetDword(L"ScheduleEnabled", 5));

    CRegistryKey writer;
    OpenScratch(writer, KEY_READ | KEY_SET_VALUE);
    EXPECT_EQ(ERROR_SUCCESS, writer.SetDword(L"ScheduleEnabled", 5));
    EXPECT_EQ(5u, reader.GetDword(L"ScheduleEnabled", 0));
}

TEST_F(RegistryKeyTest, SubkeyCountIsFixedAtOpen)
{
    for (const wchar_t* name : {L"alpha", L"beta", L"gamma"})
        ASSERT_EQ(ERROR_SUCCESS, CreateChild(m_scratch.Get(), name));
    CRegistryKey parent;
    OpenScratch(parent);
    CEnumSubkeys walk;
    ASSERT_EQ(ERROR_SUCCESS, walk.Open(parent.Handle(), nullptr, KEY_READ));
    EXPECT_EQ(3u, walk.Count());

    // A subkey added during the walk is not visited; one deleted leaves an empty name.
    ASSERT_EQ(ERROR_SUCCESS, CreateChild(m_scratch.Get(), L"delta"));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(m_scratch.Get(), L"alpha"));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(m_scratch.Get(), L"beta"));

    std::wstring seen;
    int visited = 0;
    for (; walk.HasMore(); walk.Advance()) {
        seen += L"[" + walk.CurrentName() + L"]";
        ++visited;
    }
    EXPECT_EQ(3, visited);
    EXPECT_EQ(L"[delta][gamma][]", seen);
}

TEST_F(RegistryKeyTest, EnumeratorOfEmptyOrMissingKeyHasNothing)
{
    CEnumSubkeys empty;
    ASSERT_EQ(ERROR_SUCCESS, empty.Open(HKEY_CURRENT_USER, kPath, KEY_READ));
    EXPECT_EQ(0u, empty.Count());
    EXPECT_FALSE(empty.HasMore());

    CEnumSubkeys missing;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              missing.Open(HKEY_CURRENT_USER, L"Software\\VarnholtNoSuchKey", KEY_READ));
    EXPECT_FALSE(missing.HasMore());
}

// One ReadSubkeyNames on a thread of its own.
struct SubkeyWalk {
    HKEY Key;
    LONG Status = ERROR_SUCCESS;
    std::vector<std::wstring> Names{L"stale"};
};

DWORD WINAPI WalkSubkeys(void* argument)
{
    SubkeyWalk& walk = *static_cast<SubkeyWalk*>(argument);
    walk.Status = ReadSubkeyNames(walk.Key, walk.Names);
    return 0;
}

// The names are read to the end, and a key deleted while it is open ends the walk at once
// (ERROR_KEY_DELETED at every index): the walk runs on a thread of its own, so that one that
// never ends fails the test instead of holding it for ever.
TEST_F(RegistryKeyTest, SubkeyNamesEndWithTheListOrAtADeletedKey)
{
    for (const wchar_t* name : {L"alpha", L"beta"})
        ASSERT_EQ(ERROR_SUCCESS, CreateChild(m_scratch.Get(), name));
    std::vector<std::wstring> names;
    EXPECT_EQ(ERROR_SUCCESS, ReadSubkeyNames(m_scratch.Get(), names));
    EXPECT_EQ((std::vector<std::wstring>{L"alpha", L"beta"}), names);

    ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_CURRENT_USER, kPath));
    // Left to the process's end, should the walk never return.
    auto* walk = new SubkeyWalk{m_scratch.Get()};
    const UniqueHandle done(CreateThread(/*lpThreadAttributes=*/nullptr, /*dwStackSize=*/0, WalkSubkeys,
                                         walk, /*dwCreationFlags=*/0, /*lpThreadId=*/nullptr));
    ASSERT_TRUE(done);
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(done.Get(), 30000))
        << "the walk over a deleted key does not end";
    EXPECT_EQ(ERROR_KEY_DELETED, walk->Status);
    EXPECT_TRUE(walk->Names.empty());
    delete walk;
}

TEST(ProductKeyTest, OpensTheThirtyTwoBitView)
{
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\Varnholt");
    HKEY created = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Varnholt", 0, nullptr,
                                             0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &created,
                                             nullptr));
    UniqueRegistryKey key(created);
    const DWORD value = 42;
    RegSetValueExW(key.Get(), L"Debug", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    key.Reset();

    CRegistryKey product;
    EXPECT_EQ(ERROR_SUCCESS, OpenProductKey(product, KEY_READ));
    EXPECT_EQ(42u, product.GetDword(L"Debug", 0));
    product.Close();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\Varnholt");
}

}  // namespace
