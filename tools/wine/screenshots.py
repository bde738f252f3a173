"""Takes the technician's guide's pictures: the real marvane.exe under Wine, driven by key
presses against the device simulator, each state checked by OCR (and by what the simulator
reports) before its picture is kept. The guide's text is docs/guide.md; the driving is
driver.py's.

    python3 tools/wine/screenshots.py --exe marvane.exe --sim marvane-sim --out docs/guide
"""

import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

import driver
import makes

# Every picture this script makes; the folder is emptied of these first, so a rerun remakes
# them all and a stale one cannot survive.
PICTURES = ["startup.png", "menu-pump1.png", "running.png", "done.png", "failed-pos.png",
            "failed-pc-cc-first-pass.png", "about.png", "port-message.png"]

IMAGES = {"POS.BIN": 5000, "PC_CC.BIN": 6000, "GIL_PUMP.BIN": 2500, "TOK_PUMP.BIN": 2000,
          "GIL_CARD.BIN": 1500, "TOK_CARD.BIN": 1500}


class Shooter:
    def __init__(self, session, out, scratch):
        self.s = session
        self.out = out
        self.scratch = scratch
        self.count = 0

    def grab(self):
        self.count += 1
        return self.s.screenshot(os.path.join(self.scratch, "screen-%03d.png" % self.count))

    def keep(self, shot, name, window=None):
        """Crops the shot to the window and writes it small and without time stamps, so an
        unchanged window gives an unchanged file."""
        x, y, w, h = self.s.window_geometry(window)
        path = os.path.join(self.out, name)
        subprocess.run(["convert", shot, "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage",
                        "-strip", "-define", "png:exclude-chunks=date,time",
                        "PNG8:" + path], check=True)
        print("  %s (%d x %d, %d bytes)" % (name, w, h, os.path.getsize(path)))
        return path

    def lines_when(self, predicate, timeout, what):
        last = {"lines": [], "shot": None}

        def look():
            shot = self.grab()
            lines = self.s.status_lines(shot)
            last.update(lines=lines, shot=shot)
            return predicate(lines)

        try:
            driver.wait_for(look, timeout, 0.5, what)
        except TimeoutError:
            raise SystemExit("screenshots: the window never showed %s; last read:\n%s" %
                             (what, "\n".join(last["lines"])))
        return last["shot"], last["lines"]

    def bar_fraction(self, shot):
        """How much of the progress strip along the window's bottom is filled: the share of
        its middle row that is not the empty bar's background."""
        x, y, w, h = self.s.window_geometry()
        row = subprocess.run(["convert", shot, "-crop", "%dx1+%d+%d" % (w - 8, x + 4, y + h - 8),
                              "+repage", "-depth", "8", "txt:-"], stdout=subprocess.PIPE,
                             text=True, check=True).stdout.splitlines()[1:]
        colours = [line.split()[2] for line in row if len(line.split()) > 2]
        if not colours:
            return 0.0
        background = colours[-1]  # the right end stays empty until the bar is full
        return sum(1 for c in colours if c != background) / len(colours)


def make_images(folder):
    os.makedirs(folder, exist_ok=True)
    rng = random.Random(1129)
    for name, size in IMAGES.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(bytes(rng.randrange(256) for _ in range(size)))


def markers_are(expected):
    return lambda lines: driver.markers(lines) == expected


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    for name in PICTURES:
        if os.path.exists(os.path.join(out, name)):
            os.remove(os.path.join(out, name))
    work = tempfile.mkdtemp(prefix="marvane-screenshots-")
    images = os.path.join(work, "images")
    make_images(images)
    session = driver.WineSession(args.exe, args.sim, os.path.join(work, "session"))
    shooter = Shooter(session, out, work)
    try:
        # Every device answers at the rate the program set on its line, as a real one does:
        # at 9600 baud a file takes long enough to catch the bar part-way.
        sim = session.start_sim(1, ["--baud", "auto"])
        session.start_program(images)

        shot, _ = shooter.lines_when(markers_are(["-", "-", " ", " ", " ", " "]), 30,
                                     "the start-up markers")
        shooter.keep(shot, "startup.png")

        # "Gilbarco" highlighted, the menu open.
        session.menu("Pump 1", ("down", makes.menu_labels("Pump 1").index("Gilbarco")))
        time.sleep(0.5)
        shooter.keep(shooter.grab(), "menu-pump1.png")
        session.keys("Escape", "Escape", "Escape")

        session.choose_make("Pump 1", "Gilbarco")
        session.choose_make("Pump 2", "Tokheim")
        session.choose_make("Reader 1", "Gilbarco")
        session.choose_make("Reader2", "Tokheim")
        shooter.lines_when(markers_are(["-"] * 6), 20, "four makes chosen")

        # A full set. The picture in flight: PC_CC's second pass (two transfers reported),
        # its bar near half-way.
        session.download()
        running = None
        deadline = time.monotonic() + 120
        while running is None and time.monotonic() < deadline:
            shot = shooter.grab()
            if len(sim.report()) == 2 and 0.35 <= shooter.bar_fraction(shot) <= 0.65:
                running = shot
        if running is None:
            raise SystemExit("screenshots: never caught PC_CC's second pass part-way")
        lines = session.status_lines(running)
        if driver.markers(lines) != ["D", "2", "-", "-", "-", "-"]:
            raise SystemExit("screenshots: the picture in flight shows %s" % lines)
        shooter.keep(running, "running.png")

        driver.wait_for(lambda: len(sim.report()) >= 7, 180, 0.5, "the full set")
        report = sim.report()
        if [(t["id"], t["type"], t["outcome"]) for t in report] != [
                ("0", "C", "ok"), ("1", "A", "ok"), ("2", "A", "ok"), ("3", "A", "ok"),
                ("5", "A", "ok"), ("4", "A", "ok"), ("6", "E", "ok")]:
            raise SystemExit("screenshots: the full set went wrong: %s" % report)
        shot, _ = shooter.lines_when(markers_are(["D"] * 6), 20, "every file done")
        shooter.keep(shot, "done.png")

        # The failures, each on a device that misbehaves once in the run.
        failures = [
            # POS fails: the device stops answering at block 2 of the first transfer.
            ("silent-block=2@1", ["E", "-", "-", "-", "-", "-"], "POS failed",
             "failed-pos.png"),
            # PC_CC's first pass fails: block 1 of the second transfer is refused five times.
            ("nak-block=1:5@2", ["D", "e", "-", "-", "-", "-"], "PC_CC's first pass failed",
             "failed-pc-cc-first-pass.png"),
        ]
        for fault, markers, what, name in failures:
            session.stop_sim(1)
            session.start_sim(1, ["--baud", "auto", "--fault", fault])
            session.download()
            shot, _ = shooter.lines_when(markers_are(markers), 60, what)
            shooter.keep(shot, name)

        session.keys("alt+question")
        about = driver.wait_for(lambda: session.window_named("About"), 10, 0.2, "About")
        time.sleep(0.5)
        shooter.keep(shooter.grab(), "about.png", about)
        session.keys("Escape", window=about)
        driver.wait_for(lambda: not session.window_named("About"), 10, 0.2, "About closed")

        # COM3 cannot be opened: its name leads to a folder, which refuses to open as a port
        # with the same error a port held by another program gives (access denied).
        os.makedirs(session.port_link(3), exist_ok=True)
        session.choose_port(3)
        shooter.lines_when(lambda ls: any("Com 3" in l or "Com3" in l for l in ls), 20,
                           "Com 3 chosen")
        session.download()
        error = driver.wait_for(lambda: session.window_named("Error"), 20, 0.2,
                                "the port message")
        time.sleep(0.5)
        shot = shooter.grab()
        box = shooter.keep(shot, "port-message.png", error)
        text = subprocess.run(["tesseract", box, "-", "--psm", "6"], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True).stdout
        if "Unable to open the port" not in " ".join(text.split()):
            raise SystemExit("screenshots: the port message reads %r" % text)
        session.keys("Return", window=error)
        shooter.lines_when(lambda ls: driver.markers(ls)[0] == "E", 30, "POS failed on Com 3")
        session.exit_program()
        driver.wait_for(lambda: not session.program_running(), 20, 0.2, "the program to end")
    finally:
        session.close()
        if not os.environ.get("MARVANE_KEEP"):
            shutil.rmtree(work, ignore_errors=True)
    missing = [n for n in PICTURES if not os.path.exists(os.path.join(out, n))]
    if missing:
        raise SystemExit("screenshots: not made: %s" % missing)
    print("screenshots: %d pictures in %s" % (len(PICTURES), out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
