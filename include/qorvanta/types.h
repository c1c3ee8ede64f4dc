/* Platform types that appear in the camera library's public prototypes. */
#ifndef QORVANTA_TYPES_H
#define QORVANTA_TYPES_H

#include <stdint.h>

/* A memory handle: a pointer to a master pointer to the block. Ours never move. */
typedef char **Handle;

typedef struct ComponentRecord *Component;
typedef struct ComponentInstanceRecord *ComponentInstance;

typedef int32_t ComponentResult;
typedef int16_t OSErr;
typedef int32_t OSStatus;
typedef int32_t IOReturn;

#endif
