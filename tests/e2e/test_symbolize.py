"""scripts/symbolize walks a stack by unwind codes the compiler's own frames
rarely use: a synthetic dump whose every frame needs another kind."""

import struct
import subprocess

from conftest import ROOT

BASE, STACK = 0x10000000, 0x7000000
PUSH, ALLOC_LARGE, ALLOC_SMALL, SET_FPREG, SAVE_NONVOL, MACHFRAME = 0, 1, 2, 3, 4, 10
RSP, RBP = 4, 5


def _unwind_info(prolog, codes, frame=0, chained=None):
    """UNWIND_INFO: codes are (prolog offset, op, info, extra slots...) in unwind order."""
    slots = b"".join(struct.pack("<BB", offset, op | info << 4) + struct.pack(f"<{len(extra)}H", *extra)
                     for offset, op, info, *extra in codes)
    count = len(slots) // 2
    slots += b"\0\0" * (count & 1)
    flags = 4 if chained else 0
    return struct.pack("<BBBB", 1 | flags << 3, prolog, count, frame) + slots + (chained or b"")


def _image():
    """Headers, exception directory and unwind data of a module whose functions sit at 0x1000 + 0x100 * n."""
    infos = [
        _unwind_info(8, [(8, SET_FPREG, 0), (5, ALLOC_SMALL, 3), (1, PUSH, RBP)], frame=RBP | 1 << 4),
        _unwind_info(9, [(9, SAVE_NONVOL, RBP, 2), (4, ALLOC_LARGE, 1, 0x28, 0)]),
        _unwind_info(8, [(8, SET_FPREG, 0), (4, ALLOC_SMALL, 1)], frame=RBP | 2 << 4,
                     chained=struct.pack("<III", 0x1200, 0x1300, 0x3F0)),
        _unwind_info(1, [(1, MACHFRAME, 1)]),
    ]
    image = bytearray(0x1000)
    image[0:2], image[0x3C:0x40] = b"MZ", struct.pack("<I", 0x40)
    image[0x40:0x58] = b"PE\0\0" + struct.pack("<HHIIIHH", 0x8664, 0, 0, 0, 0, 0xF0, 0x22)
    image[0x58:0x5A], image[0x58 + 24 : 0x58 + 32] = struct.pack("<H", 0x20B), struct.pack("<Q", 0x140000000)
    image[0x58 + 108 : 0x58 + 112] = struct.pack("<I", 16)
    image[0x58 + 112 + 24 : 0x58 + 112 + 32] = struct.pack("<II", 0x200, 12 * len(infos))  # exception directory
    for n, info in enumerate(infos):
        begin = 0x1000 + 0x100 * n
        image[0x200 + 12 * n : 0x20C + 12 * n] = struct.pack("<III", begin, begin + 0x100, 0x300 + 0x20 * n)
        image[0x300 + 0x20 * n : 0x300 + 0x20 * n + len(info)] = info
    image[0x3F0:0x3F8] = _unwind_info(1, [(1, PUSH, RBP)])  # the chained part of function 2's prolog
    return bytes(image)


def _stack(values):
    stack = bytearray(0x400)
    for at, value in values.items():
        stack[at : at + 8] = struct.pack("<Q", value)
    return bytes(stack)


def _dump(path):
    # Frame 0 stopped before its SET_FPREG ran (its rbp is junk); frame 2 finds its frame through the rbp that
    # frame 1 restored from where it had saved it (frame 0 popped another).
    stack = _stack({0x120: 0xBAD2, 0x128: BASE + 0x1150, 0x140: STACK + 0x1A0, 0x158: BASE + 0x1250,
                    0x190: 0xB0B0, 0x198: BASE + 0x1350, 0x1A8: BASE + 0x1420, 0x1C0: STACK + 0x200, 0x200: 0})
    name = "C:\\fake\\synthetic.exe".encode("utf-16-le")
    context = bytearray(1232)
    context[0x78 + 8 * RSP : 0x80 + 8 * RSP] = struct.pack("<Q", STACK + 0x100)
    context[0x78 + 8 * RBP : 0x80 + 8 * RBP] = struct.pack("<Q", 0xBAD)
    context[0xF8:0x100] = struct.pack("<Q", BASE + 0x1006)
    blobs = {"name": struct.pack("<I", len(name)) + name, "context": bytes(context)}
    rvas, at = {}, 32 + 3 * 12
    for key, blob in blobs.items():
        rvas[key], at = at, at + len(blob)
    modules = struct.pack("<IQIIII", 1, BASE, 0x2000, 0, 0, rvas["name"]) + bytes(84)
    exception = struct.pack("<IIIIQQII15QII", 0x10, 0, 0xC0000005, 0, 0, BASE + 0x1006, 2, 0, 1, 0x10, *[0] * 13,
                            1232, rvas["context"])
    memory_at = at + len(modules) + len(exception) + 48
    memory = struct.pack("<QQQQQQ", 2, memory_at, BASE, 0x1000, STACK, 0x400)
    streams = [(4, modules), (6, exception), (9, memory)]
    directory = b""
    for kind, blob in streams:
        directory += struct.pack("<III", kind, len(blob), at)
        at += len(blob)
    header = struct.pack("<4sIIIIIQ", b"MDMP", 0xA793, 3, 32, 0, 0, 0)
    path.write_bytes(header + directory + b"".join(blobs.values()) + b"".join(b for _, b in streams) + _image() + stack)


def test_stack_walk_applies_each_kind_of_unwind_code(tmp_path):
    dump = tmp_path / "synthetic.dmp"
    _dump(dump)
    result = subprocess.run([ROOT / "scripts" / "symbolize", dump], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert "no symbols found" in result.stderr
    out = result.stdout.splitlines()
    assert out[0] == "Exception: 0xC0000005 EXCEPTION_ACCESS_VIOLATION (write at 0x0000000000000010)"
    frames = [line.split()[2] for line in out if line.startswith("  #")]
    assert frames == [f"synthetic.exe+0x{rva:X}" for rva in (0x1006, 0x1150, 0x1250, 0x1350, 0x1420)], out
    assert out[-1] == "Stack ends: return address 0"
