#include "tests/common/registry.h"

#include "support/unique_resource.h"

namespace {

constexpr REGSAM kView = KEY_WOW64_32KEY;
const wchar_t kProductKey[] = L"SOFTWARE\\Varnholt";

std::wstring ProductPath(const std::wstring& subkey)
{
    return subkey.empty() ? std::wstring(kProductKey) : std::wstring(kProductKey) + L"\\" + subkey;
}

}  // namespace

bool DeleteProductKey()
{
    HKEY software = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_ALL_ACCESS | kView, &software) !=
        ERROR_SUCCESS)
        return false;
    const UniqueRegistryKey owner(software);
    const LONG status = RegDeleteTreeW(software, L"Varnholt");
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

ProductKeyReset::ProductKeyReset() { DeleteProductKey(); }

ProductKeyReset::~ProductKeyReset() { DeleteProductKey(); }

bool SetProductValue(const std::wstring& subkey, const wchar_t* name, DWORD type,
                     const void* data, DWORD size)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, ProductPath(subkey).c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE | kView, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    const UniqueRegistryKey owner(key);
    return RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
}

bool SetProductDword(const std::wstring& subkey, const wchar_t* name, DWORD value)
{
    return SetProductValue(subkey, name, REG_DWORD, &value, sizeof(value));
}

bool SetProductString(const std::wstring& subkey, const wchar_t* name, const std::wstring& value,
                      DWORD type)
{
    return SetProductValue(subkey, name, type, value.c_str(),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

bool RegisterApplication(const std::wstring& name, const std::wstring& scheduler,
                         const std::wstring& scanner, const std::wstring& appDir)
{
    return SetProductString(name, L"Scheduler", scheduler) &&
           SetProductString(name, L"Scanner", scanner) && SetProductString(name, L"AppDir", appDir);
}

bool ReadProductDword(const std::wstring& subkey, const wchar_t* name, DWORD& value)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ProductPath(subkey).c_str(), 0, KEY_READ | kView, &key) !=
        ERROR_SUCCESS)
        return false;
    const UniqueRegistryKey owner(key);
    DWORD type = 0;
    DWORD read = 0;
    DWORD size = sizeof(read);
    const LONG status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&read), &size);
    if (status != ERROR_SUCCESS || type != REG_DWORD)
        return false;
    value = read;
    return true;
}

bool RegistryKeyExists(HKEY root, const std::wstring& path, REGSAM view)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    const UniqueRegistryKey owner(key);
    return true;
}
