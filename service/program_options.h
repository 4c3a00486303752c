#pragma once
// The program's one-argument options.
#include <string>

// The one-argument options, in the order they are compared.
enum class ProgramOption { Uninstall, Install, InstallAndRun, Bounce, Stop, TestMode, Status, None };

// Compares the argument with the options, whole, ignoring the case of A to Z only.
ProgramOption MatchOption(const std::wstring& argument);

// Whether an argument is "--json", the status command's second argument (-s --json), ignoring
// the case of A to Z only.
bool IsJsonFlag(const std::wstring& argument);
