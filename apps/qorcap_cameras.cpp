#include "qorcap_cameras.h"

#include "qorcap_text.h"

#include "camera/image_formats.h"
#include "sim/models.h"
#include "usb/bus_inventory.h"

#include <cstdio>
#include <string>
#include <vector>

namespace qor::apps {

namespace {

std::string hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

// What a simulated model's sensor is: "monochrome" or its mosaic ("RGGB" ...).
std::string sensorOf(const sim::ModelProfile &model) {
    std::optional<camera::SensorFormat> format = camera::sensorFormatForCode(model.sensorCode);
    if (!format) return "unknown";
    const char *mosaic = capture::mosaicName(capture::MosaicPhase(format->formatClass));
    return *mosaic ? mosaic : "monochrome";
}

bool colourModel(const sim::ModelProfile &model) {
    std::optional<camera::SensorFormat> format = camera::sensorFormatForCode(model.sensorCode);
    return format && format->color;
}

std::string modelJson(const sim::ModelProfile &model) {
    JsonObject o;
    o.text("model", hex4(model.productID));
    if (model.productName)
        o.text("name", model.productName);
    else
        o.null("name");
    return o.number("width", uint64_t(model.sensorWidth))
        .number("height", uint64_t(model.sensorHeight))
        .text("sensor", sensorOf(model))
        .flag("colour", colourModel(model))
        .flag("cooled", model.cooled)
        .str();
}

std::vector<std::string> modelsJson() {
    std::vector<std::string> models;
    for (const sim::ModelProfile &model : sim::modelProfiles()) models.push_back(modelJson(model));
    return models;
}

// The cameras as listed: the registered ones in the order of their index, then those that did
// not come up, in bus order; each with its bus entry and, when registered, its description.
std::vector<std::pair<usb::AttachedCamera, const capture::CameraInfo *>>
listed(const capture::System &system) {
    const std::vector<usb::AttachedCamera> bus = system.bus();
    std::vector<std::pair<usb::AttachedCamera, const capture::CameraInfo *>> cameras;
    for (const capture::CameraInfo &info : system.cameras()) {
        usb::AttachedCamera attached;
        attached.productID = info.productID;
        attached.locationID = info.locationID;
        attached.simulated = info.simulated;
        attached.state = usb::BringUpState::Registered;
        for (const usb::AttachedCamera &a : bus)
            if (a.name == info.name) attached = a;
        cameras.emplace_back(attached, &info);
    }
    for (const usb::AttachedCamera &a : bus)
        if (a.state != usb::BringUpState::Registered || a.name.empty())
            cameras.emplace_back(a, nullptr);
    return cameras;
}

std::string cameraJson(const usb::AttachedCamera &attached, const capture::CameraInfo *info) {
    JsonObject o;
    if (info)
        o.number("index", uint64_t(info->index))
            .text("name", info->name)
            .text("serial", info->serial);
    else
        o.null("index").null("name").null("serial");
    o.text("model", hex4(attached.productID));
    if (info)
        o.text("sensor", info->sensor)
            .number("width", uint64_t(info->width))
            .number("height", uint64_t(info->height))
            .flag("colour", info->colour)
            .flag("cooled", info->cooled);
    return o.text("state", usb::bringUpStateName(attached.state))
        .text("where", usb::busAndPort(attached.locationID))
        .flag("simulated", attached.simulated)
        .str();
}

// The model ids, wrapped to the terminal's usual width.
void printModelIds() {
    std::printf("simulated models (--sim-model PID; qorcap --sim-model describes them):\n");
    // Each id is printed with the space before it; a line holds at most 15 of them.
    constexpr size_t kIdsPerLine = 15;
    size_t onLine = 0;
    for (const sim::ModelProfile &model : sim::modelProfiles()) {
        if (onLine == kIdsPerLine) {
            std::printf("\n");
            onLine = 0;
        }
        std::printf("%s %s", onLine == 0 ? " " : "", hex4(model.productID).c_str());
        ++onLine;
    }
    std::printf("\n");
}

} // namespace

int listSimulatedModels(const Options &options) {
    if (options.json) {
        std::printf("%s\n",
                    JsonObject().raw("simulated_models", jsonArray(modelsJson())).str().c_str());
        return kOk;
    }
    std::printf("simulated models (--sim-model PID):\n");
    for (const sim::ModelProfile &model : sim::modelProfiles()) {
        const std::string size =
            std::to_string(model.sensorWidth) + " x " + std::to_string(model.sensorHeight);
        const std::string sensor = colourModel(model) ? "colour (" + sensorOf(model) + ")" : "mono";
        std::printf("  %s  %-22s  %-11s  %s%s\n", hex4(model.productID).c_str(),
                    model.productName ? model.productName : "", size.c_str(),
                    model.cooled ? (sensor + std::string(13 - sensor.size(), ' ')).c_str()
                                 : sensor.c_str(),
                    model.cooled ? "  cooled" : "");
    }
    return kOk;
}

int listCameras(const Options &options, capture::System &system) {
    const auto cameras = listed(system);
    const int result = system.cameras().empty() ? kNoCamera : kOk;
    if (options.json) {
        std::vector<std::string> entries;
        for (const auto &[attached, info] : cameras) entries.push_back(cameraJson(attached, info));
        JsonObject o;
        o.raw("cameras", jsonArray(entries)).raw("simulated_models", jsonArray(modelsJson()));
        if (system.error().empty())
            o.null("error");
        else
            o.text("error", system.error());
        std::printf("%s\n", o.str().c_str());
        return result;
    }
    if (cameras.empty()) std::printf("no cameras\n");
    for (const auto &[a, c] : cameras) {
        const std::string where =
            usb::busAndPort(a.locationID) + ", " + (a.simulated ? "simulated" : "real");
        if (c)
            std::printf("%zu  %s  serial %s  model %s, %u x %u %s, %s%s  [%s, %s]\n", c->index,
                        c->name.c_str(), c->serial.c_str(), hex4(c->productID).c_str(), c->width,
                        c->height, c->sensor.c_str(), c->colour ? "colour" : "mono",
                        c->cooled ? ", cooled" : "", usb::bringUpStateName(a.state), where.c_str());
        else
            std::printf("-  (not ready)  model %s  [%s, %s]\n", hex4(a.productID).c_str(),
                        usb::bringUpStateName(a.state), where.c_str());
    }
    printModelIds();
    return result;
}

int configure(const Options &o, capture::Camera &camera) {
    if (!o.loadFrom.empty()) {
        if (std::string error = camera.loadSettings(o.loadFrom); !error.empty()) {
            std::fprintf(stderr, "qorcap: %s\n", error.c_str());
            return kUsage;
        }
    }
    if (!o.settings.empty()) {
        if (std::string error = camera.apply(o.settings); !error.empty()) {
            std::fprintf(stderr, "qorcap: %s\n", error.c_str());
            return kUsage;
        }
    }
    if (o.command == Command::Show) {
        std::string error;
        const std::vector<std::pair<std::string, std::string>> settings =
            camera.readSettings(&error);
        if (!error.empty()) {
            std::fprintf(stderr, "qorcap: %s\n", error.c_str());
            return kCaptureFailed;
        }
        if (o.json) {
            JsonObject values;
            for (const auto &[name, value] : settings) values.text(name.c_str(), value);
            const capture::CameraInfo &info = camera.info();
            std::printf("%s\n", JsonObject()
                                    .text("camera", info.name)
                                    .text("serial", info.serial)
                                    .text("model", hex4(info.productID))
                                    .raw("settings", values.str())
                                    .str()
                                    .c_str());
        } else {
            for (const auto &[name, value] : settings)
                std::printf("%-15s%s\n", name.c_str(), value.c_str());
        }
    }
    if (!o.saveTo.empty()) {
        if (std::string error = camera.saveSettings(o.saveTo); !error.empty()) {
            std::fprintf(stderr, "qorcap: %s\n", error.c_str());
            return kWriteFailed;
        }
        if (!o.json && !o.quiet) std::printf("settings saved to %s\n", o.saveTo.c_str());
    }
    return kOk;
}

} // namespace qor::apps
