"""The demo: sample image files, a device simulator on each of COM1 to COM4, and marvane.exe
under Wine against them. On a display the operator drives it; headless (no DISPLAY, or
--headless) it performs a default download by key presses and reports what the device got.
"""

import argparse
import hashlib
import os
import random
import shutil
import sys
import time

import driver
import makes


def make_images(folder):
    """Random sample images: the two programs and every driver of the catalog."""
    os.makedirs(folder, exist_ok=True)
    rng = random.Random(2004)
    sizes = {"POS.BIN": 6000, "PC_CC.BIN": 4000}
    for name in makes.catalog():
        sizes[name] = 1500 + rng.randrange(2000)
    for name, size in sizes.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(bytes(rng.randrange(256) for _ in range(size)))
    return sizes


SLOTS = ["POS", "PC_CC", "Pump 1", "Pump 2", "Reader 1", "Reader 2"]


def read_screen(session, path, done):
    """Screenshots to `path` until the markers read as `done` says (or 30 s pass); returns
    the markers and the port setting of the last shot, each None when OCR could not read
    it for sure."""
    found = {"markers": None}

    def look():
        session.screenshot(path)
        marks = driver.markers(session.status_lines(path))
        found["markers"] = marks if None not in marks else None
        return found["markers"] is not None and done(found["markers"])

    try:
        driver.wait_for(look, 30, 1.0, "the final markers")
    except TimeoutError:
        pass
    return found["markers"], session.port_setting(path)


def print_screen(shot, marks, port):
    print("The program shows (screenshot %s):" % os.path.relpath(shot))
    if port:
        print("  Port Settings => Com %d (%5d)" % port)
    if marks:
        print("  " + "  ".join("[%s] %s" % (m, slot) for m, slot in zip(marks, SLOTS)))
    if not port or not marks:
        print("  (%s not read for sure: see the screenshot)" %
              " and ".join(what for what, got in (("the port line", port), ("the markers", marks))
                           if not got))


def print_report(session):
    print("The simulated controllers received:")
    for n, sim in sorted(session.sims.items()):
        report = sim.report()
        if not report:
            print("  COM%d: nothing" % n)
        for t in report:
            print("  COM%d: file id %s type %s, %3d blocks, %-9s sha256 %s…" % (
                n, t.get("id"), t.get("type"), t.get("blocks", 0), t.get("outcome"),
                str(t.get("sha256", ""))[:16]))
    print("  (saved in %s)" % os.path.relpath(os.path.join(session.workdir, "sim-comN-*")))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--out", default="demo-out")
    parser.add_argument("--headless", action="store_true")
    args = parser.parse_args()

    out = os.path.abspath(args.out)
    shutil.rmtree(out, ignore_errors=True)
    images = os.path.join(out, "images")
    make_images(images)
    display = None if args.headless else os.environ.get("DISPLAY")
    session = driver.WineSession(args.exe, args.sim, os.path.join(out, "session"), display)
    try:
        for n in range(1, 5):
            # Each device runs at the rate the program set on its line, as a real one would.
            session.start_sim(n, ["--baud", "auto"])
        session.start_program(images)
        if display:
            print("Marvane is running on %s against simulated controllers on COM1 to COM4." %
                  display)
            print("Choose a pump (Pump 1 is needed), then File > Download Files; close the")
            print("window when done.")
            while session.program_running():
                time.sleep(0.5)
        else:
            print("Headless: Pump 1 > Gilbarco, then File > Download Files on COM1 at 9600.")
            session.choose_make("Pump 1", "Gilbarco")
            session.download()
            sim = session.sims[1]
            driver.wait_for(lambda: len(sim.report()) >= 4 or
                            any(t.get("outcome") != "ok" for t in sim.report()), 120, 0.5,
                            "the download")
            # Done when every marker has settled: no slot waiting or sending any more.
            shot = os.path.join(out, "after-download.png")
            marks, port = read_screen(session, shot,
                                      lambda m: all(x in "DEe " for x in m) or "E" in m)
            print_screen(shot, marks, port)
            session.exit_program()
            driver.wait_for(lambda: not session.program_running(), 20, 0.2, "exit")
        print_report(session)
        ok = all(t.get("outcome") == "ok" for s in session.sims.values() for t in s.report())
        return 0 if ok else 1
    finally:
        session.close()


if __name__ == "__main__":
    sys.exit(main())
