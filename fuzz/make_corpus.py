#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into corpus/<target>/ (run from anywhere)."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def frame(data):
    return b"SYNC" + struct.pack("<II", len(data), len(data) ^ 0xFFFFFFFF) + data + b"EN"


def be32(value):
    return struct.pack(">I", value & 0xFFFFFFFF)


def long_ilv(head, value):
    """An ILV record in the 32-bit length form (FF FF, then the length little-endian)."""
    return head + b"\xff\xff" + struct.pack("<I", len(value)) + value


# A value just over 64 KiB, the smallest that needs the 32-bit length form.
OVER_64K = bytes((i * 7 + 1) & 0xFF for i in range(0x10001))


SEEDS = {
    "fuzz_frame_receiver": {
        # first byte: chunk-size seed
        "serial_request": b"\x07" + frame(b"\x80\x00\x00"),
        "two_frames_noise": b"\x00" + b"xS" + frame(b"\xfe\x02\x00\x32\x01") + b"\x00" + frame(b""),
        "whole_packet": b"\x33" + frame(bytes(range(50))) + b"\x00",
        "bad_complement": b"\x01" + b"SYNC\x03\x00\x00\x00\xfd\xff\xff\xff\x80\x00\x00EN",
        "bad_trailer": b"\x05" + frame(b"\x80\x00\x00")[:-1] + b"X" + frame(b"\x70\x00\x00"),
        "realtime_log": b"\x09" + frame(b"\xfe\x06\x00\x35\x01" + b"LOG!"),
    },
    "fuzz_ilv": {
        "short": b"\x80\x02\x00\x01\x02",
        "extended": b"\xfe\x04\x00\x32\x01\x00\x01",
        "high": b"\xff\x12\x01\x00\x09",
        "long": b"\x71\xff\xff\x02\x00\x00\x00\xaa\xbb",
        "extended_long": b"\xfe\xff\xff\x03\x00\x00\x00\x35\x01\x07",
        "bad_extended": b"\xfe\x02\x00\xfe\x00",
        "long_over_64k": long_ilv(b"\x71", OVER_64K),
        "extended_long_over_64k": long_ilv(b"\xfe", b"\x35\x01" + OVER_64K),
    },
    "fuzz_ipc_request": {
        "enumdevices": b"\x01\x00\x08",
        "serverinfos": b"\x01\x00\x09" + be32(0) + be32(1) + be32(3),
        "privateconnect": b"\x00\x00\x07" + be32(1234) + bytes(8),
        "link": b"\x01\x00\x10\x01SN0042\x00",
        "lockpipe": b"\x01\x00\x11" + be32(5000),
        "unlockpipe": b"\x01\x00\x12",
        "sendbuffer": b"\x01\x00\x13" + be32(1000) + be32(3) + b"\x80\x00\x00",
        "recvbuffer": b"\x01\x00\x14" + be32(0xFFFFFFFF),
        "waitforreboot": b"\x01\x00\x15" + be32(500) + be32(30000) + be32(3) + b"\x70\x00\x00",
        "destroyconx": b"\x01\x00\x16" + bytes(20),
        "data_response": b"\x01\x00\x14" + be32(0) + be32(3) + b"\x80\x00\x00",
    },
    "fuzz_device_list": {
        "empty": b"\x00",
        "one": b"\x01USB\\VID_1A2B&PID_0001\\SN0042\x00SN0042\x00Ornivascope T10\x00COM5\x00",
        "two": b"\x02I1\x00S1\x00F\x00COM5\x00I2\x00\x00\x00COM7\x00",
        "trailing": b"\x01a\x00b\x00c\x00d\x00zz",
    },
    "fuzz_pipe_locks": {
        "none": be32(0),
        "two": be32(2) + b"SN0042\x00\x01" + be32(1234) + be32(1500) + b"B\x00\x02" + be32(7)
        + be32(0xFFFFFFFF),
        "trailing": be32(1) + b"S\x00\x00" + be32(1) + be32(2) + b"zz",
        "huge_count": be32(0x10000000) + b"S\x00\x00" + be32(1) + be32(2),
    },
}

for target, seeds in SEEDS.items():
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)
