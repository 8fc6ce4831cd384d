#!/usr/bin/env python3
"""Runs the Windows port engine's suite under Wine on a COM port that is a
pseudo-terminal, and plays the line's far end for it. Inside tools/wine/session.sh:

    tools/wine/session.sh PREFIX python3 farend.py --preload ptymodem.so SUITE.exe [ARG...]

The port (PORT_NAME, told to the suite in TEVRA_ENGINE_PORT) is mapped to a
symbolic link in a scratch folder that points at the current pair's slave.
Unplugging closes the master and points the link nowhere; plugging in makes
a new pair and points the link at its slave, as a replugged adapter comes
back under its old name.

The suite asks on its standard output, one line each, "@@far COMMAND [ARG...]",
and reads the answer, "ok [VALUE]", on its standard input; every other line
it prints passes through. Commands:
    send HEX            the far end sends these bytes
    receive COUNT MS    what the far end received, up to COUNT bytes within MS
    hangup              the far end goes away, and the device with it
    plug                a new device under the same name
    holders             descriptors any process holds on the (last) device
    speed               the device's output rate, in bits per second
"""

import argparse
import os
import select
import shutil
import subprocess
import sys
import tempfile
import termios
import time
import tty

sys.dont_write_bytecode = True  # no compiled blackbox beside the sources
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from blackbox import WINE_PORTS_KEY, run  # noqa: E402

PORT_NAME = "COM9"
COMMAND_PREFIX = "@@far "
RATES = {getattr(termios, f"B{rate}"): rate for rate in
         (300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200) if hasattr(termios, f"B{rate}")}


class Device:
    """The far end: a pseudo-terminal pair behind a link that the port is mapped to."""

    def __init__(self, folder):
        self.link = os.path.join(folder, "line")
        self.master = -1
        self.slave_path = None
        self.plug()

    def _point(self, target):
        temporary = self.link + ".new"
        os.symlink(target, temporary)
        os.replace(temporary, self.link)

    def plug(self):
        self.unplug()
        self.master, slave = os.openpty()
        tty.setraw(self.master)
        self.slave_path = os.ttyname(slave)
        os.close(slave)  # only the port holds the slave: its holders are the engine's
        self._point(self.slave_path)

    def unplug(self):
        if self.master >= 0:
            # The name goes first: the freed pseudo-terminal number may be handed to
            # another line at once, which the engine's reopen must not find.
            self._point(self.link + ".gone")
            os.close(self.master)
            self.master = -1

    def send(self, data):
        while data:
            select.select([], [self.master], [], 5)
            data = data[os.write(self.master, data):]

    def receive(self, count, seconds):
        got = b""
        deadline = time.monotonic() + seconds
        while len(got) < count:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                break
            try:
                chunk = os.read(self.master, count - len(got))
            except OSError:  # no slave open: nothing to read
                break
            if not chunk:
                break
            got += chunk
        return got

    def holders(self):
        count = 0
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                fds = os.listdir(f"/proc/{pid}/fd")
            except OSError:
                continue
            for fd in fds:
                try:
                    count += os.readlink(f"/proc/{pid}/fd/{fd}") == self.slave_path
                except OSError:
                    pass
        return count

    def speed(self):
        fd = os.open(self.slave_path, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            return RATES.get(termios.tcgetattr(fd)[5], 0)
        finally:
            os.close(fd)


def answer(device, words):
    command, args = words[0], words[1:]
    if command == "send":
        device.send(bytes.fromhex(args[0]) if args else b"")
        return ""
    if command == "receive":
        return device.receive(int(args[0]), int(args[1]) / 1000).hex()
    if command == "hangup":
        device.unplug()
        return ""
    if command == "plug":
        device.plug()
        return ""
    if command == "holders":
        return str(device.holders())
    if command == "speed":
        return str(device.speed())
    raise ValueError(f"unknown command {command!r}")


def map_port(target):
    """Maps the port to `target`. Wine reads the map when its server starts."""
    run(["wine", "reg", "add", WINE_PORTS_KEY, "/v", PORT_NAME, "/d", target, "/f"])
    run(["wineserver", "-k"])
    run(["wineserver", "-w"])
    # Wine's server takes the pseudo-terminal as its controlling terminal, so
    # each hang-up sends it SIGHUP, on which it prints all its objects: a
    # server of our own, with that output out of the log.
    subprocess.run(["wineserver", "-p"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--preload", required=True, help="ptymodem.so: pseudo-terminals have no modem lines")
    parser.add_argument("suite", nargs=argparse.REMAINDER)
    options = parser.parse_args()

    folder = tempfile.mkdtemp(prefix="tevra-engine-")
    device = Device(folder)
    map_port(device.link)
    try:
        env = dict(os.environ, LD_PRELOAD=options.preload, TEVRA_ENGINE_PORT=PORT_NAME)
        suite = subprocess.Popen(["wine", *options.suite], env=env, stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True, bufsize=1)
        for line in suite.stdout:
            line = line.rstrip("\r\n")
            if not line.startswith(COMMAND_PREFIX):
                print(line, flush=True)
                continue
            try:
                reply = "ok " + answer(device, line[len(COMMAND_PREFIX):].split())
            except (OSError, ValueError, IndexError) as error:
                reply = f"failed {error}"
            try:
                suite.stdin.write(reply.rstrip() + "\n")
                suite.stdin.flush()
            except BrokenPipeError:  # the suite ended: its exit status tells
                break
        return suite.wait()
    finally:
        device.unplug()
        run(["wine", "reg", "delete", WINE_PORTS_KEY, "/v", PORT_NAME, "/f"])
        # The port's link outlives the value: a later pseudo-terminal must not become the port.
        link = os.path.join(os.environ["WINEPREFIX"], "dosdevices", PORT_NAME.lower())
        if os.path.islink(link) and os.readlink(link) == device.link:
            os.remove(link)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
