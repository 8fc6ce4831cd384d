#!/usr/bin/python3
"""Line-to-screen latency and CPU at device rates, side by side with other
terminals, through the peer comparison harness (peerbench: its pseudo-terminal
line, its Xvfb, its way of starting each program).

Latency: the time from a byte written on the line's far end to the first time
its cell on the screen shows the byte's glyph, read from the X server with
GetImage in a loop (every 0.5 ms). The probe cell is row 0, column 70; every
sample first clears it ("\\r", 71 spaces, "\\r"), waits until the screen shows
it blank, waits a random interval, then writes "\\r", 70 spaces, "#" and "\\r"
in one write and times until the cell's pixels equal the '#' learnt at the
start. Every write ends with CR, so the stream's next piece, whatever its
length, never wraps the row. The text cursor (which blinks in some programs)
is never taken for the change: only the glyph's own pixels count (the ink of
"#", learnt with the cursor far away, in column 0).
  idle      the line is silent between samples
  stream    a 100 KB/s stream runs all the time: "\\r" and 60 characters
            ("-" and "=" by turns) rewriting columns 0-59 of the same row, so
            the program takes and repaints bytes without the probe cell moving

CPU: CPU seconds (program + its X server, schedstat) per MB received while the
line carries text lines (79 characters + LF, scrolling) paced at a given rate
for a given time: cpu:RATE:SECS, RATE like 11.5K, 100K, 1M (bytes per second).

Usage:
  latency.py --peerbench DIR [-t gtkterm] [--ours NAME=BIN ...] [-s idle] [-s stream]
             [-s cpu:11.5K:20 ...] [--samples 300] [--block 50] [-o FILE.jsonl]
  latency.py --summarize FILE.jsonl ...
--ours NAME=BIN adds our program (settings from ours.conf.in) as target NAME;
repeat it to compare two builds in the same run. Targets run interleaved, one
block of samples each, so drift in the machine's load hits them alike.
"""
import argparse
import json
import os
import random
import select
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SETTINGS = os.path.join(".config", "Tevra Laboratory", "Orbel Software", "Terminal.conf")
PROBE_COLUMN = 70
POLL_S = 0.0005
STREAM_RATE = 100_000

# The stream and the pacer run in a child process, so the probe's own timing
# is never held up by them (one interpreter lock).
PACER = r"""
import os, sys, time
fd, rate, kind, secs = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3], float(sys.argv[4])
if kind == "stream":
    units = [b"\r" + b"-" * 60, b"\r" + b"=" * 60]
    data = b"".join(units[i % 2] for i in range(4096))
else:
    data = open(kind, "rb").read()
os.set_blocking(fd, False)
t0, sent, off = time.monotonic(), 0, 0
while secs <= 0 or time.monotonic() - t0 < secs:
    due = int(rate * (time.monotonic() - t0)) - sent
    if due > 0:
        piece = data[off:off + min(due, 65536)]
        if not piece:
            if kind == "stream":
                off = 0
                continue
            break
        try:
            n = os.write(fd, piece)
        except BlockingIOError:
            n = 0
        sent += n
        off += n
    time.sleep(0.002)
print(sent, flush=True)
"""


def rate_value(text):
    mult = {"K": 1e3, "M": 1e6}.get(text[-1].upper(), 1)
    return float(text[:-1] if text[-1].isalpha() else text) * mult


class Screen:
    """reads rectangles of one window of the harness's X server"""

    def __init__(self, display, pid, name):
        from Xlib import X, display as xdisplay
        self.X = X
        self.d = xdisplay.Display(display)
        ids = pb.x11_windows(pid, name, timeout=20)
        wins = [self.d.create_resource_object("window", int(w)) for w in ids]
        self.win = max(wins, key=lambda w: w.get_geometry().width * w.get_geometry().height)
        g = self.win.get_geometry()
        self.width, self.height = g.width, min(g.height, 1024)

    def grab(self, x, y, w, h):
        return self.win.get_image(x, y, w, h, self.X.ZPixmap, 0xFFFFFFFF).data

    def whole(self):
        return self.grab(0, 0, self.width, self.height)


def changed_box(a, b, width, height):
    """bounding box (x, y, w, h) of the rightmost group of differing pixel
    columns between two images of width x height (4 bytes a pixel)"""
    stride = width * 4
    cols, rows = set(), []
    for y in range(height):
        ra, rb = a[y * stride:(y + 1) * stride], b[y * stride:(y + 1) * stride]
        if ra == rb:
            continue
        rows.append(y)
        for x in range(width):
            if ra[x * 4:x * 4 + 4] != rb[x * 4:x * 4 + 4]:
                cols.add(x)
    if not cols:
        return None
    cols = sorted(cols)
    right = [cols[-1]]
    for x in reversed(cols[:-1]):  # a glyph's ink has gaps of a pixel or two at most
        if right[-1] - x > 3:
            break
        right.append(x)
    x0, x1 = min(right), max(right)
    ys = [y for y in rows
          if any(a[y * stride + x * 4:y * stride + x * 4 + 4] != b[y * stride + x * 4:y * stride + x * 4 + 4]
                 for x in range(x0, x1 + 1))]
    return x0, min(ys), x1 - x0 + 1, max(ys) - min(ys) + 1


class Session:
    """one running peer on a fresh line, its probe cell learnt"""

    def __init__(self, tname, args):
        self.rundir = pb.tempfile.mkdtemp(prefix="lat-%s-" % tname, dir=pb.WORK)
        self.mfd, self.sfd, self.dev = pb.open_line()
        self.ctx = pb.Ctx(self.rundir, self.dev, None, pb.build_ceiling())
        variant = args.ours.get(tname)
        if variant:
            os.environ.update(PB_OURS_BIN=variant, PB_OURS_SETTINGS=SETTINGS,
                              PB_OURS_TEMPLATE=os.path.join(HERE, "ours.conf.in"), PB_OURS_CAPTURE="0")
        spec = pb.make_spec("ours" if variant else tname, self.ctx, args)
        spec.ready = None  # no capture needed: the screen is what is measured
        spec.log = None
        self.ctx.display = pb.xvfb_start()
        self.peer = pb.Peer(spec, self.ctx)
        self.pid = self.peer.pid
        end = time.time() + 20
        while not any(pb.holds(p, self.dev) for p in pb.descendants(self.pid)):
            if time.time() > end or not pb.alive(self.pid):
                raise RuntimeError("%s did not open the line: %s" % (tname, self.peer.text()))
            time.sleep(0.05)
        self.idle(args.settle)
        self.screen = None
        self.box = None
        self.name = "^Terminal$" if variant else {"gtkterm": "GTKTerm", "cutecom": "CuteCom"}.get(tname)

    def write(self, data):
        view = memoryview(data)
        while view:
            try:
                n = os.write(self.mfd, view)
                view = view[n:]
            except BlockingIOError:
                select.select([], [self.mfd], [], 0.1)

    def idle(self, secs):
        end = time.monotonic() + secs
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return
            r, _, _ = select.select([self.mfd], [], [], left)
            if r:
                try:
                    os.read(self.mfd, 65536)
                except OSError:
                    pass

    def learn_cell(self):
        """finds the ink of '#' in the probe cell: the images with the cell
        blank and with '#', both with the cursor at column 0"""
        self.screen = Screen(self.ctx.display, self.pid, self.name)
        self.write(b"\r" + b" " * (PROBE_COLUMN + 1) + b"\r")
        self.idle(0.5)
        blank = self.screen.whole()
        self.write(b"\r" + b" " * PROBE_COLUMN + b"#\r")
        self.idle(0.5)
        glyph = self.screen.whole()
        box = changed_box(blank, glyph, self.screen.width, self.screen.height)
        if not box:
            raise RuntimeError("the probe glyph did not show")
        self.box = box
        self.glyph = self.screen.grab(*box)

    def cell(self):
        return self.screen.grab(*self.box)

    def wait_cell(self, want, timeout):
        """seconds until the probe cell shows (want=True) or stops showing '#'"""
        t0 = time.perf_counter()
        while True:
            now = time.perf_counter()
            if (self.cell() == self.glyph) == want:
                return now - t0
            if now - t0 > timeout:
                return None
            time.sleep(POLL_S)

    def sample(self, gap):
        self.write(b"\r" + b" " * (PROBE_COLUMN + 1) + b"\r")
        if self.wait_cell(False, 5) is None:
            raise RuntimeError("the probe cell did not clear")
        time.sleep(gap)
        t0 = time.perf_counter()
        self.write(b"\r" + b" " * PROBE_COLUMN + b"#\r")
        while True:
            shown = self.cell() == self.glyph
            now = time.perf_counter()
            if shown:
                return (now - t0) * 1000.0
            if now - t0 > 5:
                return None
            time.sleep(POLL_S)

    def pacer(self, rate, kind, secs):
        return subprocess.Popen([sys.executable, "-c", PACER, str(self.mfd), str(rate), kind, str(secs)],
                                pass_fds=(self.mfd,), stdout=subprocess.PIPE, text=True)

    def cpu(self):
        a = pb.proc_threads(self.pid)
        x = pb.proc_threads(pb.XVFB["proc"].pid)
        return a["cpu"], x["cpu"]

    def close(self):
        self.peer.stop()
        for fd in (self.mfd, self.sfd):
            try:
                os.close(fd)
            except OSError:
                pass


def latency_block(s, scen, n, rng):
    stream = s.pacer(STREAM_RATE, "stream", 0) if scen == "stream" else None
    try:
        if stream:
            time.sleep(1.0)  # the stream under way
        c0 = s.cpu()
        out = [s.sample(rng.uniform(0.05, 0.25)) for _ in range(n)]
        c1 = s.cpu()
    finally:
        if stream:
            stream.kill()
            stream.wait()
    return {"samples_ms": [None if v is None else round(v, 2) for v in out],
            "cpu_s": round(c1[0] - c0[0], 3), "display_cpu_s": round(c1[1] - c0[1], 3)}


def cpu_block(s, scen):
    _, rate, secs = scen.split(":")
    rate, secs = rate_value(rate), float(secs)
    path, _ = pb.payload("text", int(rate * (secs + 1.0)) + 65536)
    # the first second of the run is not counted: a program may settle
    writer = s.pacer(rate, path, secs + 1.0)
    time.sleep(1.0)
    c0, t0 = s.cpu(), time.monotonic()
    writer.wait(timeout=secs + 30)
    c1, dt = s.cpu(), time.monotonic() - t0
    sent = int(writer.stdout.read().split()[0])
    mb = rate * dt / 1e6
    prog, disp = c1[0] - c0[0], c1[1] - c0[1]
    return {"rate": rate, "secs": round(dt, 2), "sent": sent, "cpu_s": round(prog, 4),
            "display_cpu_s": round(disp, 4), "cpu_s_per_mb": round(prog / mb, 3),
            "display_cpu_s_per_mb": round(disp / mb, 3), "total_s_per_mb": round((prog + disp) / mb, 3),
            "core_pct": round(100 * (prog + disp) / dt, 2), "program_core_pct": round(100 * prog / dt, 2)}


def pct(values, p):
    v = sorted(values)
    return v[min(len(v) - 1, int(round(p / 100.0 * (len(v) - 1))))]


def summarize(rows):
    out = []
    lat = [r for r in rows if r["scenario"] in ("idle", "stream") and "error" not in r]
    if lat:
        out.append("### line-to-screen latency, ms (pooled samples; per-block p50 range)\n")
        out.append("| target | scenario | n | p50 | p90 | p99 | max | block p50s | missed |")
        out.append("|---|---|---|---|---|---|---|---|---|")
        keys = []
        for r in lat:
            if (r["target"], r["scenario"]) not in keys:
                keys.append((r["target"], r["scenario"]))
        for t, sc in sorted(keys, key=lambda k: (k[1], k[0])):
            rs = [r for r in lat if r["target"] == t and r["scenario"] == sc]
            vals = [v for r in rs for v in r["samples_ms"] if v is not None]
            missed = sum(1 for r in rs for v in r["samples_ms"] if v is None)
            if not vals:
                continue
            p50s = [statistics.median([v for v in r["samples_ms"] if v is not None]) for r in rs]
            out.append("| %s | %s | %d | %.1f | %.1f | %.1f | %.1f | %.1f-%.1f | %d |" % (
                t, sc, len(vals), pct(vals, 50), pct(vals, 90), pct(vals, 99), max(vals),
                min(p50s), max(p50s), missed))
    cpu = [r for r in rows if r["scenario"].startswith("cpu") and "error" not in r]
    if cpu:
        out.append("\n### CPU at paced rates: s per MB received, program + X server (median [min-max])\n")
        out.append("| target | rate | n | program s/MB | X server s/MB | total s/MB | % of a core (total) |")
        out.append("|---|---|---|---|---|---|---|")

        def med(vals, nd):
            m = statistics.median(vals)
            if len(vals) > 1 and min(vals) != max(vals):
                return "%.*f [%.*f-%.*f]" % (nd, m, nd, min(vals), nd, max(vals))
            return "%.*f" % (nd, m)
        keys = []
        for r in cpu:
            if (r["target"], r["scenario"]) not in keys:
                keys.append((r["target"], r["scenario"]))
        for t, sc in sorted(keys, key=lambda k: (rate_value(k[1].split(":")[1]), k[0])):
            rs = [r for r in cpu if r["target"] == t and r["scenario"] == sc]
            out.append("| %s | %s | %d | %s | %s | %s | %s |" % (
                t, sc.split(":")[1] + "B/s", len(rs), med([r["cpu_s_per_mb"] for r in rs], 3),
                med([r["display_cpu_s_per_mb"] for r in rs], 3), med([r["total_s_per_mb"] for r in rs], 3),
                med([r["core_pct"] for r in rs], 2)))
    errs = [r for r in rows if "error" in r]
    for r in errs:
        out.append("error: %s %s: %s" % (r["target"], r["scenario"], r["error"][:200]))
    return "\n".join(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--peerbench", default=os.environ.get("PEERBENCH", "/work/shared/peerbench"))
    ap.add_argument("-t", "--target", action="append", default=[])
    ap.add_argument("--ours", action="append", default=[], help="NAME=BIN: our program as target NAME")
    ap.add_argument("-s", "--scenario", action="append", dest="scenarios")
    ap.add_argument("--samples", type=int, default=300)
    ap.add_argument("--block", type=int, default=50)
    ap.add_argument("--cpu-reps", type=int, default=3)
    ap.add_argument("--settle", type=float, default=1.5)
    ap.add_argument("--seed", type=int, default=15)
    ap.add_argument("-o", "--out")
    ap.add_argument("--summarize", nargs="+")
    args = ap.parse_args()
    global pb
    sys.dont_write_bytecode = True
    sys.path.insert(0, args.peerbench)
    import peerbench as pb  # noqa: E402
    import targets  # noqa: F401,E402  (registers the peers)
    if args.summarize:
        print(summarize([json.loads(l) for f in args.summarize for l in open(f) if l.strip()]))
        return 0
    args.ours = dict(o.split("=", 1) for o in args.ours)
    names = list(args.ours) + args.target
    scenarios = args.scenarios or ["idle", "stream", "cpu:11.5K:20", "cpu:100K:10", "cpu:1M:10"]
    os.makedirs(pb.WORK, exist_ok=True)
    rng = random.Random(args.seed)
    rows = []
    out = open(args.out, "a") if args.out else None

    def record(r):
        rows.append(r)
        print(json.dumps(r)[:300], file=sys.stderr, flush=True)
        if out:
            out.write(json.dumps(r) + "\n")
            out.flush()
    try:
        lat = [s for s in scenarios if s in ("idle", "stream")]
        cpu = [s for s in scenarios if s.startswith("cpu:")]
        blocks = (args.samples + args.block - 1) // args.block if lat else 0
        for rep in range(max(blocks, args.cpu_reps if cpu else 0)):
            for t in names:
                s = None
                try:
                    s = Session(t, args)
                    if rep < blocks:
                        s.learn_cell()
                        for sc in lat:
                            n = min(args.block, args.samples - rep * args.block)
                            record(dict(latency_block(s, sc, n, rng), target=t, scenario=sc, rep=rep))
                    if rep < args.cpu_reps:
                        for sc in cpu:
                            record(dict(cpu_block(s, sc), target=t, scenario=sc, rep=rep))
                except Exception as e:  # record it and go on with the next
                    record({"target": t, "scenario": "session", "rep": rep,
                            "error": "%s: %s" % (type(e).__name__, e)})
                finally:
                    if s:
                        s.close()
    finally:
        pb.xvfb_stop()
        if out:
            out.close()
    print(summarize(rows))
    return 1 if any("error" in r for r in rows) else 0


if __name__ == "__main__":
    sys.exit(main())
