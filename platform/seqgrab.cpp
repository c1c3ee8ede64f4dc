#include "platform/seqgrab.h"

#include "platform/memory.h"
#include "platform/videodigitizer.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr OSType kRawCodec = fourCharCode("raw ");
constexpr int32_t codecInfoDepth32 = 0x20;
constexpr CodecQ codecNormalQuality = 0x200;
constexpr short seqGrabWriteAppend = 0;
// Frames handed on per channel and idle at most, so that one idle cannot run for ever while a
// fast camera keeps the ring filled.
constexpr int kFramesPerIdle = 10;

enum class Mode { Stopped, Preview, Record };

} // namespace

struct SGChannelRecord {
    SeqGrabRecord *grabber = nullptr;
    ComponentInstance vdig = nullptr;
    bool deviceChosen = false;
    std::string deviceName;
    long usage = seqGrabPreview | seqGrabRecord;
    Fixed frameRate = 0;
    ImageDescriptionHandle description = nullptr;
    TimeScale timeScale = 0;
    bool started = false;
    bool paused = false;
    int64_t startTime = 0;
};

struct SeqGrabRecord {
    bool initialized = false;
    SGDataUPP dataProc = nullptr;
    long dataRefCon = 0;
    std::vector<std::unique_ptr<SGChannelRecord>> channels;
    TimeBase timeBase = nullptr;
    Mode mode = Mode::Stopped;
    bool paused = false;
};

namespace {

std::string nameOf(Component component) {
    std::string name;
    qor::platform::componentName(component, &name);
    return name;
}

// Opens the chosen digitizer, or the first one that opens.
ComponentResult openDigitizer(SGChannelRecord &c) {
    if (c.vdig) return noErr;
    ComponentDescription looking{videoDigitizerComponentType, 0, 0, 0, 0};
    ComponentResult last = c.deviceChosen ? noDeviceForChannel : couldntGetRequiredComponent;
    for (Component component = FindNextComponent(nullptr, &looking); component;
         component = FindNextComponent(component, &looking)) {
        if (c.deviceChosen && nameOf(component) != c.deviceName) continue;
        ComponentInstance vdig = nullptr;
        ComponentResult result = OpenAComponent(component, &vdig);
        if (result == noErr && vdig) {
            c.vdig = vdig;
            return noErr;
        }
        last = result ? result : couldntGetRequiredComponent;
    }
    return last;
}

void closeDigitizer(SGChannelRecord &c) {
    if (c.vdig) {
        CloseComponent(c.vdig);
        c.vdig = nullptr;
    }
    if (c.description) {
        DisposeHandle(reinterpret_cast<Handle>(c.description));
        c.description = nullptr;
    }
}

bool takesPart(const SGChannelRecord &c, Mode mode) {
    return c.usage & (mode == Mode::Record ? seqGrabRecord : seqGrabPreview);
}

uint32_t captureFlags(Mode mode) {
    return vdFlagCaptureStarting |
           (mode == Mode::Record ? vdFlagCaptureIsForRecord : vdFlagCaptureIsForPreview);
}

// Asks the digitizer what it delivers and sets it up for it: the grabber's time base,
// uncompressed frames of its own depth, the client's frame rate, and the description.
ComponentResult setUpDigitizer(SGChannelRecord &c) {
    if (ComponentResult error = openDigitizer(c)) return error;
    SeqGrabRecord &s = *c.grabber;
    if (ComponentResult error = ComponentResult(VDSetTimeBase(c.vdig, s.timeBase))) return error;
    auto list = reinterpret_cast<VDCompressionListHandle>(NewHandle(0));
    if (!list) return memFullErr;
    ComponentResult error = ComponentResult(VDGetCompressionTypes(c.vdig, list));
    const short depth = error == noErr && ((*list)->formatFlags & codecInfoDepth32) ? 32 : 8;
    DisposeHandle(reinterpret_cast<Handle>(list));
    if (error) return error;
    Rect bounds{};
    VDGetDigitizerRect(c.vdig, &bounds);
    error = ComponentResult(
        VDSetCompression(c.vdig, kRawCodec, depth, &bounds, codecNormalQuality, 0, 0));
    if (error) return error;
    if (!c.description) c.description = reinterpret_cast<ImageDescriptionHandle>(NewHandle(0));
    if (!c.description) return memFullErr;
    if ((error = ComponentResult(VDGetImageDescription(c.vdig, c.description)))) return error;
    TimeScale scale = 0;
    VDGetPreferredTimeScale(c.vdig, &scale);
    c.timeScale = scale > 0 ? scale : 600;
    return ComponentResult(VDSetFrameRate(c.vdig, c.frameRate));
}

// Announces the capture and asks for frames.
ComponentResult startCapture(SGChannelRecord &c, Mode mode) {
    if (ComponentResult error = ComponentResult(VDCaptureStateChanging(c.vdig, captureFlags(mode))))
        return error;
    if (ComponentResult error = ComponentResult(VDCompressOneFrameAsync(c.vdig))) return error;
    c.startTime = GetTimeBaseTime(c.grabber->timeBase, c.timeScale, nullptr);
    c.started = true;
    return noErr;
}

void stopCapture(SGChannelRecord &c) {
    if (c.started && c.vdig) VDCaptureStateChanging(c.vdig, vdFlagCaptureStopping);
    c.started = false;
}

int64_t timeValue(const TimeRecord &t) {
    return int64_t(t.value.hi) * (int64_t(1) << 32) + int64_t(t.value.lo);
}

// Hands the channel's finished frames to the data proc, each returned to the digitizer after.
ComponentResult idleChannel(SGChannelRecord &c) {
    SeqGrabRecord &s = *c.grabber;
    if (!c.started || c.paused || s.paused) return noErr;
    for (int i = 0; i < kFramesPerIdle; ++i) {
        uint8_t queued = 0, similarity = 0;
        Ptr data = nullptr;
        long size = 0;
        TimeRecord time{};
        if (ComponentResult error =
                ComponentResult(VDCompressDone(c.vdig, &queued, &data, &size, &similarity, &time)))
            return error;
        if (!data) return noErr;
        int64_t value = timeValue(time);
        if (time.scale > 0 && time.scale != c.timeScale) value = value * c.timeScale / time.scale;
        ComponentResult answer = noErr;
        if (s.dataProc) {
            long offset = 0;
            answer = s.dataProc(&c, data, size, &offset, 0, TimeValue(value - c.startTime),
                                seqGrabWriteAppend, s.dataRefCon);
        }
        VDReleaseCompressBuffer(c.vdig, data);
        if (answer) return answer;
        if (ComponentResult error = ComponentResult(VDCompressOneFrameAsync(c.vdig))) return error;
        if (queued <= 1) return noErr;
    }
    return noErr;
}

ComponentResult start(SeqGrabComponent s, Mode mode) {
    if (!s) return paramErr;
    if (s->mode != Mode::Stopped) return cantDoThatInCurrentMode;
    SetTimeBaseValue(s->timeBase, 0, 600);
    SetTimeBaseRate(s->timeBase, fixedFromInt(1));
    ComponentResult error = noErr;
    int started = 0;
    for (auto &c : s->channels) {
        if (!takesPart(*c, mode)) continue;
        error = setUpDigitizer(*c);
        if (!error) error = startCapture(*c, mode);
        if (error) break;
        ++started;
    }
    if (!error && started == 0) error = noDeviceForChannel;
    if (error) {
        for (auto &c : s->channels) stopCapture(*c);
        SetTimeBaseRate(s->timeBase, 0);
        return error;
    }
    s->mode = mode;
    s->paused = false;
    return noErr;
}

} // namespace

SeqGrabComponent OpenDefaultSequenceGrabber() {
    auto s = std::make_unique<SeqGrabRecord>();
    s->timeBase = NewTimeBase();
    if (!s->timeBase) return nullptr;
    return s.release();
}

ComponentResult CloseSequenceGrabber(SeqGrabComponent s) {
    if (!s) return paramErr;
    SGStop(s);
    for (auto &c : s->channels) closeDigitizer(*c);
    s->channels.clear();
    if (s->timeBase) {
        DisposeTimeBase(s->timeBase);
        s->timeBase = nullptr;
    }
    delete s;
    return noErr;
}

ComponentResult SGInitialize(SeqGrabComponent s) {
    if (!s) return paramErr;
    s->initialized = true;
    return noErr;
}

ComponentResult SGSetDataProc(SeqGrabComponent s, SGDataUPP proc, long refCon) {
    if (!s) return paramErr;
    s->dataProc = proc;
    s->dataRefCon = refCon;
    return noErr;
}

ComponentResult SGNewChannel(SeqGrabComponent s, OSType channelType, SGChannel *ref) {
    if (ref) *ref = nullptr;
    if (!s || !ref) return paramErr;
    if (channelType != VideoMediaType) return couldntGetRequiredComponent;
    if (s->mode != Mode::Stopped) return cantDoThatInCurrentMode;
    auto c = std::make_unique<SGChannelRecord>();
    c->grabber = s;
    *ref = c.get();
    s->channels.push_back(std::move(c));
    return noErr;
}

ComponentResult SGDisposeChannel(SeqGrabComponent s, SGChannel c) {
    if (!s || !c) return paramErr;
    auto it = std::find_if(s->channels.begin(), s->channels.end(),
                           [c](const auto &owned) { return owned.get() == c; });
    if (it == s->channels.end()) return paramErr;
    stopCapture(*c);
    closeDigitizer(*c);
    s->channels.erase(it);
    return noErr;
}

ComponentResult SGSetChannelDevice(SGChannel c, const unsigned char *name) {
    if (!c || !name) return paramErr;
    if (c->started) return cantDoThatInCurrentMode;
    closeDigitizer(*c);
    c->deviceChosen = true;
    c->deviceName.assign(reinterpret_cast<const char *>(name + 1), name[0]);
    return openDigitizer(*c);
}

ComponentInstance SGGetVideoDigitizerComponent(SGChannel c) {
    if (!c || openDigitizer(*c) != noErr) return nullptr;
    return c->vdig;
}

ComponentResult SGSetChannelUsage(SGChannel c, long usage) {
    if (!c) return paramErr;
    c->usage = usage;
    return noErr;
}

ComponentResult SGSetFrameRate(SGChannel c, Fixed frameRate) {
    if (!c) return paramErr;
    c->frameRate = frameRate;
    if (c->vdig) return ComponentResult(VDSetFrameRate(c->vdig, frameRate));
    return noErr;
}

ComponentResult SGGetChannelTimeScale(SGChannel c, TimeScale *scale) {
    if (!c || !scale) return paramErr;
    *scale = c->timeScale;
    return noErr;
}

ComponentResult SGGetChannelSampleDescription(SGChannel c, Handle h) {
    if (!c || !h) return paramErr;
    if (!c->description) return cantDoThatInCurrentMode;
    Handle stored = reinterpret_cast<Handle>(c->description);
    SetHandleSize(h, GetHandleSize(stored));
    if (ComponentResult error = MemError()) return error;
    std::memcpy(*h, *stored, size_t(GetHandleSize(stored)));
    return noErr;
}

ComponentResult SGVideoDigitizerChanged(SGChannel c) {
    if (!c) return paramErr;
    if (ComponentResult error = setUpDigitizer(*c)) return error;
    // A changed size stopped the digitizer's stream: announce the capture again.
    if (c->started) return startCapture(*c, c->grabber->mode);
    return noErr;
}

ComponentResult SGStartPreview(SeqGrabComponent s) {
    return start(s, Mode::Preview);
}

ComponentResult SGStartRecord(SeqGrabComponent s) {
    return start(s, Mode::Record);
}

ComponentResult SGIdle(SeqGrabComponent s) {
    if (!s) return paramErr;
    for (auto &c : s->channels)
        if (ComponentResult error = idleChannel(*c)) return error;
    return noErr;
}

ComponentResult SGIdle(SGChannel c) {
    if (!c) return paramErr;
    return idleChannel(*c);
}

ComponentResult SGStop(SeqGrabComponent s) {
    if (!s) return paramErr;
    for (auto &c : s->channels) stopCapture(*c);
    s->mode = Mode::Stopped;
    s->paused = false;
    SetTimeBaseRate(s->timeBase, 0);
    return noErr;
}

ComponentResult SGPause(SeqGrabComponent s, Byte pause) {
    if (!s) return paramErr;
    s->paused = pause != seqGrabUnpause;
    return noErr;
}

ComponentResult SGPause(SGChannel c, Byte pause) {
    if (!c) return paramErr;
    c->paused = pause != seqGrabUnpause;
    return noErr;
}

ComponentResult SGGetPause(SeqGrabComponent s, Byte *paused) {
    if (!s || !paused) return paramErr;
    *paused = s->paused ? seqGrabPause : seqGrabUnpause;
    return noErr;
}

TimeBase SGGetTimeBase(SeqGrabComponent s) {
    return s ? s->timeBase : nullptr;
}
