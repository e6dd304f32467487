"""/install, /uninstall and /uninstall-full of the real program under Wine,
with Wine's service manager, WinHTTP and WinVerifyTrust, against the local
HTTPS CDN serving files signed by the test PKI."""

import re
import shutil

import pytest

import faults

from cdn import (
    CDN_DIR,
    FOREIGN_SIGNED,
    cdn,  # noqa: F401 - fixture
    publish,
    storage_base_url,
    trusted_template_prefix,  # noqa: F401 - fixture
    trusted_wine,  # noqa: F401 - fixture
)
from conftest import BIN, wait_for

FILES = ["VoraService.exe", "VoraSetup.exe", "VoraBroker.exe"]
SERVICE_KEY = r"HKLM\System\CurrentControlSet\Services\VoraAntiCheat"
ENTRY_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\VoraAntiCheat"
INSTALL_DIR = "C:\\Program Files\\Vora"
INSTALLED_SETUP = f"{INSTALL_DIR}\\VoraSetup.exe"


def publish_all(server):
    for name in FILES:
        publish(server, name, CDN_DIR / name)


def service_state(wine):
    """The service's state name from the service manager, or None when it is not registered."""
    for _ in range(3):
        result = wine.run("sc", "query", "VoraAntiCheat", timeout=60)
        match = re.search(r"STATE\s*:\s*\d+\s+(\w+)", result.stdout)
        if match:
            return match.group(1)
        # sc always prints the state or the manager's refusal; on a loaded
        # machine Wine has been seen to start it and print nothing at all,
        # which is no answer, so it is asked again.
        if result.stdout.strip():
            return None
    return None


def registry_values(wine, key, *view):
    result = wine.run("reg", "query", key, *view, timeout=60)
    if result.returncode != 0 and not result.stdout.strip() and not result.stderr.strip():
        # reg.exe that printed nothing at all did not run (seen once under a
        # loaded machine); a missing key says so.
        result = wine.run("reg", "query", key, *view, timeout=60)
    if result.returncode != 0:
        return None
    values = {}
    for line in result.stdout.splitlines():
        parts = re.split(r"\s{2,}|\t", line.strip(), maxsplit=2)
        if len(parts) == 3 and parts[1].startswith("REG_"):
            values[parts[0]] = (parts[1], parts[2])
    return values


def registration(wine):
    return registry_values(wine, SERVICE_KEY)


def uninstall_entry(wine):
    """The Apps & features entry as the 64-bit view holds it, or None."""
    return registry_values(wine, ENTRY_KEY, "/reg:64")


def install(wine, server):
    publish_all(server)
    result = wine.setup("/install", timeout=300)
    assert result.returncode == 0, wine.log_lines()
    return result


def test_install_on_a_clean_machine(trusted_wine, cdn):
    wine = trusted_wine
    install(wine, cdn)

    for name in FILES:
        assert (wine.install_dir / name).read_bytes() == (CDN_DIR / name).read_bytes(), name
    assert sorted(p.name for p in wine.install_dir.iterdir()) == sorted(FILES + ["UninstallVora.bat"])
    assert (wine.install_dir / "UninstallVora.bat").read_bytes() == faults.installed_script()
    assert cdn.requests == [f"GET /{name}" for name in FILES]

    assert wait_for(lambda: service_state(wine) == "RUNNING", timeout=30)
    values = registration(wine)
    assert values["ImagePath"][1] == f'"{INSTALL_DIR}\\VoraService.exe"'
    assert int(values["Start"][1], 0) == 3
    assert int(values["Type"][1], 0) == 0x10
    assert int(values["ErrorControl"][1], 0) == 1
    assert values["ObjectName"][1] == "LocalSystem"
    assert values["DisplayName"][1] == "Vora Anti-Cheat"
    assert values["Description"][1] == "Provides anti-cheat protection for Tindle."

    lines = wine.log_lines()
    # The manifest's line names its times: its shape is checked, not its text.
    assert re.fullmatch(r"Verified release manifest of release [0-9.]+ \(issued \S+Z, expires \S+Z\)", lines[5]), lines
    release = re.fullmatch(r"Vora setup release ([0-9.]+)", lines[1]).group(1)
    assert lines[:1] + lines[2:5] + lines[6:] == [
        "Setup process starting",
        "Selected action: Install",
        "Successfully opened Service Control Manager",
        "Beginning installation",
        f"Installing release {release} from {storage_base_url()}",
        f"Verified Tindle signed image ({INSTALL_DIR}\\.staging\\VoraService.exe.download)",
        f"Verified Tindle signed image ({INSTALL_DIR}\\.staging\\VoraSetup.exe.download)",
        f"Verified Tindle signed image ({INSTALL_DIR}\\.staging\\VoraBroker.exe.download)",
        f"Registered the Vora service for '{INSTALL_DIR}\\VoraService.exe'",
        "Started the Vora service",
        f"Wrote the Apps & features entry of release {release}",
        f"Installed release {release} in '{INSTALL_DIR}'",
        "Completed installation",
        "Setup process exiting successfully",
    ]


def test_reinstall_replaces_a_running_service(trusted_wine, cdn):
    wine = trusted_wine
    install(wine, cdn)
    assert wait_for(lambda: service_state(wine) == "RUNNING", timeout=30)

    result = wine.setup("/install", timeout=300)
    assert result.returncode == 0
    lines = wine.log_lines()
    assert "Vora service is already installed, reinstalling" in lines
    assert lines.index("Vora service is already installed, reinstalling") < lines.index(
        f"Verified Tindle signed image ({INSTALL_DIR}\\.staging\\VoraService.exe.download)"
    )
    # The registration is kept and pointed at the new files, then started.
    reconfigured = f"Reconfigured the Vora service for '{INSTALL_DIR}\\VoraService.exe'"
    assert lines[lines.index(reconfigured) + 1] == "Started the Vora service", lines
    assert re.fullmatch(r"Installed release [0-9.]+ in 'C:\\Program Files\\Vora'", lines[-3]), lines
    assert wait_for(lambda: service_state(wine) == "RUNNING", timeout=30)
    assert cdn.requests == [f"GET /{name}" for name in FILES] * 2


@pytest.mark.fault("install-second-file-refused")
def test_second_file_refused_stops_the_install(trusted_wine, cdn):
    wine = trusted_wine
    publish_all(cdn)
    cdn.rules["VoraSetup.exe"] = {"status": 404}
    result = wine.setup("/install", timeout=300)
    assert result.returncode == 1
    lines = wine.log_lines()
    assert "Failed to download 'VoraSetup.exe': HTTP request failed with status code: 404" in lines
    assert lines[-1] == 'Fatal error thrown: "Failed to download VoraSetup.exe"'
    # Nothing is placed until all three are verified; the verified temporary goes.
    assert list(wine.install_dir.iterdir()) == []
    assert cdn.requests == ["GET /VoraService.exe", "GET /VoraSetup.exe"]
    assert service_state(wine) is None
    assert registration(wine) is None


@pytest.mark.fault("install-foreign-broker")
def test_foreign_signed_broker_registers_nothing(trusted_wine, cdn):
    wine = trusted_wine
    publish_all(cdn)
    publish(cdn, "VoraBroker.exe", FOREIGN_SIGNED)
    result = wine.setup("/install", timeout=300)
    assert result.returncode == 1
    lines = wine.log_lines()
    assert any(line.startswith(f"Pinned certificate mismatch ({INSTALL_DIR}\\.staging\\VoraBroker.exe.download, Thumbprint: ")
               for line in lines), lines
    assert lines[-1] == 'Fatal error thrown: "Failed to download VoraBroker.exe"'
    assert not (wine.install_dir / "VoraBroker.exe").exists()
    assert not (wine.install_dir / ".staging" / "VoraBroker.exe.download").exists()
    assert registration(wine) is None
    assert uninstall_entry(wine) is None, "a failed install is not listed in Apps & features"


def test_uninstall_keeps_data_and_full_uninstall_removes_it(trusted_wine, cdn):
    wine = trusted_wine
    install(wine, cdn)
    assert wait_for(lambda: service_state(wine) == "RUNNING", timeout=30)

    result = wine.setup("/uninstall", timeout=300)
    assert result.returncode == 0
    assert service_state(wine) is None
    assert registration(wine) is None
    assert not wine.install_dir.exists()
    assert wine.log_dir.is_dir()
    lines = wine.log_lines()
    assert lines[2:] == [
        "Selected action: Uninstall",
        "Successfully opened Service Control Manager",
        "Beginning uninstallation",
        "Removing installation directory",
        f"Removed: the Vora service, '{INSTALL_DIR}', the Apps & features entry",
        "Completed uninstallation",
        "Setup process exiting successfully",
    ]

    result = wine.setup("/uninstall-full", timeout=300)
    assert result.returncode == 0
    assert not wine.data_dir.exists()
    assert not wine.install_dir.exists()


def test_uninstall_without_a_service_still_removes_the_directories(trusted_wine):
    wine = trusted_wine
    wine.install_dir.mkdir(parents=True)
    (wine.install_dir / "leftover.txt").write_text("x")
    result = wine.setup("/uninstall", timeout=300)
    assert result.returncode == 0
    assert not wine.install_dir.exists()
    assert "Removing installation directory" in wine.log_lines()


@pytest.mark.fault("uninstall-held-file")
def test_uninstall_goes_on_when_a_file_is_held(trusted_wine, cdn):
    wine = trusted_wine
    install(wine, cdn)
    flag = wine.drive_c / "held.flag"
    holder = wine.popen(BIN / "hold_file.exe", f"{INSTALL_DIR}\\VoraBroker.exe", "C:\\held.flag", "60000")
    try:
        assert wait_for(flag.exists, timeout=60), "holder never opened the file"
        # As Apps & features runs it: the installed copy, from where it stands.
        result = wine.run(INSTALLED_SETUP, "/uninstall", timeout=300)
        assert result.returncode == 0
        lines = wine.log_lines()
        warning = [line for line in lines if line.startswith("Failed to fully remove install directory")]
        assert warning and warning[0].startswith(f"Failed to fully remove install directory '{INSTALL_DIR}': "), lines
        assert lines[-1] == "Setup process exiting successfully"
        assert (wine.install_dir / "VoraBroker.exe").exists()
        assert service_state(wine) is None
        # The player can try again: the entry stays, and so does the
        # program its command names.
        assert f"Moved the running setup back to '{INSTALLED_SETUP}'" in lines, lines
        assert (wine.install_dir / "VoraSetup.exe").read_bytes() == (CDN_DIR / "VoraSetup.exe").read_bytes()
        assert uninstall_entry(wine)["UninstallString"] == ("REG_SZ", f'"{INSTALLED_SETUP}" /uninstall')
    finally:
        holder.kill()
        holder.wait()


def run_uninstall_script(wine):
    """UninstallVora.bat as an elevated administrator runs it (Wine's net
    session succeeds for anyone), started from a folder of the caller's that
    holds a planted net.com and powershell.exe, with ProgramFiles in the
    caller's environment pointed at another folder of theirs and a variable
    named errorlevel that would read as a failed elevation check."""
    planted = wine.drive_c / "planted"
    theirs = wine.drive_c / "users" / "theirs"
    for folder in (planted, theirs):
        folder.mkdir(parents=True)
    for name in ("net.com", "powershell.exe"):
        shutil.copyfile(BIN / "planted_command.exe", planted / name)
    script = f"{INSTALL_DIR}\\UninstallVora.bat"
    result = wine.run(
        "cmd", "/c", "set", "ProgramFiles=C:\\users\\theirs&&", "set", "errorlevel=1&&", "cd", "/d", "C:\\planted", "&&",
        script, timeout=300
    )
    assert list(planted.glob("*.ran")) == [], "a command of the caller's ran"
    assert list(theirs.iterdir()) == [], "something went where the caller's environment pointed"
    return result


@pytest.mark.fault("uninstall-script")
def test_uninstall_script_runs_setup_from_its_folder_and_trusts_nothing_of_the_caller(trusted_wine, cdn):
    wine = trusted_wine
    install(wine, cdn)
    assert wait_for(lambda: service_state(wine) == "RUNNING", timeout=30)

    result = run_uninstall_script(wine)

    assert service_state(wine) is None
    lines = wine.log_lines()
    assert "Completed uninstallation" in lines and lines[-1] == "Setup process exiting successfully"
    assert any(line.startswith("Moved the running setup out of the install directory to 'C:\\Program Files\\VoraSetup-")
               for line in lines), lines
    # Wine's cmd keeps the running script open (Windows' reads it line by
    # line), so the folder cannot go there: setup moves itself back and the
    # entry stays, as after any uninstall that could not finish, and its
    # command, run again, finishes the job.
    assert sorted(p.name for p in wine.install_dir.iterdir()) == ["VoraSetup.exe"], result.stdout
    assert uninstall_entry(wine) is not None
    assert wine.run(INSTALLED_SETUP, "/uninstall", timeout=300).returncode == 0
    assert not wine.install_dir.exists()
    assert uninstall_entry(wine) is None


@pytest.mark.fault("uninstall-script-setup-missing")
def test_uninstall_script_stops_when_setup_is_missing(trusted_wine, cdn):
    wine = trusted_wine
    install(wine, cdn)
    assert wait_for(lambda: service_state(wine) == "RUNNING", timeout=30)
    (wine.install_dir / "VoraSetup.exe").unlink()

    result = run_uninstall_script(wine)

    assert "Vora setup is missing from this folder. Nothing was uninstalled." in result.stdout
    assert service_state(wine) == "RUNNING"
    assert (wine.install_dir / "VoraService.exe").exists()
