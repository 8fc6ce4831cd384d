#!/usr/bin/env python3
"""Black-box tests of the real tevra-terminal.exe under Wine, on its own Xvfb,
driven with xdotool, its settings read back with `wine reg`.

Runs inside tools/wine/session.sh (the serial-device guard, Xvfb, a ready prefix):

    tools/wine/session.sh PREFIX python3 tests/win32/blackbox.py --exe EXE CASE

Each case starts from an empty settings key and ends every program it started.
With --artifacts DIR the screen is saved there at the interesting moments.
"""

import argparse
import os
import select
import tty
import shutil
import subprocess
import sys
import tempfile
import time

APP_KEY = r"HKCU\Software\Tevra Laboratory\Orbel Software\Terminal"
MAKER_KEY = r"HKCU\Software\Tevra Laboratory"
TITLE = "Terminal"

# The fifteen values a first run leaves, with their types.
FIRST_RUN_VALUES = {
    "General": {
        "Port": ("REG_DWORD", "0x1"),
        "BaudRate": ("REG_DWORD", "0x4"),
        "ByteSize": ("REG_DWORD", "0x3"),
        "Parity": ("REG_DWORD", "0x0"),
        "StopBits": ("REG_DWORD", "0x0"),
    },
    "Terminal": {
        "TermOutCR": ("REG_DWORD", "0x0"),
        "TermInCR": ("REG_DWORD", "0x0"),
        "TermEcho": ("REG_DWORD", "0x1"),
        "TermCapture": ("REG_DWORD", "0x0"),
        "CaptureFile": ("REG_SZ", "capture.txt"),
        "SendFile": ("REG_SZ", ""),
    },
    "Layout": {
        "LayoutLeft": ("REG_DWORD", "0x14"),
        "LayoutTop": ("REG_DWORD", "0x14"),
        "LayoutRight": ("REG_DWORD", "0x258"),
        "LayoutBottom": ("REG_DWORD", "0x168"),
    },
}

# From the window's top edge to its client area under Wine's own frame:
# border, caption and menu bar.
CLIENT_TOP_OFFSET = 44

STEP_SECONDS = 30  # longest wait for one thing to happen (a loaded machine starts Wine slowly)


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_for(predicate, what, seconds=STEP_SECONDS):
    deadline = time.monotonic() + seconds
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"timed out after {seconds} s waiting for {what}")
        time.sleep(0.1)


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=60, **kwargs)


class Screen:
    """The session's X server (DISPLAY); xdotool and Wine find it there."""

    def __init__(self, artifacts):
        self.artifacts = artifacts
        check(os.environ.get("DISPLAY"), "no DISPLAY: run inside tools/wine/session.sh")

    def xdotool(self, *args):
        return run(["xdotool", *args]).stdout

    def windows(self, title):
        """Visible top-level windows with exactly this title, with their geometry."""
        found = []
        for line in self.xdotool("search", "--onlyvisible", "--name", f"^{title}$").split():
            shell = self.xdotool("getwindowgeometry", "--shell", line)
            values = dict(item.split("=", 1) for item in shell.split() if "=" in item)
            if "X" in values:
                found.append((int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])))
        return found

    def keys(self, *names):
        for name in names:
            self.xdotool("key", name)
            time.sleep(0.4)

    def has_ink(self, window, rows):
        """Whether any pixel darker than mid-grey lies in text rows rows[0]..rows[1]-1 of the
        main window's client area (16-pixel rows below the caption and menu bar)."""
        left, top, width, _ = window
        client_top = top + CLIENT_TOP_OFFSET
        band = f"{width - 40}x{(rows[1] - rows[0]) * 16}+{left + 8}+{client_top + rows[0] * 16}"
        darkest = run(["import", "-window", "root", "-crop", band, "-colorspace", "Gray",
                       "-format", "%[fx:minima]", "info:"]).stdout.strip()
        return float(darkest or 1) < 0.5

    def save(self, name):
        if self.artifacts:
            os.makedirs(self.artifacts, exist_ok=True)
            run(["import", "-window", "root", os.path.join(self.artifacts, name + ".png")])


class Program:
    """One copy of the program, started in a scratch folder (its capture.txt lands there)."""

    def __init__(self, exe, folder, env=None):
        # Wine's own messages, shown when the case fails.
        self.log = tempfile.NamedTemporaryFile(prefix="wine-", suffix=".log", dir=folder, delete=False)
        self.process = subprocess.Popen(["wine", exe], cwd=folder, stdout=subprocess.DEVNULL,
                                        stderr=self.log, env=env)

    def messages(self):
        with open(self.log.name, errors="replace") as file:
            return file.read().strip()

    def wait(self, seconds=STEP_SECONDS):
        try:
            return self.process.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            raise Failure(f"the program did not end within {seconds} s")

    def cpu_seconds(self):
        """CPU time the program has used so far, all its threads."""
        with open(f"/proc/{self.process.pid}/cmdline", "rb") as file:
            check(b"tevra-terminal.exe" in file.read(), "the started process is not the program")
        with open(f"/proc/{self.process.pid}/stat") as file:
            fields = file.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def idle_cpu_share(self, seconds=2.0):
        before = self.cpu_seconds()
        time.sleep(seconds)
        return (self.cpu_seconds() - before) / seconds

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=10)


def reg_values(section):
    """{name: (type, data)} of one section, read with `wine reg query`."""
    result = run(["wine", "reg", "query", APP_KEY + "\\" + section])
    values = {}
    for line in result.stdout.splitlines():
        parts = line.strip("\r").split("    ")
        if len(parts) >= 3 and parts[0] == "":
            values[parts[1]] = (parts[2], parts[3] if len(parts) > 3 else "")
    return values


def reg_subkeys():
    result = run(["wine", "reg", "query", APP_KEY])
    prefix = APP_KEY.replace("HKCU", "HKEY_CURRENT_USER") + "\\"
    return sorted(line.strip()[len(prefix):] for line in result.stdout.splitlines()
                  if line.strip().startswith(prefix))


def saved_texts(section):
    """The section's lines in the prefix's user.reg once the wineserver has saved it
    (stopped: the next Wine program starts a new one). Wine writes a REG_SZ as "text"
    only when it ends in its terminating zero, else as hex(1):..."""
    run(["wineserver", "-k"])
    run(["wineserver", "-w"])
    header = "[" + (APP_KEY[len("HKCU\\"):] + "\\" + section).replace("\\", "\\\\") + "]"
    lines = []
    with open(os.path.join(os.environ["WINEPREFIX"], "user.reg"), encoding="utf-8", errors="replace") as file:
        inside = False
        for line in file:
            if line.startswith("["):
                inside = line.startswith(header + " ")
            elif inside and line.startswith('"'):
                lines.append(line.rstrip("\n"))
    return lines


def reg_set_dword(section, name, value):
    run(["wine", "reg", "add", APP_KEY + "\\" + section, "/v", name, "/t", "REG_DWORD", "/d", str(value), "/f"])


def reg_clear():
    run(["wine", "reg", "delete", MAKER_KEY, "/f"])


WINE_PORTS_KEY = r"HKLM\Software\Wine\Ports"


class PtyLine:
    """The far end of a COM port: a pseudo-terminal whose slave Wine opens as the port.
    Wine reads its port map when its server starts, so the server is restarted."""

    def __init__(self, port_name):
        self.port_name = port_name
        self.master, self.slave = os.openpty()
        tty.setraw(self.master)
        self.path = os.ttyname(self.slave)
        run(["wine", "reg", "add", WINE_PORTS_KEY, "/v", port_name, "/d", self.path, "/f"])
        run(["wineserver", "-k"])
        run(["wineserver", "-w"])
        self.received = b""

    def send(self, data):
        os.write(self.master, data)

    def read_until(self, predicate, what, seconds=STEP_SECONDS):
        def ready():
            while select.select([self.master], [], [], 0)[0]:
                try:
                    chunk = os.read(self.master, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                self.received += chunk
            return predicate(self.received)
        return wait_for(ready, what, seconds)

    def hang_up(self):
        """Closes the far end: the port's line hangs up."""
        os.close(self.master)
        self.master = -1

    def close(self):
        run(["wine", "reg", "delete", WINE_PORTS_KEY, "/v", self.port_name, "/f"])
        # The port's link outlives the value: a later pseudo-terminal with this number
        # (anyone's) must not become the port.
        link = os.path.join(os.environ["WINEPREFIX"], "dosdevices", self.port_name.lower())
        if os.path.islink(link) and os.readlink(link) == self.path:
            os.remove(link)
        for fd in (self.master, self.slave):
            if fd < 0:
                continue
            try:
                os.close(fd)
            except OSError:
                pass


class Case:
    def __init__(self, exe, artifacts, modem_preload):
        self.exe = exe
        self.modem_preload = modem_preload
        self.installer = None
        self.folder = tempfile.mkdtemp(prefix="tevra-win32-")
        self.screen = Screen(artifacts)
        self.programs = []
        self.lines = []
        reg_clear()

    def close(self):
        for program in self.programs:
            program.kill()
        for line in self.lines:
            line.close()
        shutil.rmtree(self.folder, ignore_errors=True)

    def line(self, port_name):
        """A pseudo-terminal as COM port `port_name`, for the programs started after it."""
        check(self.modem_preload, "no --modem-preload: a pseudo-terminal port would busy-loop Wine's wait")
        line = PtyLine(port_name)
        self.lines.append(line)
        return line

    def start(self):
        env = None
        if self.lines:
            env = dict(os.environ, LD_PRELOAD=self.modem_preload)
        program = Program(self.exe, self.folder, env)
        self.programs.append(program)
        return program

    def main_window(self):
        """The main window's geometry once it is shown (the largest window titled Terminal)."""
        found = wait_for(lambda: self.screen.windows(TITLE), "the main window")
        return max(found, key=lambda g: g[2] * g[3])

    def dismiss_open_failure(self):
        """Waits for the open-failure box (a second, smaller window titled Terminal) and answers it."""
        wait_for(lambda: len(self.screen.windows(TITLE)) == 2, "the open-failure box")
        self.screen.keys("Return")
        wait_for(lambda: len(self.screen.windows(TITLE)) == 1, "the open-failure box to close")

    def open_settings(self):
        self.screen.keys("F10", "Right", "Down", "s")
        return wait_for(lambda: self.screen.windows("Settings"), "the Settings dialog")

    def close_program(self, program):
        self.screen.keys("alt+F4")
        check(program.wait() == 0, "the program did not end with 0")


def case_first_start(case):
    program = case.start()
    window = case.main_window()
    check(window == (20, 20, 580, 340), f"first window at {window}, not (20, 20, 580, 340)")
    case.screen.save("first-start")
    case.dismiss_open_failure()
    case.screen.save("window")
    # Without a port, typing changes nothing: no echo.
    case.screen.keys("a", "b", "Return", "c")
    check(not case.screen.has_ink(window, rows=(0, 3)), "typing without a port reached the screen")
    case.close_program(program)

    check(reg_subkeys() == ["General", "Layout", "Terminal"], f"sections {reg_subkeys()}")
    for section, expected in FIRST_RUN_VALUES.items():
        stored = reg_values(section)
        check(stored == expected, f"{section}: stored {stored}, expected {expected}")
    texts = saved_texts("Terminal")
    for line in ('"CaptureFile"="capture.txt"', '"SendFile"=""'):
        check(line in texts, f"{line} not saved as a terminated string: {texts}")


def case_settings_cancel_and_ok(case):
    program = case.start()
    case.main_window()
    case.dismiss_open_failure()

    # Cancel: another port chosen, then dropped; the port is not reopened (no box).
    case.open_settings()
    case.screen.save("settings")
    case.screen.keys("Down", "Escape")
    wait_for(lambda: not case.screen.windows("Settings"), "the Settings dialog to close")
    time.sleep(1)
    check(len(case.screen.windows(TITLE)) == 1, "Cancel reopened the port")

    # OK with COM3: the port is reopened (COM3 does not open here: its box says so).
    case.open_settings()
    case.screen.keys("Down", "Return")
    wait_for(lambda: not case.screen.windows("Settings"), "the Settings dialog to close")
    case.dismiss_open_failure()
    case.close_program(program)
    check(reg_values("General").get("Port") == ("REG_DWORD", "0x2"), f"Port {reg_values('General')}")


def case_about(case):
    program = case.start()
    case.main_window()
    case.dismiss_open_failure()
    case.screen.keys("F10", "Down", "a")
    wait_for(lambda: case.screen.windows("About"), "the About box")
    time.sleep(0.5)
    case.screen.save("about")
    case.screen.keys("Return")
    wait_for(lambda: not case.screen.windows("About"), "the About box to close")
    case.close_program(program)


def case_second_copy(case):
    first = case.start()
    case.main_window()
    case.dismiss_open_failure()
    second = case.start()
    code = second.wait(seconds=60)
    check(code == 0, f"the second copy ended with {code}, not 0")
    check(len(case.screen.windows(TITLE)) == 1, "the second copy showed a window")
    case.close_program(first)


def case_restored_rect(case):
    for name, value in (("LayoutLeft", 100), ("LayoutTop", 80), ("LayoutRight", 740), ("LayoutBottom", 560)):
        reg_set_dword("Layout", name, value)
    program = case.start()
    window = wait_for(lambda: [w for w in case.screen.windows(TITLE) if w[2] > 300], "the main window")[0]
    check(window == (100, 80, 640, 480), f"window at {window}, not the stored (100, 80, 640, 480)")
    case.dismiss_open_failure()

    # Maximised, it still stores the rectangle it returns to.
    case.screen.keys("alt+space", "x")
    wait_for(lambda: case.main_window()[2] > 640, "the window to maximise")
    case.close_program(program)
    layout = reg_values("Layout")
    check([layout[name][1] for name in ("LayoutLeft", "LayoutTop", "LayoutRight", "LayoutBottom")] ==
          ["0x64", "0x50", "0x2e4", "0x230"], f"Layout {layout}")


def case_send_file_echo(case):
    """With no port and echo on, a sent file's lines still reach the screen."""
    lines = ["SEND LINE ONE", "SEND LINE TWO", "SEND LINE THREE"]
    with open(os.path.join(case.folder, "lines.txt"), "wb") as file:
        file.write("".join(line + "\r\n" for line in lines).encode())
    windows_path = "Z:" + os.path.join(case.folder, "lines.txt").replace("/", "\\")

    program = case.start()
    window = case.main_window()
    case.dismiss_open_failure()
    case.screen.save("before-send")
    case.screen.keys("F10", "Down", "i")
    wait_for(lambda: case.screen.windows("Open"), "the open-file chooser")
    case.screen.xdotool("type", "--delay", "20", windows_path)
    case.screen.keys("Return")
    wait_for(lambda: not case.screen.windows("Open"), "the chooser to close")
    time.sleep(len(lines) * 0.5 + 1.5)  # one line per 500 ms, then the end of the file
    case.screen.save("sent-echo")
    check(case.screen.has_ink(window, rows=(0, len(lines))), "the sent lines are not on the screen")
    check(not case.screen.has_ink(window, rows=(len(lines) + 1, len(lines) + 4)), "ink below the sent lines")
    case.screen.keys("F10", "Down", "s")  # Terminal > Clear screen
    time.sleep(1)
    check(not case.screen.has_ink(window, rows=(0, len(lines) + 4)), "Clear screen left text")
    case.close_program(program)
    check(reg_values("Terminal").get("SendFile") == ("REG_SZ", windows_path), f"Terminal {reg_values('Terminal')}")


def case_damaged_values(case):
    """Values of the wrong type or outside their lists count as missing; saving repairs them."""
    run(["wine", "reg", "add", APP_KEY + "\\General", "/v", "Port", "/t", "REG_SZ", "/d", "7", "/f"])
    reg_set_dword("General", "BaudRate", 99)
    reg_set_dword("Terminal", "CaptureFile", 5)
    program = case.start()
    case.main_window()
    case.dismiss_open_failure()
    case.close_program(program)
    stored = {**reg_values("General"), **reg_values("Terminal")}
    for name in ("Port", "BaudRate", "CaptureFile"):
        expected = {**FIRST_RUN_VALUES["General"], **FIRST_RUN_VALUES["Terminal"]}[name]
        check(stored.get(name) == expected, f"{name}: stored {stored.get(name)}, expected {expected}")


def case_capture_file_choice(case):
    """The save-type chooser takes an existing file without an overwrite question; the
    chosen path and capture on are stored."""
    existing = os.path.join(case.folder, "existing.txt")
    with open(existing, "wb") as file:
        file.write(b"kept")
    windows_path = "Z:" + existing.replace("/", "\\")

    program = case.start()
    case.main_window()
    case.dismiss_open_failure()
    case.screen.keys("F10", "Down", "f")  # Terminal > Set capture file...
    wait_for(lambda: case.screen.windows("Save As"), "the save-file chooser")
    case.screen.xdotool("type", "--delay", "20", windows_path)
    case.screen.keys("Return")
    wait_for(lambda: not case.screen.windows("Save As"), "the chooser to close without a question")
    check(len(case.screen.windows(TITLE)) == 1, "a box appeared after choosing the capture file")
    case.close_program(program)
    stored = reg_values("Terminal")
    check(stored.get("CaptureFile") == ("REG_SZ", windows_path), f"Terminal {stored}")
    check(stored.get("TermCapture") == ("REG_DWORD", "0x1"), f"Terminal {stored}")
    with open(existing, "rb") as file:
        check(file.read() == b"kept", "choosing the capture file changed it")


def case_port_traffic(case):
    """On a working port (the default COM2): bytes from the far end reach the screen and the
    capture file; typed keys reach the far end, with CR+LF once outgoing CR = CR+LF is on."""
    line = case.line("COM2")
    reg_set_dword("Terminal", "TermEcho", 0)
    reg_set_dword("Terminal", "TermCapture", 1)
    reg_set_dword("Terminal", "TermOutCR", 1)
    program = case.start()
    window = case.main_window()
    time.sleep(2)
    check(len(case.screen.windows(TITLE)) == 1, "the port did not open (a box appeared)")

    line.send(b"FROM THE LINE\r\n")
    capture = os.path.join(case.folder, "capture.txt")

    def captured():
        if not os.path.exists(capture):
            return b""
        with open(capture, "rb") as file:
            return file.read()
    wait_for(lambda: captured() == b"FROM THE LINE\r\n", "the received bytes in capture.txt")
    wait_for(lambda: case.screen.has_ink(window, rows=(0, 1)), "the received line on the screen")
    case.screen.save("received")
    check(not case.screen.has_ink(window, rows=(2, 5)), "ink below the received line")

    case.screen.keys("a", "b", "Return", "c")
    line.read_until(lambda got: got == b"ab\r\nc", "the typed keys on the line")
    wait_for(lambda: captured() == b"FROM THE LINE\r\nab\r\nc", "the typed keys in capture.txt")

    # A burst larger than one block and the driver's queue arrives whole and in order.
    burst = bytes(ord("A") + i % 26 for i in range(3000))
    line.send(burst)
    wait_for(lambda: captured().endswith(burst), "the 3000-byte burst in capture.txt", seconds=STEP_SECONDS)

    # An idle port costs no CPU: the reader waits for bytes, it does not poll. (A busy
    # loop takes a whole core; the limit leaves room for a loaded machine.)
    share = program.idle_cpu_share()
    check(share < 0.3, f"the idle program used {share:.0%} of a CPU")

    # The far end gone: the program neither spins nor hangs, and closes at once.
    line.hang_up()
    time.sleep(1)
    share = program.idle_cpu_share()
    check(share < 0.3, f"after the far end hung up the program used {share:.0%} of a CPU")
    case.close_program(program)


def case_settings_reopen(case):
    """Settings OK closes the port and opens the chosen one: the far end of the first sees
    nothing more, the second carries the keys."""
    first = case.line("COM2")
    second = case.line("COM3")
    reg_set_dword("Terminal", "TermEcho", 0)
    program = case.start()
    case.main_window()
    time.sleep(2)
    check(len(case.screen.windows(TITLE)) == 1, "COM2 did not open (a box appeared)")
    case.screen.keys("x")
    first.read_until(lambda got: got == b"x", "the key on COM2")

    case.open_settings()
    case.screen.keys("Down", "Return")
    wait_for(lambda: not case.screen.windows("Settings"), "the Settings dialog to close")
    time.sleep(2)
    check(len(case.screen.windows(TITLE)) == 1, "COM3 did not open (a box appeared)")
    case.screen.keys("y")
    second.read_until(lambda got: got == b"y", "the key on COM3")
    time.sleep(0.5)
    first.read_until(lambda got: True, "COM2's bytes")
    check(first.received == b"x", f"COM2 got {first.received!r} after the reopen")
    second.send(b"BACK")
    case.close_program(program)
    check(reg_values("General").get("Port") == ("REG_DWORD", "0x2"), f"Port {reg_values('General')}")


def case_held_line(case):
    """XON/XOFF from the far end holds and releases output; a held write is dropped after
    its time-out; a line held at Close does not hold up the program's end."""
    line = case.line("COM2")
    reg_set_dword("Terminal", "TermEcho", 0)
    program = case.start()
    case.main_window()
    time.sleep(2)
    check(len(case.screen.windows(TITLE)) == 1, "the port did not open (a box appeared)")

    # A key typed while the far end holds the line waits only its write time-out
    # (a few ms per byte), then is dropped: the UI never waits on the line.
    line.send(b"\x13")  # XOFF
    time.sleep(0.5)
    case.screen.keys("a")
    time.sleep(1)
    line.send(b"\x11")  # XON
    time.sleep(1)
    case.screen.keys("z")
    line.read_until(lambda got: got.endswith(b"z"), "a key typed after XON")
    check(line.received == b"z", f"the far end got {line.received!r}, not just the key typed after XON")

    line.send(b"\x13")
    time.sleep(0.5)
    case.screen.keys("b", "c")
    started = time.monotonic()
    case.close_program(program)
    check(time.monotonic() - started < 10, "Close waited on the held line")


UNINSTALL_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\TevraTerminal"


def case_installer(case):
    """The installer, silent, puts the program and its Start-menu entry in place and lists
    its uninstaller; the installed program starts; the uninstaller removes all three."""
    check(case.installer, "no --installer")
    run(["wine", case.installer, "/S"])
    user = os.path.join(os.environ["WINEPREFIX"], "drive_c", "users", os.environ.get("USER", "root"))
    folder = os.path.join(user, "AppData", "Local", "Programs", "Tevra Terminal")
    entry = os.path.join(user, "AppData", "Roaming", "Microsoft", "Windows", "Start Menu", "Programs",
                         "Tevra Terminal.lnk")
    wait_for(lambda: os.path.exists(os.path.join(folder, "uninstall.exe")), "the installed files")
    check(os.path.exists(os.path.join(folder, "tevra-terminal.exe")), "no installed program")
    check(os.path.exists(entry), "no Start-menu entry")
    listed = run(["wine", "reg", "query", UNINSTALL_KEY, "/v", "UninstallString"]).stdout
    check("uninstall.exe" in listed, f"the uninstaller is not listed: {listed!r}")

    case.exe = os.path.join(folder, "tevra-terminal.exe")
    program = case.start()
    case.main_window()
    case.dismiss_open_failure()
    case.close_program(program)

    # The uninstaller runs a copy of itself from a temporary folder and returns at once.
    run(["wine", os.path.join(folder, "uninstall.exe"), "/S"])
    wait_for(lambda: not os.path.exists(folder), "the program's folder to go")
    check(not os.path.exists(entry), "the Start-menu entry is left")
    listed = run(["wine", "reg", "query", UNINSTALL_KEY])
    check(listed.returncode != 0, "the uninstaller is still listed")


CASES = {
    "first_start": case_first_start,
    "settings_cancel_and_ok": case_settings_cancel_and_ok,
    "about": case_about,
    "capture_file_choice": case_capture_file_choice,
    "damaged_values": case_damaged_values,
    "second_copy": case_second_copy,
    "restored_rect": case_restored_rect,
    "send_file_echo": case_send_file_echo,
    "port_traffic": case_port_traffic,
    "settings_reopen": case_settings_reopen,
    "installer": case_installer,
    "held_line": case_held_line,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--artifacts")
    parser.add_argument("--installer", help="the setup program, for the installer case")
    parser.add_argument("--modem-preload", help="ptymodem.so, for the cases on pseudo-terminal ports")
    parser.add_argument("case", choices=sorted(CASES))
    options = parser.parse_args()

    case = Case(os.path.abspath(options.exe), options.artifacts, options.modem_preload)
    case.installer = options.installer and os.path.abspath(options.installer)
    try:
        CASES[options.case](case)
    except Failure as failure:
        case.screen.save(options.case + "-failure")
        print(f"FAIL {options.case}: {failure}", file=sys.stderr)
        for number, program in enumerate(case.programs, 1):
            text = program.messages()
            if text:
                print(f"Wine's messages for program {number} (exit {program.process.poll()}):\n{text[-3000:]}",
                      file=sys.stderr)
        return 1
    finally:
        case.close()
    print(f"ok {options.case}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
