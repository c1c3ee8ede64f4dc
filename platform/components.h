// Component Manager stand-ins: registration, instances with storage, and request dispatch
// through parameter blocks of machine words.
#pragma once

#include "platform/mac_types.h"

#include <qorvanta/status.h>

#include <cstring>
#include <string>
#include <type_traits>
#include <utility>

struct ComponentDescription {
    OSType componentType;
    OSType componentSubType;
    OSType componentManufacturer;
    uint32_t componentFlags;
    uint32_t componentFlagsMask;
};

// The component wants the register request (selector -5) when it is registered; a non-zero
// answer to it leaves the component unregistered.
constexpr uint32_t cmpWantsRegisterMessage = 1u << 31;

enum {
    kComponentOpenSelect = -1,
    kComponentCloseSelect = -2,
    kComponentCanDoSelect = -3,
    kComponentVersionSelect = -4,
    kComponentRegisterSelect = -5,
};

enum {
    invalidComponentID = -3000,
    validInstancesExist = -3001,
    badComponentInstance = int32_t(0x80008001),
};

constexpr int kComponentMaxParams = 8;
// Parameter sizes count four bytes per parameter, whatever the width of the machine word that
// carries it.
constexpr int kComponentParamUnit = 4;

// One request: its selector, and its parameters in declaration order, one machine word each.
struct ComponentParameters {
    uint8_t flags;
    uint8_t paramSize;
    int16_t what;
    uintptr_t params[kComponentMaxParams];
};

using ComponentRoutineUPP = ComponentResult (*)(ComponentParameters *params, Handle storage);

Component RegisterComponent(ComponentDescription *cd, ComponentRoutineUPP componentEntryPoint,
                            int16_t global, Handle componentName, Handle componentInfo,
                            Handle componentIcon);
OSErr UnregisterComponent(Component aComponent);
long CountComponents(ComponentDescription *looking);
// A zero field of the description matches anything; flags are compared under the mask.
Component FindNextComponent(Component aComponent, ComponentDescription *looking);
// Any of the outputs may be null. Name and info handles are resized to the stored strings.
OSErr GetComponentInfo(Component aComponent, ComponentDescription *cd, Handle componentName,
                       Handle componentInfo, Handle componentIcon);
ComponentInstance OpenComponent(Component aComponent);
OSErr OpenAComponent(Component aComponent, ComponentInstance *ci);
OSErr CloseComponent(ComponentInstance aComponentInstance);
long CountComponentInstances(Component aComponent);
void SetComponentInstanceStorage(ComponentInstance aComponentInstance, Handle theStorage);
Handle GetComponentInstanceStorage(ComponentInstance aComponentInstance);
long GetComponentRefcon(Component aComponent);
void SetComponentRefcon(Component aComponent, long theRefcon);
OSErr GetComponentInstanceError(ComponentInstance aComponentInstance);
// Sends a request to an instance's entry point with that instance's storage.
ComponentResult CallComponentDispatch(ComponentInstance ci, ComponentParameters *params);
// The generic can-do and version requests.
ComponentResult ComponentFunctionImplemented(ComponentInstance ci, int16_t ftnNumber);
ComponentResult GetComponentVersion(ComponentInstance ci);

// Component and instance references are interchangeable where a call names a component, as on
// the platform we follow: an instance stands for the component it was opened from.
inline Component componentOf(ComponentInstance ci) {
    return reinterpret_cast<Component>(ci);
}

namespace qor::platform {

// The name a component was registered under, read through GetComponentInfo as a client reads
// it: noErr, GetComponentInfo's error, or memFullErr. The name is empty on failure.
OSErr componentName(Component aComponent, std::string *name);

// Machine word <-> typed parameter. Pointers travel as their address, integers by value
// (sign-extended), so a short of -1 arrives as -1.
template <typename T> uintptr_t toParamWord(T value) {
    if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<uintptr_t>(value);
    } else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
        return static_cast<uintptr_t>(static_cast<intptr_t>(value));
    } else {
        static_assert(std::is_trivially_copyable_v<T> && sizeof(T) <= sizeof(uintptr_t),
                      "component parameters are one machine word");
        uintptr_t word = 0;
        std::memcpy(&word, &value, sizeof(T));
        return word;
    }
}

template <typename T> T fromParamWord(uintptr_t word) {
    if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<T>(word);
    } else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
        return static_cast<T>(static_cast<intptr_t>(word));
    } else {
        T value;
        std::memcpy(&value, &word, sizeof(T));
        return value;
    }
}

// Client side: builds a request's parameter block from typed arguments and dispatches it.
template <typename... Args>
ComponentResult callComponent(ComponentInstance ci, int16_t selector, Args... args) {
    static_assert(sizeof...(Args) <= kComponentMaxParams);
    ComponentParameters block{};
    block.flags = 0;
    block.paramSize = uint8_t(sizeof...(Args) * kComponentParamUnit);
    block.what = selector;
    int i = 0;
    ((block.params[i++] = toParamWord(args)), ...);
    return CallComponentDispatch(ci, &block);
}

// Component side: calls a handler of signature ComponentResult(storage, Args...) with the
// block's parameters converted to the handler's own parameter types. A block that carries
// fewer parameters than the handler takes is refused rather than read past its end.
template <auto Handler>
ComponentResult callWithStorage(ComponentParameters *params, Handle storage) {
    return []<typename Storage, typename... Args>(ComponentResult (*handler)(Storage, Args...),
                                                  ComponentParameters *p, Handle s) {
        if (p->paramSize < sizeof...(Args) * kComponentParamUnit) return ComponentResult(paramErr);
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            return handler(reinterpret_cast<Storage>(s), fromParamWord<Args>(p->params[I])...);
        }
        (std::index_sequence_for<Args...>{});
    }(Handler, params, storage);
}

// The same for requests that carry no storage, such as open.
template <auto Handler> ComponentResult callWithoutStorage(ComponentParameters *params, Handle) {
    return []<typename... Args>(ComponentResult (*handler)(Args...), ComponentParameters *p) {
        if (p->paramSize < sizeof...(Args) * kComponentParamUnit) return ComponentResult(paramErr);
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            return handler(fromParamWord<Args>(p->params[I])...);
        }
        (std::index_sequence_for<Args...>{});
    }(Handler, params);
}

} // namespace qor::platform
