// VarnholtBench.exe COMMAND [ARGUMENTS]: one measurement per run, its samples on standard
// output as "sample ROW VALUE" lines (see scripts/bench, which runs them all).
//   pass REPETITIONS SIZE...            wake SECONDS SAMPLES       bare-wake SECONDS SAMPLES
//   log LINES REPETITIONS               relaunch RELAUNCHES BLOCKS
//   setup-idle    bare-service          footprint SERVICE_PID SLEEPER_PID BARE_PID PASSES BLOCKS
//   stop none|cooperative|ignoring|bare REPETITIONS
#include "bench/bench_support.h"
#include "bench/benchmarks.h"
#include "log/logger.h"
#include "service/log_folder_setup.h"

#include <cstdio>
#include <string>
#include <vector>

int wmain(int argc, wchar_t* argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: VarnholtBench COMMAND [ARGUMENTS] (see bench_main.cpp)\n");
        return 2;
    }
    // The product's code logs as it does in the service: into the log directory, with the
    // threshold of the registry.
    SetUpLogDirectory();
    OpenDailyLog();

    const std::wstring command = argv[1];
    const auto number = [argc, argv](int index, long fallback) {
        return ArgumentNumber(argc, argv, index, fallback);
    };
    try {
        if (command == L"pass") {
            std::vector<int> sizes;
            for (int i = 3; i < argc; ++i)
                sizes.push_back(static_cast<int>(number(i, 0)));
            return RunPassBench(sizes, number(2, 3));
        }
        if (command == L"wake")
            return RunWakeBench(static_cast<DWORD>(number(2, 2)), number(3, 5));
        if (command == L"bare-wake")
            return RunBareWakeBench(static_cast<DWORD>(number(2, 2)), number(3, 5));
        if (command == L"log")
            return RunLogBench(number(2, 20000), number(3, 5));
        if (command == L"setup-idle")
            return SetUpIdleService();
        if (command == L"bare-service")
            return StartBareService();
        if (command == L"footprint")
            return RunServiceFootprint(static_cast<unsigned long>(number(2, 0)),
                                       static_cast<unsigned long>(number(3, 0)),
                                       static_cast<unsigned long>(number(4, 0)), number(5, 50),
                                       number(6, 3));
        if (command == L"relaunch")
            return RunRelaunchFootprint(number(2, 50), number(3, 3));
        if (command == L"stop" && argc > 2)
            return RunStopBench(argv[2], number(3, 3));
    } catch (...) {
        std::fprintf(stderr, "out of memory\n");
        return 1;
    }
    std::fprintf(stderr, "unknown command\n");
    return 2;
}
