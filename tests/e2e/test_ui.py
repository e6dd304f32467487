"""The message boxes and web searches as a person sees them: the real
executables under Wine on a virtual X display of their own, each box found by
its caption, photographed, compared pixel for pixel with a box drawn from the
expected words, and answered with the keyboard.

Run alone with: /usr/bin/python3 -m pytest tests/e2e -m ui
"""

import os
import re
import shutil
import subprocess
import time
from pathlib import Path

import pytest

from conftest import BIN, SCREENS, SETUP_EXE, clear_screens, wait_for

pytestmark = pytest.mark.ui

WIDTH, HEIGHT = 1024, 768

FATAL_CAPTION = re.compile(r"^Vora Error \(Context: ((setup|crash)-\d+)\)$")
MB_OK_ICONERROR = 0x10
MB_YESNO_ICONWARNING = 0x34

AVX2_FIRST = (
    "Vora requires a CPU feature called AVX2, which isn't currently enabled on this system.\n\n"
    "Want to check whether your CPU supports it?"
)
AVX2_SECOND = (
    "If your CPU supports AVX2, it could be disabled in your BIOS settings.\n\n"
    "Search for instructions on how to enable it?"
)
SEARCH = "https://www.bing.com/search?q="


# --- the display -------------------------------------------------------------


@pytest.fixture(scope="session")
def x_display(request):
    """A private Xvfb; -displayfd lets the server pick a free display number."""
    if shutil.which("Xvfb") is None:
        pytest.skip("Xvfb is not installed (Debian package xvfb): message boxes need an X display")
    for tool, package in (("xdotool", "xdotool"), ("import", "imagemagick"), ("convert", "imagemagick")):
        if shutil.which(tool) is None:
            pytest.fail(f"{tool} is missing: install the Debian package {package}")
    read_end, write_end = os.pipe()
    server = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", f"{WIDTH}x{HEIGHT}x24", "-nolisten", "tcp"],
        pass_fds=(write_end,),
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    os.close(write_end)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read_end, 16)
        if not chunk:
            break
        number += chunk
    os.close(read_end)
    if not number.strip().isdigit():
        server.kill()
        server.wait()
        pytest.fail("Xvfb did not report a display number")
    # A worker of a distributed run would clear its siblings' photos: there
    # the controller clears them once, before any worker starts.
    if not hasattr(request.config, "workerinput"):
        clear_screens()
    try:
        yield f":{number.strip().decode()}"
    finally:
        server.terminate()
        server.wait(timeout=30)


class Screen:
    def __init__(self, display: str, scratch: Path):
        self.display = display
        self.scratch = scratch
        self.env = {k: v for k, v in os.environ.items() if k != "XAUTHORITY"}
        self.env["DISPLAY"] = display

    def _x(self, *args, check=True) -> subprocess.CompletedProcess:
        return subprocess.run(args, env=self.env, capture_output=True, check=check, timeout=60)

    def visible(self, caption_pattern: str):
        result = self._x("xdotool", "search", "--onlyvisible", "--name", caption_pattern, check=False)
        return result.stdout.decode().split()

    def wait_for_box(self, caption_pattern: str, process, timeout=60.0, other_than=None) -> str:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = [w for w in self.visible(caption_pattern) if w != other_than]
            if found:
                assert len(found) == 1, f"more than one box matches {caption_pattern}: {found}"
                return found[0]
            assert process.poll() is None, f"{process.args[1]} ended with {process.returncode} before its box showed"
            time.sleep(0.05)
        self.save(self.grab(), self.scratch / "no-box.png")
        names = [self.caption(w) for w in self.visible(".*")]
        raise AssertionError(f"no box with a caption matching {caption_pattern} within {timeout} s; visible: {names}")

    def wait_until_gone(self, window: str, timeout=30.0):
        assert wait_for(lambda: window not in self.visible(".*"), timeout=timeout, interval=0.05), window

    def caption(self, window: str) -> str:
        return self._x("xdotool", "getwindowname", window).stdout.decode().rstrip("\n")

    def grab(self) -> bytes:
        return self._x("import", "-window", "root", "-depth", "8", "rgb:-").stdout

    def settled(self, timeout=15.0) -> bytes:
        """The screen once two grabs in a row agree: the box is fully painted."""
        deadline = time.monotonic() + timeout
        previous = self.grab()
        while time.monotonic() < deadline:
            time.sleep(0.2)
            current = self.grab()
            if current == previous:
                return current
            previous = current
        raise AssertionError("the screen never settled")

    def save(self, pixels: bytes, path: Path):
        subprocess.run(
            ["convert", "-size", f"{WIDTH}x{HEIGHT}", "-depth", "8", "rgb:-", f"png:{path}"],
            input=pixels,
            check=True,
            timeout=60,
        )

    def press(self, window: str, key: str):
        # No window manager gives focus, so the key goes to the window itself.
        self._x("xdotool", "key", "--window", window, key)


@pytest.fixture
def ui(wine, x_display, tmp_path):
    """The test's prefix on the private display, its URLs going to a recorder."""
    wine.env["DISPLAY"] = x_display
    wine.env.pop("XAUTHORITY", None)
    wine.urls = tmp_path / "urls.txt"
    recorder = tmp_path / "record-url"
    recorder.write_text(f"#!/bin/sh\nprintf '%s\\n' \"$@\" >> '{wine.urls}'\n")
    recorder.chmod(0o755)
    # Without a window manager Wine draws the caption bar itself only when
    # told not to ask for decorations; then the caption is in the picture.
    # The shell opens an https URL with HKCR\https\shell\open\command, which
    # in Wine 8 is winebrowser.exe "%1"; winebrowser hands the URL unchanged,
    # as its one argument, to the first program of WineBrowser "Browsers".
    import_registry(
        wine,
        tmp_path,
        {
            r"HKEY_CURRENT_USER\Software\Wine\X11 Driver": {"Decorated": "N"},
            r"HKEY_CURRENT_USER\Software\Wine\WineBrowser": {"Browsers": str(recorder)},
        },
    )
    wine.screen = Screen(x_display, tmp_path)
    return wine


def import_registry(wine, tmp_path, keys: dict):
    def quoted(text):
        return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'

    lines = ["Windows Registry Editor Version 5.00", ""]
    for key, values in keys.items():
        lines.append(f"[{key}]")
        lines.extend(f"{quoted(name)}={quoted(value)}" for name, value in values.items())
        lines.append("")
    path = tmp_path / f"settings{len(list(tmp_path.glob('settings*.reg')))}.reg"
    path.write_text("\r\n".join(lines), encoding="utf-16")
    result = wine.run("reg", "import", host_path(path))
    assert result.returncode == 0, result.stderr


def host_path(path: Path) -> str:
    """A file outside the prefix as Wine sees it (drive Z: is the host's root)."""
    return "Z:" + str(path.resolve()).replace("/", "\\")


# --- reading a box -------------------------------------------------------------


def unescape_log(text: str) -> str:
    """Undoes the escaping of a fatal-error log line."""
    out, i = [], 0
    simple = {"t": "\t", "n": "\n", "r": "\r", '"': '"', "\\": "\\"}
    while i < len(text):
        if text[i] == "\\":
            if text[i + 1] in simple:
                out.append(simple[text[i + 1]])
                i += 2
                continue
            if text[i + 1] == "x":
                out.append(chr(int(text[i + 2 : i + 4], 16)))
                i += 4
                continue
        out.append(text[i])
        i += 1
    return "".join(out)


def fatal_message(wine) -> str:
    line = wine.log_lines()[-1]
    match = re.fullmatch(r'Fatal error thrown: "(.*)"', line)
    assert match, line
    return unescape_log(match.group(1))


def run_context_of(log: Path) -> str:
    return log.name.split("_", 1)[0]


def photograph(wine, window: str, name: str, keep=True) -> bytes:
    pixels = wine.screen.settled()
    wine.screen.save(pixels, (SCREENS if keep else wine.path.parent) / f"{name}.png")
    assert window in wine.screen.visible(".*"), "the box vanished while it was photographed"
    return pixels


def assert_shows(wine, seen, box_type: int):
    """Draws the expected boxes, in the program's order, with the same Wine and
    compares the screens. seen: (screen pixels, caption, text, name) per box."""
    expected_files = []
    for _, caption, text, name in seen:
        expected_file = wine.path.parent / f"{name}-expected.txt"
        expected_file.write_bytes(caption.encode() + b"\n" + text.encode())
        expected_files.append(host_path(expected_file))
    reference = wine.popen(BIN / "show_message_box.exe", f"{box_type:x}", *expected_files)
    try:
        window = None
        for pixels, caption, text, name in seen:
            window = wine.screen.wait_for_box("^" + re.escape(caption) + "$", reference, other_than=window)
            expected = wine.screen.settled()
            wine.screen.press(window, "Return" if box_type & 0xF == 0 else "n")
            if pixels != expected:
                wine.screen.save(expected, wine.path.parent / f"{name}-expected.png")
                differing = sum(1 for i in range(0, len(pixels), 3) if pixels[i : i + 3] != expected[i : i + 3])
                pytest.fail(f"{name}: {differing} pixels differ from a box showing {caption!r} / {text!r}")
        reference.wait(timeout=60)
    finally:
        if reference.poll() is None:
            reference.kill()
            reference.wait()


def answer_fatal_box(wine, process, name: str, timeout=60.0, while_shown=lambda: None, unlogged=None) -> str:
    """Finds, photographs and checks the fatal error box; returns its message,
    read from the run's log, or for a refusal that comes before any log, the
    text unlogged expects (the screens then prove the box shows it)."""
    window = wine.screen.wait_for_box(r"^Vora Error \(Context: ", process, timeout=timeout)
    pixels = photograph(wine, window, name)
    caption = wine.screen.caption(window)
    match = FATAL_CAPTION.match(caption)
    assert match, caption
    assert process.poll() is None, "the program went on without waiting for the box"
    logs = wine.logs()
    if unlogged is None:
        assert len(logs) == 1
        assert match.group(1) == run_context_of(logs[0])
        message = fatal_message(wine)
    else:
        assert logs == [], "refused before anything is written"
        message = unlogged
    while_shown()
    wine.screen.press(window, "Return")
    assert process.wait(timeout=60) == 1
    wine.screen.wait_until_gone(window)
    assert_shows(wine, [(pixels, caption, message, name)], MB_OK_ICONERROR)
    return message


# --- the fatal error box -------------------------------------------------------


@pytest.mark.fault("ui-fatal-no-action")
def test_no_action_box(ui):
    process = ui.popen(SETUP_EXE)
    message = answer_fatal_box(ui, process, "fatal-no-action")
    assert message == "No valid action specified.\n\nUsage: /install | /uninstall"


@pytest.mark.fault("ui-fatal-bad-command-line")
def test_bad_command_line_box_shows_the_help(ui):
    process = ui.popen(SETUP_EXE, "/install", "/uninstall")
    message = answer_fatal_box(ui, process, "fatal-bad-command-line")
    head, _, help_text = message.partition("\n\n")
    assert head == "Failed to parse command line."
    assert help_text.startswith("Usage: setup")
    for option, meaning in (
        ("/install", "Install the Vora launcher service"),
        ("/uninstall", "Uninstall the Vora launcher service"),
        ("/uninstall-full", "Uninstall the Vora launcher service and all associated program data"),
    ):
        assert re.search(re.escape(option) + r"\s+" + re.escape(meaning), help_text), (option, help_text)
    assert "not allowed with" not in message  # the library's reason stays in the log


@pytest.mark.fault("ui-fatal-second-instance")
def test_second_instance_box(ui):
    # Holds the setup's own lock, as a running setup does.
    holder = ui.popen(BIN / "hold_mutex.exe", "120000", "guard")
    try:
        assert wait_for((ui.drive_c / "mutex-held").exists, timeout=60), "holder never took the lock"
        process = ui.popen(SETUP_EXE, "/install")
        answer_fatal_box(ui, process, "fatal-second-instance",
                         unlogged="Please close all other instances of Vora setup before starting another.")
        assert holder.poll() is None, "the first copy was disturbed"
    finally:
        holder.kill()
        holder.wait()


@pytest.mark.fault("ui-crash")
def test_crash_box_names_the_dump(ui):
    def dump_is_written():
        dumps = list(ui.crash_dir.glob("*.dmp"))
        assert len(dumps) == 1 and dumps[0].stat().st_size > 0

    process = ui.popen(BIN / "crash_test.exe")
    message = answer_fatal_box(ui, process, "crash", timeout=300, while_shown=dump_is_written)
    dumps = list(ui.crash_dir.glob("*.dmp"))
    context = run_context_of(ui.logs()[0])
    assert context.startswith("crash-")
    assert re.fullmatch(re.escape(context) + r"_\d{4}-\d{2}-\d{2}_\d{2}-\d{2}-\d{2}\.dmp", dumps[0].name)
    assert dumps[0].read_bytes()[:4] == b"MDMP"
    assert message == (
        "A fatal error has occurred and the program has crashed.\n\n"
        f"A crash report has been saved to:\nC:\\ProgramData\\Vora\\Crashes\\{dumps[0].name}\n\n"
        "Please report this to staff."
    )


# --- the AVX2 guidance ---------------------------------------------------------


def set_baseboard(ui, tmp_path, manufacturer: str, product: str):
    import_registry(
        ui,
        tmp_path,
        {
            r"HKEY_LOCAL_MACHINE\HARDWARE\DESCRIPTION\System\BIOS": {
                "BaseBoardManufacturer": manufacturer,
                "BaseBoardProduct": product,
            }
        },
    )


def recorded_urls(ui):
    return ui.urls.read_text().splitlines() if ui.urls.exists() else []


def avx2_box(ui, process, text: str, name: str, other_than=None, keep=True):
    """Returns the box's window, when it was found, and what it showed."""
    window = ui.screen.wait_for_box("^Vora$", process, other_than=other_than)
    found = time.monotonic()
    pixels = photograph(ui, window, name, keep)
    assert ui.screen.caption(window) == "Vora"
    assert process.poll() is None, "the program went on without waiting for the box"
    return window, found, (pixels, "Vora", text, name)


@pytest.mark.fault("ui-no-avx2-yes")
def test_avx2_boxes_answered_yes_open_both_searches(ui, tmp_path):
    set_baseboard(ui, tmp_path, "Example Boards", "X-100 (rev/2)")
    process = ui.popen(BIN / "setup_no_avx2.exe", "/install")

    first, _, first_seen = avx2_box(ui, process, AVX2_FIRST, "avx2-first")
    ui.screen.press(first, "y")
    brand_search = SEARCH + "Does%20Example%28R%29%20CPU%201000%20%40%202.00GHz%20support%20AVX2"
    assert wait_for(lambda: recorded_urls(ui) == [brand_search], timeout=30), (
        recorded_urls(ui),
        ui.log_lines(),
        [ui.screen.caption(w) for w in ui.screen.visible(".*")],
    )

    second, _, second_seen = avx2_box(ui, process, AVX2_SECOND, "avx2-second", other_than=first)
    ui.screen.press(second, "y")
    board_search = SEARCH + "How%20to%20enable%20AVX2%20in%20BIOS%20Example%20Boards%20X-100%20%28rev%2F2%29"
    # The setup has no way to open a page but the desktop's shell (the chain
    # of IShellWindows and IShellDispatch2 that Wine's explorer serves): the
    # pages recorded came through it.
    assert process.wait(timeout=60) == 0
    lines = ui.log_lines()
    if len(recorded_urls(ui)) < 2 and any(line.startswith("No desktop shell") for line in lines):
        # Under Wine 8 the shell's server now and then goes away after the
        # first search (the next call finds RPC_S_SERVER_UNAVAILABLE, then no
        # class registered for as long as one waits). Then the address is
        # logged and nothing else opens it.
        assert recorded_urls(ui) == [brand_search]
        assert lines[3:] == [f"No desktop shell opened the search (Error: 0x80040154); its address: {board_search}"]
        pytest.xfail("Wine's desktop shell went away between the two searches")
    assert wait_for(lambda: len(recorded_urls(ui)) == 2, timeout=30)
    assert recorded_urls(ui) == [brand_search, board_search]

    # Exit code 0 and no action, although /install was given.
    assert lines[:1] + lines[2:] == ["Setup process starting", "Selected action: Install"]
    assert not ui.install_dir.exists()
    ui.screen.wait_until_gone(second)
    assert_shows(ui, [first_seen, second_seen], MB_YESNO_ICONWARNING)


@pytest.mark.fault("ui-no-avx2-no")
def test_avx2_boxes_answered_no_open_nothing(ui):
    process = ui.popen(BIN / "setup_no_avx2.exe")

    first, _, first_seen = avx2_box(ui, process, AVX2_FIRST, "avx2-first-no", keep=False)
    ui.screen.press(first, "n")
    # The box closes as the key arrives. Wine keeps its X window up for a
    # moment after that, so the answer, not the window's end, starts the pause.
    answered = time.monotonic()
    second, shown, second_seen = avx2_box(ui, process, AVX2_SECOND, "avx2-second-no", other_than=first, keep=False)
    assert shown - answered >= 4.5
    ui.screen.press(second, "n")
    assert process.wait(timeout=60) == 0
    # A search would be recorded within a second or so of the answer.
    time.sleep(3)
    assert recorded_urls(ui) == []
    lines = ui.log_lines()
    assert lines[:1] + lines[2:] == ["Setup process starting", "No setup action specified"]
    ui.screen.wait_until_gone(second)
    assert_shows(ui, [first_seen, second_seen], MB_YESNO_ICONWARNING)
