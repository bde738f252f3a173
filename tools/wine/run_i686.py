"""Runs the release marvane.exe (i686) once end to end under 32-bit Wine: start-up screen,
then POS, PC_CC and a Pump 1 driver sent at 19200 baud to the device simulator, checked byte
for byte. The 32-bit Wine is an i386 tree of its own run through qemu-user (scripts/run-i686
sets it up); the driving is driver.py's, pointed at that Wine by the PATH it is given.

    python3 tools/wine/run_i686.py --exe marvane.exe --sim marvane-sim --wine-bin DIR
"""

import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

import driver


def first_markers(lines):
    """The six markers by the first character inside each bracket: this Wine's font makes
    OCR read "[D]" as "[Db]" at times."""
    found = [m.group(1) for m in (re.match(r"^\[(.?)", l) for l in lines) if m]
    return [c if c not in ("]", "") else " " for c in found][:6]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--wine-bin", required=True, help="folder with the wine wrappers")
    args = parser.parse_args()

    os.environ["PATH"] = os.path.abspath(args.wine_bin) + os.pathsep + os.environ["PATH"]
    os.environ["WINEARCH"] = "win32"
    os.environ["MARVANE_WINE_LINK_PORTS"] = "1"
    work = tempfile.mkdtemp(prefix="marvane-i686-")
    images = os.path.join(work, "images")
    os.makedirs(images)
    rng = random.Random(32)
    files = {}
    for name, size in (("POS.BIN", 3000), ("PC_CC.BIN", 1700), ("GIL_PUMP.BIN", 1300)):
        files[name] = bytes(rng.randrange(256) for _ in range(size))
        with open(os.path.join(images, name), "wb") as f:
            f.write(files[name])
    started = time.monotonic()
    # The test runner's own prefix set-up (wine-run), with this Wine first on the PATH.
    folder = os.path.join(work, "session")
    try:
        session = driver.WineSession(args.exe, args.sim, folder)
    except Exception:
        # A set-up that failed half-way leaves its display and Wine server behind.
        subprocess.run([driver.WINE_RUN, "--cleanup"], check=False,
                       env=dict(os.environ, MARVANE_WINE_DIR=os.path.join(folder, "wine"),
                                MARVANE_PORTS_DIR=os.path.join(folder, "ports")))
        raise
    ok = False
    try:
        print("run-i686: 32-bit prefix made in %.0f s" % (time.monotonic() - started))
        sim = session.start_sim(1, ["--baud", "auto"])
        t = time.monotonic()
        session.start_program(images)
        print("run-i686: main window after %.0f s" % (time.monotonic() - t))
        shot = session.screenshot(os.path.join(work, "startup.png"))
        lines = driver.wait_for(
            lambda: (lambda ls: ls if first_markers(ls) == ["-", "-", " ", " ", " ", " "]
                     else None)(session.status_lines(session.screenshot(shot))), 30, 1,
            "the start-up screen")
        print("run-i686: start-up screen: %s" % " | ".join(lines))
        session.choose_baud(19200)
        session.choose_make("Pump 1", "Gilbarco")
        time.sleep(1)
        t = time.monotonic()
        session.download()
        driver.wait_for(lambda: len(sim.report()) >= 4 or
                        any(r.get("outcome") != "ok" for r in sim.report()), 120, 0.5,
                        "four transfers")
        run_seconds = time.monotonic() - t
        report = sim.report()
        got = [(r["id"], r["type"], r["outcome"], r.get("baud")) for r in report]
        want = [("0", "C", "ok", 19200), ("1", "A", "ok", 19200), ("2", "A", "ok", 19200),
                ("3", "A", "ok", 19200)]
        same = (sim.saved("0", "C") == driver.padded(files["POS.BIN"]) and
                sim.saved("1", "A") == driver.padded(files["PC_CC.BIN"]) and
                sim.saved("2", "A") == driver.padded(files["PC_CC.BIN"]) and
                sim.saved("3", "A") == driver.padded(files["GIL_PUMP.BIN"]))
        print("run-i686: transfers %s, data %s, %.1f s" % (got, "identical" if same else
                                                            "DIFFERENT", run_seconds))
        lines = driver.wait_for(
            lambda: (lambda ls: ls if first_markers(ls) == ["D", "D", "D", " ", " ", " "]
                     else None)(session.status_lines(session.screenshot(shot))), 30, 1,
            "the markers D D D")
        ok = got == want and same
        session.exit_program()
        driver.wait_for(lambda: not session.program_running(), 30, 0.5, "the program to end")
    finally:
        session.close()
        print("run-i686: %s in %.0f s" % ("passed" if ok else "FAILED",
                                          time.monotonic() - started))
        if ok and not os.environ.get("MARVANE_KEEP"):
            shutil.rmtree(work, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
