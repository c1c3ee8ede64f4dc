/* The exported interface compiled as C and linked against the shared library only. */
#include <qorvanta/qorvanta.h>
#include <qorvanta/vdig.h>

#include <stdio.h>
#include <string.h>

static int failures;

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);               \
            ++failures;                                                                            \
        }                                                                                          \
    } while (0)

static void formats(void) {
    uint32_t formatClass = 77, bits = 0;
    CHECK(QORAImageFormatToQTFormat(25, &formatClass, &bits) == 0);
    CHECK(formatClass == 2 && bits == 8);
    formatClass = 77;
    CHECK(QORAImageFormatToQTFormat(7, &formatClass, &bits) == badDepthErr);
    CHECK(formatClass == 77);
}

static void decode(void) {
    uint8_t raw[16], argb[64];
    memset(raw, 77, sizeof raw);
    QORRAWImageDecodeToImageBuffer(raw, argb, 1, 1, 1, 16, 4, 4);
    for (int i = 0; i < 16; ++i) {
        CHECK(argb[4 * i] == 0xFF);
        CHECK(argb[4 * i + 1] == 77 && argb[4 * i + 2] == 77 && argb[4 * i + 3] == 77);
    }
}

static void matrices(void) {
    float a[9], b[9];
    int records = 0;
    QORAGetBaseRGBCorrectionMatrix(a, 161, 3);
    QORAGetBaseRGBCorrectionMatrix(b, 941, 3);
    CHECK(memcmp(a, b, sizeof a) == 0);
    while (kBaseColorMatrices[records].productID != 0) ++records;
    CHECK(records > 0);
    QORAGetBaseRGBCorrectionMatrix(a, 418, 3);
    CHECK(memcmp(a, kBaseColorMatrices[records].matrix, sizeof a) == 0);

    float identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    QORAApplyHueSatCorrectionToMatrix(identity, 0.0f, 1.0f);
    CHECK(identity[0] > 0.999f && identity[0] < 1.001f);

    uint8_t pixel[4] = {0, 10, 20, 30}; /* A, R, G, B */
    uint32_t word;
    float unit[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    memcpy(&word, pixel, 4);
    QORAApplyRGBMatrixToRGBImage(&word, unit, 1, 4, 1, 1);
    memcpy(pixel, &word, 4);
    CHECK(pixel[0] == 255 && pixel[1] == 10 && pixel[2] == 20 && pixel[3] == 30);

    uint8_t bright[4] = {250, 245, 240, 0}; /* B, G, R, A */
    memcpy(&word, bright, 4);
    QORARedSaturateRGBImage(&word, 0, 4, 1, 1);
    memcpy(bright, &word, 4);
    CHECK(bright[0] == 0 && bright[1] == 0 && bright[2] == 255 && bright[3] == 255);
}

static void statisticsAndFlips(void) {
    uint8_t raw[64];
    uint8_t r = 0, g = 0, b = 0;
    memset(raw, 100, sizeof raw);
    QORAGetBayerFrameAverageRGBValues(raw, 1, 8, 8, 8, &r, &g, &b);
    CHECK(r == 100 && g == 100 && b == 100);

    uint8_t rows[4 * 8], scratch[8];
    for (int i = 0; i < 32; ++i) rows[i] = (uint8_t)(i / 8);
    QORAFlipVerticalImage8Bit(rows, scratch, 8, 4, 1);
    CHECK(rows[0] == 2 && rows[8] == 1 && rows[16] == 0 && rows[24] == 1);
    uint8_t row[16];
    for (int i = 0; i < 16; ++i) row[i] = (uint8_t)i;
    QORAFlipHorizontalImage8Bit(row, 16, 1, 0);
    CHECK(row[0] == 15 && row[15] == 0);
}

static void hook(void) {
    Handle camera = NULL;
    /* No such digitizer instance: refused, nothing stored. */
    CHECK(QORVANTAHook(NULL, &camera) != 0);
    CHECK(camera == NULL);
}

/* Without a camera every camera operation refuses cleanly. */
static void cameraWithoutDevice(void) {
    uint8_t data[4] = {0};
    uint32_t count = 4, value = 9, w = 9, h = 9;
    uint16_t a = 9, b = 9, u[10];
    uint8_t flag = 9, autoOn = 9, color = 9, sub = 9;
    CHECK(QORUSBWriteControlPipe(NULL, data, 4, 0x12, 0, 0) == -1);
    CHECK(QORUSBReadControlPipe(NULL, data, 4, 0x12, 0, 0) == -1);
    CHECK(QORUSBWriteBulkPipe(NULL, 1, data, 4) == -1);
    CHECK(QORUSBReadBulkPipe(NULL, 1, data, &count) == -1);
    CHECK(QORUSBCloseCamera(NULL) == 0);
    CHECK(QORUSBOpenCamera(0, 0, "none", NULL) == -1);
    CHECK(QORInitReset(NULL) == kIOReturnNoDevice);
    /* No camera on any bus: nothing is registered. */
    CHECK(QORUSBInitializeLoader() == 1);
    CHECK(QORACreateCameraBuffers(NULL) == kIOReturnNoDevice);
    CHECK(QORADisposeCameraBuffers(NULL) == kIOReturnNoDevice);
    CHECK(QORACameraStartVideo(NULL, 1) == kIOReturnNoDevice);
    CHECK(QORACameraStopVideo(NULL, 1) == kIOReturnNoDevice);
    CHECK(QORASetRawFrameOutput(NULL, 1) == kIOReturnNoDevice);
    CHECK(QORUSBStartQuedAsynchBulkReads(NULL, 1) == kIOReturnNoDevice);
    QORUSBStopQuedAsynchBulkReads(NULL);
    CHECK(QORAReadOneCameraRegister(NULL, 0x1000, &value) == kIOReturnNoDevice && value == 0);
    CHECK(QORAReadTwoCameraRegister(NULL, 0x1000, &a, &b) == kIOReturnNoDevice && a == 0);
    CHECK(QORAWriteOneCameraRegister(NULL, 0x1000, 1) == kIOReturnNoDevice);
    CHECK(QORAWriteTwoCameraRegister(NULL, 0x1000, 1, 2) == kIOReturnNoDevice);
    CHECK(QORAGetVideoControlProperties(NULL, 0x04A0, &flag, &autoOn, &value, &w, &h) ==
          kIOReturnNoDevice);
    CHECK(QORAGetVideoControlValue(NULL, 0x04A0, 4, &value) == kIOReturnNoDevice);
    CHECK(QORASetVideoControlValue(NULL, 0x04A0, 4, 1) == kIOReturnNoDevice);
    CHECK(QORAStartColorBalance(NULL) == kIOReturnNoDevice);
    CHECK(QORAGetSupportedKBPSRates(NULL) == kIOReturnNoDevice);
    CHECK(QORASetKBPSRateIndex(NULL, 0) == kIOReturnNoDevice);
    QORASetCameraCooling(NULL, 1, -15.0);
    CHECK(QORASetCameraImageProperties(NULL, 0, 0, 640, 480, 1, 1, 8) == kIOReturnNoDevice);
    CHECK(QORAGetCameraImageProperties(NULL, &u[0], &u[1], &u[2], &u[3], &u[4], &u[5], &u[6], &u[7],
                                       &u[8], &u[9], &value, &color, &sub) == kIOReturnNoDevice);
    CHECK(QORAImageSizeSubSampleToSelector(NULL, 640, 480, 0) == 0);
    QORASelectorToImageSizeSubSample(NULL, 0, &w, &h, &sub);
    CHECK(QORAApplyContrastBrightGammaLUT(NULL, 1.0, 0.0, 1.0) == kIOReturnNoDevice);
}

int main(void) {
    formats();
    decode();
    matrices();
    statisticsAndFlips();
    hook();
    cameraWithoutDevice();
    if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
    return failures ? 1 : 0;
}
