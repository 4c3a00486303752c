#pragma once
// Files as a test reads and prepares them: whole contents, existence, last-write times.
#include <windows.h>

#include <string>

// A file's bytes, read whole while others may write or delete it; empty when it cannot be
// opened.
std::string ReadFileBytes(const std::wstring& path);
// The same, its UTF-8 read as UTF-16.
std::wstring ReadUtf8File(const std::wstring& path);
bool FileExists(const std::wstring& path);

// Creates (or truncates) a file with one byte in it and sets its last-write time. False
// when it cannot.
bool WriteFileWrittenAt(const std::wstring& path, const FILETIME& lastWrite);
// Sets the last-write time of a file or a directory. False when it cannot.
bool SetLastWriteTime(const std::wstring& path, const FILETIME& lastWrite);
