// The test kit's reading of GoogleTest's reports and of run-tests.cmd's results folder.
#include "kit/test_report.h"

#include "support/unique_resource.h"
#include "tests/common/scratch_folder.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// A report as GoogleTest writes it: one test of each outcome, and output that looks like
// markup inside a failure's CDATA section.
const char kReport[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<testsuites tests="6" failures="2" disabled="1" errors="0" time="1.5" name="AllTests">
  <testsuite name="Suite" tests="6" failures="2" disabled="1" skipped="2" errors="0" time="1.5">
    <testcase name="Passes" file="a.cpp" line="1" status="run" result="completed" time="0." classname="Suite" />
    <testcase name="Fails" file="a.cpp" line="2" status="run" result="completed" time="0." classname="Suite">
      <failure message="a.cpp:3&#x0A;Expected &quot;x&quot; &lt; 2" type=""><![CDATA[a.cpp:3
<testcase name="Fake" status="run" result="completed" classname="Fake" />
</testcase>]]></failure>
      <failure message="second" type=""><![CDATA[second]]></failure>
    </testcase>
    <testcase name="Skips" file="a.cpp" line="4" status="run" result="skipped" time="0." classname="Suite">
      <skipped message="a.cpp:5&#x0A;only on Windows: &apos;junction&apos;"><![CDATA[a.cpp:5
only on Windows]]></skipped>
    </testcase>
    <testcase name="FailsThenSkips" file="a.cpp" line="6" status="run" result="skipped" time="0." classname="Suite">
      <failure message="first" type=""><![CDATA[first]]></failure>
      <skipped message="then skipped"><![CDATA[]]></skipped>
    </testcase>
    <testcase name="DISABLED_Off" file="a.cpp" line="7" status="notrun" result="suppressed" time="0." classname="Suite" />
    <testcase name="Also&amp;Passes" file="a.cpp" line="8" status="run" result="completed" time="0." classname="Suite" />
  </testsuite>
</testsuites>
)";

TEST(TestReportTest, EachTestCountsOnceByItsOutcome)
{
    TestCounts counts;
    ASSERT_TRUE(ReadTestReport(kReport, counts));
    EXPECT_EQ(2, counts.Passed);
    EXPECT_EQ(2, counts.Failed);
    EXPECT_EQ(1, counts.Skipped);
    ASSERT_EQ(2u, counts.Failures.size());
    EXPECT_EQ("Suite.Fails", counts.Failures[0].Name);
    EXPECT_EQ("a.cpp:3\nExpected \"x\" < 2", counts.Failures[0].Message);
    // A failure before the skip is a failure, with its own message.
    EXPECT_EQ("Suite.FailsThenSkips", counts.Failures[1].Name);
    EXPECT_EQ("first", counts.Failures[1].Message);
    ASSERT_EQ(1u, counts.Skips.size());
    EXPECT_EQ("Suite.Skips", counts.Skips[0].Name);
    EXPECT_EQ("a.cpp:5\nonly on Windows: 'junction'", counts.Skips[0].Message);
    EXPECT_EQ("2 passed, 2 failed", ClosingLine(counts));

    // A second report adds to the first.
    ASSERT_TRUE(ReadTestReport(kReport, counts));
    EXPECT_EQ("4 passed, 4 failed", ClosingLine(counts));
    EXPECT_EQ(2, counts.Skipped);
}

TEST(TestReportTest, TextThatIsNoWholeReportChangesNothing)
{
    TestCounts counts;
    counts.Passed = 7;
    const std::string report = kReport;
    const std::string cut = report.substr(0, report.find("</testcase>"));
    for (const std::string& text : {std::string(), std::string("Segmentation fault"), cut,
                                    report.substr(report.find("<testsuite ")),
                                    report.substr(0, report.find("<![CDATA[") + 20)}) {
        EXPECT_FALSE(ReadTestReport(text, counts)) << text.size();
        EXPECT_EQ(7, counts.Passed);
        EXPECT_EQ(0, counts.Failed);
        EXPECT_TRUE(counts.Failures.empty());
    }
}

class ResultsFolderTest : public ::testing::Test {
protected:
    void Write(const std::wstring& name, const std::string& text)
    {
        UniqueFileHandle file(CreateFileW(m_folder.File(name).c_str(), GENERIC_WRITE, /*dwShareMode=*/0,
                                          /*lpSecurityAttributes=*/nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, /*hTemplateFile=*/nullptr));
        ASSERT_TRUE(file);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written,
                              /*lpOverlapped=*/nullptr));
    }
    // A report whose one test passed.
    static std::string Passing(const char* name)
    {
        return std::string("<testsuites><testsuite><testcase name=\"") + name +
               "\" status=\"run\" result=\"completed\" classname=\"S\"/></testsuite></testsuites>";
    }

    ScratchDirectory m_folder;
};

TEST_F(ResultsFolderTest, EveryRunMustEndWellAndLeaveItsReport)
{
    // As cmd writes an exit code: "echo %errorlevel%" with a line end.
    Write(L"good_tests.exit", "0\r\n");
    Write(L"good_tests.xml", Passing("A"));
    TestCounts counts = ReadResultsFolder(m_folder.Path());
    EXPECT_EQ("1 passed, 0 failed", ClosingLine(counts));

    Write(L"crashed_tests.exit", "-1073741819\r\n");                // no report at all
    Write(L"cut_tests.exit", "1\r\n");
    Write(L"cut_tests.xml", "<testsuites><testsuite><testcase status=\"run\"");
    Write(L"quiet_tests.exit", "3\r\n");                            // fails though all passed
    Write(L"quiet_tests.xml", Passing("B"));
    Write(L"failing_tests.exit", "1\r\n");                          // its failure is its reason
    Write(L"failing_tests.xml", kReport);
    counts = ReadResultsFolder(m_folder.Path());
    EXPECT_EQ(4, counts.Passed);
    EXPECT_EQ(5, counts.Failed);
    std::vector<std::string> names;
    for (const TestNote& failure : counts.Failures)
        names.push_back(failure.Name + ": " + failure.Message);
    const auto has = [&](const std::string& line) {
        return std::find(names.begin(), names.end(), line) != names.end();
    };
    EXPECT_TRUE(has("crashed_tests.exe: wrote no report (exit code -1073741819)")) << testing::PrintToString(names);
    EXPECT_TRUE(has("cut_tests.exe: wrote a report that is no GoogleTest report"));
    EXPECT_TRUE(has("quiet_tests.exe: ended with exit code 3 although its report shows no failure"));
    EXPECT_TRUE(has("Suite.Fails: a.cpp:3\nExpected \"x\" < 2"));
}

TEST_F(ResultsFolderTest, AFolderWithoutRunsProvesNothing)
{
    Write(L"stray.xml", Passing("A"));   // a report without its run's exit code
    const TestCounts counts = ReadResultsFolder(m_folder.Path());
    EXPECT_EQ("0 passed, 1 failed", ClosingLine(counts));
    EXPECT_EQ("0 passed, 1 failed", ClosingLine(ReadResultsFolder(m_folder.File(L"missing"))));
}

}  // namespace
