#pragma once
// Text for a person reading the output of the example programs. Any thread may call it.
#include <windows.h>

#include <string>

// Writes text to the standard handle (STD_OUTPUT_HANDLE or STD_ERROR_HANDLE): as UTF-16
// to a console, as UTF-8 to a file or pipe, so that names outside ASCII arrive intact
// either way. A program started hidden by the service has no standard handles; the text
// then goes nowhere. Reports no failure.
void WriteStandardText(DWORD standardHandle, const std::wstring& text);
