#pragma once
// Where the process keeps its log, decided at start-up: the log folder's place and what
// this process may do with it (log/log_directory.h holds the folder's own rules).
#include "log/log_directory.h"

#include <string>

// Fixes the log folder (the common application-data folder in its long form plus
// "\Varnholt") and decides whether this process keeps its log there: only a process that
// runs as LocalSystem or elevated creates a missing folder, checks an existing one and
// replaces one that other accounts could change (PrepareLogDirectory). When the folder is
// fit for the log, it is set as LogDirectory with its identity and kept open without
// delete sharing for the rest of the process, so that it cannot be renamed or replaced;
// otherwise LogDirectory is left empty, so that no log file is opened and nothing is
// pruned, and the reason goes to the debugger output. Returns the outcome, with the new
// name of a folder moved aside. Nothing is logged: the day's log is not open yet. Called by
// the entry point before any other thread starts.
struct LogDirectorySetUp {
    LogDirectoryStatus Status;
    std::wstring MovedTo;
};
LogDirectorySetUp SetUpLogDirectory();

// The log folder's path as SetUpLogDirectory fixes it, whether or not this process may keep
// its log there.
std::wstring LogFolderPath();
