/* A console application written against klsrv32.h: it connects through
 * an environment file, opens a cursor, reads the library's version,
 * selects and fetches records, and closes everything again.  Built for
 * Windows it loads KLSRV32.dll like any application would.
 *
 *     windows_console ENVIRONMENT-FILE
 *
 * Exit status 0 when every call succeeded. */
#include <stdio.h>
#include <string.h>

#include "klsrv32.h"

/* Reports a call's outcome; non-zero when it succeeded. */
static int reported(const char* call, unsigned long result, const klstatus* status) {
    if (result == 0) {
        printf("%s: ok\n", call);
        return 1;
    }
    printf("%s: failed, result 0x%08lx, error %ld, info %ld, context \"%.35s\"\n", call, result,
           status->error, status->info, status->buffer);
    return 0;
}

int main(int argc, char** argv) {
    klstatus status;
    long instance = 0;
    long cursor = 0;
    klversion_record version[1];
    int ok;

    if (argc != 2) {
        fprintf(stderr, "usage: %s ENVIRONMENT-FILE\n", argv[0]);
        return 2;
    }
    memset(&status, 0, sizeof status);

    if (!reported("klconnect", klconnect(argv[1], "", &status, "scott", "tiger", &instance),
                  &status))
        return 1;
    printf("  client instance %ld\n", instance);

    ok = reported("klopencursor", klopencursor(instance, "", &status, &cursor), &status);
    if (ok) printf("  client cursor %ld\n", cursor);

    /* An empty node name asks for the library's own version record. */
    if (ok && reported("klversion", klversion(instance, "", &status, "", 0L, version), &status))
        printf("  %s %s\n", version[0].na_name, version[0].version_text);

    if (ok) {
        char records[256];
        long i;
        ok = reported("klselect", klselect(cursor, "", &status, "EMPLOYEES", "NAME", "DEPT = 10"),
                      &status);
        if (ok) printf("  record length %ld\n", status.bufflen);
        if (ok) ok = reported("klfetch", klfetch(cursor, "", &status, 2L, records), &status);
        for (i = 0; ok && i < status.count; ++i)
            printf("  record %ld: %.8s\n", i + 1, records + 8 * i);
    }

    if (cursor != 0)
        ok = reported("klclosecursor", klclosecursor(cursor, "", &status), &status) && ok;
    ok = reported("kldisconnect", kldisconnect(instance, "", &status), &status) && ok;
    return ok ? 0 : 1;
}
