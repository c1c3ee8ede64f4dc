// Runs every registered benchmark, then prints ours/OpenCV throughput per operation and size,
// the frame path's cost per model against the frame period at the model's highest rate, and the
// frames per second each file writer sustains beside the camera's frame rate at that size.
// A build without OpenCV, or without the capture session's writers, leaves those benchmarks out
// and says so at the end of the run.

#include "ratio.h"
#include "sim/models.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <utility>

namespace qor::bench {
// bench_frame_path.cpp: the frame path, the frame copy and the stages, one set per model.
void registerFramePathBenchmarks();
#if QORVANTA_BENCH_WRITERS
// bench_writers.cpp: frames per second of each file writer, beside the camera's frame rate.
void registerWriterBenchmarks();
#endif
} // namespace qor::bench

namespace {

// The most of one core the frame path may take at a model's highest data rate, in percent.
constexpr double kFramePathGoalPercent = 25.0;
// The colour path in strips, against one copy of its decoded frame measured in the same run.
constexpr double kColourPathOverCopyGoal = 1.5;

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            // Keyed by the registered name, without what the run adds (such as its min_time).
            if (run.run_name.function_name.rfind("writer/", 0) == 0)
                writers_[run.run_name.function_name] =
                    WriterResult{counter(run, "fps"), counter(run, "camera_fps")};
            frames_[run.run_name.function_name] = FrameResult{
                run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit),
                counter(run, "fps"), counter(run, "period_ms"), counter(run, "colour") != 0};
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

    // One line per model that ran "frame_path/<product id>/<size>", with its "frame_copy" and
    // "frame_stages" beside it when they ran too, and the path's time over the copy's.
    void printFramePath() const {
        bool header = false;
        int misses = 0, overCopy = 0, colourModels = 0;
        for (const auto &[name, path] : frames_) {
            const std::string prefix = "frame_path/";
            if (name.compare(0, prefix.size(), prefix) != 0) continue;
            const std::string model = name.substr(prefix.size());
            const std::string id = model.substr(0, model.find('/'));
            const std::string size = model.substr(model.find('/') + 1);
            const qor::sim::ModelProfile *profile =
                qor::sim::findModel(uint16_t(std::strtoul(id.c_str(), nullptr, 16)));
            auto copy = frames_.find("frame_copy/" + model);
            auto stages = frames_.find("frame_stages/" + model);
            if (!header) {
                std::printf("\n%-6s %-22s %-10s %-6s %7s %10s %9s %9s %9s %6s %6s %8s  %s\n",
                            "model", "name", "size", "sensor", "fps", "period ms", "copy ms",
                            "stages ms", "path ms", "st/cp", "pa/cp", "core %", "goal");
                header = true;
            }
            const double corePercent =
                path.periodMs > 0 ? 100.0 * path.cpuSeconds * 1e3 / path.periodMs : 0.0;
            const bool met = corePercent < kFramePathGoalPercent;
            if (!met) ++misses;
            char copyMs[16] = "-", stagesMs[16] = "-", stagesRatio[16] = "-", pathRatio[16] = "-";
            if (copy != frames_.end()) {
                const double copySeconds = copy->second.cpuSeconds;
                std::snprintf(copyMs, sizeof copyMs, "%.2f", copySeconds * 1e3);
                std::snprintf(pathRatio, sizeof pathRatio, "%.2f", path.cpuSeconds / copySeconds);
                if (path.colour) {
                    ++colourModels;
                    if (path.cpuSeconds / copySeconds > kColourPathOverCopyGoal) ++overCopy;
                }
                if (stages != frames_.end())
                    std::snprintf(stagesRatio, sizeof stagesRatio, "%.2f",
                                  stages->second.cpuSeconds / copySeconds);
            }
            if (stages != frames_.end())
                std::snprintf(stagesMs, sizeof stagesMs, "%.2f", stages->second.cpuSeconds * 1e3);
            std::printf("%-6s %-22s %-10s %-6s %7.1f %10.1f %9s %9s %9.2f %6s %6s %8.1f  %s\n",
                        id.c_str(), profile ? profile->productName : "?", size.c_str(),
                        path.colour ? "colour" : "mono", path.fps, path.periodMs, copyMs, stagesMs,
                        path.cpuSeconds * 1e3, stagesRatio, pathRatio, corePercent,
                        met ? "under" : "MISSED");
        }
        if (header) {
            std::printf("frame path goal: under %.0f%% of one core at the highest data rate; "
                        "%d model(s) miss it\n",
                        kFramePathGoalPercent, misses);
            std::printf("colour path goal: at most %.1fx the copy of its decoded frame (pa/cp); "
                        "%d of %d colour model(s) over it\n",
                        kColourPathOverCopyGoal, overCopy, colourModels);
        }
    }

    // One line per "writer/<format>/<size>/<mono|colour>": the frames per second it sustained
    // and the camera's frame rate at that size.
    void printWriters() const {
        if (writers_.empty()) return;
        std::printf("\n%-7s %-10s %-7s %11s %11s  %s\n", "writer", "size", "pixels", "writer fps",
                    "camera fps", "keeps up");
        for (const auto &[name, result] : writers_) {
            char format[16] = "", size[16] = "", kind[16] = "";
            if (std::sscanf(name.c_str(), "writer/%15[^/]/%15[^/]/%15s", format, size, kind) != 3)
                continue;
            std::printf("%-7s %-10s %-7s %11.1f %11.1f  %s\n", format, size, kind, result.fps,
                        result.cameraFps, result.fps >= result.cameraFps ? "yes" : "no");
        }
    }

private:
    struct WriterResult {
        double fps, cameraFps;
    };

    struct FrameResult {
        double cpuSeconds; // per iteration
        double fps, periodMs;
        bool colour;
    };

    static double counter(const Run &run, const char *name) {
        auto found = run.counters.find(name);
        return found == run.counters.end() ? 0.0 : found->second.value;
    }

    std::map<std::string, double> rates_;
    std::map<std::string, FrameResult> frames_;
    std::map<std::string, WriterResult> writers_;
};

} // namespace

int main(int argc, char **argv) {
    qor::bench::registerFramePathBenchmarks();
#if QORVANTA_BENCH_WRITERS
    qor::bench::registerWriterBenchmarks();
#endif
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
#if QORVANTA_BENCH_OPENCV
    reporter.printRatios();
#endif
    reporter.printFramePath();
    reporter.printWriters();
#if !QORVANTA_BENCH_OPENCV
    std::printf("\nnote: built without OpenCV: the comparisons of the demosaic and the colour "
                "and flip operations against it are left out (install OpenCV's imgproc "
                "development package and configure again)\n");
#endif
#if !QORVANTA_BENCH_WRITERS
    std::printf("\nnote: built without the capture session: the file writers' benchmark is "
                "left out\n");
#endif
    benchmark::Shutdown();
    return 0;
}
