"""Shared fixtures of the end-to-end suite: the real VoraSetup.exe under Wine.

Every test gets a fresh Wine prefix, copied from a template prefix that is
booted once per session (booting one takes far longer than copying it).
"""

import contextlib
import fcntl
import os
import shutil
import subprocess
import time
from pathlib import Path

import pytest

import faults
from faults import (  # noqa: F401 - the fault ledger's hooks
    pytest_runtest_makereport,
    pytest_sessionfinish,
    pytest_terminal_summary,
)

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("VORA_WINDOWS_BUILD", ROOT / "build" / "windows"))
BIN = BUILD / "bin"
SETUP_EXE = BIN / "VoraSetup.exe"
# The message boxes as photographed by test_ui.py.
SCREENS = BUILD / "screens"

BASE_ENV = {
    "WINEDEBUG": "-all",
    # No Mono or Gecko installer prompts in a fresh prefix.
    "WINEDLLOVERRIDES": "mscoree,mshtml=",
}


def _wine_env(prefix: Path) -> dict:
    env = dict(os.environ)
    env.update(BASE_ENV)
    env["WINEPREFIX"] = str(prefix)
    # Message boxes need a display; without one they return at once.
    if "VORA_E2E_DISPLAY" in os.environ:
        env["DISPLAY"] = os.environ["VORA_E2E_DISPLAY"]
    else:
        env.pop("DISPLAY", None)
    return env


class WinePrefix:
    """One Wine prefix of a test, with helpers to run programs and read results."""

    def __init__(self, path: Path):
        self.path = path
        self.env = _wine_env(path)
        self.drive_c = path / "drive_c"
        self.program_data = self.drive_c / "ProgramData"
        self.program_files = self.drive_c / "Program Files"
        self.data_dir = self.program_data / "Vora"
        self.log_dir = self.data_dir / "Logs"
        self.crash_dir = self.data_dir / "Crashes"
        self.install_dir = self.program_files / "Vora"
        self._server_started = False
        self._runs = 0
        self.install_snapshot = None

    def start_server(self):
        """A persistent server keeps services alive after the last program exits."""
        if self.install_snapshot is None:
            # What the test itself put in the install directory before any run.
            self.install_snapshot = faults.snapshot(self.install_dir)
        if not self._server_started:
            subprocess.run(["wineserver", "-p"], env=self.env, check=True)
            self._server_started = True

    def run(self, exe, *args, timeout=180, env=None) -> subprocess.CompletedProcess:
        """Runs a program to its end. Output goes to files, not pipes: Wine's
        own background processes inherit the handles and outlive the program."""
        self.start_server()
        run_env = dict(self.env)
        if env:
            run_env.update(env)
        self._runs += 1
        out_path = self.path.parent / f"run{self._runs}.out"
        err_path = self.path.parent / f"run{self._runs}.err"
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            process = subprocess.Popen(
                ["wine", str(exe), *map(str, args)], env=run_env, stdout=out, stderr=err, stdin=subprocess.DEVNULL
            )
            try:
                returncode = process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
                raise
        return subprocess.CompletedProcess(
            process.args,
            returncode,
            out_path.read_bytes().decode("utf-8", "replace"),
            err_path.read_bytes().decode("utf-8", "replace"),
        )

    def popen(self, exe, *args, env=None, **kwargs) -> subprocess.Popen:
        self.start_server()
        run_env = dict(self.env)
        if env:
            run_env.update(env)
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        kwargs.setdefault("stdout", subprocess.DEVNULL)
        kwargs.setdefault("stderr", subprocess.DEVNULL)
        return subprocess.Popen(["wine", str(exe), *map(str, args)], env=run_env, **kwargs)

    def setup(self, *args, timeout=180, env=None) -> subprocess.CompletedProcess:
        return self.run(SETUP_EXE, *args, timeout=timeout, env=env)

    def windows_path(self, path: Path) -> str:
        rel = Path(path).resolve().relative_to(self.drive_c.resolve())
        return "C:\\" + str(rel).replace("/", "\\")

    def unix_path(self, windows_path: str) -> Path:
        assert windows_path[1:3] == ":\\", windows_path
        return self.drive_c.joinpath(*windows_path[3:].split("\\"))

    def logs(self):
        if not self.log_dir.is_dir():
            return []
        return sorted(self.log_dir.glob("*.log"), key=lambda p: (p.stat().st_mtime, p.name))

    def log_text(self, path=None) -> str:
        path = path or self.logs()[-1]
        return path.read_bytes().decode("utf-8")

    def log_lines(self, path=None, whole_file=False):
        """Messages of the log's records, without the time stamp and level.

        Two runs started in the same second share one log file, the second
        appending; unless whole_file is set, only the last run's records
        (from its "Setup process starting") are returned."""
        out = []
        for line in self.log_text(path).split("\r\n"):
            if line:
                out.append(line.split("] ", 2)[2] if line.count("] ") >= 2 else line)
        if not whole_file and "Setup process starting" in out:
            out = out[len(out) - 1 - out[::-1].index("Setup process starting") :]
        return out

    def kill(self):
        subprocess.run(["wineserver", "-k"], env=self.env, check=False)
        subprocess.run(["wineserver", "-w"], env=self.env, check=False, timeout=60)


def made_once_per_run(config, tmp_path_factory, name: str, make) -> Path:
    """The prefix make(path) leaves, made once per run. Parallel workers
    share the parent of their base folders: the first worker to ask makes it
    under a lock while the others wait. Every worker only copies from it;
    nothing runs in it once it is made."""
    if not hasattr(config, "workerinput"):
        path = tmp_path_factory.mktemp(name) / "prefix"
        make(path)
        return path
    root = tmp_path_factory.getbasetemp().parent / name
    root.mkdir(exist_ok=True)
    path = root / "prefix"
    with open(root / "lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not (root / "made").exists():
            shutil.rmtree(path, ignore_errors=True)
            make(path)
            (root / "made").touch()
    return path


def _boot_prefix(path: Path):
    env = _wine_env(path)
    subprocess.run(["wineboot", "-i"], env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    subprocess.run(["wineserver", "-w"], env=env, check=True, timeout=120)


@pytest.fixture(scope="session")
def template_prefix(tmp_path_factory, pytestconfig) -> Path:
    if not SETUP_EXE.exists():
        pytest.fail(f"{SETUP_EXE} is missing: build the windows preset first")
    return made_once_per_run(pytestconfig, tmp_path_factory, "template", _boot_prefix)


# Wine's own modules, which it maps and never writes: a copied prefix links
# them to the template's (most of a prefix's 700 MB, copied for every case
# before); the registry and everything a case may change are copied.
_SHARED_MODULES = {".dll", ".exe", ".drv", ".sys", ".acm", ".ocx", ".cpl", ".tlb", ".msstyles", ".nls", ".mui"}


def _copy_or_link(source, target):
    if Path(source).suffix.lower() in _SHARED_MODULES and "/drive_c/windows/" in source:
        os.link(source, target)
    else:
        shutil.copy2(source, target)


@contextlib.contextmanager
def fresh_prefix(template: Path, tmp_path: Path, request):
    """A copy of a template prefix for one test, inspected and removed after it."""
    path = tmp_path / "prefix"
    shutil.copytree(template, path, symlinks=True, copy_function=_copy_or_link)
    prefix = WinePrefix(path)
    try:
        yield prefix
    finally:
        prefix.kill()
        faults.ledger().inspect(
            request.node.nodeid,
            prefix.install_dir,
            prefix.install_snapshot or {},
            expected_deviation=request.node.get_closest_marker("xfail") is not None,
        )
        shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def wine(template_prefix, tmp_path, request) -> WinePrefix:
    with fresh_prefix(template_prefix, tmp_path, request) as prefix:
        yield prefix


def wait_for(predicate, timeout=30.0, interval=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    return predicate()


def clear_screens():
    SCREENS.mkdir(parents=True, exist_ok=True)
    for old in SCREENS.glob("*.png"):
        old.unlink()


def _distributing(config) -> bool:
    """This process is the controller of a pytest-xdist run (not a worker)."""
    return not hasattr(config, "workerinput") and bool(getattr(config.option, "tx", None))


def pytest_sessionstart(session):
    if _distributing(session.config):
        clear_screens()


def wait_for_release_check():
    """scripts/test runs tests/release/check_release beside this suite and
    names a status file that appears, holding its exit status, when it ends;
    the release it leaves is only there after that."""
    status = os.environ.get("VORA_RELEASE_CHECK_STATUS")
    if not status:
        return
    status, pid = Path(status), int(os.environ["VORA_RELEASE_CHECK_PID"])
    while not status.exists():
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            # It may have written the file just before it ended.
            if not status.exists():
                pytest.fail("tests/release/check_release ended without an exit status")
        time.sleep(1)
    if status.read_text().strip() != "0":
        pytest.fail("tests/release/check_release failed: its output follows the suite's")


# The longest cases: each waits for a crash dump and symbolizes it.
_LONGEST = {
    "test_crash_writes_a_dump_and_exits_1",
    "test_runtime_termination_ends_like_a_crash",
    "test_crash_box_names_the_dump",
    # One of its cases runs into the download deadline.
    "test_failed_reinstall_keeps_the_running_installation",
}


def pytest_collection_modifyitems(session, config, items):
    # Cases of the release run last, so the release check running beside
    # the suite has the most time to finish before a worker waits for it.
    if os.environ.get("VORA_RELEASE_CHECK_STATUS"):
        items.sort(key=lambda item: "release_exe" in getattr(item, "fixturenames", ()))
    if hasattr(config, "workerinput"):
        _spread_longest(items, config.workerinput["workercount"])


def _spread_longest(items, workers):
    """On parallel workers the longest cases go first, one at the head of
    each worker's first batch, the rest right after those batches, so no
    worker is left with a long case at the end. xdist's load scheduler hands
    each worker a first batch of max(len(items) // workers // 4, 2)
    consecutive cases, then one case at a time. Every worker collects alike,
    so every worker computes the same order."""
    longest = [item for item in items if getattr(item, "originalname", item.name) in _LONGEST]
    others = [item for item in items if getattr(item, "originalname", item.name) not in _LONGEST]
    batch = max(len(items) // workers // 4, 2)
    order = []
    for _ in range(workers):
        take = batch
        if longest:
            order.append(longest.pop(0))
            take -= 1
        order.extend(others[:take])
        del others[:take]
    items[:] = order + longest + others


def pytest_configure(config):
    faults.configure(config)
    config.addinivalue_line("markers", "ui: message boxes and web searches on a private X display (needs Xvfb)")
