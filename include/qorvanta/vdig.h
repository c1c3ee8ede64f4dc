/* The video digitizer's private request: how the settings page reaches a camera. */
#ifndef QORVANTA_VDIG_H
#define QORVANTA_VDIG_H

#include "export.h"
#include "types.h"

QOR_BEGIN_DECLS

/* Asks the digitizer instance for its camera record handle, stored through cameraHandle.
 * Returns what the digitizer answered: 0, or an error such as kIOReturnNoDevice for a camera
 * that has been unplugged. */
QOR_EXPORT ComponentResult QORVANTAHook(ComponentInstance vdig, Handle *cameraHandle);

QOR_END_DECLS

#endif
