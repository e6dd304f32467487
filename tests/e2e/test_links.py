"""A standard user prepares the folders the elevated program works in: links
planted in and as the data directory, and in the install directory. Wine
cannot make junctions, so the links are host symbolic links; Wine shows a
directory link as a reparse point but a file link as a plain file, and
deletes a link's target when asked to delete the link. Whatever the program
does, the victim folder the links lead to must stay exactly as it was."""

import os
import re
import shutil
import time

import pytest

import faults
from cdn import cdn, trusted_template_prefix, trusted_wine  # noqa: F401 - fixtures
from conftest import BIN, wait_for
from test_service import publish_all, registration, service_state

LEFT_LINK = re.compile(r"^Left link '(.+)' in place: removing it would reach '(.+)'$")
FRESH = re.compile(r"^Failed to secure directory '(.+)' \(Error: \d+\): this run's log and dumps are in '(.+)'$")
MOVED = re.compile(r"^Moved untrusted directory '(.+)' aside to '(.+)': (.+)$")
YEARS_AGO = time.time() - 5 * 365 * 86400


class Victim:
    """A folder outside the prefix holding what an attacker would like the
    program to delete or overwrite: old logs and dumps, a subfolder, a file."""

    def __init__(self, path):
        self.path = path
        (path / "sub").mkdir(parents=True)
        for name in ("2019-old.log", "2019-old.dmp", "sub/inner.log", "precious.txt"):
            (path / name).write_bytes(b"victim's own bytes: " + name.encode())
            os.utime(path / name, (YEARS_AGO, YEARS_AGO))
        self.before = faults.tree_snapshot(path)

    def touched(self):
        return faults.tree_changes(self.path, self.before)


@pytest.fixture
def victim(tmp_path, request):
    v = Victim(tmp_path / "victim")
    yield v
    faults.ledger().inspect_outside(request.node.nodeid, v.path, v.before)


def moved_aside(lines):
    return [MOVED.match(line).groups() for line in lines if MOVED.match(line)]


def written_beside(wine, victim, link):
    """Wine opens, renames and deletes through a host link, so the program
    cannot move one aside there (Windows renames the link itself and goes on;
    the host unit tests show that). It leaves the link alone and writes this
    run's log and dumps in a fresh folder beside it, which it returns."""
    assert victim.touched() == []
    assert link.is_symlink() and os.readlink(link) == str(victim.path)
    [fresh] = [d for d in link.parent.iterdir() if re.fullmatch(re.escape(link.name) + r"\.[0-9a-f]{16}", d.name)]
    return fresh


def said_where(lines, link, fresh):
    notes = [FRESH.match(line).groups() for line in lines if FRESH.match(line)]
    assert [(path.split("\\")[-1], written.split("\\")[-1]) for path, written in notes] == [(link.name, fresh.name)]


@pytest.mark.fault("link-as-logs")
def test_logs_planted_as_a_link_is_never_written_or_pruned(wine, victim):
    wine.data_dir.mkdir(parents=True)
    wine.log_dir.symlink_to(victim.path, target_is_directory=True)

    assert wine.setup("/uninstall").returncode == 0
    fresh = written_beside(wine, victim, wine.log_dir)
    [log] = fresh.glob("*.log")
    said_where(wine.log_lines(log), wine.log_dir, fresh)


@pytest.mark.fault("link-as-crashes")
def test_crashes_planted_as_a_link_is_never_pruned(wine, victim):
    """The victim's old dump would be pruned through the link; a dump of this
    run goes where the crash directory was resolved, which the crash cases of
    test_startup.py show."""
    wine.data_dir.mkdir(parents=True)
    wine.crash_dir.symlink_to(victim.path, target_is_directory=True)

    assert wine.setup("/uninstall").returncode == 0
    fresh = written_beside(wine, victim, wine.crash_dir)
    assert fresh.is_dir() and not any(fresh.iterdir())
    said_where(wine.log_lines(), wine.crash_dir, fresh)


@pytest.mark.fault("link-as-data-dir")
def test_data_directory_planted_as_a_link_is_not_emptied(wine, victim):
    wine.program_data.mkdir(parents=True, exist_ok=True)
    wine.data_dir.symlink_to(victim.path, target_is_directory=True)

    assert wine.setup("/uninstall-full").returncode == 0
    fresh = written_beside(wine, victim, wine.data_dir)
    [log] = (fresh / "Logs").glob("*.log")
    said_where(wine.log_lines(log), wine.data_dir, fresh)


@pytest.mark.fault("link-in-crashes")
def test_link_inside_crashes_survives_a_full_uninstall_untouched(wine, victim):
    wine.crash_dir.mkdir(parents=True)
    (wine.crash_dir / "setup-1_2020-01-01_00-00-00.dmp").write_bytes(b"MDMP an old dump")
    (wine.crash_dir / "planted").symlink_to(victim.path, target_is_directory=True)
    (wine.crash_dir / "planted.dmp").symlink_to(victim.path / "2019-old.dmp")
    wine.install_dir.mkdir(parents=True)
    (wine.install_dir / "VoraBroker.exe").write_bytes(b"an earlier broker")

    # A run moves the folder that holds a link aside before writing anything there.
    assert wine.setup().returncode == 1
    [(path, aside, reason)] = moved_aside(wine.log_lines())
    assert path == "C:\\ProgramData\\Vora\\Crashes"
    assert re.fullmatch(r"C:\\ProgramData\\Vora\\Crashes\.untrusted-\d+", aside), aside
    assert reason == "it holds the link 'planted'"
    assert wine.setup("/uninstall-full").returncode == 0

    assert victim.touched() == []
    assert not wine.install_dir.exists()
    # Everything of the data directory is gone but the links themselves,
    # which Wine cannot remove without reaching their targets (Windows can).
    left = sorted(p.relative_to(wine.data_dir).as_posix() for p in wine.data_dir.rglob("*") if p.is_symlink())
    regular = [p for p in wine.data_dir.rglob("*") if not p.is_symlink() and p.is_file()]
    assert regular == []
    assert [re.sub(r"untrusted-\d+", "untrusted-N", p) for p in left] == [
        "Crashes.untrusted-N/planted",
        "Crashes.untrusted-N/planted.dmp",
    ]


@pytest.mark.fault("link-in-install-dir")
def test_links_inside_the_install_directory_are_never_followed(wine, victim):
    wine.install_dir.mkdir(parents=True)
    (wine.install_dir / "VoraBroker.exe").write_bytes(b"an earlier broker")
    (wine.install_dir / "logs").symlink_to(victim.path, target_is_directory=True)
    (wine.install_dir / "VoraService.exe").symlink_to(victim.path / "precious.txt")

    assert wine.setup("/uninstall").returncode == 0

    assert victim.touched() == []
    assert not (wine.install_dir / "VoraBroker.exe").exists()
    lines = wine.log_lines()
    left = sorted(LEFT_LINK.match(line).group(1) for line in lines if LEFT_LINK.match(line))
    assert left == ["C:\\Program Files\\Vora\\VoraService.exe", "C:\\Program Files\\Vora\\logs"]
    assert any(line.startswith("Failed to fully remove install directory 'C:\\Program Files\\Vora': ") for line in lines)
    assert lines[-1] == "Setup process exiting successfully"


@pytest.mark.fault("file-as-data-dir")
def test_a_plain_file_where_the_data_directory_belongs_blocks_nothing(trusted_wine, cdn):
    """Any user may create C:\\ProgramData\\Vora as a file, before the first
    install or after a full uninstall: it is moved aside, not obeyed."""
    wine = trusted_wine
    publish_all(cdn)
    for action in ("/install", "/uninstall"):
        if wine.data_dir.is_dir():
            shutil.rmtree(wine.data_dir)
        wine.program_data.mkdir(parents=True, exist_ok=True)
        wine.data_dir.write_bytes(b"squatted " + action.encode())
        assert wine.setup(action, timeout=300).returncode == 0, action
        [(path, aside, reason)] = moved_aside(wine.log_lines())
        assert (path, reason) == ("C:\\ProgramData\\Vora", "it is not a directory")
        assert wine.unix_path(aside).read_bytes() == b"squatted " + action.encode()
        assert wine.log_dir.is_dir()
        if action == "/install":
            assert wait_for(lambda: service_state(wine) == "RUNNING", timeout=30)
    assert service_state(wine) is None and registration(wine) is None

    # Held open without delete sharing, the name cannot be cleared: the run
    # still installs, its log in a fresh folder beside the name.
    shutil.rmtree(wine.data_dir)
    wine.data_dir.write_bytes(b"held")
    flag = wine.drive_c / "held.flag"
    holder = wine.popen(BIN / "hold_file.exe", "C:\\ProgramData\\Vora", "C:\\held.flag", "120000")
    try:
        assert wait_for(flag.exists, timeout=60)
        assert wine.setup("/install", timeout=300).returncode == 0
    finally:
        holder.kill()
        holder.wait()
    assert wait_for(lambda: service_state(wine) == "RUNNING", timeout=30)
    assert wine.data_dir.read_bytes() == b"held"
    [fresh] = [d for d in wine.program_data.iterdir() if re.fullmatch(r"Vora\.[0-9a-f]{16}", d.name)]
    [log] = (fresh / "Logs").glob("*.log")
    lines = wine.log_lines(log)
    assert f"this run's log and dumps are in 'C:\\ProgramData\\{fresh.name}'" in "\n".join(lines)
    assert "Completed installation" in lines
