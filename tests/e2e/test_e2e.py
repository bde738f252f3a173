"""End-to-end tests of the real marvane.exe under Wine and Xvfb, driven by key presses, with
device simulators on COM1 to COM4. What the operator sees is read back by OCR; what the
device received is read from the simulators' reports and saved files.

Environment: MARVANE_EXE (the x86_64 marvane.exe), MARVANE_SIM (the native simulator),
MARVANE_ARTIFACTS (where screenshots are kept; optional), MARVANE_JUNIT (a JUnit file of the
results, as CTest writes them, for the test command's count; optional).
"""

import glob
import os
import random
import shutil
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET

import driver

EXE = os.environ.get("MARVANE_EXE", "build/mingw-x86_64/ui/marvane.exe")
SIM = os.environ.get("MARVANE_SIM", "build/native/tools/marvane-sim")


def padded(data):
    """The file as the device stores it: zero-filled to the end of its last 128-byte block."""
    return data + b"\0" * (-len(data) % 128)


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
        if s.program_running():
            s.program.terminate()
            s.program.wait(10)
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
        self.assertEqual(padded(self.files["POS.BIN"]), sim.saved("0", "C"))
        self.assertEqual(padded(self.files["PC_CC.BIN"]), sim.saved("1", "A"))
        self.assertEqual(padded(self.files["PC_CC.BIN"]), sim.saved("2", "A"))
        self.assertEqual(padded(self.files["GIL_PUMP.BIN"]), sim.saved("3", "A"))
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
        time.sleep(2)
        self.assertEqual(1, len(sim.report()))  # nothing after the failed file

    def test_about_box_opens_and_closes(self):
        s = self.session
        s.start_program(self.images)
        s.keys("alt+question")
        about = driver.wait_for(lambda: s.window_named("About"), 10, 0.2, "the About box")
        self.shot("about")
        s.keys("Escape", window=about)
        driver.wait_for(lambda: not s.window_named("About"), 10, 0.2, "the About box to close")
        self.assertTrue(s.program_running())

    def test_exit_during_a_run(self):
        s = self.session
        # A slow line, so that the run is still going when the operator leaves.
        sim = s.start_sim(1, ["--baud", "2400"])
        s.start_program(self.images)
        s.download()
        time.sleep(3)
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


def write_junit(path, result):
    """One testcase per test, its status as CTest marks them: run, fail, or disabled for a
    test that skipped itself."""
    suite = ET.Element("testsuite", name="e2e", tests=str(result.testsRun),
                       failures=str(len(result.failures) + len(result.errors)),
                       skipped=str(len(result.skipped)))
    for status, tests in (("run", result.passed),
                          ("fail", [t for t, _ in result.failures + result.errors]),
                          ("disabled", [t for t, _ in result.skipped])):
        for test in tests:
            case = ET.SubElement(suite, "testcase", name=test.id(), status=status)
            if status == "fail":
                ET.SubElement(case, "failure", message="Failed")
    ET.ElementTree(suite).write(path, encoding="utf-8", xml_declaration=True)


if __name__ == "__main__":
    runner = unittest.TextTestRunner(resultclass=RecordingResult,
                                     verbosity=2 if "-v" in sys.argv else 1)
    program = unittest.main(testRunner=runner, exit=False)
    if os.environ.get("MARVANE_JUNIT"):
        write_junit(os.environ["MARVANE_JUNIT"], program.result)
    sys.exit(0 if program.result.wasSuccessful() else 1)
