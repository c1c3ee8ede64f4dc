#include "sim/images.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using qor::sim::BundleImage;
using qor::sim::HexStyle;
using qor::sim::kAnyRelease;
using Bytes = std::vector<uint8_t>;

const fs::path kResources =
    fs::path(__FILE__).parent_path().parent_path().parent_path() / "resources";

Bytes readFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What a HEX file put into RAM, and how it was laid out.
struct DecodedHex {
    Bytes ram;
    std::set<size_t> recordLengths;
    size_t commentLines = 0;
    size_t blankLines = 0;
    bool crlf = false;
};

uint8_t hexPair(const std::string &text, size_t at) {
    return uint8_t(std::stoul(text.substr(at, 2), nullptr, 16));
}

// A small, strict reader: upper-case records of types 00 and 01 with correct checksums, comment
// lines as the driver skips them, and nothing after the end record. Loads into `ramSize` bytes
// pre-filled with `fill`.
std::optional<DecodedHex> decodeHex(const std::string &text, size_t ramSize, uint8_t fill = 0) {
    DecodedHex out;
    out.ram.assign(ramSize, fill);
    bool ended = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') {
            out.crlf = true;
            line.pop_back();
        }
        if (ended) return std::nullopt;
        if (line.empty()) {
            ++out.blankLines;
            continue;
        }
        if (std::string("_-#;/*").find(line[0]) != std::string::npos) {
            ++out.commentLines;
            continue;
        }
        if (line[0] != ':' || line.size() < 11 || line.size() % 2 == 0) return std::nullopt;
        for (size_t i = 1; i < line.size(); ++i)
            if (!std::isdigit(uint8_t(line[i])) && (line[i] < 'A' || line[i] > 'F'))
                return std::nullopt;
        size_t count = hexPair(line, 1);
        if (line.size() != 11 + 2 * count) return std::nullopt;
        uint8_t sum = 0;
        for (size_t i = 1; i < line.size(); i += 2) sum = uint8_t(sum + hexPair(line, i));
        if (sum != 0) return std::nullopt;
        size_t address = size_t(hexPair(line, 3)) << 8 | hexPair(line, 5);
        uint8_t type = hexPair(line, 7);
        if (type == 1 && count == 0) {
            ended = true;
            continue;
        }
        if (type != 0 || count == 0 || address + count > ramSize) return std::nullopt;
        for (size_t i = 0; i < count; ++i) out.ram[address + i] = hexPair(line, 9 + 2 * i);
        out.recordLengths.insert(count);
    }
    return ended ? std::optional(out) : std::nullopt;
}

// The firmware as the FX2 holds it after a download into zero-filled RAM.
Bytes loadedRam(const Bytes &image) {
    Bytes ram(qor::sim::kFx2RamSize, 0);
    std::copy(image.begin(), image.end(), ram.begin());
    return ram;
}

// Every model that ships an image, once.
std::set<uint16_t> modelsOf(std::span<const BundleImage> files) {
    std::set<uint16_t> models;
    for (const BundleImage &file : files) models.insert(file.productID);
    return models;
}

std::string describe(const BundleImage &file) {
    return file.path;
}

// Images kept as strings for comparison: GCC 12 at -O3 warns falsely about the memcmp that
// ordering vectors of bytes inlines.
std::string asString(const Bytes &bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// ---- firmware images

TEST(ImagesFirmware, BuildsTheSameImageEveryTimeAndADifferentOnePerModelAndRelease) {
    std::set<std::string> seen;
    for (const BundleImage &file : qor::sim::bundleFirmwareFiles()) {
        Bytes image = qor::sim::buildFirmwareImage(file.productID, file.releaseMask);
        EXPECT_EQ(image, qor::sim::buildFirmwareImage(file.productID, file.releaseMask))
            << describe(file);
        EXPECT_LE(image.size(), qor::sim::kFx2RamSize);
        EXPECT_TRUE(seen.insert(asString(image)).second)
            << describe(file) << " repeats another image";
    }
}

TEST(ImagesFirmware, StartsWithAJumpAndCarriesTheModelsDeviceDescriptor) {
    for (uint16_t model : modelsOf(qor::sim::bundleFirmwareFiles())) {
        Bytes image = qor::sim::buildFirmwareImage(model, kAnyRelease);
        EXPECT_EQ(image[0], 0x02) << std::hex << model; // LJMP
        uint16_t target = uint16_t(image[1] << 8 | image[2]);
        EXPECT_NE(image[target], 0x00) << "reset jumps into empty memory";
        const uint8_t head[] = {0x12, 0x01, 0x00, 0x02};
        auto at = std::search(image.begin(), image.end(), std::begin(head), std::end(head));
        ASSERT_NE(at, image.end()) << std::hex << model;
        size_t d = size_t(at - image.begin());
        EXPECT_EQ(image[d + 10] | image[d + 11] << 8, model);
        uint16_t vendor = uint16_t(image[d + 8] | image[d + 9] << 8);
        EXPECT_TRUE(vendor != 0 && vendor != 0xFFFF) << std::hex << vendor;
    }
}

TEST(ImagesFirmware, BootsOnlyItsModelAtTheReleasesItServes) {
    auto files = qor::sim::bundleFirmwareFiles();
    std::set<uint16_t> models = modelsOf(files);
    for (const BundleImage &file : files) {
        Bytes ram = loadedRam(qor::sim::buildFirmwareImage(file.productID, file.releaseMask));
        for (uint16_t release = 0; release < 40; ++release) {
            bool serves = file.releaseMask == kAnyRelease ||
                          (release < 32 && (file.releaseMask >> release & 1));
            EXPECT_EQ(qor::sim::firmwareBootsModel(ram, file.productID, release), serves)
                << describe(file) << " release " << release;
        }
        EXPECT_TRUE(qor::sim::firmwareBootsModel(ram, file.productID | 0x8000,
                                                 uint16_t(std::countr_zero(file.releaseMask))));
        for (uint16_t other : models) {
            if (other == file.productID) continue;
            for (uint16_t release : {0, 1, 2, 0x10})
                EXPECT_FALSE(qor::sim::firmwareBootsModel(ram, other, release))
                    << describe(file) << " boots model " << std::hex << other;
        }
    }
}

TEST(ImagesFirmware, AnImageForAnyReleaseBootsEveryReleaseNumber) {
    Bytes ram = loadedRam(qor::sim::buildFirmwareImage(0x01A4, kAnyRelease));
    for (uint16_t release : {0, 1, 31, 32, 0x100, 0xFFFF})
        EXPECT_TRUE(qor::sim::firmwareBootsModel(ram, 0x01A4, release)) << release;
}

TEST(ImagesFirmware, AnyAlteredByteThatTheProgramOrIdentityHoldsStopsTheBoot) {
    Bytes image = qor::sim::buildFirmwareImage(0x01A5, 0x3);
    Bytes ram = loadedRam(image);
    ASSERT_TRUE(qor::sim::firmwareBootsModel(ram, 0x01A5, 1));
    const size_t block = qor::sim::kFirmwareIdentityAddress;
    size_t covered = ram[block + 12] | ram[block + 13] << 8;
    ASSERT_GT(covered, 0x200u);
    auto altered = [&](size_t at) {
        Bytes copy = ram;
        copy[at] ^= 0x10;
        return qor::sim::firmwareBootsModel(copy, 0x01A5, 1);
    };
    for (size_t at = 0; at < covered; ++at) ASSERT_FALSE(altered(at)) << "byte " << at;
    for (size_t at = block; at < block + qor::sim::kFirmwareIdentitySize; ++at)
        ASSERT_FALSE(altered(at)) << "identity byte " << at - block;
    // Memory the program does not use may hold anything.
    EXPECT_TRUE(altered(covered));
    EXPECT_TRUE(altered(block - 1));
    EXPECT_TRUE(altered(qor::sim::kFx2RamSize - 1));
}

TEST(ImagesFirmware, PartialDownloadsAndEmptyRamDoNotBoot) {
    Bytes image = qor::sim::buildFirmwareImage(0x009A, 0x1);
    EXPECT_FALSE(qor::sim::firmwareBootsModel(Bytes(qor::sim::kFx2RamSize, 0), 0x009A, 0));
    EXPECT_FALSE(qor::sim::firmwareBootsModel(Bytes(qor::sim::kFx2RamSize, 0xFF), 0x009A, 0));
    // Only the program, without the identity block; only the identity block.
    Bytes head(qor::sim::kFx2RamSize, 0), tail(qor::sim::kFx2RamSize, 0);
    std::copy(image.begin(), image.begin() + qor::sim::kFirmwareIdentityAddress, head.begin());
    std::copy(image.begin() + qor::sim::kFirmwareIdentityAddress, image.end(),
              tail.begin() + qor::sim::kFirmwareIdentityAddress);
    EXPECT_FALSE(qor::sim::firmwareBootsModel(head, 0x009A, 0));
    EXPECT_FALSE(qor::sim::firmwareBootsModel(tail, 0x009A, 0));
    // RAM too small to hold the identity block.
    EXPECT_FALSE(qor::sim::firmwareBootsModel(
        std::span(image).first(qor::sim::kFirmwareIdentityAddress + 10), 0x009A, 0));
}

// ---- bitstreams

TEST(ImagesBitstream, SameBytesEveryTimeRealisticSizeAndDistinctPerModel) {
    std::set<std::string> seen;
    for (const BundleImage &file : qor::sim::bundleFpgaFiles()) {
        Bytes bits = qor::sim::buildBitstream(file.productID, file.releaseMask);
        EXPECT_EQ(bits, qor::sim::buildBitstream(file.productID, file.releaseMask));
        EXPECT_GE(bits.size(), 100u * 1024) << describe(file);
        EXPECT_LE(bits.size(), 400u * 1024 + qor::sim::kBitstreamHeaderSize) << describe(file);
        EXPECT_TRUE(seen.insert(asString(bits)).second)
            << describe(file) << " repeats another bitstream";
    }
}

TEST(ImagesBitstream, MostlyBlankSoTheBundleCompresses) {
    for (uint16_t model : modelsOf(qor::sim::bundleFpgaFiles())) {
        Bytes bits = qor::sim::buildBitstream(model, kAnyRelease);
        size_t blank = size_t(std::count(bits.begin(), bits.end(), 0x00) +
                              std::count(bits.begin(), bits.end(), 0xFF));
        EXPECT_GT(blank, bits.size() * 95 / 100) << std::hex << model;
        EXPECT_LT(blank, bits.size()) << std::hex << model; // but not empty
    }
}

TEST(ImagesBitstream, ConfiguresOnlyItsModelAtTheReleasesItServes) {
    auto files = qor::sim::bundleFpgaFiles();
    std::set<uint16_t> models = modelsOf(files);
    for (const BundleImage &file : files) {
        Bytes bits = qor::sim::buildBitstream(file.productID, file.releaseMask);
        for (uint16_t release : {0, 1, 2, 5, 0x10, 0x20}) {
            bool serves = file.releaseMask == kAnyRelease ||
                          (release < 32 && (file.releaseMask >> release & 1));
            EXPECT_EQ(qor::sim::bitstreamConfiguresModel(bits, file.productID, release), serves)
                << describe(file) << " release " << release;
        }
        for (uint16_t other : models) {
            if (other == file.productID) continue;
            EXPECT_FALSE(qor::sim::bitstreamConfiguresModel(bits, other, 0))
                << describe(file) << " configures model " << std::hex << other;
        }
    }
}

TEST(ImagesBitstream, TruncatedPaddedOrCorruptedBitstreamsDoNotConfigure) {
    const Bytes bits = qor::sim::buildBitstream(0x0092, 0x2);
    ASSERT_TRUE(qor::sim::bitstreamConfiguresModel(bits, 0x0092, 1));
    auto configures = [](const Bytes &b) {
        return qor::sim::bitstreamConfiguresModel(b, 0x0092, 1);
    };

    EXPECT_FALSE(configures(Bytes(bits.begin(), bits.end() - 1)));
    EXPECT_FALSE(configures(Bytes(bits.begin(), bits.begin() + bits.size() / 2)));
    EXPECT_FALSE(configures(Bytes(bits.begin(), bits.begin() + 10)));
    EXPECT_FALSE(configures({}));
    Bytes padded = bits;
    padded.push_back(0xFF);
    EXPECT_FALSE(configures(padded));

    for (size_t at = 0; at < qor::sim::kBitstreamHeaderSize; ++at) {
        Bytes copy = bits;
        copy[at] ^= 0x01;
        EXPECT_FALSE(configures(copy)) << "header byte " << at;
    }
    for (size_t at : {size_t(qor::sim::kBitstreamHeaderSize), bits.size() / 3, bits.size() / 2,
                      bits.size() - 1}) {
        Bytes copy = bits;
        copy[at] ^= 0x80;
        EXPECT_FALSE(configures(copy)) << "payload byte " << at;
    }
}

TEST(ImagesBitstream, Crc32MatchesTheStandardCheckValue) {
    const std::string check = "123456789";
    Bytes bytes(check.begin(), check.end());
    EXPECT_EQ(qor::sim::crc32(bytes), 0xCBF43926u);
    // Continuing over a second piece gives the CRC of the whole.
    EXPECT_EQ(
        qor::sim::crc32(std::span(bytes).subspan(4), qor::sim::crc32(std::span(bytes).first(4))),
        0xCBF43926u);
}

// ---- Intel HEX writer

Bytes noise(size_t n, uint32_t seed) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1664525u + 1013904223u;
        bytes[i] = uint8_t(seed >> 24) | 1; // never zero: nothing is left out
    }
    return bytes;
}

TEST(ImagesIntelHex, EveryStyleWritesTheSameBytesWithValidUpperCaseRecords) {
    const Bytes image = noise(1000, 7);
    HexStyle plain;
    HexStyle commented;
    commented.recordLength = 32;
    commented.commentPrefix = "//";
    commented.comments = {"camera firmware", "two lines"};
    commented.blankLineEvery = 4;
    commented.crlf = true;
    HexStyle tiny;
    tiny.recordLength = 1;
    tiny.commentPrefix = ";";
    tiny.comments = {"x"};
    HexStyle widest;
    widest.recordLength = 255;
    widest.blankLineEvery = 1;

    for (const HexStyle &style : {plain, commented, tiny, widest}) {
        std::string text = qor::sim::formatIntelHex(image, 0x0100, style);
        SCOPED_TRACE(style.recordLength);
        auto decoded = decodeHex(text, 0x10000); // rejects lower case and bad checksums
        ASSERT_TRUE(decoded);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), decoded->ram.begin() + 0x0100));
        EXPECT_EQ(std::count(decoded->ram.begin(), decoded->ram.end(), 0),
                  0x10000 - std::ptrdiff_t(image.size()));
        EXPECT_EQ(*decoded->recordLengths.rbegin(), std::min<size_t>(style.recordLength, 1000));
        EXPECT_EQ(decoded->commentLines, style.comments.size());
        EXPECT_EQ(decoded->crlf, style.crlf);
        EXPECT_EQ(decoded->blankLines > 0, style.blankLineEvery > 0);
        std::string eol = style.crlf ? "\r\n" : "\n";
        EXPECT_TRUE(text.ends_with(":00000001FF" + eol));
    }
}

TEST(ImagesIntelHex, DigitsAreUpperCase) {
    // Bytes whose hexadecimal forms use every letter.
    Bytes image = {0xAB, 0xCD, 0xEF, 0xFA, 0xBC, 0xDE};
    std::string text = qor::sim::formatIntelHex(image, 0xABCD, HexStyle{});
    EXPECT_EQ(text, ":06ABCD00ABCDEFFABCDE87\n:00000001FF\n");
}

TEST(ImagesIntelHex, LeavesOutLongZeroRunsOnly) {
    Bytes image = noise(40, 1);
    image.resize(image.size() + 300, 0); // left out
    Bytes more = noise(40, 2);
    image.insert(image.end(), more.begin(), more.end());
    image.resize(image.size() + 100, 0); // written: too short to skip
    image.insert(image.end(), more.begin(), more.end());

    HexStyle style;
    style.recordLength = 32;
    std::string text = qor::sim::formatIntelHex(image, 0, style);
    auto decoded = decodeHex(text, image.size(), 0xEE);
    ASSERT_TRUE(decoded);
    for (size_t i = 0; i < image.size(); ++i) {
        bool skipped = i >= 40 && i < 340;
        ASSERT_EQ(decoded->ram[i], skipped ? 0xEE : image[i]) << "address " << i;
    }
}

TEST(ImagesIntelHex, MultiLineCommentsStayComments) {
    HexStyle style;
    style.commentPrefix = "#";
    style.comments = {"first\nsecond\r\nthird"};
    std::string text = qor::sim::formatIntelHex(noise(4, 3), 0, style);
    EXPECT_TRUE(text.starts_with("# first\n# second\n# third\n:04")) << text;
}

// ---- the bundle's files

TEST(ImagesBundle, FirmwareFilesHoldTheImagesTheBuilderMakesNow) {
    for (const BundleImage &file : qor::sim::bundleFirmwareFiles()) {
        Bytes raw = readFile(kResources / file.path);
        ASSERT_FALSE(raw.empty()) << "missing " << file.path;
        auto decoded = decodeHex(std::string(raw.begin(), raw.end()), qor::sim::kFx2RamSize);
        ASSERT_TRUE(decoded) << file.path << " is not valid upper-case Intel HEX";
        Bytes expected = loadedRam(qor::sim::buildFirmwareImage(file.productID, file.releaseMask));
        EXPECT_EQ(decoded->ram, expected)
            << file.path << " differs from the builder's image; run tools/gen-resources.sh";
    }
}

TEST(ImagesBundle, FirmwareFilesBootOverLeftoverRam) {
    // A real FX2 powers up with arbitrary RAM: what the file leaves out must not matter.
    for (const BundleImage &file : qor::sim::bundleFirmwareFiles()) {
        Bytes raw = readFile(kResources / file.path);
        auto decoded = decodeHex(std::string(raw.begin(), raw.end()), qor::sim::kFx2RamSize, 0xA5);
        ASSERT_TRUE(decoded) << file.path;
        uint16_t release =
            file.releaseMask == kAnyRelease ? 7 : uint16_t(std::countr_zero(file.releaseMask));
        EXPECT_TRUE(qor::sim::firmwareBootsModel(decoded->ram, file.productID, release))
            << file.path;
    }
}

TEST(ImagesBundle, FpgaFilesEqualTheBuildersBitstreams) {
    for (const BundleImage &file : qor::sim::bundleFpgaFiles()) {
        Bytes raw = readFile(kResources / file.path);
        ASSERT_FALSE(raw.empty()) << "missing " << file.path;
        EXPECT_TRUE(raw == qor::sim::buildBitstream(file.productID, file.releaseMask))
            << file.path << " differs from the builder's bitstream; run tools/gen-resources.sh";
    }
}

TEST(ImagesBundle, HoldsNoOtherFirmwareOrFpgaFiles) {
    std::set<std::string> listed;
    for (const BundleImage &file : qor::sim::bundleFirmwareFiles()) listed.insert(file.path);
    for (const BundleImage &file : qor::sim::bundleFpgaFiles()) listed.insert(file.path);
    size_t found = 0;
    for (const char *folder : {"Firmware", "FPGA"}) {
        for (const auto &entry : fs::recursive_directory_iterator(kResources / folder)) {
            if (!entry.is_regular_file()) continue;
            ++found;
            EXPECT_TRUE(listed.count(fs::relative(entry.path(), kResources).generic_string()))
                << "stray file " << entry.path();
        }
    }
    EXPECT_EQ(found, listed.size());
}

TEST(ImagesBundle, FirmwareFilesExerciseEveryLayoutTheDriverReads) {
    std::set<size_t> lengths;
    bool crlf = false, lf = false, blank = false;
    std::set<char> commentKinds;
    for (const BundleImage &file : qor::sim::bundleFirmwareFiles()) {
        Bytes raw = readFile(kResources / file.path);
        std::string text(raw.begin(), raw.end());
        auto decoded = decodeHex(text, qor::sim::kFx2RamSize);
        ASSERT_TRUE(decoded) << file.path;
        lengths.insert(*decoded->recordLengths.rbegin());
        (decoded->crlf ? crlf : lf) = true;
        blank = blank || decoded->blankLines > 0;
        if (decoded->commentLines > 0) commentKinds.insert(text[0]);
    }
    EXPECT_TRUE(lengths.count(16) && lengths.count(32));
    EXPECT_TRUE(crlf && lf && blank);
    EXPECT_TRUE(commentKinds.count('#') && commentKinds.count('/'));
}

} // namespace
