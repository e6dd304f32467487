"""DLLs planted beside the program: the elevated setup run from a user's
Downloads folder must never load them, while an ordinary program in the same
folder does (the proof that the planting works)."""

import shutil

import pytest

from cdn import (
    CDN_DIR,
    cdn,  # noqa: F401 - fixture
    trusted_template_prefix,  # noqa: F401 - fixture
    trusted_wine,  # noqa: F401 - fixture
)
from conftest import BASE_ENV, BIN, BUILD, SETUP_EXE
from test_service import FILES, publish_all

PLANTED = ["dbghelp", "wintrust", "winhttp", "crypt32"]
# Prefer a DLL beside the program over Wine's own, as Windows does for every
# DLL that is not a KnownDLL.
PREFER_PLANTED = {"WINEDLLOVERRIDES": BASE_ENV["WINEDLLOVERRIDES"] + ";" + ",".join(PLANTED) + "=n,b"}


def downloads_folder(wine):
    users = [p for p in (wine.drive_c / "users").iterdir() if p.name != "Public" and p.is_dir()]
    assert len(users) == 1, users
    folder = users[0] / "Downloads"
    if folder.is_symlink():  # never write into the host's own folder
        folder.unlink()
    folder.mkdir(exist_ok=True)
    return folder


@pytest.mark.fault("planted-dll")
def test_dlls_planted_beside_the_program_are_not_loaded(trusted_wine, cdn):
    wine = trusted_wine
    folder = downloads_folder(wine)
    for name in PLANTED:
        shutil.copyfile(BUILD / "planted" / f"{name}.dll", folder / f"{name}.dll")
    shutil.copyfile(SETUP_EXE, folder / "VoraSetup.exe")
    shutil.copyfile(BIN / "load_library.exe", folder / "load_library.exe")
    markers = {name: wine.drive_c / "users" / "Public" / f"planted-{name}.txt" for name in PLANTED}

    publish_all(cdn)
    result = wine.run(wine.windows_path(folder / "VoraSetup.exe"), "/install", timeout=300, env=PREFER_PLANTED)
    assert {name: marker.read_bytes().decode("utf-16-le") for name, marker in markers.items() if marker.exists()} == {}
    assert result.returncode == 0, wine.log_lines()
    assert "Completed installation" in wine.log_lines()
    for name in FILES:
        assert (wine.install_dir / name).read_bytes() == (CDN_DIR / name).read_bytes(), name

    # The control: the default search of a program in the same folder finds the planted DLL.
    result = wine.run(wine.windows_path(folder / "load_library.exe"), "dbghelp.dll", env=PREFER_PLANTED)
    assert result.returncode == 0, result.stderr
    assert markers["dbghelp"].read_bytes().decode("utf-16-le").strip().endswith("\\Downloads\\load_library.exe")


@pytest.mark.fault("shell-before-dll-search")
def test_no_known_folder_is_asked_for_before_the_dll_search_is_narrowed(wine):
    """On Windows the known-folder call loads shell DLLs that are not all
    KnownDLLs, from the program's folder first unless the search has been
    narrowed: the entry point must narrow it before anything asks. Wine's
    relay trace of the program's imports shows the order of the two calls."""
    settings = wine.drive_c / "relay.reg"
    settings.write_text(
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Debug]\r\n"
        '"RelayInclude"="shell32.SHGetKnownFolderPath;kernel32.SetDefaultDllDirectories"\r\n',
        encoding="utf-16",
    )
    assert wine.run("reg", "import", wine.windows_path(settings)).returncode == 0
    result = wine.run(SETUP_EXE, "/uninstall", timeout=300, env={"WINEDEBUG": "+relay"})
    assert result.returncode == 0, result.stderr[-2000:]
    calls = [name for line in result.stderr.splitlines() if ":Call " in line
             for name in ("SetDefaultDllDirectories", "SHGetKnownFolderPath") if f".{name}(" in line]
    assert "SHGetKnownFolderPath" in calls, result.stderr[-2000:]
    assert calls[0] == "SetDefaultDllDirectories", calls
