/* The public header compiles as C and the shared library links from C:
 * the result macros, and a call that fills a record through the library
 * as an application loads it.  (The record layouts are static assertions
 * in the header.) */
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
    klstatus status;
    klversion_record record;
    uint32_t rc = KL_MAKE_RESULT(KL_CAT_SOCKETS, 10054);

    CHECK(KL_RESULT_CATEGORY(rc) == KL_CAT_SOCKETS);
    CHECK(KL_RESULT_NUMBER(rc) == 10054);
    CHECK(KL_RESULT_SUBCODE(0x00123456u) == 0x12);

    memset(&status, 0, sizeof status);
    CHECK(klversion(0, "", &status, "", 0, &record) == 0);
    CHECK(status.count == 1 && status.bufflen == 104 && record.version == KLSRV32_VERSION_NUMBER);
    CHECK(strcmp(record.na_name, "NA_TCP") == 0 &&
          strcmp(record.version_text, KLSRV32_VERSION_TEXT) == 0);
    CHECK(strcmp(record.description, "Kelora Server DLL (TCP Sockets)") == 0);

    printf("%s\n", failures ? "header test failed" : "header test passed");
    return failures ? 1 : 0;
}
