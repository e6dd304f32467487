"""Installs through a CDN that fails now and then: every transient fault
once, then the real answer. The install must end RUNNING with the published
bytes, one retry line per retry, and a resumed file fetched about once; an
untrusted server is asked exactly once. Each case puts a different fault on
each of the three files, so one install tries three."""

import re

import pytest

from cdn import (
    CDN_DIR,
    build_value,
    cdn,  # noqa: F401 - fixture
    trusted_template_prefix,  # noqa: F401 - fixture
    trusted_wine,  # noqa: F401 - fixture
)
from conftest import wait_for
from test_service import FILES, publish_all, registration, service_state

RETRY = re.compile(r"Retrying download of '([^']+)' in (\d+) ms \(attempt (\d) of 5\): (.*)")
# Where the faults strike: one full read of the program's. Wine's
# WinHttpReadData waits to fill its 64 KiB buffer and drops what it holds
# when the read then fails, so only whole reads can be kept across a stall.
CUT = 65536


def retries(wine):
    """(file, wait, attempt, reason) of every retry line of the last run."""
    found = []
    for line in wine.log_lines():
        match = RETRY.fullmatch(line)
        if match:
            found.append((match.group(1), int(match.group(2)), int(match.group(3)), match.group(4)))
    return found


def assert_installed_running(wine):
    assert wait_for(lambda: service_state(wine) == "RUNNING", timeout=30)
    for name in FILES:
        assert (wine.install_dir / name).read_bytes() == (CDN_DIR / name).read_bytes(), name
    assert sorted(p.name for p in wine.install_dir.iterdir()) == sorted(FILES + ["UninstallVora.bat"])


def served_ratio(server, name):
    return server.bytes_served[name] / (CDN_DIR / name).stat().st_size


def ranges_of(server, name):
    return [(r, i) for n, r, i in server.ranges if n == name]


@pytest.mark.fault("install-transient-resumed")
def test_faults_mid_body_once_are_resumed_and_the_install_runs(trusted_wine, cdn):
    wine = trusted_wine
    publish_all(cdn)
    cdn.rules["VoraService.exe"] = {"requests": [{"reset_after": CUT}]}
    # Closed cleanly before Content-Length: Wine reports a complete body.
    cdn.rules["VoraSetup.exe"] = {"requests": [{"truncate": CUT}]}
    # Silent past the stall time after the first bytes.
    cdn.rules["VoraBroker.exe"] = {"requests": [{"stall": 30, "after": CUT}]}

    result = wine.setup("/install", timeout=300)

    assert result.returncode == 0, wine.log_lines()
    assert_installed_running(wine)
    found = retries(wine)
    assert [(name, attempt) for name, _, attempt, _ in found] == [(name, 2) for name in FILES], found
    # Wine may see the reset only after the bytes, as the end of the body.
    assert re.fullmatch(r"WinHttpReadData failed: (10054|12030|12152)|Response body ended short of its Content-Length .*", found[0][3]), found
    size = (CDN_DIR / "VoraSetup.exe").stat().st_size
    assert found[1][3] == f"Response body ended short of its Content-Length ({CUT} of {size} bytes arrived)"
    assert re.fullmatch(r"WinHttpReadData failed: (10060|12002)", found[2][3]), found
    for name in FILES:
        # The second request asked for the rest, naming the first answer's ETag.
        (first, _), (rest, if_range) = ranges_of(cdn, name)
        assert first is None and if_range and if_range.startswith('"'), (name, cdn.ranges, found)
        kept = int(re.fullmatch(r"bytes=(\d+)-", rest).group(1))
        # A reset may drop bytes the client had not read yet; a clean close
        # or a stall loses none.
        assert 0 < kept <= CUT if name == "VoraService.exe" else kept == CUT, (name, kept)
        # Fetched once, but for what the reset dropped.
        size = (CDN_DIR / name).stat().st_size
        assert cdn.bytes_served[name] == CUT + size - kept, (name, cdn.bytes_served)
        assert served_ratio(cdn, name) <= 1 + (CUT - kept) / size


@pytest.mark.fault("install-transient-restarted")
def test_refusals_and_changed_answers_once_then_the_install_runs(trusted_wine, cdn):
    wine = trusted_wine
    publish_all(cdn)
    # A busy server, then a resume answered with a range that is not the rest.
    cdn.rules["VoraService.exe"] = {
        "requests": [{"status": 503}, {"reset_after": CUT}, {"content_range": "bytes 0-1/2"}]
    }
    # Busy with a Retry-After, then a resume the server ignores.
    cdn.rules["VoraSetup.exe"] = {
        "requests": [{"status": 503, "retry_after": "1"}, {"reset_after": CUT}, {"ignore_range": True}]
    }
    # No answer at all, then the file changes (a new ETag) between attempts.
    cdn.rules["VoraBroker.exe"] = {"requests": [{"stall": 30}, {"reset_after": CUT}, {"etag": '"published-anew"'}]}

    result = wine.setup("/install", timeout=300)

    assert result.returncode == 0, wine.log_lines()
    assert_installed_running(wine)
    found = retries(wine)
    by_file = {name: [f for f in found if f[0] == name] for name in FILES}
    assert [len(by_file[name]) for name in FILES] == [3, 2, 2], found
    assert by_file["VoraService.exe"][0][3] == "HTTP request failed with status code: 503"
    assert by_file["VoraService.exe"][0][1] >= 500  # the test build's floor after a 5xx
    assert re.fullmatch(r"Unexpected Content-Range 'bytes 0-1/2' for the rest from byte \d+", by_file["VoraService.exe"][2][3])
    assert by_file["VoraSetup.exe"][0][1] >= 1000  # Retry-After: 1
    # The wait for headers that never come ends after the stall time, not
    # after Wine's own 21 s (which WinHttpSetTimeouts does not change there).
    assert re.fullmatch(r"WinHttpReceiveResponse failed: (12002|10060)", by_file["VoraBroker.exe"][0][3]), found
    broker = [t for (n, _, _), t in zip(cdn.ranges, cdn.times) if n == "VoraBroker.exe"]
    assert broker[1] - broker[0] < build_value("download_stall_ms") / 1000 + 5, broker
    # The answers that were not the rest were not appended: the file started
    # again from zero and arrived whole, the bytes before the fault twice.
    assert ranges_of(cdn, "VoraService.exe")[3] == (None, None)
    for name in ("VoraSetup.exe", "VoraBroker.exe"):
        assert ranges_of(cdn, name)[-1][0] is not None, (name, cdn.ranges, found)
        assert cdn.bytes_served[name] == CUT + (CDN_DIR / name).stat().st_size, (name, cdn.bytes_served)
    # The unusable 206 was abandoned unread, but the server may have sent some of it.
    assert cdn.bytes_served["VoraService.exe"] >= CUT + (CDN_DIR / "VoraService.exe").stat().st_size


@pytest.mark.fault("install-untrusted-cdn")
def test_untrusted_server_is_asked_once(wine, cdn):
    # This prefix does not trust the test root: the TLS handshake fails.
    publish_all(cdn)
    result = wine.setup("/install", timeout=300)
    assert result.returncode == 1
    lines = wine.log_lines()
    assert "Failed to download 'VoraRelease.json': WinHttpSendRequest failed: 12157" in lines, lines
    assert lines[-1] == 'Fatal error thrown: "Failed to download VoraRelease.json"'
    assert retries(wine) == []
    assert cdn.handshakes == 1 and cdn.requests == []
    assert registration(wine) is None
