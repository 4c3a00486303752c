#pragma once
// What the test kit reads back after its run: the outcome of every test in GoogleTest's XML
// reports, and the results folder of run-tests.cmd as a whole. Any thread may call; only
// memory failures throw (std::bad_alloc).
#include <string>
#include <vector>

// One test that did not pass, by "Suite.Test", with GoogleTest's message (a skip's reason,
// or the first failure's text) as the report holds it, entities decoded.
struct TestNote {
    std::string Name;
    std::string Message;
};

struct TestCounts {
    int Passed = 0;    // ran to the end without a failure
    int Failed = 0;    // a failure, skipped or not; or a run that reported nothing (below)
    int Skipped = 0;   // skipped without a failure
    std::vector<TestNote> Failures;
    std::vector<TestNote> Skips;
};

// Adds the outcome of every test that ran in one report to counts. Tests not run (disabled,
// or left out by a filter) count nowhere. False, with counts untouched, when the text is
// not a GoogleTest report (no <testsuites> element, or a test case left open).
bool ReadTestReport(const std::string& xml, TestCounts& counts);

// The results folder as run-tests.cmd leaves it: for each test executable NAME.exe, the
// exit code it ended with in NAME.exit and its report in NAME.xml. Each executable that
// wrote no readable report, or whose exit code is not 0 while its report shows no failure,
// counts as one failure (named "NAME.exe"). A folder with no executable's run in it counts
// as one failure too: nothing was proven.
TestCounts ReadResultsFolder(const std::wstring& folder);

// The closing line of the run: "N passed, N failed".
std::string ClosingLine(const TestCounts& counts);
