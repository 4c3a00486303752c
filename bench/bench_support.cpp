#include "bench/bench_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

namespace {

constexpr REGSAM kView = KEY_WOW64_32KEY;
const wchar_t kProductKey[] = L"SOFTWARE\\Varnholt";

std::wstring ProductPath(const std::wstring& subkey)
{
    return subkey.empty() ? std::wstring(kProductKey) : std::wstring(kProductKey) + L"\\" + subkey;
}

bool SetValue(const std::wstring& subkey, const wchar_t* name, DWORD type, const void* data,
              DWORD size)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, ProductPath(subkey).c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE | kView, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    UniqueRegistryKey owner(key);
    return RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
}

void RemoveTree(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileW(path.c_str());
        return;
    }
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((path + L"\\*").c_str(), &data));
    if (find) {
        do {
            const std::wstring name = data.cFileName;
            if (name != L"." && name != L"..")
                RemoveTree(path + L"\\" + name);
        } while (FindNextFileW(find.Get(), &data));
    }
    find.Reset();
    RemoveDirectoryW(path.c_str());
}

// Reads a whole file that reports no size (a /proc file), or returns false.
bool ReadWholeFile(const std::wstring& path, std::string& text)
{
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    text.clear();
    char buffer[4096];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr) || read == 0)
            break;
        text.append(buffer, read);
    }
    return !text.empty();
}

long long FieldKiB(const std::string& text, const char* field)
{
    const size_t at = text.find(field);
    if (at == std::string::npos)
        return -1;
    return std::strtoll(text.c_str() + at + std::strlen(field), nullptr, 10);
}

}  // namespace

long long PreciseNow()
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return static_cast<long long>((static_cast<unsigned long long>(now.dwHighDateTime) << 32) |
                                  now.dwLowDateTime);
}

double Stopwatch::Seconds() const
{
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - m_start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

void PrintSample(const char* row, double value)
{
    std::printf("sample %s %.6f\n", row, value);
    std::fflush(stdout);
}

void PrintNote(const std::string& text)
{
    std::printf("note %s\n", text.c_str());
    std::fflush(stdout);
}

std::wstring BinDirectory()
{
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return std::wstring();
        if (length < path.size()) {
            const std::wstring text(path.data(), length);
            return text.substr(0, text.find_last_of(L"\\/"));
        }
        path.resize(path.size() * 2);
    }
}

std::wstring ChildCommand(const std::wstring& arguments)
{
    return L"\"" + BinDirectory() + L"\\VarnholtBenchChild.exe\" " + arguments;
}

ScratchFolder::ScratchFolder(const wchar_t* name)
{
    wchar_t temp[MAX_PATH] = L"";
    GetTempPathW(MAX_PATH, temp);
    m_path = std::wstring(temp) + name;
    RemoveTree(m_path);
    CreateDirectoryW(m_path.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder() { RemoveTree(m_path); }

bool DeleteProductKey()
{
    HKEY software = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_ALL_ACCESS | kView, &software) !=
        ERROR_SUCCESS)
        return false;
    UniqueRegistryKey owner(software);
    const LONG status = RegDeleteTreeW(software, L"Varnholt");
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

bool SetProductDword(const std::wstring& subkey, const wchar_t* name, DWORD value)
{
    return SetValue(subkey, name, REG_DWORD, &value, sizeof(value));
}

bool SetProductString(const std::wstring& subkey, const wchar_t* name, const std::wstring& value)
{
    return SetValue(subkey, name, REG_SZ, value.c_str(),
                    static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

bool RegisterApplication(const std::wstring& name, const std::wstring& scheduler,
                         const std::wstring& scanner, const std::wstring& appDir)
{
    return SetProductString(name, L"Scheduler", scheduler) &&
           SetProductString(name, L"Scanner", scanner) && SetProductString(name, L"AppDir", appDir);
}

UniqueHandle CreateCounter(const wchar_t* name)
{
    // Any account may release it: the service's children run as LocalSystem.
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, /*bDaclPresent=*/TRUE, /*pDacl=*/nullptr,
                              /*bDaclDefaulted=*/FALSE);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, /*bInheritHandle=*/FALSE};
    return UniqueHandle(CreateSemaphoreW(&attributes, 0, 1000000, name));
}

bool WaitForReleases(HANDLE counter, int count, DWORD timeoutMs)
{
    for (int i = 0; i < count; ++i) {
        if (WaitForSingleObject(counter, timeoutMs) != WAIT_OBJECT_0)
            return false;
    }
    return true;
}

int DrainReleases(HANDLE counter)
{
    int taken = 0;
    while (WaitForSingleObject(counter, 0) == WAIT_OBJECT_0)
        ++taken;
    return taken;
}

DWORD RunAndWaitPlain(std::wstring commandLine, const wchar_t* workingDirectory)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(/*lpApplicationName=*/nullptr, &commandLine[0],
                        /*lpProcessAttributes=*/nullptr, /*lpThreadAttributes=*/nullptr,
                        /*bInheritHandles=*/TRUE, NORMAL_PRIORITY_CLASS, /*lpEnvironment=*/nullptr,
                        workingDirectory, &startup, &info))
        return ~0u;
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD exitCode = ~0u;
    GetExitCodeProcess(info.hProcess, &exitCode);
    return exitCode;
}

bool ReadMemory(unsigned long unixPid, MemoryFigures& figures)
{
    wchar_t path[64];
    if (unixPid == 0)
        wcscpy(path, L"Z:\\proc\\self\\smaps_rollup");
    else
        _snwprintf(path, 63, L"Z:\\proc\\%lu\\smaps_rollup", unixPid);
    path[63] = L'\0';
    std::string text;
    if (!ReadWholeFile(path, text))
        return false;
    const long long resident = FieldKiB(text, "\nRss:");
    const long long clean = FieldKiB(text, "\nPrivate_Clean:");
    const long long dirty = FieldKiB(text, "\nPrivate_Dirty:");
    if (resident < 0 || clean < 0 || dirty < 0)
        return false;
    figures.ResidentKiB = resident;
    figures.PrivateKiB = clean + dirty;
    return true;
}

long ArgumentNumber(int argc, wchar_t* argv[], int index, long fallback)
{
    if (index >= argc)
        return fallback;
    wchar_t* end = nullptr;
    const long value = wcstol(argv[index], &end, 10);
    return (end && *end == L'\0' && end != argv[index]) ? value : fallback;
}
