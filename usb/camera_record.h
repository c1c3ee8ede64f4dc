// The camera record: the one structure per camera, reached through a memory handle that every
// camera-library function takes first and that the digitizer keeps as its instance storage.
//
// A plain struct that a zero-filled handle makes valid: zero means absent for every object,
// pointer and handle field. The client's thread and the streaming thread share it without a
// lock; the fields both touch are accessed through atomicField(), never plainly.
#pragma once

#include "platform/imagecompression.h"
#include "platform/mac_types.h"
#include "platform/memory.h"
#include "platform/runloop.h"
#include "platform/timebase.h"
#include "platform/usb.h"

#include <atomic>
#include <pthread.h>

constexpr int kCameraNameSize = 81;
constexpr int kImageSizeTableSize = 22;
constexpr int kFrameSlotCount = 10;
constexpr int kRawBufferCount = 3;
constexpr uint32_t kNoSlot = 255;
constexpr uint32_t kNoBisectionPartner = 0xFFFFFFFF;

struct CameraRecord {
    // Transport and identity.
    ComponentInstance vdigSelf;
    io_service_t deviceService;
    IOUSBDeviceInterface187 **deviceInterface;
    io_service_t interfaceService;
    IOUSBInterfaceInterface **interfaceInterface;
    mach_port_t masterPort;
    IONotificationPortRef notifyPort;
    io_object_t interestNotification;
    CFRunLoopRef runLoop;
    CFRunLoopSourceRef notifyRunLoopSource;
    IONotificationPortRef powerNotifyPort;
    io_connect_t rootPowerPort;
    io_object_t powerNotifier;
    CFRunLoopSourceRef powerRunLoopSource;
    uint8_t cameraRemoved;
    char cameraName[kCameraNameSize];
    uint16_t vendorID;
    uint16_t productID;
    uint16_t releaseNumber;
    uint32_t locationID;

    // Geometry, image sizes and data rate.
    uint16_t maxWidth, maxHeight;
    uint16_t widthStep, heightStep;
    uint16_t windowLeft, windowTop;
    uint16_t imageWidth, imageHeight;
    uint8_t subsampleSupported;
    uint8_t windowResetRequired;
    uint16_t subSampleX, subSampleY;
    uint32_t sensorType;
    uint8_t colorSensor;
    uint16_t imageSizeCount;
    uint16_t imageSizeWidths[kImageSizeTableSize];
    uint16_t imageSizeHeights[kImageSizeTableSize];
    uint8_t imageSizeSubsampled[kImageSizeTableSize];
    uint32_t dataRateCount;
    uint16_t *dataRateTable;
    uint16_t dataRateKB;
    float frameRate;

    // Video controls: one block per control 0x0400, 0x04A0, 0x04F0, 0x0500, 0x0510, 0x0520 and
    // 0x0530, each supported / auto offered / auto on / minimum / maximum / value.
    uint8_t control0400Supported, control0400AutoSupported, control0400AutoOn;
    uint32_t control0400Min, control0400Max, control0400Value;
    uint8_t exposureSupported, exposureAutoSupported, exposureAutoOn;
    uint32_t exposureMin, framePeriodUs, exposure;
    uint8_t gainSupported, gainAutoSupported, gainAutoOn;
    uint32_t gainMin, gainMax, gain;
    uint8_t redGainSupported, redGainAutoSupported, redGainAutoOn;
    uint32_t redGainMin, redGainMax, redGain;
    uint8_t green1GainSupported, green1GainAutoSupported, green1GainAutoOn;
    uint32_t green1GainMin, green1GainMax, green1Gain;
    uint8_t green2GainSupported, green2GainAutoSupported, green2GainAutoOn;
    uint32_t green2GainMin, green2GainMax, green2Gain;
    uint8_t blueGainSupported, blueGainAutoSupported, blueGainAutoOn;
    uint32_t blueGainMin, blueGainMax, blueGain;

    // Colour processing and cooling.
    uint8_t toneCurveSupported;
    uint8_t colorGainsSupported;
    uint16_t colorMatrixIndex;
    uint16_t exposureRoundingMode;
    uint8_t coolingSupported;
    uint8_t fanSupported;
    uint8_t coolingOn;
    float hue;
    float saturation;
    float gamma;
    float brightness;
    float contrast;
    float colorMatrix[9];
    uint8_t colorBalanceActive;
    RGBColor balanceTargetColor;
    uint8_t balanceTargetR, balanceTargetG, balanceTargetB;
    int8_t redBalanceState, blueBalanceState;
    uint32_t balanceFramesLeft;
    uint8_t frameAvgR, frameAvgG, frameAvgB;
    uint32_t savedRedGain, savedBlueGain;
    uint32_t redGainOther, blueGainOther;
    // 1 while a colour-balance start or step works on the fields above: one thread at a time.
    uint8_t balanceBusy;

    // Streaming and decoding.
    uint8_t cameraOpen;
    uint8_t streaming;
    uint8_t buffersAllocated;
    uint8_t flipHorizontal, flipVertical;
    uint8_t *lineBuffer;
    uint8_t allowSlowFrames;
    uint32_t bitsPerPixel;
    uint32_t bayerPattern;
    uint32_t decodeMethod;
    uint32_t outputFormat;
    uint8_t saturationMarkOn;
    uint32_t rawFrameBytes;
    uint32_t rawWidth, rawHeight;
    uint32_t destRowBytes;
    pthread_t streamThread;
    CFRunLoopSourceRef asyncEventSource;
    CFRunLoopRef streamRunLoop;
    pthread_mutex_t streamMutex;
    pthread_cond_t streamCond;
    pthread_attr_t streamThreadAttr;
    uint32_t streamThreadDone, streamThreadRunning;
    uint32_t callbacksInFlight;
    IOReturn streamError;
    uint8_t bulkInPipe;
    uint32_t rawBufferMapSize;
    void *rawBufferMap;
    uint8_t *rawBuffers[kRawBufferCount];
    uint32_t rawBufferIndex;

    // Frame delivery.
    uint32_t timeScale;
    TimeBase timeBase;
    uint32_t throttleDuration;
    TimeRecord recordStartTime;
    uint32_t compressedFrameBytes;
    void *frameSlotBlock;
    uint8_t *frameSlots[kFrameSlotCount];
    double framePeriodMs;
    double lastFrameMs;
    double lastRecordedFrameMs;
    double slotFrameMs[kFrameSlotCount];
    uint64_t nextFrameDueUs;
    uint64_t frameIntervalUs;
    uint8_t imageSettingsChanged;
    Rect digitizerRect;
    Rect maxSrcRect;
    Rect activeSrcRect;
    ImageDescriptionHandle imageDescription;
    uint32_t lastFilledSlot;
    uint32_t writeSlot;
    uint32_t framesWanted;
    uint32_t framesReady;
    uint32_t readSlot;
    uint8_t timeCodeSupported;
    uint8_t recording;
    uint8_t firstRecordFramePending;
    double firstRecordFrameMs;
    TimeCodeTime timeCodeTime;
    TimeCodeDef timeCodeDef;
    TimeRecord timeCodeAt;
    UnsignedWide streamStartUs;
    UnsignedWide lastFrameUs;

    // Frames lost inside the driver, so that a client can report real numbers: decoded frames
    // overwritten in a full ring, reads that completed with a wrong length or an overrun, and
    // frames that arrived while no client asked for one. Written by the streaming thread.
    uint32_t framesOverwritten;
    uint32_t framesLostInTransfer;
    uint32_t framesUnrequested;

    // Even while colorMatrix is whole, odd while it is being replaced (publishColorMatrix).
    uint32_t colorMatrixSequence;

    // The colour balance's bracket per channel: the highest gain seen giving too little of the
    // colour and the lowest seen giving too much.
    uint32_t redGainLow, redGainHigh;
    uint32_t blueGainLow, blueGainHigh;

    // 1: the frame path copies each raw frame, after the flips, into the ring instead of decoding
    // it (QORASetRawFrameOutput). Set by the client, read once per frame by the streaming thread.
    uint8_t rawFrameOutput;
};

// The record must stay valid when its handle is allocated zero-filled.
static_assert(std::is_trivially_default_constructible_v<CameraRecord> &&
              std::is_standard_layout_v<CameraRecord>);

using CameraHandle = Handle;

// The record a camera handle reaches; null for a null handle or an empty master pointer.
inline CameraRecord *cameraRecord(CameraHandle camera) {
    return camera && *camera ? reinterpret_cast<CameraRecord *>(*camera) : nullptr;
}

// A camera handle holding a zero-filled record, or null when memory is short.
inline CameraHandle newCameraHandle() {
    return NewHandleClear(sizeof(CameraRecord));
}

// Atomic access to a record field that two threads share.
template <typename T> std::atomic_ref<T> atomicField(T &field) {
    return std::atomic_ref<T>(field);
}

// The nine colour-matrix values travel together, with the matrix choice they belong to: the
// settings page replaces the matrix while the frame path reads it on the streaming thread, and a
// frame must never mix two matrices, nor apply one under another choice.
// A sequence count, odd while the values change, tells a reader to read again. The value stores
// are releases, so the odd count is seen before any new value; the value loads are acquires, so
// the second look at the count comes after them. One writer at a time (the client's thread).
inline void publishColorMatrix(CameraRecord &record, const float matrix[9], uint16_t index) {
    auto sequence = atomicField(record.colorMatrixSequence);
    const uint32_t even = sequence.load(std::memory_order_relaxed) & ~1u;
    sequence.store(even + 1, std::memory_order_relaxed);
    atomicField(record.colorMatrixIndex).store(index, std::memory_order_release);
    for (int i = 0; i < 9; ++i)
        atomicField(record.colorMatrix[i]).store(matrix[i], std::memory_order_release);
    sequence.store(even + 2, std::memory_order_release);
}

// A new matrix under the choice in force.
inline void publishColorMatrix(CameraRecord &record, const float matrix[9]) {
    publishColorMatrix(record, matrix,
                       atomicField(record.colorMatrixIndex).load(std::memory_order_relaxed));
}

// The matrix, and the choice it was published with.
inline uint16_t readColorMatrix(CameraRecord &record, float matrix[9]) {
    auto sequence = atomicField(record.colorMatrixSequence);
    for (;;) {
        const uint32_t before = sequence.load(std::memory_order_acquire);
        const uint16_t index = atomicField(record.colorMatrixIndex).load(std::memory_order_acquire);
        for (int i = 0; i < 9; ++i)
            matrix[i] = atomicField(record.colorMatrix[i]).load(std::memory_order_acquire);
        if ((before & 1) == 0 && sequence.load(std::memory_order_relaxed) == before) return index;
    }
}

// The identity the loader attaches to each registered digitizer as its refcon.
struct CameraComponentInfo {
    Component component;
    uint16_t vendorID;
    uint16_t productID;
    uint32_t locationID;
    char name[80];
};
