#!/usr/bin/python3
"""End-to-end measurements of tevra-terminal on a simulated line.

The real program runs under its own Xvfb with a fresh HOME per run; the line
is tevra-linesim (a pseudo-terminal that floods once the program holds it and
times the drain: first byte written to the program's input queue empty).
Everything is read from /proc and from the program's TEVRA_STATS_FILE report
(written on SIGUSR1), never from timed sleeps.

Scenarios (-s, repeatable):
  flood:SIZE      text flood, capture off: MB/s, CPU s per MB, peak memory
                  (VmHWM), paints per second while the line drains, time to
                  the window shown
  capture:SIZE    the same with capture on; the capture file is compared with
                  the bytes sent, byte for byte
  menu:SIZE       during a flood: Settings > Local echo through the keyboard
                  (F10, Right, Down x3, Return); time from Return to the check
                  mark changed in the report
  idle:SECS       port open, line silent: CPU % and wake-ups per second
  raw:SIZE        the ceiling: a C reader (poll + read(511), nothing else) on the
                  same kind of line
  stall-xoff:SECS   window stall: a 300-baud line held by XOFF for SECS while a
                  file is being sent (one 200-byte line per tick)
  stall-capture:SIZE  window stall: a text flood with capture on
  stall-fifo:SIZE   window stall: a flood captured into a FIFO whose reader
                  takes 4 KiB every 10 ms

The window stall is the longest gap between two runs of a 10 ms UI heartbeat
(TEVRA_HEARTBEAT_MS=10, reported as heartbeat_max_gap_us) over the scenario.

Usage: e2e.py --program BIN --linesim BIN [-s ...] [-r 3] [--work DIR] [-o FILE.jsonl]
Prints a Markdown table (median [min-max] over the repetitions).
"""
import argparse
import hashlib
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SETTINGS = os.path.join(".config", "Tevra Laboratory", "Orbel Software", "Terminal.conf")
CLK = os.sysconf("SC_CLK_TCK")
ECHO_COMMAND = "40012"  # Settings > Local echo


# ------------------------------------------------------------------ /proc
def cpu_ticks_s(pid):
    """utime+stime of the process, all threads (ended ones too)"""
    try:
        with open("/proc/%d/stat" % pid) as f:
            s = f.read()
    except OSError:
        return None
    fields = s[s.rindex(")") + 2:].split()
    return (int(fields[11]) + int(fields[12])) / CLK


def thread_sums(pid):
    """precise CPU s (schedstat) and context switches over the live threads"""
    ns = cs = 0
    try:
        tids = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return None
    for t in tids:
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, t)) as f:
                ns += int(f.read().split()[0])
            with open("/proc/%d/task/%s/status" % (pid, t)) as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt", "nonvoluntary_ctxt")):
                        cs += int(line.split()[1])
        except (OSError, ValueError, IndexError):
            pass
    return ns / 1e9, cs


def vm_hwm_mib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return None


# ------------------------------------------------------------------ helpers
class Xvfb:
    def __init__(self):
        r, w = os.pipe()
        self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1280x1024x24",
                                      "-nolisten", "tcp", "-noreset"], pass_fds=(w,),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(w)
        num = b""
        while not num.endswith(b"\n"):
            c = os.read(r, 1)
            if not c:
                raise RuntimeError("Xvfb did not start")
            num += c
        os.close(r)
        self.display = ":" + num.decode().strip()

    def stop(self):
        self.proc.terminate()
        self.proc.wait()


class Linesim:
    """tevra-linesim as a child; its output lines with their arrival times"""

    def __init__(self, binary, env, options):
        self.proc = subprocess.Popen([binary] + options, env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True)
        self.lines = []
        self.cond = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()
        line = self.wait_for("-> ", 20)
        self.dev = line.split("-> ")[1].split(" ")[0]

    def _read(self):
        for line in self.proc.stdout:
            with self.cond:
                self.lines.append((time.monotonic(), line.rstrip("\n")))
                self.cond.notify_all()
        with self.cond:
            self.lines.append((time.monotonic(), None))
            self.cond.notify_all()

    def wait_for(self, text, timeout, with_time=False):
        end = time.monotonic() + timeout
        with self.cond:
            while True:
                for t, line in self.lines:
                    if line is not None and text in line:
                        return (t, line) if with_time else line
                if self.lines and self.lines[-1][1] is None:
                    raise RuntimeError("linesim ended before %r: %s" % (text, self.text()))
                left = end - time.monotonic()
                if left <= 0:
                    raise RuntimeError("linesim: no %r within %d s: %s" % (text, timeout, self.text()))
                self.cond.wait(left)

    def seen(self, text):
        with self.cond:
            return any(line is not None and text in line for _, line in self.lines)

    def text(self):
        with self.cond:
            return " | ".join(line for _, line in self.lines if line)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class Program:
    def __init__(self, binary, env, rundir, heartbeat=False):
        self.report = os.path.join(rundir, "stats.txt")
        env = dict(env, TEVRA_STATS_FILE=self.report)
        if heartbeat:
            env["TEVRA_HEARTBEAT_MS"] = "10"
        self.out = open(os.path.join(rundir, "program.out"), "wb")
        self.t0 = time.monotonic()
        self.proc = subprocess.Popen([binary], env=env, stdout=self.out, stderr=subprocess.STDOUT)
        self.pid = self.proc.pid

    def alive(self):
        return self.proc.poll() is None

    def snapshot(self, timeout=10.0):
        """asks for a report (SIGUSR1) and returns it as a dict once rewritten"""
        try:
            before = os.stat(self.report).st_ino
        except OSError:
            before = None
        os.kill(self.pid, signal.SIGUSR1)
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            try:
                if os.stat(self.report).st_ino != before:
                    with open(self.report) as f:
                        return dict(l.strip().split("=", 1) for l in f if "=" in l)
            except OSError:
                pass
            time.sleep(0.002)
        raise RuntimeError("no report within %.0f s" % timeout)

    def stop(self):
        for sig, wait in ((signal.SIGTERM, 5), (signal.SIGKILL, 5)):
            if self.proc.poll() is not None:
                break
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout=wait)
            except subprocess.TimeoutExpired:
                pass
        self.out.close()


def xdotool(display, *args):
    return subprocess.run(["xdotool"] + [str(a) for a in args], env=dict(os.environ, DISPLAY=display),
                          capture_output=True, text=True, timeout=20).stdout


def wait_window(display, pid, timeout=30):
    """(window id, seconds since start) once the program's main window is visible"""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        ids = xdotool(display, "search", "--onlyvisible", "--pid", pid, "--name", "^Terminal$").split()
        if ids:
            return ids[0], time.monotonic()
        time.sleep(0.01)
    raise RuntimeError("no window within %d s" % timeout)


def wait_quiet(pid, limit=30.0):
    """until the program uses < 5 % CPU over 0.5 s; returns when it went quiet"""
    start = time.monotonic()
    prev, since = thread_sums(pid), None
    while prev and time.monotonic() - start < limit:
        time.sleep(0.1)
        cur = thread_sums(pid)
        if not cur:
            break
        if cur[0] - prev[0] < 0.005:
            since = since or time.monotonic()
            if time.monotonic() - since >= 0.5:
                return since
        else:
            since = None
        prev = cur
    return since or time.monotonic()


def text_payload_digest(size):
    """sha256 of the first `size` bytes of the text flood (80-byte numbered lines)"""
    h = hashlib.sha256()
    pr = bytes(range(0x21, 0x7F)) * 3
    done, i = 0, 0
    while done < size:
        line = (b"%08d " % i + pr[i % 95: i % 95 + 70] + b"\n")[: size - done]
        h.update(line)
        done += len(line)
        i += 1
    return h.hexdigest()


def file_digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for piece in iter(lambda: f.read(1 << 20), b""):
            h.update(piece)
    return h.hexdigest()


def parse_size(s):
    m = re.fullmatch(r"(\d+)([KMG]?)", s.upper())
    return int(m.group(1)) * {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}[m.group(2)]


# ------------------------------------------------------------------ one run
class Run:
    def __init__(self, args, xvfb, name):
        self.args, self.xvfb = args, xvfb
        self.dir = tempfile.mkdtemp(prefix=name.replace(":", "-") + "-", dir=args.work)
        home = os.path.join(self.dir, "home")
        runtime = os.path.join(self.dir, "runtime")
        os.makedirs(os.path.join(home, ".config"))
        os.makedirs(runtime, mode=0o700)
        self.env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                        XDG_RUNTIME_DIR=runtime, DISPLAY=xvfb.display, GSETTINGS_BACKEND="memory",
                        NO_AT_BRIDGE="1", LANG="C.UTF-8")
        self.home, self.sim, self.prog = home, None, None
        self.capture = os.path.join(self.dir, "capture.log")

    def line(self, options):
        self.sim = Linesim(self.args.linesim, self.env, options)
        return self.sim

    def settings(self, template, dev=None, baud_index=None):
        with open(os.path.join(HERE, template)) as f:
            text = f.read().format(dev=dev or self.sim.dev, log=self.capture, baud=115200)
        if baud_index is not None:
            text = text.replace("BaudRate=9", "BaudRate=%d" % baud_index)
        path = os.path.join(self.home, SETTINGS)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)

    def start_program(self, heartbeat=False):
        self.prog = Program(self.args.program, self.env, self.dir, heartbeat)
        return self.prog

    def start(self, linesim_options, template, heartbeat=False):
        """line, settings, program; returns once the window is shown and the
        program holds the line: (sim, program, window, window time, open time)"""
        sim = self.line(linesim_options)
        self.settings(template)
        prog = self.start_program(heartbeat)
        win, t_window = wait_window(self.xvfb.display, prog.pid)
        t_open, _ = sim.wait_for("opened", 30, with_time=True)
        return sim, prog, win, t_window, t_open

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self.prog:
            self.prog.stop()
        if self.sim:
            self.sim.stop()
        if not self.args.keep:
            shutil.rmtree(self.dir, ignore_errors=True)


def drained_figures(sim):
    line = sim.wait_for("drained in", 1)
    m = re.search(r"drained in ([\d.]+) s \(([\d.]+) MB/s\)", line)
    return float(m.group(1)), float(m.group(2))


def flood_run(args, xvfb, scen, capture):
    size = parse_size(scen.split(":")[1])
    with Run(args, xvfb, scen) as run:
        sim, prog, _, t_window, t_open = run.start(
            ["--flood", str(size), "--settle-ms", "1500"],
            "ours-capture.conf.in" if capture else "ours.conf.in")
        before = prog.snapshot()          # before the flood (1.5 s settle)
        cpu0 = cpu_ticks_s(prog.pid)
        sim.wait_for("flood started", 30)
        sim.proc.wait(timeout=args.max_time)
        secs, mbps = drained_figures(sim)
        after = prog.snapshot(30)
        cpu_drain = cpu_ticks_s(prog.pid) - cpu0
        quiet = wait_quiet(prog.pid)
        cpu_total = cpu_ticks_s(prog.pid) - cpu0
        res = {"scenario": scen, "bytes": size, "secs": secs, "mbps": mbps,
               "received": int(after["bytes_received"]) - int(before["bytes_received"]),
               "window_s": round(t_window - prog.t0, 3), "open_s": round(t_open - prog.t0, 3),
               "paints_per_s": round((int(after["paints"]) - int(before["paints"])) / secs, 1),
               "wakes_per_s": round((int(after["wakes_handled"]) - int(before["wakes_handled"])) / secs),
               "cpu_s": round(cpu_total, 2), "cpu_drain_s": round(cpu_drain, 2),
               "cpu_s_per_mb": round(cpu_total / (size / 1e6), 4),
               "catchup_s": round(max(0.0, quiet - sim.lines[-1][0] if sim.lines else 0), 2),
               "vm_hwm_mib": round(vm_hwm_mib(prog.pid) or 0, 1)}
        if capture:
            end = time.monotonic() + 10
            while time.monotonic() < end and (not os.path.exists(run.capture) or
                                              os.path.getsize(run.capture) < size):
                time.sleep(0.05)
            got = os.path.getsize(run.capture) if os.path.exists(run.capture) else 0
            same = got == size and file_digest(run.capture) == text_payload_digest(size)
            res["capture"] = "identical" if same else "DIFFERS (%d of %d bytes)" % (got, size)
        return res


def menu_run(args, xvfb, scen):
    size = parse_size(scen.split(":")[1])
    with Run(args, xvfb, scen) as run:
        sim, prog, win, _, _ = run.start(["--flood", str(size), "--settle-ms", "1500"],
                                         "ours.conf.in")
        was = prog.snapshot()["checked_" + ECHO_COMMAND]
        sim.wait_for("flood started", 30)
        time.sleep(0.5)  # well into the flood
        d = xvfb.display
        xdotool(d, "windowfocus", "--sync", win)
        for key in ("F10", "Right", "Down", "Down", "Down"):
            xdotool(d, "key", key)
            time.sleep(0.15)
        t_key = time.monotonic()
        xdotool(d, "key", "Return")
        latency, during = None, None
        while time.monotonic() - t_key < 20:
            rep = prog.snapshot(20)
            if rep["checked_" + ECHO_COMMAND] != was:
                latency = time.monotonic() - t_key
                during = not sim.seen("drained")
                break
            time.sleep(0.01)
        # an idle report round trip, to tell the report's own delay apart
        sim.proc.wait(timeout=args.max_time)
        wait_quiet(prog.pid)
        t = time.monotonic()
        prog.snapshot()
        return {"scenario": scen, "menu_latency_ms": round(latency * 1000) if latency else None,
                "during_flood": during, "report_roundtrip_ms": round((time.monotonic() - t) * 1000, 1)}


def idle_run(args, xvfb, scen):
    secs = float(scen.split(":")[1])
    with Run(args, xvfb, scen) as run:
        _, prog, _, _, _ = run.start([], "ours.conf.in")
        time.sleep(2)
        wait_quiet(prog.pid)
        a, t0 = thread_sums(prog.pid), time.monotonic()
        time.sleep(secs)
        b, dt = thread_sums(prog.pid), time.monotonic() - t0
        return {"scenario": scen, "idle_cpu_pct": round(100 * (b[0] - a[0]) / dt, 3),
                "idle_wakeups_s": round((b[1] - a[1]) / dt, 1),
                "threads": len(os.listdir("/proc/%d/task" % prog.pid))}


def raw_run(args, xvfb, scen):
    size = parse_size(scen.split(":")[1])
    drain = os.path.join(args.work, "drain511")
    if not os.path.exists(drain):
        subprocess.run(["cc", "-O2", "-o", drain, os.path.join(HERE, "drain511.c")], check=True)
    with Run(args, xvfb, scen) as run:
        sim = run.line(["--flood", str(size), "--settle-ms", "200"])
        reader = subprocess.Popen([drain, sim.dev])
        sim.proc.wait(timeout=args.max_time)
        secs, mbps = drained_figures(sim)
        reader.wait(timeout=10)
        return {"scenario": scen, "bytes": size, "secs": secs, "mbps": mbps}


def stall_ms(report):
    return round(int(report["heartbeat_max_gap_us"]) / 1000.0, 1)


def choose_file(display, win, command_downs, path):
    """the menu item `command_downs` items down the first menu, then `path` in its chooser"""
    xdotool(display, "windowfocus", "--sync", win)
    for key in ["F10"] + ["Down"] * command_downs + ["Return"]:
        xdotool(display, "key", key)
        time.sleep(0.15)
    end = time.monotonic() + 20
    while time.monotonic() < end:
        ids = xdotool(display, "search", "--onlyvisible", "--name", "^Select a file$").split()
        if ids:
            break
        time.sleep(0.05)
    else:
        raise RuntimeError("no file chooser")
    time.sleep(0.3)
    xdotool(display, "windowfocus", "--sync", ids[0])
    xdotool(display, "key", "ctrl+l")
    time.sleep(0.15)
    xdotool(display, "type", "--delay", "20", path)
    time.sleep(0.15)
    xdotool(display, "key", "Return")
    end = time.monotonic() + 20
    while xdotool(display, "search", "--onlyvisible", "--name", "^Select a file$").split():
        if time.monotonic() > end:
            raise RuntimeError("the file chooser stayed")
        time.sleep(0.05)


SEND_FILE_DOWNS = 5  # Terminal > Send text file


def stall_xoff_run(args, xvfb, scen):
    """a 300-baud line held by XOFF while a file is sent: the longest window stall"""
    secs = float(scen.split(":")[1])
    with Run(args, xvfb, scen) as run:
        master, slave = os.openpty()
        try:
            run.settings("ours.conf.in", dev=os.ttyname(slave), baud_index=0)
            prog = run.start_program(heartbeat=True)
            win, _ = wait_window(xvfb.display, prog.pid)
            end = time.monotonic() + 20
            while prog.snapshot().get("port_open") != "1":
                if time.monotonic() > end:
                    raise RuntimeError("the port did not open")
                time.sleep(0.05)
            os.write(master, b"\x13x")  # XOFF, and a marker that shows it was taken
            while int(prog.snapshot()["bytes_received"]) < 1:
                if time.monotonic() > end:
                    raise RuntimeError("the XOFF was not taken")
                time.sleep(0.05)
            send = os.path.join(run.dir, "send.txt")
            with open(send, "w") as f:
                for i in range(1000):
                    f.write("%06d " % i + "x" * 193 + "\n")
            choose_file(xvfb.display, win, SEND_FILE_DOWNS, send)
            prog.snapshot()  # the span starts with the sending
            time.sleep(secs)
            rep = prog.snapshot()
            if rep.get("checked_40023") != "1":
                raise RuntimeError("the file was not being sent")
            os.write(master, b"\x11")
            return {"scenario": scen, "stall_ms": stall_ms(rep), "heartbeats": int(rep["heartbeats"])}
        finally:
            os.close(master)
            os.close(slave)


def stall_flood_run(args, xvfb, scen, fifo):
    """a flood with capture on, into a file or into a FIFO read slowly: the longest window stall"""
    size = parse_size(scen.split(":")[1])
    with Run(args, xvfb, scen) as run:
        stop = threading.Event()
        reader = None
        if fifo:
            os.mkfifo(run.capture)
            fd = os.open(run.capture, os.O_RDONLY | os.O_NONBLOCK)

            def slow_reader():
                while not stop.is_set():
                    try:
                        os.read(fd, 4096)
                    except BlockingIOError:
                        pass
                    time.sleep(0.01)
                os.close(fd)
            reader = threading.Thread(target=slow_reader, daemon=True)
            reader.start()
        try:
            sim, prog, _, _, _ = run.start(["--flood", str(size), "--settle-ms", "1500"],
                                           "ours-capture.conf.in", heartbeat=True)
            prog.snapshot()  # the span starts before the flood
            sim.wait_for("flood started", 30)
            sim.proc.wait(timeout=args.max_time)
            secs, mbps = drained_figures(sim)
            wait_quiet(prog.pid)
            rep = prog.snapshot(30)
            return {"scenario": scen, "stall_ms": stall_ms(rep), "mbps": mbps,
                    "heartbeats": int(rep["heartbeats"])}
        finally:
            stop.set()
            if reader:
                reader.join()


def warm_up(args, xvfb):
    """The first program on a fresh X server peaks about 55 MiB higher than
    every later one (same build, same settings): start and stop one first, so
    the memory figures compare like with like."""
    with Run(args, xvfb, "warm-up") as run:
        run.start([], "ours.conf.in")


# ------------------------------------------------------------------ summary
COLUMNS = [("mbps", "MB/s", 1), ("cpu_s_per_mb", "CPU s/MB", 4), ("vm_hwm_mib", "VmHWM MiB", 1),
           ("paints_per_s", "paints/s", 0), ("wakes_per_s", "wakes/s", 0),
           ("catchup_s", "catch-up s", 2), ("window_s", "window s", 2), ("capture", "capture", None),
           ("menu_latency_ms", "menu ms", 0), ("report_roundtrip_ms", "report ms", 1),
           ("stall_ms", "window stall ms", 1),
           ("idle_cpu_pct", "idle CPU %", 3), ("idle_wakeups_s", "idle wake-ups/s", 1),
           ("threads", "threads", 0)]


def summarize(rows):
    out = []
    scenarios = []
    for r in rows:
        if r["scenario"] not in scenarios:
            scenarios.append(r["scenario"])
    used = [c for c in COLUMNS if any(c[0] in r for r in rows)]
    out.append("| scenario | n | " + " | ".join(c[1] for c in used) + " |")
    out.append("|---|---|" + "---|" * len(used))
    for sc in scenarios:
        rs = [r for r in rows if r["scenario"] == sc and "error" not in r]
        errs = [r for r in rows if r["scenario"] == sc and "error" in r]
        cells = []
        for key, _, nd in used:
            vals = [r[key] for r in rs if r.get(key) is not None]
            if not vals:
                cells.append("")
            elif nd is None:
                cells.append(", ".join(sorted(set(str(v) for v in vals))))
            else:
                m = statistics.median(vals)
                cell = "%.*f" % (nd, m)
                if len(vals) > 1 and min(vals) != max(vals):
                    cell += " [%.*f-%.*f]" % (nd, min(vals), nd, max(vals))
                cells.append(cell)
        label = sc + (" (%d failed: %s)" % (len(errs), errs[0]["error"][:60]) if errs else "")
        out.append("| %s | %d | %s |" % (label, len(rs), " | ".join(cells)))
    return "\n".join(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--program", required=True)
    ap.add_argument("--linesim", required=True)
    ap.add_argument("-s", "--scenario", action="append", dest="scenarios")
    ap.add_argument("-r", "--reps", type=int, default=3)
    ap.add_argument("--work", default=os.path.join(tempfile.gettempdir(), "tevra-e2e"))
    ap.add_argument("-o", "--out")
    ap.add_argument("--max-time", type=float, default=300)
    ap.add_argument("--keep", action="store_true")
    args = ap.parse_args()
    scenarios = args.scenarios or ["raw:64M", "flood:64M", "capture:64M", "flood:8M", "menu:64M",
                                   "idle:10", "stall-xoff:5", "stall-capture:64M", "stall-fifo:8M"]
    os.makedirs(args.work, exist_ok=True)
    xvfb = Xvfb()
    warm_up(args, xvfb)
    rows = []
    out = open(args.out, "a") if args.out else None
    try:
        for rep in range(args.reps):
            for scen in scenarios:  # interleaved: drift hits every scenario alike
                kind = scen.split(":")[0]
                try:
                    if kind in ("flood", "capture"):
                        r = flood_run(args, xvfb, scen, kind == "capture")
                    elif kind == "menu":
                        r = menu_run(args, xvfb, scen)
                    elif kind == "idle":
                        r = idle_run(args, xvfb, scen)
                    elif kind == "raw":
                        r = raw_run(args, xvfb, scen)
                    elif kind == "stall-xoff":
                        r = stall_xoff_run(args, xvfb, scen)
                    elif kind in ("stall-capture", "stall-fifo"):
                        r = stall_flood_run(args, xvfb, scen, kind == "stall-fifo")
                    else:
                        raise SystemExit("unknown scenario " + scen)
                except Exception as e:  # record it and go on
                    r = {"scenario": scen, "error": "%s: %s" % (type(e).__name__, e)}
                r["rep"] = rep
                rows.append(r)
                print(json.dumps(r), file=sys.stderr, flush=True)
                if out:
                    out.write(json.dumps(r) + "\n")
                    out.flush()
    finally:
        xvfb.stop()
        if out:
            out.close()
    print(summarize(rows))
    return 1 if any("error" in r for r in rows) else 0


if __name__ == "__main__":
    sys.exit(main())
