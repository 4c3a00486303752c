#pragma once
// The program's start-up and command-line modes (module NTService).
#include <string>

// The one-argument options, in the order they are compared.
enum class ProgramOption { Uninstall, Install, InstallAndRun, Bounce, Stop, TestMode, None };

// Compares the argument with the options, whole, ignoring the case of A to Z only.
ProgramOption MatchOption(const std::wstring& argument);

// Fixes LogDirectory (the common application-data folder in its long form plus
// "\Varnholt"), creating the directory when it is missing.
void SetUpLogDirectory();

// The whole program behind main: start-up, then one option or service mode. Returns the
// process exit code, which is 0 on every path.
int RunProgram(int argc, char* argv[]);
