#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/.

Inputs of the targets that read through FuzzedDataProvider are laid out the
way it reads them: integers from the end, strings and the rest from the front.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


class Provider:
    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # in the order the provider consumes it

    def integer(self, low, high, value, size):
        span, offset, raw = high - low, 0, value - low
        count = 0
        while offset < size * 8 and (span >> offset) > 0:
            count += 1
            offset += 8
        self.back += raw.to_bytes(count, "big") if count else b""
        return self

    def boolean(self, value):
        self.back.append(1 if value else 0)
        return self

    def string(self, text):
        self.front += text.replace(b"\\", b"\\\\") + b"\\x"
        return self

    def rest(self, data):
        self.front += data
        return self

    def bytes(self):
        return bytes(self.front) + bytes(reversed(self.back))


def wide(text):
    return text.encode("latin-1")


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def units(*code_points):
    return b"".join(struct.pack("<I", c) for c in code_points)


def main():
    for name, text in {
        "plain": b"Failed to download VoraService.exe",
        "paragraphs": b"No valid action specified.\n\nUsage: /install | /uninstall",
        "quotes": b'C:\\Program Files\\Vora "quoted"\r\n\t',
        "controls": bytes([0, 1, 0x1B, 0x1F, 0x7F, 0x20, 0x7E]),
        "utf8": "caf\u00e9 \u2014 \U0001F600".encode(),
    }.items():
        write("escape_for_log", name, text)

    for name, text in {
        "brand": b"Does Intel(R) Core(TM) i7-4770 CPU @ 3.40GHz support AVX2",
        "empty_brand": b"Does  support AVX2",
        "board": b"How to enable AVX2 in BIOS ASUSTeK COMPUTER INC. PRIME B450M-A",
        "unreserved": b"-._~AZaz09/?#&=+%",
        "utf8": "\u00e9\u00ff".encode() + bytes([0x80, 0xFF, 0]),
    }.items():
        write("url_encode", name, text)

    write("to_utf8", "ascii", units(*b"C:\\Program Files\\Vora\\VoraService.exe"))
    write("to_utf8", "multibyte", units(0xE9, 0x20AC, 0x1F600, 0x10FFFF, 0x7F, 0x80, 0x7FF, 0x800, 0xFFFF, 0x10000))
    write("to_utf8", "lone_surrogate", units(0x78, 0xD800, 0x79))
    write("to_utf8", "low_surrogate", units(0xDFFF))
    write("to_utf8", "beyond_unicode", units(0x41, 0x110000, 0xFFFFFFFF))

    program = b"C:\\Program Files\\Vora\\VoraSetup.exe"
    for name, args in {
        "install": [b"/install"],
        "uninstall": [b"/uninstall"],
        "uninstall_full": [b"/uninstall-full"],
        "none": [],
        "two_options": [b"/install", b"/uninstall"],
        "twice": [b"/install", b"/install"],
        "wrong_case": [b"/INSTALL"],
        "assigned": [b"/install=1"],
        "lone_surrogate": [b"/install\xff\x00\xd8\x00"],
    }.items():
        write("command_line", name, b"\x00" + b"\x00".join([program] + args))
    write("command_line", "split_fails", b"\x01" + struct.pack("<I", 8))
    write("command_line", "program_name_with_option", b"\x00/install=/uninstall")

    def answer(p, prefix, text, pad=-1, longer=False, fill_a=True, extra=None):
        p.integer(0, 7, 1, 4)  # not a failure
        p.integer(0, 3, prefix, 4)
        p.string(text)
        p.integer(-1, 2, pad, 4)
        if pad >= 0:
            p.boolean(longer)
            p.boolean(fill_a)
        p.boolean(extra is not None)
        if extra is not None:
            p.integer(0, 70, extra, 4)

    p = Provider().integer(1, 6, 1, 4)
    answer(p, 1, b"C:\\Program Files\\Vora\\VoraService.exe")
    write("canonical_path", "drive", p.bytes())
    p = Provider().integer(1, 6, 1, 4)
    answer(p, 2, b"server\\share\\Vora\\VoraService.exe")
    write("canonical_path", "unc", p.bytes())
    p = Provider().integer(1, 6, 1, 4)
    answer(p, 1, b"C:\\deep\\", pad=0, longer=True)  # 260 characters: one retry
    write("canonical_path", "grows", p.bytes())
    p = Provider().integer(1, 6, 2, 4)
    answer(p, 0, b"D:\\", pad=2, extra=5)  # 1000 characters, then a short one
    answer(p, 0, b"\\\\?\\D:\\short")
    write("canonical_path", "moved", p.bytes())
    p = Provider().integer(1, 6, 1, 4).integer(0, 7, 0, 4).integer(0, 0xFFFFFFFF, 5, 4)
    write("canonical_path", "fails", p.bytes())

    def sha(chunks, failing_read, repeat, data):
        p = Provider().integer(0, 16, len(chunks), 4)
        for c in chunks:
            p.integer(0, 65536, c, 4)
        p.integer(0, 40, failing_read, 4).integer(0, 0xFFFFFFFF, 23, 4)
        p.integer(0, 7, 0 if repeat > 1 else 1, 4)
        if repeat > 1:
            p.integer(1, 3000, repeat, 4)
        return p.rest(data).bytes()

    write("sha256_file", "empty", sha([], 40, 1, b""))
    write("sha256_file", "abc", sha([1], 40, 1, b"abc"))
    write("sha256_file", "padding_edges", sha([55, 1, 8, 0], 40, 1, bytes(range(120))))
    write("sha256_file", "many_reads", sha([0, 65535, 1], 40, 2000, bytes(range(64))))
    write("sha256_file", "read_fails", sha([10], 3, 1, b"x" * 100))

    def download(failing=9, error=12002, failing_read=0, https=True, port=443, host=b"cdn.example",
                 path=b"/files/VoraService.exe", status=200, runs=(), capacity=None):
        p = Provider()
        p.integer(0, 12, failing, 4).integer(0, 0xFFFFFFFF, error, 4).integer(0, 20000, failing_read, 8)
        p.boolean(https).integer(0, 65535, port, 2)
        p.string(host).integer(0, 300, 0, 4)
        p.string(path).integer(0, 2100, 0, 4)
        p.boolean(status == 200)
        if status != 200:
            p.integer(0, 0xFFFFFFFF, status, 4)
        p.integer(0, 6, len(runs), 4)
        for size, repeat in runs:
            p.integer(0, 15, 1, 4).integer(1, 65536, size, 4)
            p.boolean(repeat > 1)
            if repeat > 1:
                p.integer(1, 20000, repeat, 4)
        p.integer(0, 7, 0 if capacity is not None else 1, 4)
        if capacity is not None:
            p.integer(0, 1073741825, capacity, 8)
        return p.bytes()

    write("download_stage", "small_body", download(runs=[(100, 1), (65536, 3), (7, 1)]))
    write("download_stage", "exactly_limit", download(runs=[(65536, 16384)]))
    write("download_stage", "one_past_limit", download(runs=[(65536, 16384), (1, 1)]))
    write("download_stage", "not_found", download(status=404, https=False, port=8080))
    write("download_stage", "send_fails", download(failing=5))
    write("download_stage", "read_fails", download(failing=8, failing_read=2, runs=[(4096, 5)]))
    write("download_stage", "disk_full", download(runs=[(65536, 10)], capacity=100000))

    version_resource_corpus()
    authenticode_corpus()
    release_manifest_corpus()


def release_manifest_corpus():
    import base64
    import json
    entry = {"path": "releases/1.2.0.0/VoraService.exe", "size": 1234, "sha256": "ab" * 32}
    payload = {"release": "1.2.0.0", "issued": "2026-12-09T22:00:00Z", "expires": "2027-01-08T22:00:00Z",
               "files": {name: dict(entry, path="releases/1.2.0.0/" + name)
                         for name in ("VoraService.exe", "VoraSetup.exe", "VoraBroker.exe")}}
    text = json.dumps(payload).encode()
    write("release_manifest", "payload", b"\x01" + text)
    write("release_manifest", "payload_dot_dot", b"\x01" + text.replace(b"releases/1.2.0.0/VoraSetup", b"../VoraSetup"))
    envelope = {"payloadType": "application/vnd.vora.release+json", "payload": base64.b64encode(text).decode(),
                "signatures": [{"keyid": "00" * 32, "sig": base64.b64encode(bytes(70)).decode()}]}
    write("release_manifest", "envelope", b"\x00" + json.dumps(envelope).encode())


def authenticode_corpus():
    """Form 0: whole images and signed contents; form 1: bytes the target
    seals behind a well-formed image's sections."""

    def image(magic=0x20B, table_at=None, table_size=16, count=16, tail=b""):
        out = bytearray(0x200)
        out[0:2] = b"MZ"
        struct.pack_into("<I", out, 0x3C, 0x80)
        struct.pack_into("<I", out, 0x80, 0x00004550)
        optional = 0x98
        struct.pack_into("<HH", out, 0x84, 0x8664, 0)
        struct.pack_into("<H", out, 0x94, 240 if magic == 0x20B else 224)
        struct.pack_into("<H", out, optional, magic)
        directories = optional + (112 if magic == 0x20B else 96)
        struct.pack_into("<I", out, directories - 4, count)
        out += tail
        out += bytes(-len(out) % 8)
        at = len(out) if table_at is None else table_at
        struct.pack_into("<II", out, directories + 32, at, table_size)
        out += struct.pack("<IHH", table_size, 0x200, 2) + bytes(max(0, table_size - 8))
        return bytes(out)

    write("authenticode", "pe32plus", b"\x00" + image())
    write("authenticode", "pe32", b"\x00" + image(magic=0x10B))
    write("authenticode", "table_not_at_end", b"\x00" + image(table_at=0x100))
    write("authenticode", "no_security_directory", b"\x00" + image(count=4))
    write("authenticode", "sealed_payload", b"\x01" + bytes(range(256)))

    def tlv(tag, contents):
        length = len(contents)
        if length < 0x80:
            return bytes([tag, length]) + contents
        encoded = length.to_bytes((length.bit_length() + 7) // 8, "big")
        return bytes([tag, 0x80 | len(encoded)]) + encoded + contents

    pe_image_data = tlv(0x06, bytes.fromhex("2b0601040182370201 0f".replace(" ", "")))
    sha256 = tlv(0x30, tlv(0x06, bytes.fromhex("608648016503040201")) + b"\x05\x00")
    content = tlv(0x30, tlv(0x30, pe_image_data + tlv(0x30, b"\x03\x01\x00")) + tlv(0x30, sha256 + tlv(0x04, bytes(32))))
    write("authenticode", "indirect_data", b"\x00" + content)
    write("authenticode", "indirect_data_long_form", b"\x00" + tlv(0x30, content[2:] + tlv(0x04, bytes(120))))
    write("authenticode", "message_digest", b"\x00" + tlv(0x04, bytes(range(32))))


WINE_DLLS = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"


def version_block(image):
    """The RT_VERSION data of a PE image (first name, first language), or None."""
    (pe,) = struct.unpack_from("<I", image, 0x3C)
    sections, optional_size = struct.unpack_from("<H", image, pe + 6)[0], struct.unpack_from("<H", image, pe + 20)[0]
    optional = pe + 24
    directories = optional + (112 if struct.unpack_from("<H", image, optional)[0] == 0x20B else 96)
    rva, size = struct.unpack_from("<II", image, directories + 16)
    if not rva:
        return None
    table = optional + optional_size
    spans = [struct.unpack_from("<IIII", image, table + 40 * i + 8) for i in range(sections)]

    def offset(address):
        for vsize, va, raw_size, raw in spans:
            if va <= address < va + max(vsize, raw_size):
                return raw + address - va
        raise ValueError("unmapped")

    base = offset(rva)

    def entries(at):
        named, ids = struct.unpack_from("<HH", image, base + at + 12)
        return [struct.unpack_from("<II", image, base + at + 16 + 8 * i) for i in range(named + ids)]

    for name, target in entries(0):
        if name == 16 and target & 0x80000000:
            _, names = entries(target & 0x7FFFFFFF)[0]
            _, language = entries(names & 0x7FFFFFFF)[0]
            data_rva, data_size = struct.unpack_from("<II", image, base + language)
            at = offset(data_rva)
            return image[at : at + data_size]
    return None


def version_resource_corpus():
    """Real version resources, nobody here wrote them: Wine's own DLLs. The
    first byte is the target's form: 1 a version block, 0 a whole image."""
    if not os.path.isdir(WINE_DLLS):
        return
    blocks, images = 0, 0
    for name in sorted(os.listdir(WINE_DLLS), key=lambda n: os.path.getsize(os.path.join(WINE_DLLS, n))):
        if not name.endswith(".dll"):
            continue
        image = open(os.path.join(WINE_DLLS, name), "rb").read()
        try:
            block = version_block(image)
        except (ValueError, struct.error):
            continue
        if not block:
            continue
        if blocks < 24:
            write("version_resource", "block_" + name, b"\x01" + block)
            blocks += 1
        if images < 3 and len(image) < 40000:
            write("version_resource", "image_" + name, b"\x00" + image)
            images += 1
        if blocks >= 24 and images >= 3:
            break


if __name__ == "__main__":
    main()
