// Camera open: the handler of the removal and power notifications it arms.
#pragma once

#include "platform/usb.h"

// Tears the camera down when the device goes away or the system goes to sleep, and answers
// the system's power queries (an open camera vetoes them). refCon is the camera handle.
void myCameraNotification(void *refCon, io_service_t service, natural_t messageType,
                          void *messageArgument);
