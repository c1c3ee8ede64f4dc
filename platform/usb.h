// IOKit-style USB: object references and the user-client interfaces the driver holds.
#pragma once

#include "platform/mac_types.h"

using mach_port_t = uintptr_t;
using io_object_t = uintptr_t;
using io_service_t = io_object_t;
using io_iterator_t = io_object_t;
using io_connect_t = io_object_t;

struct IONotificationPort;
using IONotificationPortRef = IONotificationPort *;

// Function tables of the device and interface user clients, called as (*intf)->Op(intf, ...).
struct IOUSBDeviceInterface187;
struct IOUSBInterfaceInterface;
