#pragma once
// What the one-argument modes tell a person beyond the log lines on standard error: one
// closing sentence per action on standard output, and the usage for an argument that is
// none of the options.
#include "service/program_options.h"

#include <windows.h>

#include <string>

// One service control operation as it went: done, or the error code of the call that
// failed.
struct StepOutcome {
    bool Done = false;
    DWORD Error = ERROR_SUCCESS;
};

// The steps of one option; the steps that an option does not take are not looked at.
struct ActionOutcome {
    StepOutcome Install;        // -i, -ir
    StepOutcome Stop;           // -u, -b, -k
    StepOutcome Start;          // -ir, -b (not taken when the stop timed out)
    bool StopTimedOut = false;  // -b: the service did not stop in time, so no start was asked
    StepOutcome Remove;         // -u
    bool Interrupted = false;   // -t: ended by a console control event, not by its lifetime
    bool OtherScheduler = false;   // -t: did not start, another scheduler runs
    DWORD SchedulerLockError = 0;  // -t: did not start, the scheduler lock could not be had
};

// The sentence that closes the option's run, without a line end: what is now so, or what
// could not be done, with the system's text for the error and its code. Empty for
// ProgramOption::None.
std::wstring ClosingSentence(ProgramOption option, const ActionOutcome& outcome);

// The usage: the options and what each does, that the control options need an elevated
// prompt and exit with 0 whatever happened, and where the log files are (in
// logDirectory). Lines end in CR LF.
std::wstring UsageText(const std::wstring& logDirectory);
