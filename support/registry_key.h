#pragma once
// Owning wrappers of registry keys with typed reads. Registry failures are ordinary
// outcomes here: no operation throws for them (only the string type may, on allocation).
// Each operation that can fail returns ERROR_SUCCESS or the registry's code (a LONG, as the
// Reg* functions give it), or falls back to the caller's default. Objects are used by one
// thread at a time.
#include "support/unique_resource.h"

#include <windows.h>

#include <string>
#include <vector>

// HKEY_LOCAL_MACHINE\SOFTWARE\Varnholt: the product key under which the service and every
// participating application keep their configuration.
inline constexpr const wchar_t* kProductKeyPath = L"SOFTWARE\\Varnholt";

class CRegistryKey {
public:
    CRegistryKey() = default;
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    // Releases any key held, then opens parent\subkeyName with exactly the access given.
    // On failure holds no key.
    LONG Open(HKEY parent, const wchar_t* subkeyName, REGSAM access);

    // Reads REG_DWORD, or REG_BINARY of at most 4 bytes (little-endian, missing high bytes 0).
    // out is 0 on failure; the result is ERROR_DATATYPE_MISMATCH (1629) for a value of
    // another type, ERROR_MORE_DATA (234) for a longer binary value. On a key that is not
    // open, ERROR_INVALID_HANDLE.
    LONG QueryDword(const wchar_t* valueName, DWORD& out);
    // The value QueryDword reads, or defaultValue when it fails.
    DWORD GetDword(const wchar_t* valueName, DWORD defaultValue);

    // Writes a REG_DWORD; needs a key opened with KEY_SET_VALUE.
    LONG SetDword(const wchar_t* valueName, DWORD value);

    // Reads REG_SZ, REG_EXPAND_SZ (literally, without expansion) or REG_MULTI_SZ (its strings
    // joined by separator). The text ends at its first NUL. out is empty on failure;
    // ERROR_DATATYPE_MISMATCH for a value of another type.
    LONG QueryString(const wchar_t* valueName, std::wstring& out, wchar_t separator);
    // As QueryString with "|", yielding defaultValue (or the empty string for null) on failure.
    std::wstring GetString(const wchar_t* valueName, const wchar_t* defaultValue = nullptr);

    // Releases the key.
    void Close();

    HKEY Handle() const { return m_key.Get(); }
    REGSAM Access() const { return m_access; }

private:
    UniqueRegistryKey m_key;
    REGSAM m_access = 0;
};

// Walks the subkeys of one key by index. The number of subkeys and the longest name are
// taken once, at Open: subkeys added later are not visited, and a name that can no longer
// be read (deleted, or grown past the longest name) reads as the empty string.
class CEnumSubkeys {
public:
    CEnumSubkeys() = default;
    CEnumSubkeys(const CEnumSubkeys&) = delete;
    CEnumSubkeys& operator=(const CEnumSubkeys&) = delete;

    // Opens a handle of its own to parent\subkeyName (or to parent itself for null), and
    // reads its number of subkeys. On failure (the code of the open or of that read)
    // HasMore() is false.
    LONG Open(HKEY parent, const wchar_t* subkeyName, REGSAM access);
    bool HasMore() const { return m_key && m_index < m_count; }
    std::wstring CurrentName() const;
    void Advance() { ++m_index; }
    void Close();

    DWORD Count() const { return m_count; }

private:
    UniqueRegistryKey m_key;
    DWORD m_index = 0;
    DWORD m_count = 0;
    DWORD m_nameCapacity = 0;
};

// The names of key's subkeys, read by index until RegEnumKeyExW answers ERROR_NO_MORE_ITEMS.
// Any other failure ends the walk too, so that a key deleted meanwhile (ERROR_KEY_DELETED at
// every index) cannot keep the caller in it; only a name that grew past the longest a key
// may have is skipped. Returns ERROR_SUCCESS, or the failure that ended the walk, with the
// names read before it.
LONG ReadSubkeyNames(HKEY key, std::vector<std::wstring>& names);

// The one place that opens the product key from HKEY_LOCAL_MACHINE. The service reads the
// registry as a 32-bit program does, so a 64-bit build asks for the 32-bit view: both
// builds then see the same values. Returns what key.Open returns.
LONG OpenProductKey(CRegistryKey& key, REGSAM access);
