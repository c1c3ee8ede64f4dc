// The FX2 firmware images and FPGA bitstreams of the simulated cameras: how each is built, how
// the simulated FX2 and FPGA recognise the one meant for them, and the Intel HEX writer that
// turns a firmware image into the text files the driver downloads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qor::sim {

// Release masks: bit r accepts release number r (r < 32); all bits set accepts every release.
constexpr uint32_t kAnyRelease = 0xFFFFFFFF;
constexpr uint32_t releaseBit(uint16_t release) {
    return release < 32 ? 1u << release : 0;
}
bool releaseAccepted(uint32_t releaseMask, uint16_t releaseNumber);

// FX2 internal RAM (program and data), and where a firmware image says what it is for.
// The identity block: "QVFW", product id (u16), format (u16), release mask (u32), covered
// length L (u32), CRC-32 (u32), little-endian. The CRC runs over RAM[0, L) followed by the
// block's first 16 bytes, so neither the program nor the identity can be altered unnoticed.
constexpr size_t kFx2RamSize = 0x4000;
constexpr uint16_t kFirmwareIdentityAddress = 0x3F00;
constexpr size_t kFirmwareIdentitySize = 20;

// The bytes to load from address 0 for a model's firmware (deterministic; distinct per model
// and per release mask). Its USB descriptors carry the model's ids and strings.
std::vector<uint8_t> buildFirmwareImage(uint16_t productID, uint32_t releaseMask);
// Whether an FX2 whose RAM holds `ram` boots as this model (product id with or without 0x8000)
// at this release number.
bool firmwareBootsModel(std::span<const uint8_t> ram, uint16_t productID, uint16_t releaseNumber);

// Bitstream: 20-byte header — "QVBS", format (u16), product id (u16), release mask (u32),
// payload length (u32), CRC-32 (u32) of the first 16 header bytes followed by the payload —
// then the payload: configuration frames, mostly blank, as real devices' bitstreams are.
constexpr size_t kBitstreamHeaderSize = 20;
std::vector<uint8_t> buildBitstream(uint16_t productID, uint32_t releaseMask);
// Whether the FPGA of this model and release configures from exactly these bytes.
bool bitstreamConfiguresModel(std::span<const uint8_t> bits, uint16_t productID,
                              uint16_t releaseNumber);

// CRC-32 (IEEE 802.3, reflected); pass a previous result to continue over more bytes.
uint32_t crc32(std::span<const uint8_t> bytes, uint32_t previous = 0);

// How an Intel HEX file is laid out. Every style yields the same records.
struct HexStyle {
    size_t recordLength = 16;          // data bytes per record, 1 to 255
    std::string commentPrefix = "#";   // starts each comment line: "#", "//", ";" ...
    std::vector<std::string> comments; // header lines, written before the first record
    size_t blankLineEvery = 0;         // a blank line after every n records; 0: none
    bool crlf = false;                 // CR LF line ends instead of LF
};

// Upper-case Intel HEX of `image` placed at `baseAddress` (image and address within 64 KB):
// data records (type 00) and the end record (type 01). Runs of 256 or more zero bytes are left
// out; nothing the firmware checks lies in them.
std::string formatIntelHex(std::span<const uint8_t> image, uint16_t baseAddress,
                           const HexStyle &style);

// A file of the bundle's resources/ directory and the image it holds.
struct BundleImage {
    const char *path;     // relative to resources/, e.g. "Firmware/cam08/firm0.HEX"
    uint16_t productID;   // model product id (without 0x8000)
    uint32_t releaseMask; // the release numbers the image serves
};

// Every firmware file and every FPGA file the bundle ships.
std::span<const BundleImage> bundleFirmwareFiles();
std::span<const BundleImage> bundleFpgaFiles();

} // namespace qor::sim
