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

// Colour tables, laid out as on the Mac: an 8-byte header, then ctSize + 1 entries of 8 bytes.
#pragma pack(push, 2)
struct ColorSpec {
    int16_t value;
    RGBColor rgb;
};
struct ColorTable {
    int32_t ctSeed;
    int16_t ctFlags;
    int16_t ctSize; // number of entries - 1
    ColorSpec ctTable[1];
};
#pragma pack(pop)
static_assert(sizeof(ColorSpec) == 8);
static_assert(sizeof(ColorTable) == 16);
using CTabPtr = ColorTable *;
using CTabHandle = ColorTable **;

// A zero-filled table of the given number of entries (ctSize = entries - 1), or null.
CTabHandle NewColorTable(int entries);
// Puts a copy of ctable right after the 86-byte description, replacing any table already there,
// and sets idSize to the total; a null ctable removes the table.
OSErr SetImageDescriptionCTable(ImageDescriptionHandle desc, CTabHandle ctable);
// *ctable = a new handle holding a copy of the description's table, or null when it has none.
OSErr GetImageDescriptionCTable(ImageDescriptionHandle desc, CTabHandle *ctable);
// A fresh colour-table seed: unique and increasing, always above 1024.
long GetCTSeed();
