#pragma once
// The measurements of VarnholtBench.exe. Each prints its samples with PrintSample and
// returns the process exit code: 0 when it ran to the end.
#include <windows.h>

#include <string>
#include <vector>

// For each size in turn, CheckSchedules over that many answering query programs and the
// bare loop over the same, alternately.
int RunPassBench(const std::vector<int>& sizes, int repetitions);
// The scheduler's wait for a task due in `seconds`, and the platform's own timer and start.
int RunWakeBench(DWORD seconds, int samples);
int RunBareWakeBench(DWORD seconds, int samples);
// LogMessage at a passing and a filtered level, the raw write, the debugger output, threads.
int RunLogBench(int lines, int repetitions);
// Writes the configuration of the idle service: one application answering well within the
// scheduler's bound, and a push script that sleeps.
int SetUpIdleService();
// Installs (once) and starts the bare service, the baseline of the installed service's
// memory; 0 once it runs.
int StartBareService();
// The installed service's memory over blocks of passes, beside the bare service's and the
// sleeping program's; all three named by their Linux process ids.
int RunServiceFootprint(unsigned long servicePid, unsigned long sleeperPid, unsigned long barePid,
                        int passes, int blocks);
// The push-script supervisor's memory over blocks of relaunches, then the bare loop's.
int RunRelaunchFootprint(int relaunches, int blocks);
// Stop latency under the service control manager for one kind of stop (see stop_bench.cpp).
int RunStopBench(const std::wstring& kind, int repetitions);
