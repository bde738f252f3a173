"""End-to-end tests of the real marvane.exe under Wine and Xvfb, driven by key presses, with
device simulators on COM1 to COM4. What the operator sees is read back by OCR; what the
device received is read from the simulators' reports and saved files.

Environment: MARVANE_EXE (the x86_64 marvane.exe), MARVANE_SIM (the native simulator),
MARVANE_ARTIFACTS (where screenshots are kept; optional), MARVANE_JUNIT (a JUnit file of the
results, as CTest writes them, for the test command's count; optional; needs Debian's
python3-junit.xml).
"""

import glob
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

# The driver is the tools' (tools/wine/): the demo and the guide's screenshots drive the
# program the same way.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                                "wine"))
import driver  # noqa: E402

EXE = os.environ.get("MARVANE_EXE", "build/mingw-x86_64/ui/marvane.exe")
SIM = os.environ.get("MARVANE_SIM", "build/native/tools/marvane-sim")
# The window inspector (tools/window-facts/), built beside the program's tests.
INSPECTOR = os.environ.get("MARVANE_INSPECTOR", os.path.join(
    os.path.dirname(os.path.dirname(os.path.abspath(EXE))), "tools", "window-facts",
    "window_facts.exe"))


def inspect(session, *args):
    """The inspector's "name value" lines about the running program, and its menu lines."""
    out = subprocess.run(["wine", os.path.abspath(INSPECTOR), "MARVANE", session.exe] +
                         list(args), env=session.env, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, text=True, timeout=120).stdout
    facts, menu = {}, []
    for line in out.splitlines():
        if line.startswith("menu."):
            menu.append(line.strip())
        elif " " in line:
            name, value = line.split(" ", 1)
            facts[name] = value.strip()
    return facts, menu


def opened(facts):
    """The inspector's facts when they describe the About box open, else None."""
    return facts if facts.get("about.open") == "1" else None


def numbers(facts, name):
    return [int(v, 0) for v in facts[name].split()]


class EndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.session = driver.WineSession(EXE, SIM)
        cls.images = os.path.join(cls.session.workdir, "images")
        os.makedirs(cls.images)
        rng = random.Random(20041129)
        cls.files = {}
        for name, size in (("POS.BIN", 3000), ("PC_CC.BIN", 1700), ("GIL_PUMP.BIN", 1300)):
            data = bytes(rng.randrange(256) for _ in range(size))
            with open(os.path.join(cls.images, name), "wb") as f:
                f.write(data)
            cls.files[name] = data

    @classmethod
    def tearDownClass(cls):
        cls.session.close()
        if not os.environ.get("MARVANE_KEEP"):
            shutil.rmtree(cls.session.workdir, ignore_errors=True)

    def setUp(self):
        self.shots = 0

    def tearDown(self):
        s = self.session
        s.stop_program()
        for n in list(s.sims):
            s.stop_sim(n)

    def shot(self, label):
        self.shots += 1
        path = os.path.join(self.session.workdir, "%s-%d-%s.png" % (self._testMethodName,
                                                                   self.shots, label))
        self.session.screenshot(path)
        driver.keep_artifact(path, os.path.basename(path))
        return path

    def lines_when(self, predicate, timeout, label):
        """Screenshots until the OCR'd status lines satisfy predicate."""
        last = []

        def look():
            nonlocal last
            last = self.session.status_lines(self.shot(label))
            return predicate(last)

        try:
            driver.wait_for(look, timeout, 1.0, label)
        except TimeoutError:
            self.fail("screen never showed %s; last read:\n%s" % (label, "\n".join(last)))
        return last

    def test_startup_shows_the_defaults(self):
        s = self.session
        s.start_program(self.images)
        # 500 x 350 with its frame; with no window manager Wine's X window is the client
        # area and menu only, a few pixels smaller.
        x, y, width, height = s.window_geometry()
        self.assertTrue(470 <= width <= 500 and 300 <= height <= 350, (width, height))
        self.assertTrue(195 <= x <= 215 and 195 <= y <= 240, (x, y))
        lines = self.lines_when(
            lambda ls: driver.markers(ls) == ["-", "-", " ", " ", " ", " "], 20, "startup")
        text = "\n".join(lines)
        self.assertIn("Port Settings", text)
        # OCR reads "Com 1 (" as anything from "Com 1 (" to "Comil/": the digit is checked
        # loosely, the rate exactly.
        self.assertRegex(text, r"Com ?[1Iil|]")
        self.assertIn("9600)", text)
        self.assertIn("POS.BIN", text)
        self.assertIn("PC_CC.BIN", text)
        for line in lines:
            if line.startswith("[ ]") or line.startswith("[]"):
                self.assertNotIn(".BIN", line)

    def test_download_over_com2_at_19200(self):
        s = self.session
        sim = s.start_sim(2)
        s.start_program(self.images)
        s.choose_port(2)
        s.choose_baud(19200)
        s.choose_make("Pump 1", "Gilbarco")
        self.lines_when(lambda ls: "GIL_PUMP.BIN" in "\n".join(ls) and "19200" in "\n".join(ls),
                        20, "settings")
        s.download()
        driver.wait_for(lambda: len([t for t in sim.report() if t.get("outcome") == "ok"]) >= 4,
                        90, 0.5, "four transfers")
        report = sim.report()
        self.assertEqual([("0", "C"), ("1", "A"), ("2", "A"), ("3", "A")],
                         [(t["id"], t["type"]) for t in report])
        self.assertTrue(all(t["outcome"] == "ok" for t in report), report)
        self.assertEqual(driver.padded(self.files["POS.BIN"]), sim.saved("0", "C"))
        self.assertEqual(driver.padded(self.files["PC_CC.BIN"]), sim.saved("1", "A"))
        self.assertEqual(driver.padded(self.files["PC_CC.BIN"]), sim.saved("2", "A"))
        self.assertEqual(driver.padded(self.files["GIL_PUMP.BIN"]), sim.saved("3", "A"))
        self.assertEqual(19200, report[0].get("baud"))
        self.lines_when(lambda ls: driver.markers(ls) == ["D", "D", "D", " ", " ", " "], 20,
                        "done")

    def test_device_that_stops_answering(self):
        s = self.session
        # The device goes quiet after block 1 of the first file (POS).
        sim = s.start_sim(1, ["--fault", "silent-block=1@1"])
        s.start_program(self.images)
        s.choose_make("Pump 1", "Gilbarco")
        s.download()
        lines = self.lines_when(lambda ls: driver.markers(ls)[0] == "E", 60, "failed")
        # POS failed; PC_CC and Pump 1 never started and keep '-'.
        self.assertEqual(["E", "-", "-", " ", " ", " "], driver.markers(lines))
        # Nothing after the failed file: stopped, the simulator reports every transfer begun.
        sim.stop()
        self.assertEqual(["failed"], [t.get("outcome") for t in sim.report()])

    def test_about_box_opens_and_closes(self):
        s = self.session
        s.start_program(self.images)
        s.keys("alt+question")
        about = driver.wait_for(lambda: s.window_named("About"), 10, 0.2, "the About box")
        self.shot("about")
        s.keys("Escape", window=about)
        driver.wait_for(lambda: not s.window_named("About"), 10, 0.2, "the About box to close")
        self.assertTrue(s.program_running())

    def test_exit_status_is_zero(self):
        # What a script that started the program sees after "File" > "Exit" and after Alt+F4.
        s = self.session
        for leave in (s.exit_program, lambda: s.keys("alt+F4")):
            s.start_program(self.images)
            leave()
            self.assertEqual(0, s.program.wait(20))

    def test_started_minimised(self):
        # Started as a shortcut set to "Run: Minimized" starts it, the window is iconic.
        # Restored, it downloads; the step repaints cover the client area measured while
        # minimised, which is empty, so the markers change on screen only at the next whole
        # repaint (choosing a port).
        s = self.session
        sim = s.start_sim(1)
        s.start_program(self.images, minimised=True)
        self.assertTrue(numbers(inspect(s)[0], "window.style")[0] & 0x20000000)  # WS_MINIMIZE
        inspect(s, "--restore")
        s.choose_make("Pump 1", "Gilbarco")
        s.download()
        driver.wait_for(lambda: [t.get("outcome") for t in sim.report()] == ["ok"] * 4, 90, 0.5,
                        "four transfers")
        self.lines_when(lambda ls: driver.markers(ls)[:3] == ["-"] * 3, 10, "the old markers")
        s.choose_port(1)
        self.lines_when(lambda ls: driver.markers(ls)[:3] == ["D"] * 3, 20, "done")

    def test_exit_during_a_run(self):
        s = self.session
        # A slow line, so that the run is still going when the operator leaves.
        sim = s.start_sim(1, ["--baud", "2400", "--verbose"])
        s.start_program(self.images)
        s.download()
        # POS's count frame is in: its 24 blocks take 13 s at 2400 baud, the run is going.
        def under_way():
            with open(sim.log.name) as log:
                return "count 24 id 0" in log.read()
        driver.wait_for(under_way, 30, 0.1, "POS under way")
        self.assertEqual([], [t for t in sim.report() if t.get("outcome") == "ok"])
        started = time.monotonic()
        s.exit_program()
        try:
            driver.wait_for(lambda: not s.program_running(), 15, 0.2, "the program to end")
        except TimeoutError:
            self.shot("still-running")
            raise
        self.assertLess(time.monotonic() - started, 15)
        # The port is free again: nothing but the simulator holds the pty.
        pty = os.path.realpath(s.port_link(1))
        holders = []
        for fd in glob.glob("/proc/[0-9]*/fd/*"):
            try:
                if os.readlink(fd) == pty and not fd.startswith("/proc/%d/" % sim.proc.pid):
                    holders.append(fd)
            except OSError:
                pass
        self.assertEqual([], holders)


class RecordingResult(unittest.TextTestResult):
    """The usual result, which also keeps the tests that passed."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.passed = []

    def addSuccess(self, test):
        super().addSuccess(test)
        self.passed.append(test)


class Runner(unittest.TextTestRunner):
    resultclass = RecordingResult


def write_junit(path, result):
    """One testcase per test, its status as CTest marks them: run, fail, or disabled for a
    test that skipped itself; a failure or error carries its traceback. Debian's
    python3-junit.xml writes it, so this runs under Debian's interpreter (scripts/test)."""
    from junit_xml import TestCase, TestSuite, to_xml_report_file

    cases = [TestCase(test.id(), status="run") for test in result.passed]
    for test, trace in result.failures:
        cases.append(TestCase(test.id(), status="fail"))
        cases[-1].add_failure_info("Failed", trace)
    for test, trace in result.errors:
        cases.append(TestCase(test.id(), status="fail"))
        cases[-1].add_error_info("Error", trace)
    for test, why in result.skipped:
        cases.append(TestCase(test.id(), status="disabled"))
        cases[-1].add_skipped_info(why)
    with open(path, "w", encoding="utf-8") as f:
        to_xml_report_file(f, [TestSuite("e2e", cases)], encoding="utf-8")


# The program's main menu (menu 109), top to bottom, with the command id of each entry: typed
# as it should be, not read from makes.def (the tools read that), so a new make is added here.
PUMP_MAKES = ["Wayne/Dresser", "Gilbarco", "Tokheim", "Schlumberger", "Kraus", "Bennett",
              "Tatsuno", "Deer (LTS)", "Nuovo", "Dong Hwa", "DART", "Mechanical",
              "Tavro Generic", "Select"]
READER_MAKES = ["Wayne/Dresser", "Gilbarco", "Tokheim", "Schlumberger", "Tavro Generic",
                "Select"]


def expected_menu():
    lines = ["menu.present 1", "menu.0 &File", "menu.0.0 Download Files = 32801",
             "menu.0.1 E&xit = 105", "menu.1 Setup Port", "menu.1.0 Com Port"]
    lines += ["menu.1.0.%d Com %d = %d" % (i, i + 1, 32806 + i) for i in range(4)]
    lines.append("menu.1.1 Baud Rate")
    lines += ["menu.1.1.%d %d = %d" % (i, rate, 32810 + i)
              for i, rate in enumerate([19200, 9600, 4800, 2400])]
    pump_ids = [[32771, 32772, 32773, 32774, 32775, 32776, 32777, 32778, 32779, 32815, 32818,
                 32814, 32791, 32802],
                [32780, 32781, 32782, 32783, 32784, 32785, 32786, 32787, 32788, 32816, 32819,
                 32817, 32792, 32803]]
    reader_ids = [[32789, 32790, 32793, 32794, 32795, 32804],
                  [32796, 32797, 32798, 32799, 32800, 32805]]
    for n, (title, makes, ids) in enumerate([("Pump 1", PUMP_MAKES, pump_ids[0]),
                                             ("Pump 2", PUMP_MAKES, pump_ids[1]),
                                             ("Reader 1", READER_MAKES, reader_ids[0]),
                                             ("Reader2", READER_MAKES, reader_ids[1])]):
        lines.append("menu.%d %s" % (n + 2, title))
        lines += ["menu.%d.%d %s = %d" % (n + 2, i, make, ids[i]) for i, make in enumerate(makes)]
    lines += ["menu.6 &Help", "menu.6.0 &About ... = 104"]
    return lines


class WindowFacts(unittest.TestCase):
    """The main window's start-up facts on the real program, as USER32 reports them to an
    inspector run in the same prefix (with no window manager, Wine places and sizes the
    window exactly as asked)."""

    @classmethod
    def setUpClass(cls):
        cls.session = driver.WineSession(EXE, SIM)
        try:
            images = os.path.join(cls.session.workdir, "images")
            os.makedirs(images)
            cls.session.start_program(images)
            cls.facts, cls.menu = inspect(cls.session)
            cls.session.keys("alt+question")
            about = driver.wait_for(lambda: cls.session.window_named("About"), 10, 0.2, "About")
            # The box's X window can show before the program's thread, busy on a loaded
            # machine, has answered an inspector that asks about it: ask again until it has.
            cls.about = driver.wait_for(lambda: opened(inspect(cls.session)[0]), 60, 0.5,
                                        "the inspector's view of the open About box")
            cls.session.keys("Escape", window=about)
            cls.resized, _ = inspect(cls.session, "--resize")
        except BaseException:
            # No tearDownClass follows a failed set-up: the prefix and display go here.
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.session.close()
        if not os.environ.get("MARVANE_KEEP"):
            shutil.rmtree(cls.session.workdir, ignore_errors=True)

    def numbers(self, name, facts=None):
        return numbers(facts or self.facts, name)

    def test_place_size_title_and_class(self):
        f = self.facts
        self.assertEqual("1", f.get("found"), "no window of class MARVANE")
        self.assertEqual([200, 200, 700, 550], self.numbers("window"))  # 500 x 350 at 200, 200
        self.assertEqual("Marvane (11/29/2004)", f["title"])
        self.assertEqual("MARVANE", f["class"])
        self.assertEqual(0x0003, self.numbers("class.style")[0])  # CS_HREDRAW | CS_VREDRAW
        style = self.numbers("window.style")[0]
        self.assertEqual(0x00CF0000, style & 0x00CF0000)  # WS_OVERLAPPEDWINDOW, all of it
        self.assertEqual(0x10000000, style & 0xD0000000)  # visible, neither child nor popup
        self.assertEqual(0, self.numbers("window.exstyle")[0] & ~0x100)  # only the system's edge

    def test_icons_cursor_brush_and_menu(self):
        f = self.facts
        self.assertEqual("1", f.get("inside.answered"), "the hook inside the program never ran")
        self.assertEqual("1", f["icon.is107"])
        self.assertEqual([32, 32], self.numbers("icon.size"))
        self.assertEqual("1", f["icon.small.is108"])
        self.assertEqual("1", f["cursor.arrow"])
        self.assertEqual(6, self.numbers("background")[0])  # COLOR_WINDOW + 1
        self.assertEqual(expected_menu(), self.menu)

    def test_progress_bar_strip(self):
        f = self.facts
        self.assertEqual("1", f["bar.found"])
        self.assertEqual(1, self.numbers("bar.children")[0])
        self.assertEqual(0x50000001, self.numbers("bar.style")[0])  # child, visible, smooth
        self.assertEqual(0, self.numbers("bar.id")[0])
        client = self.numbers("client")
        height = self.numbers("cyvscroll")[0]
        # Along the client area's bottom, full width, one scroll-bar height tall.
        self.assertEqual([0, client[3] - height, client[2], client[3]], self.numbers("bar.rect"))

    def test_progress_bar_stays_when_the_window_is_resized(self):
        r = self.resized
        self.assertEqual([200, 200, 840, 680], self.numbers("resized.window", r))
        self.assertEqual(self.numbers("bar.rect"), self.numbers("resized.bar.rect", r))

    def test_about_box(self):
        # Dialog 103 while it is open: caption and frame (DS_MODALFRAME | WS_CAPTION |
        # WS_SYSMENU), then each control in template order: id, class, type bits and text.
        a = self.about
        self.assertEqual(("About", 0xC80080), (a.get("about.caption"),
                                               self.numbers("about.style", a)[0] & 0xC80080))
        controls = [(v + " ").split(" ", 3) for n, v in a.items() if re.match(r"about\.\d+$", n)]
        self.assertEqual([(0xFFFF, "Static", 0x50000003, "(icon 107)"),  # SS_ICON, IDC_STATIC
                          (0xFFFF, "Static", 0x50000080, "Marvane Version 1.0"),  # SS_NOPREFIX
                          (1000, "Static", 0x50000000, "Controller image download"),
                          (1, "Button", 0x50000001, "OK")],  # BS_DEFPUSHBUTTON
                         [(int(i), k, int(s, 16) & 0x500000FF, x.strip())
                          for i, k, s, x in controls])

    def test_accelerators(self):
        # Alt with the characters '?' and '/' (not virtual keys), both to About (104).
        self.assertEqual(2, self.numbers("accel.count")[0])
        self.assertEqual([0x10, ord("?"), 104], self.numbers("accel.0"))
        self.assertEqual([0x10, ord("/"), 104], self.numbers("accel.1"))


if __name__ == "__main__":
    program = unittest.main(testRunner=Runner, exit=False)
    if os.environ.get("MARVANE_JUNIT"):
        write_junit(os.environ["MARVANE_JUNIT"], program.result)
    sys.exit(0 if program.result.wasSuccessful() else 1)
