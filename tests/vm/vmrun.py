#!/usr/bin/env python3
"""Runs one test program inside a QEMU guest that has real serial drivers.

The guest (TCG, q35, 2 vCPUs, 512 MiB) runs Debian's stock kernel from an
initramfs: static busybox, the USB serial modules and an /init that starts the
program. Its serial devices:

  ttyS0     console, carried to this script and printed
  ttyS1     16550 UART (8250 driver)      } one null modem: this script carries
  ttyUSB0   FTDI adapter (ftdi_sio, xHCI) } the bytes between their two sockets
  PCI UART  control line to this script: "unplug" / "plug" pull out and put back
            the FTDI adapter (its end of the null modem cut and rejoined, which
            QEMU turns into a USB detach and attach); "exit N" ends the run

Only socket chardevs are used: nothing of the host's /dev/tty* is touched.

  vmrun.py prepare --cache DIR          fetch and unpack the kernel once
  vmrun.py run --cache DIR PROGRAM [ARGS...]

Exit status: the program's, 1 when the guest failed or hung, 77 when QEMU is
missing (CTest reports a skip).
"""

import argparse
import ctypes
import fcntl
import json
import lzma
import os
import re
import select
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77
QEMU = "qemu-system-x86_64"
BUSYBOX = "/bin/busybox"
MODULES = ["usb-common", "usbcore", "xhci-hcd", "xhci-pci", "usbserial", "ftdi_sio"]
INIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "init")


def log(message):
    print(f"vmrun: {message}", flush=True)


# ---- the kernel, taken out of Debian's package once and kept in the build tree


def run_checked(command, **kwargs):
    return subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True, **kwargs).stdout


def kernel_package():
    depends = run_checked(["apt-cache", "depends", "linux-image-amd64"])
    match = re.search(r"Depends: (linux-image-\S+)", depends)
    if not match:
        raise RuntimeError("no kernel package behind linux-image-amd64 (run apt-get update)")
    return match.group(1)


def prepare(cache):
    """Returns (kernel image, modules root, kernel version); fetches them if absent."""
    os.makedirs(cache, exist_ok=True)
    with open(os.path.join(cache, "lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # two tests may start together
        ready = os.path.join(cache, "ready")
        if not os.path.exists(ready):
            unpack_kernel(cache)
        with open(ready) as marker:
            version = marker.read().strip()
    return os.path.join(cache, "vmlinux"), os.path.join(cache, "root"), version


def unpack_kernel(cache):
    started = time.monotonic()
    package = kernel_package()
    download = os.path.join(cache, "download")
    shutil.rmtree(download, ignore_errors=True)
    os.makedirs(download)
    run_checked(["apt-get", "download", "-q", package], cwd=download, stderr=subprocess.DEVNULL)
    (deb,) = [os.path.join(download, name) for name in os.listdir(download) if name.endswith(".deb")]

    # Only the image and the six modules: the whole package unpacks to 400 MB.
    listing = subprocess.run(f"dpkg-deb --fsys-tarfile '{deb}' | tar -t", shell=True, check=True,
                             stdout=subprocess.PIPE, text=True).stdout.split()
    wanted = {name + ".ko" for name in MODULES}
    members = [m for m in listing if os.path.basename(m) in wanted or re.fullmatch(r"\./boot/vmlinuz-.*", m)]
    if len(members) != len(MODULES) + 1:
        raise RuntimeError(f"{package}: expected the image and {len(MODULES)} modules, found {members}")
    root = os.path.join(cache, "root")
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    subprocess.run(f"dpkg-deb --fsys-tarfile '{deb}' | tar -x -C '{root}' " + " ".join(f"'{m}'" for m in members),
                   shell=True, check=True)
    (image,) = [m for m in members if "/boot/" in m]
    version = os.path.basename(image)[len("vmlinuz-"):]
    run_checked([BUSYBOX, "depmod", "-b", root, version])

    # The xz stream inside the bzImage, unpacked once: an ELF image boots through
    # its PVH entry and saves the guest ~3 s of decompression under TCG.
    with open(os.path.join(root, image), "rb") as compressed:
        data = compressed.read()
    start = data.find(b"\xfd7zXZ\x00")
    if start < 0:
        raise RuntimeError(f"{image}: no xz stream")
    with open(os.path.join(cache, "vmlinux"), "wb") as out:
        out.write(lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(data[start:]))
    os.remove(os.path.join(root, image))
    shutil.rmtree(download)
    with open(os.path.join(cache, "ready"), "w") as marker:
        marker.write(version + "\n")
    log(f"kernel {version} unpacked in {time.monotonic() - started:.1f} s")


# ---- the initramfs: newc archives, written here so no root and no cpio tool are needed


class Cpio:
    def __init__(self):
        self.data = bytearray()
        self.dirs = set()
        self.inode = 1

    def _entry(self, name, mode, body=b"", rdev=(0, 0)):
        fields = [self.inode, mode, 0, 0, 1, 0, len(body), 0, 0, rdev[0], rdev[1], len(name) + 1, 0]
        self.inode += 1
        self.data += b"070701" + "".join(f"{f:08x}" for f in fields).encode() + name.encode() + b"\0"
        self.data += b"\0" * (-len(self.data) % 4)
        self.data += body
        self.data += b"\0" * (-len(self.data) % 4)

    def directory(self, path):
        path = path.strip("/")
        if not path or path in self.dirs:
            return
        self.directory(os.path.dirname(path))
        self.dirs.add(path)
        self._entry(path, 0o040755)

    def file(self, path, body, mode=0o755):
        path = path.strip("/")
        self.directory(os.path.dirname(path))
        self._entry(path, 0o100000 | mode, body)

    def copy(self, source, path=None):
        with open(source, "rb") as f:
            self.file(path or source, f.read(), os.stat(source).st_mode & 0o777)

    def char_device(self, path, major, minor):
        self.directory(os.path.dirname(path.strip("/")))
        self._entry(path.strip("/"), 0o020600, rdev=(major, minor))

    def finish(self):
        self._entry("TRAILER!!!", 0)
        self.data += b"\0" * (-len(self.data) % 512)
        return bytes(self.data)


def shared_libraries(program):
    """The paths `ldd` resolves for `program`, the dynamic loader among them."""
    paths = []
    for line in run_checked(["ldd", program]).splitlines():
        match = re.search(r"(?:=>\s*)?(/\S+)\s+\(0x", line)
        if match:
            paths.append(match.group(1))
    return paths


def build_initramfs(out, modules_root, version, program, arguments):
    base = Cpio()
    base.copy(BUSYBOX, "/bin/busybox")
    base.copy(INIT, "/init")
    base.char_device("/dev/console", 5, 1)
    for directory in ("proc", "sys", "dev", "tmp", "run"):
        base.directory(directory)
    modules = os.path.join(modules_root, "lib/modules", version)
    for folder, _, names in os.walk(modules):
        for name in names:
            source = os.path.join(folder, name)
            base.copy(source, "/lib/modules/" + version + source[len(modules):])

    payload = Cpio()
    payload.copy(program, "/vmtest/" + os.path.basename(program))
    for library in shared_libraries(program):
        payload.copy(library)
    command = " ".join(shlex.quote(a) for a in ["/vmtest/" + os.path.basename(program)] + arguments)
    payload.file("/vmtest/run", f"exec {command}\n".encode())
    with open(out, "wb") as f:
        f.write(base.finish())
        f.write(payload.finish())


# ---- the guest


def die_with_parent():
    # QEMU must not outlive this script, even when CTest kills it on a time-out.
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class Qmp:
    def __init__(self, connection):
        self.sock = connection
        self.buffer = b""
        self.read_message()  # greeting
        self.command("qmp_capabilities")

    def read_message(self):
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise RuntimeError("QMP connection closed")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def command(self, name, **arguments):
        self.sock.sendall(json.dumps({"execute": name, "arguments": arguments}).encode() + b"\n")
        while True:
            message = self.read_message()
            if "error" in message:
                raise RuntimeError(f"{name}: {message['error'].get('desc')}")
            elif "return" in message:
                return message["return"]


def listen(path):
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(path)
    server.listen(1)
    return server


def accept(server, qemu, deadline):
    server.settimeout(0.2)
    while time.monotonic() < deadline:
        if qemu.poll() is not None:
            raise RuntimeError(f"QEMU ended at start with status {qemu.returncode}")
        try:
            connection, _ = server.accept()
            connection.settimeout(None)
            return connection
        except socket.timeout:
            pass
    raise RuntimeError("QEMU did not connect")


def qemu_command(kernel, initrd, folder, vcpus, guest_limit):
    def sock(name):
        return os.path.join(folder, name)
    return [
        QEMU, "-machine", "q35", "-accel", "tcg", "-smp", str(vcpus), "-m", "512",
        "-nodefaults", "-display", "none", "-no-reboot", "-no-user-config",
        "-kernel", kernel, "-initrd", initrd,
        "-append", f"console=ttyS0 quiet panic=-1 8250.nr_uarts=8 tevra_vm_guest tevra_vm_limit={guest_limit}",
        "-chardev", f"socket,id=console,path={sock('console')}",
        "-device", "isa-serial,index=0,chardev=console",
        # The null modem's two ends. The adapter's end reconnects after it was cut:
        # usb-serial is attached only while its chardev is connected.
        "-chardev", f"socket,id=modem-uart,path={sock('modem-uart')}",
        "-chardev", f"socket,id=modem-usb,path={sock('modem-usb')},reconnect=1",
        "-device", "isa-serial,index=1,chardev=modem-uart",
        "-device", "qemu-xhci,id=xhci",
        "-device", "usb-serial,id=ftdi,bus=xhci.0,chardev=modem-usb",
        "-chardev", f"socket,id=control,path={sock('control')}",
        "-device", "pci-serial,chardev=control",
        "-chardev", f"socket,id=qmp,path={sock('qmp')}",
        "-mon", "chardev=qmp,mode=control",
    ]


class NullModem:
    """Carries bytes between the UART's socket and the adapter's, with back-pressure
    both ways. Cutting the adapter's end is the unplug: usb-serial is on the USB bus
    only while its chardev is connected, so QEMU detaches it and the guest's xHCI
    driver sees it go. (device_del of the adapter makes QEMU 7.2 crash in usb_wakeup
    about one time in eight under traffic.) Until the plug the adapter's socket is
    gone, so its reconnection attempts fail and what the UART sends is dropped.
    """

    LIMIT = 65536

    def __init__(self, uart, usb_server, usb_path, usb):
        self.uart, self.usb_server, self.usb_path, self.usb = uart, usb_server, usb_path, usb
        self.plugged = True
        self.to_usb = bytearray()
        self.to_uart = bytearray()
        for sock in (uart, usb_server, usb):
            sock.setblocking(False)

    def readers(self):
        ends = [self.usb_server] if self.plugged else []
        if len(self.to_usb) < self.LIMIT:
            ends.append(self.uart)
        if self.usb is not None and self.plugged and len(self.to_uart) < self.LIMIT:
            ends.append(self.usb)
        return ends

    def writers(self):
        ends = []
        if self.to_uart:
            ends.append(self.uart)
        if self.to_usb and self.usb is not None and self.plugged:
            ends.append(self.usb)
        return ends

    def readable(self, sock):
        if sock is self.usb_server:
            connection, _ = self.usb_server.accept()
            connection.setblocking(False)
            if self.usb is not None:
                self.usb.close()
            self.usb = connection
            return
        try:
            data = sock.recv(65536)
        except BlockingIOError:
            return
        if not data:
            raise RuntimeError("a null-modem end closed")
        if sock is self.usb:
            self.to_uart += data
        elif self.plugged:
            self.to_usb += data

    def writable(self, sock):
        pending = self.to_uart if sock is self.uart else self.to_usb
        try:
            sent = sock.send(pending)
        except BlockingIOError:
            return
        del pending[:sent]

    def cut(self):
        self.plugged = False
        self.usb_server.close()
        os.unlink(self.usb_path)
        self.usb.close()
        self.usb = None
        self.to_usb.clear()
        self.to_uart.clear()

    def rejoin(self, deadline):
        """Listens again and waits for the adapter's end (QEMU retries each second)."""
        self.usb_server = listen(self.usb_path)
        self.usb_server.settimeout(max(0.1, deadline - time.monotonic()))
        try:
            self.usb, _ = self.usb_server.accept()
        except socket.timeout:
            raise RuntimeError("the adapter's end did not reconnect") from None
        for sock in (self.usb_server, self.usb):
            sock.setblocking(False)
        self.plugged = True


def wait_chardev(qmp, chardev, connected, deadline):
    while time.monotonic() < deadline:
        for device in qmp.command("query-chardev"):
            if device["label"] == chardev and device["filename"].startswith("disconnected") != connected:
                return
        time.sleep(0.02)
    raise RuntimeError(f"{chardev} is still {'dis' if connected else ''}connected")


def handle_control(line, qmp, qemu, modem, deadline):
    """One request from the guest; the reply line to send back."""
    try:
        if line == "unplug":
            modem.cut()
            wait_chardev(qmp, "modem-usb", False, min(deadline, time.monotonic() + 5))
            return "unplugged"
        if line == "plug":
            modem.rejoin(min(deadline, time.monotonic() + 5))
            wait_chardev(qmp, "modem-usb", True, min(deadline, time.monotonic() + 5))
            return "plugged"
        return f"error unknown request {line!r}"
    except (RuntimeError, OSError) as error:
        if qemu.poll() is not None:
            raise RuntimeError(f"QEMU ended with status {qemu.returncode} during {line!r}")
        return f"error {error}"


def run(cache, program, arguments, timeout, vcpus):
    if shutil.which(QEMU) is None:
        log(f"{QEMU} is not installed: skipped")
        return SKIP
    kernel, modules_root, version = prepare(cache)
    started = time.monotonic()
    deadline = started + timeout
    folder = tempfile.mkdtemp(prefix="tevra-vm-")
    qemu = None
    try:
        initrd = os.path.join(folder, "initrd")
        build_initramfs(initrd, modules_root, version, program, arguments)
        names = ("console", "modem-uart", "modem-usb", "control", "qmp")
        servers = {name: listen(os.path.join(folder, name)) for name in names}
        qemu = subprocess.Popen(qemu_command(kernel, initrd, folder, vcpus, int(max(10, timeout - 20))),
                                stdin=subprocess.DEVNULL, preexec_fn=die_with_parent)
        connections = {name: accept(servers[name], qemu, deadline) for name in names}
        modem = NullModem(connections["modem-uart"], servers["modem-usb"], os.path.join(folder, "modem-usb"),
                          connections["modem-usb"])
        status = relay(connections["console"], connections["control"], Qmp(connections["qmp"]), modem,
                       qemu, deadline)
        log(f"guest ran {time.monotonic() - started:.1f} s, status {status}")
        return status
    except RuntimeError as error:
        log(f"error: {error}")
        return 1
    finally:
        if qemu is not None and qemu.poll() is None:
            qemu.kill()
            qemu.wait()
        shutil.rmtree(folder, ignore_errors=True)


def relay(console, control, qmp, modem, qemu, deadline):
    """Prints the console, carries the null modem and serves the control line until
    the guest reports its status."""
    requests = b""
    status = None
    quiet_since = None
    while True:
        now = time.monotonic()
        if now >= deadline:
            log("error: the guest is still running at its time limit")
            return 1
        if status is not None and quiet_since is not None and now - quiet_since > 0.3:
            qmp.command("quit")  # the console has drained
            qemu.wait(timeout=10)
            return status
        if qemu.poll() is not None:
            log(f"error: the guest stopped without a status (QEMU {qemu.returncode})")
            return 1
        readers = [console, control] + modem.readers()
        readable, writable, _ = select.select(readers, modem.writers(), [], 0.1)
        if not readable and status is not None:
            quiet_since = quiet_since or now
        for sock in writable:
            modem.writable(sock)
        for sock in readable:
            if sock not in (console, control):
                modem.readable(sock)
                continue
            data = sock.recv(65536)
            if not data:
                raise RuntimeError("QEMU closed the console or the control line")
            if sock is console:
                quiet_since = None
                sys.stdout.write(data.replace(b"\r", b"").decode(errors="replace"))
                sys.stdout.flush()
                continue
            requests += data
            while b"\n" in requests:
                line, requests = requests.split(b"\n", 1)
                text = line.decode(errors="replace").strip()
                match = re.fullmatch(r"exit (\d+)", text)
                if match:
                    status = int(match.group(1))
                    quiet_since = time.monotonic()
                elif text:
                    began = time.monotonic()
                    reply = handle_control(text, qmp, qemu, modem, deadline)
                    log(f"{text}: {reply} after {time.monotonic() - began:.2f} s")
                    control.sendall(reply.encode() + b"\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="action", required=True)
    prep = sub.add_parser("prepare")
    prep.add_argument("--cache", required=True)
    go = sub.add_parser("run")
    go.add_argument("--cache", required=True)
    go.add_argument("--timeout", type=float, default=150)
    go.add_argument("--vcpus", type=int, default=2)
    go.add_argument("program")
    go.add_argument("arguments", nargs=argparse.REMAINDER)
    options = parser.parse_args()
    if options.action == "prepare":
        if shutil.which(QEMU) is None:
            log(f"{QEMU} is not installed: skipped")
            return SKIP
        prepare(options.cache)
        return 0
    return run(options.cache, os.path.abspath(options.program), options.arguments, options.timeout, options.vcpus)


if __name__ == "__main__":
    sys.exit(main())
