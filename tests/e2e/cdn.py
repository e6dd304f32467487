"""Fixtures for tests that download from the local test CDN.

Import them into a test module, with the session fixture they rely on
(``from cdn import cdn, trusted_template_prefix, trusted_wine``):

- ``trusted_wine``: like ``wine``, but the prefix already trusts the test
  root CA (added once per session to a copy of the template prefix).
- ``cdn``: a CdnServer on the port the build's storage URL names, serving an
  empty folder of the test (``cdn.root``); put files there with ``publish``.
"""

import errno
import re
import shutil
import subprocess

import pytest

from cdn_server import CdnServer
from conftest import BIN, BUILD, WinePrefix, fresh_prefix, made_once_per_run

PKI = BUILD / "pki"
CDN_DIR = BUILD / "cdn"
FIXTURES_DIR = BUILD / "cdn-fixtures"
SIGNED = CDN_DIR / "VoraSetup.exe"
UNSIGNED = FIXTURES_DIR / "unsigned.exe"
FOREIGN_SIGNED = FIXTURES_DIR / "foreign-signed.exe"
RENEWED_SIGNED = FIXTURES_DIR / "renewed-signed.exe"
TAMPERED = FIXTURES_DIR / "tampered.exe"


def storage_base_url() -> str:
    header = (BUILD / "generated" / "build_config.h").read_text()
    return re.search(r'storage_base_url = L"([^"]*)"', header).group(1)


def build_value(name) -> int:
    """A number the build fixed in the program, such as download_deadline_ms."""
    header = (BUILD / "generated" / "build_config.h").read_text()
    return int(re.search(rf"\b{name} = (\d+);", header).group(1))


def pinned_thumbprint() -> str:
    header = (BUILD / "generated" / "build_config.h").read_text()
    return re.search(r'pinned_signer_thumbprint = L"([^"]*)"', header).group(1)


def storage_port() -> int:
    match = re.match(r"^https://localhost:(\d+)/$", storage_base_url())
    if not match:
        pytest.skip(f"the build's storage URL {storage_base_url()} is not the local test CDN")
    return int(match.group(1))


def thumbprint(certificate) -> str:
    """SHA-1 of a certificate as the program prints it: 40 upper-case hex digits."""
    out = subprocess.run(
        ["openssl", "x509", "-noout", "-fingerprint", "-sha1", "-in", str(certificate)],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    return out.strip().split("=", 1)[1].replace(":", "").upper()


def publish(server, name, source):
    shutil.copyfile(source, server.root / name)


@pytest.fixture(scope="session")
def trusted_template_prefix(template_prefix, tmp_path_factory, pytestconfig):
    for path in (PKI / "root.der", BIN / "trust_root.exe", SIGNED):
        if not path.exists():
            pytest.fail(f"{path} is missing: build the windows preset first")

    def make(path):
        shutil.copytree(template_prefix, path, symlinks=True)
        prefix = WinePrefix(path)
        try:
            result = prefix.run(BIN / "trust_root.exe", prefix_path_of(prefix, PKI / "root.der"))
            assert result.returncode == 0, result.stderr
        finally:
            prefix.kill()

    return made_once_per_run(pytestconfig, tmp_path_factory, "trusted-template", make)


def prefix_path_of(prefix, host_path):
    """Wine maps the host's root as drive Z:."""
    return "Z:" + str(host_path.resolve()).replace("/", "\\")


@pytest.fixture
def trusted_wine(trusted_template_prefix, tmp_path, request):
    with fresh_prefix(trusted_template_prefix, tmp_path, request) as prefix:
        yield prefix


@pytest.fixture
def cdn(tmp_path):
    root = tmp_path / "cdn-root"
    root.mkdir()
    try:
        server = CdnServer(root, storage_port(), PKI / "tls.pem", PKI / "tls.key")
    except OSError as e:
        if e.errno == errno.EADDRINUSE:
            pytest.fail(f"port {storage_port()} is taken: another test CDN is running")
        raise
    server.start()
    try:
        yield server
    finally:
        server.stop()
