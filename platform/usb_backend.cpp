// The registry of backends the IOKit layer enumerates and listens to.
#include "platform/usb_backend.h"

#include "platform/usb_internal.h"

#include <algorithm>
#include <mutex>

namespace qor::usb {
namespace {

struct Registry {
    std::mutex lock;
    std::vector<std::shared_ptr<Backend>> backends;
};

Registry &registry() {
    static auto *r = new Registry;
    return *r;
}

} // namespace

void addBackend(std::shared_ptr<Backend> backend) {
    if (!backend) return;
    {
        std::lock_guard guard(registry().lock);
        auto &list = registry().backends;
        if (std::find(list.begin(), list.end(), backend) != list.end()) return;
        list.push_back(backend);
    }
    backend->setListener(&iokit::busListener());
}

void removeBackend(const std::shared_ptr<Backend> &backend) {
    {
        std::lock_guard guard(registry().lock);
        auto &list = registry().backends;
        auto it = std::find(list.begin(), list.end(), backend);
        if (it == list.end()) return;
        list.erase(it);
    }
    backend->setListener(nullptr);
}

std::vector<std::shared_ptr<Backend>> backends() {
    std::lock_guard guard(registry().lock);
    return registry().backends;
}

} // namespace qor::usb
