#!/usr/bin/env python3
"""Writes the seed corpus of every harness into corpus/<harness>/ from
known-good bytes: answer frames, monitoring and journal records, the three
data files and JSON-RPC calls. Run again after changing a format."""
import json
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    if isinstance(data, str):
        data = data.encode()
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def xor(b):
    x = 0
    for v in b:
        x ^= v
    return x


def answer(code, data=b""):
    f = bytes([0, len(data) + 1, code]) + data
    return f + bytes([xor(f)])


# --- answer frames: byte 0 = mode (1 several, 2 built, 4 early end, 8 spoilt)
quality = answer(0x80, b"\x02")
descr = answer(0x03, bytes([1, 1, 0, 0x80, 0x0B, 0, 0, 0]))
put("fuzz_frames", "quality", b"\x00" + quality)
put("fuzz_frames", "quality-early", b"\x04" + quality)
put("fuzz_frames", "several", b"\x01" + descr + descr + answer(0x0F))
put("fuzz_frames", "silent", b"\x01" + descr + answer(0xF0))
put("fuzz_frames", "wait", b"\x00" + answer(0xF5) + quality)
put("fuzz_frames", "bad-check", b"\x00" + quality[:-1] + bytes([quality[-1] ^ 1]))
put("fuzz_frames", "built", b"\x03" + bytes([0x03, 8, 1, 1, 0, 0x80, 0x0B, 0, 0, 0, 0x0F, 0]))
put("fuzz_frames", "built-spoilt", b"\x0a" + bytes([0x80, 1, 2]))
put("fuzz_frames", "long", b"\x02" + bytes([0x21, 200]) + bytes(range(200)))

# --- monitoring records: flags, first SysAdr, then 4-byte records
def rec(*b):
    return bytes(b)

time_rec = rec(0xFF, 0x05, 0x30, 0x01)
put("fuzz_decode", "pass", b"\x09\x01" + rec(1, 1 << 3, 0x00, 0x05))
put("fuzz_decode", "alarms", b"\x09\x01" + rec(1, 2 << 3 | 3, 0, 1) + rec(1, 8 << 3 | 2, 1, 0) + rec(1, 9 << 3 | 1, 0, 0x0F))
put("fuzz_decode", "status", b"\x0b\x01" + time_rec + rec(1, 10 << 3, 0x35, 0xCF) + rec(3, 11 << 3, 0xA5, 0x5A)
    + rec(3, 12 << 3, 0xFF, 0x01) + rec(3, 13 << 3, 0x0F, 0xF0))
put("fuzz_decode", "zones", b"\x08\x01" + rec(5, 16 << 3, 0, 3) + rec(6, 24 << 3, 0, 3) + rec(1, 14 << 3, 0, 9))
put("fuzz_decode", "undated", b"\x00\x01" + rec(1, 1 << 3, 0, 1) + time_rec + rec(1, 6 << 3 | 4, 0, 2))

# --- registration pages: MakeAdr (2), state (7), segments flag, records
def date_rec(year, month, day, hour, minute):
    y = year - 2000 if year >= 2000 else year - 1900
    return bytes([(minute >> 3) & 7, ((minute & 7) << 5) | (hour & 0x1F), (day << 3) | ((month >> 1) & 7),
                  ((month & 1) << 7) | y])


def jrec(kind, low, b1, b2, b3):
    return bytes([(kind << 5) | (low & 0x1F), b1, b2, b3])


head = struct.pack("<H", 0x1234) + bytes([30, 14, 15, 3, 7, 0x34, 0, 1])
put("fuzz_reg_page", "dated", head + date_rec(2004, 3, 15, 14, 30) + jrec(2, 3, 0x40 | 45, 0x10, 0))
put("fuzz_reg_page", "undated", head + jrec(2, 3, 0x05, 0x10, 0) + date_rec(2004, 3, 15, 14, 30) + jrec(2, 3, 45, 1, 0))
put("fuzz_reg_page", "kinds", head + date_rec(2004, 2, 29, 23, 59) + b"".join(jrec(k, k, 7, 3, 1) for k in range(1, 8)))
put("fuzz_reg_page", "full", head + (date_rec(2010, 12, 31, 0, 0) + jrec(4, 1, 0xFF, 0xFF, 0xFF)) * 16)

# --- new_sys.bin: 60-byte records
def sys_record(sys_adr, make_adr, drivers=0):
    r = bytearray(60)
    r[0] = sys_adr
    r[1:3] = struct.pack("<H", make_adr)
    r[6] = drivers
    return bytes(r)

put("fuzz_system_file", "two", sys_record(1, 1) + sys_record(3, 2, 1))
put("fuzz_system_file", "dup", sys_record(5, 9) + sys_record(5, 10) + b"\x01\x02")
put("fuzz_system_file", "empty", b"")

# --- cards.bin: 9-byte records (segment, facility, first, last, first index, sent)
def seg(n, fc, first, last, index, sent=1):
    return struct.pack("<BBHHHB", n, fc, first, last, index, sent)

put("fuzz_card_file", "one", seg(0, 7, 0, 999, 1))
put("fuzz_card_file", "several", seg(0, 7, 0, 999, 1) + seg(1, 12, 100, 2000, 1000) + seg(2, 7, 5000, 5010, 3000, 0))
put("fuzz_card_file", "bad", seg(0, 1, 10, 5, 1) + seg(1, 1, 0, 65535, 2) + b"\x00")

# --- buffer.bin (21-byte events) and buffer.log
def ev(year, month, day, seconds, make=1, etype=2, event=0, adr=1, card=0, fc=0):
    return struct.pack("<BBHiBBBHHBBBHB", day, month, year, seconds, 0, 0, 0, make, adr, etype, event, 0, card, fc)

bin_part = ev(2004, 3, 15, 100) + ev(2004, 3, 14, 200, event=3) + ev(2096, 12, 31, 86403, etype=5)
def buf(flags, binb, rest):
    return bytes([flags]) + struct.pack("<H", len(binb)) + binb + rest

put("fuzz_buffer_file", "bin-only", buf(2, bin_part, b""))
put("fuzz_buffer_file", "built-log", buf(1, bin_part, bytes([0, 2]) + ev(2005, 1, 1, 5) + ev(2005, 1, 1, 4)
                                      + bytes([1, 1, 2, 0])))
put("fuzz_buffer_file", "independent", buf(1 | 4, bin_part, bytes([0, 1]) + ev(2005, 1, 1, 5)))
put("fuzz_buffer_file", "foreign", buf(1 | 8, bin_part, bytes([0, 1]) + ev(2005, 1, 1, 5)))
put("fuzz_buffer_file", "new-log", buf(1 | 16, bin_part, b""))
header = b"VXREGLOG" + bytes([1, 0]) + struct.pack("<QI", len(bin_part), zlib.crc32(bin_part))
header += struct.pack("<I", zlib.crc32(header))
entry = bytes([1]) + struct.pack("<I", 1) + ev(2006, 6, 6, 6)
entry += struct.pack("<I", zlib.crc32(entry))
put("fuzz_buffer_file", "raw-log", buf(0, bin_part, header + entry))

# --- JSON-RPC text
calls = [
    {"jsonrpc": "2.0", "id": 1, "method": "sysvexon_GetCommandState", "params": {"EventID": 1}},
    {"jsonrpc": "2.0", "id": "a", "method": "sysvexon_GetControllerInfo", "params": [1, 0, 0, 0, 0, 0, 0, 0]},
    {"jsonrpc": "2.0", "id": 2, "method": "sysvexon_SetTimer",
     "params": {"EventID": 0, "MakeAdr": 1, "DateTime": "2004-03-20T12:00:00"}},
    {"jsonrpc": "2.0", "id": 3, "method": "sysvexon_SendDeviceCardList",
     "params": {"EventID": 0, "MakeAdr": 1, "Count": 2, "Cards": [[1, 0, 0, 0, 0, 0], [2, 0, 1, 1, 0, 0]]}},
    {"jsonrpc": "2.0", "id": 4, "method": "sysvexon_SendTimeZonesBS",
     "params": {"EventID": 0, "TimeZones": {"lbound": [0, 0], "data": [[0, 0, 23, 59]]}}},
    {"jsonrpc": "2.0", "method": "sysvexon_GetMonEvent", "params": {}},
    {"jsonrpc": "2.0", "id": 5, "method": "rpc.discover"},
]
for i, c in enumerate(calls):
    put("fuzz_dispatch", "call%d" % i, json.dumps(c))
put("fuzz_dispatch", "batch", json.dumps(calls))
put("fuzz_dispatch", "nested", '{"jsonrpc":"2.0","id":1,"method":"x","params":' + "[" * 70 + "]" * 70 + "}")
put("fuzz_dispatch", "garbage", '{"jsonrpc":"2.0","id":[1],"method":7,"params":"x"}')

# --- structure-aware calls: the bytes are choices, any bytes are a call
for i in range(8):
    put("fuzz_rpc_calls", "seed%d" % i, bytes((i * 37 + k * 11) & 0xFF for k in range(64 + i * 16)))

# --- variant arrays: flags, lbound choices, count, then JSON or choices
put("fuzz_variant_array", "plain", b"\x01\x01\x01\x02" + json.dumps([[1, 0, 0, 0, 0, 0], [2, 0, "3", True, 0, 0]]).encode())
put("fuzz_variant_array", "bounded", b"\x01\x00\x00\x03" + json.dumps({"lbound": [0, 0], "data": [[1, 2, 3]] * 3}).encode())
put("fuzz_variant_array", "ragged", b"\x01\x00\x00\x01" + json.dumps([[1, 2], [3]]).encode())
put("fuzz_variant_array", "edge", b"\x01\x00\x00\x01" + json.dumps({"lbound": [2147483647, -2147483648], "data": [[1], [2]]}).encode())
put("fuzz_variant_array", "built", b"\x00\x01\x01\x28" + bytes(range(200)))
