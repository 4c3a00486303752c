#include "service/program_options.h"

#include <cwchar>

namespace {

struct OptionRow {
    const wchar_t* Argument;
    ProgramOption Option;
};

constexpr OptionRow kOptions[] = {
    {L"-u", ProgramOption::Uninstall},     {L"-i", ProgramOption::Install},
    {L"-ir", ProgramOption::InstallAndRun}, {L"-b", ProgramOption::Bounce},
    {L"-k", ProgramOption::Stop},          {L"-t", ProgramOption::TestMode},
    {L"-s", ProgramOption::Status},
};

wchar_t FoldAsciiCase(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool EqualIgnoringAsciiCase(const std::wstring& a, const wchar_t* b)
{
    const size_t length = wcslen(b);
    if (a.size() != length)
        return false;
    for (size_t i = 0; i < length; ++i) {
        if (FoldAsciiCase(a[i]) != FoldAsciiCase(b[i]))
            return false;
    }
    return true;
}

}  // namespace

ProgramOption MatchOption(const std::wstring& argument)
{
    for (const OptionRow& row : kOptions) {
        // cppcheck-suppress useStlAlgorithm ; a loop that returns the matching row is as plain
        if (EqualIgnoringAsciiCase(argument, row.Argument))
            return row.Option;
    }
    return ProgramOption::None;
}

bool IsJsonFlag(const std::wstring& argument) { return EqualIgnoringAsciiCase(argument, L"--json"); }
