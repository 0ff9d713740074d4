// The facts of the wire protocol that the library (src/) and the reference
// server (server/) must agree on, in one place: function codes, record and
// area sizes, the catalogue items with the sizes of their values, and the
// dispatcher's words.  The codes applications use too (column types,
// catalogue items, error numbers) are defined in the public header,
// klsrv32.h, and only used here.
//
// Not here, on purpose: the code that frames records into fragments and
// back.  The library (src/transport/record_stream.cpp) and the server
// (server/wire.cpp) each have their own, written apart, so that one cannot
// share a mistake of the other; the tests' wire bytes check both.
#pragma once

#include <cstddef>
#include <cstdint>

#include "klsrv32.h"

namespace protocol {

// Function codes: the first 16-bit field of every request.
inline constexpr std::uint16_t code_host_version = 250;
inline constexpr std::uint16_t code_connect = 301;
inline constexpr std::uint16_t code_disconnect = 302;
inline constexpr std::uint16_t code_open_cursor = 303;
inline constexpr std::uint16_t code_close_cursor = 304;
inline constexpr std::uint16_t code_qualify = 305;
inline constexpr std::uint16_t code_fetch_keys = 306;
inline constexpr std::uint16_t code_select = 307;
inline constexpr std::uint16_t code_fetch = 308;
inline constexpr std::uint16_t code_join = 309;
inline constexpr std::uint16_t code_describe = 310;
inline constexpr std::uint16_t code_bind = 311;
inline constexpr std::uint16_t code_assign_values = 312;
inline constexpr std::uint16_t code_insert = 314;
inline constexpr std::uint16_t code_update = 315;
inline constexpr std::uint16_t code_delete = 316;
inline constexpr std::uint16_t code_message = 317;
inline constexpr std::uint16_t code_list = 318;
inline constexpr std::uint16_t code_form = 319;
inline constexpr std::uint16_t code_get_info = 320;
inline constexpr std::uint16_t code_index_info = 321;
inline constexpr std::uint16_t code_calc = 323;
inline constexpr std::uint16_t code_export = 324;
inline constexpr std::uint16_t code_command = 325;
inline constexpr std::uint16_t code_external = 326;
inline constexpr std::uint16_t code_version = 327;

// Every function code, in order (for tables and fuzzers that go through
// all of them).
inline constexpr std::uint16_t function_codes[] = {
    code_host_version, code_connect,    code_disconnect,    code_open_cursor, code_close_cursor,
    code_qualify,      code_fetch_keys, code_select,        code_fetch,       code_join,
    code_describe,     code_bind,       code_assign_values, code_insert,      code_update,
    code_delete,       code_message,    code_list,          code_form,        code_get_info,
    code_index_info,   code_calc,       code_export,        code_command,     code_external,
    code_version};

// The status record every answer opens with (klstatus), and its text.
inline constexpr std::size_t status_size = sizeof(klstatus);               // 92
inline constexpr std::size_t status_text_size = sizeof(klstatus{}.buffer); // 36
static_assert(status_size == 92 && status_text_size == 36);

// The largest request and answer records the library builds and reads,
// and the data an answer record carries behind its status.
inline constexpr std::size_t record_area_size = 2048;
inline constexpr std::size_t answer_data_size = record_area_size - status_size; // 1956
static_assert(answer_data_size == KL_MAX_RECORD_BYTES,
              "the fetch and list bound is the data one answer area holds");
// Room the texts of a packed-string request share (behind code and id).
inline constexpr std::size_t string_area_size = 2038;
// The options field of the fixed-header requests (code, id, a 32-bit
// count, options: 90 bytes) and of the other requests that carry one.
inline constexpr std::size_t options_field_size = 80;
inline constexpr std::size_t fixed_header_size = 2 + 4 + 4 + options_field_size; // 90
// The area of insert and update requests holding table, columns and
// options, packed from its start.
inline constexpr std::size_t row_string_area_size = 256;
// The label of an assign-values request, behind the fixed header.
inline constexpr std::size_t label_field_size = 8;
// The one answer record of the catalogue, index information and calc
// requests: a status and at most 1860 bytes of data.
inline constexpr std::size_t short_answer_size = 1952;
inline constexpr std::size_t short_answer_data_size = short_answer_size - status_size; // 1860
// The host version answer: 8 bytes of text, no status.
inline constexpr std::size_t host_version_size = 8;
// A message area (klerror's and apierror's) and the server message answer.
inline constexpr std::size_t message_size = KL_MESSAGE_SIZE;

// Column descriptions (kldescribe, klbind): 220-byte records, six to a
// record, behind the server's 92-byte header or the client's two zero
// bytes.  Their eleven 32-bit numbers (offset 0, and the ten from 172 on)
// follow the byte-order rule.
inline constexpr std::size_t description_size = sizeof(klcolumn_description); // 220
inline constexpr std::size_t descriptions_per_record = 6;
inline constexpr std::size_t description_chunk_size =
    description_size * descriptions_per_record; // 1320
inline constexpr std::size_t bind_chunk_lead = 2;
inline constexpr std::size_t description_number_offsets[] = {
    offsetof(klcolumn_description, number),           offsetof(klcolumn_description, type),
    offsetof(klcolumn_description, length),           offsetof(klcolumn_description, offset),
    offsetof(klcolumn_description, character_length), offsetof(klcolumn_description, occurrences),
    offsetof(klcolumn_description, character),        offsetof(klcolumn_description, nullable),
    offsetof(klcolumn_description, primary_key),      offsetof(klcolumn_description, reserved204),
    offsetof(klcolumn_description, reserved208)};

// Version records (klversion): 104 bytes, 18 to an answer record.
inline constexpr std::size_t version_record_size = sizeof(klversion_record);
inline constexpr std::size_t version_records_per_answer = 18;
static_assert(version_record_size == 104);
static_assert(status_size + version_records_per_answer * version_record_size <= record_area_size);

// Pass-through (klexternal, klcommand): the input travels in records of
// two zero bytes and a piece of up to 2046 bytes; the output comes back
// in records of 92 bytes the client skips and a piece of up to 1955.
inline constexpr std::size_t input_piece_size = 2046;
inline constexpr std::size_t output_piece_size = 1955;
// The library and routine name fields of an external request.
inline constexpr std::size_t external_name_size = 255;

// The catalogue request (code 320): item lists of at most 16 qualifier and
// 32 buffer items, each list ended by a 0 word, a 256-byte options text and
// the qualifier values in a 512-byte area.
inline constexpr std::size_t max_qualifier_items = 16;
inline constexpr std::size_t max_buffer_items = 32;
inline constexpr std::size_t catalogue_options_size = 256;
inline constexpr std::size_t catalogue_values_size = 512;
// Names in catalogue values and answers (table, column, node),
// blank-padded.
inline constexpr std::size_t name_field_size = KL_NAME_FIELD_SIZE;

// The size of a qualifier item's value by its code; 0 for a code the
// server does not take.  Values of 4 bytes are 32-bit numbers.
constexpr std::size_t qualifier_value_size(std::int32_t code) {
    switch (code) {
    case 109:
        return 255;
    case 320:
    case 630:
    case 670:
        return 131;
    case 102:
    case KL_ITEM_TABLE:
    case KL_ITEM_COLUMN:
    case 602:
    case 622:
    case 672:
    case 673:
    case 902:
        return 32;
    case 405:
    case 604:
    case 615:
    case 679:
    case 703:
    case KL_ITEM_CLIENT_CURSOR:
        return 4;
    default:
        return 0;
    }
}

// A non-character column in character form takes this many bytes.
inline constexpr std::size_t character_number_width = KL_CHARACTER_NUMBER_WIDTH;

// The dispatcher.  A client sends it one 32-bit big-endian connect word;
// the reply is 52 bytes: a big-endian status word at 0 (0, or 18070 when
// the dispatcher connection itself serves the client), then the server's
// host type at 48 and its port at 50, 16 bits big-endian each.  The
// connect word is the protocol's, not the library's version: it stays
// 10625 (sent as 00 00 29 81) whatever version the library has.
inline constexpr std::uint32_t dispatch_connect_word = 10625;
inline constexpr std::size_t dispatch_request_size = 4;
inline constexpr std::size_t dispatch_reply_size = 52;
inline constexpr std::uint32_t dispatch_standalone = KL_ERR_STANDALONE; // 18070
inline constexpr std::size_t dispatch_host_type_at = 48;
inline constexpr std::size_t dispatch_port_at = 50;

// Fragment headers: a big-endian word of the fragment's length with this
// bit set on the record's last fragment.
inline constexpr std::uint32_t last_fragment_flag = 0x8000;

} // namespace protocol
