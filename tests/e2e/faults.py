"""The fault ledger of the end-to-end suite.

Tests of hostile cases carry ``@pytest.mark.fault("ID")``; docs/faults.md
lists every ID with its outcome. After every test that used a Wine prefix,
the install directory is inspected:

- unverified bytes: a file that the run left in the install directory whose
  bytes are neither one of the signed files the build published nor the
  uninstall script, and that the test did not put there itself;
- leftovers: temporary ".download" files left in the install directory.

Tests that plant links give the program a "victim" folder outside the prefix;
every entry of it that a run created, changed or removed counts as a file
outside the program's folders touched.

A test that ran into a timeout counts as a hang. The session prints one line,
"faults: …", and fails when unverified bytes, leftovers, hangs or files
outside touched are not 0. Under pytest-xdist each worker keeps its own
ledger and hands it to the controller when it finishes; the controller adds
them up, so the line and the verdict are those of the whole run.
"""

import os

import hashlib
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def _digest(path: Path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def installed_script() -> bytes:
    """The uninstall script as setup writes it, with Wine's System32 filled in."""
    return (ROOT / "resources" / "UninstallVora.bat").read_bytes().replace(b"@SYSTEM32@", b"C:\\windows\\system32")


COUNTS = ("tried", "passed", "wine_deviations", "unverified_bytes", "leftovers", "hangs", "outside_touched")


class Ledger:
    def __init__(self, build: Path):
        self.build = build
        self.tried = 0
        self.passed = 0
        self.wine_deviations = 0
        self.unverified_bytes = 0
        self.leftovers = 0
        self.hangs = 0
        self.outside_touched = 0
        self.problems = []
        self.lost_workers = 0
        self._known = None

    def known_digests(self):
        if self._known is None:
            known = {_digest(p) for p in (self.build / "cdn").glob("*.exe")}
            for fixture in ("renewed-signed.exe", "service-exits.exe", "next-service-stops.exe"):
                known.add(_digest(self.build / "cdn-fixtures" / fixture))
            # The next release, published for updates and downgrades.
            known |= {_digest(p) for p in (self.build / "cdn-fixtures" / "next").glob("*.exe")}
            known.add(hashlib.sha256(installed_script()).hexdigest())
            self._known = known
        return self._known

    def inspect(self, nodeid, install_dir: Path, before: dict, expected_deviation: bool):
        if not install_dir.is_dir():
            return
        for path in install_dir.rglob("*"):
            if path.is_symlink() or not path.is_file():
                planted = path.is_symlink() and before.get(path) == _link(path)
                if path.name.endswith((".download", ".previous")) and not expected_deviation and not planted:
                    self.leftovers += 1
                    self.problems.append(f"{nodeid}: leftover {path.name}")
                continue
            if path.name.endswith((".download", ".previous")):
                if not expected_deviation:
                    self.leftovers += 1
                    self.problems.append(f"{nodeid}: leftover {path.name}")
                continue
            digest = _digest(path)
            if before.get(path) == digest or digest in self.known_digests():
                continue
            self.unverified_bytes += path.stat().st_size
            self.problems.append(f"{nodeid}: unverified {path.name} ({path.stat().st_size} bytes)")


    def to_dict(self) -> dict:
        out = {name: getattr(self, name) for name in COUNTS}
        out["problems"] = list(self.problems)
        return out

    def add(self, counts: dict):
        for name in COUNTS:
            setattr(self, name, getattr(self, name) + counts[name])
        self.problems.extend(counts["problems"])

    def inspect_outside(self, nodeid, root: Path, before: dict):
        touched = tree_changes(root, before)
        self.outside_touched += len(touched)
        for path in touched:
            self.problems.append(f"{nodeid}: outside touched {path}")


def tree_snapshot(root: Path) -> dict:
    """Every entry below root, links not followed: kind, content or target, times."""
    out = {}
    for folder, dirs, files in os.walk(root, followlinks=False):
        for name in dirs + files:
            path = Path(folder) / name
            info = path.lstat()
            if path.is_symlink():
                out[path] = ("link", os.readlink(path), info.st_mtime_ns)
            elif path.is_dir():
                out[path] = ("dir", None, info.st_mtime_ns)
            else:
                out[path] = ("file", _digest(path), info.st_mtime_ns)
    return out


def tree_changes(root: Path, before: dict) -> list:
    """Entries created, changed or removed since the snapshot."""
    after = tree_snapshot(root) if root.exists() else {}
    return sorted(str(p) for p in set(before) | set(after) if before.get(p) != after.get(p))


def _link(path: Path) -> str:
    return "link to " + os.readlink(path)


def snapshot(install_dir: Path) -> dict:
    """What the test itself put in the install directory: files by digest, links by target."""
    if not install_dir.is_dir():
        return {}
    out = {p: _link(p) for p in install_dir.rglob("*") if p.is_symlink()}
    out.update({p: _digest(p) for p in install_dir.rglob("*") if p.is_file() and not p.is_symlink()})
    return out


_ledger = None


def configure(config):
    global _ledger
    config.addinivalue_line("markers", "fault(id): a hostile case of the fault catalogue (docs/faults.md)")
    from conftest import BUILD

    _ledger = Ledger(BUILD)
    if config.pluginmanager.hasplugin("xdist"):
        config.pluginmanager.register(_WorkerLedgers(), "vora-fault-ledgers")


def _is_worker(config) -> bool:
    return hasattr(config, "workerinput")


class _WorkerLedgers:
    """The controller's side of a distributed run: each worker's ledger,
    added up as the worker goes down. A worker that died without handing
    one over counts as a problem, so its cases cannot vanish from the line."""

    @pytest.hookimpl
    def pytest_testnodedown(self, node, error):
        counts = getattr(node, "workeroutput", {}).get("vora_faults")
        if counts is None:
            _ledger.problems.append(f"worker {node.gateway.id} ended without its fault ledger ({error})")
            _ledger.lost_workers += 1
        else:
            _ledger.add(counts)


def ledger() -> Ledger:
    return _ledger


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if _ledger is None:
        return
    if call.excinfo is not None and call.excinfo.errisinstance(subprocess.TimeoutExpired):
        _ledger.hangs += 1
        _ledger.problems.append(f"{item.nodeid}: timed out")
    if report.when == "call" and item.get_closest_marker("fault"):
        _ledger.tried += 1
        if hasattr(report, "wasxfail"):
            _ledger.wine_deviations += 1
        elif report.passed:
            _ledger.passed += 1


def pytest_terminal_summary(terminalreporter):
    if _is_worker(terminalreporter.config):
        return
    if _ledger is None or not (_ledger.tried or _ledger.problems):
        return
    for problem in _ledger.problems:
        terminalreporter.write_line(f"fault ledger: {problem}")
    terminalreporter.write_line(
        f"faults: {_ledger.tried} cases tried, {_ledger.passed} passed, "
        f"{_ledger.wine_deviations} known Wine deviations, {_ledger.unverified_bytes} unverified bytes installed, "
        f"{_ledger.leftovers} leftovers, {_ledger.hangs} hangs, "
        f"{_ledger.outside_touched} files outside the program's folders touched"
    )


def pytest_sessionfinish(session, exitstatus):
    if _ledger is not None and _is_worker(session.config):
        session.config.workeroutput["vora_faults"] = _ledger.to_dict()
        return
    if _ledger is not None and (
        _ledger.unverified_bytes or _ledger.leftovers or _ledger.hangs or _ledger.outside_touched or _ledger.lost_workers
    ):
        session.exitstatus = 1
