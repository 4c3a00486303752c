#include "tests/common/child_options.h"

#include "support/unique_resource.h"

#include <cwchar>

DWORD MillisecondsArgument(const wchar_t* text)
{
    const long value = wcstol(text, nullptr, 10);
    return value < 0 ? INFINITE : static_cast<DWORD>(value);
}

bool AppendToFile(const wchar_t* path, const std::string& bytes)
{
    UniqueFileHandle file(CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

int RunChildOptions(int argc, wchar_t* argv[], const ChildOption* options, std::size_t count)
{
    int exitCode = 0;
    for (int i = 1; i < argc; ++i) {
        const std::wstring word = argv[i];
        const int left = argc - i - 1;
        if (word == L"--sleep" && left >= 1) {
            Sleep(MillisecondsArgument(argv[++i]));
            continue;
        }
        if (word == L"--exit" && left >= 1) {
            exitCode = static_cast<int>(wcstol(argv[++i], nullptr, 10));
            continue;
        }
        for (std::size_t o = 0; o < count; ++o) {
            const ChildOption& option = options[o];
            if (word != option.Name || left < option.Arguments)
                continue;
            int taken = option.Arguments;
            if (option.OptionalLast && left > taken && argv[i + 1 + taken][0] != L'-')
                ++taken;
            option.Run(argv + i + 1, taken, exitCode);
            i += taken;
            break;
        }
    }
    return exitCode;
}
