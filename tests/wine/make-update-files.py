#!/usr/bin/env python3
"""Writes the update files the Windows checks use into a directory: fw.bin, a
counting pattern that holds every byte value (0x0a and 0x0d among them, which
a text-mode stream would change), and fw.hex, the same image as Intel HEX with
CRLF line ends as Windows tools write them."""
import pathlib
import sys

SIZE = 0x3000


def hex_record(address, record_type, data):
    body = bytes([len(data), address >> 8, address & 0xFF, record_type]) + bytes(data)
    checksum = (-sum(body)) & 0xFF
    return ":" + (body + bytes([checksum])).hex().upper() + "\r\n"


def main():
    out = pathlib.Path(sys.argv[1])
    image = bytes((i * 7 + (i >> 8)) & 0xFF for i in range(SIZE))
    (out / "fw.bin").write_bytes(image)
    lines = [hex_record(at, 0, image[at:at + 16]) for at in range(0, SIZE, 16)]
    lines.append(hex_record(0, 1, b""))
    (out / "fw.hex").write_bytes("".join(lines).encode("ascii"))


if __name__ == "__main__":
    main()
