"""The built executable's resources, read back from the PE file itself."""

import re

import pefile
import pytest

from conftest import ROOT, SETUP_EXE

RT_ICON, RT_RCDATA, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 10, 14, 16, 24

# KnownDLLs: Windows maps these from System32 whatever lies beside the program.
# Any other module the program imports could be planted beside it.
KNOWN_DLLS = {"kernel32.dll", "advapi32.dll", "user32.dll", "shell32.dll", "ole32.dll", "oleaut32.dll", "msvcrt.dll"}


@pytest.fixture(scope="module")
def pe():
    image = pefile.PE(str(SETUP_EXE))
    yield image
    image.close()


def resource(pe, type_id, name_id=None):
    for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if entry.id != type_id:
            continue
        for name in entry.directory.entries:
            if name_id is not None and name.id != name_id:
                continue
            data = name.directory.entries[0].data.struct
            return pe.get_data(data.OffsetToData, data.Size)
    return None


def test_uninstall_script_is_rcdata_101_byte_for_byte(pe):
    embedded = resource(pe, RT_RCDATA, 101)
    script = (ROOT / "resources" / "UninstallVora.bat").read_bytes()
    assert embedded == script
    assert b"\r\n" in script and b"\n" not in script.replace(b"\r\n", b"")
    assert not script.endswith(b"\n")
    assert b"/uninstall\r\n" in script and b"/uninstall-full" not in script


def test_manifest_requires_administrator(pe):
    manifest = resource(pe, RT_MANIFEST, 1).decode("utf-8")
    assert re.search(r'<requestedExecutionLevel\s+level="requireAdministrator"\s+uiAccess="false"\s*/>', manifest)
    # Windows 10 and 11 share one supported-OS id.
    assert "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}" in manifest


def test_version_resource(pe):
    strings = {}
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    assert strings["FileDescription"] == "Vora Anti-Cheat Setup"
    assert strings["FileVersion"] == "1.0.0"
    assert strings["ProductVersion"] == "1.0.0"
    assert strings["OriginalFilename"] == "VoraSetup.exe"
    fixed = pe.VS_FIXEDFILEINFO[0]
    assert (fixed.FileVersionMS, fixed.FileVersionLS) == (0x00010000, 0)


def test_icon_and_windowless_entry(pe):
    assert resource(pe, RT_GROUP_ICON) is not None
    assert resource(pe, RT_ICON) is not None
    assert pe.OPTIONAL_HEADER.Subsystem == 2  # IMAGE_SUBSYSTEM_WINDOWS_GUI: no console window
    assert pe.FILE_HEADER.Machine == 0x8664


def test_imports_only_known_dlls(pe):
    imported = {entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
    assert "kernel32.dll" in imported
    assert imported <= KNOWN_DLLS, imported - KNOWN_DLLS
    assert not hasattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT")
