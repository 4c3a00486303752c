#include "tests/common/program_paths.h"

#include <windows.h>

#include <vector>

std::wstring BinDirectory()
{
    // The path may be longer than MAX_PATH: the buffer grows until the name fits.
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

std::wstring ProgramBeside(const wchar_t* fileName) { return BinDirectory() + L"\\" + fileName; }

std::wstring CommandLineOf(const std::wstring& path, const std::wstring& arguments)
{
    return L"\"" + path + L"\" " + arguments;
}

std::wstring ProductExePath() { return ProgramBeside(L"VarnholtScheduling.exe"); }
std::wstring TestChildPath() { return ProgramBeside(L"VarnholtTestChild.exe"); }

std::wstring ProductCommand(const std::wstring& arguments)
{
    return CommandLineOf(ProductExePath(), arguments);
}

std::wstring TestChildCommand(const std::wstring& arguments)
{
    return CommandLineOf(TestChildPath(), arguments);
}
