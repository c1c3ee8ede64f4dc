// SER videos read back by a reader written here from the format's description: the 178-byte
// little-endian header, width * height * planes bytes per frame, then one 64-bit UTC time stamp
// (.NET ticks) per frame.
#include "writer_fixture.h"

#include <cstring>

namespace qor::capture::testing {
namespace {

struct SerVideo {
    std::string fileID;
    int32_t luID = -1, colourID = -1, littleEndian = -1;
    int32_t width = 0, height = 0, depth = 0, frameCount = 0;
    std::string observer, instrument, telescope;
    int64_t dateTime = 0, dateTimeUtc = 0;
    std::vector<std::string> frames; // each frame's bytes
    std::vector<int64_t> trailer;
    size_t trailingBytes = 0; // bytes after the frames
};

int64_t little(const std::string &bytes, size_t at, int size) {
    uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i) value = (value << 8) | uint8_t(bytes[at + size_t(i)]);
    return size == 4 ? int64_t(int32_t(uint32_t(value))) : int64_t(value);
}

std::string text(const std::string &bytes, size_t at) {
    std::string field = bytes.substr(at, 40);
    return field.substr(0, field.find('\0'));
}

SerVideo readSer(const std::string &path) {
    const std::string bytes = readFile(path);
    SerVideo video;
    if (bytes.size() < 178) {
        ADD_FAILURE() << path << " is shorter than a SER header: " << bytes.size() << " bytes";
        return video;
    }
    video.fileID = bytes.substr(0, 14);
    video.luID = int32_t(little(bytes, 14, 4));
    video.colourID = int32_t(little(bytes, 18, 4));
    video.littleEndian = int32_t(little(bytes, 22, 4));
    video.width = int32_t(little(bytes, 26, 4));
    video.height = int32_t(little(bytes, 30, 4));
    video.depth = int32_t(little(bytes, 34, 4));
    video.frameCount = int32_t(little(bytes, 38, 4));
    video.observer = text(bytes, 42);
    video.instrument = text(bytes, 82);
    video.telescope = text(bytes, 122);
    video.dateTime = little(bytes, 162, 8);
    video.dateTimeUtc = little(bytes, 170, 8);
    const size_t planes = video.colourID >= 100 ? 3 : 1;
    const size_t frameBytes = size_t(video.width) * size_t(video.height) * planes;
    size_t at = 178;
    for (int32_t i = 0; i < video.frameCount; ++i, at += frameBytes) {
        if (at + frameBytes > bytes.size()) {
            ADD_FAILURE() << "frame " << i << " runs past the end of " << path;
            return video;
        }
        video.frames.push_back(bytes.substr(at, frameBytes));
    }
    video.trailingBytes = bytes.size() - at;
    for (; at + 8 <= bytes.size(); at += 8) video.trailer.push_back(little(bytes, at, 8));
    return video;
}

// A .NET tick count (100 ns since 0001-01-01) as a system clock time: 719162 days lie between
// 0001-01-01 and 1970-01-01 in the proleptic Gregorian calendar.
std::chrono::system_clock::time_point fromTicks(int64_t ticks) {
    const int64_t epoch = int64_t(719162) * 86400 * 10000000;
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::nanoseconds((ticks - epoch) * 100)));
}

std::string hexOf(const std::string &bytes) {
    std::string hex;
    char two[3];
    for (char c : bytes) {
        std::snprintf(two, sizeof two, "%02x", uint8_t(c));
        hex += two;
    }
    return hex;
}

struct SerCase {
    const char *name;
    FrameShape shape;
    int32_t colourID;
};

TEST(SerWriter, HeaderFramesAndTrailerReadBackForEveryColour) {
    FrameShape mono, argb, bgra, rggb, grbg, gbrg, bggr;
    argb.layout = PixelLayout::ARGB;
    bgra.layout = PixelLayout::BGRA;
    rggb.layout = grbg.layout = gbrg.layout = bggr.layout = PixelLayout::Mosaic;
    rggb.mosaic = MosaicPhase::RGGB, grbg.mosaic = MosaicPhase::GRBG;
    gbrg.mosaic = MosaicPhase::GBRG, bggr.mosaic = MosaicPhase::BGGR;
    const SerCase cases[] = {
        {"mono", mono, 0}, {"ARGB", argb, 100}, {"BGRA", bgra, 100}, {"RGGB", rggb, 8},
        {"GRBG", grbg, 9}, {"GBRG", gbrg, 10},  {"BGGR", bggr, 11},
    };
    for (const SerCase &c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        RecorderOptions options;
        options.format = FileFormat::Ser;
        options.directory = dir / "out";
        std::string error;
        auto recorder = Recorder::create(options, description(), &error);
        ASSERT_TRUE(recorder) << error;
        constexpr int kFrames = 5;
        for (int i = 0; i < kFrames; ++i)
            ASSERT_TRUE(recorder->add(
                makeFrame(c.shape, uint64_t(i), fixedTime() + std::chrono::milliseconds(40 * i))));
        EXPECT_EQ(recorder->finish(), "");
        EXPECT_EQ(recorder->counts().written, uint64_t(kFrames));

        const SerVideo video = readSer(dir / "out/capture.ser");
        EXPECT_EQ(video.fileID, "LUCAM-RECORDER");
        EXPECT_EQ(video.colourID, c.colourID);
        EXPECT_EQ(video.littleEndian, 1);
        EXPECT_EQ(video.width, int32_t(c.shape.width));
        EXPECT_EQ(video.height, int32_t(c.shape.height));
        EXPECT_EQ(video.depth, 8);
        EXPECT_EQ(video.frameCount, kFrames);
        EXPECT_EQ(video.observer, "A. Observer");
        EXPECT_EQ(video.instrument, "QV-262C-0042");
        EXPECT_EQ(video.telescope, "Refractor 80/480");
        EXPECT_EQ(fromTicks(video.dateTimeUtc), fixedTime());
        // The local start time differs from UTC by the zone's offset: whole quarter hours.
        EXPECT_EQ((video.dateTime - video.dateTimeUtc) % (int64_t(900) * 10000000), 0);
        ASSERT_EQ(video.frames.size(), size_t(kFrames));
        for (int i = 0; i < kFrames; ++i)
            EXPECT_EQ(hexOf(video.frames[size_t(i)]), expectedHex(c.shape, uint64_t(i), true))
                << "frame " << i;
        EXPECT_EQ(video.trailingBytes, size_t(8 * kFrames));
        ASSERT_EQ(video.trailer.size(), size_t(kFrames));
        for (int i = 0; i < kFrames; ++i) {
            EXPECT_EQ(fromTicks(video.trailer[size_t(i)]),
                      fixedTime() + std::chrono::milliseconds(40 * i));
            if (i) {
                EXPECT_GT(video.trailer[size_t(i)], video.trailer[size_t(i) - 1]);
            }
        }
    }
}

// A SER file holds one size and colour: a frame that differs is a write error, and the file
// keeps the frames before it, its header and trailer complete.
TEST(SerWriter, AFrameOfAnotherSizeStopsTheVideoWithTheEarlierFramesIntact) {
    ScratchDir dir;
    RecorderOptions options;
    options.format = FileFormat::Ser;
    options.directory = dir / "out";
    std::string error;
    auto recorder = Recorder::create(options, description(), &error);
    ASSERT_TRUE(recorder) << error;
    FrameShape shape, wider;
    wider.width = shape.width + 2;
    ASSERT_TRUE(recorder->add(makeFrame(shape, 0, fixedTime())));
    ASSERT_TRUE(recorder->add(makeFrame(shape, 1, fixedTime() + std::chrono::milliseconds(10))));
    recorder->add(makeFrame(wider, 2, fixedTime() + std::chrono::milliseconds(20)));
    const std::string finished = recorder->finish();
    EXPECT_NE(finished.find("cannot write " + (dir / "out/capture.ser") + ": "), std::string::npos)
        << finished;
    EXPECT_EQ(recorder->counts().written, 2u);
    const SerVideo video = readSer(dir / "out/capture.ser");
    EXPECT_EQ(video.frameCount, 2);
    EXPECT_EQ(video.width, int32_t(shape.width));
    EXPECT_EQ(video.trailingBytes, 16u);
    ASSERT_EQ(video.frames.size(), 2u);
    EXPECT_EQ(hexOf(video.frames[1]), expectedHex(shape, 1, true));
}

} // namespace
} // namespace qor::capture::testing
