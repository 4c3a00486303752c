#pragma once
// Text for a person reading the program's standard streams. Any thread may call these.
#include <windows.h>

#include <string>

// Writes text to a standard stream: as UTF-16 through WriteConsoleW when the stream is a
// console (GetConsoleMode succeeds), otherwise as UTF-8 in one WriteFile, so that a pipe
// or a file receives the same characters. Line ends are written as given. Nothing is
// written for a null or invalid handle or an empty text; reports no failure.
void WriteStreamText(HANDLE stream, const std::wstring& text);

// The system's text for a Windows error code in the user's language, as FormatMessageW
// gives it, without the line end (or blanks) it ends in; a text of several lines keeps its
// inner CR LF. Empty when the system has no text for the code. Keeps the caller's
// last-error value.
std::wstring SystemErrorText(DWORD code);
