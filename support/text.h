#pragma once
// Conversion of narrow text in the thread's ANSI code page to UTF-16.
#include <string>

// Converts text with CP_THREAD_ACP. Throws CAtlException with E_INVALIDARG for a null
// source and E_FAIL when the conversion fails; the empty string converts to itself.
std::wstring WideFromThreadAnsi(const char* text);
