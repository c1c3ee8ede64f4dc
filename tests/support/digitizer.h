// Test support: a simulated camera with its digitizer registered the way the loader registers
// one, opened through the component manager as a capture client opens it.
#pragma once

#include "platform/memory.h"
#include "platform/misc.h"
#include "platform/videodigitizer.h"
#include "support/sim_camera.h"
#include "vdig/vdig.h"

#include <cstring>
#include <memory>
#include <string>

namespace qor::test {

class SimDigitizer {
public:
    // Registers the camera's digitizer under the camera's name; opens it unless a client (such
    // as a sequence grabber) is to open it.
    explicit SimDigitizer(sim::CameraOptions options, bool open = true)
        : SimDigitizer(sim::attachCamera(std::move(options)), open) {}
    explicit SimDigitizer(std::shared_ptr<sim::SimCamera> camera, bool open = true)
        : cam_(std::move(camera)) {
        ComponentDescription cd{videoDigitizerComponentType, kQorvantaVdigSubType,
                                kQorvantaManufacturer, 0x0000000D, 0};
        name_ = cam_->model().productName + std::string("-") + cam_->serial();
        Str255 pascal;
        CopyCStringToPascal(name_.c_str(), pascal);
        Handle name = NewHandle(pascal[0] + 1);
        std::memcpy(*name, pascal, size_t(pascal[0] + 1));
        component_ = RegisterComponent(&cd, vdigMainEntry, 0x201, name, name, nullptr);
        DisposeHandle(name);
        info_.component = component_;
        info_.vendorID = cam_->model().vendorID;
        info_.productID = cam_->model().productID;
        info_.locationID = cam_->locationID();
        std::strncpy(info_.name, name_.c_str(), sizeof info_.name - 1);
        SetComponentRefcon(component_, reinterpret_cast<long>(&info_));
        if (open) openResult_ = OpenAComponent(component_, &vdig_);
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
    const std::string &name() const { return name_; }

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
    std::string name_;
    OSErr openResult_ = noErr;
};

} // namespace qor::test
