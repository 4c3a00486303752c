#pragma once
// The product key, HKLM\SOFTWARE\Varnholt in the view the product reads (32-bit), as tests
// and benchmarks prepare and read it, and other keys a test looks for.
#include <windows.h>

#include <string>

// Deletes the product key with everything below it; true when it is gone (or was never
// there), false when the registry refused.
bool DeleteProductKey();

// Deletes the product key when made and when destroyed, so that every test starts from and
// leaves an empty configuration.
class ProductKeyReset {
public:
    ProductKeyReset();
    ~ProductKeyReset();
    ProductKeyReset(const ProductKeyReset&) = delete;
    ProductKeyReset& operator=(const ProductKeyReset&) = delete;
};

// Writes a value below the product key, creating the keys on the way; subkey may be empty
// for the key itself. False when the registry refused.
bool SetProductValue(const std::wstring& subkey, const wchar_t* name, DWORD type,
                     const void* data, DWORD size);
bool SetProductDword(const std::wstring& subkey, const wchar_t* name, DWORD value);
bool SetProductString(const std::wstring& subkey, const wchar_t* name, const std::wstring& value,
                      DWORD type = REG_SZ);
// Registers an application subkey with its three values.
bool RegisterApplication(const std::wstring& name, const std::wstring& scheduler,
                         const std::wstring& scanner, const std::wstring& appDir);
// Reads a REG_DWORD below the product key; false, with value untouched, when there is none.
bool ReadProductDword(const std::wstring& subkey, const wchar_t* name, DWORD& value);

// True when the key at path below root can be opened for reading in the view given
// (0, KEY_WOW64_32KEY or KEY_WOW64_64KEY).
bool RegistryKeyExists(HKEY root, const std::wstring& path, REGSAM view = 0);
