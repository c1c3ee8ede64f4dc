// A captured frame and what is known about it: the one type the capture session hands out and
// the file writers take. The pixels are copied once, out of the digitizer's ring, into the
// frame; from there the frame is shared, never copied again.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qor::capture {

// How a frame's bytes are laid out. Grey: one byte per pixel. ARGB and BGRA: the digitizer's
// decoded colour, four bytes per pixel in that order. Mosaic: one byte per pixel as the sensor
// delivered it (after the flips), its colour given by the frame's mosaic phase.
enum class PixelLayout { Grey, ARGB, BGRA, Mosaic };

// The colour of the mosaic's top-left 2x2 tile, as the camera library numbers it (0..4).
enum class MosaicPhase : uint8_t { None = 0, RGGB = 1, GRBG = 2, GBRG = 3, BGGR = 4 };

// "grey", "ARGB", "BGRA", "mosaic".
const char *layoutName(PixelLayout layout);
// "RGGB" ... ; "" for None.
const char *mosaicName(MosaicPhase phase);
// Bytes per pixel of a layout: 1 or 4.
uint32_t bytesPerPixel(PixelLayout layout);

// The camera's settings in force when the frame was captured (read once per capture and again
// whenever the session is told they changed; the sensor temperature is read at most once a
// second).
struct FrameSettings {
    double exposureMs = 0; // exposure in milliseconds
    double gain = NAN;     // the overall gain as the settings page shows it
    double redGain = NAN, greenGain = NAN, blueGain = NAN; // colour gains; NaN on mono cameras
    bool flipHorizontal = false, flipVertical = false;
    bool hasCooler = false;
    bool coolingOn = false;
    double temperatureC = NAN; // sensor temperature; NaN without a cooler or a reading
    double setPointC = NAN;    // cooler set-point; NaN without a cooler
};

// Where the frame lies on the sensor and how it was read out.
struct FrameGeometry {
    uint32_t width = 0, height = 0;    // pixels
    uint32_t rowBytes = 0;             // bytes from one row to the next in `pixels`
    uint32_t originX = 0, originY = 0; // the window's top-left on the sensor, in sensor pixels
    uint32_t binX = 1, binY = 1;       // subsampling factors (1 = every pixel)
};

struct FrameInfo {
    uint64_t sequence = 0;       // 0, 1, 2 ... in the order the capture received them
    double digitizerSeconds = 0; // the digitizer's time stamp (time value / time scale)
    std::chrono::system_clock::time_point utc{}; // wall-clock time the frame was received
    FrameGeometry geometry;
    PixelLayout layout = PixelLayout::Grey;
    MosaicPhase mosaic = MosaicPhase::None; // the sensor's phase (for Mosaic frames: theirs)
    FrameSettings settings;
};

struct Frame {
    FrameInfo info;
    std::vector<uint8_t> pixels; // rowBytes * height bytes
};

using FramePtr = std::shared_ptr<const Frame>;

// What the driver lost, counted since the capture started: decoded frames overwritten in a
// full ring before the program took them, reads that failed or came short, frames that arrived
// while the program was not asking for one.
struct DropCounts {
    uint64_t overwritten = 0;
    uint64_t lostInTransfer = 0;
    uint64_t unrequested = 0;
};

// What the files of one capture say about where they came from.
struct CaptureDescription {
    std::string cameraName; // the digitizer's name (INSTRUME, SER instrument)
    uint16_t productID = 0;
    std::string serial;
    std::string driverVersion;                     // the library's version
    std::string observer;                          // optional, for the SER header and FITS OBSERVER
    std::string telescope;                         // optional, for the SER header and FITS TELESCOP
    std::chrono::system_clock::time_point start{}; // the capture's start, UTC
};

} // namespace qor::capture
