#!/usr/bin/python3
"""Copies a signed PE image and changes one byte inside its code section,
or, with "rsrc", the first letter of the name its version resource gives
(OriginalFilename) inside the resource section.

The byte lies in the data the Authenticode image hash covers, so the
signature stays well-formed but no longer matches the image.
Usage: tamper_image.py SIGNED_IN TAMPERED_OUT [rsrc]
"""

import struct
import sys


def section(image: bytes, wanted: bytes):
    (pe,) = struct.unpack_from("<I", image, 0x3C)
    if image[pe : pe + 4] != b"PE\0\0":
        raise ValueError("not a PE image")
    (sections,) = struct.unpack_from("<H", image, pe + 6)
    (optional_size,) = struct.unpack_from("<H", image, pe + 20)
    table = pe + 24 + optional_size
    for i in range(sections):
        entry = table + 40 * i
        if image[entry : entry + 8].rstrip(b"\0") == wanted:
            raw_size, raw_pointer = struct.unpack_from("<II", image, entry + 16)
            return raw_pointer, raw_size
    raise ValueError(f"no {wanted.decode()} section")


def name_offset(image: bytes) -> int:
    start, size = section(image, b".rsrc")
    key = "OriginalFilename\0".encode("utf-16-le")
    at = image.find(key, start, start + size)
    if at < 0:
        raise ValueError("no OriginalFilename in .rsrc")
    at += len(key)
    at += (-(at - start)) % 4  # the value is 32-bit aligned
    return at


def code_offset(image: bytes) -> int:
    start, size = section(image, b".text")
    if size <= 0x100:
        raise ValueError("no .text section")
    return start + 0x80


def main(source: str, target: str, where: str = "code") -> None:
    image = bytearray(open(source, "rb").read())
    if where == "rsrc":
        offset = name_offset(image)
        image[offset] ^= 0x01  # "V" becomes "W"
    else:
        offset = code_offset(image)
        image[offset] ^= 0xFF
    with open(target, "wb") as out:
        out.write(image)


if __name__ == "__main__":
    main(*sys.argv[1:4])
