#pragma once
// What only Wine lets a test do: reach the Unix side of the machine. Each function is
// false (and does nothing) elsewhere.
#include <string>
#include <vector>

bool RunningUnderWine();

// Starts a Unix program by its name in /bin with the argument text given, followed by the
// Windows paths in their Unix form, each quoted. Wine runs it as a process of its own and
// hands back no handle to wait on, so callers wait for its effect instead. False when
// not under Wine, when a path has no Unix form, or when the program does not start.
bool StartUnixProgram(const wchar_t* program, const wchar_t* arguments,
                      const std::vector<std::wstring>& paths);

// True under Wine when its Unix side runs as root, which a change of a file's owner needs.
bool UnixSideRunsAsRoot();

// Makes another Unix user (uid 12345) the owner of a file or folder, from the Unix side, and
// waits until Wine reports the change (owner ANONYMOUS LOGON). Wine only, and only for a
// test run as root (UnixSideRunsAsRoot); false when it did not happen.
bool GiveToAnotherUnixUser(const std::wstring& path);
