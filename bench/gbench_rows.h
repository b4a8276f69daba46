#pragma once
// A Google Benchmark reporter that prints as usual and keeps the median of every benchmark
// run with repetitions, for the rows of the performance table.

#include <benchmark/benchmark.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

class MedianReporter : public benchmark::ConsoleReporter {
  public:
    struct Median {
        double seconds = 0;                      // real time per iteration
        std::map<std::string, double> counters;  // medians of the user counters
    };

    // Plain text: the output goes to a log, not a terminal.
    MedianReporter() : benchmark::ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") continue;
            Median m;
            m.seconds = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            for (const auto& [name, counter] : run.counters) m.counters[name] = counter.value;
            const auto& id = run.run_name;
            medians_[id.function_name + (id.args.empty() ? "" : "/" + id.args)] = m;
        }
    }

    // The median of the benchmark of that name ("BM_Load/1000"); throws when it did not run.
    const Median& at(const std::string& name) const {
        const auto found = medians_.find(name);
        if (found == medians_.end()) throw std::runtime_error("no median for " + name);
        return found->second;
    }
    bool has(const std::string& name) const { return medians_.count(name) != 0; }

  private:
    std::map<std::string, Median> medians_;
};

}  // namespace bench
