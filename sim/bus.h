// The simulated USB bus: the backend that lists the simulated cameras' devices and reports
// their arrivals and departures.
#pragma once

#include "platform/usb_backend.h"
#include "sim/sim.h"

#include <memory>
#include <mutex>
#include <vector>

namespace qor::sim {

class CameraImpl;

class SimBus final : public usb::Backend {
public:
    // The one bus of the process; never destroyed, so sim threads may report to it at exit.
    static const std::shared_ptr<SimBus> &instance();

    std::string name() const override { return "simulated"; }
    std::vector<std::shared_ptr<usb::Device>> devices() override;
    void setListener(usb::BusListener *listener) override;

    std::shared_ptr<SimCamera> attach(const CameraOptions &options);
    void detachAll();

    // Reports to the listener; called from camera threads, never under a camera lock.
    void reportArrived(const std::shared_ptr<usb::Device> &device);
    void reportLeft(const std::shared_ptr<usb::Device> &device);

private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<CameraImpl>> cameras_;
    uint32_t attached_ = 0; // cameras attached so far: numbers serials and ports
    // Held while reporting, so that a listener is not replaced under a report in progress;
    // recursive because a listener may set the listener from inside a report.
    std::recursive_mutex listenerMutex_;
    usb::BusListener *listener_ = nullptr;
};

} // namespace qor::sim
