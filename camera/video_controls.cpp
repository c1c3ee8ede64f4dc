// Video controls: four registers per control (status, value, minimum, maximum), and the
// automatic colour balance, a bisection over the red and blue gains toward a target colour.
#include "camera/video_controls.h"

#include "camera/registers.h"

#include <qorvanta/camera.h>
#include <qorvanta/imaging.h>
#include <qorvanta/status.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

constexpr uint32_t kPresent = 1u << 31;
constexpr uint32_t kAutoOffered = 1u << 30;
constexpr uint32_t kAutoOn = 0x4000;
constexpr uint32_t kBalanceFrames = 63;
constexpr int kConvergedWithin = 7;

enum : int8_t { kSearching = 0, kConverged = 1, kFailed = -1 };

// One colour channel of the balance search: its state, gains, bisection partner, and the
// nearest gains known to give too little and too much.
struct BalanceChannel {
    int8_t &state;
    uint32_t &gain;
    uint32_t &other;
    uint32_t &low;
    uint32_t &high;
    uint32_t minimum;
    uint32_t maximum;
    uint16_t gainRegister;
};

// Moves one channel's gain halfway toward the side its average has to go, and sends it.
//
// The halfway point is taken toward the nearest gain known to lie on the other side of the
// target. Taking it toward the previous gain, or else the end of the range, as a one-partner
// search does, throws away what two steps in one direction learnt and may never converge (on
// a scene that needs a gain between two earlier ones it jumps back to the range's end).
void stepChannel(CameraHandle camera, BalanceChannel channel, uint8_t average, long target) {
    if (channel.state != kSearching) return;
    if (std::labs(long(average) - target) <= kConvergedWithin) {
        channel.state = kConverged;
        return;
    }
    bool tooStrong = average > target;
    // A scene that changed under the search may leave the bounds crossed: start them again.
    if (channel.low > channel.high || channel.high > channel.maximum) {
        channel.low = channel.minimum;
        channel.high = channel.maximum;
    }
    if (tooStrong)
        channel.high = std::min(channel.high, channel.gain);
    else
        channel.low = std::max(channel.low, channel.gain);
    const uint32_t bound = tooStrong ? channel.low : channel.high;
    uint32_t next = uint32_t((uint64_t(channel.gain) + bound) / 2);
    channel.other = channel.gain;
    channel.gain = next;
    if (QORAWriteOneCameraRegister(camera, channel.gainRegister, channel.gain) != 0)
        channel.state = kFailed;
}

// The record follows the camera, so that whoever shows or sends the gains later (the settings
// page re-sends them when a balance ends) does not bring back a gain of the abandoned search.
void restoreSavedGains(CameraHandle camera, CameraRecord &record) {
    QORAWriteOneCameraRegister(camera, qor::camera::kRegRedGainValue, record.savedRedGain);
    QORAWriteOneCameraRegister(camera, qor::camera::kRegBlueGainValue, record.savedBlueGain);
    atomicField(record.redGain).store(record.savedRedGain);
    atomicField(record.blueGain).store(record.savedBlueGain);
}

// The colour-balance fields belong to one thread at a time: a start on the client's thread or a
// step on the streaming thread. A step only tries, and leaves its frame to a start at work (which
// finds no balance running, or refuses); a start waits for a step to finish.
bool tryTakeBalance(CameraRecord &record) {
    return atomicField(record.balanceBusy).exchange(1, std::memory_order_acquire) == 0;
}

void takeBalance(CameraRecord &record) {
    auto busy = atomicField(record.balanceBusy);
    while (busy.exchange(1, std::memory_order_acquire) != 0)
        busy.wait(1, std::memory_order_relaxed);
}

void releaseBalance(CameraRecord &record) {
    auto busy = atomicField(record.balanceBusy);
    busy.store(0, std::memory_order_release);
    busy.notify_all();
}

long scaledTarget(double scale, uint8_t target) {
    return std::min(255L, std::lround(scale * target));
}

} // namespace

namespace qor::camera {

namespace {

// One step, with the balance's fields held.
void stepHeld(CameraHandle camera, CameraRecord *record, const uint8_t *rawFrame) {
    uint32_t framesLeft = record->balanceFramesLeft;

    if (framesLeft % 4 == 0) {
        QORAGetBayerFrameAverageRGBValues(rawFrame, record->bayerPattern, record->rawWidth,
                                          record->rawWidth, record->rawHeight, &record->frameAvgR,
                                          &record->frameAvgG, &record->frameAvgB);
        // The target colour is taken relative to the green level the scene has now.
        double scale = 1.0;
        if (record->balanceTargetG > 1 && record->frameAvgG > 1)
            scale = double(record->frameAvgG) / double(record->balanceTargetG);
        long targetR = scaledTarget(scale, record->balanceTargetR);
        long targetB = scaledTarget(scale, record->balanceTargetB);

        // The settings page may cancel a search (both states -1) and reads the gains from its
        // own thread: states and gains are loaded and stored whole, and a cancel stays.
        auto stepShared = [&](int8_t &sharedState, uint32_t &sharedGain, uint32_t &other,
                              uint32_t &low, uint32_t &high, uint32_t minimum, uint32_t maximum,
                              uint16_t reg, uint8_t average, long target) {
            int8_t state = atomicField(sharedState).load();
            uint32_t gain = atomicField(sharedGain).load();
            const int8_t before = state;
            stepChannel(camera, {state, gain, other, low, high, minimum, maximum, reg}, average,
                        target);
            atomicField(sharedGain).store(gain);
            int8_t expected = before;
            atomicField(sharedState).compare_exchange_strong(expected, state);
        };
        stepShared(record->redBalanceState, record->redGain, record->redGainOther,
                   record->redGainLow, record->redGainHigh, record->redGainMin, record->redGainMax,
                   kRegRedGainValue, record->frameAvgR, targetR);
        stepShared(record->blueBalanceState, record->blueGain, record->blueGainOther,
                   record->blueGainLow, record->blueGainHigh, record->blueGainMin,
                   record->blueGainMax, kRegBlueGainValue, record->frameAvgB, targetB);

        const int8_t red = atomicField(record->redBalanceState).load();
        const int8_t blue = atomicField(record->blueBalanceState).load();
        if (red != kSearching && blue != kSearching) {
            atomicField(record->colorBalanceActive).store(0);
            if (red != kConverged && blue != kConverged) restoreSavedGains(camera, *record);
        }
    }

    if (framesLeft > 1) {
        record->balanceFramesLeft = framesLeft - 1;
    } else {
        // Out of time: give up and put the gains back as they were.
        atomicField(record->colorBalanceActive).store(0);
        restoreSavedGains(camera, *record);
    }
}

} // namespace

void colorBalanceStep(CameraHandle camera, const uint8_t *rawFrame) {
    CameraRecord *record = cameraRecord(camera);
    if (!record || !rawFrame || atomicField(record->colorBalanceActive).load() != 1) return;
    if (!tryTakeBalance(*record)) return;
    if (atomicField(record->colorBalanceActive).load() == 1) stepHeld(camera, record, rawFrame);
    releaseBalance(*record);
}

std::chrono::milliseconds colorBalanceFrameWait(CameraRecord &record) {
    // A frame takes as long as the data rate needs to carry it, or the exposure when longer.
    const float rate = record.frameRate;
    const double transferMs = rate > 0.0f ? 1000.0 / double(rate) : 0.0;
    const double exposureMs = atomicField(record.exposure).load() / 1000.0;
    constexpr double kFramesToWait = 3.0; // room for a late frame and a lost one
    constexpr double kShortestWaitMs = 2000.0;
    constexpr double kLongestWaitMs = 86'400'000.0; // keeps the conversion defined
    const double waitMs = std::clamp(kFramesToWait * std::max(transferMs, exposureMs),
                                     kShortestWaitMs, kLongestWaitMs);
    return std::chrono::milliseconds(int64_t(waitMs));
}

} // namespace qor::camera

namespace {

int32_t startHeld(CameraHandle camera, CameraRecord *record) {
    // A balance that runs keeps its saved gains and its count: a second start is refused.
    if (atomicField(record->colorBalanceActive).load() != 0) return badCallOrderErr;
    record->balanceTargetR = uint8_t(record->balanceTargetColor.red / 257);
    record->balanceTargetG = uint8_t(record->balanceTargetColor.green / 257);
    record->balanceTargetB = uint8_t(record->balanceTargetColor.blue / 257);

    int32_t result =
        QORAReadOneCameraRegister(camera, qor::camera::kRegRedGainValue, &record->savedRedGain);
    if (result != 0) return result;
    result =
        QORAReadOneCameraRegister(camera, qor::camera::kRegBlueGainValue, &record->savedBlueGain);
    if (result != 0) return result;

    atomicField(record->redGain).store(record->redGainMax);
    atomicField(record->blueGain).store(record->blueGainMax);
    result = QORASetVideoControlValue(camera, qor::camera::kControlRedGain, 4, record->redGain);
    if (result == 0)
        result =
            QORASetVideoControlValue(camera, qor::camera::kControlBlueGain, 4, record->blueGain);
    if (result != 0) {
        QORASetVideoControlValue(camera, qor::camera::kControlRedGain, 4, record->savedRedGain);
        QORASetVideoControlValue(camera, qor::camera::kControlBlueGain, 4, record->savedBlueGain);
        return result;
    }
    atomicField(record->redBalanceState).store(kSearching);
    atomicField(record->blueBalanceState).store(kSearching);
    record->redGainOther = kNoBisectionPartner;
    record->blueGainOther = kNoBisectionPartner;
    record->redGainLow = record->redGainMin;
    record->redGainHigh = record->redGainMax;
    record->blueGainLow = record->blueGainMin;
    record->blueGainHigh = record->blueGainMax;
    record->balanceFramesLeft = kBalanceFrames;
    // Handed to the frame path last, after every field it reads.
    atomicField(record->colorBalanceActive).store(1);
    return 0;
}

} // namespace

extern "C" {

int32_t QORAGetVideoControlProperties(Handle camera, uint16_t control, uint8_t *autoSupported,
                                      uint8_t *autoOn, uint32_t *minimum, uint32_t *maximum,
                                      uint32_t *value) {
    if (!cameraRecord(camera)) return kIOReturnNoDevice;
    if (!autoSupported || !autoOn || !minimum || !maximum || !value) return paramErr;
    *autoSupported = *autoOn = 0;
    *minimum = *maximum = *value = 0;
    uint32_t status = 0;
    if (QORAReadOneCameraRegister(camera, control, &status) != 0 || !(status & kPresent))
        return digiUnimpErr;
    if (status & kAutoOffered) {
        *autoSupported = 1;
        *autoOn = (status & kAutoOn) ? 1 : 0;
    }
    int32_t result = QORAReadOneCameraRegister(camera, uint16_t(control + 4), value);
    if (result == 0) result = QORAReadOneCameraRegister(camera, uint16_t(control + 8), minimum);
    if (result == 0) result = QORAReadOneCameraRegister(camera, uint16_t(control + 12), maximum);
    return result;
}

int32_t QORAGetVideoControlValue(Handle camera, uint16_t control, uint32_t valueSize,
                                 uint32_t *value) {
    if (!cameraRecord(camera)) return kIOReturnNoDevice;
    if (!value) return paramErr;
    if (valueSize == 4) return QORAReadOneCameraRegister(camera, uint16_t(control + 4), value);
    uint32_t status = 0;
    if (QORAReadOneCameraRegister(camera, control, &status) != 0) return digiUnimpErr;
    *value = (status & kAutoOn) ? 1 : 0;
    return 0;
}

int32_t QORASetVideoControlValue(Handle camera, uint16_t control, uint32_t valueSize,
                                 uint32_t value) {
    if (!cameraRecord(camera)) return kIOReturnNoDevice;
    if (valueSize == 4) return QORAWriteOneCameraRegister(camera, uint16_t(control + 4), value);
    uint32_t status = 0;
    if (QORAReadOneCameraRegister(camera, control, &status) != 0) return digiUnimpErr;
    status = value ? (status | kAutoOn) : (status & ~kAutoOn);
    return QORAWriteOneCameraRegister(camera, control, status);
}

int32_t QORAStartColorBalance(Handle camera) {
    CameraRecord *record = cameraRecord(camera);
    if (!record) return kIOReturnNoDevice;
    takeBalance(*record);
    const int32_t result = startHeld(camera, record);
    releaseBalance(*record);
    return result;
}

} // extern "C"
