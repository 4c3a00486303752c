#pragma once
// The log's view for a person at a console. While the sink is on, each line the log writes
// also goes to one stream (standard error, in the one-shot modes and test mode), framed as
// "[hh:mm:ss] message" and CR LF, without the source location; lines of levels 0 and 1
// are shown even when Debug would not write them. A line that carries a Windows error code
// is followed there by the system's text for it. The log file, the debugger output and the
// memory log are not changed by any of this. The sink is off at process start.
#include "log/logged_error.h"

#include <windows.h>

#include <string>

// Turns the sink on for stream when that is a console, a pipe or a file (GetFileType gives
// FILE_TYPE_CHAR, FILE_TYPE_PIPE or FILE_TYPE_DISK); otherwise turns it off and returns
// false. The stream stays the caller's: it is never closed here. Registers the sink with the
// log (log/logger.h), or takes it out.
bool StartConsoleSink(HANDLE stream);

// Turns the sink off and takes it out of the log.
void StopConsoleSink();

// True when the sink is on and shows a line of this level; written says whether the log
// itself writes it. Any thread; makes no system call.
bool ConsoleSinkShows(int level, bool written);

// The console's text for one message: "[hh:mm:ss] message" and CR LF (a line feed inside
// the message becomes CR LF too), followed by the explanation of the error, if any.
std::wstring ConsoleLineText(const SYSTEMTIME& localTime, const std::wstring& message,
                             const LoggedError& error);

// What the console shows after a line that carries error: the system's text for its code,
// indented under the message, and for access denied by the service control manager a line
// that tells to run the command from an elevated prompt. Empty for no error; without a
// system text only the hint, if any, remains.
std::wstring ErrorExplanation(const LoggedError& error);

// Writes text to the sink's stream if the sink is on. The sink writes each line with the
// logger's lock held, which keeps lines from different threads whole and in order.
void WriteConsoleLine(const std::wstring& text);
