"""The ledger behind the "faults:" line must see what it claims to count, and
the catalogue must list exactly the cases the suite marks."""

import re
from pathlib import Path

import faults
from conftest import BUILD, ROOT


def test_ledger_counts_unverified_bytes_and_leftovers(tmp_path):
    ledger = faults.Ledger(BUILD)
    install = tmp_path / "Vora"
    install.mkdir()
    (install / "planted-by-test.exe").write_bytes(b"put here by the test")
    before = faults.snapshot(install)

    (install / "VoraService.exe").write_bytes((BUILD / "cdn" / "VoraService.exe").read_bytes())
    (install / "UninstallVora.bat").write_bytes((ROOT / "resources" / "UninstallVora.bat").read_bytes())
    ledger.inspect("clean", install, before, expected_deviation=False)
    assert (ledger.unverified_bytes, ledger.leftovers) == (0, 0)

    (install / "VoraBroker.exe").write_bytes(b"twelve bytes")
    (install / "VoraSetup.exe.download").write_bytes(b"partial")
    (install / "planted-by-test.exe").write_bytes(b"changed by the run")
    ledger.inspect("dirty", install, before, expected_deviation=False)
    assert ledger.unverified_bytes == len(b"twelve bytes") + len(b"changed by the run")
    assert ledger.leftovers == 1


def test_catalogue_lists_exactly_the_marked_cases():
    marked = set()
    for test_file in Path(__file__).parent.glob("test_*.py"):
        marked |= set(re.findall(r'@pytest\.mark\.fault\("([^"]+)"\)', test_file.read_text()))
    catalogue = (ROOT / "docs" / "faults.md").read_text()
    listed = set(re.findall(r"^\| `([a-z0-9-]+)` \|", catalogue, re.MULTILINE))
    assert marked == listed, (marked - listed, listed - marked)
