"""The entry in Apps & features, as Wine's own uninstaller reads it from the
same key that Settings does, and the command it names, run from the install
directory it removes."""

import math
import time

import pytest

from cdn import (
    CDN_DIR,
    cdn,  # noqa: F401 - fixture
    trusted_template_prefix,  # noqa: F401 - fixture
    trusted_wine,  # noqa: F401 - fixture
)
from conftest import wait_for
from test_releases import this_release
from test_service import (
    INSTALL_DIR,
    INSTALLED_SETUP,
    install,
    registration,
    service_state,
    uninstall_entry,
)

PENDING_KEY = r"HKLM\System\CurrentControlSet\Control\Session Manager"


def installed_kib(wine):
    return math.ceil(sum(p.stat().st_size for p in wine.install_dir.iterdir()) / 1024)


@pytest.mark.fault("apps-entry-uninstaller")
def test_wines_uninstaller_lists_the_entry_and_its_command_removes_everything(trusted_wine, cdn):
    wine = trusted_wine
    days = {time.strftime("%Y%m%d")}
    install(wine, cdn)
    days.add(time.strftime("%Y%m%d"))
    assert wait_for(lambda: service_state(wine) == "RUNNING", timeout=30)

    listed = wine.run("uninstaller", "--list", timeout=60)
    # Newer Wine prints the list on stderr.
    assert "VoraAntiCheat|||Vora Anti-Cheat" in (listed.stdout + listed.stderr).splitlines(), listed

    entry = uninstall_entry(wine)
    assert entry is not None
    assert entry.pop("InstallDate")[1] in days
    major, minor = (int(part) for part in this_release().split(".")[:2])
    command = f'"{INSTALLED_SETUP}" /uninstall'
    # Exactly these: nothing that hides the entry (SystemComponent) or hands
    # it to another installer (WindowsInstaller).
    assert entry == {
        "DisplayName": ("REG_SZ", "Vora Anti-Cheat"),
        "Publisher": ("REG_SZ", "Vora"),
        "DisplayVersion": ("REG_SZ", this_release()),
        "VersionMajor": ("REG_DWORD", hex(major)),
        "VersionMinor": ("REG_DWORD", hex(minor)),
        "InstallLocation": ("REG_SZ", INSTALL_DIR),
        "DisplayIcon": ("REG_SZ", f"{INSTALLED_SETUP},0"),
        "EstimatedSize": ("REG_DWORD", hex(installed_kib(wine))),
        "NoModify": ("REG_DWORD", "0x1"),
        "NoRepair": ("REG_DWORD", "0x1"),
        "UninstallString": ("REG_SZ", command),
        "QuietUninstallString": ("REG_SZ", command),
    }, entry

    # Wine's uninstaller ignores the command's exit code and shows a blocking
    # box when it cannot start it: only the outcome and a time-out tell.
    wine.run("uninstaller", "--remove", "VoraAntiCheat", timeout=180)
    assert wait_for(lambda: not wine.install_dir.exists(), timeout=60), list(wine.install_dir.iterdir())
    assert service_state(wine) is None and registration(wine) is None
    assert uninstall_entry(wine) is None
    lines = wine.log_lines()
    assert "Completed uninstallation" in lines and lines[-1] == "Setup process exiting successfully", lines

    # The running copy left for a new protected folder under Program Files;
    # it and its folder go at the next restart.
    moved = list(wine.program_files.glob("VoraSetup-*/VoraSetup.exe"))
    assert len(moved) == 1
    assert moved[0].read_bytes() == (CDN_DIR / "VoraSetup.exe").read_bytes()
    assert f"Moved the running setup out of the install directory to '{wine.windows_path(moved[0])}'" in lines
    pending = wine.run("reg", "query", PENDING_KEY, "/v", "PendingFileRenameOperations", timeout=60).stdout.lower()
    for path in (moved[0], moved[0].parent):
        assert wine.windows_path(path).lower() in pending, pending
