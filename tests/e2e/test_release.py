"""The shipped exe (stripped, signed, pinned to the test signer and to its
renewal; made by tests/release/check_release) installing under Wine: the
setup already in players' hands keeps working across a certificate renewal."""

import pytest

from cdn import (
    CDN_DIR,
    FOREIGN_SIGNED,
    PKI,
    RENEWED_SIGNED,
    cdn,  # noqa: F401 - fixture
    publish,
    thumbprint,
    trusted_template_prefix,  # noqa: F401 - fixture
    trusted_wine,  # noqa: F401 - fixture
)
from conftest import ROOT, wait_for, wait_for_release_check
from test_service import INSTALL_DIR, service_state

RELEASE_EXE = ROOT / "build" / "release-check" / "dist" / "VoraSetup.exe"


@pytest.fixture
def release_exe():
    wait_for_release_check()
    if not RELEASE_EXE.exists():
        pytest.skip("no release to test: tests/release/check_release makes it (scripts/test runs it)")
    return RELEASE_EXE


@pytest.mark.fault("release-third-signer")
def test_release_pinned_to_two_signers_accepts_either_and_refuses_a_third(trusted_wine, cdn, release_exe):
    wine = trusted_wine
    # Mid-rotation: the setup already re-signed with the renewed certificate,
    # the service and broker still with the old one.
    publish(cdn, "VoraService.exe", CDN_DIR / "VoraService.exe")
    publish(cdn, "VoraSetup.exe", RENEWED_SIGNED)
    publish(cdn, "VoraBroker.exe", CDN_DIR / "VoraBroker.exe")
    result = wine.run(release_exe, "/install", timeout=300)
    assert result.returncode == 0, wine.log_lines()
    lines = wine.log_lines()
    for name in ("VoraService.exe", "VoraSetup.exe", "VoraBroker.exe"):
        assert f"Verified Tindle signed image ({INSTALL_DIR}\\.staging\\{name}.download)" in lines
        assert (wine.install_dir / name).read_bytes() == (cdn.root / name).read_bytes()
    assert wait_for(lambda: service_state(wine) == "RUNNING", timeout=30)

    # A third signer is refused by name, and the installed service stays.
    publish(cdn, "VoraBroker.exe", FOREIGN_SIGNED)
    result = wine.run(release_exe, "/install", timeout=300)
    assert result.returncode == 1
    lines = wine.log_lines()
    assert (
        f"Pinned certificate mismatch ({INSTALL_DIR}\\.staging\\VoraBroker.exe.download, "
        f"Thumbprint: {thumbprint(PKI / 'foreign.pem')})"
    ) in lines
    assert lines[-1] == 'Fatal error thrown: "Failed to download VoraBroker.exe"'
    assert (wine.install_dir / "VoraBroker.exe").read_bytes() == (CDN_DIR / "VoraBroker.exe").read_bytes()
    assert service_state(wine) == "RUNNING"
