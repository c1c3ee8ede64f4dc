/* Status codes returned across the camera library's interface. 0 is success. */
#ifndef QORVANTA_STATUS_H
#define QORVANTA_STATUS_H

#include <stdint.h>

enum {
    noErr = 0,
    paramErr = -50,
    memFullErr = -108,
    fnfErr = -43,

    /* QuickTime */
    badComponentType = -2005,
    qtParamErr = -2202,
    digiUnimpErr = -2201,
    notExactSizeErr = -2206,
    badDepthErr = -2207,
    badCallOrderErr = -2209,
    qtUnknownUniqueIDErr = -2212,
    noCodecErr = -8961
};

/* Component Manager: the request's selector has no handler. */
#define badComponentSelector ((int32_t)0x80008002)

/* IOKit */
#define kIOReturnSuccess 0
#define kIOReturnError ((int32_t)0xE00002BC)
#define kIOReturnNoMemory ((int32_t)0xE00002BD)
#define kIOReturnBadArgument ((int32_t)0xE00002C2)
#define kIOReturnNoDevice ((int32_t)0xE00002C0)
#define kIOReturnExclusiveAccess ((int32_t)0xE00002C5)
#define kIOReturnTimeout ((int32_t)0xE00002D6)
#define kIOReturnNotResponding ((int32_t)0xE00002ED)
#define kIOReturnOverrun ((int32_t)0xE00002E8)
#define kIOReturnUnderrun ((int32_t)0xE00002E7)
#define kIOReturnAborted ((int32_t)0xE00002EB)
#define kIOReturnNotOpen ((int32_t)0xE00002CD)
#define kIOUSBPipeStalled ((int32_t)0xE000404F)
#define kIOUSBTransactionTimeout ((int32_t)0xE0004051)

#endif
