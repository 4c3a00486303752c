#pragma once
// A program whose standard output and standard error the test reads while it runs.
#include "support/unique_resource.h"

#include <windows.h>

#include <memory>
#include <string>

// A program whose standard output and standard error are pipes that the test reads while
// it runs, started inside a job object: the end of the object ends the program and every
// process it started. Standard input is none.
class PipedProcess {
public:
    explicit PipedProcess(const std::wstring& commandLine, DWORD creationFlags = 0);
    ~PipedProcess();
    PipedProcess(const PipedProcess&) = delete;
    PipedProcess& operator=(const PipedProcess&) = delete;
    bool Started() const { return static_cast<bool>(m_info); }
    DWORD Id() const { return m_info.ProcessId(); }
    bool Running() const { return WaitForSingleObject(m_info.Process(), 0) == WAIT_TIMEOUT; }
    // Waits until the program has ended and every holder of the pipes has closed them;
    // returns its exit code, or ~0u when that takes longer than timeoutMs.
    DWORD Wait(DWORD timeoutMs);
    // Waits up to timeoutMs for the program to end and returns its exit code (~0u if it
    // did not), then gives the readers up to a second to reach the end of the pipes, which
    // a process it started may hold open.
    DWORD WaitForExit(DWORD timeoutMs);
    // What has arrived so far, its UTF-8 read as UTF-16.
    std::wstring Output() const;
    std::wstring Errors() const;
    // Polls Errors() until it holds text.
    bool WaitForErrors(const std::wstring& text, DWORD timeoutMs) const;

    struct Stream;

private:
    std::shared_ptr<Stream> m_output;
    std::shared_ptr<Stream> m_errors;
    UniqueHandle m_job;
    UniqueProcessInformation m_info;
};

// Runs VarnholtScheduling.exe with the given argument text, reading both of its streams
// (PipedProcess::WaitForExit).
struct ProductRun {
    DWORD ExitCode = ~0u;
    std::wstring Output;
    std::wstring Errors;
};
ProductRun RunProductPiped(const std::wstring& arguments, DWORD timeoutMs = 60000);
