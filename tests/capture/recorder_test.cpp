// The recorder: its memory budget, a full disk and an unwritable directory, and where it puts a
// capture when the directory asked for already holds one.
#include "writer_fixture.h"

#include <csignal>
#include <random>
#include <sys/resource.h>

namespace qor::capture::testing {
namespace {

RecorderOptions optionsFor(FileFormat format, const std::string &directory) {
    RecorderOptions options;
    options.format = format;
    options.directory = directory;
    return options;
}

std::chrono::system_clock::time_point at(int i) {
    return fixedTime() + std::chrono::milliseconds(25 * i);
}

// Runs `body` in a child process and returns what it wrote to its pipe (the child's test
// assertions cannot reach this process; it reports in text instead).
template <typename Body> std::string inChild(Body body) {
    int fds[2];
    if (pipe(fds) != 0) {
        ADD_FAILURE() << "pipe failed";
        return {};
    }
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        const std::string report = body();
        const ssize_t written = write(fds[1], report.data(), report.size());
        _exit(written == ssize_t(report.size()) ? 0 : 1);
    }
    close(fds[1]);
    std::string report;
    char buffer[512];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) report.append(buffer, size_t(n));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    return report;
}

// Lines "key=value" of a child's report.
std::map<std::string, std::string> parseReport(const std::string &report) {
    std::map<std::string, std::string> values;
    std::istringstream lines(report);
    std::string line;
    while (std::getline(lines, line)) {
        const auto equals = line.find('=');
        if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
}

TEST(Recorder, FramesOverTheMemoryBudgetAreSkippedAndCounted) {
    ScratchDir dir;
    FrameShape small, large;
    large.width = 64, large.height = 48;
    const size_t smallBytes = makeFrame(small, 0, at(0))->pixels.size();
    constexpr int kSmall = 6, kLarge = 4;
    RecorderOptions options = optionsFor(FileFormat::Png, dir / "out");
    // Room for every small frame at once, never for a large one.
    options.memoryBudget = smallBytes * kSmall;
    std::string error;
    auto recorder = Recorder::create(options, description(), &error);
    ASSERT_TRUE(recorder) << error;
    int sequence = 0;
    for (int i = 0; i < kSmall; ++i) {
        EXPECT_TRUE(recorder->add(makeFrame(small, uint64_t(sequence), at(sequence))));
        ++sequence;
        if (i < kLarge) {
            EXPECT_FALSE(recorder->add(makeFrame(large, uint64_t(sequence), at(sequence))));
            ++sequence;
        }
        EXPECT_LE(recorder->counts().queuedBytes, options.memoryBudget);
    }
    EXPECT_EQ(recorder->finish(), "");
    const RecorderCounts counts = recorder->counts();
    EXPECT_EQ(counts.accepted, uint64_t(kSmall));
    EXPECT_EQ(counts.skipped, uint64_t(kLarge));
    EXPECT_EQ(counts.written, uint64_t(kSmall));
    EXPECT_EQ(counts.queuedBytes, 0u);
    // The skipped frames' names are missing, the others are there.
    const auto files = filesIn(dir.path() / "out");
    EXPECT_EQ(files.size(), size_t(kSmall + 1)) << ::testing::PrintToString(files);
    EXPECT_TRUE(fs::exists(dir / "out/frame-000000.png"));
    EXPECT_FALSE(fs::exists(dir / "out/frame-000001.png"));
}

// However fast frames come, the queue stays under the budget and what was taken gets written.
TEST(Recorder, AFloodOfFramesNeverQueuesPastTheBudget) {
    ScratchDir dir;
    FrameShape shape;
    shape.width = 320, shape.height = 240;
    const size_t frameBytes = makeFrame(shape, 0, at(0))->pixels.size();
    RecorderOptions options = optionsFor(FileFormat::Png, dir / "out");
    options.memoryBudget = frameBytes * 5 / 2;
    options.pngLevel = 9;
    std::string error;
    auto recorder = Recorder::create(options, description(), &error);
    ASSERT_TRUE(recorder) << error;
    auto frame = makeFrame(shape, 0, at(0));
    constexpr int kFrames = 60;
    for (int i = 0; i < kFrames; ++i) {
        auto copy = std::make_shared<Frame>(*frame);
        copy->info.sequence = uint64_t(i);
        recorder->add(std::move(copy));
        EXPECT_LE(recorder->counts().queuedBytes, options.memoryBudget);
    }
    EXPECT_EQ(recorder->finish(), "");
    const RecorderCounts counts = recorder->counts();
    EXPECT_EQ(counts.accepted + counts.skipped, uint64_t(kFrames));
    EXPECT_EQ(counts.written, counts.accepted);
    EXPECT_EQ(counts.queuedBytes, 0u);
    // finish() is idempotent, and a frame after it is skipped.
    EXPECT_EQ(recorder->finish(), "");
    EXPECT_FALSE(recorder->add(makeFrame(shape, 99, at(99))));
    EXPECT_EQ(recorder->counts().skipped, counts.skipped + 1);
}

TEST(Recorder, AFrameThatDoesNotHoldWhatItsGeometrySaysIsRefused) {
    ScratchDir dir;
    std::string error;
    auto recorder =
        Recorder::create(optionsFor(FileFormat::Ser, dir / "out"), description(), &error);
    ASSERT_TRUE(recorder) << error;
    auto shortFrame = makeFrame(FrameShape{}, 0, at(0));
    shortFrame->pixels.resize(shortFrame->pixels.size() - 1);
    auto narrowRows =
        makeFrame(FrameShape{PixelLayout::ARGB, 12, 6, MosaicPhase::None, {}}, 0, at(0));
    narrowRows->info.geometry.rowBytes = 12 * 3;
    EXPECT_FALSE(recorder->add(shortFrame));
    EXPECT_FALSE(recorder->add(narrowRows));
    EXPECT_FALSE(recorder->add(nullptr));
    const RecorderCounts counts = recorder->counts();
    EXPECT_EQ(counts.accepted + counts.skipped + counts.written, 0u);
    EXPECT_EQ(recorder->finish(), "");
}

// A file-size limit stands in for a full disk. The SER video keeps its whole frames, with the
// header's count and the trailer matching them; per-file formats leave no file under a frame's
// name but the complete ones, and the sidecar lists exactly those.
TEST(Recorder, AFullDiskLeavesValidFilesAndNamesTheFileAndReason) {
    struct Case {
        FileFormat format;
        const char *failingFile;
    };
    for (Case c : {Case{FileFormat::Ser, "capture.ser"}, Case{FileFormat::Png, "frame-000005.png"},
                   Case{FileFormat::Tiff, "frame-000005.tiff"},
                   Case{FileFormat::Fits, "frame-000005.fits"}}) {
        SCOPED_TRACE(fileFormatName(c.format));
        ScratchDir dir;
        FrameShape small, large;
        small.width = 64, small.height = 48;
        large.width = 400, large.height = 300;
        const size_t smallFrameBytes = size_t(small.width) * small.height;
        // SER: ten and a half frames; others: each small frame fits, a large one does not.
        const rlim_t limit = c.format == FileFormat::Ser ? 178 + smallFrameBytes * 21 / 2 : 60000;
        const std::string report = inChild([&] {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit rl = {limit, limit};
            setrlimit(RLIMIT_FSIZE, &rl);
            RecorderOptions options = optionsFor(c.format, dir / "out");
            options.threads = 1;
            std::string error;
            auto recorder = Recorder::create(options, description(), &error);
            if (!recorder) return "create=" + error + "\n";
            std::string added;
            for (int i = 0; i < 20; ++i) {
                const bool tooLarge = c.format != FileFormat::Ser && i == 5;
                auto frame = makeFrame(tooLarge ? large : small, uint64_t(i), at(i));
                // Noise, so that no compression brings it under the limit.
                std::mt19937 noise(7);
                if (tooLarge)
                    for (uint8_t &byte : frame->pixels) byte = uint8_t(noise());
                added += recorder->add(frame) ? '1' : '0';
            }
            const std::string finished = recorder->finish();
            const RecorderCounts counts = recorder->counts();
            return "finish=" + finished + "\nwritten=" + std::to_string(counts.written) +
                   "\nadded=" + added + "\n";
        });
        const auto values = parseReport(report);
        ASSERT_EQ(values.count("create"), 0u) << report;
        EXPECT_EQ(values.at("finish"),
                  "cannot write " + (dir / "out/") + c.failingFile + ": File too large");
        const int written = std::atoi(values.at("written").c_str());
        if (c.format == FileFormat::Ser) {
            EXPECT_EQ(written, 10);
            const std::string bytes = readFile(dir / "out/capture.ser");
            ASSERT_GE(bytes.size(), 178u);
            uint32_t count = 0;
            for (int i = 3; i >= 0; --i) count = (count << 8) | uint8_t(bytes[38 + size_t(i)]);
            EXPECT_EQ(count, uint32_t(written));
            // Header, whole frames and a trailer stamp for each: nothing more.
            EXPECT_EQ(bytes.size(), 178 + size_t(written) * (smallFrameBytes + 8));
            continue;
        }
        EXPECT_EQ(written, 5);
        // Frames 0 to 4 and the sidecar: no part of the failed file under any name.
        std::vector<std::string> expected;
        for (int i = 0; i < 5; ++i)
            expected.push_back("frame-00000" + std::to_string(i) + "." + fileFormatName(c.format));
        expected.push_back("frames.csv");
        EXPECT_EQ(filesIn(dir.path() / "out"), expected);
        const auto rows = readWithPython("csv", dir / "out/frames.csv");
        EXPECT_EQ(rows.at("rows"), "5");
        for (int i = 0; i < written; ++i) {
            const std::string file = rows.at("row" + std::to_string(i) + ".file");
            const std::string path = dir / ("out/" + file);
            if (c.format == FileFormat::Fits) {
                const CommandResult verify = run("/usr/bin/fitsverify -q '" + path + "'");
                EXPECT_EQ(verify.status, 0) << verify.output;
            } else {
                EXPECT_EQ(readWithPython(fileFormatName(c.format), path)["data"],
                          expectedHex(small, uint64_t(i), true));
            }
        }
    }
}

// The user that runs the test may be root, who writes anywhere: the child becomes "nobody".
TEST(Recorder, AnUnwritableDirectoryIsRefusedNamingThePath) {
    ScratchDir dir;
    const std::string readOnly = dir / "ro";
    fs::create_directory(readOnly);
    fs::permissions(readOnly, fs::perms(0555));
    const std::string report = inChild([&] {
        if (geteuid() == 0 &&
            (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0))
            return std::string("setup=cannot become nobody\n");
        std::string lines;
        struct Try {
            const char *key;
            FileFormat format;
            std::string directory;
        };
        for (const Try &t :
             {Try{"inside", FileFormat::Png, readOnly + "/out"},
              Try{"png", FileFormat::Png, readOnly}, Try{"ser", FileFormat::Ser, readOnly}}) {
            std::string error;
            auto recorder =
                Recorder::create(optionsFor(t.format, t.directory), description(), &error);
            lines += std::string(t.key) + "=" + (recorder ? "created" : error) + "\n";
        }
        return lines;
    });
    const auto values = parseReport(report);
    ASSERT_EQ(values.count("setup"), 0u) << report;
    EXPECT_EQ(values.at("inside"),
              "cannot create directory " + readOnly + "/out: Permission denied");
    EXPECT_EQ(values.at("png"), "cannot write " + readOnly + "/frames.csv: Permission denied");
    EXPECT_EQ(values.at("ser"), "cannot write " + readOnly + "/capture.ser: Permission denied");
    EXPECT_TRUE(filesIn(readOnly).empty());
}

std::string captureInto(const RecorderOptions &options, int frames, std::string *note = nullptr) {
    std::string error;
    auto recorder = Recorder::create(options, description(), &error);
    if (!recorder) return "failed: " + error;
    for (int i = 0; i < frames; ++i) recorder->add(makeFrame(FrameShape{}, uint64_t(i), at(i)));
    if (std::string failed = recorder->finish(); !failed.empty()) return "failed: " + failed;
    if (note) *note = recorder->note();
    return recorder->directory();
}

TEST(Recorder, AnEarlierCaptureMovesTheNewOneToTheNextFreeNumberedDirectory) {
    ScratchDir dir;
    const std::string out = dir / "out";
    // A directory of other files is no capture: it is used as it is.
    fs::create_directory(out);
    std::ofstream(out + "/notes.txt") << "seeing 2/5\n";
    std::string note = "unset";
    EXPECT_EQ(captureInto(optionsFor(FileFormat::Ser, out), 2, &note), out);
    EXPECT_EQ(note, "");
    EXPECT_EQ(captureInto(optionsFor(FileFormat::Png, out + "/"), 2, &note), out + "-2");
    EXPECT_EQ(note, out + " holds an earlier capture; writing to " + out + "-2");
    // out-3 exists without a capture; it is the next free one.
    fs::create_directory(out + "-3");
    EXPECT_EQ(captureInto(optionsFor(FileFormat::Fits, out), 1, &note), out + "-3");
    EXPECT_EQ(note, out + " holds an earlier capture; writing to " + out + "-3");
    EXPECT_EQ(captureInto(optionsFor(FileFormat::Tiff, out), 1), out + "-4");
    // A plain file of the next number is passed over.
    std::ofstream(out + "-5") << "x";
    EXPECT_EQ(captureInto(optionsFor(FileFormat::Png, out), 1), out + "-6");
    EXPECT_EQ(filesIn(out), (std::vector<std::string>{"capture.ser", "notes.txt"}));
    EXPECT_EQ(filesIn(out + "-2"),
              (std::vector<std::string>{"frame-000000.png", "frame-000001.png", "frames.csv"}));
    // A plain file where the directory should be is an error, not a reason to go elsewhere.
    std::ofstream(dir / "plain") << "x";
    EXPECT_EQ(captureInto(optionsFor(FileFormat::Png, dir / "plain"), 1),
              "failed: " + (dir / "plain") + " exists and is not a directory");
}

TEST(Recorder, OverwriteReplacesTheEarlierCaptureWithoutMixingTheTwo) {
    ScratchDir dir;
    const std::string out = dir / "out";
    ASSERT_EQ(captureInto(optionsFor(FileFormat::Png, out), 5), out);
    fs::create_directory(out + "/darks");
    std::ofstream(out + "/capture.ser") << "an older video";
    std::ofstream(out + "/notes.txt") << "seeing 2/5\n";
    RecorderOptions options = optionsFor(FileFormat::Fits, out);
    options.overwrite = true;
    options.sidecar = SidecarFormat::JsonLines;
    std::string note = "unset";
    EXPECT_EQ(captureInto(options, 2, &note), out);
    EXPECT_EQ(note, "");
    EXPECT_EQ(filesIn(out),
              (std::vector<std::string>{"darks", "frame-000000.fits", "frame-000001.fits",
                                        "frames.jsonl", "notes.txt"}));
    EXPECT_FALSE(fs::exists(out + "-2"));
}

} // namespace
} // namespace qor::capture::testing
