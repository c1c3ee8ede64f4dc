// Fitting a window to what the sensor allows, and the table of image sizes offered.
#pragma once

#include "usb/camera_record.h"

// Fits *width x *height (sensor pixels) to the sensor's steps, centres it with an even origin
// and programs it with the given subsampling. 1 when programmed (the sizes then hold what was
// programmed), 0 otherwise.
int32_t myVerifyCameraDimensions(CameraHandle camera, uint16_t *width, uint16_t *height,
                                 uint16_t subsample);

// Builds the record's image-size table: the full sensor, then each common size the sensor
// exceeds, full resolution before its subsampled twin. Programs the camera while it tries them.
void myFillInWidthHeightSubSampleArray(CameraHandle camera);
