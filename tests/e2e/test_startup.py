"""Start-up of the real program: command line, single instance, logs, dumps."""

import os
import re
import struct
import subprocess
import time

import pytest

from cdn import cdn, trusted_template_prefix, trusted_wine  # noqa: F401 - fixtures
from conftest import BIN, BUILD, ROOT, SETUP_EXE, wait_for
from test_service import publish_all, service_state

LOG_NAME = re.compile(r"^setup-(\d+)_(\d{4})-(\d{2})-(\d{2})_(\d{2})-(\d{2})-(\d{2})\.log$")
LINE = re.compile(r"^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] \[(info|warning|error|critical)\] .*$")


@pytest.mark.fault("cmdline-none")
def test_no_action_is_refused_and_logged(wine):
    result = wine.setup()
    assert result.returncode == 1
    logs = wine.logs()
    assert len(logs) == 1
    assert LOG_NAME.match(logs[0].name), logs[0].name
    raw = logs[0].read_bytes()
    assert raw.endswith(b"\r\n") and b"\n" not in raw.replace(b"\r\n", b"")
    for line in wine.log_text().split("\r\n")[:-1]:
        assert LINE.match(line), line
    lines = wine.log_lines()
    assert re.fullmatch(r"Vora setup release [0-9]+\.[0-9]+\.[0-9]+\.[0-9]+", lines.pop(1)), lines
    assert lines == [
        "Setup process starting",
        "No setup action specified",
        "No valid setup action specified",
        'Fatal error thrown: "No valid action specified.\\n\\nUsage: /install | /uninstall"',
    ]
    assert "[warning] No setup action specified" in wine.log_text()


@pytest.mark.fault("cmdline-rejected")
@pytest.mark.parametrize(
    "args, reason",
    [
        (["/install", "/uninstall"], "Argument '/uninstall' not allowed with '/install'"),
        (["/INSTALL"], "Unknown argument: /INSTALL"),
        (["-install"], "Zero positional arguments expected"),
        (["/install=1"], "Zero positional arguments expected"),
        (["/install", "/install"], "Duplicate argument /install"),
    ],
)
def test_bad_command_line_is_refused_with_help(wine, args, reason):
    result = wine.setup(*args)
    assert result.returncode == 1
    lines = wine.log_lines()
    assert lines[0] == "Setup process starting"
    failure = [line for line in lines if line.startswith("Failed to parse command line: ")]
    assert failure, lines
    assert reason in failure[0]
    fatal = lines[-1]
    assert fatal.startswith('Fatal error thrown: "Failed to parse command line.\\n\\nUsage: setup')
    for option in ("/install", "/uninstall", "/uninstall-full"):
        assert option in fatal
    assert "Install the Vora launcher service" in fatal


@pytest.mark.fault("cmdline-forged-record")
def test_argument_with_a_line_end_cannot_forge_a_record(wine):
    forged = "/x\r\n[2026-01-01 00:00:00] [info] Completed installation"
    result = wine.setup(forged)
    assert result.returncode == 1
    records = wine.log_text().split("\r\n")[:-1]
    for record in records:
        assert LINE.match(record), record
    assert [r for r in records if "Completed installation" in r] == [
        r for r in records if "Failed to parse command line: Unknown argument: /x\\r\\n[2026-01-01 00:00:00]" in r
    ]
    assert len([r for r in records if "Completed installation" in r]) == 1, records


@pytest.mark.fault("uninstall-without-avx2")
def test_uninstall_needs_no_avx2(wine):
    wine.install_dir.mkdir(parents=True)
    (wine.install_dir / "leftover.txt").write_text("from an earlier install")
    # No display: a guidance box would return at once and the run end with 0.
    result = wine.run(BIN / "setup_no_avx2.exe", "/uninstall", timeout=300)
    assert result.returncode == 0
    assert not wine.install_dir.exists()
    assert wine.log_lines()[-2:] == ["Completed uninstallation", "Setup process exiting successfully"]


@pytest.mark.fault("second-instance")
def test_a_second_setup_is_refused_unwritten_and_a_foreign_mutex_stops_nothing(trusted_wine, cdn):
    """Anybody's program may hold the named mutex: the setup goes on. A
    second setup while the first runs is refused before it writes a byte."""
    wine = trusted_wine
    publish_all(cdn)
    holder = wine.popen(BIN / "hold_mutex.exe", "120000")
    first = None
    try:
        assert wait_for((wine.drive_c / "mutex-held").exists, timeout=60), "holder never took the mutex"
        # The first setup waits on a server that stalls, then retries.
        cdn.rules["VoraService.exe"] = {"stall": 8}
        first = wine.popen(SETUP_EXE, "/install")
        assert wait_for(lambda: any("VoraService.exe" in r for r in cdn.requests), timeout=60)
        logs = wine.logs()
        assert wine.setup("/install").returncode == 1
        assert wine.logs() == logs, "the second setup wrote no log"
        del cdn.rules["VoraService.exe"]
        assert first.wait(timeout=300) == 0
        assert wait_for(lambda: service_state(wine) == "RUNNING", timeout=30)
        assert "Another program holds the instance mutex; it does not stop this setup" in wine.log_lines()
    finally:
        for process in (holder, first):
            if process is not None and process.poll() is None:
                process.kill()
                process.wait()


def _age(path, seconds_ago):
    stamp = time.time() - seconds_ago
    os.utime(path, (stamp, stamp))


def test_old_logs_and_dumps_are_pruned(wine):
    wine.log_dir.mkdir(parents=True)
    wine.crash_dir.mkdir(parents=True)
    for i in range(160):
        path = wine.log_dir / f"setup-old-{i:03}.log"
        path.write_text("old\r\n")
        _age(path, 3600 + (160 - i) * 60)  # old-000 is the oldest
    for i in range(20):
        path = wine.crash_dir / f"setup-old-{i:02}.dmp"
        path.write_bytes(b"MDMP")
        _age(path, 3600 + (20 - i) * 60)
    keep = wine.log_dir / "notes.LOG"
    keep.write_text("kept")
    _age(keep, 40 * 86400)
    expired = wine.log_dir / "setup-ancient.log"
    expired.write_text("ancient")
    _age(expired, 31 * 86400)

    assert wine.setup().returncode == 1

    logs = sorted(p.name for p in wine.log_dir.glob("*.log"))
    assert len(logs) == 151
    for i in range(10):
        assert f"setup-old-{i:03}.log" not in logs, i
    assert "setup-old-010.log" in logs
    assert "setup-ancient.log" not in logs
    assert keep.exists()
    dumps = sorted(p.name for p in wine.crash_dir.glob("*.dmp"))
    assert dumps == [f"setup-old-{i:02}.dmp" for i in range(5, 20)]


@pytest.mark.fault("crash")
def test_crash_writes_a_dump_and_exits_1(wine):
    result = wine.run(BIN / "crash_test.exe", timeout=300)
    assert result.returncode == 1
    dumps = list(wine.crash_dir.glob("*.dmp"))
    assert len(dumps) == 1
    assert re.match(r"^crash-\d+_\d{4}-\d{2}-\d{2}_\d{2}-\d{2}-\d{2}\.dmp$", dumps[0].name), dumps[0].name
    assert dumps[0].read_bytes()[:4] == b"MDMP"
    lines = wine.log_lines()
    assert lines[-1].startswith(
        'Fatal error thrown: "A fatal error has occurred and the program has crashed.\\n\\n'
        "A crash report has been saved to:\\nC:\\\\ProgramData\\\\Vora\\\\Crashes\\\\crash-"
    )
    assert lines[-1].endswith('.dmp\\n\\nPlease report this to staff."')

    # The dump leads back to the faulting store, from the exe, from a release's
    # .debug file of it, and from the build tree found by build id alone.
    source = (ROOT / "tests" / "tools" / "crash_test.cpp").read_text().splitlines()
    store = next(n for n, line in enumerate(source, 1) if "*target = 42" in line)
    build_id = _build_id(BIN / "crash_test.exe")
    debug = wine.path.parent / "crash_test.exe.debug"
    subprocess.run(["x86_64-w64-mingw32-objcopy", "--only-keep-debug", BIN / "crash_test.exe", debug], check=True)
    for debug_file in ([BIN / "crash_test.exe"], [debug], []):
        result = _symbolize(dumps[0], *debug_file)
        assert result.returncode == 0, result.stderr
        out = result.stdout.splitlines()
        assert out[0] == "Exception: 0xC0000005 EXCEPTION_ACCESS_VIOLATION (write at 0x0000000000000000)", out
        assert re.match(r"^Address: +0x[0-9A-F]{16} crash_test\.exe\+0x[0-9A-F]+$", out[1]), out
        assert out[2].startswith("Function:  ") and "write_through" in out[2], out
        assert out[2].endswith(f"crash_test.cpp:{store}"), out
        assert f"(build id {build_id}) for crash_test.exe" in result.stdout, out
        stack = [line for line in out if line.startswith("  #")]
        assert "crash_test.exe+0x" in stack[0] and "write_through" in stack[0], stack
        assert any(re.search(r"crash_test\.exe\+0x[0-9A-F]+  wmain .*crash_test\.cpp:\d+$", f) for f in stack), stack
        assert any("mainCRTStartup" in f for f in stack), stack  # on through wmain's own frame

    # A debug file of another build would name the wrong code: refused.
    result = _symbolize(dumps[0], BIN / "throw_test.exe")
    assert result.returncode == 1 and result.stdout == ""
    other = _build_id(BIN / "throw_test.exe")
    assert other != build_id
    assert f"throw_test.exe: it has build id {other}" in result.stderr and build_id in result.stderr, result.stderr


def _build_id(exe):
    """The exe's build id as objdump spells its CodeView record."""
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", exe], capture_output=True, text=True, check=True)
    signature, age = re.search(r"\(format RSDS signature ([0-9a-f]{32}) age (\d+)", dump.stdout).groups()
    return f"{signature}-{age}"


def _symbolize(dump, *debug_file):
    """scripts/symbolize on a dump; without a debug file it searches the build under test."""
    env = dict(os.environ, VORA_WINDOWS_BUILD=str(BUILD))
    return subprocess.run([ROOT / "scripts" / "symbolize", dump, *debug_file], capture_output=True, text=True, env=env)


def _dump_exception_code(dump):
    """ExceptionCode of the dump's exception stream (type 6)."""
    with dump.open("rb") as f:
        signature, _, count, directory = struct.unpack("<4sIII", f.read(16))
        assert signature == b"MDMP"
        f.seek(directory)
        streams = [struct.unpack("<III", f.read(12)) for _ in range(count)]
        rva = next(rva for kind, _, rva in streams if kind == 6)
        f.seek(rva + 8)  # after ThreadId and alignment
        return struct.unpack("<I", f.read(4))[0]


@pytest.mark.fault("crash-uncaught")
@pytest.mark.parametrize("mode", ["throw", "abort", "terminate"])
def test_runtime_termination_ends_like_a_crash(wine, mode):
    result = wine.run(BIN / "throw_test.exe", mode, timeout=300)
    assert result.returncode == 1
    dumps = list(wine.crash_dir.glob("*.dmp"))
    assert len(dumps) == 1
    assert re.match(rf"^{mode}-\d+_\d{{4}}-\d{{2}}-\d{{2}}_\d{{2}}-\d{{2}}-\d{{2}}\.dmp$", dumps[0].name), dumps[0].name
    # The program's own code, raised by the terminate and SIGABRT handlers.
    assert _dump_exception_code(dumps[0]) == 0xE0564F52
    lines = wine.log_lines()
    assert lines[-1].startswith(
        'Fatal error thrown: "A fatal error has occurred and the program has crashed.\\n\\n'
        f"A crash report has been saved to:\\nC:\\\\ProgramData\\\\Vora\\\\Crashes\\\\{mode}-"
    )
    uncaught = ["Unhandled C++ exception: nobody catches this"] if mode == "throw" else []
    assert [line for line in lines if line.startswith("Unhandled")] == uncaught
    if uncaught:
        assert lines[-2] == uncaught[0]
        # Raised inside a system DLL, the stack still unwinds into the program's own frames.
        result = _symbolize(dumps[0], BIN / "throw_test.exe")
        assert result.returncode == 0, result.stderr
        stack = [line for line in result.stdout.splitlines() if line.startswith("  #")]
        assert any(re.search(r"throw_test\.exe\+0x[0-9A-F]+  .*throw_from_below.* .*throw_test\.cpp:\d+$", f)
                   for f in stack), result.stdout


@pytest.mark.fault("crash-dir-file")
def test_a_file_named_crashes_is_moved_aside_and_the_run_goes_on(wine):
    """Anybody may create files in ProgramData: one where a folder belongs is
    no reason for a run to end without a log."""
    wine.data_dir.mkdir(parents=True)
    (wine.data_dir / "Crashes").write_text("not a directory")
    assert wine.setup().returncode == 1  # no action given
    moved = [line for line in wine.log_lines() if line.startswith("Moved untrusted directory")]
    assert len(moved) == 1 and moved[0].startswith(
        "Moved untrusted directory 'C:\\ProgramData\\Vora\\Crashes' aside to "), moved
    assert moved[0].endswith(": it is not a directory")
    aside = moved[0].split(" aside to '", 1)[1].split("': ", 1)[0]
    assert wine.unix_path(aside).read_text() == "not a directory"
    assert wine.crash_dir.is_dir()


def test_non_ascii_data_directory_keeps_its_name(wine):
    """Narrow text is UTF-8 end to end: the log file is opened under the real
    folder name and a path in a log line reads as written."""
    folder = "Données"
    (wine.drive_c / folder / "Vora" / "Logs").mkdir(parents=True)
    planted = wine.drive_c / folder / "Vora" / "Logs" / "planted"
    elsewhere = wine.path.parent / "elsewhere"
    elsewhere.mkdir()
    planted.symlink_to(elsewhere, target_is_directory=True)
    profiles = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\ProfileList"
    assert wine.run("reg", "add", profiles, "/v", "ProgramData", "/t", "REG_EXPAND_SZ", "/d", f"C:\\{folder}", "/f").returncode == 0

    assert wine.setup().returncode == 1

    logs = list((wine.drive_c / folder / "Vora" / "Logs").glob("setup-*.log"))
    assert len(logs) == 1, sorted(p.name for p in wine.drive_c.iterdir())
    lines = wine.log_lines(logs[0])
    moved = [line for line in lines if line.startswith("Moved untrusted directory")]
    assert moved and moved[0].startswith(f"Moved untrusted directory 'C:\\{folder}\\Vora\\Logs' aside to "), lines
    assert moved[0].endswith("': it holds the link 'planted'")
    assert list(elsewhere.iterdir()) == []
