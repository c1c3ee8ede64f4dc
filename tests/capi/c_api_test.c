/* The exported interface compiled as C and linked against the shared library only. */
#include <qorvanta/qorvanta.h>

#include <stdio.h>

static int failures;

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);              \
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

int main(void) {
    formats();
    if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
    return failures ? 1 : 0;
}
