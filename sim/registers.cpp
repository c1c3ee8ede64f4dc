#include "sim/registers.h"

#include <qorvanta/status.h>

#include <algorithm>
#include <cmath>

namespace qor::sim {

namespace {

constexpr double kAmbientMilliKelvin = 295'000;
constexpr double kCoolerTimeConstantSeconds = 1.0;
constexpr uint32_t kControlPresent = 1u << 31, kControlAutoOffered = 1u << 30;
constexpr uint32_t kControlAutoOn = 0x4000;
constexpr uint32_t kCoolerPresent = 1u << 31, kCoolerOnState = 1u << 23, kCoolerOn = 0x8000;
constexpr uint32_t kFanPresent = 1u << 31;
constexpr uint16_t kExposureMinimum = 0x04A8, kExposureMaximum = 0x04AC;

uint16_t low(uint32_t v) {
    return uint16_t(v);
}
uint16_t high(uint32_t v) {
    return uint16_t(v >> 16);
}
uint32_t pair(uint32_t first, uint32_t second) {
    return (second << 16) | (first & 0xFFFF);
}

// The seven video-control blocks, by the register of their status word.
struct ControlBlock {
    uint16_t base;
    ControlLimits ModelProfile::*limits;
};
constexpr ControlBlock kControlBlocks[] = {
    {0x0400, &ModelProfile::control0400}, {0x04A0, &ModelProfile::exposure},
    {0x04F0, &ModelProfile::gain},        {0x0500, &ModelProfile::redGain},
    {0x0510, &ModelProfile::green1Gain},  {0x0520, &ModelProfile::green2Gain},
    {0x0530, &ModelProfile::blueGain},
};

const ControlBlock *controlBlockOf(uint16_t reg) {
    for (const ControlBlock &block : kControlBlocks)
        if (reg >= block.base && reg <= block.base + 12 && (reg - block.base) % 4 == 0)
            return &block;
    return nullptr;
}

double relative(uint32_t value, const ControlLimits &limits) {
    return limits.present && limits.initial ? double(value) / limits.initial : 1.0;
}

} // namespace

int formatClassOf(uint8_t sensorCode) {
    switch (sensorCode) {
    case 0:
    case 5:
    case 6:
        return 0;
    case 8:
    case 12:
    case 24:
        return 1;
    case 9:
    case 13:
    case 25:
        return 2;
    case 10:
    case 14:
    case 26:
        return 3;
    case 11:
    case 15:
    case 27:
        return 4;
    default:
        return -1;
    }
}

// The behaviour behind each register of the map.
struct RegisterOps {
    using Getter = uint32_t (*)(const RegisterFile &, Clock::time_point);
    using Setter = IOReturn (*)(RegisterFile &, uint32_t, Clock::time_point);
    using Present = bool (*)(const ModelProfile &);

    static const ModelProfile &model(const RegisterFile &r) { return r.model_; }
    static uint32_t &word(RegisterFile &r, uint16_t reg) { return r.words_[reg]; }
    static uint32_t word(const RegisterFile &r, uint16_t reg) {
        auto it = r.words_.find(reg);
        return it == r.words_.end() ? 0 : it->second;
    }

    static bool binned(const RegisterFile &r) {
        const uint32_t sub = word(r, 0x1018);
        return formatClassOf(r.model_.sensorCode) > 0 && !r.model_.formatSurvivesSubsampling &&
               (low(sub) == 2 || high(sub) == 2);
    }
    static uint32_t nativeFormat(const ModelProfile &m) {
        const int cls = formatClassOf(m.sensorCode);
        return cls > 0 ? uint32_t(7 + cls) : 0;
    }

    // Getters of registers whose value is not simply the word last written.
    // The cooler reports itself present and mirrors its switch (bit 15) in its state (bit 23);
    // other bits read back as written.
    static uint32_t cooler(const RegisterFile &r, Clock::time_point) {
        const uint32_t w = word(r, 0x0690);
        if (!r.model_.cooled) return w;
        return (w & ~kCoolerOnState) | kCoolerPresent | (w & kCoolerOn ? kCoolerOnState : 0);
    }
    static uint32_t fan(const RegisterFile &r, Clock::time_point) {
        const uint32_t w = word(r, 0x0730);
        return r.model_.fan ? w | kFanPresent : w;
    }
    static uint32_t format(const RegisterFile &r, Clock::time_point) {
        // Binning a mosaic leaves grey pixels: the FPGA reports the monochrome format then.
        return binned(r) ? 0 : word(r, 0x1010);
    }
    static uint32_t rateCount(const RegisterFile &r, Clock::time_point) { return word(r, 0x104C); }
    // The list port hands out the model's rates, as many as the count register announces.
    static uint32_t ratePair(const RegisterFile &r, Clock::time_point) {
        const auto &rates = r.model_.dataRates;
        const size_t count = std::min<size_t>(word(r, 0x104C), rates.size());
        auto at = [&](size_t i) -> uint32_t { return i < count ? rates[i] : 0; };
        return pair(at(r.rateCursor_), at(r.rateCursor_ + 1));
    }
    static uint32_t toneCurvePresent(const RegisterFile &r, Clock::time_point) {
        return r.model_.toneCurve ? 1 : 0;
    }
    // The sensor exposes for at most one frame period; the word held is the exposure counter's
    // limit, and the minimum stands even where a frame is read out faster.
    static uint32_t exposureMaximum(const RegisterFile &r) {
        const uint64_t readout = uint64_t(r.readoutTime().count());
        const uint32_t limit = word(r, kExposureMaximum), lowest = word(r, kExposureMinimum);
        return std::max(lowest, uint32_t(std::min<uint64_t>(limit, readout)));
    }
    // A word of a video-control block as the FPGA answers it.
    static uint32_t controlWord(const RegisterFile &r, uint16_t reg) {
        return reg == kExposureMaximum ? exposureMaximum(r) : word(r, reg);
    }

    // Read side effects of the data-rate list port.
    static void rewindRates(RegisterFile &r) { r.rateCursor_ = 0; }
    static void advanceRates(RegisterFile &r) { r.rateCursor_ += 2; }

    // Validating setters.
    static IOReturn setFpgaIgnored(RegisterFile &, uint32_t, Clock::time_point) { return 0; }
    static IOReturn setStreaming(RegisterFile &r, uint32_t v, Clock::time_point) {
        if (v != 0 && v != kStreamingOn) return kIOUSBPipeStalled;
        word(r, kRegStreaming) = v;
        return 0;
    }
    static IOReturn setCooler(RegisterFile &r, uint32_t v, Clock::time_point now) {
        if (!r.model_.cooled) return kIOUSBPipeStalled;
        r.retarget(now);
        word(r, 0x0690) = v;
        return 0;
    }
    static IOReturn setSetPoint(RegisterFile &r, uint32_t v, Clock::time_point now) {
        if (!r.model_.cooled) return kIOUSBPipeStalled;
        // The cooler controller holds the set-point within what it can reach.
        r.retarget(now);
        word(r, 0x0694) =
            std::clamp(v, r.model_.coolerLowMilliKelvin, r.model_.coolerHighMilliKelvin);
        return 0;
    }
    static IOReturn setFan(RegisterFile &r, uint32_t v, Clock::time_point) {
        if (!r.model_.fan) return kIOUSBPipeStalled;
        word(r, 0x0730) = v;
        return 0;
    }
    // Windows are checked against the sensor size and steps the FPGA reports.
    static IOReturn setOrigin(RegisterFile &r, uint32_t v, Clock::time_point) {
        const uint32_t sensor = word(r, 0x1000);
        if (low(v) >= low(sensor) || high(v) >= high(sensor)) return kIOUSBPipeStalled;
        word(r, 0x1008) = v;
        return 0;
    }
    static bool fits(uint16_t size, uint16_t full, uint16_t step) {
        return size > 0 && size <= full && (size == full || size % step == 0);
    }
    static IOReturn setSize(RegisterFile &r, uint32_t v, Clock::time_point) {
        const uint32_t sensor = word(r, 0x1000), steps = word(r, 0x1004);
        if (!fits(low(v), low(sensor), std::max<uint16_t>(1, low(steps))) ||
            !fits(high(v), high(sensor), std::max<uint16_t>(1, high(steps))))
            return kIOUSBPipeStalled;
        word(r, 0x100C) = v;
        return 0;
    }
    static IOReturn setFormat(RegisterFile &r, uint32_t v, Clock::time_point) {
        if (v != nativeFormat(r.model_)) return kIOUSBPipeStalled;
        word(r, 0x1010) = v;
        return 0;
    }
    static IOReturn setSubsampling(RegisterFile &r, uint32_t v, Clock::time_point) {
        for (uint16_t factor : {low(v), high(v)})
            if (factor < 1 || factor > 2) return kIOUSBPipeStalled;
        word(r, 0x1018) = v;
        return 0;
    }
    // The rate limiter takes any rate up to the bus's; the list only says what is offered.
    static IOReturn setRate(RegisterFile &r, uint32_t v, Clock::time_point) {
        if (v == 0 || v > 0xFFFF) return kIOUSBPipeStalled;
        word(r, 0x1048) = v;
        return 0;
    }
    static IOReturn setWindowReset(RegisterFile &r, uint32_t, Clock::time_point) {
        return r.model_.windowResetRegister ? 0 : kIOUSBPipeStalled;
    }
    static IOReturn setToneControl(RegisterFile &r, uint32_t v, Clock::time_point) {
        if (!r.model_.toneCurve) return kIOUSBPipeStalled;
        word(r, 0x4FFC) = v;
        return 0;
    }
    static IOReturn setToneWord(RegisterFile &r, uint32_t v, Clock::time_point) {
        if (!r.model_.toneCurve || v != 0) return kIOUSBPipeStalled;
        r.toneCurve_.reset();
        return 0;
    }
};

enum Access : uint8_t { kRead = 1, kWrite = 2, kReadWrite = 3 };

struct RegisterFile::Entry {
    uint16_t reg;
    uint8_t access;
    RegisterOps::Getter get; // null: the word last written
    RegisterOps::Setter set; // null: stores the word as written
    void (*afterRead)(RegisterFile &);
};

namespace {

using Ops = RegisterOps;

// The register map outside the video-control blocks. 0x0008 reaches this table only on models
// without an FPGA step, where the configuration register is a constant.
const RegisterFile::Entry kRegisterMap[] = {
    {0x0008, kReadWrite, nullptr, Ops::setFpgaIgnored, nullptr},
    {0x000C, kRead, nullptr, nullptr, nullptr},
    {0x0010, kRead, nullptr, nullptr, nullptr},
    {0x0214, kReadWrite, nullptr, Ops::setStreaming, nullptr},
    {0x0690, kReadWrite, Ops::cooler, Ops::setCooler, nullptr},
    {0x0694, kReadWrite, nullptr, Ops::setSetPoint, nullptr},
    {0x0698, kRead, nullptr, nullptr, nullptr},
    {0x069C, kRead, nullptr, nullptr, nullptr},
    {0x0730, kReadWrite, Ops::fan, Ops::setFan, nullptr},
    {0x1000, kRead, nullptr, nullptr, nullptr},
    {0x1004, kRead, nullptr, nullptr, nullptr},
    {0x1008, kReadWrite, nullptr, Ops::setOrigin, nullptr},
    {0x100C, kReadWrite, nullptr, Ops::setSize, nullptr},
    {0x1010, kReadWrite, Ops::format, Ops::setFormat, nullptr},
    {0x1014, kRead, nullptr, nullptr, nullptr},
    {0x1018, kReadWrite, nullptr, Ops::setSubsampling, nullptr},
    {0x101C, kRead, nullptr, nullptr, nullptr},
    {0x1040, kRead, Ops::rateCount, nullptr, Ops::rewindRates},
    {0x1048, kReadWrite, nullptr, Ops::setRate, nullptr},
    {0x104C, kRead, Ops::rateCount, nullptr, nullptr},
    {0x1050, kRead, Ops::ratePair, nullptr, Ops::advanceRates},
    {0x1060, kWrite, nullptr, Ops::setWindowReset, nullptr},
    {0x4FF8, kRead, Ops::toneCurvePresent, nullptr, nullptr},
    {0x4FFC, kWrite, nullptr, Ops::setToneControl, nullptr},
    {0x5000, kWrite, nullptr, Ops::setToneWord, nullptr},
};

} // namespace

RegisterFile::RegisterFile(const ModelProfile &model, bool automaticModesOn)
    : model_(model), automaticModesOn_(automaticModesOn) {}

void RegisterFile::reset(Clock::time_point now) {
    const ModelProfile &m = model_;
    words_.clear();
    words_[0x0008] = 0x20;
    words_[0x000C] = (uint32_t(m.fpgaMajor) << 24) | (uint32_t(m.fpgaMinor) << 16);
    words_[0x0010] = m.windowResetRegister ? 1 : 0;
    words_[0x0214] = 0;
    words_[0x0694] =
        m.cooled ? std::clamp<uint32_t>(273'000, m.coolerLowMilliKelvin, m.coolerHighMilliKelvin)
                 : 0;
    words_[0x0698] = m.coolerLowMilliKelvin;
    words_[0x069C] = m.coolerHighMilliKelvin;
    words_[0x1000] = pair(m.sensorWidth, m.sensorHeight);
    words_[0x1004] = pair(m.widthStep, m.heightStep);
    words_[0x1008] = 0;
    words_[0x100C] = pair(m.sensorWidth, m.sensorHeight);
    words_[0x1010] = RegisterOps::nativeFormat(m);
    words_[0x1014] = m.sensorCode;
    words_[0x1018] = pair(1, 1);
    words_[0x101C] = m.subsampleLevel;
    words_[0x1048] = m.dataRates.empty() ? 0 : m.dataRates.back();
    words_[0x104C] = uint32_t(m.dataRates.size());
    for (const ControlBlock &block : kControlBlocks) {
        const ControlLimits &limits = m.*block.limits;
        if (!limits.present) continue;
        words_[block.base] = kControlPresent | (limits.autoOffered ? kControlAutoOffered : 0);
        if (limits.autoOffered && automaticModesOn_) words_[block.base] |= kControlAutoOn;
        words_[block.base + 4] = limits.initial;
        words_[block.base + 8] = limits.minimum;
        words_[block.base + 12] = limits.maximum;
    }
    rateCursor_ = 0;
    toneCurve_.reset();
    temperature0_ = kAmbientMilliKelvin;
    since_ = now;
}

const RegisterFile::Entry *RegisterFile::find(uint16_t reg) const {
    for (const Entry &entry : kRegisterMap)
        if (entry.reg == reg) return &entry;
    return nullptr;
}

IOReturn RegisterFile::read(uint16_t reg, uint32_t &value, Clock::time_point now) {
    if (controlBlockOf(reg)) {
        value = RegisterOps::controlWord(*this, reg);
        return 0;
    }
    const Entry *entry = find(reg);
    if (!entry || !(entry->access & kRead)) return kIOUSBPipeStalled;
    value = entry->get ? entry->get(*this, now) : RegisterOps::word(*this, reg);
    if (entry->afterRead) entry->afterRead(*this);
    return 0;
}

IOReturn RegisterFile::write(uint16_t reg, uint32_t value, Clock::time_point now) {
    if (const ControlBlock *block = controlBlockOf(reg)) {
        // The block's own status word and limits, as the FPGA holds them, govern it.
        const uint32_t status = RegisterOps::word(*this, block->base);
        if (!(status & kControlPresent)) return kIOUSBPipeStalled;
        switch (reg - block->base) {
        case 0: // only the automatic-mode flag is writable, and only where it is offered
            if (status & kControlAutoOffered)
                words_[reg] = (status & ~kControlAutoOn) | (value & kControlAutoOn);
            return 0;
        case 4: {
            const uint32_t lowest = RegisterOps::word(*this, block->base + 8);
            const uint32_t highest = RegisterOps::controlWord(*this, block->base + 12);
            words_[reg] = std::clamp(value, lowest, std::max(lowest, highest));
            return 0;
        }
        default: // the limits are read-only
            return kIOUSBPipeStalled;
        }
    }
    const Entry *entry = find(reg);
    if (!entry || !(entry->access & kWrite)) return kIOUSBPipeStalled;
    if (entry->set) return entry->set(*this, value, now);
    words_[reg] = value;
    return 0;
}

IOReturn RegisterFile::writeBlock(uint16_t reg, std::span<const uint8_t> bytes) {
    if (reg != kRegToneTable || !model_.toneCurve || bytes.size() != 256) return kIOUSBPipeStalled;
    std::array<uint8_t, 256> table;
    std::copy(bytes.begin(), bytes.end(), table.begin());
    toneCurve_ = table;
    return 0;
}

uint32_t RegisterFile::peek(uint16_t reg, Clock::time_point now) const {
    if (const Entry *entry = find(reg); entry && entry->get) return entry->get(*this, now);
    return RegisterOps::controlWord(*this, reg);
}

void RegisterFile::poke(uint16_t reg, uint32_t value, Clock::time_point now) {
    if (reg == 0x0690 || reg == 0x0694) retarget(now);
    words_[reg] = value;
}

bool RegisterFile::streaming() const {
    return RegisterOps::word(*this, kRegStreaming) != 0;
}

SensorSettings RegisterFile::sensorSettings() const {
    const ModelProfile &m = model_;
    auto word = [this](uint16_t reg) { return RegisterOps::word(*this, reg); };
    auto value = [&](ControlLimits ModelProfile::*limits, uint16_t base) {
        return relative(word(base + 4), m.*limits);
    };
    const uint32_t origin = word(0x1008), size = word(0x100C), sub = word(0x1018);
    return SensorSettings{
        .sensorWidth = m.sensorWidth,
        .sensorHeight = m.sensorHeight,
        .left = low(origin),
        .top = high(origin),
        .width = low(size),
        .height = high(size),
        .subsampleX = std::max<uint16_t>(1, low(sub)),
        .subsampleY = std::max<uint16_t>(1, high(sub)),
        .formatClass = std::max(0, formatClassOf(m.sensorCode)),
        .binned = RegisterOps::binned(*this),
        .exposure = value(&ModelProfile::exposure, 0x04A0),
        .gain = value(&ModelProfile::gain, 0x04F0),
        .red = value(&ModelProfile::redGain, 0x0500),
        .green1 = value(&ModelProfile::green1Gain, 0x0510),
        .green2 = value(&ModelProfile::green2Gain, 0x0520),
        .blue = value(&ModelProfile::blueGain, 0x0530),
        .toneCurve = toneCurve_,
    };
}

uint32_t RegisterFile::dataRateBytesPerSecond() const {
    return RegisterOps::word(*this, 0x1048) * 1024;
}

std::chrono::microseconds RegisterFile::readoutTime() const {
    const SensorSettings s = sensorSettings();
    const double bytes = double(s.rawWidth()) * s.rawHeight();
    const double rate = std::max<double>(1024, dataRateBytesPerSecond());
    return std::chrono::microseconds(int64_t(std::max(bytes / rate * 1e6, 1000.0)));
}

uint32_t RegisterFile::exposureMicroseconds() const {
    return model_.exposure.present ? RegisterOps::word(*this, 0x04A4) : 0;
}

uint32_t RegisterFile::temperatureMilliKelvin(Clock::time_point now) const {
    return uint32_t(std::lround(temperature(now)));
}

double RegisterFile::temperature(Clock::time_point now) const {
    const bool cooling = model_.cooled && (RegisterOps::word(*this, 0x0690) & kCoolerOn);
    const double target = cooling ? RegisterOps::word(*this, 0x0694) : kAmbientMilliKelvin;
    const double seconds = std::chrono::duration<double>(now - since_).count();
    return target + (temperature0_ - target) *
                        std::exp(-std::max(0.0, seconds) / kCoolerTimeConstantSeconds);
}

void RegisterFile::retarget(Clock::time_point now) {
    // Called before the target changes: the new curve starts where the sensor is now.
    temperature0_ = temperature(now);
    since_ = now;
}

std::vector<uint8_t> RegisterFile::toneCurve() const {
    return toneCurve_ ? std::vector<uint8_t>(toneCurve_->begin(), toneCurve_->end())
                      : std::vector<uint8_t>{};
}

} // namespace qor::sim
