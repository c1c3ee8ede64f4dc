/* The Qorvanta camera library: everything it exports. */
#ifndef QORVANTA_QORVANTA_H
#define QORVANTA_QORVANTA_H

#include "camera.h"
#include "imaging.h"
#include "status.h"
#include "stream.h"
#include "types.h"
#include "usb.h"
#include "vdig.h"

#endif
