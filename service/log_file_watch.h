#pragma once
// What service mode does when the day's log file is lost: an administrator must learn that
// the service is running without its log, although the log itself cannot say so.

// Sets the logger's loss handler (SetLogFileLossHandler), which at once tells how the day's
// file stands. A failed open or write of the day's file is then logged at level 0 (so the
// debugger output has it) and reported as event 1900 with the file's path and the system's
// text, at most once an hour; State's LogFileError records the system's code, and 0 once
// the file is open again. Service mode calls it after StartEventReporting.
void StartLogFileWatch();

// Tests: forgets when a loss was last told, so that the next one is told at once.
void ResetLogFileWatchForTests();
