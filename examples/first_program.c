/*
 * first_program.c - a first program against the klsrv32 library.
 *
 * It connects to a server, selects the customers in Lisbon who have been
 * customers since 2020 from the reference server's sample database, and
 * prints them, one row a line.
 *
 *     first_program [ENVIRONMENT-FILE]
 *
 * The environment file names the server and the database.  Without an
 * argument its name comes from the KL_ENV variable.  Exit status: 0 when
 * every call succeeded, 1 when a call failed (the call and its message
 * text go to standard error), 2 when no environment file is named.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "klsrv32.h"

#define MAX_COLUMNS 16 /* room for this many column descriptions */
#define BATCH 5        /* records asked for by each klfetch */
#define WIDTH 18       /* characters a printed column takes */

/* Every call fills a status record and returns a result code, 0 for
 * success.  On a failure, prints the call and the message text for it and
 * ends the program.  The connection ends with the process, and the server
 * then frees the instance and its cursors. */
static void check(const char* call, uint32_t result, klstatus* status) {
    char message[KL_MESSAGE_SIZE];
    long error = (long)status->error;
    long info = (long)status->info;

    if (result == 0) return;
    /* Category 0 holds the library's and the server's own errors, whose
     * text klerror gives; apierror gives the text of the other categories. */
    if (KL_RESULT_CATEGORY(result) == KL_CAT_KELORA)
        klerror(status, "", message);
    else
        apierror(result, status, message);
    fprintf(stderr, "%s failed: %s [error %ld, info %ld]\n", call, message, error, info);
    exit(1);
}

/* Prints a field of a record in character form: its text without the
 * blanks or NULs that pad it, then blanks up to WIDTH characters unless it
 * is the last field of the line. */
static void print_field(const char* field, long length, int last) {
    long start = 0;
    long end = length;

    while (start < end && field[start] == ' ')
        start++;
    while (end > start && (field[end - 1] == ' ' || field[end - 1] == '\0'))
        end--;
    printf("%-*.*s", last ? 0 : WIDTH, (int)(end - start), field + start);
}

int main(int argc, char** argv) {
    const char* environment = argc > 1 ? argv[1] : getenv("KL_ENV");
    klstatus status;
    kl_long instance, cursor, record_length, columns, c, r;
    klcolumn_description layout[MAX_COLUMNS];
    /* klfetch places at most KL_MAX_RECORD_BYTES (1956) bytes for each
     * record asked for, so this area is large enough whatever comes. */
    static char records[BATCH * KL_MAX_RECORD_BYTES];

    if (environment == NULL) {
        fprintf(stderr,
                "usage: first_program ENVIRONMENT-FILE (or set KL_ENV)\n"
                "built with klsrv32 %s\n",
                KLSRV32_VERSION_TEXT);
        return 2;
    }
    memset(&status, 0, sizeof status);

    /* Connect: the environment file names the server and the database.
     * The user name goes to the server; a password, where the server wants
     * one, is written in the environment file (the last but one argument
     * here is never sent). */
    check("klconnect", klconnect(environment, "", &status, "guest", "", &instance), &status);
    check("klopencursor", klopencursor(instance, "", &status, &cursor), &status);

    /* The CHAR option asks for records in character form: numbers arrive
     * as text, whatever byte order the server uses. */
    check("klselect",
          klselect(cursor, "CHAR", &status, "customers", "id,name,city,since",
                   "city = 'Lisbon' AND since >= '2020-01-01'"),
          &status);
    record_length = status.bufflen;

    /* The record layout: where each column lies in a record, how long it
     * is, and its name. */
    check("kldescribe", kldescribe(cursor, "", &status, MAX_COLUMNS, (char*)layout), &status);
    columns = status.count;
    for (c = 0; c < columns; c++)
        print_field(layout[c].column, sizeof layout[c].column, c == columns - 1);
    printf("\n");

    /* Fetch BATCH records at a time.  When the selection runs out, the
     * last records come with the warning 11032; a fetch with nothing
     * left fails with the error 11032. */
    for (;;) {
        uint32_t result = klfetch(cursor, "", &status, BATCH, records);
        if (status.error == KL_ERR_NO_MORE_RECORDS) break;
        check("klfetch", result, &status);
        for (r = 0; r < status.count; r++) {
            const char* record = records + r * record_length;
            for (c = 0; c < columns; c++)
                print_field(record + layout[c].offset, layout[c].length, c == columns - 1);
            printf("\n");
        }
        if (status.warn == KL_ERR_NO_MORE_RECORDS) break;
    }

    check("klclosecursor", klclosecursor(cursor, "", &status), &status);
    check("kldisconnect", kldisconnect(instance, "", &status), &status);
    return 0;
}
