/* An application built against the installed library: it calls the
 * byte-order exports, which need no server. */
#include <stdio.h>

#include "klsrv32.h"

int main(void) {
    unsigned char four[4];
    unsigned char two[2];
    const kl_long swapped = ltol(0x01020304, four);
    const int16_t swapped16 = itoi(0x0102, two);
    if (swapped != 0x04030201 || swapped16 != 0x0201) {
        fprintf(stderr, "byte-order exports answered 0x%lx, 0x%x\n", (long)swapped,
                (unsigned)swapped16);
        return 1;
    }
    printf("klsrv32 %s\n", KLSRV32_VERSION_TEXT);
    return 0;
}
