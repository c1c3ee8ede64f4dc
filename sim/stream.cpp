// The video path of a simulated camera: frames read out at the programmed data rate into the
// FX2's FIFO, and from there into the host's bulk reads.
#include "sim/camera.h"
#include "sim/scene.h"

#include <qorvanta/status.h>

#include <algorithm>
#include <cstring>

namespace qor::sim {

std::chrono::microseconds CameraImpl::framePeriodLocked() const {
    // A frame takes as long as the data rate needs to carry it, or an exposure set before the
    // window or rate shortened the readout, if longer.
    return std::max(regs_.readoutTime(), std::chrono::microseconds(regs_.exposureMicroseconds()));
}

void CameraImpl::scheduleTickLocked(uint64_t epoch) {
    worker_->postAt(nextFrameAt_, [weak = weak_from_this(), epoch] {
        if (auto self = weak.lock()) self->frameTick(epoch);
    });
}

void CameraImpl::streamingChangedLocked(bool wasStreaming, Effects &) {
    const bool streaming = regs_.streaming();
    if (streaming == wasStreaming) return;
    ++streamEpoch_; // ends the ticks of an earlier stream
    fifo_.clear();
    fifoSent_ = 0;
    if (streaming) {
        nextFrameAt_ = Clock::now() + framePeriodLocked();
        scheduleTickLocked(streamEpoch_);
    }
}

void CameraImpl::frameTick(uint64_t epoch) {
    SensorSettings settings;
    uint64_t number = 0;
    bool render = false;
    {
        std::lock_guard lock(mutex_);
        if (epoch != streamEpoch_ || !device_) return;
        // While the host has not taken the last frame, the FIFO is full and this one is lost.
        if (fifoSent_ >= fifo_.size()) {
            settings = regs_.sensorSettings();
            number = options_.stillScene ? 0 : framesProduced_;
            ++framesProduced_;
            render = true;
        }
        nextFrameAt_ = std::max(nextFrameAt_ + framePeriodLocked(), Clock::now());
        scheduleTickLocked(epoch);
    }
    if (!render) return;
    std::vector<uint8_t> frame = renderScene(settings, number);
    Effects fx;
    {
        std::lock_guard lock(mutex_);
        if (epoch != streamEpoch_) return;
        fifo_ = std::move(frame);
        fifoSent_ = 0;
        pumpLocked(fx);
        postLocked(fx);
    }
    apply(fx);
}

void CameraImpl::pumpLocked(Effects &fx) {
    const uint8_t endpoint = streamingEndpointLocked();
    while (fifoSent_ < fifo_.size() && !halted_.count(endpoint)) {
        auto it = std::find_if(reads_.begin(), reads_.end(),
                               [endpoint](const Read &r) { return r.endpoint == endpoint; });
        // Reads are served in order: one the device leaves unanswered holds back the rest.
        if (it == reads_.end() || it->silent) return;
        BulkFault fault{};
        const bool faulted = takeBulkFaultLocked(endpoint, fault);
        if (faulted && fault.result == kIOUSBTransactionTimeout) {
            it->silent = true;
            return;
        }
        Read read = std::move(*it);
        reads_.erase(it);
        if (faulted) {
            faultReadLocked(read, fault, fx);
            continue;
        }
        // A read takes at most what it asked for; a frame end finishes it short.
        const size_t remaining = fifo_.size() - fifoSent_;
        const uint32_t moved = uint32_t(std::min<size_t>(remaining, read.length));
        std::memcpy(read.data, fifo_.data() + fifoSent_, moved);
        fifoSent_ += moved;
        finishReadLocked(read, 0, moved, fx);
    }
}

bool CameraImpl::answerFaultAtOnceLocked(Read &read, Effects &fx) {
    // An error, a stall or an overrun answers a read as soon as it is queued; a short packet
    // needs data to cut short, so it waits for the next frame; a read the device leaves
    // unanswered is queued and never served.
    auto it = std::find_if(bulkFaults_.begin(), bulkFaults_.end(),
                           [&](const BulkFault &f) { return f.endpoint == read.endpoint; });
    if (it == bulkFaults_.end() || it->shortBytes) return false;
    BulkFault fault{};
    takeBulkFaultLocked(read.endpoint, fault);
    if (fault.result == kIOUSBTransactionTimeout) {
        read.silent = true;
        return false;
    }
    faultReadLocked(read, fault, fx);
    return true;
}

void CameraImpl::faultReadLocked(Read &read, const BulkFault &fault, Effects &fx) {
    const size_t remaining = fifo_.size() - fifoSent_;
    IOReturn status = 0;
    uint32_t moved = 0;
    if (fault.shortBytes) {
        // A short packet ends the transfer early; the rest of the frame is lost.
        moved = uint32_t(std::min<size_t>({remaining, read.length, fault.shortBytes}));
    } else if (fault.result == kIOReturnOverrun) {
        // The device sends more than the read asked for.
        std::memset(read.data, 0xFF, read.length);
        moved = read.length;
        status = kIOReturnOverrun;
    } else {
        status = fault.result;
    }
    if (const size_t frameBytes = std::min<size_t>(moved, remaining))
        std::memcpy(read.data, fifo_.data() + fifoSent_, frameBytes);
    fifoSent_ = fifo_.size();
    finishReadLocked(read, status, moved, fx);
}

void CameraImpl::finishReadLocked(Read &read, IOReturn status, uint32_t moved, Effects &fx) {
    logBulkInLocked(read, status, moved);
    fx.completions.push_back({std::move(read.completion), status, moved, read.synchronous});
    if (status == kIOUSBPipeStalled) {
        // A halted endpoint fails everything queued on it until the halt is cleared.
        halted_.insert(read.endpoint);
        completeReadsLocked(read.endpoint, kIOUSBPipeStalled, fx);
    }
}

} // namespace qor::sim
