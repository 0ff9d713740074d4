#!/usr/bin/env python3
"""Writes the seed inputs of fuzz_calls into fuzz/seeds/fuzz_calls: short,
well-formed conversations (the calls, then what a well-behaved server
answers) for the fuzzer to mutate.  Input layout: see fuzz/fuzz_calls.cpp."""
import os
import struct

WHOLE = 0x10  # byte 0: answers arrive whole, no chunk bytes


def record(data):
    """One record of the record stream: fragment header, length word, data."""
    padded = (len(data) + 3) & ~3
    body = struct.pack(">I", len(data)) + data + b"\0" * (padded - len(data))
    return struct.pack(">I", 0x8000 | len(body)) + body


def status(error=0, count=0, bufflen=0):
    words = [error, 0, 0, count, bufflen] + [0] * 9
    return struct.pack("<14i", *words) + b"\0" * 36


def chunked(stream):
    out = b""
    for at in range(0, len(stream), 100):
        piece = stream[at:at + 100]
        out += bytes([len(piece) - 1]) + piece
    return out


def seed(calls, answers, flags=WHOLE):
    head = bytes([flags | (len(calls) - 1) << 2])
    for which, amount in calls:
        head += bytes([which, amount])
    stream = b"".join(record(a) for a in answers)
    return head + (stream if flags & WHOLE else chunked(stream))


two_records = [status(count=1, bufflen=50) + b"A" * 50, status(count=1, bufflen=50) + b"B" * 50]
version = bytes(b"NA_TCP\0\0" + b"Server".ljust(60, b"\0") + struct.pack("<i", 100) +
                b"1.0.0".ljust(32, b"\0"))
column = b"C".ljust(172, b"\0") + struct.pack("<12i", *range(12))
descriptors = struct.pack("<6i", 400, 4, 1, 201, 10, 1)

seeds = {
    "fetch_two_records": seed([(0, 2)], two_records),
    "fetch_two_records_chunked": seed([(0, 2)], two_records, flags=0),
    "list_two_records": seed([(1, 2)], two_records),
    "version_three_records": seed([(2, 1)], [status(count=3), status() + version * 3]),
    "describe_two_columns": seed([(3, 2)], [status(count=2), status() + column * 2]),
    "external_output": seed([(9, 1)], [status(), status() + b"O" * 37]),
    "insert_after_discovery": seed([(12, 1)], [status(count=2) + descriptors, status()]),
    "select_then_update": seed([(14, 0), (15, 0)], [status(bufflen=16), status()]),
    "error_text": seed([(10, 0)], [status(error=11000) + b"no such table\0"]),
}
here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fuzz_calls")
os.makedirs(here, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(here, name), "wb") as f:
        f.write(data)
