// A console reporter that also keeps each benchmark's real time an
// iteration by function name (the median when repetitions run), for the
// ratios against an anchor that a benchmark prints when it finishes.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

class MedianTimesReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (!run.error_occurred && (median || (run.run_type == Run::RT_Iteration && run.iterations > 0)))
                time_[run.run_name.function_name] = run.GetAdjustedRealTime();
        }
    }

protected:
    std::map<std::string, double> time_;  // function -> real time an iteration
};
