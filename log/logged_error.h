#pragma once
// A log argument that is a Windows error code. The log writes its number as the format
// says, exactly as for a plain number; a sink for a person (the console) adds what it
// means.
#include <windows.h>

// Where a Windows error code given to a log line comes from.
enum class ErrorOrigin { None, System, ServiceManager };

// Made by SystemError or ServiceManagerError.
struct LoggedError {
    DWORD Code = ERROR_SUCCESS;
    ErrorOrigin Origin = ErrorOrigin::None;
};

// The error code of a failed system call.
inline LoggedError SystemError(DWORD code) { return LoggedError{code, ErrorOrigin::System}; }
// The error code of a failed call to the service control manager; for access denied the
// console adds that the command needs an elevated prompt.
inline LoggedError ServiceManagerError(DWORD code)
{
    return LoggedError{code, ErrorOrigin::ServiceManager};
}
