// Runs every registered benchmark, then prints ours/OpenCV throughput per operation and size.

#include "ratio.h"

#include <cstdio>
#include <map>
#include <utility>

namespace {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            auto rate = run.counters.find("items_per_second");
            if (rate == run.counters.end()) continue;
            rates_[run.benchmark_name()] = rate->second.value;
        }
    }

    void printRatios() const {
        std::printf("\n%-32s %-12s %14s %14s %8s\n", "operation", "size", "ours Mpix/s",
                    "OpenCV Mpix/s", "ratio");
        for (const auto &[name, ours] : rates_) {
            auto split = name.find("/ours/");
            if (split == std::string::npos) continue;
            std::string operation = name.substr(0, split);
            std::string size = name.substr(split + 6);
            auto reference = rates_.find(operation + "/opencv/" + size);
            if (reference == rates_.end() || reference->second <= 0) continue;
            std::printf("%-32s %-12s %14.1f %14.1f %7.2fx\n", operation.c_str(), size.c_str(),
                        ours / 1e6, reference->second / 1e6, ours / reference->second);
        }
    }

private:
    std::map<std::string, double> rates_;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios();
    benchmark::Shutdown();
    return 0;
}
