#pragma once
// The argument loop of the helper programs that tests and benchmarks start as children
// (VarnholtTestChild.exe and VarnholtBenchChild.exe). Each program names its own options
// in a table; the loop carries out the words of its command line in the order given. Uses
// nothing but kernel32, so a child that links it costs what the platform costs.
#include <windows.h>

#include <cstddef>
#include <string>

// One option of a helper child.
struct ChildOption {
    const wchar_t* Name;
    // How many arguments follow it.
    int Arguments;
    // Takes one argument more when one follows that does not begin with '-'.
    bool OptionalLast;
    // Carries the option out with its `count` arguments; may set the exit code.
    void (*Run)(wchar_t* const* arguments, int count, int& exitCode);
};

// Carries out argv[1] onwards in order: the options of the table with their arguments, and
// the two that every helper child has:
//   --sleep MS    sleeps; a negative MS sleeps for ever
//   --exit CODE   the exit code at the end (default 0)
// A word that names no option, and an option whose arguments are missing, are passed over.
// Returns the exit code.
int RunChildOptions(int argc, wchar_t* argv[], const ChildOption* options, std::size_t count);
template <std::size_t N>
int RunChildOptions(int argc, wchar_t* argv[], const ChildOption (&options)[N])
{
    return RunChildOptions(argc, argv, options, N);
}

// A number of milliseconds given as an argument; negative means INFINITE.
DWORD MillisecondsArgument(const wchar_t* text);

// Appends bytes to the file at path, creating it; others may read and write it meanwhile.
// False when it cannot be opened or written.
bool AppendToFile(const wchar_t* path, const std::string& bytes);
