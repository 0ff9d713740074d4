/*
 * klsrv32.h - client access library for the Kelora database access server.
 *
 * Applications call these functions to reach a remote server: connect,
 * open cursors, select and fetch records, describe and bind columns,
 * insert, update and delete rows, read catalogue information, pass
 * commands through, and turn failures into message texts.  Every call
 * fills the caller's status record and returns a 32-bit result code.
 *
 * The header is plain C and usable from C and C++.  Integers that travel
 * as 32-bit values use kl_long, which is `long` on Windows (32 bits there,
 * so applications written with `long` compile unchanged) and int32_t
 * elsewhere.  Result codes are uint32_t.
 */
#ifndef KLSRV32_H
#define KLSRV32_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
typedef long kl_long;
#else
typedef int32_t kl_long;
#endif

/* Calling convention of the exported functions: the caller removes the
 * arguments (cdecl) on 32-bit Windows; the platform default elsewhere. */
#if defined(_WIN32) && !defined(_WIN64)
#define KLAPI __cdecl
#else
#define KLAPI
#endif

/* KLSRV32_VERSION_TEXT ("1.6.25") and KLSRV32_VERSION_NUMBER (10625):
 * written from the project version when the library is built. */
#include "klsrv32_version.h"

#ifdef __cplusplus
extern "C" {
#endif

#pragma pack(push, 1)

/* Status record: the caller owns it, the library fills it.  It has the
 * same 92-byte layout as the status answer on the wire. */
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

/* Version record returned by klversion (104 bytes). */
typedef struct klversion_record {
    char na_name[8];       /* network access name, NUL-terminated */
    char description[60];  /* NUL-terminated */
    kl_long version;       /* version number */
    char version_text[32]; /* NUL-terminated */
} klversion_record;

/* Column description of kldescribe and klbind (220 bytes), as the server
 * fills it.  The library carries it unread but for its eleven 32-bit
 * numbers (number, and the ten from type on), which follow the byte order
 * of the other numbers. */
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

/* Result codes: bits 24..31 category, bits 16..23 sub-code, bits 0..15
 * error number. */
#define KL_RESULT_CATEGORY(rc) ((unsigned)(((uint32_t)(rc) >> 24) & 0xFFu))
#define KL_RESULT_SUBCODE(rc) ((unsigned)(((uint32_t)(rc) >> 16) & 0xFFu))
#define KL_RESULT_NUMBER(rc) ((unsigned)((uint32_t)(rc)&0xFFFFu))
#define KL_MAKE_RESULT(category, number)                                                           \
    ((uint32_t)(((uint32_t)(category) << 24) | ((uint32_t)(number)&0xFFFFu)))

/* Categories of a result code. */
#define KL_CAT_KELORA 0  /* library and server errors */
#define KL_CAT_CLIENT 1  /* client (PC) side */
#define KL_CAT_PPL 2     /* PPL transport */
#define KL_CAT_SOCKETS 3 /* sockets; the number is a Windows Sockets error */
#define KL_CAT_HOST 8    /* server host */

/* Error numbers the library sets by itself.  Numbers from the server
 * arrive in the status untouched. */
#define KL_ERR_NEGATIVE_LENGTH 5541      /* a length argument is negative */
#define KL_ERR_NOT_ENVIRONMENT 9948      /* no [environment] name entry */
#define KL_ERR_NO_MEMORY 10021           /* allocation failed; info = errno */
#define KL_ERR_NULL_ARGUMENT 10036       /* required pointer is null */
#define KL_ERR_OPTIONS_TOO_LONG 10037    /* options of 256 characters or more */
#define KL_ERR_NO_ITEM_1102 10088        /* local item not followed by 1102 */
#define KL_ERR_BAD_INSTANCE 11008        /* invalid client instance number */
#define KL_ERR_NO_MORE_RECORDS 11032     /* server: no more records */
#define KL_ERR_BAD_CURSOR 11042          /* invalid client cursor number */
#define KL_ERR_END_OF_CATALOGUE 11257    /* server: end of catalogue answers */
#define KL_ERR_TRANSPORT_WRQPPL 12007    /* transport not carried */
#define KL_ERR_BAD_CATEGORY_NUMBER 18001 /* category-0 number above 0xFFFFFF */
#define KL_ERR_CALL_IN_PROGRESS 18002    /* another call is in progress */
#define KL_ERR_UNKNOWN_CATEGORY 18003    /* unknown category; no text */
#define KL_ERR_ALREADY_CONNECTED 18004   /* connected to the same server */
#define KL_ERR_OPTION_REJECTED 18006     /* an option string was rejected */
#define KL_ERR_NOT_CONNECTED 18011       /* no server connection */
#define KL_ERR_UNKNOWN_ERROR_CATEGORY 18012
#define KL_ERR_LOG_OPEN 18013          /* trace log cannot be opened */
#define KL_ERR_NODE_MISMATCH 18015     /* node name does not match */
#define KL_ERR_STRINGS_TOO_LONG 18021  /* strings do not fit the request */
#define KL_ERR_UNKNOWN_ITEM 18032      /* unknown catalogue item */
#define KL_ERR_DISPATCH_SHORT 18050    /* short dispatcher send/receive */
#define KL_ERR_BAD_IP_ADDRESS 18057    /* invalid IP address */
#define KL_ERR_NO_TABLES 18058         /* control tables do not exist */
#define KL_ERR_BOTH_GIVEN 18060        /* host+address or service+port */
#define KL_ERR_RECORD_BLOCK 18061      /* control block not recorded */
#define KL_ERR_ENVIRONMENT_ENTRY 18064 /* environment entry missing/invalid */
#define KL_ERR_SOCKET 18065            /* socket failure; info = WSA error */
#define KL_ERR_PPL 18066               /* PPL transport failure */
#define KL_ERR_TRANSPORT 18067         /* category 1/8 transport failure */
#define KL_ERR_OTHER_SERVER 18069      /* connected to a different server */
#define KL_ERR_STANDALONE 18070        /* dispatcher: standalone mode */

/* Column type codes: the type of a column in its description (klcolumn_description.type)
 * and in catalogue buffer item KL_ITEM_COLUMN_TYPE. */
#define KL_TYPE_CHAR 100    /* fixed character, blank-padded */
#define KL_TYPE_VARCHAR 201 /* variable character, NUL-padded */
#define KL_TYPE_INTEGER 400 /* 32-bit signed */
#define KL_TYPE_FLOAT 800   /* IEEE 754 double */
#define KL_TYPE_DATE 1300   /* YYYYMMDD */

/* Catalogue item codes of klgetinfo.  Names travel blank-padded to
 * KL_NAME_FIELD_SIZE bytes; the other values are 32-bit numbers. */
#define KL_ITEM_CLIENT_INSTANCE 1    /* qualifier: a client instance number, then KL_ITEM_NODE */
#define KL_ITEM_TABLE 202            /* table name; "*" names all columns */
#define KL_ITEM_TABLE_COLUMNS 203    /* buffer: number of columns of the table */
#define KL_ITEM_TABLE_ROWS 204       /* buffer: number of rows of the table */
#define KL_ITEM_COLUMN 302           /* column name */
#define KL_ITEM_COLUMN_TYPE 305      /* buffer: type code (KL_TYPE_...) */
#define KL_ITEM_COLUMN_LENGTH 306    /* buffer: length in the record */
#define KL_ITEM_COLUMN_NUMBER 307    /* buffer: column number, from 1 */
#define KL_ITEM_CHARACTER_LENGTH 308 /* buffer: length in character form */
#define KL_ITEM_OCCURRENCES 310      /* buffer: occurrences */
#define KL_ITEM_CLIENT_CURSOR 801    /* qualifier: a client cursor number, then KL_ITEM_NODE */
#define KL_ITEM_BYTE_ORDER 1099      /* buffer, after KL_ITEM_NODE: 1 when numbers are swapped */
#define KL_ITEM_NODE 1102            /* the instance's node name */
#define KL_NAME_FIELD_SIZE 32

/* The width of a number column (integer, float) in character form. */
#define KL_CHARACTER_NUMBER_WIDTH 32

/* Connection */
uint32_t KLAPI klconnect(const char* environment, const char* options, klstatus* status,
                         const char* username, const char* password, kl_long* instance);
uint32_t KLAPI kldisconnect(kl_long instance, const char* options, klstatus* status);

/* Cursors and version */
uint32_t KLAPI klopencursor(kl_long instance, const char* options, klstatus* status,
                            kl_long* cursor);
uint32_t KLAPI klclosecursor(kl_long cursor, const char* options, klstatus* status);
/* klversion with an empty node name gives the library's own record (one);
 * with the instance's node name, the records the server announces in
 * status.count, which records must have room for: at most
 * KL_VERSION_MAX_RECORDS of them.  An answer that announces more is
 * malformed: the call fails with 18065 (info 0, status.count 0), writes
 * nothing to records and closes the connection, so later calls on it
 * fail with 18011. */
#define KL_VERSION_MAX_RECORDS 1024
uint32_t KLAPI klversion(kl_long instance, const char* options, klstatus* status, const char* node,
                         kl_long server_arg, klversion_record* records);

/* Selection */
uint32_t KLAPI klqualify(kl_long cursor, const char* options, klstatus* status, const char* owner,
                         const char* table, const char* column, const char* criteria);
uint32_t KLAPI klselect(kl_long cursor, const char* options, klstatus* status, const char* table,
                        const char* column, const char* criteria);

/* Fetch
 *
 * klfetch (and kllist below) read answer records until count records have
 * arrived or the server reports an error, and place each answer's data at
 * the running offset that the server's bufflen values add up to.  Each
 * answer moves the offset on by its bufflen but never by more than the
 * data bytes it carried (at most KL_MAX_RECORD_BYTES) and never backwards,
 * so the most either call ever places is count * KL_MAX_RECORD_BYTES
 * bytes: an area of that size is safe whatever the server sends.  A
 * server whose bufflen matches its data fills the area without gaps.  On
 * return status.count holds the records received and status.bufflen the
 * bytes placed. */
#define KL_MAX_RECORD_BYTES 1956 /* data of one answer record: 2048 less the status */
uint32_t KLAPI klfetch(kl_long cursor, const char* options, klstatus* status, kl_long count,
                       char* records);
uint32_t KLAPI klfetchkeys(kl_long cursor, const char* options, klstatus* status, kl_long num_keys,
                           char* keys);

/* Columns and values */
uint32_t KLAPI kldescribe(kl_long cursor, const char* options, klstatus* status,
                          kl_long num_columns, char* descriptions);
uint32_t KLAPI klbind(kl_long cursor, const char* options, klstatus* status, kl_long num_columns,
                      const char* descriptions);
uint32_t KLAPI klassignvalues(kl_long cursor, const char* options, klstatus* status,
                              const char* label, kl_long num_values, const char* values);

/* Join */
uint32_t KLAPI kljoin(kl_long cursor, const char* options, klstatus* status, const char* from_table,
                      const char* from_column, kl_long reserved, const char* to_table,
                      const char* to_column);
uint32_t KLAPI kljoin303(kl_long cursor, const char* options, klstatus* status,
                         const char* from_table, const char* from_column, const char* to_table,
                         const char* to_column);

/* Calculation and export */
uint32_t KLAPI klcalc(kl_long cursor, const char* options, klstatus* status, const char* from_table,
                      const char* from_column, char* result);
uint32_t KLAPI klexport(kl_long cursor, const char* options, klstatus* status, const char* node,
                        const char* filename);

/* Insertion */
uint32_t KLAPI klinsert(kl_long instance, const char* options, klstatus* status, const char* table,
                        const char* columns, const char* values);

/* Update and deletion */
uint32_t KLAPI klupdate(kl_long cursor, const char* options, klstatus* status, const char* table,
                        const char* columns, const char* buffer);
uint32_t KLAPI kldelete(kl_long cursor, const char* options, klstatus* status, const char* table);

/* List and form.  kllist places its records as klfetch does: at most
 * count * KL_MAX_RECORD_BYTES bytes of buffer. */
uint32_t KLAPI kllist(kl_long cursor, const char* options, klstatus* status, const char* table,
                      const char* columns, const char* criteria, kl_long count, char* buffer);
uint32_t KLAPI klform(kl_long cursor, const char* options, klstatus* status, const char* table,
                      const char* columns, kl_long list_entry, char* buffer);

/* Catalogue */
uint32_t KLAPI klgetinfo(kl_long instance, const char* options, klstatus* status,
                         const kl_long* qualifier_items, const char* qualifiers,
                         const kl_long* buffer_items, char* buffer);
uint32_t KLAPI klgetindexinfo(kl_long instance, const char* options, klstatus* status,
                              const char* table, char* buffer);

/* Pass-through */
uint32_t KLAPI klexternal(kl_long instance, const char* options, klstatus* status, kl_long reserved,
                          const char* library, const char* routine, const char* input,
                          kl_long in_length, char* output, kl_long out_length);
uint32_t KLAPI klcommand(kl_long instance, const char* options, klstatus* status, kl_long reserved,
                         const char* input, kl_long input_length, char* output,
                         kl_long output_length);

/* Message texts; message is a KL_MESSAGE_SIZE-byte area. */
#define KL_MESSAGE_SIZE 256
char* KLAPI klerror(klstatus* status, const char* options, char* message);

/* Information */
/* apierror: the text of a result code of an information call, in a
 * KL_MESSAGE_SIZE-byte area. */
uint32_t KLAPI apierror(uint32_t result, klstatus* status, char* message);
uint32_t KLAPI apiinfo(kl_long reserved, const char* options, void* reserved_pointer, void* result);
uint32_t KLAPI apihostversion(void* result);
uint32_t KLAPI apiversion(void* result);

/* Byte order: store the value byte-reversed at target and return the
 * value read back from there (the input with its bytes exchanged). */
int16_t KLAPI itoi(int16_t value, void* target);
kl_long KLAPI ltol(kl_long value, void* target);

#ifdef __cplusplus
}
#endif

#endif /* KLSRV32_H */
