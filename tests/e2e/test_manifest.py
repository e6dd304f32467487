"""The signed release manifest comes before any program file: a manifest the
pinned key did not sign, one that has expired, or one whose payload was
changed after signing is refused, and an update refused so leaves the
running installation as it was."""

import base64
import hashlib
import json
import subprocess

import pytest

from cdn import (
    CDN_DIR,
    cdn,  # noqa: F401 - fixture
    trusted_template_prefix,  # noqa: F401 - fixture
    trusted_wine,  # noqa: F401 - fixture
    PKI,
)
from cdn_server import MANIFEST, _publish_script, signed_manifest
from conftest import ROOT, wait_for
from test_faults import FATAL, assert_earlier_install_back, install_snapshot, running_install
from test_releases import NEXT_DIR, next_release, recorded_release, this_release
from test_service import FILES, registration, service_state


def expired(root, key):
    publish = _publish_script()
    envelope = json.loads(signed_manifest(root, key))
    payload = json.loads(base64.b64decode(envelope["payload"]))
    payload = publish.payload_for(payload["release"], payload["files"], -1)
    return json.dumps(publish.sign(key, json.dumps(payload).encode())).encode()


def changed_after_signing(root, key):
    envelope = json.loads(signed_manifest(root, key))
    payload = base64.b64decode(envelope["payload"]).replace(b"VoraBroker.exe\", \"size\"", b"VoraBroker.exe\",  \"size\"")
    envelope["payload"] = base64.b64encode(payload).decode()
    return json.dumps(envelope).encode()


def with_entry(root, key, name, **changes):
    """A manifest signed by the pinned key whose entry for name is changed."""
    publish = _publish_script()
    envelope = json.loads(signed_manifest(root, key))
    payload = json.loads(base64.b64decode(envelope["payload"]))
    payload["files"][name].update(changes)
    return json.dumps(publish.sign(key, json.dumps(payload).encode())).encode()


@pytest.mark.fault("manifest-refused")
def test_an_update_with_a_manifest_that_cannot_be_believed_is_refused(trusted_wine, cdn, tmp_path):
    wine = trusted_wine
    before, registered = running_install(wine, cdn)
    foreign = tmp_path / "foreign.key"
    subprocess.run(["openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", foreign],
                   check=True, capture_output=True)
    cases = [
        (signed_manifest(cdn.root, foreign), "Release manifest refused: it is signed by no pinned manifest key"),
        (expired(cdn.root, PKI / "manifest.key"), "Release manifest refused: it expired at "),
        (changed_after_signing(cdn.root, PKI / "manifest.key"), "Release manifest refused: the signature of key "),
        # Signed, but sending the download out of the storage URL.
        (with_entry(cdn.root, PKI / "manifest.key", "VoraBroker.exe", path="../VoraBroker.exe"),
         "Release manifest refused: it names no release this setup can read (the path of 'VoraBroker.exe' leaves"),
    ]
    for body, refusal in cases:
        (cdn.root / MANIFEST).write_bytes(body)
        cdn.requests.clear()
        result = wine.setup("/install", timeout=300)
        lines = wine.log_lines()
        assert result.returncode == 1, lines
        assert any(line.startswith(refusal) for line in lines), (refusal, lines)
        assert lines[-1] == FATAL.format(MANIFEST)
        assert cdn.requests == [f"GET /{MANIFEST}"], "no program file is asked for"
        assert_earlier_install_back(wine, before, registered)


@pytest.mark.fault("manifest-hash-differs")
def test_a_file_whose_hash_is_not_the_manifests_is_refused(trusted_wine, cdn):
    """Signed by the pinned code signer and of the right size, but not the
    bytes the manifest key signed for: the second signature refuses it."""
    wine = trusted_wine
    before, registered = running_install(wine, cdn)
    (cdn.root / MANIFEST).write_bytes(with_entry(cdn.root, PKI / "manifest.key", "VoraBroker.exe", sha256="0" * 64))
    result = wine.setup("/install", timeout=300)
    lines = wine.log_lines()
    assert result.returncode == 1, lines
    assert any(line.startswith("Pinned hash and generated hash don't match (") for line in lines), lines
    assert lines[-1] == FATAL.format("VoraBroker.exe")
    assert_earlier_install_back(wine, before, registered)


def run_publish(*args):
    result = subprocess.run([ROOT / "scripts" / "publish", "--key", PKI / "manifest.key", *args],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


@pytest.mark.fault("publish-propagating")
def test_a_published_tree_moves_players_to_a_release_only_through_its_signed_manifest(trusted_wine, cdn):
    """The storage tree scripts/publish makes: while caches still hand out the
    earlier manifest, the earlier release installs whole from its own folder;
    the new manifest expired is refused; refreshed, it upgrades."""
    wine = trusted_wine
    tree = cdn.root
    run_publish("--out", tree, *(CDN_DIR / name for name in FILES))
    assert wine.setup("/install", timeout=300).returncode == 0, wine.log_lines()
    assert wait_for(lambda: service_state(wine) == "RUNNING", timeout=30)
    before, registered = install_snapshot(wine), registration(wine)
    earlier_manifest = (tree / MANIFEST).read_bytes()

    run_publish("--out", tree, *(NEXT_DIR / name for name in FILES))
    newer_manifest = (tree / MANIFEST).read_bytes()
    (tree / MANIFEST).write_bytes(earlier_manifest)
    cdn.requests.clear()
    assert wine.setup("/install", timeout=300).returncode == 0, wine.log_lines()
    assert cdn.requests == [f"GET /{MANIFEST}"] + [f"GET /releases/{this_release()}/{name}" for name in FILES]
    assert_earlier_install_back(wine, before, registered)

    envelope = json.loads(newer_manifest)
    payload = json.loads(base64.b64decode(envelope["payload"]))
    publish = _publish_script()
    stale = publish.payload_for(payload["release"], payload["files"], -1)
    (tree / MANIFEST).write_bytes(json.dumps(publish.sign(PKI / "manifest.key", json.dumps(stale).encode())).encode())
    assert wine.setup("/install", timeout=300).returncode == 1
    assert any(line.startswith("Release manifest refused: it expired at ") for line in wine.log_lines())
    assert_earlier_install_back(wine, before, registered)

    run_publish("--refresh", "--out", tree)
    assert wine.setup("/install", timeout=300).returncode == 0, wine.log_lines()
    assert wait_for(lambda: service_state(wine) == "RUNNING", timeout=30)
    assert recorded_release(wine) == next_release()
    for name in FILES:
        assert hashlib.sha256((wine.install_dir / name).read_bytes()).digest() == \
            hashlib.sha256((NEXT_DIR / name).read_bytes()).digest()
