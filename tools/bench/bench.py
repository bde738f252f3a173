"""The download benchmark: a full set of 13,000-byte images sent through the device simulator
emulating the line, by the real marvane.exe under Wine (driven by key presses), natively by
the harness over the stand-in and by the native marvane-send. Prints, per case, the median over the runs of the elapsed
time, the wire-time bound of the bytes that really crossed the line, their ratio and the CPU
share; then the machine and the release executable's size and imports.

Building the programs is scripts/bench's business; this file only runs and measures them.
"""

import argparse
import glob
import hashlib
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
import driver  # noqa: E402

IMAGE_SIZE = 13000
BLOCK = 128
# The slots in run order: file name, file id the device sees, the make chosen for it.
SET = [
    ("POS.BIN", "0", None),
    ("PC_CC.BIN", "1", None),
    ("PC_CC.BIN", "2", None),
    ("GIL_PUMP.BIN", "3", ("Pump 1", "Gilbarco")),
    ("TOK_PUMP.BIN", "5", ("Pump 2", "Tokheim")),
    ("GIL_CARD.BIN", "4", ("Reader 1", "Gilbarco")),
    ("TOK_CARD.BIN", "6", ("Reader2", "Tokheim")),
]
PAUSE_S = 0.25  # the 25-tick pause before each count frame
# Targets: elapsed over the wire bound by baud rate; CPU share of one core.
RATIO_TARGET = {19200: 1.16, 9600: 1.08}
CPU_TARGET = {"wine": 12.0, "native": 2.0, "send": 2.0}
CASES = ("wine", "native", "send")
CASE_NAMES = {"wine": "marvane.exe under Wine", "native": "native harness",
              "send": "marvane-send (native)"}
# marvane-send's option for each menu of SET.
SEND_OPTIONS = {"Pump 1": "--pump1", "Pump 2": "--pump2", "Reader 1": "--reader1",
                "Reader2": "--reader2"}
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def make_images(folder, seed=20041129):
    """Random images of IMAGE_SIZE bytes, one per file name; returns the device's sha256 of
    each (the data as it stores it: zero-filled to the end of the last block)."""
    import random
    rng = random.Random(seed)
    os.makedirs(folder, exist_ok=True)
    hashes = {}
    for name in sorted({name for name, _, _ in SET}):
        data = bytes(rng.randrange(256) for _ in range(IMAGE_SIZE))
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
        hashes[name] = hashlib.sha256(data + b"\0" * (-len(data) % BLOCK)).hexdigest()
    return hashes


def check_report(lines, baud, hashes):
    """The wire bound of a run from its report lines, or raises if the run was not the full
    set sent once each, in order, at this rate."""
    if len(lines) != len(SET):
        raise RuntimeError("%d transfers reported, not %d: %s" % (
            len(lines), len(SET), [(l.get("id"), l.get("outcome")) for l in lines]))
    bound = 0.0
    for line, (name, file_id, _) in zip(lines, SET):
        what = "transfer %s (%s)" % (line.get("ordinal"), name)
        if line.get("outcome") != "ok" or line.get("id") != file_id:
            raise RuntimeError("%s: id %r, %s %s" % (what, line.get("id"), line.get("outcome"),
                                                     line.get("detail")))
        if line.get("sha256") != hashes[name]:
            raise RuntimeError("%s: the device stored other data" % what)
        if line.get("baud") != baud:
            raise RuntimeError("%s: the PC side set %s baud" % (what, line.get("baud")))
        if "rx" not in line or "tx" not in line:
            raise RuntimeError("the simulator reports no byte counts (rx, tx): rebuild it")
        # 10 bit times a byte (8N1), every byte that went either way, resends included.
        bound += (line["rx"] + line["tx"]) * 10.0 / baud + PAUSE_S
    return bound


def cpu_seconds(pid):
    """utime + stime of the whole process (all its threads), in seconds."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def holds(pid, target):
    """Whether process pid has target (a /dev/pts path) open."""
    try:
        for fd in os.listdir("/proc/%d/fd" % pid):
            try:
                if os.readlink("/proc/%d/fd/%s" % (pid, fd)) == target:
                    return True
            except OSError:
                pass
    except OSError:
        pass
    return False


def start_sim(sim_path, folder, baud):
    link = os.path.join(folder, "com1")
    return driver.Simulator(sim_path, link, folder, ["--baud", str(baud)]), link


# ----- native: the harness over the stand-in

def run_native(args, images, hashes, baud, work):
    sim, link = start_sim(args.sim, work, baud)
    try:
        env = dict(os.environ, MARVANE_COM1=link)
        out = subprocess.run([args.harness, images, str(baud)], env=env, text=True,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             timeout=args.timeout)
        result = None
        for line in out.stdout.splitlines():
            if line.startswith("{"):
                result = json.loads(line)
        if result is None or not result.get("ok"):
            raise RuntimeError("the harness failed: %s" % out.stdout.strip())
        driver.wait_for(lambda: len(sim.report()) >= len(SET), 5, what="the last report line")
        bound = check_report(sim.report(), baud, hashes)
        return {"elapsed": result["elapsed"], "bound": bound, "cpu": result["cpu"]}
    finally:
        sim.stop()


# ----- native: marvane-send, the console program, as a script would run it

def run_send(args, images, hashes, baud, work):
    """Times the whole process, from its start to its exit, and takes its CPU time from the
    kernel's account of the child (wait4)."""
    sim, link = start_sim(args.sim, work, baud)
    try:
        cmd = [args.send, "--device", link, "--baud", str(baud), "--dir", images, "--quiet"]
        if args.trace:  # the wire trace on: what it costs a run
            cmd += ["--trace", os.path.join(work, "trace.txt")]
        for _, _, make in SET:
            if make:
                cmd += [SEND_OPTIONS[make[0]], make[1]]
        start = time.monotonic()
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        _, status, usage = os.wait4(proc.pid, 0)
        elapsed = time.monotonic() - start
        output = proc.stdout.read().decode(errors="replace")
        proc.stdout.close()
        proc.returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode != 0:
            raise RuntimeError("marvane-send exited %d: %s" % (proc.returncode, output.strip()))
        driver.wait_for(lambda: len(sim.report()) >= len(SET), 5, what="the last report line")
        bound = check_report(sim.report(), baud, hashes)
        return {"elapsed": elapsed, "bound": bound, "cpu": usage.ru_utime + usage.ru_stime}
    finally:
        sim.stop()


# ----- Wine: the real program, driven by key presses

def find_pid(comm_prefix, wineprefix):
    """The process whose name starts with comm_prefix and that runs in this Wine prefix."""
    for path in glob.glob("/proc/[0-9]*/comm"):
        pid = int(path.split("/")[2])
        try:
            with open(path) as f:
                if not f.read().strip().startswith(comm_prefix):
                    continue
            with open("/proc/%d/environ" % pid, "rb") as f:
                env = f.read().split(b"\0")
        except OSError:
            continue
        if ("WINEPREFIX=" + wineprefix).encode() in env:
            return pid
    return None


class RunWatch(threading.Thread):
    """Watches the program's hold on the port: the run starts when the program opens it
    and ends when it closes it. Samples both processes' CPU time at those moments."""

    def __init__(self, program, server, pts):
        super().__init__(daemon=True)
        self.program, self.server, self.pts = program, server, pts
        self.opened = self.closed = None
        self.stop = False

    def sample(self):
        return time.monotonic(), cpu_seconds(self.program), cpu_seconds(self.server)

    def run(self):
        while not self.stop:
            held = holds(self.program, self.pts)
            if held and self.opened is None:
                self.opened = self.sample()
            elif not held and self.opened is not None:
                self.closed = self.sample()
                return
            time.sleep(0.002)


def run_wine(session, args, hashes, baud, work):
    sim = session.start_sim(1, ["--baud", str(baud)], name=os.path.basename(work))
    try:
        with open(sim.ready) as f:
            pts = f.read().strip()
        prefix = session.env["WINEPREFIX"]
        program = find_pid("marvane.exe", prefix) or session.program.pid
        server = find_pid("wineserver", prefix)
        if server is None:
            raise RuntimeError("no wineserver found for %s" % prefix)
        watch = RunWatch(program, server, pts)
        watch.start()
        session.download()
        watch.join(args.timeout)
        watch.stop = True
        if watch.opened is None or watch.closed is None:
            raise RuntimeError("the run did not %s the port in time" % (
                "open" if watch.opened is None else "close"))
        bound = check_report(sim.report(), baud, hashes)
        (t0, p0, s0), (t1, p1, s1) = watch.opened, watch.closed
        return {"elapsed": t1 - t0, "bound": bound, "cpu": p1 - p0, "cpu_server": s1 - s0}
    finally:
        session.stop_sim(1)


def wine_cases(args, images, hashes, results):
    session = driver.WineSession(args.exe, args.sim)
    try:
        session.start_program(images)
        for _, _, make in SET:
            if make:
                session.choose_make(*make)
        for baud in args.bauds:
            session.choose_baud(baud)
            for run in range(args.runs):
                work = os.path.join(session.workdir, "wine-%d-%d" % (baud, run + 1))
                r = run_wine(session, args, hashes, baud, work)
                progress("wine", baud, run, r)
                results[("wine", baud)].append(r)
    finally:
        session.close()
        shutil.rmtree(session.workdir, ignore_errors=True)


def progress(case, baud, run, r):
    server = " + wineserver %.2f s" % r["cpu_server"] if "cpu_server" in r else ""
    print("  %-6s %5d run %d: %.2f s (bound %.2f s, %.3f x), CPU %.2f s%s" % (
        case, baud, run + 1, r["elapsed"], r["bound"], r["elapsed"] / r["bound"], r["cpu"],
        server), file=sys.stderr, flush=True)


# ----- what the run happened on, and the release executable

def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    wine = subprocess.run(["wine", "--version"], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True).stdout.strip()
    return "%s, %d cores, Linux %s, %s" % (model, os.cpu_count(), platform.release(),
                                            wine or "no wine")


def release_exe(path):
    if not os.path.exists(path):
        return "release executable %s not built" % path
    dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", path], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True).stdout
    dlls = re.findall(r"DLL Name:\s*(\S+)", dump)
    size = os.path.getsize(path)
    return "release executable %s: %d bytes (%.1f KiB, target <= 64 KiB); imports %s" % (
        path, size, size / 1024.0, ", ".join(dlls) or "nothing")


def table(results, args):
    rows = ["| case | baud | runs | elapsed (s) | wire bound (s) | ratio (target) "
            "| CPU program | CPU wineserver | CPU total (target) |",
            "|---|---|---|---|---|---|---|---|---|"]
    for case in CASES:
        for baud in args.bauds:
            runs = results.get((case, baud))
            if not runs:
                continue
            med = lambda key: statistics.median(r[key] for r in runs)  # noqa: E731
            ratio = statistics.median(r["elapsed"] / r["bound"] for r in runs)
            cpu = statistics.median(100.0 * r["cpu"] / r["elapsed"] for r in runs)
            server = (statistics.median(100.0 * r["cpu_server"] / r["elapsed"] for r in runs)
                      if case == "wine" else None)
            total = statistics.median(
                100.0 * (r["cpu"] + r.get("cpu_server", 0.0)) / r["elapsed"] for r in runs)
            target = RATIO_TARGET.get(baud)
            rows.append("| %s | %d | %d | %.2f | %.2f | %.3f (%s) | %.1f %% | %s | %.1f %% "
                        "(<= %.0f %%) |" % (
                            CASE_NAMES[case],
                            baud, len(runs), med("elapsed"), med("bound"), ratio,
                            "<= %.2f" % target if target else "-", cpu,
                            "%.1f %%" % server if server is not None else "-", total,
                            CPU_TARGET[case]))
    return "\n".join(rows)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--sim", required=True, help="the native marvane-sim")
    p.add_argument("--harness", required=True, help="the native run_harness")
    p.add_argument("--exe", required=True, help="marvane.exe for Wine (x86_64)")
    p.add_argument("--send", help="the native marvane-send (without it, no such case)")
    p.add_argument("--trace", action="store_true", help="marvane-send writes its wire trace")
    p.add_argument("--release", required=True, help="the release i686 marvane.exe")
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--bauds", default="19200,9600")
    p.add_argument("--only", choices=list(CASES), help="one case only")
    p.add_argument("--timeout", type=float, default=600, help="seconds a run may take")
    p.add_argument("--json", help="also write every run's figures here")
    args = p.parse_args()
    args.bauds = [int(b) for b in args.bauds.split(",")]

    work = tempfile.mkdtemp(prefix="marvane-bench-")
    results = {(case, baud): [] for case in CASES for baud in args.bauds}
    try:
        images = os.path.join(work, "images")
        hashes = make_images(images)
        if args.only in (None, "wine"):
            wine_cases(args, images, hashes, results)
        native = {"native": run_native, "send": run_send if args.send else None}
        for case, run_case in native.items():
            if run_case is None or args.only not in (None, case):
                continue
            for baud in args.bauds:
                for run in range(args.runs):
                    r = run_case(args, images, hashes, baud,
                                 os.path.join(work, "%s-%d-%d" % (case, baud, run + 1)))
                    progress(case, baud, run, r)
                    results[(case, baud)].append(r)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    if args.json:
        with open(args.json, "w") as f:
            json.dump({"%s-%d" % k: v for k, v in results.items()}, f, indent=1)
    print("Machine: %s" % machine())
    print("Set: %d files of %d bytes (%d blocks each); median of %d runs per case" % (
        len(SET), IMAGE_SIZE, -(-IMAGE_SIZE // BLOCK), args.runs))
    print("Wire bound: the bytes that crossed the line (simulator's rx + tx, resends "
          "included) x 10 bits / baud, plus 0.25 s per file")
    print()
    print(table(results, args))
    print()
    print(release_exe(args.release))


if __name__ == "__main__":
    main()
