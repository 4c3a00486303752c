// VarnholtTestKit.exe, the helper of the test kit's run-tests.cmd:
//   VarnholtTestKit.exe elevated          exits 0 when this process is elevated or LocalSystem,
//                                         else says so on standard error and exits 1
//   VarnholtTestKit.exe summary FOLDER    prints each failed and each skipped test of the
//                                         results folder, then "N passed, N failed"; exits 0
//                                         only when tests ran and none failed
#include "kit/test_report.h"
#include "support/access_token.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int CheckElevation()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        const DWORD error = GetLastError();
        std::fprintf(stderr, "The process token cannot be read (error %lu).\n", error);
        return 1;
    }
    const CAccessToken owned(token);
    if (owned.IsElevatedOrLocalSystem())
        return 0;
    std::fprintf(stderr, "This prompt is not elevated.\n");
    return 1;
}

// A message on one line: GoogleTest's begin with "file:line" and a line end.
std::string OneLine(std::string text)
{
    for (char& c : text)
        c = (c == '\n' || c == '\r') ? ' ' : c;
    return text;
}

int Summarise(const wchar_t* folder)
{
    const TestCounts counts = ReadResultsFolder(folder);
    for (const TestNote& skip : counts.Skips)
        std::printf("SKIPPED %s: %s\n", skip.Name.c_str(), OneLine(skip.Message).c_str());
    for (const TestNote& failure : counts.Failures)
        std::printf("FAILED  %s: %s\n", failure.Name.c_str(), OneLine(failure.Message).c_str());
    std::printf("%d skipped\n", counts.Skipped);
    std::printf("%s\n", ClosingLine(counts).c_str());
    return counts.Failed == 0 && counts.Passed > 0 ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t* argv[])
{
    if (argc == 2 && std::wcscmp(argv[1], L"elevated") == 0)
        return CheckElevation();
    if (argc == 3 && std::wcscmp(argv[1], L"summary") == 0)
        return Summarise(argv[2]);
    std::fprintf(stderr, "usage: VarnholtTestKit.exe elevated | summary FOLDER\n");
    return 2;
}
