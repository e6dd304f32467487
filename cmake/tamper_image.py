#!/usr/bin/python3
"""Copies a signed PE image and changes one byte inside its code section,
or, with "rsrc", the first letter of the name its version resource gives
(OriginalFilename) inside the resource section.

The byte lies in the data the Authenticode image hash covers, so the
signature stays well-formed but no longer matches the image.

With "forge", a byte of the DOS stub is changed and the changed image's
Authenticode digest is written into the signed content in place of the
old one; the signer's certificate, signed attributes and signature stay as
the publisher made them. Only a verifier that compares the messageDigest
attribute with the signed content refuses it.
Usage: tamper_image.py SIGNED_IN TAMPERED_OUT [rsrc|forge]
"""

import hashlib
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


def authenticode_digest(image: bytes) -> bytes:
    """SHA-256 over the image less the checksum, the certificate-table
    directory entry and the certificate table, which ends the image."""
    (pe,) = struct.unpack_from("<I", image, 0x3C)
    optional = pe + 24
    (magic,) = struct.unpack_from("<H", image, optional)
    entry = optional + (112 if magic == 0x20B else 96) + 8 * 4
    table, size = struct.unpack_from("<II", image, entry)
    if table == 0 or table + size != len(image):
        raise ValueError("the certificate table does not end the image")
    checksum = optional + 64
    h = hashlib.sha256()
    h.update(image[:checksum])
    h.update(image[checksum + 4 : entry])
    h.update(image[entry + 8 : table])
    return h.digest()


def forge(image: bytearray) -> None:
    old = authenticode_digest(image)
    (pe,) = struct.unpack_from("<I", image, 0x3C)
    if pe <= 0x50:
        raise ValueError("no DOS stub to change")
    image[0x50] ^= 0x01  # a letter of the DOS stub's message
    new = authenticode_digest(image)
    (table,) = struct.unpack_from("<I", image, pe + 24 + 112 + 8 * 4)
    if image.count(old, table) != 1:
        raise ValueError("the image digest is not in the signature exactly once")
    at = image.index(old, table)
    image[at : at + len(new)] = new


def main(source: str, target: str, where: str = "code") -> None:
    image = bytearray(open(source, "rb").read())
    if where == "forge":
        forge(image)
    elif where == "rsrc":
        offset = name_offset(image)
        image[offset] ^= 0x01  # "V" becomes "W"
    else:
        offset = code_offset(image)
        image[offset] ^= 0xFF
    with open(target, "wb") as out:
        out.write(image)


if __name__ == "__main__":
    main(*sys.argv[1:4])
