// Test support: a simulated camera with its digitizer registered the way the loader registers
// one, opened through the component manager as a capture client opens it.
#pragma once

#include "platform/videodigitizer.h"
#include "support/sim_camera.h"
#include "vdig/vdig.h"

#include <cstring>
#include <memory>
#include <string>

namespace qor::test {

class SimDigitizer {
public:
    explicit SimDigitizer(sim::CameraOptions options)
        : SimDigitizer(sim::attachCamera(std::move(options))) {}
    explicit SimDigitizer(std::shared_ptr<sim::SimCamera> camera) : cam_(std::move(camera)) {
        ComponentDescription cd{videoDigitizerComponentType, kQorvantaVdigSubType,
                                kQorvantaManufacturer, 0x0000000D, 0};
        component_ = RegisterComponent(&cd, vdigMainEntry, 0x201, nullptr, nullptr, nullptr);
        info_.component = component_;
        info_.vendorID = cam_->model().vendorID;
        info_.productID = cam_->model().productID;
        info_.locationID = cam_->locationID();
        std::string name = cam_->model().productName + std::string("-") + cam_->serial();
        std::strncpy(info_.name, name.c_str(), sizeof info_.name - 1);
        SetComponentRefcon(component_, reinterpret_cast<long>(&info_));
        openResult_ = OpenAComponent(component_, &vdig_);
    }
    ~SimDigitizer() {
        close();
        if (component_) UnregisterComponent(component_);
    }
    SimDigitizer(const SimDigitizer &) = delete;
    SimDigitizer &operator=(const SimDigitizer &) = delete;

    OSErr openResult() const { return openResult_; }
    VideoDigitizerComponent vdig() const { return vdig_; }
    Component component() const { return component_; }
    CameraHandle camera() const { return vdig_ ? GetComponentInstanceStorage(vdig_) : nullptr; }
    CameraRecord &record() const { return *cameraRecord(camera()); }
    sim::SimCamera &sim() const { return *cam_; }
    const CameraComponentInfo &info() const { return info_; }

    OSErr close() {
        OSErr result = noErr;
        if (vdig_) result = CloseComponent(vdig_);
        vdig_ = nullptr;
        return result;
    }

private:
    std::shared_ptr<sim::SimCamera> cam_;
    Component component_ = nullptr;
    ComponentInstance vdig_ = nullptr;
    CameraComponentInfo info_{};
    OSErr openResult_ = noErr;
};

} // namespace qor::test
