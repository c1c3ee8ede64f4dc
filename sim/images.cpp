#include "sim/images.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>

namespace qor::sim {

namespace {

// The vendor ids burnt into our firmware descriptors. The files are built once and shipped, so
// they carry the bundle's own ids whatever the environment of a later run says.
constexpr uint16_t kFirmwareVendorID = 0xFFF0;
constexpr uint16_t kFirmwareVendorID2 = 0xFFF1;

constexpr std::array<uint8_t, 4> kFirmwareMagic = {'Q', 'V', 'F', 'W'};
constexpr std::array<uint8_t, 4> kBitstreamMagic = {'Q', 'V', 'B', 'S'};
constexpr uint16_t kImageFormat = 1;

// Where the parts of a firmware image sit in FX2 RAM.
constexpr uint16_t kStartupCode = 0x0080;
constexpr uint16_t kDescriptors = 0x0100;
constexpr uint16_t kGpifWaveforms = 0x0200;
constexpr size_t kGpifWaveformBytes = 128;
constexpr uint16_t kSensorDefaults = 0x0280;

// Bitstream payload: preamble, sync word, configuration frames, 0xFF padding.
constexpr size_t kPreambleBytes = 32;
constexpr std::array<uint8_t, 4> kSyncWord = {0x5A, 0xC3, 0x3C, 0xA5};
constexpr size_t kFrameBytes = 512;

// Deterministic pseudo-random bytes (SplitMix64): the same model always gets the same image.
class Generator {
public:
    explicit Generator(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t bound) { return uint32_t(next() % bound); }

private:
    uint64_t state_;
};

uint64_t imageSeed(uint16_t productID, uint32_t releaseMask, uint64_t kind) {
    return (uint64_t(productID) << 48) ^ (uint64_t(releaseMask) << 8) ^ kind;
}

void put16(uint8_t *at, uint16_t value) {
    at[0] = uint8_t(value);
    at[1] = uint8_t(value >> 8);
}

void put32(uint8_t *at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = uint8_t(value >> (8 * i));
}

uint16_t get16(const uint8_t *at) {
    return uint16_t(at[0] | at[1] << 8);
}

uint32_t get32(const uint8_t *at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

void append(std::vector<uint8_t> &out, std::initializer_list<uint8_t> bytes) {
    out.insert(out.end(), bytes);
}

void appendStringDescriptor(std::vector<uint8_t> &out, const std::string &text) {
    out.push_back(uint8_t(2 + 2 * text.size()));
    out.push_back(0x03);
    for (char c : text) append(out, {uint8_t(c), 0x00});
}

// Device, device-qualifier and configuration descriptors, then the strings. Alternate setting 0
// streams video on bulk-in endpoint 6; alternate setting 1 takes the bitstream on bulk-out 2.
std::vector<uint8_t> descriptors(uint16_t productID, uint32_t releaseMask) {
    uint16_t vendorID = (productID & 0x0F00) == 0 ? kFirmwareVendorID : kFirmwareVendorID2;
    // bcdDevice: the first release the image serves.
    uint16_t release = (releaseMask == 0 || releaseMask == kAnyRelease)
                           ? 0
                           : uint16_t(std::countr_zero(releaseMask));
    std::vector<uint8_t> out;
    append(out, {0x12, 0x01, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0x40, uint8_t(vendorID),
                 uint8_t(vendorID >> 8), uint8_t(productID), uint8_t(productID >> 8),
                 uint8_t(release), uint8_t(release >> 8), 0x01, 0x02, 0x00, 0x01});
    append(out, {0x0A, 0x06, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0x40, 0x01, 0x00});
    append(out, {0x09, 0x02, 0x29, 0x00, 0x01, 0x01, 0x00, 0x80, 0xFA});
    append(out, {0x09, 0x04, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0x00});
    append(out, {0x07, 0x05, 0x86, 0x02, 0x00, 0x02, 0x00});
    append(out, {0x09, 0x04, 0x00, 0x01, 0x01, 0xFF, 0xFF, 0xFF, 0x00});
    append(out, {0x07, 0x05, 0x02, 0x02, 0x00, 0x02, 0x00});
    append(out, {0x04, 0x03, 0x09, 0x04});
    appendStringDescriptor(out, "Qorvanta");
    char product[32];
    std::snprintf(product, sizeof product, "Qorvanta USB2 Camera %04X", productID);
    appendStringDescriptor(out, product);
    return out;
}

// The 8051 program: vectors, then start-up that sets the clock, drops off the bus and comes
// back with the descriptors above (re-enumeration), then idles with interrupts on.
void writeProgram(std::vector<uint8_t> &ram) {
    const uint8_t resetJump[] = {0x02, uint8_t(kStartupCode >> 8), uint8_t(kStartupCode)};
    std::copy(std::begin(resetJump), std::end(resetJump), ram.begin());
    for (size_t vector = 0x03; vector <= 0x63; vector += 8) ram[vector] = 0x32; // RETI
    const uint8_t startup[] = {
        0x75, 0x81, 0x5F, // MOV SP,#5Fh
        0x90, 0xE6, 0x00, // MOV DPTR,#CPUCS
        0x74, 0x12,       // MOV A,#12h      48 MHz, clock out
        0xF0,             // MOVX @DPTR,A
        0x90, 0xE6, 0x80, // MOV DPTR,#USBCS
        0x74, 0x0A,       // MOV A,#0Ah      disconnect, renumerate
        0xF0,             // MOVX @DPTR,A
        0x7F, 0xFF,       // MOV R7,#FFh     wait for the host to notice
        0x7E, 0xFF,       // MOV R6,#FFh
        0xDE, 0xFE,       // DJNZ R6,$
        0xDF, 0xFA,       // DJNZ R7,-6
        0x74, 0x02,       // MOV A,#02h      reconnect, renumerated
        0xF0,             // MOVX @DPTR,A
        0xD2, 0xAF,       // SETB EA
        0x80, 0xFE,       // SJMP $
    };
    std::copy(std::begin(startup), std::end(startup), ram.begin() + kStartupCode);
}

} // namespace

uint32_t crc32(std::span<const uint8_t> bytes, uint32_t previous) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t crc = ~previous;
    for (uint8_t b : bytes) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

bool releaseAccepted(uint32_t releaseMask, uint16_t releaseNumber) {
    return releaseMask == kAnyRelease || (releaseMask & releaseBit(releaseNumber)) != 0;
}

std::vector<uint8_t> buildFirmwareImage(uint16_t productID, uint32_t releaseMask) {
    productID &= 0x7FFF;
    Generator random(imageSeed(productID, releaseMask, 0xF1));
    size_t defaultsBytes = 64 + random.below(961);
    size_t covered = kSensorDefaults + defaultsBytes;

    std::vector<uint8_t> ram(kFirmwareIdentityAddress + kFirmwareIdentitySize, 0);
    writeProgram(ram);
    std::vector<uint8_t> desc = descriptors(productID, releaseMask);
    std::copy(desc.begin(), desc.end(), ram.begin() + kDescriptors);
    // GPIF waveforms (state words) and the sensor's register defaults: model-specific data.
    for (size_t i = 0; i < kGpifWaveformBytes; ++i)
        ram[kGpifWaveforms + i] = uint8_t(random.next());
    // The defaults table ends with 0xFF, so the covered range never ends in zeros the HEX
    // writer would leave out.
    for (size_t i = 0; i < defaultsBytes; ++i) ram[kSensorDefaults + i] = uint8_t(random.next());
    ram[covered - 1] = 0xFF;

    uint8_t *block = ram.data() + kFirmwareIdentityAddress;
    std::copy(kFirmwareMagic.begin(), kFirmwareMagic.end(), block);
    put16(block + 4, productID);
    put16(block + 6, kImageFormat);
    put32(block + 8, releaseMask);
    put32(block + 12, uint32_t(covered));
    uint32_t crc = crc32(std::span(ram).first(covered));
    put32(block + 16, crc32(std::span<const uint8_t>(block, 16), crc));
    return ram;
}

bool firmwareBootsModel(std::span<const uint8_t> ram, uint16_t productID, uint16_t releaseNumber) {
    if (ram.size() < kFirmwareIdentityAddress + kFirmwareIdentitySize) return false;
    const uint8_t *block = ram.data() + kFirmwareIdentityAddress;
    if (!std::equal(kFirmwareMagic.begin(), kFirmwareMagic.end(), block)) return false;
    if (get16(block + 4) != (productID & 0x7FFF) || get16(block + 6) != kImageFormat) return false;
    uint32_t covered = get32(block + 12);
    // The CPU starts at 0x0000, which must hold the jump to the program.
    if (covered < 3 || covered > kFirmwareIdentityAddress || ram[0] != 0x02) return false;
    uint32_t crc = crc32(ram.first(covered));
    if (crc32(std::span<const uint8_t>(block, 16), crc) != get32(block + 16)) return false;
    return releaseAccepted(get32(block + 8), releaseNumber);
}

std::vector<uint8_t> buildBitstream(uint16_t productID, uint32_t releaseMask) {
    productID &= 0x7FFF;
    // The device size fixes the bitstream length: the same for every release of a model.
    Generator sizing(imageSeed(productID, 0, 0xB5));
    size_t payloadBytes = (100 + sizing.below(301)) * 1024;

    std::vector<uint8_t> bits(kBitstreamHeaderSize + payloadBytes, 0xFF);
    uint8_t *header = bits.data();
    std::copy(kBitstreamMagic.begin(), kBitstreamMagic.end(), header);
    put16(header + 4, kImageFormat);
    put16(header + 6, productID);
    put32(header + 8, releaseMask);
    put32(header + 12, uint32_t(payloadBytes));

    // Frames of configuration memory: a frame address, then mostly unused (zero) cells with a
    // few programmed ones; about a third of the frames are in use, the rest stay erased (0xFF).
    Generator random(imageSeed(productID, releaseMask, 0xB1));
    uint8_t *payload = bits.data() + kBitstreamHeaderSize;
    std::copy(kSyncWord.begin(), kSyncWord.end(), payload + kPreambleBytes);
    size_t frames = (payloadBytes - kPreambleBytes - kSyncWord.size()) / kFrameBytes;
    for (size_t f = 0; f < frames; ++f) {
        uint8_t *frame = payload + kPreambleBytes + kSyncWord.size() + f * kFrameBytes;
        if (random.below(3) != 0) continue;
        put32(frame, uint32_t(f));
        std::fill(frame + 4, frame + kFrameBytes, 0x00);
        for (uint32_t n = 8 + random.below(40); n > 0; --n)
            frame[4 + random.below(kFrameBytes - 4)] = uint8_t(random.next());
    }

    uint32_t crc = crc32(std::span<const uint8_t>(header, 16));
    put32(header + 16, crc32(std::span<const uint8_t>(payload, payloadBytes), crc));
    return bits;
}

bool bitstreamConfiguresModel(std::span<const uint8_t> bits, uint16_t productID,
                              uint16_t releaseNumber) {
    if (bits.size() < kBitstreamHeaderSize) return false;
    const uint8_t *header = bits.data();
    if (!std::equal(kBitstreamMagic.begin(), kBitstreamMagic.end(), header)) return false;
    if (get16(header + 4) != kImageFormat || get16(header + 6) != (productID & 0x7FFF))
        return false;
    if (bits.size() - kBitstreamHeaderSize != get32(header + 12)) return false;
    uint32_t crc = crc32(bits.first(16));
    if (crc32(bits.subspan(kBitstreamHeaderSize), crc) != get32(header + 16)) return false;
    return releaseAccepted(get32(header + 8), releaseNumber);
}

std::string formatIntelHex(std::span<const uint8_t> image, uint16_t baseAddress,
                           const HexStyle &style) {
    constexpr size_t kSkippedZeroRun = 256;
    const char *eol = style.crlf ? "\r\n" : "\n";
    const size_t recordLength = std::clamp<size_t>(style.recordLength, 1, 255);
    std::string out;

    for (const std::string &comment : style.comments) {
        // One comment line per text line: a line end inside would end the comment early.
        size_t start = 0;
        do {
            size_t end = comment.find('\n', start);
            std::string line = comment.substr(start, end == std::string::npos ? end : end - start);
            std::erase(line, '\r');
            out += style.commentPrefix;
            if (!line.empty()) out += ' ' + line;
            out += eol;
            start = end == std::string::npos ? end : end + 1;
        } while (start != std::string::npos);
    }

    auto record = [&](uint8_t type, uint16_t address, std::span<const uint8_t> data) {
        char field[3];
        uint8_t sum = 0;
        auto hexByte = [&](uint8_t value) {
            std::snprintf(field, sizeof field, "%02X", value);
            out += field;
            sum = uint8_t(sum + value);
        };
        out += ':';
        hexByte(uint8_t(data.size()));
        hexByte(uint8_t(address >> 8));
        hexByte(uint8_t(address));
        hexByte(type);
        for (uint8_t b : data) hexByte(b);
        hexByte(uint8_t(-sum));
        out += eol;
    };

    size_t records = 0;
    size_t at = 0;
    while (at < image.size()) {
        size_t zeros = 0;
        while (at + zeros < image.size() && image[at + zeros] == 0) ++zeros;
        if (zeros >= kSkippedZeroRun) {
            at += zeros;
            continue;
        }
        // A record ends early where a long zero run begins.
        size_t length = std::min(recordLength, image.size() - at);
        for (size_t i = 1; i < length; ++i) {
            if (image[at + i] != 0) continue;
            size_t run = 0;
            while (at + i + run < image.size() && image[at + i + run] == 0) ++run;
            if (run >= kSkippedZeroRun) {
                length = i;
                break;
            }
            i += run - 1;
        }
        record(0x00, uint16_t(baseAddress + at), image.subspan(at, length));
        at += length;
        if (style.blankLineEvery != 0 && ++records % style.blankLineEvery == 0) out += eol;
    }
    record(0x01, 0, {});
    return out;
}

namespace {

constexpr BundleImage kFirmwareFiles[] = {
    {"Firmware/cam01/firm0.HEX", 0x00A1, kAnyRelease},
    {"Firmware/cam02/firm0.HEX", 0x04A2, kAnyRelease},
    {"Firmware/cam03/firm0.HEX", 0x00A3, kAnyRelease},
    {"Firmware/cam04/firm0.HEX", 0x01AC, kAnyRelease},
    {"Firmware/cam05/firm0.HEX", 0x01A2, releaseBit(0)},
    {"Firmware/cam05/firm10.HEX", 0x01A2, releaseBit(0x10)},
    {"Firmware/cam06/firm0.HEX", 0x01A7, releaseBit(0)},
    {"Firmware/cam06/firm10.HEX", 0x01A7, releaseBit(0x10)},
    {"Firmware/cam07/firm0.HEX", 0x01A4, kAnyRelease},
    {"Firmware/cam08/firm0.HEX", 0x01A5, releaseBit(0) | releaseBit(1)},
    {"Firmware/cam08/firm1.HEX", 0x01A5, releaseBit(2)},
    {"Firmware/cam09/firm0.HEX", 0x01AF, kAnyRelease},
    {"Firmware/cam10/firm0.HEX", 0x01A8, releaseBit(0)},
    {"Firmware/cam10/firm1.HEX", 0x01A8, releaseBit(1)},
    {"Firmware/cam10/firm2.HEX", 0x01A8, releaseBit(2)},
    {"Firmware/cam10/firm3.HEX", 0x01A8, releaseBit(3)},
    {"Firmware/cam10/firm4.HEX", 0x01A8, releaseBit(4)},
    {"Firmware/cam10/firm5.HEX", 0x01A8, releaseBit(5)},
    {"Firmware/cam11/firm0.HEX", 0x03AD, kAnyRelease},
    {"Firmware/cam12/firm0.HEX", 0x008C, kAnyRelease},
    {"Firmware/cam13/firm0.HEX", 0x018C, kAnyRelease},
    {"Firmware/cam14/firm0.HEX", 0x0085, kAnyRelease},
    {"Firmware/cam15/firm0.HEX", 0x0092, releaseBit(0)},
    {"Firmware/cam15/firm1.HEX", 0x0092, releaseBit(1)},
    {"Firmware/cam16/firm0.HEX", 0x0096, releaseBit(0)},
    {"Firmware/cam16/firm1.HEX", 0x0096, releaseBit(1)},
    {"Firmware/cam16/firm2.HEX", 0x0096, releaseBit(2)},
    {"Firmware/cam16/firm3.HEX", 0x0096, releaseBit(3)},
    {"Firmware/cam17/firm0.HEX", 0x009A, releaseBit(0)},
    {"Firmware/cam17/firm1.HEX", 0x009A, releaseBit(1)},
    {"Firmware/cam18/firm0.HEX", 0x019A, kAnyRelease},
    {"Firmware/cam19/firm0.HEX", 0x018A, releaseBit(0)},
    {"Firmware/cam19/firm1.HEX", 0x018A, releaseBit(1)},
    {"Firmware/cam20/firm0.HEX", 0x009E, kAnyRelease},
    {"Firmware/cam21/firm0.HEX", 0x0097, releaseBit(0)},
    {"Firmware/cam21/firm1.HEX", 0x0097, releaseBit(1)},
    {"Firmware/cam21/firm2.HEX", 0x0097, releaseBit(2)},
    {"Firmware/cam22/firm0.HEX", 0x0180, kAnyRelease},
    {"Firmware/cam23/firm0.HEX", 0x008D, kAnyRelease},
    {"Firmware/cam24/firm0.HEX", 0x01CD, kAnyRelease},
    {"Firmware/cam25/firm0.HEX", 0x019B, kAnyRelease},
    {"Firmware/cam26/firm0.HEX", 0x008B, kAnyRelease},
    {"Firmware/cam27/firm0.HEX", 0x01C5, kAnyRelease},
    {"Firmware/cam28/firm0.HEX", 0x01C8, releaseBit(0)},
    {"Firmware/cam28/firm1.HEX", 0x01C8, releaseBit(1)},
    {"Firmware/cam28/firm2.HEX", 0x01C8, releaseBit(2)},
    {"Firmware/cam28/firm3.HEX", 0x01C8, releaseBit(3)},
    {"Firmware/cam28/firm4.HEX", 0x01C8, releaseBit(4)},
    {"Firmware/cam28/firm5.HEX", 0x01C8, releaseBit(5)},
};

constexpr BundleImage kFpgaFiles[] = {
    {"FPGA/cam01/fpga0.rbf", 0x00A1, kAnyRelease},
    {"FPGA/cam02/fpga0.rbf", 0x04A2, kAnyRelease},
    {"FPGA/cam03/fpga0.rbf", 0x00A3, kAnyRelease},
    {"FPGA/cam04/fpga0.rbf", 0x01AC, kAnyRelease},
    {"FPGA/cam05/fpga0.rbf", 0x01A2, releaseBit(0)},
    {"FPGA/cam05/fpga10.rbf", 0x01A2, releaseBit(0x10)},
    {"FPGA/cam06/fpga0.rbf", 0x01A7, releaseBit(0)},
    {"FPGA/cam06/fpga10.rbf", 0x01A7, releaseBit(0x10)},
    {"FPGA/cam07/fpga0.rbf", 0x01A4, kAnyRelease},
    {"FPGA/cam08/fpga0.rbf", 0x01A5, kAnyRelease},
    {"FPGA/cam09/fpga0.rbf", 0x01AF, kAnyRelease},
    {"FPGA/cam10/fpga0.rbf", 0x01A8, kAnyRelease},
    {"FPGA/cam12/fpga0.rbf", 0x008C, kAnyRelease},
    {"FPGA/cam13/fpga0.bin", 0x018C, kAnyRelease},
    {"FPGA/cam14/fpga0.rbf", 0x0085, kAnyRelease},
    {"FPGA/cam15/fpga0.rbf", 0x0092, releaseBit(0)},
    {"FPGA/cam15/fpga1.rbf", 0x0092, releaseBit(1)},
    {"FPGA/cam16/fpga0.rbf", 0x0096, kAnyRelease},
    {"FPGA/cam17/fpga0.rbf", 0x009A, kAnyRelease},
    {"FPGA/cam18/fpga0.bin", 0x019A, kAnyRelease},
    {"FPGA/cam19/fpga0.bin", 0x018A, kAnyRelease},
    {"FPGA/cam20/fpga0.rbf", 0x009E, kAnyRelease},
    {"FPGA/cam21/fpga0.rbf", 0x0097, releaseBit(0)},
    {"FPGA/cam21/fpga1.rbf", 0x0097, releaseBit(1)},
    {"FPGA/cam22/fpga0.bin", 0x0180, kAnyRelease},
    {"FPGA/cam23/fpga0.rbf", 0x008D, kAnyRelease},
    {"FPGA/cam24/fpga0.rbf", 0x01CD, kAnyRelease},
    {"FPGA/cam25/fpga0.bin", 0x019B, kAnyRelease},
    {"FPGA/cam26/fpga0.rbf", 0x008B, kAnyRelease},
    {"FPGA/cam27/fpga0.rbf", 0x01C5, kAnyRelease},
    {"FPGA/cam28/fpga0.bin", 0x01C8, kAnyRelease},
};

} // namespace

std::span<const BundleImage> bundleFirmwareFiles() {
    return kFirmwareFiles;
}
std::span<const BundleImage> bundleFpgaFiles() {
    return kFpgaFiles;
}

} // namespace qor::sim
