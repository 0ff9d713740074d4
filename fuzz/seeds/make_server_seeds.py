#!/usr/bin/env python3
"""Writes the seed inputs of fuzz_server into fuzz/seeds/fuzz_server: for
every function code the server handles, a short session that makes one
valid request of it (after the requests it needs first), in both byte
orders, for the fuzzer to mutate.  Input layout: see fuzz/fuzz_server.cpp
(byte 0 sets the byte order and the select made after the connect, which
is instance 1, and the cursor opened on it, which is cursor 2)."""
import os
import struct

INSTANCE = struct.pack(">I", 1)  # identifiers are 4 opaque bytes
CURSOR = struct.pack(">I", 2)
NO_SELECT, ORDERS, CUSTOMERS, PRODUCTS = range(4)
SPLIT = 0x8000  # the request goes in two fragments


class Orders:
    """Packs the numbers of one byte order."""

    def __init__(self, big):
        self.big = big
        self.mark = ">" if big else "<"

    def i32(self, *values):
        return struct.pack(self.mark + "%di" % len(values), *values)

    def code(self, code):
        return struct.pack(self.mark + "H", code)


def texts(*values):
    return b"".join(v.encode() + b"\0" for v in values)


def field(text, size, pad=b"\0"):
    return text.encode().ljust(size, pad)


OPTIONS = bytes(80)


def requests(o):
    """name: (select made first, [payload, ...] or [(payload, flags), ...])."""
    blank = lambda text: field(text, 32, b" ")
    # A row of orders in binary form: id, customer, product, quantity,
    # ordered (YYYYMMDD), note (NUL-padded).
    order_row = o.i32(90001, 7, 3, 12) + b"20250314" + field("seeded", 40)
    order_text = blank("") + blank("7") + blank("3") + blank("12") + b"20250314" + field("text", 40)

    def description(column, table, character):
        d = bytearray(220)
        d[4:36] = field(column, 32)
        d[36:68] = field(table, 32)
        d[192:196] = o.i32(1 if character else 0)
        return bytes(d)

    def catalogue(qualifiers, values, items, options):
        return (o.code(320) + INSTANCE + o.i32(*(qualifiers + [0] * (17 - len(qualifiers)))) +
                o.i32(*(items + [0] * (33 - len(items)))) + field(options, 256) + values)

    def input_records(data):
        return [b"\0\0" + data[at:at + 2046] for at in range(0, len(data), 2046)]

    fetch_one = o.code(308) + CURSOR + o.i32(1) + OPTIONS
    every_item = [202, 302, 305, 306, 310, 307, 308, 203, 204]
    return {
        "250_host_version": (NO_SELECT, [o.code(250)]),
        "301_connect": (NO_SELECT, [o.code(301) + texts("sales", "fuzz", "secret", "W")]),
        "302_disconnect": (ORDERS, [o.code(302) + INSTANCE + OPTIONS]),
        "303_open_cursor": (NO_SELECT, [o.code(303) + INSTANCE + OPTIONS]),
        "304_close_cursor": (ORDERS, [o.code(304) + CURSOR + OPTIONS]),
        "305_qualify": (ORDERS, [o.code(305) + CURSOR +
                                 texts("main", "orders", "id,quantity", "", "quantity > 10")]),
        "306_fetch_keys": (ORDERS, [o.code(306) + CURSOR + o.i32(5) + OPTIONS]),
        "307_select": (NO_SELECT, [
            o.code(307) + CURSOR +
            texts("orders", "id customer note", "customer <= 7 AND (quantity BETWEEN 5 AND 15 "
                  "OR note LIKE 'a%') AND ordered IS NOT NULL", "CHAR ORDER=quantity DESC LIMIT=20")
        ]),
        "308_fetch": (CUSTOMERS, [(o.code(308) + CURSOR + o.i32(30) + OPTIONS, SPLIT)]),
        "309_join": (ORDERS, [o.code(309) + CURSOR + texts("orders", "product", "products", "id", ""),
                              fetch_one]),
        "310_describe": (PRODUCTS, [o.code(310) + CURSOR + o.i32(10) + OPTIONS]),
        "311_bind": (ORDERS, [
            o.code(311) + CURSOR + o.i32(2) + OPTIONS,
            b"\0\0" + description("note", "orders", True) + description("id", "", False),
            fetch_one,
        ]),
        "312_assign_values": (NO_SELECT, [
            o.code(307) + CURSOR + texts("orders", "*", "customer = ? OR quantity = ?", ""),
            o.code(312) + CURSOR + o.i32(2) + OPTIONS + field("label", 8) +
            blank("7") + blank("10") + blank("8") + blank("11"),
        ]),
        "314_insert": (NO_SELECT, [o.code(314) + INSTANCE + field("orders\0*\0", 256) + order_row]),
        "314_insert_character": (NO_SELECT, [
            o.code(314) + INSTANCE + field("orders\0\0CHAR NOWAIT\0", 256) + order_text]),
        "315_update": (ORDERS, [fetch_one, o.code(315) + CURSOR +
                                field("orders\0quantity\0SKIPIA\0", 256) + order_row]),
        "316_delete": (ORDERS, [fetch_one, o.code(316) + CURSOR + texts("orders", "HOOK")]),
        "317_message": (NO_SELECT, [o.code(317) + o.i32(20010, 0, 0, 0, 0, 1, 2, 0, 0, 0, 0, 0, 0, 0)
                                    + field("invoices", 36)]),
        "318_list": (NO_SELECT, [o.code(318) + CURSOR + o.i32(5) +
                                 texts("customers", "id name", "city = 'Lisbon'", "")]),
        "319_form": (NO_SELECT, [
            o.code(318) + CURSOR + o.i32(3) + texts("customers", "", "", ""),
            o.code(319) + CURSOR + o.i32(2) + texts("customers", "", "CHAR"),
        ]),
        "320_catalogue_columns": (NO_SELECT, [
            catalogue([202, 302], blank("orders") + blank("*"), every_item, "COUNT=4"),
            catalogue([], b"", every_item, "N"),
        ]),
        "320_catalogue_tables": (NO_SELECT, [catalogue([], b"", [202, 203, 204], "")]),
        "321_index_info": (NO_SELECT, [o.code(321) + INSTANCE + texts("", "orders")]),
        "323_calc": (ORDERS, [o.code(323) + CURSOR + texts("orders", "quantity", "AVG")]),
        "324_export": (PRODUCTS, [o.code(324) + CURSOR + field("HEADER=NO", 80) +
                                  texts("products.csv")]),
        "325_command": (NO_SELECT, [
            o.code(325) + INSTANCE + o.i32(5) + texts(""), *input_records(b"BEGIN"),
            o.code(314) + INSTANCE + field("orders\0*\0", 256) + order_row,
            o.code(325) + INSTANCE + o.i32(8) + texts(""), *input_records(b"ROLLBACK"),
        ]),
        "326_external": (NO_SELECT, [
            o.code(326) + INSTANCE + o.i32(11, 16) + OPTIONS + field("builtin", 255) +
            texts("upper"), *input_records(b"hello world"),
        ]),
        "327_version": (NO_SELECT, [o.code(327) + INSTANCE + o.i32(0) + OPTIONS]),
    }


def seed(big, select, entries):
    out = bytes([(1 if big else 0) | select << 2])
    for entry in entries:
        payload, flags = entry if isinstance(entry, tuple) else (entry, 0)
        assert len(payload) <= 0x0FFF, "a request longer than the input's length field"
        out += struct.pack("<H", len(payload) | flags) + b"\0" + payload
    return out


here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fuzz_server")
os.makedirs(here, exist_ok=True)
for big in (False, True):
    for name, (select, entries) in requests(Orders(big)).items():
        with open(os.path.join(here, name + (".be" if big else "")), "wb") as f:
            f.write(seed(big, select, entries))
