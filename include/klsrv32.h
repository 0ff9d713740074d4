/**
 * # klsrv32 API reference
 *
 * `klsrv32` is the client library of the Kelora database access server: `libklsrv32.so` on
 * Linux and the 32-bit `KLSRV32.dll` on Windows, version 1.6.25. An application includes
 * `klsrv32.h`, links the library and calls the functions below to connect to a server, open
 * cursors, select and fetch records, describe and bind columns, insert, update and delete rows,
 * read the catalogue, pass commands through, and turn failures into message texts. Each call
 * that talks to the server sends one request on one TCP connection and reads the answer: a
 * 92-byte status record, sometimes followed by data.
 *
 * The header is plain C (C11) and compiles as C++ too.
 *
 * ### How to read a page
 *
 * Each function, or group of functions that belong together, has one page: the declarations,
 * what the call does, and these parts:
 *
 * - **Arguments**: each argument. For an area the caller provides, the number of bytes the call
 *   reads or writes there, so that the caller can allocate it.
 * - **Options**: what the call does with its `options` text (see Options below).
 * - **Status**: which fields of the caller's status record the call sets (see Status record
 *   below).
 * - **Errors**: the error numbers the call gives by itself, what each means and what to do.
 *   Numbers that a page does not list come from the server; `docs/server.md` lists those of
 *   the reference server `klserver`.
 * - **Threads**: whether the call runs under the one-call rule (see Threads below).
 *
 * Texts are NUL-terminated unless a page says otherwise. A NULL text argument counts as an empty
 * text, except where a page says that the call refuses it with 10036.
 */

#ifndef KLSRV32_H
#define KLSRV32_H

#include <stddef.h>
#include <stdint.h>

/**
 * ### Integer type
 *
 * `kl_long` is the 32-bit signed integer of every count, length, number and identifier the
 * calls take or give: `long` on Windows (32 bits there, so applications written with `long`
 * compile unchanged) and `int32_t` elsewhere. Result codes are `uint32_t`.
 */
#if defined(_WIN32)
typedef long kl_long;
#else
typedef int32_t kl_long;
#endif

/**
 * ### Calling convention
 *
 * `KLAPI` marks every exported function: `__cdecl` (the caller removes the arguments) on 32-bit
 * Windows, the platform's default elsewhere. The DLL exports the functions under their plain
 * names.
 */
#if defined(_WIN32) && !defined(_WIN64)
#define KLAPI __cdecl
#else
#define KLAPI
#endif

/**
 * ### Library version
 *
 * `klsrv32_version.h`, installed next to this header, defines `KLSRV32_VERSION_TEXT` (`"1.6.25"`)
 * and `KLSRV32_VERSION_NUMBER` (10625: major × 10000 + minor × 100 + patch), written from the
 * project version when the library is built. At run time, `apiinfo` with `clientversion` gives
 * the version text of the library the program runs with.
 */
#include "klsrv32_version.h"

#ifdef __cplusplus
extern "C" {
#endif

/**
 * ### Threads
 *
 * The library runs one call at a time in a process. A call made while another thread's call is
 * in progress does not wait: it fails at once with 18002 (`KL_ERR_CALL_IN_PROGRESS`) and changes
 * nothing but its own status record, which then holds error 18002, warn 0, info 0 and an empty
 * text (the other fields keep what they held). Make the call again once the other call has
 * returned, or make all calls from one thread or under a lock of the application's own.
 *
 * These run outside that rule and may be called at any time, from any thread, also while
 * another thread's call is in progress:
 *
 * - `klerror`, when it finds the text in the local message file. When it must ask the server it
 *   takes its turn like any call, and when another call is in progress it gives up at once,
 *   without the server's text.
 * - `apierror` (for a category-0 result it calls `klerror`, as above).
 * - `apiversion`.
 * - `apiinfo` with `hosttype` or `clientversion`. With `hostversion` it takes its turn, as
 *   `apihostversion` does; both are refused with the category-1 result 18002
 *   (`KL_MAKE_RESULT(KL_CAT_CLIENT, KL_ERR_CALL_IN_PROGRESS)`), as they have no status record.
 * - `itoi` and `ltol`, which touch no state of the library.
 *
 * Nothing is kept per thread: instances and cursors belong to the process, and any thread may
 * use those another thread opened. The trace log takes whole lines from every thread.
 */

/**
 * ### Options
 *
 * Most calls take an `options` text. A NULL pointer counts as an empty text, except for
 * `klversion`, `klexternal` and `klcommand`, which refuse it with 10036, and `apiinfo`, which
 * fails with 18006. What happens to the text depends on the call; each page says which of these
 * three ways applies.
 *
 * **Read by the library** (`klconnect`, `klinsert`). The text is a list of keywords separated by
 * blanks or commas, such as `TRACE=/tmp/kl.log,R`. Keywords match in any letter case. A value
 * follows an `=` (blanks after the `=` are skipped) and keeps its case; quotes (`"` or `'`)
 * around a value let it hold blanks, commas and `=`, and are dropped. A keyword given twice
 * keeps its later value. `klconnect` reads the text up to its first semicolon outside quotes;
 * `klinsert` reads all of it. A text of 256 characters or more (counting what the call reads)
 * fails with 10037 (`KL_ERR_OPTIONS_TOO_LONG`, `info` = its length); any other fault fails with
 * 18006 (`KL_ERR_OPTION_REJECTED`), and the status text names the fault and the keyword:
 *
 * | status text | fault |
 * |---|---|
 * | `unknown keyword FOO` | the call has no such keyword |
 * | `value required TRACE` | the keyword needs a value |
 * | `value not allowed R` | the keyword takes no value |
 * | `conflicting keyword W` | the keyword excludes one given before it |
 * | `second = in TRACE` | a second `=` in one keyword's term |
 * | `too many options` | more than 64 keywords |
 *
 * **Sent in an 80-byte field.** The library copies the text up to its first semicolon outside
 * quotes, at most 80 characters, into a field of the request, and reads no word of it. A longer
 * text is cut without notice (80 characters fill the field without a terminator), unless the
 * page says the call refuses it.
 *
 * **Sent whole.** The text goes out with the call's other texts, semicolons and all, in the
 * request's text area or in a field of its own. When it does not fit, the call fails with 18021
 * (`KL_ERR_STRINGS_TOO_LONG`) and sends nothing. The library reads no word of it.
 *
 * Which words a server takes is the server's affair; `docs/server.md` lists those `klserver`
 * takes, call by call.
 */

#pragma pack(push, 1)

/**
 * ### Status record
 *
 * Most calls take a pointer to a `klstatus` that the caller owns, and fill it. A NULL pointer is
 * allowed: the call then fills a record of its own, and only its result code tells the outcome.
 * The record has the 92-byte layout of the status that opens every answer on the wire.
 *
 * - When the server answers, the call copies the server's status into the record, all 92 bytes,
 *   with the numbers in this machine's byte order. Some calls then change fields, as their
 *   pages say (for example, `klfetch` sets `count` and `bufflen` to what it received).
 * - When the call fails by itself, before or without an answer, it sets `error` to its number,
 *   `warn` to 0, `info` to a detail (0 where the page names none) and `buffer` to a context text
 *   of at most 35 characters, padded with NULs. The other fields keep what they held.
 *
 * The fields:
 *
 * - `error`: 0 on success, else the error number (see Error numbers below). The result code of
 *   the call carries the same number (see Result codes below).
 * - `warn`: a warning number; the call succeeded all the same. For example, `klfetch` sets 11032
 *   when the selection ran out after some records arrived.
 * - `info`: a detail of the error, such as the socket error of 18065 or the wrong number of
 *   11042.
 * - `count`: the number of items the answer holds or the call received (records, columns,
 *   catalogue entries).
 * - `bufflen`: a length in bytes: of the data the answer holds, or of one record of the
 *   selection.
 * - `instance`, `cursor`: as the server sent them.
 * - `valuesize`: a size figure of `klselect`, `klqualify` and `kljoin` (see their pages).
 * - `reserved7` to `reserved11`, `reserved13`: as the server sent them; the library does not
 *   use them.
 * - `buffer`: the context text of the error, such as the name of an argument or a table. It is
 *   not always NUL-terminated: a server's text may fill all 36 bytes, so read at most 36.
 */
typedef struct klstatus {
    kl_long error;    /* error number; 0 = success */
    kl_long warn;     /* warning number */
    kl_long info;     /* detail of the error */
    kl_long count;    /* number of items that follow */
    kl_long bufflen;  /* buffer or record length reported by the server */
    kl_long instance; /* as sent by the server */
    kl_long cursor;   /* as sent by the server */
    kl_long reserved7;
    kl_long reserved8;
    kl_long reserved9;
    kl_long reserved10;
    kl_long reserved11;
    kl_long valuesize; /* size figure of select, qualify and join */
    kl_long reserved13;
    char buffer[36]; /* context text of the error; not always NUL-terminated */
} klstatus;

/**
 * ### Version record
 *
 * `klversion` fills one of these, 104 bytes, per component: one for the library itself, or one
 * for each that the server announces (at most `KL_VERSION_MAX_RECORDS`).
 */
typedef struct klversion_record {
    char na_name[8];       /* network access name, NUL-terminated */
    char description[60];  /* NUL-terminated */
    kl_long version;       /* version number */
    char version_text[32]; /* NUL-terminated */
} klversion_record;

/**
 * ### Column description
 *
 * `kldescribe` fills, and `klbind` sends, an array of these, 220 bytes each, as the server
 * fills them. The library carries them unread, but for their eleven 32-bit numbers (`number`,
 * and the ten from `type` on), which it converts between this machine's byte order and the
 * server's. `type` is one of the column type codes below.
 */
typedef struct klcolumn_description {
    kl_long number;           /* column number in the record, from 1 */
    char column[32];          /* column name, NUL-padded */
    char table[32];           /* table name, NUL-padded */
    char declared_type[16];   /* declared type text, e.g. "CHAR(20)" */
    char reserved84[88];      /* zero */
    kl_long type;             /* type code (KL_TYPE_...) */
    kl_long length;           /* length in the record */
    kl_long offset;           /* offset in the record */
    kl_long character_length; /* length in character form */
    kl_long occurrences;      /* 1 */
    kl_long character;        /* form: 0 binary, 1 character */
    kl_long nullable;         /* 1 when the column may be NULL */
    kl_long primary_key;      /* 1 when the column is (part of) the primary key */
    kl_long reserved204;
    kl_long reserved208;
    char reserved212[8];
} klcolumn_description;

#pragma pack(pop)

#if defined(__cplusplus)
#define KL_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define KL_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
#define KL_STATIC_ASSERT(cond, msg)
#endif

KL_STATIC_ASSERT(sizeof(kl_long) == 4, "kl_long must be 32 bits");
KL_STATIC_ASSERT(sizeof(klstatus) == 92, "klstatus must be 92 bytes");
KL_STATIC_ASSERT(offsetof(klstatus, count) == 12, "klstatus.count at 12");
KL_STATIC_ASSERT(offsetof(klstatus, bufflen) == 16, "klstatus.bufflen at 16");
KL_STATIC_ASSERT(offsetof(klstatus, valuesize) == 48, "klstatus.valuesize at 48");
KL_STATIC_ASSERT(offsetof(klstatus, reserved13) == 52, "klstatus.reserved13 at 52");
KL_STATIC_ASSERT(offsetof(klstatus, buffer) == 56, "klstatus.buffer at 56");
KL_STATIC_ASSERT(sizeof(klversion_record) == 104, "klversion_record must be 104 bytes");
KL_STATIC_ASSERT(offsetof(klversion_record, version) == 68, "version number at 68");
KL_STATIC_ASSERT(offsetof(klversion_record, version_text) == 72, "version text at 72");
KL_STATIC_ASSERT(sizeof(klcolumn_description) == 220, "klcolumn_description must be 220 bytes");
KL_STATIC_ASSERT(offsetof(klcolumn_description, declared_type) == 68, "declared type at 68");
KL_STATIC_ASSERT(offsetof(klcolumn_description, type) == 172, "type code at 172");
KL_STATIC_ASSERT(offsetof(klcolumn_description, reserved212) == 212, "last numbers end at 212");

/**
 * ### Result codes
 *
 * Every call but `klerror`, `itoi` and `ltol` returns a 32-bit result code: 0 for success, else
 * the failure in three parts.
 *
 * | bits | part | macro |
 * |---|---|---|
 * | 24..31 | category | `KL_RESULT_CATEGORY(rc)` |
 * | 16..23 | sub-code | `KL_RESULT_SUBCODE(rc)` |
 * | 0..15 | number | `KL_RESULT_NUMBER(rc)` |
 *
 * `KL_MAKE_RESULT(category, number)` composes a result with sub-code 0, for comparisons such as
 * `rc == KL_MAKE_RESULT(KL_CAT_CLIENT, KL_ERR_CALL_IN_PROGRESS)`.
 *
 * The calls that take a status record, but for `apierror`, return category 0 (`KL_CAT_KELORA`): the
 * result is `status.error` itself, so its bits 16..23 are those of the error number (0 for every
 * number below 65536). An error number that does not fit, because it is negative or above 0xFFFFFF,
 * gives category 1 and number 18001 (`KL_ERR_BAD_CATEGORY_NUMBER`) instead; `status.error` still
 * holds it. The information calls (`apierror`, `apiinfo`, `apihostversion`, `apiversion`) return 0
 * or a category-1 result holding one of the library's numbers. No call of this library returns the
 * categories 2, 3 or 8 (a socket failure is 18065, with the socket error in `status.info`);
 * `apierror` explains them all the same.
 *
 * To turn a failure into a text, give `klerror` the status record of a call whose result is
 * category 0, and give `apierror` any other result. `apierror` takes category 0 too (it calls
 * `klerror` with the status) and puts the category's name in front of the text. For 18001, use
 * `klerror`: the number is in the status. Both write into an area of 256 bytes
 * (`KL_MESSAGE_SIZE`).
 *
 * ```c
 * char text[KL_MESSAGE_SIZE] = "";
 * uint32_t rc = klfetch(cursor, "", &status, 10, records);
 * if (rc != 0 && KL_RESULT_CATEGORY(rc) == KL_CAT_KELORA) {
 *     klerror(&status, "", text);
 *     fprintf(stderr, "klfetch: %s [error %ld]\n", text, (long)status.error);
 * } else if (rc != 0) {
 *     apierror(rc, &status, text);
 *     fprintf(stderr, "klfetch: %s [result 0x%08lx]\n", text, (unsigned long)rc);
 * }
 * ```
 */
#define KL_RESULT_CATEGORY(rc) ((unsigned)(((uint32_t)(rc) >> 24) & 0xFFu))
#define KL_RESULT_SUBCODE(rc) ((unsigned)(((uint32_t)(rc) >> 16) & 0xFFu))
#define KL_RESULT_NUMBER(rc) ((unsigned)((uint32_t)(rc)&0xFFFFu))
#define KL_MAKE_RESULT(category, number)                                                           \
    ((uint32_t)(((uint32_t)(category) << 24) | ((uint32_t)(number)&0xFFFFu)))
#define KL_CAT_KELORA 0  /* library and server errors; the number is status.error */
#define KL_CAT_CLIENT 1  /* client (PC) side: the information calls, 18001 */
#define KL_CAT_PPL 2     /* PPL transport; bits 0..23 hold the number */
#define KL_CAT_SOCKETS 3 /* sockets; the number is a Windows Sockets error */
#define KL_CAT_HOST 8    /* server host */

/**
 * ### Error numbers
 *
 * Below are the numbers the library sets by itself: in `status.error`, or for the information
 * calls in a category-1 result. Each call's page lists those it gives. Every other number in
 * `status.error` comes from the server and arrives untouched; `klerror` gives its text, and
 * `docs/server.md` lists those of `klserver`.
 *
 * Numbers that many calls give, and what to do:
 *
 * - 18002: another thread's call is in progress, and nothing was done (see Threads above). Make
 *   the call again later, or keep all calls on one thread.
 * - 18011: the library has no connection, or the connection the instance or cursor was opened
 *   on has been closed after a failure. Connect again with `klconnect` and open new cursors. On
 *   the old numbers only `kldisconnect` and `klclosecursor` still work: they free them (and
 *   report 18011).
 * - 18065: the connection failed during the exchange. `info` holds the socket error (a Windows
 *   Sockets number, also on Linux; 10060 when a wait ran past the `timeout` of the environment
 *   file), or 0 when the answer was malformed or ended early. The library closes the
 *   connection, so every instance and cursor on it gives 18011 from then on: connect again.
 * - 11008, 11042: the number names no open instance or cursor (`info` = the number).
 * - 10036: a pointer the call needs is NULL (the status text names the argument); nothing was
 *   sent.
 * - 18021: the call's texts or items do not fit its request; nothing was sent. Shorten them.
 * - 10021: memory ran out (`info` = the system's error number).
 *
 * Two numbers of the server change what the library does:
 *
 * - 11032 (no more records): the selection has run out. A `klfetch` that asked for more than one
 *   record turns it into a warning when some records arrived before it: `error` 0, `warn` 11032.
 *   Otherwise, and always for `kllist`, it stays the error; the records that arrived are in the
 *   caller's area all the same, `status.count` of them.
 * - 11257 (no more catalogue entries): `klgetinfo` passes it on; stop asking. `klinsert`, which
 *   asks the catalogue for a table's columns, takes it as the end of the column list.
 */
#define KL_ERR_NEGATIVE_LENGTH 5541         /* a length argument is negative; info = it */
#define KL_ERR_NOT_ENVIRONMENT 9948         /* no [environment] name entry in the file */
#define KL_ERR_NO_MEMORY 10021              /* allocation failed; info = system error */
#define KL_ERR_NULL_ARGUMENT 10036          /* a required pointer is NULL */
#define KL_ERR_OPTIONS_TOO_LONG 10037       /* options of 256 characters or more */
#define KL_ERR_NO_ITEM_1102 10088           /* item 1 or 801 not followed by 1102 */
#define KL_ERR_BAD_INSTANCE 11008           /* no such client instance; info = number */
#define KL_ERR_NO_MORE_RECORDS 11032        /* server: no more records */
#define KL_ERR_BAD_CURSOR 11042             /* no such client cursor; info = number */
#define KL_ERR_END_OF_CATALOGUE 11257       /* server: no more catalogue entries */
#define KL_ERR_TRANSPORT_WRQPPL 12007       /* transport wrqppl is not carried */
#define KL_ERR_BAD_CATEGORY_NUMBER 18001    /* error number does not fit category 0 */
#define KL_ERR_CALL_IN_PROGRESS 18002       /* another thread's call is in progress */
#define KL_ERR_UNKNOWN_CATEGORY 18003       /* apierror: no text for the number */
#define KL_ERR_ALREADY_CONNECTED 18004      /* connection shared (never reported) */
#define KL_ERR_OPTION_REJECTED 18006        /* an option text was rejected */
#define KL_ERR_NOT_CONNECTED 18011          /* no connection, or it was closed */
#define KL_ERR_UNKNOWN_ERROR_CATEGORY 18012 /* apierror: unknown result category */
#define KL_ERR_LOG_OPEN 18013               /* trace log cannot be opened */
#define KL_ERR_NODE_MISMATCH 18015          /* node name is not the instance's */
#define KL_ERR_STRINGS_TOO_LONG 18021       /* texts or items do not fit the request */
#define KL_ERR_UNKNOWN_ITEM 18032           /* unknown catalogue item */
#define KL_ERR_DISPATCH_SHORT 18050         /* short dispatcher send or receive */
#define KL_ERR_BAD_IP_ADDRESS 18057         /* ipaddress entry is no address */
#define KL_ERR_NO_TABLES 18058              /* client tables cannot be made */
#define KL_ERR_BOTH_GIVEN 18060             /* hostname+ipaddress or service+port */
#define KL_ERR_RECORD_BLOCK 18061           /* a block cannot be recorded */
#define KL_ERR_ENVIRONMENT_ENTRY 18064      /* environment entry missing or invalid */
#define KL_ERR_SOCKET 18065                 /* connection failed; info = socket error */
#define KL_ERR_PPL 18066                    /* PPL transport failure */
#define KL_ERR_TRANSPORT 18067              /* connect failed; info = the cause */
#define KL_ERR_OTHER_SERVER 18069           /* connected to a different server */
#define KL_ERR_STANDALONE 18070             /* dispatcher serves (never reported) */

/**
 * ### Column type codes
 *
 * The type of a column, in its description (`klcolumn_description.type`) and in the catalogue
 * buffer item `KL_ITEM_COLUMN_TYPE`. In character form a column of the types `KL_TYPE_CHAR`,
 * `KL_TYPE_VARCHAR` and `KL_TYPE_DATE` keeps its length, and a column of any other type takes
 * `KL_CHARACTER_NUMBER_WIDTH` (32) characters.
 */
#define KL_TYPE_CHAR 100             /* fixed character, blank-padded */
#define KL_TYPE_VARCHAR 201          /* variable character, NUL-padded */
#define KL_TYPE_INTEGER 400          /* 32-bit signed */
#define KL_TYPE_FLOAT 800            /* IEEE 754 double */
#define KL_TYPE_DATE 1300            /* YYYYMMDD */
#define KL_CHARACTER_NUMBER_WIDTH 32 /* width of a number column in character form */

/**
 * ### Catalogue item codes
 *
 * The item codes of `klgetinfo`. Qualifier items say what a question is about, each with a
 * value in the caller's `qualifiers`; buffer items say what each entry of the answer holds,
 * their values back to back in the order asked. Names travel blank-padded to
 * `KL_NAME_FIELD_SIZE` (32) bytes; the other values are 32-bit numbers, written in this
 * machine's byte order in `qualifiers` and given in the server's byte order in answers (ask
 * `KL_ITEM_BYTE_ORDER`). The library answers the items 1, 801, 1102 and 1099 itself (see
 * `klgetinfo`); the others go to the server, which may know more codes than these.
 */
#define KL_ITEM_CLIENT_INSTANCE 1    /* qualifier: a client instance number, then KL_ITEM_NODE */
#define KL_ITEM_TABLE 202            /* table name */
#define KL_ITEM_TABLE_COLUMNS 203    /* buffer: number of columns of the table */
#define KL_ITEM_TABLE_ROWS 204       /* buffer: number of rows of the table */
#define KL_ITEM_COLUMN 302           /* column name; "*" names every column */
#define KL_ITEM_COLUMN_TYPE 305      /* buffer: type code (KL_TYPE_...) */
#define KL_ITEM_COLUMN_LENGTH 306    /* buffer: length in the record */
#define KL_ITEM_COLUMN_NUMBER 307    /* buffer: column number, from 1 */
#define KL_ITEM_CHARACTER_LENGTH 308 /* buffer: length in character form */
#define KL_ITEM_OCCURRENCES 310      /* buffer: occurrences */
#define KL_ITEM_CLIENT_CURSOR 801    /* qualifier: a client cursor number, then KL_ITEM_NODE */
#define KL_ITEM_BYTE_ORDER 1099      /* buffer, after KL_ITEM_NODE: 1 when numbers are swapped */
#define KL_ITEM_NODE 1102            /* the instance's node name */
#define KL_NAME_FIELD_SIZE 32        /* bytes of a name in qualifiers and answers */

/**
 * ### Calls on a connection
 *
 * The calls from `klconnect` to `klexport` below share these rules.
 *
 * - Each runs under the one-call guard (see Threads above) and returns the status `error` as its
 *   result code (see Result codes above).
 * - The status is filled as Status record above says; a failure the library finds itself sent
 *   nothing, unless the page says otherwise.
 * - Instance numbers come from `klconnect` and cursor numbers from `klopencursor`, from 1 on. A
 *   number that names no open instance gives 11008, one that names no open cursor 11042, each
 *   with the number in `info`.
 * - Option text reaches the server in the options field or whole (see Options above); each page
 *   says which. `klconnect` alone reads its options itself.
 * - When a send or a receive fails, a wait runs longer than the node's `timeout` or an answer is
 *   malformed, the call fails with 18065 (`info` = the Windows Sockets error number, 10060 for a
 *   wait that ran out, 0 for a malformed answer; `buffer` empty) and the library closes the
 *   connection, since a late answer would be taken for the answer to the next request. Every
 *   instance and cursor opened on that connection then fails with 18011, also after a new
 *   `klconnect`; `kldisconnect` and `klclosecursor` free them (reporting 18011). The way back is
 *   a new `klconnect`; docs/recovery.md says what to do after each failure.
 * - The reference server `klserver` is described in docs/server.md: what it makes of the texts
 *   and options of each call, and its error numbers (20001 and up). The pages below say the
 *   essentials.
 */

/**
 * ## Connection
 *
 * A client instance is an application's session with one database of a server. `klconnect`
 * opens one as an environment file describes it; `kldisconnect` closes it. All instances
 * connected to the same server share one TCP connection.
 */

/** klconnect - open a client instance on the server an environment file names
 *
 * `klconnect` reads the environment file `environment` (see docs/configuration.md; a name
 * without a directory part is looked for in the Windows directory, `KL_WINDIR` on Linux),
 * connects to the dispatcher its node section names and sends the connect request: the
 * server-side file name (`[include] filename`), `username`, the password and the host options.
 * On success it stores a new client instance number in `*instance`. A failed `klconnect` leaves
 * no instance and no connection of its own behind.
 *
 * Instances connected to the same dispatcher address and port share one connection, which keeps
 * the node's `timeout` (the longest wait, 1 to 86400 seconds; without it, as long as the system
 * waits) of the `klconnect` that opened it. While it is open, a `klconnect` to another
 * dispatcher fails with 18069.
 *
 * #### Arguments
 *
 * - `environment`: the environment file's name, at most 255 characters.
 * - `options`: see Options below.
 * - `status`: see Status below.
 * - `username`: sent to the server as the user name.
 * - `password`: written to the trace, never sent. The server gets the environment file's
 *   `[include] password` entry (cut to 31 characters), and only when the file also has a
 *   `dbdirect` entry.
 * - `instance`: where the new client instance number is stored on success; left as it was on
 *   failure. It may not be NULL.
 *
 * #### Options
 *
 * The library reads these keywords itself (syntax: see Options above; letter case does not
 * matter). NULL or an empty text gives neither a trace log nor an access mode.
 *
 * - `TRACE=file`: write the trace log to `file` (at most 127 characters), unless `talvern.ini`
 *   names a log in `[debug] trace=`, which wins. Once on, tracing stays on for the life of the
 *   process, and the `TRACE` of later calls changes nothing.
 * - `R`, `W` or `E`, one at most: the access mode, passed to the server in the host options
 *   (after `DBDIRECT=value` when the environment file has `dbdirect`). `klserver` reads them as
 *   read-only, read-write (its default) and exclusive use of the database.
 *
 * An unknown keyword, a value where none is taken, a missing value or two of `R`, `W` and `E`
 * give 18006; text of 256 characters or more before its first `;` outside quotes gives 10037.
 *
 * #### Status
 *
 * On success, the server's answer (`klserver` puts its own number of the instance in `instance`;
 * later calls take `*instance`). On failure, see Errors.
 *
 * #### Errors
 *
 * - 10037 (`KL_ERR_OPTIONS_TOO_LONG`): `options` too long; `info` = its length.
 * - 18006 (`KL_ERR_OPTION_REJECTED`): an option was rejected; `buffer` says why, e.g.
 *   "unknown keyword FAST" or "conflicting keyword W".
 * - 18013 (`KL_ERR_LOG_OPEN`): the trace log cannot be opened for appending; `buffer` = its
 *   name. Tracing stays off.
 * - 10036 (`KL_ERR_NULL_ARGUMENT`): `instance` is NULL; `buffer` "instance".
 * - 9948 (`KL_ERR_NOT_ENVIRONMENT`): the file does not exist or has no `[environment] name`;
 *   `buffer` = the file name.
 * - 18064 (`KL_ERR_ENVIRONMENT_ENTRY`): an entry is missing or wrong; `buffer` "transport" for
 *   a missing `transport` or one other than `tcpsockets`, else the file name: an environment file
 *   name of 256 characters or more, no `Node` or one of 32 characters or more, no `filename`, no
 *   `hostname` or `ipaddress`, no `service` or `port`, or a `timeout` that is not a whole number
 *   from 1 to 86400.
 * - 12007 (`KL_ERR_TRANSPORT_WRQPPL`): the transport is `wrqppl`, which this library does not
 *   carry; `buffer` = the value.
 * - 18060 (`KL_ERR_BOTH_GIVEN`): both `hostname` and `ipaddress` (`buffer` "host name & IP
 *   address"), or both `service` and `port` ("server name & port").
 * - 18057 (`KL_ERR_BAD_IP_ADDRESS`): `ipaddress` reads as 0.0.0.0; `buffer` = the value.
 * - 18067 (`KL_ERR_TRANSPORT`) with `info` 18006: a `hostname`, `ipaddress`, `service` or `port`
 *   value that is empty or holds a blank, `,`, a quote, `=` or `;`; `buffer` "hostconnect".
 * - 18069 (`KL_ERR_OTHER_SERVER`): connected to another dispatcher; disconnect its instances
 *   first.
 * - 18065 (`KL_ERR_SOCKET`): a socket step failed; `info` = the Windows Sockets error number
 *   (10061: nothing listens; 10060: a wait ran out; 11001 to 11004: the host name was not
 *   found), `buffer` = the step ("127.0.0.1 (7000)": the dispatcher; "connect": the server's
 *   port; "dispatch recv"; the host name). Empty `buffer`: the connect request's exchange failed.
 * - 18050 (`KL_ERR_DISPATCH_SHORT`): the dispatcher's reply was cut short.
 * - 18021 (`KL_ERR_STRINGS_TOO_LONG`): file name, user name, password and host options do not
 *   fit the request's 2038 bytes.
 * - 10021 (`KL_ERR_NO_MEMORY`), 18058 (`KL_ERR_NO_TABLES`), 18061 (`KL_ERR_RECORD_BLOCK`): the
 *   library ran out of memory; `info` = the system's error number where there is one.
 * - 18002 (`KL_ERR_CALL_IN_PROGRESS`): another thread's call is in progress.
 *
 * Other numbers come from the dispatcher or the server: `klserver` answers 20005 (file name not
 * allowed), 20006 (no such database), 20007 (database in exclusive use), 20023 (too many
 * instances), 20031 (user name or password refused), among others.
 *
 * #### Threads
 *
 * One call at a time per process (see Threads above): while another thread's call is in
 * progress it fails at once with 18002 and changes nothing but the status.
 */
uint32_t KLAPI klconnect(const char* environment, const char* options, klstatus* status,
                         const char* username, const char* password, kl_long* instance);

/** kldisconnect - close a client instance
 *
 * `kldisconnect` sends the disconnect request for `instance`, then gives up the instance's share
 * of the connection whatever the server answered; the last instance on a connection closes it.
 * The instance number is then free, and a later `klconnect` may hand it out again.
 *
 * Cursors opened on the instance are not closed: close them first. A cursor left open keeps its
 * number until `klclosecursor`, which frees it whatever the server answers (`klserver` has closed
 * it: 20004), or with 18011 when the connection is gone.
 *
 * #### Arguments
 *
 * - `instance`: the instance to close.
 * - `options`: sent in the options field (see Calls on a connection above).
 * - `status`: see Status below.
 *
 * #### Options
 *
 * Not read by the library; `klserver` takes none and ignores them.
 *
 * #### Status
 *
 * On success `error`, `warn` and `info` are 0 and `buffer` is empty, also when the server
 * reported an error; the other fields are the server's.
 *
 * #### Errors
 *
 * - 11008 (`KL_ERR_BAD_INSTANCE`): `instance` names no open instance; `info` = the number.
 * - 18011 (`KL_ERR_NOT_CONNECTED`): no connection, or the instance's connection was lost. An
 *   instance of a lost connection is freed.
 * - 18065 (`KL_ERR_SOCKET`): the exchange failed (see Calls on a connection above); call
 *   `kldisconnect` again to free the instance. The same number, or 18061
 *   (`KL_ERR_RECORD_BLOCK`), when closing the connection fails: the instance stays.
 * - 18002 (`KL_ERR_CALL_IN_PROGRESS`): another thread's call is in progress.
 *
 * #### Threads
 *
 * One call at a time per process (see Threads above); 18002 while another thread's call is in
 * progress.
 */
uint32_t KLAPI kldisconnect(kl_long instance, const char* options, klstatus* status);

/**
 * ## Cursors and version
 *
 * A cursor is the server's context for one query on an instance: a selection of records, their
 * record layout and a position in them. Every call from `klselect` to `klexport` works on one.
 * `klversion` reads the version records of the library or of the server side, at most
 * `KL_VERSION_MAX_RECORDS` of them.
 */
#define KL_VERSION_MAX_RECORDS 1024 /* most records klversion places: 106,496 bytes */

/** klopencursor, klclosecursor - open and close a cursor
 *
 * `klopencursor` asks the server for a cursor on `instance` and stores a new client cursor number
 * in `*cursor`; the lowest free number is handed out. `klclosecursor` sends the close request for
 * `cursor` and frees the number whatever the server answers.
 *
 * #### Arguments
 *
 * - `instance`: the instance to open the cursor on.
 * - `options`: sent in the options field (see Calls on a connection above).
 * - `status`: see Status below.
 * - `cursor`: `klopencursor` stores the new cursor number there on success and leaves it as it
 *   was on failure; it may not be NULL. `klclosecursor` takes the number of the cursor to close.
 *
 * #### Options
 *
 * Not read by the library; `klserver` takes none and ignores them.
 *
 * #### Status
 *
 * The server's answer, also when `klclosecursor` frees a cursor the server reported an error for.
 *
 * #### Errors
 *
 * - 11008 (`KL_ERR_BAD_INSTANCE`): `klopencursor`: `instance` names no open instance; `info` =
 *   the number.
 * - 11042 (`KL_ERR_BAD_CURSOR`): `klclosecursor`: `cursor` names no open cursor; `info` = the
 *   number.
 * - 18011 (`KL_ERR_NOT_CONNECTED`): no connection, or the instance's or cursor's connection was
 *   lost. `klclosecursor` frees a cursor of a lost connection.
 * - 10036 (`KL_ERR_NULL_ARGUMENT`): `klopencursor`: `cursor` is NULL; `buffer` "cursor".
 * - 10021 (`KL_ERR_NO_MEMORY`), 18058 (`KL_ERR_NO_TABLES`), 18061 (`KL_ERR_RECORD_BLOCK`): the
 *   library ran out of memory; `info` = the system's error number.
 * - 18065 (`KL_ERR_SOCKET`): the exchange failed (see Calls on a connection above); no cursor
 *   was opened, or the cursor is not freed until a second `klclosecursor` (which reports 18011).
 * - 18002 (`KL_ERR_CALL_IN_PROGRESS`): another thread's call is in progress.
 *
 * Other numbers come from the server: `klserver` answers 20003 (unknown instance), 20004 (unknown
 * cursor) and 20023 (the session holds too many cursors).
 *
 * #### Threads
 *
 * One call at a time per process (see Threads above); 18002 while another thread's call is in
 * progress.
 */
uint32_t KLAPI klopencursor(kl_long instance, const char* options, klstatus* status,
                            kl_long* cursor);
uint32_t KLAPI klclosecursor(kl_long cursor, const char* options, klstatus* status);

/** klversion - read the version records of the library or of the server side
 *
 * With an empty `node`, `klversion` writes the library's own record to `records[0]`: "NA_TCP",
 * "Kelora Server DLL (TCP Sockets)", `KLSRV32_VERSION_NUMBER` and `KLSRV32_VERSION_TEXT`. It then
 * needs no connection and reads neither `instance` nor `server_arg`.
 *
 * With the node name of `instance`, it sends the version request and writes the records the
 * server announces in `status.count` to `records`, each version number in this machine's byte
 * order. `klserver` sends two: its own (`KLSERV`) and its storage engine's. An answer that
 * announces more than `KL_VERSION_MAX_RECORDS` records is malformed: the call fails with 18065
 * (`info` 0, `count` and `bufflen` 0), writes nothing and closes the connection.
 *
 * #### Arguments
 *
 * - `instance`: the instance whose server is asked.
 * - `options`: see Options below; may not be NULL.
 * - `status`: see Status below.
 * - `node`: "" for the library's record, or the instance's node name (the environment file's
 *   `[include] Node`, in any letter case); may not be NULL.
 * - `server_arg`: sent to the server unchanged; `klserver` does not use it.
 * - `records`: the caller's area: 104 bytes for an empty `node`; else room for the records the
 *   server announces, at most `KL_VERSION_MAX_RECORDS` × 104 bytes (106,496). May not be NULL.
 *
 * #### Options
 *
 * Fewer than 79 characters, sent in the options field (see Calls on a connection above); not
 * read by the library, and ignored by `klserver`.
 *
 * #### Status
 *
 * For an empty `node`: `error`, `warn` and `info` 0, `buffer` empty, `count` 1, `bufflen` 104;
 * the other fields as they were. Else the server's answer, whose `count` says how many records
 * were written (none when `error` is not 0).
 *
 * #### Errors
 *
 * - 10036 (`KL_ERR_NULL_ARGUMENT`): `node`, `options` or `records` is NULL; `buffer` "node
 *   name", "option list" or "version records".
 * - 18021 (`KL_ERR_STRINGS_TOO_LONG`): `options` of 79 characters or more; `buffer` "options".
 * - 11008 (`KL_ERR_BAD_INSTANCE`): `instance` names no open instance; `info` = the number,
 *   `buffer` "client instance".
 * - 18011 (`KL_ERR_NOT_CONNECTED`): no connection, or the instance's connection was lost.
 * - 18015 (`KL_ERR_NODE_MISMATCH`): `node` is not the instance's node name; `buffer` = `node`.
 * - 18065 (`KL_ERR_SOCKET`): the exchange failed (see Calls on a connection above), or too many
 *   records were announced; records that arrived before a failure stay in `records`.
 * - 18002 (`KL_ERR_CALL_IN_PROGRESS`): another thread's call is in progress.
 *
 * Other numbers come from the server (`klserver`: 20003, unknown instance).
 *
 * #### Threads
 *
 * One call at a time per process (see Threads above), also for an empty `node`; 18002 while
 * another thread's call is in progress.
 */
uint32_t KLAPI klversion(kl_long instance, const char* options, klstatus* status, const char* node,
                         kl_long server_arg, klversion_record* records);

/**
 * ## Selection
 *
 * A selection is the set of records a cursor reads: `klselect` makes one, `klqualify` narrows
 * it, and `klassignvalues` and `kljoin` below change it further.
 */

/** klselect, klqualify - select the records of a cursor, or narrow its selection
 *
 * `klselect` sends `table`, `column`, `criteria` and `options` to the server, which makes a new
 * selection on `cursor`: the rows of `table` that meet `criteria`, in the record layout the
 * column list gives, from the first record. `klqualify` sends `owner`, `table`, `column`,
 * `options` and `criteria`; the server narrows the cursor's selection to the records that also
 * meet `criteria` and starts it again from the first. Each reads one status answer.
 *
 * On success of `klselect` the library keeps two figures of its answer for the cursor:
 * `status.bufflen`, the record length, is the row length `klupdate` sends, and
 * `status.valuesize` is the size of one value set of `klassignvalues`. `klqualify` changes
 * neither, also when it changes the layout.
 *
 * #### Arguments
 *
 * - `cursor`: an open cursor.
 * - `options`: sent whole (see Calls on a connection above); see Options below.
 * - `status`: see Status below.
 * - `owner`: `klqualify`: the table's owner; `klserver` takes "" or `main`.
 * - `table`: the table; for `klqualify`, `klserver` takes "" or the selection's table.
 * - `column`: the column list; for `klserver`, names separated by commas or blanks, "" or `*` for
 *   every column in table order. `klqualify` with another list changes the record layout.
 * - `criteria`: the condition the rows must meet; "" selects every row. In `klselect` a `?`
 *   stands for a value that `klassignvalues` fills in; until then nothing is selected.
 *   docs/server.md gives the grammar `klserver` reads (e.g. `customer = 3 AND quantity > 10`).
 *
 * The texts, each with its NUL, must fit 2038 bytes together.
 *
 * #### Options
 *
 * The server reads them. `klserver` takes words separated by commas or blanks: `CHAR` (records
 * in character form), `ORDER=column` and `DESC` (order; by default the row key's), `LIMIT=n`;
 * another word gives 20018.
 *
 * #### Status
 *
 * The server's answer. `klserver` sets `count` to the records selected and `bufflen` to the
 * record length; `valuesize` to 32 × the number of `?` (`klselect`) or to the records left
 * (`klqualify`).
 *
 * #### Errors
 *
 * - 11042 (`KL_ERR_BAD_CURSOR`): `cursor` names no open cursor; `info` = the number, `buffer`
 *   "client cursor".
 * - 18011 (`KL_ERR_NOT_CONNECTED`): no connection, or the cursor's connection was lost.
 * - 18021 (`KL_ERR_STRINGS_TOO_LONG`): the texts do not fit.
 * - 18065 (`KL_ERR_SOCKET`): the exchange failed (see Calls on a connection above).
 * - 18002 (`KL_ERR_CALL_IN_PROGRESS`): another thread's call is in progress.
 *
 * Other numbers come from the server: `klserver` answers 20010 (no such table), 20011 (no such
 * column), 20012 (criteria do not parse; `info` = the offset of the fault), 20013 (`klqualify`:
 * the cursor has no selection), 20018 (bad option), among others.
 *
 * #### Threads
 *
 * One call at a time per process (see Threads above); 18002 while another thread's call is in
 * progress.
 *
 * #### Example
 *
 * ```c
 * if (klselect(cursor, "CHAR", &st, "customers", "id,name", "name LIKE 'a%'") != 0)
 *     return fail("klselect", &st);
 * kl_long record_length = st.bufflen; // each record's bytes in klfetch's area
 * ```
 */
uint32_t KLAPI klselect(kl_long cursor, const char* options, klstatus* status, const char* table,
                        const char* column, const char* criteria);
uint32_t KLAPI klqualify(kl_long cursor, const char* options, klstatus* status, const char* owner,
                         const char* table, const char* column, const char* criteria);

/**
 * ## Fetch
 *
 * `klfetch` reads the records of a cursor's selection from its position on; `klfetchkeys` reads
 * their keys. One answer record carries at most `KL_MAX_RECORD_BYTES` bytes of data.
 */
#define KL_MAX_RECORD_BYTES 1956 /* data of one answer record: 2048 less the status */

/** klfetch, klfetchkeys - read the next records or keys of a selection
 *
 * `klfetch` asks for up to `count` records from the position of `cursor`'s selection and reads
 * answer records until `count` records have arrived or an answer reports an error. Each record
 * has the layout the selection gives it (see `kldescribe`); `klserver` places the records of an
 * answer back to back, each as long as the record length (`klselect`'s `status.bufflen`).
 *
 * The library places each answer's data in `records` at a running offset: the sum of the earlier
 * answers' `bufflen`, except that an answer moves the offset on by no more than the data it
 * carried (at most 1956 bytes) and never backwards. So `klfetch` places at most `count` × 1956
 * bytes, whatever the server sends; a server whose `bufflen` matches its data fills the area
 * without gaps. A `count` of 0 or below sends the request and reads nothing.
 *
 * When the selection runs out, the server answers 11032. After at least one record, and with a
 * `count` above 1, the call then succeeds with `status.warn` 11032: the records that came are
 * the last. Otherwise it fails with 11032.
 *
 * `klfetchkeys` asks for `num_keys` keys and reads one answer; every byte after its status goes
 * to `keys`, whatever the status says. `klserver` sends the 8-byte row keys (in its byte order) of
 * up to 244 records from the position, without moving it.
 *
 * #### Arguments
 *
 * - `cursor`: an open cursor with a selection.
 * - `options`: sent in the options field (see Calls on a connection above).
 * - `status`: see Status below.
 * - `count`: the number of records to read.
 * - `records`: the caller's area; the call places at most `count` × 1956 bytes
 *   (`count` * `KL_MAX_RECORD_BYTES`) there, so an area of that size is always enough; a smaller
 *   one must hold all the server sends for `count` records. May be NULL only for a `count` of 0
 *   or below.
 * - `num_keys`: the number of keys to read, sent to the server.
 * - `keys`: the caller's area; at most 1956 bytes (`KL_MAX_RECORD_BYTES`) are written there.
 *   May not be NULL.
 *
 * #### Options
 *
 * Not read by the library; `klserver` ignores them.
 *
 * #### Status
 *
 * `klfetch`: the last answer's status, with `count` = the records received and `bufflen` = the
 * bytes placed; also when a server error ended the reading. After an 18065, `count` and
 * `bufflen` are not these totals. A `count` of 0 or below sets `error`, `count` and `bufflen` to
 * 0 and leaves the other fields as they were.
 *
 * `klfetchkeys`: the server's answer; `klserver` sets `count` to the keys sent and `bufflen` to
 * 8 × `count`.
 *
 * #### Errors
 *
 * - 11032 (`KL_ERR_NO_MORE_RECORDS`): from the server: the selection has no record left. As an
 *   error (no record came, or `count` was 1), nothing was placed; as a warning, see above. Stop
 *   fetching either way.
 * - 11042 (`KL_ERR_BAD_CURSOR`): `cursor` names no open cursor; `info` = the number, `buffer`
 *   "client cursor".
 * - 18011 (`KL_ERR_NOT_CONNECTED`): no connection, or the cursor's connection was lost.
 * - 10036 (`KL_ERR_NULL_ARGUMENT`): `records` or `keys` is NULL; `buffer` "records" or "keys".
 * - 18065 (`KL_ERR_SOCKET`): the exchange failed (see Calls on a connection above); the records
 *   placed until then stay in `records`.
 * - 18002 (`KL_ERR_CALL_IN_PROGRESS`): another thread's call is in progress.
 *
 * Other numbers come from the server (`klserver`: 20013, the cursor has no selection).
 *
 * #### Threads
 *
 * One call at a time per process (see Threads above); 18002 while another thread's call is in
 * progress.
 *
 * #### Example
 *
 * ```c
 * enum { BATCH = 10 };
 * static char area[BATCH * KL_MAX_RECORD_BYTES];
 * for (;;) {
 *     uint32_t rc = klfetch(cursor, "", &st, BATCH, area);
 *     if (rc == KL_ERR_NO_MORE_RECORDS)
 *         break; // nothing was left
 *     if (rc != 0)
 *         return fail("klfetch", &st);
 *     for (kl_long i = 0; i < st.count; i++)
 *         show(area + i * record_length); // record_length: klselect's status.bufflen
 *     if (st.warn == KL_ERR_NO_MORE_RECORDS)
 *         break; // those were the last
 * }
 * ```
 */
uint32_t KLAPI klfetch(kl_long cursor, const char* options, klstatus* status, kl_long count,
                       char* records);
uint32_t KLAPI klfetchkeys(kl_long cursor, const char* options, klstatus* status, kl_long num_keys,
                           char* keys);

/**
 * ## Columns and values
 *
 * A cursor's record layout is a list of column descriptions (`klcolumn_description`, 220 bytes
 * each, see above): `kldescribe` reads it and `klbind` sets it. `klassignvalues` supplies the
 * values of the `?` in a selection's criteria.
 */

/** kldescribe, klbind - read or set the record layout of a cursor
 *
 * `kldescribe` asks for up to `num_columns` descriptions of the cursor's record layout. The
 * server's first answer says in `status.count` how many follow; the library reads all of them,
 * six to an answer record, and places at most `num_columns` in `descriptions`, their eleven
 * numbers in this machine's byte order. Placing stops at an answer record that carried less than
 * its share; the rest is read and dropped.
 *
 * `klbind` sends `num_columns` descriptions from `descriptions` and reads one status. On success
 * the answer's `status.bufflen` becomes the record length that `klupdate` sends for the cursor.
 * `klserver` sets the layout to the columns named (field `column`) in the given order, each in
 * the form its `character` field gives, and reads `table` to tell the tables of a joined cursor
 * apart; a `num_columns` of 0 or below restores the selection's own layout.
 *
 * #### Arguments
 *
 * - `cursor`: an open cursor with a selection.
 * - `options`: sent in the options field (see Calls on a connection above).
 * - `status`: see Status below.
 * - `num_columns`: `kldescribe`: the most descriptions to place, sent to the server (`klserver`
 *   sends no more). `klbind`: the descriptions to send.
 * - `descriptions`: an array of `klcolumn_description`, 220 bytes per column. `kldescribe`
 *   writes at most `num_columns` × 220 bytes there; `klbind` reads `num_columns` × 220 bytes and
 *   does not change them. May be NULL only for a `num_columns` of 0 or below.
 *
 * #### Options
 *
 * Not read by the library; `klserver` ignores them.
 *
 * #### Status
 *
 * `kldescribe`: the server's first answer, with `count` = the descriptions placed. `klserver`
 * sets `valuesize` to the number of columns of the layout and `bufflen` to the record length, so
 * a call with a `num_columns` of 0 tells how many descriptions to make room for.
 *
 * `klbind`: the server's answer; `klserver` sets `bufflen` to the new record length and
 * `valuesize` to its number of columns.
 *
 * #### Errors
 *
 * - 11042 (`KL_ERR_BAD_CURSOR`): `cursor` names no open cursor; `info` = the number, `buffer`
 *   "client cursor".
 * - 18011 (`KL_ERR_NOT_CONNECTED`): no connection, or the cursor's connection was lost.
 * - 10036 (`KL_ERR_NULL_ARGUMENT`): `descriptions` is NULL; `buffer` "descriptions".
 * - 18065 (`KL_ERR_SOCKET`): the exchange failed (see Calls on a connection above). Descriptions
 *   `kldescribe` placed until then stay, their numbers in the server's byte order.
 * - 18002 (`KL_ERR_CALL_IN_PROGRESS`): another thread's call is in progress.
 *
 * Other numbers come from the server: `klserver` answers 20013 (no selection), and for `klbind`
 * 20011 (a column of neither table) and 20015 (more than 2000 descriptions).
 *
 * #### Threads
 *
 * One call at a time per process (see Threads above); 18002 while another thread's call is in
 * progress.
 */
uint32_t KLAPI kldescribe(kl_long cursor, const char* options, klstatus* status,
                          kl_long num_columns, char* descriptions);
uint32_t KLAPI klbind(kl_long cursor, const char* options, klstatus* status, kl_long num_columns,
                      const char* descriptions);

/** klassignvalues - supply the values of the placeholders in a selection's criteria
 *
 * `klassignvalues` sends `num_values` value sets for the `?` in the criteria of the cursor's last
 * `klselect`, and reads one status. A value set is as long as the `status.valuesize` of that
 * `klselect` (0 before the cursor's first successful one); the call sends that size ×
 * `num_values` bytes of `values`, at most 1950. `klserver` reads each set as one 32-byte,
 * blank-padded text per `?`, in order, and makes the selection the records that meet the
 * criteria with any of the sets, from the first.
 *
 * #### Arguments
 *
 * - `cursor`: an open cursor with a selection.
 * - `options`: sent in the options field (see Calls on a connection above).
 * - `status`: see Status below.
 * - `label`: sent in an 8-byte field, cut like the options (text of 8 characters or more fills it
 *   without a terminator); `klserver` does not use it.
 * - `num_values`: the number of value sets, sent to the server; 0 or below sends no values.
 * - `values`: the value sets, read from the caller's area: value size × `num_values` bytes. May
 *   be NULL only when that is 0.
 *
 * #### Options
 *
 * Not read by the library; `klserver` ignores them.
 *
 * #### Status
 *
 * The server's answer; `klserver` sets `count` to the records selected.
 *
 * #### Errors
 *
 * - 11042 (`KL_ERR_BAD_CURSOR`): `cursor` names no open cursor; `info` = the number, `buffer`
 *   "client cursor".
 * - 18011 (`KL_ERR_NOT_CONNECTED`): no connection, or the cursor's connection was lost.
 * - 18021 (`KL_ERR_STRINGS_TOO_LONG`): more than 1950 bytes of values; `buffer` "values".
 * - 10036 (`KL_ERR_NULL_ARGUMENT`): `values` is NULL; `buffer` "values".
 * - 18065 (`KL_ERR_SOCKET`): the exchange failed (see Calls on a connection above).
 * - 18002 (`KL_ERR_CALL_IN_PROGRESS`): another thread's call is in progress.
 *
 * Other numbers come from the server: `klserver` answers 20013 (no selection) and 20015 (the
 * bytes are not `num_values` value sets; `info` = `num_values`).
 *
 * #### Threads
 *
 * One call at a time per process (see Threads above); 18002 while another thread's call is in
 * progress.
 *
 * #### Example
 *
 * ```c
 * // After klselect(cursor, "", &st, "orders", "*", "customer = ?"): valuesize 32.
 * char values[2 * 32];
 * memset(values, ' ', sizeof values);
 * memcpy(values, "3", 1);       // first set: customer 3
 * memcpy(values + 32, "5", 1);  // second set: customer 5
 * uint32_t rc = klassignvalues(cursor, "", &st, "", 2, values);
 * ```
 */
uint32_t KLAPI klassignvalues(kl_long cursor, const char* options, klstatus* status,
                              const char* label, kl_long num_values, const char* values);

/**
 * ## Join
 *
 * A join pairs the records of a cursor's selection with the rows of another table.
 */

/** kljoin, kljoin303 - join a selection with the rows of another table
 *
 * Both calls send `from_table`, `from_column`, `to_table`, `to_column` and `options` to the
 * server and read one status answer; they send the same request. `kljoin`'s `reserved` argument
 * is not read, and the trace names both calls `kljoin`.
 *
 * `klserver` pairs each record of the selection (of `from_table`) with the rows of `to_table`
 * whose `to_column` equals its `from_column`. The record becomes the selection's columns followed
 * by every column of `to_table`, and the selection starts again from the first record. A joined
 * cursor cannot be updated or deleted through (20014).
 *
 * #### Arguments
 *
 * - `cursor`: an open cursor with a selection.
 * - `options`: sent whole (see Calls on a connection above).
 * - `status`: see Status below.
 * - `from_table`: the selection's table; `klserver` also takes "".
 * - `from_column`: the column of the selection to match.
 * - `reserved`: `kljoin` only; any value.
 * - `to_table`: the table to join.
 * - `to_column`: its column to match.
 *
 * The five texts, each with its NUL, must fit 2038 bytes together.
 *
 * #### Options
 *
 * The server reads them; `klserver` takes none: any text gives 20018.
 *
 * #### Status
 *
 * The server's answer. `klserver` sets `count` and `valuesize` to the joined records and
 * `bufflen` to the record length.
 *
 * #### Errors
 *
 * - 11042 (`KL_ERR_BAD_CURSOR`): `cursor` names no open cursor; `info` = the number, `buffer`
 *   "client cursor".
 * - 18011 (`KL_ERR_NOT_CONNECTED`): no connection, or the cursor's connection was lost.
 * - 18021 (`KL_ERR_STRINGS_TOO_LONG`): the texts do not fit.
 * - 18065 (`KL_ERR_SOCKET`): the exchange failed (see Calls on a connection above).
 * - 18002 (`KL_ERR_CALL_IN_PROGRESS`): another thread's call is in progress.
 *
 * Other numbers come from the server: `klserver` answers 20010 (no such table), 20011 (no such
 * column), 20013 (no selection), 20018 (options given), among others.
 *
 * #### Threads
 *
 * One call at a time per process (see Threads above); 18002 while another thread's call is in
 * progress.
 */
uint32_t KLAPI kljoin(kl_long cursor, const char* options, klstatus* status, const char* from_table,
                      const char* from_column, kl_long reserved, const char* to_table,
                      const char* to_column);
uint32_t KLAPI kljoin303(kl_long cursor, const char* options, klstatus* status,
                         const char* from_table, const char* from_column, const char* to_table,
                         const char* to_column);

/**
 * ## Calculation and export
 *
 * `klcalc` has the server compute a figure over a column of a cursor's selection; `klexport`
 * has it write the selection to a file on the server's side.
 */

/** klcalc - compute a figure over a column of the selection
 *
 * `klcalc` sends `from_table`, `from_column` and `options` to the server and reads one answer:
 * its status and then the result bytes, `status.bufflen` of them. The library copies to `result`
 * the bytes that arrived, at most `status.bufflen` and at most 1860, whatever `status.error`
 * says, and lowers `status.bufflen` to the number copied when fewer arrived.
 *
 * `klserver` computes the function `options` names over the column in the selection's records
 * (NULLs not counted) and sends the result as 32 bytes of blank-padded text: integers exact,
 * other numbers with 15 significant digits, blanks when there was no value.
 *
 * #### Arguments
 *
 * - `cursor`: an open cursor with a selection.
 * - `options`: sent whole (see Calls on a connection above); see Options below.
 * - `status`: see Status below.
 * - `from_table`: the selection's table; `klserver` also takes "" and, on a joined cursor, the
 *   joined table.
 * - `from_column`: the column.
 * - `result`: the caller's area; at most 1860 bytes are written there, `status.bufflen` of them
 *   (32 from `klserver`). May not be NULL.
 *
 * The three texts, each with its NUL, must fit 2038 bytes together.
 *
 * #### Options
 *
 * The server reads them. `klserver` takes one word, in any letter case: `COUNT`, `SUM`, `AVG`,
 * `MIN` or `MAX` (`SUM` and `AVG` of number columns only); anything else gives 20018.
 *
 * #### Status
 *
 * The server's answer, with `bufflen` = the result bytes written. `klserver` sets `count` to the
 * values counted.
 *
 * #### Errors
 *
 * - 11042 (`KL_ERR_BAD_CURSOR`): `cursor` names no open cursor; `info` = the number, `buffer`
 *   "client cursor".
 * - 18011 (`KL_ERR_NOT_CONNECTED`): no connection, or the cursor's connection was lost.
 * - 18021 (`KL_ERR_STRINGS_TOO_LONG`): the texts do not fit.
 * - 10036 (`KL_ERR_NULL_ARGUMENT`): `result` is NULL; `buffer` "result".
 * - 18065 (`KL_ERR_SOCKET`): the exchange failed (see Calls on a connection above).
 * - 18002 (`KL_ERR_CALL_IN_PROGRESS`): another thread's call is in progress.
 *
 * Other numbers come from the server: `klserver` answers 20011 (no such column), 20013 (no
 * selection), 20016 (`SUM` or `AVG` of a text), 20018 (bad function), among others.
 *
 * #### Threads
 *
 * One call at a time per process (see Threads above); 18002 while another thread's call is in
 * progress.
 */
uint32_t KLAPI klcalc(kl_long cursor, const char* options, klstatus* status, const char* from_table,
                      const char* from_column, char* result);

/** klexport - have the server write a selection to a file
 *
 * `klexport` asks the server to write the selection of `cursor` to the file `filename` on the
 * server's side. Before it sends anything, it checks that `node` names the node of the instance
 * the cursor was opened on.
 *
 * `klserver` writes the file in its export folder as CSV: a line of column names, then every
 * record of the selection from the first, each field in character form with its padding trimmed.
 * It replaces a file of that name whole and leaves the position where it was.
 *
 * #### Arguments
 *
 * - `cursor`: an open cursor with a selection.
 * - `options`: sent whole, semicolons included, at most 78 characters; see Options below.
 * - `status`: see Status below.
 * - `node`: the node name of the cursor's instance (the environment file's `[include] Node`, in
 *   any letter case).
 * - `filename`: the file's name, at most 254 characters. `klserver` takes a plain name (letters,
 *   digits, `_`, `-` and `.`, not starting with `.`).
 *
 * #### Options
 *
 * The server reads them. `klserver` takes `HEADER=NO` (no line of column names) and `HEADER=YES`
 * (the default); anything else gives 20018.
 *
 * #### Status
 *
 * The server's answer; `klserver` sets `count` to the records written.
 *
 * #### Errors
 *
 * - 11042 (`KL_ERR_BAD_CURSOR`): `cursor` names no open cursor; `info` = the number, `buffer`
 *   "client cursor".
 * - 18011 (`KL_ERR_NOT_CONNECTED`): no connection, or the cursor's connection was lost.
 * - 18021 (`KL_ERR_STRINGS_TOO_LONG`): `filename` longer than 254 characters (`buffer`
 *   "filename"), else `options` longer than 78 (`buffer` "options").
 * - 11008 (`KL_ERR_BAD_INSTANCE`): the cursor's instance was disconnected; `info` = its number,
 *   `buffer` "client instance".
 * - 18015 (`KL_ERR_NODE_MISMATCH`): `node` is not the instance's node name; `buffer` = `node`.
 * - 18065 (`KL_ERR_SOCKET`): the exchange failed (see Calls on a connection above).
 * - 18002 (`KL_ERR_CALL_IN_PROGRESS`): another thread's call is in progress.
 *
 * Other numbers come from the server: `klserver` answers 20013 (no selection), 20018 (bad
 * option) and 20020 (a name not allowed, a link, or a file that cannot be written).
 *
 * #### Threads
 *
 * One call at a time per process (see Threads above); 18002 while another thread's call is in
 * progress.
 */
uint32_t KLAPI klexport(kl_long cursor, const char* options, klstatus* status, const char* node,
                        const char* filename);

/**
 * ## Insertion
 */

/** klinsert - insert one row into a table
 *
 * `klinsert` sends one row for `table` through the client instance `instance` and reads the
 * answer, a status record alone. The row holds every column of the table in the catalogue's
 * order, in binary form or, with the option `CHAR`, in character form. The library does not
 * look inside it, but it must know its length. The first time an instance inserts into a table,
 * the call asks the catalogue for the table's columns (type, length and occurrences, through
 * `klgetinfo` questions of 100 columns each, made inside this call) and keeps both row lengths
 * with the table's name in the instance. Later inserts into the same table, in any letter case,
 * reuse them until the instance inserts into another table.
 *
 * The row length is a sum over the columns. In binary form each column takes its length ×
 * occurrences bytes; in character form a column of the types `KL_TYPE_CHAR`, `KL_TYPE_VARCHAR`
 * and `KL_TYPE_DATE` takes its length × occurrences, and a column of any other type 32
 * (`KL_CHARACTER_NUMBER_WIDTH`) × occurrences.
 *
 * #### Arguments
 *
 * - `instance`: a client instance number from `klconnect`.
 * - `options`: see Options below.
 * - `status`: the caller's status record, or NULL.
 * - `table`: the table's name; at most 32 characters when the call must ask for its columns.
 * - `columns`: a column list, which the library passes to the server unread. (`klserver`: empty
 *   or `*` writes every column; a list names the columns that take their value from the row,
 *   and the others stay NULL or take their default.)
 * - `values`: the row. The call reads exactly the row length from it, at most 1786 bytes: for
 *   the table `products` of `klserver`'s sample (`id INTEGER`, `name VARCHAR(30)`,
 *   `price FLOAT`, `stock INTEGER`) 126 bytes with `CHAR`. It may be NULL only when the row length
 * is 0.
 *
 * #### Options
 *
 * Read by the library (see Options above), and also sent to the server whole. The keywords take
 * no value: `CHAR` (the row is in character form), and `SKIPIA`, `NOWAIT` and `HOOK`, which the
 * library only passes on. `table`, `columns` and `options` share a 256-byte area, terminators
 * included.
 *
 * #### Status
 *
 * On success, the server's status (`klserver`: `count` 1, `info` the low 32 bits of the new
 * row's key). On a failure the library finds itself, as described under Status record; when a
 * catalogue question fails, its `error`, `warn` and `info`, with the text `klgetinfo`.
 *
 * #### Errors
 *
 * - 18011 (`KL_ERR_NOT_CONNECTED`), 11008 (`KL_ERR_BAD_INSTANCE`): no connection, or no such
 *   instance (see Error numbers above).
 * - 10037 (`KL_ERR_OPTIONS_TOO_LONG`), 18006 (`KL_ERR_OPTION_REJECTED`): the options are too
 *   long or wrong (see Options above); nothing was sent.
 * - 18021 (`KL_ERR_STRINGS_TOO_LONG`): nothing was sent. The table's name is longer than 32
 *   characters (text `table`); the table has more than 2100 columns; or the request cannot hold
 *   the texts and the row: the texts need more than 256 bytes with their terminators, the row
 *   is longer than 1786 bytes, or the texts' lengths and the row length add up to more than
 *   2038 (in character form, checked for both row lengths).
 * - 10036 (`KL_ERR_NULL_ARGUMENT`): `values` is NULL and the row length is not 0.
 * - The number of a failed catalogue question, with the text `klgetinfo` (`klserver`: 20010 for
 *   a table it does not have).
 * - 18065 (`KL_ERR_SOCKET`), 10021 (`KL_ERR_NO_MEMORY`): see Error numbers above.
 * - Other numbers come from the server (`klserver`: 20008 for a read-only instance, 20015 for a
 *   row of the wrong length, 20016 for a value that does not convert).
 *
 * #### Threads
 *
 * One call at a time (see Threads above). The catalogue questions run inside this call, so no
 * call of another thread comes between them.
 *
 * #### Example
 *
 * ```c
 * // products: id INTEGER, name VARCHAR(30), price FLOAT, stock INTEGER
 * char row[32 + 30 + 32 + 32 + 1];
 * snprintf(row, sizeof row, "%-32s%-30s%-32s%-32s", "", "Wing nut", "0.35", "1200");
 * if (klinsert(instance, "CHAR", &status, "products", "name,price,stock", row) == 0)
 *     printf("inserted row %ld\n", (long)status.info);
 * ```
 */
uint32_t KLAPI klinsert(kl_long instance, const char* options, klstatus* status, const char* table,
                        const char* columns, const char* values);

/**
 * ## Update and deletion
 */

/** klupdate, kldelete - change or delete the row of a cursor's current record
 *
 * `klupdate` sends a new record for the current record of the selection on `cursor`: the texts
 * `table`, `columns` and `options`, then the cursor's record length in bytes read from
 * `buffer`. The record length is the `bufflen` that the last successful `klselect`, `klbind` or
 * `klform` on this cursor reported (0 before any of them), and the record is in the layout and
 * form that call set. `kldelete` sends `table` and `options` and asks the server to delete the
 * current record's row. Each reads one answer, a status record alone; neither changes what the
 * library keeps of the cursor.
 *
 * The current record is the server's notion: for `klserver`, the record last fetched, or the
 * list entry `klform` read. After `kldelete` the cursor has none.
 *
 * #### Arguments
 *
 * - `cursor`: a cursor number from `klopencursor`.
 * - `options`: see Options below.
 * - `status`: the caller's status record, or NULL.
 * - `table`: the selection's table.
 * - `columns` (`klupdate`): a column list, which the library passes to the server unread.
 *   (`klserver`: empty or `*` sets every field of the record; a list sets the fields it names.)
 * - `buffer` (`klupdate`): the new record. The call reads the record length from it, at most
 *   1786 bytes. It may be NULL only when the record length is 0.
 *
 * #### Options
 *
 * Sent whole (see Options above). `klupdate`'s texts share a 256-byte area, `kldelete`'s 2038
 * bytes, terminators included. (`klserver` takes `SKIPIA`, `NOWAIT` and `HOOK`, which change
 * nothing.)
 *
 * #### Status
 *
 * On success, the server's status (`klserver`: `count` 1). On a failure the library finds
 * itself, as described under Status record.
 *
 * #### Errors
 *
 * - 11042 (`KL_ERR_BAD_CURSOR`): `cursor` names no open cursor (`info` = the number, text
 *   `client cursor`). `klupdate` checks this before the connection, `kldelete` after it.
 * - 18011 (`KL_ERR_NOT_CONNECTED`): no connection, or the cursor's connection is gone (see
 *   Error numbers above).
 * - 18021 (`KL_ERR_STRINGS_TOO_LONG`): nothing was sent. `klupdate`: the texts need more than
 *   256 bytes, the record length is above 1786 or below 0, or the texts' lengths and the record
 *   length add up to more than 2038. `kldelete`: the texts need more than 2038 bytes.
 * - 10036 (`KL_ERR_NULL_ARGUMENT`, `klupdate`): `buffer` is NULL and the record length is not 0.
 * - 18065 (`KL_ERR_SOCKET`), 10021 (`KL_ERR_NO_MEMORY`): see Error numbers above.
 * - Other numbers come from the server (`klserver`: 20008 for a read-only instance, 20010 when
 *   `table` is not the selection's, 20014 when there is no current record or the cursor is
 *   joined, 20015 for a record of the wrong length).
 *
 * #### Threads
 *
 * One call at a time (see Threads above).
 */
uint32_t KLAPI klupdate(kl_long cursor, const char* options, klstatus* status, const char* table,
                        const char* columns, const char* buffer);
uint32_t KLAPI kldelete(kl_long cursor, const char* options, klstatus* status, const char* table);

/**
 * ## List and form
 */

/** kllist - read records of a query apart from the cursor's selection
 *
 * `kllist` sends a query (`table`, `columns`, `criteria`, `options`) and the number of records
 * wanted, `count`, on `cursor`. It then reads answer records until `count` records have
 * arrived or an answer reports an error, and places the records in `buffer` as `klfetch` does
 * (see its page): at most `count` × 1956 bytes (`count` * `KL_MAX_RECORD_BYTES`), whatever the
 * server sends. A `count` of 0 or below sends the request, reads nothing, and sets `error`,
 * `count` and `bufflen` to 0. (`klserver` leaves
 * the cursor's selection as it was and keeps the records sent as the cursor's list, which
 * `klform` reads.)
 *
 * #### Arguments
 *
 * - `cursor`: a cursor number from `klopencursor`.
 * - `options`: see Options below.
 * - `status`: the caller's status record, or NULL.
 * - `table`, `columns`, `criteria`: the query, which the library passes to the server unread.
 * - `count`: the number of records wanted.
 * - `buffer`: the caller's area, at most `count` × 1956 bytes; see `klfetch` for how the
 *   records lie in it. It may be NULL only when `count` is 0 or below.
 *
 * #### Options
 *
 * Sent whole (see Options above); `table`, `columns`, `criteria` and `options` share 2038
 * bytes, terminators included.
 *
 * #### Status
 *
 * The status of the last answer, with `count` set to the records received and `bufflen` to the
 * bytes placed in `buffer`. When fewer records are left than `count`, `error` is 11032
 * (`KL_ERR_NO_MORE_RECORDS`) and the records that arrived are in `buffer`, `count` of them:
 * unlike `klfetch`, `kllist` does not turn 11032 into a warning. On a failure the library finds
 * itself, as described under Status record.
 *
 * #### Errors
 *
 * - 18011 (`KL_ERR_NOT_CONNECTED`), 11042 (`KL_ERR_BAD_CURSOR`): no connection, or no such
 *   cursor (see Error numbers above).
 * - 18021 (`KL_ERR_STRINGS_TOO_LONG`): the texts need more than 2038 bytes; nothing was sent.
 * - 10036 (`KL_ERR_NULL_ARGUMENT`): `buffer` is NULL and `count` is above 0.
 * - 18065 (`KL_ERR_SOCKET`): see Error numbers above. The records placed before the failure
 *   stay in `buffer`; `count` and `bufflen` do not give the totals.
 * - 10021 (`KL_ERR_NO_MEMORY`): see Error numbers above.
 * - 11032 (`KL_ERR_NO_MORE_RECORDS`), from the server: fewer records than `count` were left.
 * - Other numbers come from the server (`klserver`: 20010, 20011, 20012 for a table, column or
 *   criteria it cannot use).
 *
 * #### Threads
 *
 * One call at a time (see Threads above).
 */
uint32_t KLAPI kllist(kl_long cursor, const char* options, klstatus* status, const char* table,
                      const char* columns, const char* criteria, kl_long count, char* buffer);

/** klform - read one entry of a cursor's list as a record
 *
 * `klform` sends `table`, `columns`, `options` and the entry number `list_entry` on `cursor`,
 * reads one answer record and copies its data to `buffer`, whatever the status says: the
 * `bufflen` bytes of the answer when that figure is between 0 and 1956, zeros where the answer
 * held fewer bytes; otherwise the bytes that arrived. It never writes more than 1956 bytes
 * (`KL_MAX_RECORD_BYTES`). On success the `bufflen` becomes the cursor's record length, the
 * length of the record a later `klupdate` sends. (`klserver` reads entry `list_entry`, from 1,
 * of the list the last `kllist` on the cursor made, in character form, and makes the list the
 * cursor's selection with that entry as its current record.)
 *
 * #### Arguments
 *
 * - `cursor`: a cursor number from `klopencursor`.
 * - `options`: see Options below.
 * - `status`: the caller's status record, or NULL.
 * - `table`, `columns`: passed to the server unread (`klserver`: the list's table or empty; a
 *   column list, or empty or `*` for the list's columns).
 * - `list_entry`: the entry wanted, from 1.
 * - `buffer`: the caller's area of 1956 bytes (`KL_MAX_RECORD_BYTES`); it must not be NULL.
 *
 * #### Options
 *
 * Sent whole (see Options above); `table`, `columns` and `options` share 2038 bytes, terminators
 * included.
 *
 * #### Status
 *
 * The server's status (`klserver`: `count` 1, `bufflen` the record length). On a failure the
 * library finds itself, as described under Status record.
 *
 * #### Errors
 *
 * - 18011 (`KL_ERR_NOT_CONNECTED`), 11042 (`KL_ERR_BAD_CURSOR`): no connection, or no such
 *   cursor (see Error numbers above).
 * - 18021 (`KL_ERR_STRINGS_TOO_LONG`): the texts need more than 2038 bytes; nothing was sent.
 * - 10036 (`KL_ERR_NULL_ARGUMENT`): `buffer` is NULL; nothing was sent.
 * - 18065 (`KL_ERR_SOCKET`), 10021 (`KL_ERR_NO_MEMORY`): see Error numbers above.
 * - Other numbers come from the server (`klserver`: 20013 when the cursor has no list, 20014
 *   for an entry outside it).
 *
 * #### Threads
 *
 * One call at a time (see Threads above).
 */
uint32_t KLAPI klform(kl_long cursor, const char* options, klstatus* status, const char* table,
                      const char* columns, kl_long list_entry, char* buffer);

/**
 * ## Catalogue
 */

/** klgetinfo - ask the catalogue about tables and columns
 *
 * `klgetinfo` asks the server's catalogue a question through the client instance `instance`.
 * Qualifier items say what the question is about, buffer items what each entry of the answer
 * holds (see Catalogue item codes above). The call sends the two item lists, the options and
 * the qualifier values, reads one answer record and copies the data behind its status, as it
 * arrived, to `buffer`. The answer holds `status.count` entries in `status.bufflen` bytes, each
 * entry the values of the buffer items back to back, numbers in the server's byte order. When
 * the catalogue has no more entries, the answer is 11257 (`KL_ERR_END_OF_CATALOGUE`).
 *
 * The library answers these questions itself, without a request, when the first qualifier item
 * is one of them:
 *
 * - `KL_ITEM_CLIENT_INSTANCE` (1) or `KL_ITEM_CLIENT_CURSOR` (801), followed by `KL_ITEM_NODE`
 *   (1102): `qualifiers` holds a client instance or cursor number (4 bytes, a `kl_long`), then a
 *   text that starts with the node name of `instance`, in any letter case, and a blank.
 *   `buffer` receives the server's identifier of that instance or cursor, 4 bytes.
 * - `KL_ITEM_NODE`, with the first buffer item `KL_ITEM_NODE`: `buffer` receives the node name
 *   of `instance` in upper case, blank-padded to 32 bytes.
 * - `KL_ITEM_NODE`, with the first buffer item `KL_ITEM_BYTE_ORDER` (1099): `qualifiers` starts
 *   with the node name and a blank. `buffer` receives a 32-bit 1 when the server's numbers are
 *   big-endian (the order is swapped against this machine's), else 0.
 *
 * #### Arguments
 *
 * - `instance`: a client instance number from `klconnect`.
 * - `options`: see Options below.
 * - `status`: the caller's status record, or NULL.
 * - `qualifier_items`: item codes ended by 0, at most 16 before the 0; NULL means none.
 * - `qualifiers`: the qualifier values, back to back in item order, 512 bytes at most. A
 *   value's size depends on its code: 32 bytes for 102, 202, 302, 602, 622, 672, 673 and 902
 *   (names, blank-padded); 4 bytes for 405, 604, 615, 679, 703 and 801 (numbers, in this
 *   machine's byte order); 131 bytes for 320, 630 and 670; 255 bytes for 109. It may be NULL
 *   only when there are no qualifier items.
 * - `buffer_items`: item codes ended by 0, at most 32 before the 0; NULL means none.
 * - `buffer`: the caller's area, at most 1860 bytes (4 or 32 for the questions the library
 *   answers). It must not be NULL.
 *
 * #### Options
 *
 * Sent whole (see Options above), in a 256-byte field of its own: fewer than 256 characters.
 * (`klserver` takes `COUNT=n`, the most entries to send, and a text starting with `N`, which
 * goes on after the last entry the previous question of the instance sent.)
 *
 * #### Status
 *
 * The server's status (`count` entries in `bufflen` bytes). For a question the library
 * answers, `error`, `warn`, `info` and `buffer` are cleared and the other fields keep what they
 * held. On a failure the library finds itself, as described under Status record.
 *
 * #### Errors
 *
 * - 18011 (`KL_ERR_NOT_CONNECTED`), 11008 (`KL_ERR_BAD_INSTANCE`): no connection, or no such
 *   instance (see Error numbers above).
 * - 10036 (`KL_ERR_NULL_ARGUMENT`): `buffer`, or `qualifiers` while qualifier items are given,
 *   is NULL.
 * - 11008, 11042 (`KL_ERR_BAD_CURSOR`): in a question about an instance or cursor, the number in
 *   `qualifiers` names none (`info` = `instance`).
 * - 10088 (`KL_ERR_NO_ITEM_1102`): in that question, the second qualifier item is not 1102.
 * - 18015 (`KL_ERR_NODE_MISMATCH`): the text in `qualifiers` does not start with the node name
 *   of `instance` and a blank (the status text shows it).
 * - 18032 (`KL_ERR_UNKNOWN_ITEM`): a qualifier item code whose size the library does not know,
 *   or a `KL_ITEM_NODE` question with another first buffer item.
 * - 18021 (`KL_ERR_STRINGS_TOO_LONG`): more than 16 qualifier items or 32 buffer items, values
 *   of more than 512 bytes, or options of 256 characters or more; nothing was sent.
 * - 18065 (`KL_ERR_SOCKET`), 10021 (`KL_ERR_NO_MEMORY`): see Error numbers above.
 * - 11257 (`KL_ERR_END_OF_CATALOGUE`), from the server: no more entries; stop asking.
 * - Other numbers come from the server (`klserver`: 20010, 20011 for a table or column it does
 *   not have, 20018 for an unknown buffer item or option).
 *
 * #### Threads
 *
 * One call at a time (see Threads above).
 *
 * #### Example
 *
 * ```c
 * // Every table with its number of rows; swapped: KL_ITEM_BYTE_ORDER's answer.
 * const kl_long none[] = {0};
 * const kl_long items[] = {KL_ITEM_TABLE, KL_ITEM_TABLE_ROWS, 0}; // 32 + 4 bytes an entry
 * char area[1860];
 * const char* options = "";
 * while (klgetinfo(instance, options, &status, none, NULL, items, area) == 0) {
 *     for (kl_long i = 0; i < status.count; i++) {
 *         kl_long rows;
 *         memcpy(&rows, area + 36 * i + 32, 4);
 *         if (swapped) ltol(rows, &rows);
 *         printf("%.32s %ld\n", area + 36 * i, (long)rows);
 *     }
 *     options = "N"; // the entries after those
 * }
 * // status.error is KL_ERR_END_OF_CATALOGUE after the last table
 * ```
 */
uint32_t KLAPI klgetinfo(kl_long instance, const char* options, klstatus* status,
                         const kl_long* qualifier_items, const char* qualifiers,
                         const kl_long* buffer_items, char* buffer);

/** klgetindexinfo - read the indexes of a table
 *
 * `klgetindexinfo` sends `options` and `table`, in that order, through the client instance
 * `instance`, reads one answer record and copies the data behind its status, as it arrived, to
 * `buffer`: at most 1860 bytes. The layout of the data is the server's; its numbers are in the
 * server's byte order (see `KL_ITEM_BYTE_ORDER`). (`klserver`: `count` indexes of 104 bytes
 * each, at most 17: the name, 32 bytes blank-padded; a 32-bit 1 when the index is unique, else
 * 0; a 32-bit number of columns; the column names, comma-separated, 64 bytes blank-padded.)
 *
 * #### Arguments
 *
 * - `instance`: a client instance number from `klconnect`.
 * - `options`: see Options below.
 * - `status`: the caller's status record, or NULL.
 * - `table`: the table's name.
 * - `buffer`: the caller's area, at most 1860 bytes. It must not be NULL.
 *
 * #### Options
 *
 * Sent whole (see Options above); `options` and `table` share 2038 bytes, terminators included.
 * (`klserver` takes none.)
 *
 * #### Status
 *
 * The server's status (`klserver`: `count` indexes in `bufflen` bytes). On a failure the
 * library finds itself, as described under Status record.
 *
 * #### Errors
 *
 * - 18011 (`KL_ERR_NOT_CONNECTED`), 11008 (`KL_ERR_BAD_INSTANCE`): no connection, or no such
 *   instance (see Error numbers above).
 * - 18021 (`KL_ERR_STRINGS_TOO_LONG`): the texts need more than 2038 bytes; nothing was sent.
 * - 10036 (`KL_ERR_NULL_ARGUMENT`): `buffer` is NULL; nothing was sent.
 * - 18065 (`KL_ERR_SOCKET`), 10021 (`KL_ERR_NO_MEMORY`): see Error numbers above.
 * - Other numbers come from the server (`klserver`: 20010 for a table it does not have).
 *
 * #### Threads
 *
 * One call at a time (see Threads above).
 */
uint32_t KLAPI klgetindexinfo(kl_long instance, const char* options, klstatus* status,
                              const char* table, char* buffer);

/**
 * ## Pass-through
 */

/** klexternal - run a routine of a library on the server
 *
 * `klexternal` asks the server, through the client instance `instance`, to run `routine` of the
 * server-side library `library` on `in_length` bytes of `input`, and to send back `out_length`
 * bytes of output. It sends a header, then the input in records of up to 2046 bytes, and reads
 * one answer, a status record. When its `error` is 0, the output follows in records of up to
 * 1955 bytes each, ceil(`out_length` / 1955) of them; each piece goes to its place in
 * `output`, and bytes that a short record did not carry keep what the caller had there.
 * (`klserver` has the library `builtin` with the routines `echo`, `upper`, `reverse` and
 * `length`; it sends the result cut to `out_length`, then zeros.)
 *
 * #### Arguments
 *
 * - `instance`: a client instance number from `klconnect`.
 * - `options`: see Options below.
 * - `status`: the caller's status record, or NULL.
 * - `reserved`: not used.
 * - `library`, `routine`: names of fewer than 255 characters each.
 * - `input`: the call reads `in_length` bytes from it.
 * - `in_length`: 0 or more.
 * - `output`: the caller's area of `out_length` bytes; the call writes at most that many.
 * - `out_length`: 0 or more.
 *
 * `options`, `library`, `routine`, `input` and `output` must not be NULL, also when a length is
 * 0.
 *
 * #### Options
 *
 * Sent whole (see Options above): fewer than 79 characters, not NULL. (`klserver` takes none.)
 *
 * #### Status
 *
 * The status of the answer; the output records do not change it (`klserver`: `bufflen` the
 * length of the result). On a failure the library finds itself, as described under Status
 * record.
 *
 * #### Errors
 *
 * - 18011 (`KL_ERR_NOT_CONNECTED`), 11008 (`KL_ERR_BAD_INSTANCE`): no connection, or no such
 *   instance (see Error numbers above).
 * - 10036 (`KL_ERR_NULL_ARGUMENT`): a pointer is NULL; the status text names the last NULL one
 *   (`in`, `out`, `options`, `library`, `routine`).
 * - 18021 (`KL_ERR_STRINGS_TOO_LONG`): `options` of 79 characters or more, or `library` or
 *   `routine` of 255 or more (the status text names it); nothing was sent.
 * - 5541 (`KL_ERR_NEGATIVE_LENGTH`): `in_length` or `out_length` is below 0 (`info` = the
 *   length, the status text names it); nothing was sent.
 * - 18065 (`KL_ERR_SOCKET`): see Error numbers above; also while output records are read.
 * - 10021 (`KL_ERR_NO_MEMORY`): see Error numbers above.
 * - Other numbers come from the server (`klserver`: 20019 for an unknown library or routine).
 *
 * #### Threads
 *
 * One call at a time (see Threads above).
 */
uint32_t KLAPI klexternal(kl_long instance, const char* options, klstatus* status, kl_long reserved,
                          const char* library, const char* routine, const char* input,
                          kl_long in_length, char* output, kl_long out_length);

/** klcommand - send a command to the server
 *
 * `klcommand` sends `input_length` bytes of `input` to the server as a command, through the
 * client instance `instance`: a header, then the input in records of up to 2046 bytes. It reads
 * one answer, a status record alone. `output` and `output_length` are checked as `klexternal`
 * checks its output, but nothing is written to `output`: the request carries no output length.
 * (`klserver` takes the commands `BEGIN`, `COMMIT`, `ROLLBACK` and `PING`.)
 *
 * #### Arguments
 *
 * - `instance`: a client instance number from `klconnect`.
 * - `options`: see Options below.
 * - `status`: the caller's status record, or NULL.
 * - `reserved`: not used.
 * - `input`: the command; the call reads `input_length` bytes from it.
 * - `input_length`: 0 or more.
 * - `output`: not written; it must not be NULL.
 * - `output_length`: 0 or more; not used otherwise.
 *
 * #### Options
 *
 * Sent whole (see Options above): fewer than 79 characters, not NULL. (`klserver` takes none.)
 *
 * #### Status
 *
 * The server's status. On a failure the library finds itself, as described under Status record.
 *
 * #### Errors
 *
 * - 18011 (`KL_ERR_NOT_CONNECTED`), 11008 (`KL_ERR_BAD_INSTANCE`): no connection, or no such
 *   instance (see Error numbers above).
 * - 10036 (`KL_ERR_NULL_ARGUMENT`): a pointer is NULL; the status text names the last NULL one
 *   (`input`, `output`, `options`).
 * - 18021 (`KL_ERR_STRINGS_TOO_LONG`): `options` of 79 characters or more; nothing was sent.
 * - 5541 (`KL_ERR_NEGATIVE_LENGTH`): `input_length` or `output_length` is below 0 (`info` = the
 *   length, the status text names it); nothing was sent.
 * - 18065 (`KL_ERR_SOCKET`), 10021 (`KL_ERR_NO_MEMORY`): see Error numbers above.
 * - Other numbers come from the server (`klserver`: 20022 for `BEGIN` in a transaction or
 *   `COMMIT` or `ROLLBACK` outside one, 20018 for any other command).
 *
 * #### Threads
 *
 * One call at a time (see Threads above).
 *
 * #### Example
 *
 * ```c
 * char unused[1];
 * if (klcommand(instance, "", &status, 0, "BEGIN", 5, unused, 0) != 0)
 *     return; // status.error says why
 * ```
 */
uint32_t KLAPI klcommand(kl_long instance, const char* options, klstatus* status, kl_long reserved,
                         const char* input, kl_long input_length, char* output,
                         kl_long output_length);

/**
 * ## Message texts
 *
 * `klerror` and `apierror` write a message text into an area of `KL_MESSAGE_SIZE` (256) bytes
 * that the caller provides. The text and its terminator always fit.
 */
#define KL_MESSAGE_SIZE 256

/** klerror - the message text for the status of a failed call
 *
 * `klerror` writes the text that explains `status->error` into `message` and returns
 * `message`. It looks in three places, in this order:
 *
 * 1. The local message file. The first `klerror` call of the process reads its name from
 *    `talvern.ini` (in the folder `KL_WINDIR` names; without it, in the Windows directory on
 *    Windows and in `/etc` on Linux), section `[Kelora]`, key `KLGlobal`, and keeps it; a name
 *    without a directory part is looked for in the same folder. The file's section
 *    `[ENVIRONMENT KLGLOBAL]` holds one text per key: `KLMSG_` and the error number with at
 *    least five digits (`KLMSG_11042`; for a negative number `KLMSG-00003`), and for 18065
 *    `SOCKMSG_` and the socket error of `info` (`SOCKMSG_10054`). The status's context text
 *    follows a text found there in parentheses, as far as the 256 bytes allow:
 *    `Cursor not open (client cursor)`.
 * 2. The server, when the file has no text for the number and the library is connected. The
 *    call sends the whole status record and `options`, and takes the answer's text, at most 255
 *    characters. The answer's status replaces the caller's record (`klserver` sends the same
 *    status back).
 * 3. The library's own texts. When `talvern.ini` names no message file, the first `klerror`
 *    call writes a text saying that the message file could not be located, and asks no server;
 *    later calls ask the server only. Whenever neither the file nor the server gives a text
 *    (no text for the number, not connected, another call in progress, a failed exchange),
 *    `message` holds a text saying that the file or the message could not be found.
 *
 * #### Arguments
 *
 * - `status`: the status record of the failed call. It is read, sent to the server when the
 *   server is asked, and replaced by the server's answer.
 * - `options`: see Options below.
 * - `message`: the caller's area of 256 bytes (`KL_MESSAGE_SIZE`); it receives the text with
 *   its terminator.
 *
 * When `status` or `message` is NULL, nothing is done and `message` is returned.
 *
 * #### Options
 *
 * Sent in an 80-byte field (see Options above), only when the server is asked.
 *
 * #### Status
 *
 * Changed only when the server gives the text: the answer's status, all 92 bytes.
 *
 * #### Errors
 *
 * None: `klerror` returns `message`, not a result code, and sets no error of its own. A failed
 * exchange with the server is not reported, but the library closes the connection, so later
 * calls fail with 18011 (see Error numbers above).
 *
 * #### Threads
 *
 * The local message file may be read at any time, also while another thread's call is in
 * progress. Asking the server takes its turn like any call; when another call is in progress,
 * `klerror` does not ask (see Threads above).
 *
 * #### Example
 *
 * ```c
 * char text[KL_MESSAGE_SIZE] = "";
 * if (klselect(cursor, "", &status, "invoices", "", "") != 0) {
 *     klerror(&status, "", text);
 *     fprintf(stderr, "klselect: %s [error %ld]\n", text, (long)status.error);
 * }
 * ```
 */
char* KLAPI klerror(klstatus* status, const char* options, char* message);

/** apierror - the message text for a result code
 *
 * `apierror` writes a text for the result code `result` into `message`, by its category
 * (bits 24..31; see Result codes above):
 *
 * - 0 (`KL_CAT_KELORA`): `KELORA:  ` followed by the text `klerror` gives for `status`, with no
 *   options; with a NULL `status`, `KELORA:  ` alone. The text explains `status->error`, which
 *   for a category-0 result is the result itself.
 * - 1 (`KL_CAT_CLIENT`) or 8 (`KL_CAT_HOST`): `Client (PC):  ` or `Server (HOST):  `,
 *   followed by the string numbered by bits 0..15 of `result` in the application's string
 *   table. On Windows that is the program's own string resources; on Linux the section
 *   `[strings]` of the profile file that `KL_STRINGS` names, one `number=text` line per string
 *   (`18011=Not connected`). Without such a string: `Unknown error.`, and the result 18003.
 * - 3 (`KL_CAT_SOCKETS`): `Sockets communication error #N`, N being bits 0..15.
 * - Any other: `Client (PC):  unknown error category (subsystem).`, and the result 18012.
 *
 * #### Arguments
 *
 * - `result`: the result code of a failed call.
 * - `status`: the status record of that call, for category 0; may be NULL.
 * - `message`: the caller's area of 256 bytes (`KL_MESSAGE_SIZE`); it receives the text with
 *   its terminator.
 *
 * #### Options
 *
 * None.
 *
 * #### Status
 *
 * Not changed by `apierror` itself; for category 0, `klerror` may replace it with the server's
 * answer.
 *
 * #### Errors
 *
 * The result is 0 when a text was written, else category 1 (`KL_MAKE_RESULT(KL_CAT_CLIENT, n)`):
 *
 * - 10036 (`KL_ERR_NULL_ARGUMENT`): `message` is NULL; nothing was written.
 * - 18003 (`KL_ERR_UNKNOWN_CATEGORY`): the string table has no text for the number; `message`
 *   holds the category's name and `Unknown error.`.
 * - 18012 (`KL_ERR_UNKNOWN_ERROR_CATEGORY`): a category without texts (2, 4 to 7, 9 and up);
 *   `message` says so.
 * - 10021 (`KL_ERR_NO_MEMORY`): see Error numbers above.
 *
 * #### Threads
 *
 * May be called at any time, also while another thread's call is in progress; for category 0,
 * as `klerror` (see Threads above).
 */
uint32_t KLAPI apierror(uint32_t result, klstatus* status, char* message);

/**
 * ## Information
 */

/** apiinfo, apihostversion, apiversion - version and host information
 *
 * `apiinfo` answers the question its `options` text names. Only the first eight characters
 * count, in any letter case, so `clientve`, `clientversion` and `CLIENTVERSIONS` are alike;
 * a shorter text names no question.
 *
 * - `hosttype`: writes the host type of the server last connected to, a 16-bit number, 2 bytes:
 *   1 when the server's numbers are little-endian, 2 or 3 when they are big-endian; 0 before
 *   the first connection.
 * - `clientversion`: writes the library's version text with its terminator, 7 bytes
 *   (`"1.6.25"`, `KLSRV32_VERSION_TEXT`).
 * - `hostversion`: asks the server for its version and writes its 8 bytes of text, with no
 *   terminator (`klserver`: `KLS 1.0` and a blank). A shorter answer is padded with zeros, a
 *   longer one is cut to 8 bytes.
 *
 * `apihostversion` does what `apiinfo` does with `hostversion`. `apiversion` writes the
 * library's version text, 7 bytes, as `clientversion` does, and then shows two information
 * boxes of fixed content (the versions, and connection statistics that are all 0). On Windows
 * they are modal message boxes, which wait for the user to close them; on Linux, and on Windows
 * with `KL_MSGBOX=stderr`, their title and text go to standard error.
 *
 * #### Arguments
 *
 * - `reserved`, `reserved_pointer` (`apiinfo`): not used.
 * - `options` (`apiinfo`): the question, as above.
 * - `result`: the caller's area: 2 bytes for `hosttype`, 7 for `clientversion` and
 *   `apiversion`, 8 for `hostversion` and `apihostversion`. It must not be NULL.
 *
 * #### Options
 *
 * `apiinfo` reads its `options` as the question above; any other text, and NULL, fails with
 * 18006. `apihostversion` and `apiversion` take none.
 *
 * #### Status
 *
 * None: these calls take no status record; the result code tells the outcome.
 *
 * #### Errors
 *
 * The result is 0 on success, else category 1 (`KL_MAKE_RESULT(KL_CAT_CLIENT, n)`):
 *
 * - 18006 (`KL_ERR_OPTION_REJECTED`, `apiinfo`): `options` names no question.
 * - 10036 (`KL_ERR_NULL_ARGUMENT`): `result` is NULL; nothing was written or sent.
 * - 18002 (`KL_ERR_CALL_IN_PROGRESS`, the host version): another thread's call is in progress;
 *   nothing was sent. Ask again later.
 * - 18011 (`KL_ERR_NOT_CONNECTED`, the host version): the library has no connection.
 * - 18065 (`KL_ERR_SOCKET`, the host version): the exchange failed; nothing was written. The
 *   library closes the connection (see Error numbers above).
 * - 10021 (`KL_ERR_NO_MEMORY`): see Error numbers above.
 *
 * #### Threads
 *
 * `apiinfo` with `hosttype` or `clientversion`, and `apiversion`, may be called at any time,
 * also while another thread's call is in progress. The host version takes its turn; a call
 * made while another is in progress gives 18002 (see Threads above).
 */
uint32_t KLAPI apiinfo(kl_long reserved, const char* options, void* reserved_pointer, void* result);
uint32_t KLAPI apihostversion(void* result);
uint32_t KLAPI apiversion(void* result);

/**
 * ## Byte order
 */

/** itoi, ltol - store a 16- or 32-bit number with its bytes reversed
 *
 * `itoi` stores the two bytes of `value` at `target`, most significant byte first, and `ltol`
 * the four bytes of `value`. Each returns the number read back from `target` in this machine's
 * order. On the little-endian machines the library runs on, that is `value` with its bytes
 * reversed: `itoi(0x1234, &x)` returns 0x3412. Use them on numbers that a call hands over in
 * the server's byte order (the data of `klgetinfo` and `klgetindexinfo`) when the server's
 * numbers are big-endian (`KL_ITEM_BYTE_ORDER`).
 *
 * #### Arguments
 *
 * - `value`: the number.
 * - `target`: where the bytes go: 2 bytes (`itoi`) or 4 bytes (`ltol`), at any alignment. It may
 *   be the number's own storage (`ltol(v, &v)`). With NULL, nothing is stored and the reversed
 *   number is only returned.
 *
 * #### Options
 *
 * None.
 *
 * #### Status
 *
 * None: no status record.
 *
 * #### Errors
 *
 * None: the result is the reversed number.
 *
 * #### Threads
 *
 * May be called at any time, from any thread: they touch no state of the library.
 */
int16_t KLAPI itoi(int16_t value, void* target);
kl_long KLAPI ltol(kl_long value, void* target);

#ifdef __cplusplus
}
#endif

#endif /* KLSRV32_H */
