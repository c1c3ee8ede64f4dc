#include "sim/camera.h"

#include "sim/bus.h"
#include "sim/images.h"
#include "sim/scene.h"

#include <qorvanta/status.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace qor::sim {

namespace {

constexpr uint16_t kCpucs = 0xE600;
constexpr uint8_t kBulkOut = 0x02, kBulkIn = 0x86;
constexpr uint16_t kMaxPacket = 512;
constexpr uint16_t kLanguageEnglishUS = 0x0409;
constexpr const char *kManufacturer = "Qorvanta";
// The time-outs the host stack gives the standard requests it sends for a call of its own.
constexpr usb::Timeouts kHostStackTimeouts{5000, 0};
constexpr usb::Timeouts kNoTimeouts{0, 0};
// Frames the transfer log keeps of bulk-in payloads before it keeps only the entries.
constexpr size_t kLoggedInBytesLimit = size_t(64) << 20;

// The Device of one enumeration of a camera.
class SimDevice final : public usb::Device {
public:
    SimDevice(std::weak_ptr<CameraImpl> camera, uint64_t generation,
              usb::DeviceDescriptor descriptor, usb::ConfigDescriptor config, uint32_t location)
        : camera_(std::move(camera)), generation_(generation), descriptor_(descriptor),
          config_(std::move(config)), location_(location) {}

    usb::DeviceDescriptor deviceDescriptor() const override {
        auto camera = camera_.lock();
        return camera ? camera->deviceDescriptor(generation_, descriptor_) : descriptor_;
    }
    usb::ConfigDescriptor configDescriptor(uint8_t index) const override {
        return index == 0 ? config_ : usb::ConfigDescriptor{};
    }
    uint32_t locationID() const override { return location_; }
    bool simulated() const override {
        auto camera = camera_.lock();
        return !camera || !camera->presentsAsReal();
    }
    bool attached() const override {
        auto camera = camera_.lock();
        return camera && camera->attached(generation_);
    }
    IOReturn open() override { return call(&CameraImpl::open); }
    void close() override {
        if (auto camera = camera_.lock()) camera->close(generation_);
    }
    IOReturn setConfiguration(uint8_t value) override {
        return call(&CameraImpl::setConfiguration, value);
    }
    IOReturn claimInterface(uint8_t number) override {
        return call(&CameraImpl::claimInterface, number);
    }
    void releaseInterface(uint8_t number) override {
        if (auto camera = camera_.lock()) camera->releaseInterface(generation_, number);
    }
    IOReturn setAlternateSetting(uint8_t interfaceNumber, uint8_t alternate) override {
        return call(&CameraImpl::setAlternateSetting, interfaceNumber, alternate);
    }
    IOReturn controlTransfer(const usb::SetupPacket &setup, uint8_t *data, usb::Timeouts timeouts,
                             uint32_t &transferred) override {
        transferred = 0;
        return call(&CameraImpl::controlTransfer, setup, data, timeouts, transferred);
    }
    IOReturn bulkTransfer(uint8_t endpoint, uint8_t *data, uint32_t length, usb::Timeouts timeouts,
                          uint32_t &transferred) override {
        transferred = 0;
        return call(&CameraImpl::bulkTransfer, endpoint, data, length, timeouts, transferred);
    }
    IOReturn submitBulkRead(uint8_t endpoint, uint8_t *data, uint32_t length,
                            usb::TransferCompletion completion) override {
        return call(&CameraImpl::submitBulkRead, endpoint, data, length, std::move(completion));
    }
    IOReturn abortEndpoint(uint8_t endpoint) override {
        return call(&CameraImpl::abortEndpoint, endpoint);
    }
    IOReturn clearHalt(uint8_t endpoint) override { return call(&CameraImpl::clearHalt, endpoint); }
    IOReturn endpointStatus(uint8_t endpoint) const override {
        auto camera = camera_.lock();
        return camera ? camera->endpointStatus(generation_, endpoint) : kIOReturnNoDevice;
    }

private:
    template <typename Method, typename... Args>
    IOReturn call(Method method, Args &&...args) const {
        auto camera = camera_.lock();
        if (!camera) return kIOReturnNoDevice;
        return ((*camera).*method)(generation_, std::forward<Args>(args)...);
    }

    std::weak_ptr<CameraImpl> camera_;
    const uint64_t generation_;
    const usb::DeviceDescriptor descriptor_;
    const usb::ConfigDescriptor config_;
    const uint32_t location_;
};

void putLE16(std::vector<uint8_t> &out, uint16_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}

// The model's profile as this camera has it.
ModelProfile cameraProfile(const ModelProfile &model, const CameraOptions &options) {
    ModelProfile profile = model;
    if (!options.dataRates.empty()) profile.dataRates = options.dataRates;
    return profile;
}

} // namespace

// Control requests the device answers, by request type and request.
const CameraImpl::RequestHandler CameraImpl::kRequests[] = {
    {0x80, 6, &CameraImpl::getDescriptor},           // GET_DESCRIPTOR
    {0x80, 0, &CameraImpl::getStatus},               // GET_STATUS (device)
    {0x82, 0, &CameraImpl::getStatus},               // GET_STATUS (endpoint)
    {0x00, 9, &CameraImpl::setConfigurationRequest}, // SET_CONFIGURATION
    {0x01, 11, &CameraImpl::setInterfaceRequest},    // SET_INTERFACE
    {0x02, 1, &CameraImpl::clearFeature},            // CLEAR_FEATURE(ENDPOINT_HALT)
    {0x40, 0xA0, &CameraImpl::firmwareLoad},         // FX2 RAM load and CPU reset
    {0xC0, 0x12, &CameraImpl::registerRead},
    {0x40, 0x12, &CameraImpl::registerWrite},
    {0x40, 0x13, &CameraImpl::sensorInitialisation},
};

CameraImpl::CameraImpl(SimBus &bus, const ModelProfile &model, const CameraOptions &options,
                       uint32_t number)
    : bus_(bus), model_(cameraProfile(model, options)), number_(number),
      locationID_(0x14000000u | ((number & 0xFFu) << 16) | ((number >> 8 & 0xFFu) << 8)),
      release_(options.releaseNumber.value_or(model.defaultRelease)),
      reenumerationDelay_(options.reenumerationDelay), options_(options),
      product_(model.productName), ram_(kFx2RamSize), regs_(model_, options.automaticModesOn),
      worker_(std::make_unique<Worker>()) {
    if (options.serial.empty()) {
        char text[16];
        std::snprintf(text, sizeof text, "QS%06u", unsigned(number % 1000000));
        serial_ = text;
    } else {
        serial_ = options.serial;
    }
}

CameraImpl::~CameraImpl() {
    worker_.reset();
}

void CameraImpl::start() {
    Effects fx;
    {
        std::lock_guard lock(mutex_);
        state_ = options_.firmwareLoaded ? CameraState::Running : CameraState::Unprogrammed;
        fpgaConfigured_ = !model_.hasFpga || (options_.firmwareLoaded && options_.fpgaConfigured);
        regs_.reset(Clock::now());
        enumerateLocked(fx);
        postLocked(fx);
    }
    apply(fx);
}

// ---- Bus presence -------------------------------------------------------------------------

bool CameraImpl::currentLocked(uint64_t generation) const {
    return generation == generation_ && device_ != nullptr;
}

void CameraImpl::enumerateLocked(Effects &fx) {
    ++generation_;
    device_ = std::make_shared<SimDevice>(weak_from_this(), generation_, describeDeviceLocked(),
                                          describeConfigLocked(), locationID_);
    fx.arrived = device_;
}

void CameraImpl::leaveBusLocked(CameraState next, Effects &fx) {
    fx.left = std::move(device_);
    device_.reset();
    ++generation_;
    state_ = next;
    opened_ = false;
    claimed_ = false;
    configuration_ = 0;
    alternate_ = 0;
    halted_.clear();
    ++streamEpoch_;
    fifo_.clear();
    fifoSent_ = 0;
    while (!reads_.empty()) {
        completeReadsLocked(reads_.front().endpoint, kIOReturnNoDevice, fx);
    }
    running_.notify_all();
    unanswered_.notify_all();
}

void CameraImpl::postLocked(Effects &fx) {
    // Completions and reports go to the camera's thread in the order they happened: posted
    // while the lock is held, they cannot overtake one another.
    std::vector<Completion> inlined;
    for (Completion &c : fx.completions) {
        if (c.inline_)
            inlined.push_back(std::move(c));
        else
            worker_->post([c = std::move(c)] { c.completion(c.status, c.transferred); });
    }
    fx.completions = std::move(inlined);
    SimBus *bus = &bus_;
    if (fx.left) worker_->post([bus, device = std::move(fx.left)] { bus->reportLeft(device); });
    if (fx.arrived)
        worker_->post([bus, device = std::move(fx.arrived)] { bus->reportArrived(device); });
    if (fx.boot) {
        // The FX2 drops off the bus once the request that started its CPU has completed.
        worker_->post([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->bootLeave();
        });
        fx.boot = false;
    }
}

void CameraImpl::apply(Effects &fx) {
    // What is left wakes a caller waiting in a synchronous transfer; never under the lock.
    for (Completion &c : fx.completions) c.completion(c.status, c.transferred);
    fx.completions.clear();
}

void CameraImpl::bootLeave() {
    Effects fx;
    {
        std::lock_guard lock(mutex_);
        if (state_ != CameraState::Unprogrammed) return;
        leaveBusLocked(CameraState::OffBus, fx);
        if (!neverReenumerates_) {
            worker_->postAt(Clock::now() + reenumerationDelay_,
                            [weak = weak_from_this(), epoch = plugEpoch_] {
                                if (auto self = weak.lock()) self->arrive(epoch);
                            });
        }
        postLocked(fx);
    }
    apply(fx);
}

void CameraImpl::arrive(uint64_t plugEpoch) {
    Effects fx;
    {
        std::lock_guard lock(mutex_);
        if (state_ != CameraState::OffBus || plugEpoch != plugEpoch_) return;
        state_ = CameraState::Running;
        fpgaConfigured_ = !model_.hasFpga;
        fpgaConfiguring_ = false;
        regs_.reset(Clock::now());
        enumerateLocked(fx);
        running_.notify_all();
        postLocked(fx);
    }
    apply(fx);
}

std::shared_ptr<usb::Device> CameraImpl::currentDevice() const {
    std::lock_guard lock(mutex_);
    return device_;
}

usb::DeviceDescriptor CameraImpl::describeDeviceLocked() const {
    const bool running = state_ == CameraState::Running;
    return usb::DeviceDescriptor{
        .bcdUSB = 0x0200,
        .bDeviceClass = 0xFF,
        .bDeviceSubClass = uint8_t(running ? 0x00 : 0xFF),
        .bDeviceProtocol = uint8_t(running ? 0x00 : 0xFF),
        .bMaxPacketSize0 = 64,
        .idVendor = model_.vendorID,
        .idProduct = uint16_t(running ? model_.productID : model_.productID | 0x8000),
        .bcdDevice = release_,
        .iManufacturer = uint8_t(running ? 1 : 0),
        .iProduct = uint8_t(running && !product_.empty() ? 2 : 0),
        .iSerialNumber = uint8_t(running && !serial_.empty() ? 3 : 0),
        .bNumConfigurations = 1,
    };
}

usb::ConfigDescriptor CameraImpl::describeConfigLocked() const {
    auto bulk = [](uint8_t address) {
        return usb::EndpointDescriptor{address, usb::kTransferTypeBulk, kMaxPacket, 0};
    };
    usb::ConfigDescriptor config{1, 0x80, 250, {{0, 0, 0xFF, 0, 0, {}}}};
    if (state_ != CameraState::Running) return config;
    // Alternate setting 1 carries the bitstream to the FPGA, except on the cameras without
    // one, which stream there; alternate setting 2 streams.
    const bool streamsInAlt1 = (model_.productID & 0x0300) == 0x0300;
    config.interfaces.push_back({0, 1, 0xFF, 0, 0, {bulk(streamsInAlt1 ? kBulkIn : kBulkOut)}});
    config.interfaces.push_back({0, 2, 0xFF, 0, 0, {bulk(kBulkIn)}});
    return config;
}

bool CameraImpl::endpointExistsLocked(uint8_t endpoint) const {
    if (!configuration_) return false;
    for (const auto &alt : describeConfigLocked().interfaces)
        if (alt.bAlternateSetting == alternate_)
            for (const auto &ep : alt.endpoints)
                if (ep.bEndpointAddress == endpoint) return true;
    return false;
}

uint8_t CameraImpl::streamingEndpointLocked() const {
    return kBulkIn;
}

usb::DeviceDescriptor CameraImpl::deviceDescriptor(uint64_t generation,
                                                   const usb::DeviceDescriptor &fallback) const {
    std::lock_guard lock(mutex_);
    return currentLocked(generation) ? describeDeviceLocked() : fallback;
}

bool CameraImpl::attached(uint64_t generation) const {
    std::lock_guard lock(mutex_);
    return currentLocked(generation);
}

// ---- Host-side actions --------------------------------------------------------------------

IOReturn CameraImpl::open(uint64_t generation) {
    std::lock_guard lock(mutex_);
    IOReturn result = 0;
    if (!currentLocked(generation))
        result = kIOReturnNoDevice;
    else if (exclusiveHolds_ > 0) {
        --exclusiveHolds_;
        result = kIOReturnExclusiveAccess;
    } else if (opened_)
        result = kIOReturnExclusiveAccess;
    else
        opened_ = true;
    logLocked({Transfer::Kind::Open, 0, 0, 0, 0, 0, 0, {}, result});
    return result;
}

void CameraImpl::close(uint64_t generation) {
    std::lock_guard lock(mutex_);
    if (!currentLocked(generation) || !opened_) return;
    opened_ = false;
    claimed_ = false;
    logLocked({Transfer::Kind::Close, 0, 0, 0, 0, 0, 0, {}, 0});
}

IOReturn CameraImpl::setConfiguration(uint64_t generation, uint8_t value) {
    uint32_t transferred = 0;
    return controlTransfer(generation, {0x00, 9, value, 0, 0}, nullptr, kHostStackTimeouts,
                           transferred);
}

IOReturn CameraImpl::claimInterface(uint64_t generation, uint8_t number) {
    std::lock_guard lock(mutex_);
    IOReturn result = 0;
    if (!currentLocked(generation))
        result = kIOReturnNoDevice;
    else if (!opened_)
        result = kIOReturnNotOpen;
    else if (number != 0 || !configuration_)
        result = kIOReturnBadArgument;
    else
        claimed_ = true;
    logLocked({Transfer::Kind::Claim, 0, 0, 0, number, 0, 0, {}, result});
    return result;
}

void CameraImpl::releaseInterface(uint64_t generation, uint8_t number) {
    std::lock_guard lock(mutex_);
    if (!currentLocked(generation) || number != 0 || !claimed_) return;
    claimed_ = false;
    logLocked({Transfer::Kind::Release, 0, 0, 0, number, 0, 0, {}, 0});
}

IOReturn CameraImpl::setAlternateSetting(uint64_t generation, uint8_t interfaceNumber,
                                         uint8_t alternate) {
    {
        std::lock_guard lock(mutex_);
        if (!currentLocked(generation)) return kIOReturnNoDevice;
        if (!claimed_) return kIOReturnNotOpen;
    }
    uint32_t transferred = 0;
    return controlTransfer(generation, {0x01, 11, alternate, interfaceNumber, 0}, nullptr,
                           kHostStackTimeouts, transferred);
}

IOReturn CameraImpl::clearHalt(uint64_t generation, uint8_t endpoint) {
    {
        std::lock_guard lock(mutex_);
        if (!currentLocked(generation)) return kIOReturnNoDevice;
        if (!claimed_) return kIOReturnNotOpen;
    }
    uint32_t transferred = 0;
    return controlTransfer(generation, {0x02, 1, 0, endpoint, 0}, nullptr, kHostStackTimeouts,
                           transferred);
}

IOReturn CameraImpl::endpointStatus(uint64_t generation, uint8_t endpoint) const {
    std::lock_guard lock(mutex_);
    if (!currentLocked(generation)) return kIOReturnNoDevice;
    if (!claimed_) return kIOReturnNotOpen;
    if (endpoint != 0 && !endpointExistsLocked(endpoint)) return kIOReturnBadArgument;
    return halted_.count(endpoint) ? kIOUSBPipeStalled : 0;
}

// ---- Control requests ---------------------------------------------------------------------

IOReturn CameraImpl::controlTransfer(uint64_t generation, const usb::SetupPacket &setup,
                                     uint8_t *data, usb::Timeouts timeouts, uint32_t &transferred) {
    transferred = 0;
    if (setup.wLength && !data) return kIOReturnBadArgument;
    Effects fx;
    IOReturn result;
    {
        std::unique_lock lock(mutex_);
        if (!currentLocked(generation)) return kIOReturnNoDevice;
        if (!opened_) return kIOReturnNotOpen;
        result = requestLocked(setup, data, transferred, fx);
        if (result == kIOUSBTransactionTimeout) {
            transferred = 0;
            result = unansweredLocked(lock, generation, 0, timeouts);
        }
        const bool in = setup.bmRequestType & 0x80;
        const uint32_t moved = in ? transferred : setup.wLength;
        logLocked({Transfer::Kind::Control, setup.bmRequestType, setup.bRequest, setup.wValue,
                   setup.wIndex, setup.wLength, 0,
                   std::vector<uint8_t>(data, data + (data ? moved : 0)), result, timeouts.noDataMs,
                   timeouts.completionMs});
        postLocked(fx);
    }
    apply(fx);
    return result;
}

IOReturn CameraImpl::unansweredLocked(std::unique_lock<std::mutex> &lock, uint64_t generation,
                                      uint8_t endpoint, usb::Timeouts timeouts) {
    // The host gives up at its time-out; the simulated clock lets that moment pass at once.
    if (timeouts.noDataMs || timeouts.completionMs) return kIOUSBTransactionTimeout;
    // Without one the host waits for as long as the device stays silent.
    const uint64_t aborts = aborts_[endpoint];
    unanswered_.wait(lock,
                     [&] { return !currentLocked(generation) || aborts_[endpoint] != aborts; });
    return currentLocked(generation) ? kIOReturnAborted : kIOReturnNoDevice;
}

IOReturn CameraImpl::requestLocked(const usb::SetupPacket &setup, uint8_t *data,
                                   uint32_t &transferred, Effects &fx) {
    for (auto it = requestFaults_.begin(); it != requestFaults_.end(); ++it) {
        if (it->bRequest != setup.bRequest) continue;
        const IOReturn result = it->result;
        if (it->count > 0 && --it->count == 0) requestFaults_.erase(it);
        return result;
    }
    for (const RequestHandler &entry : kRequests)
        if (entry.bmRequestType == setup.bmRequestType && entry.bRequest == setup.bRequest)
            return (this->*entry.handler)(setup, data, transferred, fx);
    return kIOUSBPipeStalled;
}

std::vector<uint8_t> CameraImpl::stringDescriptorLocked(uint8_t index, bool &exists) const {
    exists = false;
    std::vector<uint8_t> out;
    if (state_ != CameraState::Running) return out; // the bare FX2 has no strings
    if (index == 0) {
        exists = true;
        out = {4, 3};
        putLE16(out, kLanguageEnglishUS);
        return out;
    }
    const std::string *text = nullptr;
    const std::string manufacturer = kManufacturer;
    if (index == 1) text = &manufacturer;
    if (index == 2) text = &product_;
    if (index == 3) text = &serial_;
    if (!text || text->empty()) return out;
    exists = true;
    out = {uint8_t(2 + 2 * text->size()), 3};
    for (char c : *text) putLE16(out, uint8_t(c));
    return out;
}

bool CameraImpl::rawStringAnswerLocked(uint8_t index, std::vector<uint8_t> &bytes) {
    auto it = options_.stringAnswers.find(index);
    if (state_ != CameraState::Running || it == options_.stringAnswers.end() || it->second.empty())
        return false;
    size_t &served = stringRequests_[index];
    bytes = it->second[std::min(served, it->second.size() - 1)];
    ++served;
    return true;
}

std::vector<uint8_t> CameraImpl::configDescriptorBytesLocked() const {
    const usb::ConfigDescriptor config = describeConfigLocked();
    std::vector<uint8_t> out = {
        9, 2, 0, 0, 1, config.bConfigurationValue, 0, config.bmAttributes, config.bMaxPower};
    for (const auto &alt : config.interfaces) {
        out.insert(out.end(), {9, 4, alt.bInterfaceNumber, alt.bAlternateSetting,
                               uint8_t(alt.endpoints.size()), alt.bInterfaceClass,
                               alt.bInterfaceSubClass, alt.bInterfaceProtocol, 0});
        for (const auto &ep : alt.endpoints) {
            out.insert(out.end(), {7, 5, ep.bEndpointAddress, ep.bmAttributes});
            putLE16(out, ep.wMaxPacketSize);
            out.push_back(ep.bInterval);
        }
    }
    out[2] = uint8_t(out.size());
    out[3] = uint8_t(out.size() >> 8);
    return out;
}

IOReturn CameraImpl::getDescriptor(const usb::SetupPacket &setup, uint8_t *data,
                                   uint32_t &transferred, Effects &) {
    std::vector<uint8_t> bytes;
    switch (setup.wValue >> 8) {
    case 1: {
        const usb::DeviceDescriptor d = describeDeviceLocked();
        bytes = {18, 1};
        putLE16(bytes, d.bcdUSB);
        bytes.insert(bytes.end(),
                     {d.bDeviceClass, d.bDeviceSubClass, d.bDeviceProtocol, d.bMaxPacketSize0});
        putLE16(bytes, d.idVendor);
        putLE16(bytes, d.idProduct);
        putLE16(bytes, d.bcdDevice);
        bytes.insert(bytes.end(),
                     {d.iManufacturer, d.iProduct, d.iSerialNumber, d.bNumConfigurations});
        break;
    }
    case 2:
        if ((setup.wValue & 0xFF) != 0) return kIOUSBPipeStalled;
        bytes = configDescriptorBytesLocked();
        break;
    case 3: {
        if (rawStringAnswerLocked(uint8_t(setup.wValue), bytes)) break;
        bool exists;
        bytes = stringDescriptorLocked(uint8_t(setup.wValue), exists);
        if (!exists) return kIOUSBPipeStalled;
        break;
    }
    default:
        return kIOUSBPipeStalled;
    }
    transferred = uint32_t(std::min<size_t>(setup.wLength, bytes.size()));
    if (transferred) std::memcpy(data, bytes.data(), transferred);
    return 0;
}

IOReturn CameraImpl::getStatus(const usb::SetupPacket &setup, uint8_t *data, uint32_t &transferred,
                               Effects &) {
    if (setup.wLength < 2) return kIOUSBPipeStalled;
    const bool endpoint = setup.bmRequestType == 0x82;
    const uint8_t address = uint8_t(setup.wIndex);
    if (endpoint && address != 0 && !endpointExistsLocked(address)) return kIOUSBPipeStalled;
    data[0] = endpoint && halted_.count(address) ? 1 : 0;
    data[1] = 0;
    transferred = 2;
    return 0;
}

IOReturn CameraImpl::setConfigurationRequest(const usb::SetupPacket &setup, uint8_t *, uint32_t &,
                                             Effects &fx) {
    if (setup.wValue > 1) return kIOUSBPipeStalled;
    configuration_ = uint8_t(setup.wValue);
    alternate_ = 0;
    halted_.clear();
    for (uint8_t ep : {kBulkOut, kBulkIn}) completeReadsLocked(ep, kIOReturnAborted, fx);
    return 0;
}

IOReturn CameraImpl::setInterfaceRequest(const usb::SetupPacket &setup, uint8_t *, uint32_t &,
                                         Effects &fx) {
    if (!configuration_ || setup.wIndex != 0) return kIOUSBPipeStalled;
    bool exists = false;
    for (const auto &alt : describeConfigLocked().interfaces)
        if (alt.bAlternateSetting == setup.wValue) exists = true;
    if (!exists) return kIOUSBPipeStalled;
    alternate_ = uint8_t(setup.wValue);
    // Selecting a setting resets its endpoints; transfers on endpoints it lacks end.
    halted_.clear();
    for (uint8_t ep : {kBulkOut, kBulkIn})
        if (!endpointExistsLocked(ep)) completeReadsLocked(ep, kIOReturnAborted, fx);
    return 0;
}

IOReturn CameraImpl::clearFeature(const usb::SetupPacket &setup, uint8_t *, uint32_t &,
                                  Effects &fx) {
    const uint8_t endpoint = uint8_t(setup.wIndex);
    if (setup.wValue != 0 || (endpoint != 0 && !endpointExistsLocked(endpoint)))
        return kIOUSBPipeStalled;
    halted_.erase(endpoint);
    if (endpoint == streamingEndpointLocked()) pumpLocked(fx);
    return 0;
}

IOReturn CameraImpl::firmwareLoad(const usb::SetupPacket &setup, uint8_t *data, uint32_t &,
                                  Effects &fx) {
    // The FX2's own loader answers only while no firmware runs.
    if (state_ != CameraState::Unprogrammed || setup.wIndex != 0) return kIOUSBPipeStalled;
    const uint32_t address = setup.wValue, length = setup.wLength;
    if (address == kCpucs && length == 1) {
        const bool hold = data[0] & 1;
        if (!hold && cpuHeld_) {
            fx.boot = firmwareBootsModel(ram_, model_.productID, release_);
        }
        cpuHeld_ = hold;
        return 0;
    }
    if (!cpuHeld_ || length == 0 || address + length > ram_.size()) return kIOUSBPipeStalled;
    std::memcpy(ram_.data() + address, data, length);
    return 0;
}

bool CameraImpl::takeRegisterFaultLocked(uint16_t reg, Direction direction, RegisterFault &taken) {
    for (auto it = registerFaults_.begin(); it != registerFaults_.end(); ++it) {
        if (it->reg != reg || (it->direction != Direction::Both && it->direction != direction))
            continue;
        taken = *it;
        if (it->count > 0 && --it->count == 0) registerFaults_.erase(it);
        return true;
    }
    return false;
}

IOReturn CameraImpl::registerRead(const usb::SetupPacket &setup, uint8_t *data,
                                  uint32_t &transferred, Effects &) {
    // A register read carries no value and asks for exactly one register.
    if (state_ != CameraState::Running || setup.wValue != 0 || setup.wLength != 4)
        return kIOUSBPipeStalled;
    RegisterFault fault{};
    IOReturn result = 0;
    uint32_t limit = 4;
    if (takeRegisterFaultLocked(setup.wIndex, Direction::Read, fault)) {
        if (fault.shortBytes)
            limit = fault.shortBytes;
        else if (fault.result == kIOReturnOverrun)
            result = fault.result;
        else
            return fault.result;
    }
    uint32_t value = 0;
    if (IOReturn status = readRegisterLocked(setup.wIndex, value); status && !result) return status;
    const uint8_t bytes[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16),
                              uint8_t(value >> 24)};
    transferred = std::min<uint32_t>(4, limit);
    std::memcpy(data, bytes, transferred);
    return result;
}

IOReturn CameraImpl::registerWrite(const usb::SetupPacket &setup, uint8_t *data, uint32_t &,
                                   Effects &fx) {
    if (state_ != CameraState::Running || setup.wValue != 0) return kIOUSBPipeStalled;
    RegisterFault fault{};
    IOReturn result = 0;
    if (takeRegisterFaultLocked(setup.wIndex, Direction::Write, fault)) {
        if (fault.result != kIOReturnOverrun) return fault.result;
        result = fault.result;
    }
    IOReturn status;
    if (setup.wLength == 4) {
        const uint32_t value = uint32_t(data[0]) | uint32_t(data[1]) << 8 |
                               uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24;
        status = writeRegisterLocked(setup.wIndex, value, fx);
    } else if (!fpgaConfigured_) {
        status = kIOUSBPipeStalled;
    } else {
        status = regs_.writeBlock(setup.wIndex, std::span(data, setup.wLength));
    }
    return result ? result : status;
}

IOReturn CameraImpl::sensorInitialisation(const usb::SetupPacket &setup, uint8_t *data, uint32_t &,
                                          Effects &) {
    if (state_ != CameraState::Running || !model_.sensorInitialisation || !fpgaConfigured_ ||
        setup.wIndex != 6 || setup.wValue > 0x3FF || setup.wLength != 4)
        return kIOUSBPipeStalled;
    sensorWrites_.emplace_back(setup.wValue, uint8_t(data[0] & 0x3F));
    return 0;
}

IOReturn CameraImpl::readRegisterLocked(uint16_t reg, uint32_t &value) {
    if (reg == kRegFpga && model_.hasFpga) {
        value = fpgaConfigured_ ? 0x20 : 0;
        return 0;
    }
    // An unconfigured FPGA has no registers; the FX2 answers for the version itself.
    if (!fpgaConfigured_ && reg != kRegVersion) return kIOUSBPipeStalled;
    return regs_.read(reg, value, Clock::now());
}

IOReturn CameraImpl::writeRegisterLocked(uint16_t reg, uint32_t value, Effects &fx) {
    if (reg == kRegFpga && model_.hasFpga) return fpgaControlLocked(value);
    if (!fpgaConfigured_) return kIOUSBPipeStalled;
    const bool wasStreaming = regs_.streaming();
    const IOReturn result = regs_.write(reg, value, Clock::now());
    if (!result) streamingChangedLocked(wasStreaming, fx);
    return result;
}

IOReturn CameraImpl::fpgaControlLocked(uint32_t value) {
    if (value == 0xFFFFFFFF) {
        // Configuration starts: the FPGA is cleared and takes the bitstream from endpoint 2.
        fpgaConfigured_ = false;
        fpgaConfiguring_ = true;
        bitstream_.clear();
        ++streamEpoch_;
        fifo_.clear();
        fifoSent_ = 0;
        return 0;
    }
    if (value == 0) {
        if (!fpgaConfiguring_) return 0;
        fpgaConfiguring_ = false;
        lastBitstream_ = std::move(bitstream_);
        bitstream_.clear();
        fpgaConfigured_ = !fpgaNeverConfigures_ &&
                          bitstreamConfiguresModel(lastBitstream_, model_.productID, release_);
        if (fpgaConfigured_) regs_.reset(Clock::now());
        return 0;
    }
    return kIOUSBPipeStalled;
}

// ---- Bulk transfers -----------------------------------------------------------------------

bool CameraImpl::takeBulkFaultLocked(uint8_t endpoint, BulkFault &taken) {
    for (auto it = bulkFaults_.begin(); it != bulkFaults_.end(); ++it) {
        if (it->endpoint != endpoint) continue;
        taken = *it;
        if (it->count > 0 && --it->count == 0) bulkFaults_.erase(it);
        return true;
    }
    return false;
}

IOReturn CameraImpl::bulkTransfer(uint64_t generation, uint8_t endpoint, uint8_t *data,
                                  uint32_t length, usb::Timeouts timeouts, uint32_t &transferred) {
    transferred = 0;
    if (endpoint & usb::kEndpointIn) {
        // A synchronous read is an asynchronous one that the caller waits for.
        struct Waiter {
            std::mutex mutex;
            std::condition_variable done;
            bool finished = false;
            IOReturn status = 0;
            uint32_t transferred = 0;
        };
        auto waiter = std::make_shared<Waiter>();
        uint64_t id;
        Effects fx;
        {
            std::lock_guard lock(mutex_);
            if (!currentLocked(generation)) return kIOReturnNoDevice;
            if (!claimed_) return kIOReturnNotOpen;
            if (!endpointExistsLocked(endpoint) || !data || !length) return kIOReturnBadArgument;
            if (halted_.count(endpoint)) return kIOUSBPipeStalled;
            id = nextReadID_++;
            Read read{endpoint,
                      data,
                      length,
                      [waiter](IOReturn status, uint32_t n) {
                          std::lock_guard lock(waiter->mutex);
                          waiter->finished = true;
                          waiter->status = status;
                          waiter->transferred = n;
                          waiter->done.notify_all();
                      },
                      true,
                      id,
                      timeouts,
                      false};
            if (!answerFaultAtOnceLocked(read, fx)) {
                if (read.silent && (timeouts.noDataMs || timeouts.completionMs)) {
                    logBulkInLocked(read, kIOUSBTransactionTimeout, 0);
                    return kIOUSBTransactionTimeout; // the time-out, let pass at once
                }
                reads_.push_back(std::move(read));
                pumpLocked(fx);
            }
            postLocked(fx);
        }
        apply(fx);
        // Nothing moves before the read ends, so the shorter time-out given ends it.
        const uint32_t timeoutMs =
            std::min(timeouts.noDataMs ? timeouts.noDataMs : UINT32_MAX,
                     timeouts.completionMs ? timeouts.completionMs : UINT32_MAX);
        auto finished = [&] { return waiter->finished; };
        std::unique_lock wait(waiter->mutex);
        if (timeoutMs == UINT32_MAX) {
            waiter->done.wait(wait, finished);
        } else if (!waiter->done.wait_for(wait, std::chrono::milliseconds(timeoutMs), finished)) {
            wait.unlock();
            {
                std::lock_guard lock(mutex_);
                auto it = std::find_if(reads_.begin(), reads_.end(),
                                       [id](const Read &r) { return r.id == id; });
                if (it != reads_.end()) {
                    logBulkInLocked(*it, kIOUSBTransactionTimeout, 0);
                    reads_.erase(it);
                    return kIOUSBTransactionTimeout;
                }
            }
            wait.lock(); // it completed just as the time ran out
            waiter->done.wait(wait, finished);
        }
        transferred = waiter->transferred;
        return waiter->status;
    }

    std::unique_lock lock(mutex_);
    if (!currentLocked(generation)) return kIOReturnNoDevice;
    if (!claimed_) return kIOReturnNotOpen;
    if (!endpointExistsLocked(endpoint) || (!data && length)) return kIOReturnBadArgument;
    IOReturn result = 0;
    uint32_t accepted = length;
    BulkFault fault{};
    if (halted_.count(endpoint)) {
        result = kIOUSBPipeStalled;
        accepted = 0;
    } else if (takeBulkFaultLocked(endpoint, fault)) {
        if (fault.shortBytes) {
            accepted = std::min(length, fault.shortBytes);
        } else if (fault.result == kIOUSBTransactionTimeout) {
            result = unansweredLocked(lock, generation, endpoint, timeouts);
            accepted = 0;
        } else if (fault.result != kIOReturnOverrun) {
            result = fault.result;
            accepted = 0;
            if (result == kIOUSBPipeStalled) halted_.insert(endpoint);
        } else {
            result = fault.result;
        }
    }
    // Endpoint 2 feeds the FPGA's configuration port; outside a configuration the FX2
    // discards what arrives.
    if (endpoint == kBulkOut && fpgaConfiguring_)
        bitstream_.insert(bitstream_.end(), data, data + accepted);
    transferred = accepted;
    logLocked({Transfer::Kind::BulkOut, 0, 0, 0, 0, 0, endpoint,
               std::vector<uint8_t>(data, data + accepted), result, timeouts.noDataMs,
               timeouts.completionMs});
    return result;
}

IOReturn CameraImpl::submitBulkRead(uint64_t generation, uint8_t endpoint, uint8_t *data,
                                    uint32_t length, usb::TransferCompletion completion) {
    Effects fx;
    {
        std::lock_guard lock(mutex_);
        if (!currentLocked(generation)) return kIOReturnNoDevice;
        if (!claimed_) return kIOReturnNotOpen;
        if (!(endpoint & usb::kEndpointIn) || !endpointExistsLocked(endpoint) || !data || !length ||
            !completion)
            return kIOReturnBadArgument;
        if (halted_.count(endpoint)) {
            logLocked(
                {Transfer::Kind::AsyncBulkIn, 0, 0, 0, 0, 0, endpoint, {}, kIOUSBPipeStalled});
            return kIOUSBPipeStalled;
        }
        Read read{endpoint, data,          length,      std::move(completion),
                  false,    nextReadID_++, kNoTimeouts, false};
        if (!answerFaultAtOnceLocked(read, fx)) {
            reads_.push_back(std::move(read));
            pumpLocked(fx);
        }
        postLocked(fx);
    }
    apply(fx);
    return 0;
}

IOReturn CameraImpl::abortEndpoint(uint64_t generation, uint8_t endpoint) {
    Effects fx;
    IOReturn result = 0;
    {
        std::lock_guard lock(mutex_);
        if (!currentLocked(generation))
            result = kIOReturnNoDevice;
        else if (!claimed_)
            result = kIOReturnNotOpen;
        else if (endpoint != 0 && !endpointExistsLocked(endpoint))
            result = kIOReturnBadArgument;
        logLocked({Transfer::Kind::Abort, 0, 0, 0, 0, 0, endpoint, {}, result});
        if (!result) {
            completeReadsLocked(endpoint, kIOReturnAborted, fx);
            ++aborts_[endpoint];
            unanswered_.notify_all();
        }
        postLocked(fx);
    }
    apply(fx);
    return result;
}

void CameraImpl::completeReadsLocked(uint8_t endpoint, IOReturn status, Effects &fx) {
    for (auto it = reads_.begin(); it != reads_.end();) {
        if (it->endpoint != endpoint) {
            ++it;
            continue;
        }
        logBulkInLocked(*it, status, 0);
        fx.completions.push_back({std::move(it->completion), status, 0, it->synchronous});
        it = reads_.erase(it);
    }
}

// ---- Log ----------------------------------------------------------------------------------

void CameraImpl::logLocked(Transfer transfer) {
    log_.push_back(std::move(transfer));
}

void CameraImpl::logBulkInLocked(const Read &read, IOReturn status, uint32_t transferred) {
    std::vector<uint8_t> payload;
    if (loggedInBytes_ + transferred <= kLoggedInBytesLimit) {
        payload.assign(read.data, read.data + transferred);
        loggedInBytes_ += transferred;
    }
    logLocked({read.synchronous ? Transfer::Kind::BulkIn : Transfer::Kind::AsyncBulkIn, 0, 0, 0, 0,
               0, read.endpoint, std::move(payload), status, read.timeouts.noDataMs,
               read.timeouts.completionMs});
}

std::vector<Transfer> CameraImpl::transferLog() const {
    std::lock_guard lock(mutex_);
    return log_;
}

void CameraImpl::clearTransferLog() {
    std::lock_guard lock(mutex_);
    log_.clear();
    loggedInBytes_ = 0;
}

// ---- State for tests, and faults-------------------------------------------------------------

CameraState CameraImpl::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

std::string CameraImpl::serial() const {
    std::lock_guard lock(mutex_);
    return serial_;
}

bool CameraImpl::fpgaConfigured() const {
    std::lock_guard lock(mutex_);
    return fpgaConfigured_;
}

std::vector<uint8_t> CameraImpl::fx2Ram() const {
    std::lock_guard lock(mutex_);
    return ram_;
}

std::vector<uint8_t> CameraImpl::lastBitstream() const {
    std::lock_guard lock(mutex_);
    return lastBitstream_;
}

bool CameraImpl::waitUntilRunning(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return running_.wait_for(lock, timeout, [this] { return state_ == CameraState::Running; });
}

uint32_t CameraImpl::peekRegister(uint16_t reg) const {
    std::lock_guard lock(mutex_);
    if (reg == kRegFpga) return fpgaConfigured_ ? 0x20 : 0;
    return regs_.peek(reg, Clock::now());
}

void CameraImpl::pokeRegister(uint16_t reg, uint32_t value) {
    Effects fx;
    {
        std::lock_guard lock(mutex_);
        if (reg == kRegFpga) {
            fpgaConfigured_ = !model_.hasFpga || (value & 0x20);
        } else {
            const bool wasStreaming = regs_.streaming();
            regs_.poke(reg, value, Clock::now());
            streamingChangedLocked(wasStreaming, fx);
        }
        postLocked(fx);
    }
    apply(fx);
}

std::vector<uint8_t> CameraImpl::toneCurve() const {
    std::lock_guard lock(mutex_);
    return regs_.toneCurve();
}

std::vector<std::pair<uint16_t, uint8_t>> CameraImpl::sensorWrites() const {
    std::lock_guard lock(mutex_);
    return sensorWrites_;
}

uint32_t CameraImpl::sensorTemperatureMilliKelvin() const {
    std::lock_guard lock(mutex_);
    return regs_.temperatureMilliKelvin(Clock::now());
}

void CameraImpl::failRegister(uint16_t reg, Direction direction, IOReturn result, int count) {
    std::lock_guard lock(mutex_);
    if (count) registerFaults_.push_back({reg, direction, result, 0, count});
}

void CameraImpl::shortRegisterRead(uint16_t reg, uint32_t bytes, int count) {
    std::lock_guard lock(mutex_);
    if (count) registerFaults_.push_back({reg, Direction::Read, 0, std::max(bytes, 1u), count});
}

void CameraImpl::failRequest(uint8_t bRequest, IOReturn result, int count) {
    std::lock_guard lock(mutex_);
    if (count) requestFaults_.push_back({bRequest, result, count});
}

void CameraImpl::failBulk(uint8_t endpoint, IOReturn result, int count) {
    std::lock_guard lock(mutex_);
    if (count) bulkFaults_.push_back({endpoint, result, 0, count});
}

void CameraImpl::shortBulk(uint8_t endpoint, uint32_t bytes, int count) {
    std::lock_guard lock(mutex_);
    if (count) bulkFaults_.push_back({endpoint, 0, std::max(bytes, 1u), count});
}

void CameraImpl::holdExclusive(int count) {
    std::lock_guard lock(mutex_);
    exclusiveHolds_ = std::max(0, count);
}

void CameraImpl::setNeverReenumerates(bool never) {
    std::lock_guard lock(mutex_);
    neverReenumerates_ = never;
}

void CameraImpl::setFpgaNeverConfigures(bool never) {
    std::lock_guard lock(mutex_);
    fpgaNeverConfigures_ = never;
}

void CameraImpl::setProductString(const std::string &text) {
    std::lock_guard lock(mutex_);
    product_ = text;
}

void CameraImpl::setSerialString(const std::string &text) {
    std::lock_guard lock(mutex_);
    serial_ = text;
}

void CameraImpl::unplug() {
    Effects fx;
    {
        std::lock_guard lock(mutex_);
        if (state_ == CameraState::Unplugged) return;
        ++plugEpoch_; // a re-enumeration still pending never happens
        leaveBusLocked(CameraState::Unplugged, fx);
        postLocked(fx);
    }
    apply(fx);
}

void CameraImpl::plug() {
    Effects fx;
    {
        std::lock_guard lock(mutex_);
        if (state_ != CameraState::Unplugged) return;
        // Power comes back: the FX2 RAM and the FPGA are blank again.
        state_ = CameraState::Unprogrammed;
        std::fill(ram_.begin(), ram_.end(), 0);
        cpuHeld_ = false;
        fpgaConfigured_ = !model_.hasFpga;
        fpgaConfiguring_ = false;
        regs_.reset(Clock::now());
        enumerateLocked(fx);
        postLocked(fx);
    }
    apply(fx);
}

std::vector<uint8_t> CameraImpl::renderFrame() const {
    SensorSettings settings;
    uint64_t frame;
    {
        std::lock_guard lock(mutex_);
        settings = regs_.sensorSettings();
        frame = options_.stillScene ? 0 : framesProduced_;
    }
    return renderScene(settings, frame);
}

} // namespace qor::sim
