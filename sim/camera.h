// One simulated camera: the FX2 with its RAM and boot loader, the FPGA with its register file,
// the sensor behind it and the USB device they present. Each enumeration is a Device of its
// own (a generation); calls through a Device of an earlier generation answer kIOReturnNoDevice.
#pragma once

#include "sim/registers.h"
#include "sim/sim.h"
#include "sim/worker.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace qor::sim {

class SimBus;

class CameraImpl final : public SimCamera, public std::enable_shared_from_this<CameraImpl> {
public:
    CameraImpl(SimBus &bus, const ModelProfile &model, const CameraOptions &options,
               uint32_t number);
    ~CameraImpl() override;
    // Puts the camera on the bus as its options say; called once, right after construction.
    void start();

    // The Device of the current enumeration, or null while off the bus.
    std::shared_ptr<usb::Device> currentDevice() const;
    bool presentsAsReal() const { return options_.presentsAsReal; }

    // SimCamera
    const ModelProfile &model() const override { return model_; }
    CameraState state() const override;
    uint16_t releaseNumber() const override { return release_; }
    std::string serial() const override;
    uint32_t locationID() const override { return locationID_; }
    bool fpgaConfigured() const override;
    std::vector<uint8_t> fx2Ram() const override;
    std::vector<uint8_t> lastBitstream() const override;
    bool waitUntilRunning(std::chrono::milliseconds timeout) override;
    uint32_t peekRegister(uint16_t reg) const override;
    void pokeRegister(uint16_t reg, uint32_t value) override;
    std::vector<uint8_t> toneCurve() const override;
    std::vector<std::pair<uint16_t, uint8_t>> sensorWrites() const override;
    uint32_t sensorTemperatureMilliKelvin() const override;
    std::vector<Transfer> transferLog() const override;
    void clearTransferLog() override;
    void failRegister(uint16_t reg, Direction direction, IOReturn result, int count) override;
    void shortRegisterRead(uint16_t reg, uint32_t bytes, int count) override;
    void failRequest(uint8_t bRequest, IOReturn result, int count) override;
    void failBulk(uint8_t endpoint, IOReturn result, int count) override;
    void shortBulk(uint8_t endpoint, uint32_t bytes, int count) override;
    void holdExclusive(int count) override;
    void setNeverReenumerates(bool never) override;
    void setFpgaNeverConfigures(bool never) override;
    void setProductString(const std::string &text) override;
    void setSerialString(const std::string &text) override;
    void unplug() override;
    void plug() override;
    std::vector<uint8_t> renderFrame() const override;

    // What the Device of enumeration `generation` asks of the hardware.
    usb::DeviceDescriptor deviceDescriptor(uint64_t generation,
                                           const usb::DeviceDescriptor &fallback) const;
    bool attached(uint64_t generation) const;
    IOReturn open(uint64_t generation);
    void close(uint64_t generation);
    IOReturn setConfiguration(uint64_t generation, uint8_t value);
    IOReturn claimInterface(uint64_t generation, uint8_t number);
    void releaseInterface(uint64_t generation, uint8_t number);
    IOReturn setAlternateSetting(uint64_t generation, uint8_t interfaceNumber, uint8_t alternate);
    IOReturn controlTransfer(uint64_t generation, const usb::SetupPacket &setup, uint8_t *data,
                             usb::Timeouts timeouts, uint32_t &transferred);
    IOReturn bulkTransfer(uint64_t generation, uint8_t endpoint, uint8_t *data, uint32_t length,
                          usb::Timeouts timeouts, uint32_t &transferred);
    IOReturn submitBulkRead(uint64_t generation, uint8_t endpoint, uint8_t *data, uint32_t length,
                            usb::TransferCompletion completion);
    IOReturn abortEndpoint(uint64_t generation, uint8_t endpoint);
    IOReturn clearHalt(uint64_t generation, uint8_t endpoint);
    IOReturn endpointStatus(uint64_t generation, uint8_t endpoint) const;

private:
    // An outstanding bulk read.
    struct Read {
        uint8_t endpoint;
        uint8_t *data;
        uint32_t length;
        usb::TransferCompletion completion;
        bool synchronous; // completes inline (its completion only wakes the waiting caller)
        uint64_t id;
        usb::Timeouts timeouts; // a synchronous read's; an asynchronous one has none
        bool silent;            // the device does not answer it (a time-out fault)
    };
    struct Completion {
        usb::TransferCompletion completion;
        IOReturn status;
        uint32_t transferred;
        bool inline_;
    };
    // What a locked operation leaves to do once the lock is released.
    struct Effects {
        std::vector<Completion> completions;
        std::shared_ptr<usb::Device> left, arrived;
        bool boot = false; // the FX2 was released with a valid image: leave and come back
    };
    struct RegisterFault {
        uint16_t reg;
        Direction direction;
        IOReturn result;
        uint32_t shortBytes;
        int count;
    };
    struct RequestFault {
        uint8_t bRequest;
        IOReturn result;
        int count;
    };
    struct BulkFault {
        uint8_t endpoint;
        IOReturn result;
        uint32_t shortBytes;
        int count;
    };
    using Handler = IOReturn (CameraImpl::*)(const usb::SetupPacket &, uint8_t *, uint32_t &,
                                             Effects &);
    struct RequestHandler {
        uint8_t bmRequestType;
        uint8_t bRequest;
        Handler handler;
    };
    static const RequestHandler kRequests[];

    // Bus presence.
    bool currentLocked(uint64_t generation) const;
    void enumerateLocked(Effects &fx);
    void leaveBusLocked(CameraState next, Effects &fx);
    void bootLeave();
    void arrive(uint64_t plugEpoch);
    void postLocked(Effects &fx);
    void apply(Effects &fx);
    usb::DeviceDescriptor describeDeviceLocked() const;
    usb::ConfigDescriptor describeConfigLocked() const;
    bool endpointExistsLocked(uint8_t endpoint) const;
    uint8_t streamingEndpointLocked() const;

    // Control requests.
    IOReturn requestLocked(const usb::SetupPacket &setup, uint8_t *data, uint32_t &transferred,
                           Effects &fx);
    IOReturn getDescriptor(const usb::SetupPacket &, uint8_t *, uint32_t &, Effects &);
    IOReturn getStatus(const usb::SetupPacket &, uint8_t *, uint32_t &, Effects &);
    IOReturn setConfigurationRequest(const usb::SetupPacket &, uint8_t *, uint32_t &, Effects &);
    IOReturn setInterfaceRequest(const usb::SetupPacket &, uint8_t *, uint32_t &, Effects &);
    IOReturn clearFeature(const usb::SetupPacket &, uint8_t *, uint32_t &, Effects &);
    IOReturn firmwareLoad(const usb::SetupPacket &, uint8_t *, uint32_t &, Effects &);
    IOReturn registerRead(const usb::SetupPacket &, uint8_t *, uint32_t &, Effects &);
    IOReturn registerWrite(const usb::SetupPacket &, uint8_t *, uint32_t &, Effects &);
    IOReturn sensorInitialisation(const usb::SetupPacket &, uint8_t *, uint32_t &, Effects &);
    std::vector<uint8_t> stringDescriptorLocked(uint8_t index, bool &exists) const;
    bool rawStringAnswerLocked(uint8_t index, std::vector<uint8_t> &bytes);
    std::vector<uint8_t> configDescriptorBytesLocked() const;
    IOReturn readRegisterLocked(uint16_t reg, uint32_t &value);
    IOReturn writeRegisterLocked(uint16_t reg, uint32_t value, Effects &fx);
    IOReturn fpgaControlLocked(uint32_t value);
    IOReturn unansweredLocked(std::unique_lock<std::mutex> &lock, uint64_t generation,
                              uint8_t endpoint, usb::Timeouts timeouts);
    bool takeRegisterFaultLocked(uint16_t reg, Direction direction, RegisterFault &taken);
    bool takeBulkFaultLocked(uint8_t endpoint, BulkFault &taken);
    void logLocked(Transfer transfer);
    void logBulkInLocked(const Read &read, IOReturn status, uint32_t transferred);

    // Streaming (stream.cpp).
    void streamingChangedLocked(bool wasStreaming, Effects &fx);
    void frameTick(uint64_t epoch);
    std::chrono::microseconds framePeriodLocked() const;
    void pumpLocked(Effects &fx);
    bool answerFaultAtOnceLocked(Read &read, Effects &fx);
    void faultReadLocked(Read &read, const BulkFault &fault, Effects &fx);
    void finishReadLocked(Read &read, IOReturn status, uint32_t moved, Effects &fx);
    void completeReadsLocked(uint8_t endpoint, IOReturn status, Effects &fx);
    void scheduleTickLocked(uint64_t epoch);

    SimBus &bus_;
    const ModelProfile model_; // the model's, with this camera's power-up variations
    const uint32_t number_;
    const uint32_t locationID_;
    const uint16_t release_;
    const std::chrono::milliseconds reenumerationDelay_;
    const CameraOptions options_;

    mutable std::mutex mutex_;
    std::condition_variable running_;
    CameraState state_ = CameraState::Unplugged;
    uint64_t generation_ = 0;
    uint64_t plugEpoch_ = 0; // a pending re-enumeration belongs to one power-up
    std::shared_ptr<usb::Device> device_;
    std::string product_, serial_;
    std::map<uint8_t, size_t> stringRequests_; // requests answered from options_.stringAnswers

    // FX2
    std::vector<uint8_t> ram_;
    bool cpuHeld_ = false;
    // FPGA
    bool fpgaConfigured_ = false;
    bool fpgaConfiguring_ = false;
    std::vector<uint8_t> bitstream_, lastBitstream_;
    RegisterFile regs_;
    std::vector<std::pair<uint16_t, uint8_t>> sensorWrites_;
    // USB device state
    bool opened_ = false;
    uint8_t configuration_ = 0;
    bool claimed_ = false;
    uint8_t alternate_ = 0;
    std::set<uint8_t> halted_;
    std::map<uint8_t, uint64_t> aborts_; // aborts per endpoint, to end unanswered transfers
    std::condition_variable unanswered_; // woken by an abort and by leaving the bus
    std::deque<Read> reads_;
    uint64_t nextReadID_ = 1;
    // Streaming: the frame the FX2 FIFO holds and how much of it has gone out.
    uint64_t streamEpoch_ = 0;
    std::vector<uint8_t> fifo_;
    size_t fifoSent_ = 0;
    uint64_t framesProduced_ = 0;
    Clock::time_point nextFrameAt_{};
    // Faults
    std::vector<RegisterFault> registerFaults_;
    std::vector<RequestFault> requestFaults_;
    std::vector<BulkFault> bulkFaults_;
    int exclusiveHolds_ = 0;
    bool neverReenumerates_ = false;
    bool fpgaNeverConfigures_ = false;
    // Transfer log
    std::vector<Transfer> log_;
    size_t loggedInBytes_ = 0;

    // Declared last, so destroyed first: its thread ends before the state above goes.
    std::unique_ptr<Worker> worker_;
};

} // namespace qor::sim
