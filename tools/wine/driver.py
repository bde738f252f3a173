"""Drives the real marvane.exe under Wine the way an operator does: a private Wine prefix
with COM1 to COM4 mapped to device simulators on pseudo-terminals and an X display (both
set up by the test runner's tests/wine/wine-run; Xvfb when headless), key presses into the
menus with xdotool, screenshots read back with OCR.

Used by the end-to-end tests (tests/e2e/) and by the tools beside it: the demo, the guide's
screenshots, the 32-bit run and the benchmark. It knows nothing of the program's insides.
"""

import json
import os
import re
import shutil
import subprocess
import tempfile
import time

import makes

TITLE = "Marvane (11/29/2004)"


def wait_for(predicate, timeout, interval=0.1, what="condition"):
    """Polls predicate until it returns something true; raises after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def padded(data):
    """The file as the device stores it: zero-filled to the end of its last 128-byte block
    (what Simulator.saved gives back for a file sent whole)."""
    return data + b"\0" * (-len(data) % 128)


class Simulator:
    """One device simulator on a pty linked at ports/comN."""

    def __init__(self, sim_path, link, workdir, args=()):
        self.dir = workdir
        shutil.rmtree(workdir, ignore_errors=True)  # no ready file or report of an earlier one
        os.makedirs(workdir)
        self.ready = os.path.join(workdir, "ready")
        self.stop_file = os.path.join(workdir, "stop")
        self.report_path = os.path.join(workdir, "report.jsonl")
        cmd = [sim_path, "--link", link, "--out", workdir, "--ready-file", self.ready,
               "--stop-file", self.stop_file, "--lifetime", "600"] + list(args)
        self.log = open(os.path.join(workdir, "sim.log"), "w")
        self.proc = subprocess.Popen(cmd, stdout=self.log, stderr=subprocess.STDOUT)
        wait_for(lambda: os.path.exists(self.ready) or self.proc.poll() is not None, 10,
                 what="simulator ready")
        if self.proc.poll() is not None:
            raise RuntimeError("simulator exited: see %s" % self.log.name)

    def report(self):
        if not os.path.exists(self.report_path):
            return []
        lines = []
        with open(self.report_path) as f:
            for line in f:
                line = line.strip()
                if line:
                    try:
                        lines.append(json.loads(line))
                    except ValueError:
                        pass  # a line still being written
        return lines

    def saved(self, file_id, file_type):
        with open(os.path.join(self.dir, "%s_%s.bin" % (file_id, file_type)), "rb") as f:
            return f.read()

    def stop(self):
        if self.proc.poll() is None:
            open(self.stop_file, "w").close()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


# The test runner's own prefix set-up: the tests and these tools share one way of making it.
WINE_RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "wine",
                        "wine-run")


class WineSession:
    """A private Wine prefix and display for one run of tests or the demo, made by the test
    runner's own set-up (tests/wine/wine-run): COM1 to COM4 mapped to ports/comN."""

    def __init__(self, exe, sim_path, workdir=None, display=None):
        self.exe = os.path.abspath(exe)
        self.sim_path = os.path.abspath(sim_path)
        self.workdir = workdir or tempfile.mkdtemp(prefix="marvane-e2e-")
        os.makedirs(self.workdir, exist_ok=True)
        self.ports = os.path.join(self.workdir, "ports")
        os.makedirs(self.ports, exist_ok=True)
        wine_dir = os.path.join(self.workdir, "wine")
        self.runner_env = dict(os.environ, MARVANE_WINE_DIR=wine_dir,
                               MARVANE_PORTS_DIR=self.ports)
        self.runner_env.pop("MARVANE_WINE_DISPLAY", None)
        if display:
            self.runner_env["MARVANE_WINE_DISPLAY"] = display
        subprocess.run([WINE_RUN, "--setup"], env=self.runner_env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(os.path.join(wine_dir, "display")) as f:
            shown_on = f.read().strip()
        self.env = dict(os.environ, WINEPREFIX=os.path.join(wine_dir, "prefix"),
                        WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                        DISPLAY=shown_on)
        self.sims = {}
        self.program = None

    def port_link(self, n):
        return os.path.join(self.ports, "com%d" % n)

    def start_sim(self, n, args=(), name=None):
        self.sim_starts = getattr(self, "sim_starts", 0) + 1
        folder = name or "sim-com%d-%d" % (n, self.sim_starts)
        sim = Simulator(self.sim_path, self.port_link(n), os.path.join(self.workdir, folder),
                        args)
        self.sims[n] = sim
        return sim

    def stop_sim(self, n):
        sim = self.sims.pop(n, None)
        if sim:
            sim.stop()

    # The program.

    def start_program(self, image_dir, minimised=False):
        """Starts marvane.exe in image_dir (it reads the images by bare name from there).
        Minimised, through Wine's "start /min /wait", as a shortcut set to run minimised
        starts it: `program` is then start's process, which ends when the program does."""
        command = ["wine"]
        if minimised:
            # start runs a program in the program's own folder unless /d names another.
            folder = "Z:" + os.path.abspath(image_dir).replace("/", "\\")
            command += ["start", "/min", "/wait", "/d", folder, "/unix"]
        with open(os.path.join(self.workdir, "program.log"), "w") as log:
            self.program = subprocess.Popen(command + [self.exe], cwd=image_dir, env=self.env,
                                            stdout=log, stderr=subprocess.STDOUT)
        self.window = wait_for(self.find_window, 60, 0.25, "the main window")
        time.sleep(0.5)  # let the first paint finish before the first key or screenshot
        return self.window

    def find_window(self):
        out = subprocess.run(["xdotool", "search", "--name", "^%s$" % re.escape(TITLE)],
                             env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             text=True).stdout.split()
        return out[0] if out else None

    def window_named(self, name):
        out = subprocess.run(["xdotool", "search", "--name", "^%s$" % re.escape(name)],
                             env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             text=True).stdout.split()
        return out[0] if out else None

    def program_running(self):
        return self.program is not None and self.program.poll() is None

    def stop_program(self):
        """Ends the program if it still runs, also one whose start process was stopped."""
        if self.program_running():
            self.program.terminate()
            try:
                self.program.wait(5)
            except subprocess.TimeoutExpired:
                self.program.kill()
        if self.find_window():
            subprocess.run(["wine", "taskkill", "/f", "/im", os.path.basename(self.exe)],
                           env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def keys(self, *keys, window=None, pause=0.3):
        """Presses keys one after the other into the window, as an operator would."""
        target = window or self.window
        subprocess.run(["xdotool", "windowfocus", "--sync", target], env=self.env,
                       check=False, stderr=subprocess.DEVNULL)
        for key in keys:
            subprocess.run(["xdotool", "key", "--clearmodifiers", key], env=self.env,
                           check=True)
            time.sleep(pause)

    # Menu paths by keyboard. Only "&File" and "&Help" have mnemonics: the others are
    # reached from File with the arrow keys. Right on a highlighted submenu item opens the
    # submenu instead of moving on ("Setup Port" starts with one), so the menus past it are
    # reached leftwards, wrapping round from File through the system menu to Help.
    MENUS = ["File", "Setup Port", "Pump 1", "Pump 2", "Reader 1", "Reader2", "Help"]

    def menu(self, top, *steps):
        """Opens menu `top` and walks it: each step is ('down', n), ('right', 1) or
        'enter'."""
        index = self.MENUS.index(top)
        keys = ["alt+f"]
        if index == 1:
            keys.append("Right")
        elif index > 1:
            keys += ["Left"] * (len(self.MENUS) - index + 1)  # the system menu comes first
        for step in steps:
            if step == "enter":
                keys.append("Return")
            else:
                direction, count = step
                keys += [direction.capitalize()] * count
        self.keys(*keys)

    def choose_port(self, n):
        self.menu("Setup Port", ("right", 1), ("down", n - 1), "enter")

    def choose_baud(self, rate):
        index = [19200, 9600, 4800, 2400].index(rate)
        self.menu("Setup Port", ("down", 1), ("right", 1), ("down", index), "enter")

    def choose_make(self, menu, make):
        """Chooses the entry labelled `make` in a make menu: its place there comes from the
        rows the program makes its menus from, so a new make moves no one else's."""
        labels = makes.menu_labels(menu)
        if make not in labels:
            raise ValueError("%s has no entry %r: it offers %s" % (menu, make, labels))
        self.menu(menu, ("down", labels.index(make)), "enter")

    def download(self):
        self.menu("File", "enter")

    def exit_program(self):
        self.menu("File", ("down", 1), "enter")

    # The screen.

    def screenshot(self, path):
        subprocess.run(["import", "-window", "root", path], env=self.env, check=True)
        return path

    def window_geometry(self, window=None):
        """(x, y, width, height) of the window on the screen."""
        geometry = subprocess.run(["xdotool", "getwindowgeometry", "--shell",
                                   window or self.window], env=self.env,
                                  stdout=subprocess.PIPE, text=True).stdout
        g = dict(line.split("=", 1) for line in geometry.split() if "=" in line)
        return int(g["X"]), int(g["Y"]), int(g["WIDTH"]), int(g["HEIGHT"])

    def _ocr(self, shot, suffix, filters):
        """Text lines OCR reads in the window's part of the screenshot after `filters`."""
        x, y, w, h = self.window_geometry()
        big = shot[:-4] + suffix
        subprocess.run(["convert", shot, "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage",
                        "-colorspace", "Gray"] + filters + [big], check=True)
        text = subprocess.run(["tesseract", big, "-", "--psm", "6"], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True).stdout
        return [" ".join(line.split()) for line in text.splitlines() if line.strip()]

    def status_lines(self, shot):
        """OCR of the window's status lines: a list of normalised lines."""
        lines = self._ocr(shot, "-ocr.png", ["-scale", "400%", "-threshold", "60%"])
        # OCR sets stray spaces around '.' and '_' ("POS. BIN", "GIL _PUMP.BIN").
        return [re.sub(r" ?([._]) ?", r"\1", line) for line in lines]

    def port_setting(self, shot):
        """(port, rate) from the status display's first line, or None unless two readings
        of the screenshot, smoothly enlarged twice and four times, agree on it."""
        readings = [port_setting(self._ocr(shot, "-port-%d.png" % scale,
                                           ["-resize", "%d%%" % scale]))
                    for scale in (200, 400)]
        return readings[0] if readings[0] is not None and readings[0] == readings[1] else None

    def close(self):
        for n in list(self.sims):
            self.stop_sim(n)
        self.stop_program()
        subprocess.run([WINE_RUN, "--cleanup"], env=self.runner_env, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def markers(lines):
    """The markers of the six slot lines, top to bottom, from OCR lines: the lines that
    start with a bracketed character, in their fixed display order. OCR is shaky on the
    labels' digits, so position, not label, tells the slots apart."""
    found = []
    for line in lines:
        m = re.match(r"^\[(.?)\]", line)
        if m:
            found.append(m.group(1) or " ")
    return found if len(found) == 6 else found + [None] * max(0, 6 - len(found))


def port_setting(lines):
    """(port, rate) from an OCR'd port line such as "Port Settings => Com 1 ( 9600)", or
    None when no line reads as one."""
    for line in lines:
        m = re.search(r"Port Settings.*Com ?([1-4]) ?\( ?(19200|9600|4800|2400)\)", line)
        if m:
            return int(m.group(1)), int(m.group(2))
    return None


def keep_artifact(path, name):
    """Copies a screenshot to the artifacts folder the test run names, if any."""
    folder = os.environ.get("MARVANE_ARTIFACTS")
    if folder:
        os.makedirs(folder, exist_ok=True)
        shutil.copy(path, os.path.join(folder, name))
