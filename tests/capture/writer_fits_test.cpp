// FITS files read back by astropy and checked by fitsverify: the image's planes and bytes, and
// every keyword that stacking and photometry programs read.
#include "writer_fixture.h"

namespace qor::capture::testing {
namespace {

std::map<std::string, std::string> writeOneFits(const ScratchDir &dir, const FrameShape &shape,
                                                std::string *file) {
    RecorderOptions options;
    options.format = FileFormat::Fits;
    options.directory = dir / "out";
    std::string error;
    auto recorder = Recorder::create(options, description(), &error);
    if (!recorder) {
        ADD_FAILURE() << error;
        return {};
    }
    EXPECT_TRUE(recorder->add(makeFrame(shape, 7, fixedTime())));
    EXPECT_EQ(recorder->finish(), "");
    *file = dir / "out/frame-000007.fits";
    if (readerPresent("/usr/bin/fitsverify", "fitsverify")) {
        const CommandResult verify = run("/usr/bin/fitsverify -q '" + *file + "'");
        EXPECT_EQ(verify.status, 0) << verify.output;
        EXPECT_NE(verify.output.find("OK"), std::string::npos) << verify.output;
    }
    return readWithPython("fits", *file);
}

double number(const std::map<std::string, std::string> &keys, const std::string &key) {
    auto found = keys.find(key);
    if (found == keys.end()) {
        ADD_FAILURE() << key << " is missing";
        return NAN;
    }
    return std::strtod(found->second.c_str(), nullptr);
}

FrameSettings cooledSettings() {
    FrameSettings s;
    s.exposureMs = 250;
    s.gain = 0.008;
    s.redGain = 0.01, s.greenGain = 0.009, s.blueGain = 0.012;
    s.hasCooler = true;
    s.coolingOn = true;
    s.temperatureC = -9.5;
    s.setPointC = -10;
    return s;
}

TEST(FitsWriter, MonochromeFrameKeywordsAndPixels) {
    ScratchDir dir;
    FrameShape shape;
    shape.settings.exposureMs = 12.5;
    shape.settings.gain = 0.004;
    std::string file;
    const auto keys = writeOneFits(dir, shape, &file);
    ASSERT_FALSE(keys.empty());
    EXPECT_EQ(keys.at("BITPIX"), "8");
    EXPECT_EQ(keys.at("NAXIS"), "2");
    EXPECT_EQ(keys.at("shape"), "6x12");
    EXPECT_EQ(keys.at("dtype"), "uint8");
    EXPECT_EQ(keys.at("data"), expectedHex(shape, 7, false));
    EXPECT_DOUBLE_EQ(number(keys, "EXPTIME"), 0.0125);
    EXPECT_DOUBLE_EQ(number(keys, "GAIN"), 0.004);
    EXPECT_EQ(keys.at("DATE-OBS"), "2026-03-14T01:59:26.535");
    EXPECT_EQ(keys.at("INSTRUME"), "QV-262C-0042");
    EXPECT_EQ(keys.at("OBSERVER"), "A. Observer");
    EXPECT_EQ(keys.at("TELESCOP"), "Refractor 80/480");
    EXPECT_EQ(keys.at("XBINNING"), "2");
    EXPECT_EQ(keys.at("YBINNING"), "2");
    EXPECT_EQ(keys.at("XORGSUBF"), "16");
    EXPECT_EQ(keys.at("YORGSUBF"), "8");
    EXPECT_EQ(keys.at("ROWORDER"), "TOP-DOWN");
    EXPECT_EQ(keys.at("SWCREATE"), std::string("qorvanta ") + "0.1.0");
    // No cooler, no mosaic: none of their keywords.
    for (const char *absent : {"CCD-TEMP", "SET-TEMP", "BAYERPAT", "XBAYROFF", "YBAYROFF"})
        EXPECT_EQ(keys.count(absent), 0u) << absent;
}

TEST(FitsWriter, DecodedColourIsThreePlanesRedGreenBlue) {
    for (PixelLayout layout : {PixelLayout::ARGB, PixelLayout::BGRA}) {
        SCOPED_TRACE(layoutName(layout));
        ScratchDir dir;
        FrameShape shape;
        shape.layout = layout;
        shape.settings = cooledSettings();
        std::string file;
        const auto keys = writeOneFits(dir, shape, &file);
        ASSERT_FALSE(keys.empty());
        EXPECT_EQ(keys.at("NAXIS"), "3");
        EXPECT_EQ(keys.at("NAXIS3"), "3");
        EXPECT_EQ(keys.at("shape"), "3x6x12");
        EXPECT_EQ(keys.at("data"), expectedHex(shape, 7, false));
        EXPECT_EQ(keys.count("BAYERPAT"), 0u);
    }
}

TEST(FitsWriter, CooledRawMosaicCarriesTemperaturesAndBayerPattern) {
    ScratchDir dir;
    FrameShape shape;
    shape.layout = PixelLayout::Mosaic;
    shape.mosaic = MosaicPhase::GBRG;
    shape.settings = cooledSettings();
    std::string file;
    const auto keys = writeOneFits(dir, shape, &file);
    ASSERT_FALSE(keys.empty());
    EXPECT_EQ(keys.at("NAXIS"), "2");
    EXPECT_EQ(keys.at("data"), expectedHex(shape, 7, false));
    EXPECT_DOUBLE_EQ(number(keys, "EXPTIME"), 0.25);
    EXPECT_DOUBLE_EQ(number(keys, "GAIN"), 0.008);
    EXPECT_DOUBLE_EQ(number(keys, "CCD-TEMP"), -9.5);
    EXPECT_DOUBLE_EQ(number(keys, "SET-TEMP"), -10.0);
    EXPECT_EQ(keys.at("BAYERPAT"), "GBRG");
    EXPECT_EQ(keys.at("XBAYROFF"), "0");
    EXPECT_EQ(keys.at("YBAYROFF"), "0");
}

} // namespace
} // namespace qor::capture::testing
