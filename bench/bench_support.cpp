#include "bench/bench_support.h"

#include "tests/common/program_paths.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

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

std::wstring ChildCommand(const std::wstring& arguments)
{
    return CommandLineOf(ProgramBeside(L"VarnholtBenchChild.exe"), arguments);
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
    const UniqueProcessInformation started(info);
    WaitForSingleObject(started.Process(), INFINITE);
    DWORD exitCode = ~0u;
    GetExitCodeProcess(started.Process(), &exitCode);
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
