"""scripts/publish lays out a storage tree and signs its release manifest:
a DSSE envelope whose signature OpenSSL verifies with the manifest key over
the pre-authentication encoding, naming each file's path, size and hash."""

import base64
import datetime
import hashlib
import json
import subprocess

from cdn import CDN_DIR, FIXTURES_DIR, PKI
from conftest import ROOT

FILES = ["VoraService.exe", "VoraSetup.exe", "VoraBroker.exe"]
PAYLOAD_TYPE = "application/vnd.vora.release+json"


def publish(*args):
    return subprocess.run([str(ROOT / "scripts" / "publish"), "--key", str(PKI / "manifest.key"), *map(str, args)],
                          capture_output=True, text=True)


def manifest(out, tmp_path):
    """The payload, after checking the envelope's signature with OpenSSL."""
    envelope = json.loads((out / "VoraRelease.json").read_text())
    assert envelope["payloadType"] == PAYLOAD_TYPE
    payload = base64.b64decode(envelope["payload"])
    (signature,) = envelope["signatures"]
    public = subprocess.run(["openssl", "pkey", "-pubin", "-in", PKI / "manifest.pub", "-outform", "DER"],
                            capture_output=True, check=True).stdout
    assert signature["keyid"] == hashlib.sha256(public).hexdigest()
    pae = b"DSSEv1 %d %s %d %s" % (len(PAYLOAD_TYPE), PAYLOAD_TYPE.encode(), len(payload), payload)
    (tmp_path / "pae").write_bytes(pae)
    (tmp_path / "sig").write_bytes(base64.b64decode(signature["sig"]))
    verified = subprocess.run(["openssl", "dgst", "-sha256", "-verify", PKI / "manifest.pub", "-signature",
                               tmp_path / "sig", tmp_path / "pae"], capture_output=True, text=True)
    assert verified.returncode == 0, verified.stdout + verified.stderr
    return json.loads(payload)


def moment(text):
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%SZ")


def test_a_release_is_published_signed_refreshed_and_never_overwritten(tmp_path):
    out = tmp_path / "storage"
    result = publish("--out", out, *(CDN_DIR / name for name in FILES))
    assert result.returncode == 0, result.stderr
    first = manifest(out, tmp_path)
    release = first["release"]
    for name in FILES:
        entry = first["files"][name]
        data = (CDN_DIR / name).read_bytes()
        assert entry == {"path": f"releases/{release}/{name}", "size": len(data),
                         "sha256": hashlib.sha256(data).hexdigest()}
        assert (out / entry["path"]).read_bytes() == data
    assert moment(first["expires"]) - moment(first["issued"]) == datetime.timedelta(days=30)

    # What a publisher runs on a schedule: the same files, a later expiry.
    assert publish("--refresh", "--out", out, "--expires-in", "60").returncode == 0
    refreshed = manifest(out, tmp_path)
    assert refreshed["files"] == first["files"] and refreshed["release"] == release
    assert moment(refreshed["expires"]) - moment(refreshed["issued"]) == datetime.timedelta(days=60)

    # The next release goes beside it; the earlier one stays for cached manifests.
    assert publish("--out", out, *(FIXTURES_DIR / "next" / name for name in FILES)).returncode == 0
    assert manifest(out, tmp_path)["release"] != release
    assert (out / first["files"]["VoraService.exe"]["path"]).exists()

    # Refused, and the manifest left as it was: other bytes under a published
    # path, and a mixed set.
    before = (out / "VoraRelease.json").read_bytes()
    (tmp_path / "other").mkdir()
    for name in FILES:
        (tmp_path / "other" / name).write_bytes((CDN_DIR / name).read_bytes())
    (out / first["files"]["VoraBroker.exe"]["path"]).write_bytes(b"changed on the storage")
    refused = publish("--out", out, *(tmp_path / "other" / name for name in FILES))
    assert refused.returncode != 0 and "already published with other bytes" in refused.stderr
    mixed = publish("--out", out, CDN_DIR / "VoraService.exe", FIXTURES_DIR / "next" / "VoraSetup.exe",
                    CDN_DIR / "VoraBroker.exe")
    assert mixed.returncode != 0 and "more than one release" in mixed.stderr
    assert (out / "VoraRelease.json").read_bytes() == before
