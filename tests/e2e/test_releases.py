"""Whoever answers the program's HTTPS requests can serve any file the pinned
signer ever signed. The setup installs only the file it asked for (its version
resource names it), all three from one release, and never a release older than
the highest installed or the setup's own floor; the release is recorded under
HKLM\\SOFTWARE\\Vora once it runs."""

import re
import subprocess

import pytest

from cdn import (
    CDN_DIR,
    FIXTURES_DIR,
    cdn,  # noqa: F401 - fixture
    publish,
    trusted_template_prefix,  # noqa: F401 - fixture
    trusted_wine,  # noqa: F401 - fixture
)
from conftest import BUILD, SETUP_EXE, wait_for
from test_faults import (
    FATAL,
    assert_earlier_install_back,
    assert_good_reinstall_still_works,
    install_snapshot,
    install_while_held,
    running_install,
)
from test_service import (
    FILES,
    INSTALL_DIR,
    INSTALLED_SETUP,
    publish_all,
    registration,
    service_state,
    uninstall_entry,
)

NEXT_DIR = FIXTURES_DIR / "next"
RECORD_KEY = r"HKLM\SOFTWARE\Vora"


def this_release() -> str:
    header = (BUILD / "generated" / "build_config.h").read_text()
    parts = re.search(r"this_release\[4\] = \{([^}]*)\}", header).group(1)
    return ".".join(p.strip() for p in parts.split(","))


def next_release() -> str:
    parts = this_release().split(".")
    return ".".join(parts[:2] + [str(int(parts[2]) + 1), "0"])


def publish_next(server):
    for name in FILES:
        publish(server, name, NEXT_DIR / name)


def recorded_release(wine):
    result = wine.run("reg", "query", RECORD_KEY, "/v", "HighestRelease", timeout=60)
    match = re.search(r"HighestRelease\s+REG_SZ\s+(\S+)", result.stdout)
    return match.group(1) if result.returncode == 0 and match else None


def refused_first_install(wine, failing):
    result = wine.setup("/install", timeout=300)
    assert result.returncode == 1
    lines = wine.log_lines()
    assert lines[-1] == FATAL.format(failing), lines
    assert f"Downloaded '{failing}' failed verification" in lines
    assert list(wine.install_dir.iterdir()) == [], "nothing placed, no temporary left"
    assert service_state(wine) is None and registration(wine) is None
    assert recorded_release(wine) is None
    return lines


@pytest.mark.fault("mixup-broker-as-service")
def test_signed_broker_served_as_the_service_is_refused(trusted_wine, cdn):
    wine = trusted_wine
    publish_all(cdn)
    publish(cdn, "VoraService.exe", CDN_DIR / "VoraBroker.exe")
    lines = refused_first_install(wine, "VoraService.exe")
    assert (
        f"Image '{INSTALL_DIR}\\.staging\\VoraService.exe.download' names itself 'VoraBroker.exe', expected 'VoraService.exe'"
        in lines
    ), lines
    assert cdn.requests == ["GET /VoraService.exe"]


@pytest.mark.fault("no-version-resource")
def test_signed_file_without_a_version_resource_is_refused(trusted_wine, cdn):
    wine = trusted_wine
    publish_all(cdn)
    publish(cdn, "VoraBroker.exe", FIXTURES_DIR / "no-version.exe")
    lines = refused_first_install(wine, "VoraBroker.exe")
    assert (
        f"Image '{INSTALL_DIR}\\.staging\\VoraBroker.exe.download' has no valid version resource (no resources), "
        "expected one naming 'VoraBroker.exe'" in lines
    ), lines


@pytest.mark.fault("rsrc-tampered")
def test_version_resource_changed_after_signing_is_refused_by_the_signature(trusted_wine, cdn):
    wine = trusted_wine
    publish_all(cdn)
    publish(cdn, "VoraBroker.exe", FIXTURES_DIR / "rsrc-tampered.exe")
    lines = refused_first_install(wine, "VoraBroker.exe")
    assert f"Authenticode signature verification failed ({INSTALL_DIR}\\.staging\\VoraBroker.exe.download)" in lines


@pytest.mark.fault("rollback-older-release")
def test_older_release_after_a_newer_one_is_refused(trusted_wine, cdn):
    wine = trusted_wine
    publish_next(cdn)
    assert wine.setup("/install", timeout=300).returncode == 0, wine.log_lines()
    assert wait_for(lambda: service_state(wine) == "RUNNING", timeout=30)
    assert recorded_release(wine) == next_release()
    before, registered = install_snapshot(wine), registration(wine)

    # The CDN goes back to the release before, validly signed, manifest and all.
    publish_all(cdn)
    cdn.requests.clear()
    result = wine.setup("/install", timeout=300)

    assert result.returncode == 1
    lines = wine.log_lines()
    assert (
        f"Release {this_release()} of 'VoraRelease.json' is below {next_release()} (the highest release installed)"
        in lines
    ), lines
    assert lines[-1] == FATAL.format("VoraRelease.json")
    assert cdn.requests == [], "no file of the older release is fetched"
    assert not any(line.startswith("Restoring") for line in lines), "the running service was never touched"
    assert_earlier_install_back(wine, before, registered)
    assert recorded_release(wine) == next_release()


@pytest.mark.fault("mix-and-match")
def test_files_of_two_releases_are_refused_before_anything_is_swapped(trusted_wine, cdn):
    wine = trusted_wine
    before, registered = running_install(wine, cdn)
    publish(cdn, "VoraBroker.exe", NEXT_DIR / "VoraBroker.exe")

    result = wine.setup("/install", timeout=300)

    assert result.returncode == 1
    lines = wine.log_lines()
    assert (
        f"Mixed releases: 'VoraBroker.exe' is release {next_release()}, 'VoraService.exe' is release {this_release()}"
        in lines
    ), lines
    assert lines[-1] == FATAL.format("VoraBroker.exe")
    assert not any(line.startswith("Restoring") for line in lines)
    assert_earlier_install_back(wine, before, registered)
    assert recorded_release(wine) == this_release()


def test_same_release_repairs_a_higher_one_raises_the_record_and_only_a_full_uninstall_forgets_it(trusted_wine, cdn):
    wine = trusted_wine
    running_install(wine, cdn)
    assert recorded_release(wine) == this_release()

    # The same release again: a repair, by the installed setup from where it
    # stands, so its own file is one of those replaced.
    (wine.install_dir / "VoraBroker.exe").unlink()
    assert wine.run(INSTALLED_SETUP, "/install", timeout=300).returncode == 0, wine.log_lines()
    assert wait_for(lambda: service_state(wine) == "RUNNING", timeout=30)
    assert (wine.install_dir / "VoraBroker.exe").read_bytes() == (CDN_DIR / "VoraBroker.exe").read_bytes()
    assert recorded_release(wine) == this_release()

    publish_next(cdn)
    assert wine.run(INSTALLED_SETUP, "/install", timeout=300).returncode == 0, wine.log_lines()
    assert wait_for(lambda: service_state(wine) == "RUNNING", timeout=30)
    for name in FILES:
        assert (wine.install_dir / name).read_bytes() == (NEXT_DIR / name).read_bytes(), name
    assert recorded_release(wine) == next_release()
    assert uninstall_entry(wine)["DisplayVersion"] == ("REG_SZ", next_release())

    assert wine.setup("/uninstall", timeout=300).returncode == 0
    assert recorded_release(wine) == next_release()
    assert wine.setup("/uninstall-full", timeout=300).returncode == 0
    assert recorded_release(wine) is None


@pytest.mark.fault("reinstall-service-held")
def test_update_while_another_program_holds_the_service_keeps_it(trusted_wine, cdn):
    """A handle held on the service (the Services console, a monitoring tool)
    would keep a deleted registration marked for deletion: the update keeps
    the registration and sets it to the new files instead."""
    wine = trusted_wine
    running_install(wine, cdn)
    publish_next(cdn)
    result = install_while_held(wine, "hold_service.exe", "VoraAntiCheat")
    assert result.returncode == 0, wine.log_lines()
    assert wait_for(lambda: service_state(wine) == "RUNNING", timeout=30)
    assert registration(wine)["ImagePath"][1] == f'"{INSTALL_DIR}\\VoraService.exe"'
    for name in FILES:
        assert (wine.install_dir / name).read_bytes() == (NEXT_DIR / name).read_bytes(), name


UPDATE_STEPS = ["hold", "stop", "set-aside", "place", "configure", "start", "confirm", "commit"]


def offline(server, on=True):
    server.rules = {name: {"status": 404} for name in FILES} if on else {}


@pytest.mark.fault("update-killed")
def test_an_update_killed_in_any_step_is_undone_or_finished_by_the_next_run_offline(trusted_wine, cdn):
    """A launcher's time-out or a power cut at any step of an update: the
    next run, before it fetches anything, puts back the earlier installation
    (the commit step had not begun) or finishes the new one. The update after
    the set-aside step is the installed setup's own, which moves itself out
    of the install directory: it comes back too."""
    wine = trusted_wine
    before, registered = running_install(wine, cdn)
    publish_next(cdn)
    for step in UPDATE_STEPS:
        offline(cdn, False)
        # The test build ends itself after the step at once, as a kill would.
        setup = INSTALLED_SETUP if step == "place" else SETUP_EXE
        killed = wine.run(setup, "/install", timeout=300, env={"VORA_TEST_KILL_AT": step})
        assert killed.returncode == 9, (step, wine.log_lines())
        offline(cdn)

        result = wine.setup("/install", timeout=300)

        lines = wine.log_lines()
        assert result.returncode == 1, (step, lines)
        assert lines[-1] == FATAL.format("VoraService.exe"), (step, lines)
        if step != "commit":
            assert "Undoing an interrupted update: putting the earlier installation back" in lines, (step, lines)
            first_fetch = next(i for i, line in enumerate(lines) if "VoraService.exe':" in line)
            assert lines.index("Restored the earlier installation") < first_fetch, (step, lines)
            assert_earlier_install_back(wine, before, registered)
        else:
            assert "Finishing an interrupted update: its new installation was running" in lines, lines
            assert wait_for(lambda: service_state(wine) == "RUNNING", timeout=30)
            assert recorded_release(wine) == next_release()
            assert sorted(p.name for p in wine.install_dir.iterdir()) == sorted(FILES + ["UninstallVora.bat"])
            for name in FILES:
                assert (wine.install_dir / name).read_bytes() == (NEXT_DIR / name).read_bytes(), name
        assert wine.run("reg", "query", RECORD_KEY, "/v", "UpdateInProgress", timeout=60).returncode != 0

    # Killed mid-swap, then removed: nothing is left.
    offline(cdn, False)
    assert wine.setup("/install", timeout=300, env={"VORA_TEST_KILL_AT": "place"}).returncode == 9
    assert wine.setup("/uninstall", timeout=300).returncode == 0, wine.log_lines()
    assert not wine.install_dir.exists()
    assert registration(wine) is None


@pytest.mark.fault("update-service-stops")
def test_an_update_whose_service_ends_as_it_starts_is_undone_and_an_undo_killed_is_undone_again(trusted_wine, cdn):
    """The next release's service ends while it starts: the update is not
    committed. Then the same update with the earlier service slow to start,
    killed while the undo starts it again: the next run, offline, undoes what
    is left without touching the earlier files already back."""
    wine = trusted_wine
    before, registered = running_install(wine, cdn)
    publish_next(cdn)
    publish(cdn, "VoraService.exe", FIXTURES_DIR / "next-service-stops.exe")

    result = wine.setup("/install", timeout=300)

    lines = wine.log_lines()
    assert result.returncode == 1, lines
    assert lines[-1] == 'Fatal error thrown: "The updated Vora service did not start (Error: 42)."', lines
    assert lines.index("Restoring the earlier installation") < lines.index("Restored the earlier installation")
    assert_earlier_install_back(wine, before, registered)
    assert recorded_release(wine) == this_release()

    (wine.drive_c / "vora-slow-service").write_text("")
    killed = wine.setup("/install", timeout=300, env={"VORA_TEST_KILL_AT": "undo-starting"})
    assert killed.returncode == 9, wine.log_lines()
    offline(cdn)
    result = wine.setup("/install", timeout=300)
    lines = wine.log_lines()
    assert result.returncode == 1, lines
    assert "Undoing an interrupted update: putting the earlier installation back" in lines, lines
    assert lines[-1] == FATAL.format("VoraService.exe"), lines
    assert wait_for(lambda: service_state(wine) == "RUNNING", timeout=30)
    assert_earlier_install_back(wine, before, registered)
    assert recorded_release(wine) == this_release()

    assert wine.setup("/uninstall", timeout=300).returncode == 0, wine.log_lines()
    assert not wine.install_dir.exists()
    assert registration(wine) is None


@pytest.mark.fault("uninstall-past-failed-put-back")
def test_an_interrupted_update_that_cannot_be_put_back_never_blocks_the_uninstall(trusted_wine, cdn):
    """A journal whose earlier installation is gone (its service file
    deleted by hand): every install refuses to guess, but /uninstall removes
    what is there, forgets the journal, and the next install works."""
    wine = trusted_wine
    running_install(wine, cdn)
    assert wine.run("net", "stop", "VoraAntiCheat", timeout=60).returncode == 0
    (wine.install_dir / "VoraService.exe").unlink()
    journal = ["reg", "add", RECORD_KEY, "/v", "UpdateInProgress", "/d", "confirm, earlier service", "/f", "/reg:64"]
    assert wine.run(*journal, timeout=60).returncode == 0

    assert wine.setup("/install", timeout=300).returncode == 1
    assert wine.log_lines()[-1] == 'Fatal error thrown: "Failed to put back the earlier Vora installation."'

    result = wine.setup("/uninstall", timeout=300)
    lines = wine.log_lines()
    assert result.returncode == 0, lines
    assert "Failed to put back the earlier Vora installation. Removing what is there." in lines, lines
    assert "Forgot the interrupted update: nothing of the installation is left" in lines, lines
    assert not wine.install_dir.exists()
    assert registration(wine) is None and uninstall_entry(wine) is None
    assert wine.run("reg", "query", RECORD_KEY, "/v", "UpdateInProgress", timeout=60).returncode != 0

    assert_good_reinstall_still_works(wine, cdn)


@pytest.mark.fault("restart-removal-and-set-aside")
def test_a_removal_at_restart_scheduled_by_one_run_never_takes_the_set_aside_file_of_another(trusted_wine, cdn):
    """A reader holds a leftover of the staging folder, so a repair schedules
    its removal at restart by name. The next update sets the earlier files
    aside and is killed; the machine restarts. The earlier broker must still
    be there to be put back: its set-aside name is that update's own."""
    wine = trusted_wine
    before, registered = running_install(wine, cdn)
    leftover = wine.install_dir / ".staging" / "VoraBroker.exe.previous"
    leftover.parent.mkdir()
    leftover.write_bytes(b"left by an earlier setup")
    assert install_while_held(wine, "hold_file.exe", f"{INSTALL_DIR}\\.staging\\VoraBroker.exe.previous").returncode == 0
    assert f"Failed to delete '{INSTALL_DIR}\\.staging\\VoraBroker.exe.previous' (Error: 32); it goes at the next restart" in (
        wine.log_lines()
    )

    publish_next(cdn)
    assert wine.setup("/install", timeout=300, env={"VORA_TEST_KILL_AT": "set-aside"}).returncode == 9
    restart(wine)

    offline(cdn)
    result = wine.setup("/install", timeout=300)
    lines = wine.log_lines()
    assert result.returncode == 1, lines
    assert "Restored the earlier installation" in lines, lines
    assert wait_for(lambda: service_state(wine) == "RUNNING", timeout=30)
    assert_earlier_install_back(wine, before, registered)


def restart(wine):
    """Every program ends and the machine starts again: the moves and
    removals scheduled for the restart happen (wineboot -r)."""
    subprocess.run(["wineserver", "-k"], env=wine.env, check=False)
    subprocess.run(["wineserver", "-w"], env=wine.env, check=False)
    subprocess.run(["wineboot", "-r"], env=wine.env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=300)
    subprocess.run(["wineserver", "-w"], env=wine.env, check=False)
    subprocess.run(["wineserver", "-p"], env=wine.env, check=True)


@pytest.mark.fault("reinstall-file-held")
def test_a_reader_holding_the_broker_never_holds_an_update_back(trusted_wine, cdn):
    """A standard user's reader (GENERIC_READ, the default share mode) holds
    VoraBroker.exe through an update: the next service runs at once, and the
    next broker takes its place at the restart."""
    wine = trusted_wine
    running_install(wine, cdn)
    earlier_broker = (wine.install_dir / "VoraBroker.exe").read_bytes()
    publish_next(cdn)

    result = install_while_held(wine, "hold_file.exe", f"{INSTALL_DIR}\\VoraBroker.exe")

    lines = wine.log_lines()
    assert result.returncode == 0, lines
    assert (
        f"Installed '{INSTALL_DIR}\\VoraBroker.exe' is held by another program; the new one replaces it at the next restart"
        in lines
    ), lines
    assert f"VoraBroker.exe of release {next_release()} takes its place at the next restart" in lines, lines
    assert wait_for(lambda: service_state(wine) == "RUNNING", timeout=30)
    for name in ("VoraService.exe", "VoraSetup.exe"):
        assert (wine.install_dir / name).read_bytes() == (NEXT_DIR / name).read_bytes(), name
    assert (wine.install_dir / "VoraBroker.exe").read_bytes() == earlier_broker
    waiting = wine.run("reg", "query", RECORD_KEY, "/v", "WaitingForRestart", timeout=60).stdout
    assert "VoraBroker.exe" in waiting, waiting
    assert recorded_release(wine) == next_release()

    restart(wine)
    assert (wine.install_dir / "VoraBroker.exe").read_bytes() == (NEXT_DIR / "VoraBroker.exe").read_bytes()
    # The next install finds one release and leaves nothing waiting.
    assert wine.setup("/install", timeout=300).returncode == 0, wine.log_lines()
    assert sorted(p.name for p in wine.install_dir.iterdir()) == sorted(FILES + ["UninstallVora.bat"])
    assert wine.run("reg", "query", RECORD_KEY, "/v", "WaitingForRestart", timeout=60).returncode != 0
