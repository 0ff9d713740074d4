/* The public header compiles as C and the shared library links from C:
 * the layout of the records and the byte-order exports through the
 * library as an application loads it. */
#include <stdio.h>
#include <string.h>

#include "klsrv32.h"

static int failures = 0;

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond);                             \
            ++failures;                                                                            \
        }                                                                                          \
    } while (0)

int main(void) {
    unsigned char two[2];
    unsigned char four[4];
    klstatus status;
    uint32_t rc = KL_MAKE_RESULT(KL_CAT_SOCKETS, 10054);

    CHECK(sizeof(klstatus) == 92);
    CHECK(offsetof(klstatus, buffer) == 56);
    CHECK(sizeof(klversion_record) == 104);
    CHECK(KL_RESULT_CATEGORY(rc) == KL_CAT_SOCKETS);
    CHECK(KL_RESULT_NUMBER(rc) == 10054);
    CHECK(KL_RESULT_SUBCODE(0x00123456u) == 0x12);

    CHECK(itoi(304, two) == 0x3001);
    CHECK(two[0] == 0x01 && two[1] == 0x30);
    CHECK(ltol(1, four) == 16777216);
    CHECK(memcmp(four, "\0\0\0\1", 4) == 0);

    memset(&status, 0, sizeof status);
    status.error = KL_ERR_SOCKET;
    CHECK(status.error == 18065);

    printf("%s\n", failures ? "header test failed" : "header test passed");
    return failures ? 1 : 0;
}
