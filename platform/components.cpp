#include "platform/components.h"

#include "platform/memory.h"

#include <qorvanta/status.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The records behind the opaque Component and ComponentInstance references.
struct ComponentRecord {
    ComponentDescription description;
    ComponentRoutineUPP entry;
    int16_t global;
    std::string name;
    std::string info;
    long refcon = 0;
};

struct ComponentInstanceRecord {
    ComponentRecord *component;
    Handle storage = nullptr;
    OSErr error = noErr;
};

namespace {

// Requests run without the lock held: a component's register request may itself register
// components (the panel's loader registers one digitizer per camera).
struct Registry {
    std::recursive_mutex lock;
    std::vector<std::unique_ptr<ComponentRecord>> components;
    std::vector<std::unique_ptr<ComponentInstanceRecord>> instances;
};

Registry &registry() {
    static Registry r;
    return r;
}

ComponentInstanceRecord *findInstance(const void *ref) {
    for (auto &instance : registry().instances)
        if (instance.get() == ref) return instance.get();
    return nullptr;
}

// A component reference, or an instance standing for its component.
ComponentRecord *findComponent(const void *ref) {
    for (auto &component : registry().components)
        if (component.get() == ref) return component.get();
    if (ComponentInstanceRecord *instance = findInstance(ref)) return instance->component;
    return nullptr;
}

std::string stringFromHandle(Handle h) {
    // Names and info strings are stored as length-prefixed strings in their handles.
    if (!h || !*h || GetHandleSize(h) < 1) return {};
    auto length = std::min<Size>(static_cast<unsigned char>((*h)[0]), GetHandleSize(h) - 1);
    return std::string(*h + 1, size_t(length));
}

void stringToHandle(const std::string &text, Handle h) {
    SetHandleSize(h, Size(text.size() + 1));
    if (MemError() != noErr) return;
    (*h)[0] = char(text.size());
    std::copy(text.begin(), text.end(), *h + 1);
}

bool matches(const ComponentDescription &have, const ComponentDescription &want) {
    return (!want.componentType || want.componentType == have.componentType) &&
           (!want.componentSubType || want.componentSubType == have.componentSubType) &&
           (!want.componentManufacturer ||
            want.componentManufacturer == have.componentManufacturer) &&
           ((have.componentFlags & want.componentFlagsMask) ==
            (want.componentFlags & want.componentFlagsMask));
}

ComponentResult send(ComponentInstanceRecord *instance, int16_t selector, uintptr_t param,
                     int paramCount) {
    ComponentParameters block{};
    block.paramSize = uint8_t(paramCount * kComponentParamUnit);
    block.what = selector;
    block.params[0] = param;
    return instance->component->entry(&block, instance->storage);
}

void destroyInstance(ComponentInstanceRecord *instance) {
    std::lock_guard guard(registry().lock);
    auto &list = registry().instances;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [instance](auto &p) { return p.get() == instance; }),
               list.end());
}

// Sends open; on failure sends close as well, so the component can release what open made.
OSErr openInstance(ComponentRecord *component, ComponentInstanceRecord **out) {
    ComponentInstanceRecord *instance;
    {
        std::lock_guard guard(registry().lock);
        registry().instances.push_back(
            std::make_unique<ComponentInstanceRecord>(ComponentInstanceRecord{component}));
        instance = registry().instances.back().get();
    }
    auto self = reinterpret_cast<uintptr_t>(instance);
    ComponentResult result = send(instance, kComponentOpenSelect, self, 1);
    if (result != noErr) {
        send(instance, kComponentCloseSelect, self, 1);
        destroyInstance(instance);
        *out = nullptr;
        return OSErr(result);
    }
    *out = instance;
    return noErr;
}

} // namespace

Component RegisterComponent(ComponentDescription *cd, ComponentRoutineUPP componentEntryPoint,
                            int16_t global, Handle componentName, Handle componentInfo,
                            Handle /*componentIcon*/) {
    if (!cd || !componentEntryPoint) return nullptr;
    ComponentRecord *component;
    {
        std::lock_guard guard(registry().lock);
        registry().components.push_back(std::make_unique<ComponentRecord>(
            ComponentRecord{*cd, componentEntryPoint, global, stringFromHandle(componentName),
                            stringFromHandle(componentInfo)}));
        component = registry().components.back().get();
    }
    if (cd->componentFlags & cmpWantsRegisterMessage) {
        ComponentInstanceRecord *instance = nullptr;
        ComponentResult answer = openInstance(component, &instance);
        if (answer == noErr) {
            answer = send(instance, kComponentRegisterSelect, 0, 0);
            CloseComponent(reinterpret_cast<ComponentInstance>(instance));
        }
        if (answer != noErr) {
            UnregisterComponent(component);
            return nullptr;
        }
    }
    return component;
}

OSErr UnregisterComponent(Component aComponent) {
    std::lock_guard guard(registry().lock);
    auto &list = registry().components;
    auto it = std::find_if(list.begin(), list.end(),
                           [aComponent](auto &p) { return p.get() == aComponent; });
    if (it == list.end()) return invalidComponentID;
    if (CountComponentInstances(aComponent) > 0) return validInstancesExist;
    list.erase(it);
    return noErr;
}

long CountComponents(ComponentDescription *looking) {
    std::lock_guard guard(registry().lock);
    ComponentDescription any{};
    return long(
        std::count_if(registry().components.begin(), registry().components.end(),
                      [&](auto &c) { return matches(c->description, looking ? *looking : any); }));
}

Component FindNextComponent(Component aComponent, ComponentDescription *looking) {
    std::lock_guard guard(registry().lock);
    ComponentDescription any{};
    auto &list = registry().components;
    auto it = list.begin();
    if (aComponent) {
        ComponentRecord *previous = findComponent(aComponent);
        it = std::find_if(list.begin(), list.end(), [&](auto &p) { return p.get() == previous; });
        if (it == list.end()) return nullptr;
        ++it;
    }
    for (; it != list.end(); ++it)
        if (matches((*it)->description, looking ? *looking : any)) return it->get();
    return nullptr;
}

OSErr GetComponentInfo(Component aComponent, ComponentDescription *cd, Handle componentName,
                       Handle componentInfo, Handle /*componentIcon*/) {
    std::lock_guard guard(registry().lock);
    ComponentRecord *component = findComponent(aComponent);
    if (!component) return invalidComponentID;
    if (cd) *cd = component->description;
    if (componentName) stringToHandle(component->name, componentName);
    if (componentInfo) stringToHandle(component->info, componentInfo);
    return noErr;
}

OSErr OpenAComponent(Component aComponent, ComponentInstance *ci) {
    if (!ci) return paramErr;
    *ci = nullptr;
    ComponentRecord *component;
    {
        std::lock_guard guard(registry().lock);
        component = findComponent(aComponent);
    }
    if (!component) return invalidComponentID;
    ComponentInstanceRecord *instance = nullptr;
    OSErr err = openInstance(component, &instance);
    *ci = reinterpret_cast<ComponentInstance>(instance);
    return err;
}

ComponentInstance OpenComponent(Component aComponent) {
    ComponentInstance ci = nullptr;
    OpenAComponent(aComponent, &ci);
    return ci;
}

OSErr CloseComponent(ComponentInstance aComponentInstance) {
    ComponentInstanceRecord *instance;
    {
        std::lock_guard guard(registry().lock);
        instance = findInstance(aComponentInstance);
    }
    if (!instance) return invalidComponentID;
    OSErr err = OSErr(
        send(instance, kComponentCloseSelect, reinterpret_cast<uintptr_t>(aComponentInstance), 1));
    destroyInstance(instance);
    return err;
}

long CountComponentInstances(Component aComponent) {
    std::lock_guard guard(registry().lock);
    ComponentRecord *component = findComponent(aComponent);
    if (!component) return 0;
    return long(std::count_if(registry().instances.begin(), registry().instances.end(),
                              [component](auto &i) { return i->component == component; }));
}

void SetComponentInstanceStorage(ComponentInstance aComponentInstance, Handle theStorage) {
    std::lock_guard guard(registry().lock);
    if (ComponentInstanceRecord *instance = findInstance(aComponentInstance))
        instance->storage = theStorage;
}

Handle GetComponentInstanceStorage(ComponentInstance aComponentInstance) {
    std::lock_guard guard(registry().lock);
    ComponentInstanceRecord *instance = findInstance(aComponentInstance);
    return instance ? instance->storage : nullptr;
}

long GetComponentRefcon(Component aComponent) {
    std::lock_guard guard(registry().lock);
    ComponentRecord *component = findComponent(aComponent);
    return component ? component->refcon : 0;
}

void SetComponentRefcon(Component aComponent, long theRefcon) {
    std::lock_guard guard(registry().lock);
    if (ComponentRecord *component = findComponent(aComponent)) component->refcon = theRefcon;
}

OSErr GetComponentInstanceError(ComponentInstance aComponentInstance) {
    std::lock_guard guard(registry().lock);
    ComponentInstanceRecord *instance = findInstance(aComponentInstance);
    return instance ? instance->error : OSErr(invalidComponentID);
}

ComponentResult CallComponentDispatch(ComponentInstance ci, ComponentParameters *params) {
    if (!params) return paramErr;
    ComponentRoutineUPP entry;
    Handle storage;
    {
        std::lock_guard guard(registry().lock);
        ComponentInstanceRecord *instance = findInstance(ci);
        if (!instance) return badComponentInstance;
        entry = instance->component->entry;
        storage = instance->storage;
    }
    return entry(params, storage);
}

ComponentResult ComponentFunctionImplemented(ComponentInstance ci, int16_t ftnNumber) {
    return qor::platform::callComponent(ci, kComponentCanDoSelect, int32_t(ftnNumber));
}

ComponentResult GetComponentVersion(ComponentInstance ci) {
    return qor::platform::callComponent(ci, kComponentVersionSelect);
}

namespace qor::platform {

OSErr componentName(Component aComponent, std::string *name) {
    name->clear();
    Handle h = NewHandle(0);
    if (!h) return memFullErr;
    const OSErr error = GetComponentInfo(aComponent, nullptr, h, nullptr, nullptr);
    if (error == noErr) *name = stringFromHandle(h);
    DisposeHandle(h);
    return error;
}

} // namespace qor::platform
