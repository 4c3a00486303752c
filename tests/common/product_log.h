#pragma once
// The service's log file read from outside, as an administrator reads it: today's file in
// the common application-data folder, line by line.
#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

// The product's log directory (the common application-data folder plus "\Varnholt") and
// today's log file in it.
std::wstring ProductLogDirectory();
std::wstring TodaysProductLog();
// The size of today's product log in bytes (0 when there is none): a mark to read after.
size_t LogSize();
// The complete lines of today's product log after the first `skip` bytes (see LogSize).
std::vector<std::wstring> LogLinesAfter(size_t skip);
// The message of a log line (the text after "] "), without its trailing blank; empty for
// a line without one.
std::wstring MessageOf(const std::wstring& line);
// True when some line's message equals message.
bool HasMessage(const std::vector<std::wstring>& lines, const std::wstring& message);
// Waits up to timeoutMs for the log to hold message after `skip` bytes.
bool WaitForLogMessage(size_t skip, const std::wstring& message, DWORD timeoutMs);
