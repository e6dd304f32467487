"""The setup's version-resource parser against an oracle nobody here wrote:
Wine's own GetFileVersionInfoW/VerQueryValueW, on the program files the test
CDN serves and on every DLL and program of a Wine prefix's System32."""

import collections
import shutil
import struct

import pytest

from cdn import CDN_DIR, FIXTURES_DIR, prefix_path_of
from conftest import BIN

PROBE = BIN / "version_probe.exe"


def probe(wine, paths):
    """{path: (wine's answer, ours)} for each path, in batches that fit a command line."""
    answers = {}
    for start in range(0, len(paths), 150):
        result = wine.run(PROBE, *paths[start : start + 150], timeout=300)
        assert result.returncode == 0, result.stderr
        for line in result.stdout.splitlines():
            path, theirs, ours = line.rstrip("\r").split("\t")
            answers[path] = (theirs, ours)
    assert len(answers) == len(paths)
    return answers


def test_program_files_read_the_same_as_wine_reads_them(wine):
    ours = sorted(CDN_DIR.glob("*.exe")) + sorted((FIXTURES_DIR / "next").glob("*.exe"))
    answers = probe(wine, [prefix_path_of(wine, p) for p in ours])
    for path in ours:
        theirs, mine = answers[prefix_path_of(wine, path)]
        assert mine == theirs, path
        assert mine.endswith(" " + path.name), (path, mine)

    no_version = prefix_path_of(wine, FIXTURES_DIR / "no-version.exe")
    assert probe(wine, [no_version])[no_version] == ("none", "refused: no resources")


@pytest.mark.fault("cert-table-appended")
def test_bytes_appended_to_the_certificate_table_change_nothing_read(wine, tmp_path):
    signed = CDN_DIR / "VoraService.exe"
    grown = tmp_path / "VoraService.exe"
    image = bytearray(signed.read_bytes())
    (pe,) = struct.unpack_from("<I", image, 0x3C)
    security = pe + 24 + 112 + 8 * 4  # PE32+ data directory 4
    offset, size = struct.unpack_from("<II", image, security)
    assert offset + size == len(image), "the signature is the last thing in the file"
    image += b"\x4d\x5a" + bytes(range(256)) * 16  # what an attacker would like read
    struct.pack_into("<I", image, security + 4, len(image) - offset)
    grown.write_bytes(image)

    paths = [prefix_path_of(wine, signed), prefix_path_of(wine, grown)]
    answers = probe(wine, paths)
    assert answers[paths[1]][1] == answers[paths[0]][1]
    assert not answers[paths[1]][1].startswith("refused")


def test_system32_reads_the_same_as_wine_reads_it(wine, tmp_path):
    system32 = wine.drive_c / "windows" / "system32"
    wine.run("cmd", "/c", "exit", timeout=120)  # the prefix is populated by its first program
    files = sorted(p for p in system32.iterdir() if p.suffix.lower() in (".dll", ".exe") and p.is_file())
    # Copies on the host side: Wine's own DLLs are links into its install.
    folder = tmp_path / "system32"
    folder.mkdir()
    for path in files:
        shutil.copyfile(path, folder / path.name)
    paths = [prefix_path_of(wine, folder / p.name) for p in files]
    answers = probe(wine, paths)

    agree, only_ours_refuses, both_none = 0, collections.Counter(), 0
    for path, (theirs, mine) in answers.items():
        if mine.startswith("refused: "):
            if theirs == "none":
                both_none += 1
            else:
                only_ours_refuses[mine] += 1
            continue
        # Whatever ours reads, Wine reads the same.
        assert mine == theirs, path
        agree += 1
    print(f"\nversion oracle: {agree} files read alike, {both_none} without a version resource for both, "
          f"refused by ours alone: {dict(only_ours_refuses)}")
    assert agree >= 100
    # Ours is stricter only where a file is ambiguous: several languages.
    assert set(only_ours_refuses) <= {"refused: version resource in more than one language"}, only_ours_refuses
