// PNG and TIFF files read back by Pillow and tiffinfo, and the sidecar of a per-file capture
// read by Python's csv and json modules.
#include "writer_fixture.h"

namespace qor::capture::testing {
namespace {

// Writes frames 0 .. count-1 of `shape` as `format` into DIR/out; "" or the recorder's error.
std::string writeFrames(const ScratchDir &dir, FileFormat format, const FrameShape &shape,
                        int count, SidecarFormat sidecar = SidecarFormat::Csv) {
    RecorderOptions options;
    options.format = format;
    options.directory = dir / "out";
    options.sidecar = sidecar;
    options.threads = 3;
    std::string error;
    auto recorder = Recorder::create(options, description(), &error);
    if (!recorder) return error;
    for (int i = 0; i < count; ++i)
        if (!recorder->add(
                makeFrame(shape, uint64_t(i), fixedTime() + std::chrono::milliseconds(100 * i))))
            return "frame skipped";
    return recorder->finish();
}

FrameShape specFor(PixelLayout layout) {
    FrameShape shape;
    shape.layout = layout;
    if (layout == PixelLayout::Mosaic) shape.mosaic = MosaicPhase::RGGB;
    shape.settings.exposureMs = 33;
    shape.settings.gain = 0.016;
    shape.settings.flipHorizontal = true;
    if (layout != PixelLayout::Grey) shape.settings.redGain = 0.011;
    return shape;
}

TEST(PngWriter, PixelsTimeAndSettingsReadBackWithPillow) {
    const PixelLayout layouts[] = {PixelLayout::Grey, PixelLayout::ARGB, PixelLayout::BGRA,
                                   PixelLayout::Mosaic};
    for (PixelLayout layout : layouts) {
        SCOPED_TRACE(layoutName(layout));
        ScratchDir dir;
        const FrameShape shape = specFor(layout);
        ASSERT_EQ(writeFrames(dir, FileFormat::Png, shape, 2), "");
        const auto png = readWithPython("png", dir / "out/frame-000001.png");
        ASSERT_FALSE(png.empty());
        EXPECT_EQ(png.at("format"), "PNG");
        EXPECT_EQ(png.at("mode"),
                  layout == PixelLayout::ARGB || layout == PixelLayout::BGRA ? "RGB" : "L");
        EXPECT_EQ(png.at("size"), "12x6");
        EXPECT_EQ(png.at("data"), expectedHex(shape, 1, true));
        EXPECT_EQ(png.at("text.Creation Time"), "2026-03-14T01:59:26.635Z");
        EXPECT_EQ(png.at("tIME"), "2026-03-14T01:59:26");
        EXPECT_EQ(png.at("text.Software"), "qorvanta 0.1.0");
        EXPECT_EQ(png.at("text.camera"), "QV-262C-0042");
        EXPECT_EQ(png.at("text.sequence"), "1");
        EXPECT_EQ(png.at("text.exposure_ms"), "33");
        EXPECT_EQ(png.at("text.gain"), "0.016");
        EXPECT_EQ(png.at("text.flip_h"), "1");
        EXPECT_EQ(png.at("text.layout"), layoutName(layout));
        if (layout == PixelLayout::Mosaic) {
            EXPECT_EQ(png.at("text.mosaic"), "RGGB");
        }
        if (layout == PixelLayout::Grey) {
            EXPECT_EQ(png.count("text.red_gain"), 0u);
        }
    }
}

// The level is the user's; an impossible one is refused before anything is written.
TEST(PngWriter, EveryCompressionLevelDecodesAndAnUnknownOneIsRefused) {
    const FrameShape shape = specFor(PixelLayout::ARGB);
    for (int level : {0, 9}) {
        ScratchDir dir;
        RecorderOptions options;
        options.directory = dir / "out";
        options.pngLevel = level;
        std::string error;
        auto recorder = Recorder::create(options, description(), &error);
        ASSERT_TRUE(recorder) << error;
        recorder->add(makeFrame(shape, 0, fixedTime()));
        ASSERT_EQ(recorder->finish(), "");
        EXPECT_EQ(readWithPython("png", dir / "out/frame-000000.png")["data"],
                  expectedHex(shape, 0, true));
    }
    ScratchDir dir;
    RecorderOptions options;
    options.directory = dir / "out";
    options.pngLevel = 10;
    std::string error;
    EXPECT_FALSE(Recorder::create(options, description(), &error));
    EXPECT_NE(error.find("10"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(dir / "out"));
}

TEST(TiffWriter, PixelsAndTagsReadBackWithPillowAndTiffinfo) {
    const PixelLayout layouts[] = {PixelLayout::Grey, PixelLayout::ARGB, PixelLayout::BGRA,
                                   PixelLayout::Mosaic};
    for (PixelLayout layout : layouts) {
        SCOPED_TRACE(layoutName(layout));
        ScratchDir dir;
        const FrameShape shape = specFor(layout);
        ASSERT_EQ(writeFrames(dir, FileFormat::Tiff, shape, 1), "");
        const std::string file = dir / "out/frame-000000.tiff";
        const auto tiff = readWithPython("tiff", file);
        ASSERT_FALSE(tiff.empty());
        const bool colour = layout == PixelLayout::ARGB || layout == PixelLayout::BGRA;
        EXPECT_EQ(tiff.at("format"), "TIFF");
        EXPECT_EQ(tiff.at("mode"), colour ? "RGB" : "L");
        EXPECT_EQ(tiff.at("size"), "12x6");
        EXPECT_EQ(tiff.at("data"), expectedHex(shape, 0, true));
        EXPECT_EQ(tiff.at("DateTime"), "2026:03:14 01:59:26");
        EXPECT_EQ(tiff.at("Software"), "qorvanta 0.1.0");
        EXPECT_EQ(tiff.at("Model"), "QV-262C-0042");
        EXPECT_EQ(tiff.at("desc.time"), "2026-03-14T01:59:26.535Z");
        EXPECT_EQ(tiff.at("desc.exposure_ms"), "33");
        EXPECT_EQ(tiff.at("desc.layout"), layoutName(layout));
        if (layout == PixelLayout::Mosaic) {
            EXPECT_EQ(tiff.at("desc.mosaic"), "RGGB");
        }
        if (!readerPresent("/usr/bin/tiffinfo", "libtiff-tools")) continue;
        const CommandResult info = run("/usr/bin/tiffinfo '" + file + "'");
        EXPECT_EQ(info.status, 0) << info.output;
        EXPECT_NE(info.output.find("Image Width: 12 Image Length: 6"), std::string::npos)
            << info.output;
        EXPECT_NE(info.output.find(colour ? "Samples/Pixel: 3" : "Samples/Pixel: 1"),
                  std::string::npos)
            << info.output;
        EXPECT_NE(info.output.find(colour ? "RGB color" : "min-is-black"), std::string::npos)
            << info.output;
        EXPECT_EQ(info.output.find("TIFFReadDirectory"), std::string::npos) << info.output;
    }
}

// Every written frame has one row, in the order the frames came, with all its metadata.
TEST(Sidecar, CsvAndJsonLinesListEveryFrameInOrder) {
    for (SidecarFormat format : {SidecarFormat::Csv, SidecarFormat::JsonLines}) {
        const bool json = format == SidecarFormat::JsonLines;
        SCOPED_TRACE(json ? "jsonl" : "csv");
        ScratchDir dir;
        FrameShape shape = specFor(PixelLayout::Mosaic);
        shape.settings.hasCooler = true;
        shape.settings.coolingOn = true;
        shape.settings.temperatureC = -4.25;
        shape.settings.setPointC = -5;
        constexpr int kFrames = 24;
        ASSERT_EQ(writeFrames(dir, FileFormat::Png, shape, kFrames, format), "");
        const auto rows = readWithPython(json ? "jsonl" : "csv",
                                         dir / (json ? "out/frames.jsonl" : "out/frames.csv"));
        ASSERT_FALSE(rows.empty());
        EXPECT_EQ(rows.at("rows"), std::to_string(kFrames));
        // JSON text values arrive quoted, numbers and booleans as they are.
        auto q = [&](const std::string &v) { return json ? "\"" + v + "\"" : v; };
        auto b = [&](bool v) { return json ? (v ? "true" : "false") : (v ? "true" : "false"); };
        for (int i = 0; i < kFrames; ++i) {
            const std::string row = "row" + std::to_string(i) + ".";
            char name[32], time[40];
            std::snprintf(name, sizeof name, "frame-%06d.png", i);
            std::snprintf(time, sizeof time, "2026-03-14T01:59:%02d.%03dZ",
                          26 + (535 + 100 * i) / 1000, (535 + 100 * i) % 1000);
            EXPECT_EQ(rows.at(row + "file"), q(name));
            EXPECT_EQ(rows.at(row + "sequence"), std::to_string(i));
            EXPECT_EQ(rows.at(row + "utc"), q(time));
            EXPECT_TRUE(fs::exists(dir / (std::string("out/") + name)));
            EXPECT_NEAR(std::strtod(rows.at(row + "digitizer_s").c_str(), nullptr), 0.5 + i / 30.0,
                        1e-6);
        }
        EXPECT_EQ(rows.at("row3.width"), "12");
        EXPECT_EQ(rows.at("row3.height"), "6");
        EXPECT_EQ(rows.at("row3.origin_x"), "16");
        EXPECT_EQ(rows.at("row3.bin_y"), "2");
        EXPECT_EQ(rows.at("row3.layout"), q("mosaic"));
        EXPECT_EQ(rows.at("row3.mosaic"), q("RGGB"));
        EXPECT_EQ(rows.at("row3.exposure_ms"), "33");
        EXPECT_EQ(rows.at("row3.gain"), "0.016");
        EXPECT_EQ(rows.at("row3.red_gain"), "0.011");
        EXPECT_EQ(rows.at("row3.green_gain"), json ? "null" : "");
        EXPECT_EQ(rows.at("row3.flip_h"), b(true));
        EXPECT_EQ(rows.at("row3.flip_v"), b(false));
        EXPECT_EQ(rows.at("row3.cooling"), b(true));
        EXPECT_EQ(rows.at("row3.temperature_c"), "-4.25");
        EXPECT_EQ(rows.at("row3.set_point_c"), "-5");
    }
}

} // namespace
} // namespace qor::capture::testing
