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
    (install / "UninstallVora.bat").write_bytes(faults.installed_script())
    ledger.inspect("clean", install, before, expected_deviation=False)
    assert (ledger.unverified_bytes, ledger.leftovers) == (0, 0)

    (install / "VoraBroker.exe").write_bytes(b"twelve bytes")
    (install / "VoraSetup.exe.download").write_bytes(b"partial")
    (install / "planted-by-test.exe").write_bytes(b"changed by the run")
    ledger.inspect("dirty", install, before, expected_deviation=False)
    assert ledger.unverified_bytes == len(b"twelve bytes") + len(b"changed by the run")
    assert ledger.leftovers == 1


def test_ledger_counts_files_outside_touched(tmp_path):
    ledger = faults.Ledger(BUILD)
    victim = tmp_path / "victim"
    (victim / "sub").mkdir(parents=True)
    (victim / "old.log").write_text("old")
    (victim / "sub" / "kept.txt").write_text("kept")
    before = faults.tree_snapshot(victim)
    ledger.inspect_outside("clean", victim, before)
    assert ledger.outside_touched == 0

    (victim / "old.log").unlink()
    (victim / "sub" / "new.log").write_text("new")
    (victim / "sub" / "kept.txt").write_text("changed")
    ledger.inspect_outside("dirty", victim, before)
    # The removed, the new and the changed file, and the folder new.log went into.
    assert ledger.outside_touched == 4


def test_catalogue_lists_exactly_the_marked_cases():
    marked = set()
    for test_file in Path(__file__).parent.glob("test_*.py"):
        marked |= set(re.findall(r'@pytest\.mark\.fault\("([^"]+)"\)', test_file.read_text()))
    catalogue = (ROOT / "docs" / "faults.md").read_text()
    listed = set(re.findall(r"^\| `([a-z0-9-]+)` \|", catalogue, re.MULTILINE))
    assert marked == listed, (marked - listed, listed - marked)


def test_ledgers_of_workers_add_up_to_the_whole_run():
    # What each pytest-xdist worker hands the controller when it finishes.
    whole = faults.Ledger(BUILD)
    parts = [faults.Ledger(BUILD), faults.Ledger(BUILD)]
    for i, part in enumerate(parts, start=1):
        for name in faults.COUNTS:
            setattr(part, name, i * 10 + len(name))
        part.problems.append(f"problem of worker {i}")
    for part in parts:
        whole.add(part.to_dict())
    for name in faults.COUNTS:
        assert getattr(whole, name) == 10 + len(name) + 20 + len(name)
    assert whole.problems == ["problem of worker 1", "problem of worker 2"]
