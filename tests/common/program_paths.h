#pragma once
// Where the programs built beside the running one are, and command lines that start them.
#include <string>

// The folder that holds the running executable (the tests' or the benchmarks'), where the
// build puts VarnholtScheduling.exe and the helper programs too. Empty when the system
// cannot name it.
std::wstring BinDirectory();
// The full path of a program of that file name in BinDirectory().
std::wstring ProgramBeside(const wchar_t* fileName);
// A command line that starts the program at path (quoted) with the argument text given.
std::wstring CommandLineOf(const std::wstring& path, const std::wstring& arguments);

std::wstring ProductExePath();
std::wstring TestChildPath();
// A command line that starts VarnholtScheduling.exe with the given argument text.
std::wstring ProductCommand(const std::wstring& arguments);
// A command line that starts the test child (VarnholtTestChild.exe) with the given arguments.
std::wstring TestChildCommand(const std::wstring& arguments);
