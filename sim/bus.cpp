#include "sim/bus.h"

#include "sim/camera.h"

namespace qor::sim {

const std::shared_ptr<SimBus> &SimBus::instance() {
    static const auto *bus = new std::shared_ptr<SimBus>(std::make_shared<SimBus>());
    return *bus;
}

std::vector<std::shared_ptr<usb::Device>> SimBus::devices() {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<usb::Device>> list;
    for (const auto &camera : cameras_)
        if (auto device = camera->currentDevice()) list.push_back(std::move(device));
    return list;
}

void SimBus::setListener(usb::BusListener *listener) {
    std::lock_guard lock(listenerMutex_);
    listener_ = listener;
}

std::shared_ptr<SimCamera> SimBus::attach(const CameraOptions &options) {
    const ModelProfile *model = findModel(options.productID);
    if (!model) return nullptr;
    uint32_t number;
    {
        std::lock_guard lock(mutex_);
        number = ++attached_;
    }
    auto camera = std::make_shared<CameraImpl>(*this, *model, options, number);
    {
        std::lock_guard lock(mutex_);
        cameras_.push_back(camera);
    }
    camera->start();
    return camera;
}

void SimBus::detachAll() {
    std::vector<std::shared_ptr<CameraImpl>> cameras;
    {
        std::lock_guard lock(mutex_);
        cameras.swap(cameras_);
    }
    for (const auto &camera : cameras) camera->unplug();
}

void SimBus::reportArrived(const std::shared_ptr<usb::Device> &device) {
    std::lock_guard lock(listenerMutex_);
    if (listener_) listener_->deviceArrived(device);
}

void SimBus::reportLeft(const std::shared_ptr<usb::Device> &device) {
    std::lock_guard lock(listenerMutex_);
    if (listener_) listener_->deviceLeft(device);
}

std::shared_ptr<SimCamera> attachCamera(const CameraOptions &options) {
    static std::once_flag added;
    std::call_once(added, [] { usb::addBackend(SimBus::instance()); });
    return SimBus::instance()->attach(options);
}

void detachAllCameras() {
    SimBus::instance()->detachAll();
}

std::shared_ptr<usb::Backend> simulatedBus() {
    return SimBus::instance();
}

} // namespace qor::sim
