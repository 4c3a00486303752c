#include "support/registry_key.h"

#include <cwchar>
#include <utility>

LONG CRegistryKey::Open(HKEY parent, const wchar_t* subkeyName, REGSAM access)
{
    Close();
    HKEY opened = nullptr;
    const LONG status = RegOpenKeyExW(parent, subkeyName, 0, access, &opened);
    m_access = access;
    if (status == ERROR_SUCCESS)
        m_key.Reset(opened);
    return status;
}

LONG CRegistryKey::QueryDword(const wchar_t* valueName, DWORD& out)
{
    out = 0;
    DWORD type = 0;
    DWORD size = sizeof(out);
    const LONG status = RegQueryValueExW(m_key.Get(), valueName, nullptr, &type,
                                         reinterpret_cast<BYTE*>(&out), &size);
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA)
        return status;
    if (type != REG_DWORD && type != REG_BINARY) {
        // A value of another type may have left its bytes in out.
        out = 0;
        return ERROR_DATATYPE_MISMATCH;
    }
    return status;
}

DWORD CRegistryKey::GetDword(const wchar_t* valueName, DWORD defaultValue)
{
    DWORD value = 0;
    return QueryDword(valueName, value) == ERROR_SUCCESS ? value : defaultValue;
}

LONG CRegistryKey::SetDword(const wchar_t* valueName, DWORD value)
{
    return RegSetValueExW(m_key.Get(), valueName, 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

LONG CRegistryKey::QueryString(const wchar_t* valueName, std::wstring& out, wchar_t separator)
{
    out.clear();
    DWORD type = 0;
    DWORD size = 0;
    LONG status = RegQueryValueExW(m_key.Get(), valueName, nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS)
        return status;
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ)
        return ERROR_DATATYPE_MISMATCH;

    // Room for the value plus a terminator the value may lack; an odd trailing byte is dropped.
    size += sizeof(wchar_t);
    std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
    DWORD returned = size;
    status = RegQueryValueExW(m_key.Get(), valueName, nullptr, &type,
                              reinterpret_cast<BYTE*>(&buffer[0]), &returned);
    if (status != ERROR_SUCCESS)
        return status;   // the value changed in between and no longer fits
    buffer[returned / sizeof(wchar_t)] = L'\0';

    if (type == REG_MULTI_SZ) {
        // Join the list: each NUL followed by a further string becomes the separator; the
        // first empty string ends the list.
        size_t nul = buffer.find(L'\0');
        while (nul != std::wstring::npos && nul + 1 < buffer.size() && buffer[nul + 1] != L'\0') {
            buffer[nul] = separator;
            nul = buffer.find(L'\0', nul + 1);
        }
    }
    buffer.resize(std::wcslen(buffer.c_str()));
    out = std::move(buffer);
    return ERROR_SUCCESS;
}

std::wstring CRegistryKey::GetString(const wchar_t* valueName, const wchar_t* defaultValue)
{
    std::wstring result;
    if (QueryString(valueName, result, L'|') == ERROR_SUCCESS)
        return result;
    return defaultValue ? std::wstring(defaultValue) : std::wstring();
}

void CRegistryKey::Close() { m_key.Reset(); }

LONG CEnumSubkeys::Open(HKEY parent, const wchar_t* subkeyName, REGSAM access)
{
    Close();
    m_index = 0;
    m_count = 0;
    m_nameCapacity = 0;

    HKEY opened = nullptr;
    LONG status = RegOpenKeyExW(parent, subkeyName, 0, access, &opened);
    if (status != ERROR_SUCCESS)
        return status;
    UniqueRegistryKey key(opened);
    DWORD count = 0;
    DWORD longestName = 0;
    status = RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &count, &longestName, nullptr,
                              nullptr, nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS)
        return status;
    m_key = std::move(key);
    m_count = count;
    m_nameCapacity = longestName + 1;
    return ERROR_SUCCESS;
}

std::wstring CEnumSubkeys::CurrentName() const
{
    std::wstring name(m_nameCapacity, L'\0');
    DWORD capacity = m_nameCapacity;
    if (name.empty() || RegEnumKeyExW(m_key.Get(), m_index, &name[0], &capacity, nullptr,
                                      nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return std::wstring();
    name.resize(std::wcslen(name.c_str()));
    return name;
}

void CEnumSubkeys::Close() { m_key.Reset(); }

LONG ReadSubkeyNames(HKEY key, std::vector<std::wstring>& names)
{
    names.clear();
    // A key's name has at most 255 characters.
    constexpr DWORD kLongestKeyName = 255;
    wchar_t name[kLongestKeyName + 1];
    for (DWORD index = 0;; ++index) {
        DWORD length = kLongestKeyName + 1;
        const LONG status = RegEnumKeyExW(key, index, name, &length, /*lpReserved=*/nullptr,
                                          /*lpClass=*/nullptr, /*lpcchClass=*/nullptr,
                                          /*lpftLastWriteTime=*/nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (status == ERROR_MORE_DATA)
            continue;
        if (status != ERROR_SUCCESS)
            return status;
        names.emplace_back(name, length);
    }
}

LONG OpenProductKey(CRegistryKey& key, REGSAM access)
{
#ifdef _WIN64
    access |= KEY_WOW64_32KEY;
#endif
    return key.Open(HKEY_LOCAL_MACHINE, kProductKeyPath, access);
}
