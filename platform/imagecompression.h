// Image descriptions and pixel maps.
#pragma once

#include "platform/mac_types.h"

// Laid out with two-byte packing, as stored files and codecs expect: 86 bytes before any colour
// table.
#pragma pack(push, 2)
struct ImageDescription {
    int32_t idSize;
    CodecType cType;
    int32_t resvd1;
    int16_t resvd2;
    int16_t dataRefIndex;
    int16_t version;
    int16_t revisionLevel;
    int32_t vendor;
    CodecQ temporalQuality;
    CodecQ spatialQuality;
    int16_t width;
    int16_t height;
    Fixed hRes;
    Fixed vRes;
    int32_t dataSize;
    int16_t frameCount;
    unsigned char name[32];
    int16_t depth;
    int16_t clutID;
};
#pragma pack(pop)
static_assert(sizeof(ImageDescription) == 86);
using ImageDescriptionPtr = ImageDescription *;
using ImageDescriptionHandle = ImageDescription **;

struct PixMap;
using PixMapHandle = PixMap **;

struct MatrixRecord {
    Fixed matrix[3][3];
};
