#pragma once
// Text as the programs under test write it: UTF-8 bytes, CR LF lines, the system's
// messages.
#include <windows.h>

#include <string>
#include <vector>

// UTF-8 bytes as UTF-16.
std::wstring WideFromUtf8(const std::string& bytes);
// Text split at its CR LF line ends; a last line without one is kept.
std::vector<std::wstring> LinesOf(const std::wstring& text);
// The lines of text that end with CR LF; a last line without one is left out (a line
// still being written).
std::vector<std::wstring> CompleteLinesOf(const std::wstring& text);
// The system's text for an error code (FormatMessageW, the user's language), without its
// line end; empty when there is none.
std::wstring SystemMessage(DWORD code);
