/* A program of someone else's, built against the installed library. */
#include <qorvanta/qorvanta.h>

#include <stdio.h>

int main(void) {
    uint32_t formatClass = 0, bits = 0;
    if (QORAImageFormatToQTFormat(25, &formatClass, &bits) != 0 || formatClass != 2 || bits != 8) {
        fprintf(stderr, "consumer: unexpected answer from the installed library\n");
        return 1;
    }
    printf("consumer: linked and ran against the installed library\n");
    return 0;
}
