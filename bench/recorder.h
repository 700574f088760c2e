#pragma once
// A console reporter that also keeps each benchmark's real time per iteration, so that a
// benchmark program can print ours beside the peer's and the ratio after the runs.
#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace redowl_bench {

class Recorder : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration) times[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;  // in each benchmark's own unit (milliseconds here)
};

}  // namespace redowl_bench
