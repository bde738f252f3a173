"""marvane-send against the device simulator: natively over the stand-in, or under Wine when
MARVANE_WINE_RUN is set (the cross builds). CTest passes MARVANE_SEND (the program),
MARVANE_SIM, MARVANE_PORTS_DIR and MARVANE_TEST_TMP. What the device received is read from
the simulator's report and saved files; what the operator sees, from the program's output.
"""

import ctypes
import hashlib
import json
import os
import pty
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                                "wine"))
import driver  # noqa: E402
import makes  # noqa: E402

SEND = os.environ.get("MARVANE_SEND", "")
SIM = os.environ.get("MARVANE_SIM", "")
WINE_RUN = os.environ.get("MARVANE_WINE_RUN", "")
PORTS = os.environ.get("MARVANE_PORTS_DIR") or tempfile.mkdtemp(prefix="marvane-send-ports-")
TMP = os.environ.get("MARVANE_TEST_TMP", tempfile.gettempdir())
BLOCK = 128

# The full set in run order: slot option and make, file, the id and type the device sees.
FULL_SET = [
    (None, "POS.BIN", "0", "C"),
    (None, "PC_CC.BIN", "1", "A"),
    (None, "PC_CC.BIN", "2", "A"),
    (("--pump1", "gilbarco"), "GIL_PUMP.BIN", "3", "A"),
    (("--pump2", "TOKHEIM"), "TOK_PUMP.BIN", "5", "A"),
    (("--reader1", "wayne/dresser"), "DW_CARD.BIN", "4", "A"),
    (("--reader2", "Tavro Generic"), "GEN_CARD.BIN", "6", "E"),
]
MAKE_ARGS = [a for make, _, _, _ in FULL_SET if make for a in make]


def host_path(path):
    return "Z:" + path if WINE_RUN else path


class Result:
    def __init__(self, status, out, err):
        self.status, self.out, self.err = status, out, err

    def __repr__(self):
        return "exit %s\n--- stdout\n%s--- stderr\n%s" % (self.status, self.out, self.err)


class SendTest(unittest.TestCase):
    def setUp(self):
        self.assertTrue(SEND and SIM, "MARVANE_SEND and MARVANE_SIM must be set")
        self.dir = tempfile.mkdtemp(prefix="send-", dir=TMP)
        self.images = os.path.join(self.dir, "images")
        os.makedirs(self.images)
        self.sim = None

    def tearDown(self):
        if self.sim:
            self.sim.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def write_images(self, sizes):
        """Random images by file name; returns the data as the device stores it."""
        rng = random.Random(len(sizes))
        stored = {}
        for name, size in sizes.items():
            data = bytes(rng.randrange(256) for _ in range(size))
            with open(os.path.join(self.images, name), "wb") as f:
                f.write(data)
            stored[name] = data + bytes(-size % BLOCK)
        return stored

    def start_sim(self, port=1, args=()):
        link = os.path.join(PORTS, "com%d" % port)
        self.termios = os.path.join(self.dir, "termios")
        self.sim = driver.Simulator(SIM, link, os.path.join(self.dir, "sim"),
                                    ["--termios-file", self.termios, "--dead-mode", "silent"] +
                                    list(args))
        return link

    def command(self, args):
        if WINE_RUN:
            return [WINE_RUN, SEND] + list(args)
        return [SEND] + list(args)

    def env(self):
        env = dict(os.environ)
        if not WINE_RUN:
            # The stand-in's COM ports are the simulator's links, as Wine's are.
            for n in (1, 2, 3, 4, 12):
                env["MARVANE_COM%d" % n] = os.path.join(PORTS, "com%d" % n)
        return env

    def run_to_block_3(self, *args, **popen):
        """A run of a 102-block POS with `args`, read until the device has taken POS's third
        block (its --verbose line, or its --json event): the run is in flight. Returns the
        process and the lines read."""
        self.write_images({"POS.BIN": 13000, "PC_CC.BIN": 10, "GIL_PUMP.BIN": 10})
        proc = subprocess.Popen(self.command(["--pump1", "gilbarco"] + list(args)),
                                cwd=self.images, env=self.env(), text=True,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, **popen)
        lines = []
        for line in proc.stdout:
            lines.append(line)
            if re.search(r'block +3/102 +send 1 +ACK|"index":2,"attempt":1,"answer":"ACK"', line):
                return proc, lines
        self.fail("the run ended before POS's third block: %s" % proc.communicate()[1])

    def send(self, *args):
        out = subprocess.run(self.command(args), cwd=self.images, env=self.env(), text=True,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
        return Result(out.returncode, out.stdout, out.stderr)

    def send_on_terminal(self, *args):
        """Runs it with standard output on a pseudo-terminal; returns (status, output)."""
        pid, fd = pty.fork()
        if pid == 0:
            try:
                os.chdir(self.images)
                cmd = self.command(args)
                os.execvpe(cmd[0], cmd, self.env())
            finally:
                os._exit(127)
        chunks = []
        while True:
            try:
                data = os.read(fd, 65536)
            except OSError:
                break
            if not data:
                break
            chunks.append(data)
        os.close(fd)
        _, status = os.waitpid(pid, 0)
        return os.waitstatus_to_exitcode(status), b"".join(chunks).decode(errors="replace")

    def report(self):
        driver.wait_for(lambda: os.path.exists(self.sim.report_path), 5, what="the report")
        return self.sim.report()

    def assertPortUntouched(self):
        """The simulator's line was never set up: these tests ask for 2400 baud, and the
        line starts at 9600."""
        with open(self.termios) as f:
            self.assertNotIn('"baud":2400', f.read(), "the port was opened")

    def assertStatus(self, result, status):
        self.assertEqual(status, result.status, result)

    def sha256(self, name):
        with open(os.path.join(self.images, name), "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()


class Runs(SendTest):
    def test_full_set_at_19200_is_what_the_device_stores(self):
        stored = self.write_images({"POS.BIN": 13000, "PC_CC.BIN": 1000, "GIL_PUMP.BIN": 300,
                                    "TOK_PUMP.BIN": 128, "DW_CARD.BIN": 129,
                                    "GEN_CARD.BIN": 1})
        self.start_sim()
        result = self.send("--baud", "19200", *MAKE_ARGS)
        self.assertStatus(result, 0)
        lines = self.report()
        self.assertEqual([(i, t) for _, _, i, t in FULL_SET],
                         [(l["id"], l["type"]) for l in lines])
        for line, (_, name, file_id, file_type) in zip(lines, FULL_SET):
            self.assertEqual("ok", line["outcome"], line)
            self.assertEqual(19200, line["baud"])
            self.assertEqual(stored[name], self.sim.saved(file_id, file_type), name)
        # One line as each transfer starts and one as it ends, naming file, id, type, blocks.
        for _, name, file_id, file_type in FULL_SET:
            blocks = len(stored[name]) // BLOCK
            head = r"%s\s+id %s\s+type %s\s+%d blocks?\s+" % (re.escape(name), file_id,
                                                               file_type, blocks)
            self.assertRegex(result.out, head + "sending")
            self.assertRegex(result.out, head + r"sent in \d+\.\d\d s")
        self.assertEqual(14, len(re.findall(r"(sending|sent in)", result.out)))
        # The summary: transfers, the images' bytes (PC_CC twice), and the time against
        # the wire's.
        files = sum(len(stored[name].rstrip(b"\0")) for _, name, _, _ in FULL_SET)
        self.assertRegex(result.out.splitlines()[-1],
                         r"^OK: 7 of 7 transfers sent, %d bytes, 0 resends in \d+\.\d\d s, "
                         r"\d\.\d\d x the \d+\.\d\d s the wire needs at 19200 baud$" % files)
        self.assertEqual("", result.err)

    def test_a_naked_block_is_sent_again_and_quiet_prints_nothing(self):
        stored = self.write_images({"POS.BIN": 400, "PC_CC.BIN": 200, "BEN_PUMP.BIN": 200})
        self.start_sim(args=["--fault", "nak-block=1:2@1"])
        result = self.send("--pump1", "Bennett", "--quiet")
        self.assertStatus(result, 0)
        self.assertEqual("", result.out + result.err)
        lines = self.report()
        self.assertEqual([1, 3, 1, 1], lines[0]["sends"])
        self.assertEqual(["ok"] * 4, [l["outcome"] for l in lines])
        self.assertEqual(stored["POS.BIN"], self.sim.saved("0", "C"))

    def test_a_failed_transfer_says_what_ended_it_and_where(self):
        self.write_images({"POS.BIN": 4 * BLOCK, "PC_CC.BIN": 200, "LTS_PUMP.BIN": 200})
        cases = [
            ("silent-header", "after 0 of 4 blocks: no answer to the header", "cable"),
            ("silent-block=1", "after 1 of 4 blocks: no answer after block 2 of 4", "cable"),
            ("nak-block=1:5", "after 1 of 4 blocks: five NAKs on block 2 of 4", "rate"),
            ("can-block=2", "after 2 of 4 blocks: cancelled by the device (CAN) at block 3 of 4",
             "right file"),
        ]
        for fault, cause, hint in cases:
            with self.subTest(fault):
                self.start_sim(args=["--fault", fault])
                result = self.send("--pump1", "deer (lts)", "--baud", "19200", "--verbose")
                self.assertStatus(result, 1)
                err = result.err.splitlines()
                self.assertEqual("marvane-send: POS (POS.BIN, id 0, type C) failed " + cause,
                                 err[0])
                self.assertIn(hint, err[1])
                self.assertRegex(result.out, r"POS\.BIN\s+id 0\s+type C\s+4 blocks\s+failed")
                self.assertNotIn("PC_CC", result.out)  # the run stopped there
                # The summary: no time against the wire's for a run that did not send all.
                self.assertRegex(result.out.splitlines()[-1], r"^FAILED: 0 of 4 transfers sent, 0 "
                                 r"bytes, \d resends? in \d+\.\d\d s$")
                if fault.startswith("nak"):  # --verbose shows every send and its answer
                    self.assertEqual([("1", "ACK")] + [(str(n), "NAK") for n in range(1, 6)],
                                     re.findall(r"block +[12]/4 +send (\d) +(ACK|NAK)",
                                                result.out))
                self.sim.stop()
                self.sim = None

    def test_json_writes_one_object_per_event(self):
        self.write_images({"POS.BIN": 2 * BLOCK, "PC_CC.BIN": 1, "NUO_PUMP.BIN": 1})
        self.start_sim(args=["--fault", "nak-block=1:1@1"])
        result = self.send("--pump1", "nuovo", "--baud", "19200", "--json")
        self.assertStatus(result, 0)
        events = [json.loads(line) for line in result.out.splitlines()][1:]
        self.assertEqual("run-started", events[0]["event"])
        self.assertEqual((19200, 4), (events[0]["baud"], events[0]["transfers"]))
        steps = [(e["slot"], e["pass"], e["file"], e["id"], e["type"]) for e in events
                 if e["event"] == "step-started"]
        self.assertEqual([("POS", 1, "POS.BIN", "0", "C"), ("PC_CC", 1, "PC_CC.BIN", "1", "A"),
                          ("PC_CC", 2, "PC_CC.BIN", "2", "A"),
                          ("Pump 1", 1, "NUO_PUMP.BIN", "3", "A")], steps)
        blocks = [(e["index"], e["attempt"], e["answer"]) for e in events
                  if e["event"] == "block"]
        self.assertEqual([(0, 1, "ACK"), (1, 1, "NAK"), (1, 2, "ACK")], blocks[:3])
        read = next(e for e in events if e["event"] == "file-read")
        self.assertEqual((2 * BLOCK, 2), (read["bytes"], read["blocks"]))
        self.assertEqual(["sent"] * 4, [e["result"] for e in events
                                        if e["event"] == "step-ended"])
        end = events[-1]
        self.assertEqual(("record", 0, 4, 2 * BLOCK + 3),
                         (end["event"], end["status"], end["sent"], end["bytes"]))
        times = [e["time"] for e in events if "time" in e]
        self.assertEqual(sorted(times), times)

    def test_an_interrupt_stops_the_run_and_says_where(self):
        self.start_sim()
        proc, _ = self.run_to_block_3("--baud", "19200", "--verbose", start_new_session=True)
        os.killpg(proc.pid, signal.SIGINT)  # as a terminal's Ctrl+C; Wine makes a console's of it
        out, err = proc.communicate(timeout=60)
        self.assertEqual(130, proc.returncode, err)
        stopped = re.search(r"^marvane-send: interrupted in POS at block (\d+) of 102: the "
                            r"controller holds a partial file; run again$", err, re.M)
        self.assertTrue(stopped, err)
        self.assertTrue(out.endswith("\n"))
        # Nothing went after the block in flight (or about to go): the device has no more.
        report = driver.wait_for(self.sim.report, 10, what="the unfinished transfer")
        self.assertEqual(1, len(report))
        block = int(stopped.group(1))
        self.assertIn(len(report[0]["sends"]), (block - 1, block))

    @unittest.skipIf(WINE_RUN, "the line is held by the stand-in's pseudo-terminal")
    def test_a_second_interrupt_ends_it_at_once(self):
        self.write_images({"POS.BIN": 400, "PC_CC.BIN": 200, "GIL_PUMP.BIN": 200})
        # The line lets nothing out, so the header's write waits out its time-out (a second)
        # and the first Ctrl+C can stop the run only after that.
        held = os.open(self.start_sim(), os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, held)
        termios.tcflow(held, termios.TCOOFF)
        log = os.path.join(self.dir, "log")
        proc = subprocess.Popen(self.command(["--pump1", "gilbarco", "--baud", "19200", "--log", log]),
                                cwd=self.images, env=self.env(), text=True,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        driver.wait_for(lambda: '"baud":19200' in open(self.termios).read(), 10, 0.01,
                        what="the line set up")
        os.kill(proc.pid, signal.SIGSTOP)  # both land while the run is held still, wherever it is
        proc.send_signal(signal.SIGINT)
        proc.send_signal(signal.SIGTERM)
        os.kill(proc.pid, signal.SIGCONT)
        out, err = proc.communicate(timeout=60)
        self.assertEqual(130, proc.returncode, err)
        self.assertRegex(err, r"(?m)^marvane-send: interrupted before the controller took anything")
        self.assertTrue(out.endswith("\n"))
        with open(log) as f:  # the record, though the line never let a byte out
            self.assertEqual(["began", "interrupted"], [r.get("ended", r["event"]) for r in map(json.loads, f)])

    def test_ports_past_com9_by_their_device_names(self):
        stored = self.write_images({"POS.BIN": 129, "PC_CC.BIN": 10, "TAT_PUMP.BIN": 10})
        self.start_sim(port=12)  # COM12 maps to ports/com12, under Wine as here
        result = self.send("--port", "com12", "--pump1", "tatsuno", "--baud", "19200")
        self.assertStatus(result, 0)
        self.assertIn("Sending over COM12", result.out)
        self.assertEqual(stored["TAT_PUMP.BIN"], self.sim.saved("3", "A"))

    def test_a_port_that_cannot_be_set_up_exits_3_with_the_windows_message(self):
        self.write_images({"POS.BIN": 400, "PC_CC.BIN": 200, "GIL_PUMP.BIN": 200})
        # No simulator on COM2: its link does not exist.
        stale = os.path.join(PORTS, "com2")
        if os.path.lexists(stale):
            os.remove(stale)
        result = self.send("--port", "2", "--pump1", "gilbarco")
        self.assertStatus(result, 3)
        # Natively nothing opens; Wine falls back to the machine's own COM2 (/dev/ttyS1),
        # which opens but takes no settings.
        self.assertRegex(result.err, r"^marvane-send: Unable to (open the port|configure the "
                                     r"serial port|set the time-out parameters) COM2"
                                     r"( \(\S+com2\))?: \w.*\n$")
        if not WINE_RUN:
            self.assertIn("not found; check the cable", result.err)
        self.assertNotIn("failed", result.out)

    @unittest.skipIf(WINE_RUN, "--device is the Linux program's")
    def test_nothing_goes_over_a_port_that_takes_no_settings(self):
        self.write_images({"POS.BIN": 400, "PC_CC.BIN": 200, "GIL_PUMP.BIN": 200})
        # A pipe is no port: refused as it opens, before it is set up. What is written shows.
        fifo = os.path.join(self.dir, "fifo")
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        result = self.send("--device", fifo, "--pump1", "gilbarco")
        self.assertStatus(result, 3)
        self.assertIn("Unable to open the port COM1 (%s)" % fifo, result.err)
        self.assertEqual(b"", os.read(reader, 100))  # not a byte, the header's six least of all
        os.close(reader)

    def test_progress_bar_steps_once_per_block(self):
        self.write_images({"POS.BIN": 20 * BLOCK - 5, "PC_CC.BIN": 10, "MEC_PUMP.BIN": 10})
        # Wine draws a terminal through its own console, cell by cell: there the bar is
        # asked for and read from a pipe.
        runs = [("--progress", lambda *a: self.send(*a).out)]
        if not WINE_RUN:
            runs.append(("terminal", lambda *a: self.send_on_terminal(*a)[1]))
        for how, run in runs:
            with self.subTest(how):
                self.start_sim()
                extra = ["--progress"] if how == "--progress" else []
                out = run("--pump1", "mechanical", "--baud", "4800", *extra)
                steps = [int(n) for n in
                         re.findall(r"[\r\n]POS\.BIN +\[[#.]+\] +(\d+)/20 blocks", out)]
                # Into a file the bar is one line, as it stands when the transfer ends.
                self.assertEqual(list(range(0, 21)) if how == "terminal" else [20], steps, out)
                self.assertNotIn("\r", out if how != "terminal" else "")
                self.assertEqual(20, self.report()[0]["blocks"])
                self.assertIn("MEC_PUMP.BIN  id 3  type A    1 blocks  sent", out)
                self.sim.stop()
                self.sim = None

    def test_dir_reads_the_files_from_that_folder(self):
        stored = self.write_images({"POS.BIN": 129, "PC_CC.BIN": 10, "NUO_PUMP.BIN": 10})
        self.start_sim(port=4)
        elsewhere = os.path.join(self.dir, "elsewhere")
        shutil.move(self.images, elsewhere)
        os.makedirs(self.images)
        result = self.send("--dir", host_path(elsewhere), "--port", "4", "--pump1", "nuovo")
        self.assertStatus(result, 0)
        self.assertEqual(stored["NUO_PUMP.BIN"], self.sim.saved("3", "A"))

    @unittest.skipIf(WINE_RUN, "--device is the Linux program's")
    def test_device_names_a_pseudo_terminal(self):
        self.write_images({"POS.BIN": 129, "PC_CC.BIN": 10, "DRT_PUMP.BIN": 10})
        link = self.start_sim(port=3)
        pts = os.path.realpath(link)
        self.assertTrue(pts.startswith("/dev/pts/"), pts)
        result = self.send("--device", pts, "--pump1", "dart", "--baud", "2400")
        self.assertStatus(result, 0)
        self.assertIn("COM1 (%s)" % pts, result.out)
        self.assertEqual(["0", "1", "2", "3"], [l["id"] for l in self.report()])
        self.assertEqual(2400, self.report()[0]["baud"])


class Record(SendTest):
    def read_log(self, path):
        with open(path) as f:  # a line per run, as a script reads it: a run's began line left out
            return [r for r in map(json.loads, f) if r["event"] == "record"]

    def test_the_log_keeps_a_line_per_run(self):
        self.write_images({"pos.bin": 3 * BLOCK, "PC_CC.BIN": 10, "GIL_PUMP.BIN": 10})
        log = os.path.join(self.dir, "runs.jsonl")
        os.environ["MARVANE_LOG"] = host_path(log)  # the default; --log names another
        self.addCleanup(os.environ.pop, "MARVANE_LOG")
        self.start_sim(args=["--fault", "nak-block=1:2@1", "--fault", "can-block=0@4"])
        self.assertStatus(self.send("--pump1", "gilbarco", "--baud", "19200", "--quiet"), 1)
        self.sim.stop()
        self.start_sim()
        self.assertStatus(self.send("--pump1", "gilbarco", "--baud", "4800", "--check"), 0)
        self.assertStatus(self.send("--pump1", "tokheim", "--pump2", "kraus",
                                    "--log", host_path(log + "2")), 2)
        failed, checked = self.read_log(log)
        self.assertEqual((1, 0, 2), (failed["status"], checked["status"],
                                     self.read_log(log + "2")[0]["status"]))
        self.assertRegex(failed["started"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        self.assertEqual(("send", "COM1", 19200, "failed", 4), (failed["mode"], failed["port"],
                         failed["baud"], failed["ended"], failed["ended_at"]))
        if not WINE_RUN:
            self.assertEqual(os.path.join(PORTS, "com1"), failed["device"])
        steps = [(s["file"], s.get("bytes"), s.get("sha256"), s["id"], s["type"], s["blocks"],
                  s["resends"], s["result"]) for s in failed["steps"]]
        pos, pc_cc, pump = (self.sha256(n) for n in ("pos.bin", "PC_CC.BIN", "GIL_PUMP.BIN"))
        self.assertEqual([("pos.bin", 3 * BLOCK, pos, "0", "C", 3, 2, "sent"),
                          ("PC_CC.BIN", 10, pc_cc, "1", "A", 1, 0, "sent"),
                          ("PC_CC.BIN", 10, pc_cc, "2", "A", 1, 0, "sent"),
                          ("GIL_PUMP.BIN", 10, pump, "3", "A", 1, 0, "cancelled")], steps)
        self.assertIn("CAN", failed["steps"][3]["cause"])
        self.assertEqual(("check", "ok", 4800), (checked["mode"], checked["ended"],
                                                 checked["baud"]))
        # A check's record holds the plan; every record, a run or none, has its time.
        self.assertEqual([("pos.bin", pos, "planned"), ("PC_CC.BIN", pc_cc, "planned"),
                          ("PC_CC.BIN", pc_cc, "planned"), ("GIL_PUMP.BIN", pump, "planned")],
                         [(s["file"], s["sha256"], s["result"]) for s in checked["steps"]])
        bad = self.read_log(log + "2")[0]
        self.assertIn("seconds", bad)
        # Every problem found, by its code and the file it concerns.
        self.assertEqual([("image-not-found", "TOK_PUMP.BIN"), ("image-not-found", "KRS_PUMP.BIN")],
                         [(p["code"], p["file"]) for p in bad["problems"]])

    def test_check_sets_the_port_up_and_sends_nothing(self):
        self.write_images({"POS.BIN": 10, "PC_CC.BIN": 10, "GIL_PUMP.BIN": 10})
        self.start_sim(args=["--verbose"])  # logs every byte it takes
        result = self.send("--check", "--pump1", "gilbarco", "--baud", "2400")
        self.assertStatus(result, 0)
        self.assertIn("opened and set up at 2400 baud, and closed: nothing was sent", result.out)
        driver.wait_for(lambda: '"baud":2400' in open(self.termios).read(), 5,
                        what="the line set up")
        self.sim.stop()
        self.assertEqual([], self.sim.report())
        with open(os.path.join(self.sim.dir, "sim.log")) as f:
            self.assertNotRegex(f.read(), r"ignored byte|[1-9]\d* stale byte")
        stale = os.path.join(PORTS, "com2")  # no simulator there
        if os.path.lexists(stale):
            os.remove(stale)
        result = self.send("--check", "--pump1", "gilbarco", "--port", "2")
        self.assertStatus(result, 3)
        self.assertRegex(result.err, r"Unable to (open the port|configure the serial port|set "
                                     r"the time-out parameters) COM2")

    def test_marvane_port_names_the_port(self):
        self.write_images({"POS.BIN": 10, "PC_CC.BIN": 10})
        link = self.start_sim(port=4)
        cases = [("COM4", [])]
        if not WINE_RUN:  # a device path: COM1 opens it, or the port --port names
            cases += [(os.path.realpath(link), []), (os.path.realpath(link), ["--port", "7"])]
        for n, (port, args) in enumerate(cases):
            with self.subTest(port=port, args=args):
                # An image of each case's own, so that none passes on what one before saved.
                image = bytes([n + 1]) * 10
                with open(os.path.join(self.images, "KRS_PUMP.BIN"), "wb") as f:
                    f.write(image)
                os.environ["MARVANE_PORT"] = port
                try:
                    result = self.send("--pump1", "kraus", "--json", *args)
                finally:
                    del os.environ["MARVANE_PORT"]
                self.assertStatus(result, 0)
                record = json.loads(result.out.splitlines()[-1])
                self.assertEqual("COM7" if args else "COM4" if port == "COM4" else "COM1",
                                 record["port"])
                self.assertEqual(driver.padded(image), self.sim.saved("3", "A"))


class Outcomes(SendTest):
    """JSON for every outcome, waiting for the controller, a port or a reader that goes."""

    def json_lines(self, out, status):
        """Every line is JSON: the first names the output, the last is the record."""
        objects = [json.loads(line) for line in out.splitlines()]
        self.assertEqual((5, "marvane-send"), (objects[0]["schema"], objects[0]["program"]))
        self.assertEqual(("record", status), (objects[-1]["event"], objects[-1]["status"]))
        return objects

    def test_every_outcome_is_json_from_what_it_is_to_the_record(self):
        self.write_images({"POS.BIN": 300, "PC_CC.BIN": 10, "GIL_PUMP.BIN": 10})
        stale = os.path.join(PORTS, "com2")  # no simulator there
        if os.path.lexists(stale):
            os.remove(stale)
        cases = [([], [], 0), ([], ["--fault", "silent-header"], 1), (["--bogus"], [], 2),
                 (["--pump2", "kraus"], [], 2), (["--port", "2"], [], 3), (["--check"], [], 0),
                 (["--list-makes"], [], 0), (["--list-ports"], [], 0), (["--help"], [], 0),
                 (["--version"], [], 0)]
        for args, faults, status in cases:
            with self.subTest(args=args, faults=faults):
                self.start_sim(args=faults)
                # --json last: after an option that cannot be read it still chooses JSON.
                result = self.send("--pump1", "gilbarco", *args, "--json")
                self.assertStatus(result, status)
                objects = self.json_lines(result.out, status)
                ended = [o for o in objects if o["event"] == "step-ended"]
                if not args:
                    self.assertEqual(4 if status == 0 else 1, len(ended))
                    steps = objects[-1]["steps"]
                    self.assertEqual([self.sha256(s["file"]) for s in steps],
                                     [s["sha256"] for s in steps])
                    # A step ended tells the same keys and values as the record's step.
                    self.assertEqual([{k: v for k, v in e.items() if k not in ("event", "time")}
                                      for e in ended], steps)
                if args == ["--check"]:  # and a plan's object, with its number and size
                    plan = [o for o in objects if o["event"] == "plan"]
                    self.assertEqual([{k: v for k, v in o.items() if k not in ("event", "step")}
                                      for o in plan], objects[-1]["steps"])
                    self.assertEqual([300, 10, 10, 10], [o["bytes"] for o in plan])
                if status == 3:
                    self.assertEqual([], ended)  # no step was tried
                self.sim.stop()
                self.sim = None

    def test_an_interrupted_run_ends_its_json_with_the_record(self):
        self.start_sim()
        proc, lines = self.run_to_block_3("--baud", "19200", "--json", start_new_session=True)
        os.killpg(proc.pid, signal.SIGINT)
        out, err = proc.communicate(timeout=60)
        self.assertEqual(130, proc.returncode, err)
        record = self.json_lines("".join(lines) + out, 130)[-1]
        self.assertEqual(("interrupted", 1, "stopped"),
                         (record["ended"], record["ended_at"], record["steps"][0]["result"]))

    def test_wait_sends_the_header_again_until_the_controller_answers(self):
        self.write_images({"POS.BIN": 300, "PC_CC.BIN": 10, "GIL_PUMP.BIN": 10})
        self.start_sim(args=["--fault", "silent-header@1", "--fault", "silent-header@2"])
        result = self.send("--pump1", "gilbarco", "--wait", "10", "--json")
        self.assertStatus(result, 0)
        objects = self.json_lines(result.out, 0)
        self.assertEqual([2, 3], [o["sends"] for o in objects if o["event"] == "header-repeated"])
        # Two answer time-outs of 150 ticks, each a tick short at most by the clock's steps.
        self.assertGreaterEqual(objects[-1]["waited"], 2.95)
        self.assertEqual("0", self.report()[2]["id"])  # the third header was answered
        self.sim.stop()
        self.start_sim(args=["--fault", "silent-header"])
        result = self.send("--pump1", "gilbarco", "--wait", "2")
        self.assertStatus(result, 1)
        self.assertIn("marvane-send: no answer within 2 s", result.err)
        # All of the run went waiting, but for the port's opening and the file's reading: the
        # two seconds --wait gives, within the run's time. A second's room for those and the
        # printing on a loaded machine, under Wine too; a header's answer wait left out of the
        # count would take 1.5 s from it.
        m = re.match(r"^FAILED: 0 of 4 .* in (\d+\.\d\d) s \((\d+\.\d\d) s of it waiting for "
                     r"the controller\)$", result.out.splitlines()[-1])
        self.assertTrue(m, result)
        took, waiting = float(m.group(1)), float(m.group(2))
        self.assertGreaterEqual(waiting, 2.0, result)
        self.assertLessEqual(waiting, took, result)
        self.assertLess(took - waiting, 1.0, result)

    @unittest.skipIf(WINE_RUN, "under Wine the simulator keeps a dead line open (--dead-mode)")
    def test_a_port_that_goes_away_stops_the_run_at_once(self):
        self.write_images({"POS.BIN": 10 * BLOCK, "PC_CC.BIN": 10, "GIL_PUMP.BIN": 10})
        self.start_sim(args=["--fault", "dead-after-block=2", "--dead-mode", "close"])
        trace = os.path.join(self.dir, "trace")
        result = self.send("--pump1", "gilbarco", "--json", "--trace", trace)
        self.assertStatus(result, 3)
        self.assertIn("marvane-send: the port went away: was the adapter unplugged?", result.err)
        with open(trace) as f:  # in words, not a number of another system's
            self.assertIn("port went away: no device behind it\n", f.read())
        record = self.json_lines(result.out, 3)[-1]
        self.assertEqual(("port-lost", "port-lost"),
                         (record["ended"], record["steps"][0]["result"]))
        self.assertLess(record["seconds"], 4)  # not after five answer time-outs of 1.5 s

    def test_a_reader_that_goes_away_stops_the_run(self):
        self.start_sim()
        # SIGPIPE ignored, as by marvane-send itself: the write fails instead.
        log = os.path.join(self.dir, "log")
        proc, _ = self.run_to_block_3("--baud", "19200", "--verbose", "--log", host_path(log),
                                      restore_signals=False)
        proc.stdout.close()
        err = proc.stderr.read()
        self.assertEqual(130, proc.wait(60), err)
        self.assertIn("marvane-send: standard output was closed in POS at block", err)
        with open(log) as f:
            self.assertEqual("output-closed", json.loads(f.read().splitlines()[-1])["ended"])
        self.assertLess(len(driver.wait_for(self.sim.report, 10)[0]["sends"]), 102)


class BadInput(SendTest):
    def test_check_prints_the_plan_and_never_opens_the_port(self):
        # Names match whatever their case, as on Windows; an empty image goes when allowed.
        self.write_images({"pos.bin": 13000, "PC_CC.BIN": 129, "SAM_PUMP.BIN": 0,
                           "Gil_Card.bin": 1, "SAM_CARD.BIN": 1})
        self.start_sim()
        result = self.send("--check", "--no-port", "--baud", "2400", "--pump1", "schlumberger",
                           "--reader1", "gilbarco", "--reader2", "SCHLUMBERGER", "--allow-empty")
        self.assertStatus(result, 0)
        plan = re.findall(r"^\s+(\d)\s+.*?(\S+\.BIN)\s+id (\d)\s+type (\w)\s+(\d+) bytes.*"
                          r"sha256 ([0-9a-f]{64})$", result.out, re.M)
        hashes = {n.upper(): self.sha256(n) for n in os.listdir(self.images)}
        self.assertEqual([(o, n, i, t, b, hashes[n]) for o, n, i, t, b in [
            ("1", "POS.BIN", "0", "C", "13000"), ("2", "PC_CC.BIN", "1", "A", "129"),
            ("3", "PC_CC.BIN", "2", "A", "129"), ("4", "SAM_PUMP.BIN", "3", "A", "0"),
            ("5", "GIL_CARD.BIN", "4", "A", "1"), ("6", "SAM_CARD.BIN", "6", "E", "1")]], plan)
        self.assertRegex(result.out, r"Pump 2\s+-\s+skipped")
        self.assertPortUntouched()

    def test_a_missing_driver_is_caught_before_the_port_opens(self):
        self.write_images({"POS.BIN": 10, "PC_CC.BIN": 10, "KRS_PUMP.BIN": 10})
        self.start_sim()
        for check in (["--check"], []):
            result = self.send("--baud", "2400", "--pump1", "kraus", "--pump2", "tatsuno", *check)
            self.assertStatus(result, 2)
            self.assertRegex(result.err, r"Pump 2 file TAT_PUMP\.BIN not found in \S*images\n")
        self.assertPortUntouched()
        self.assertEqual([], self.sim.report())

    def test_each_kind_of_bad_input_exits_2_before_the_port_opens(self):
        self.write_images({"POS.BIN": 10, "PC_CC.BIN": 10, "GIL_PUMP.BIN": 13001,
                           "TOK_PUMP.BIN": 0})
        with open(os.path.join(self.images, "DON_PUMP.BIN"), "wb") as f:
            f.write(bytes(13000))
        self.start_sim()
        cases = [
            (["--pump1", "donghwa", "--reader1", "kraus"], "Reader 1 menu offers no Kraus"),
            (["--pump1", "acme"], "unknown make"),
            (["--list-makes", "--pump1", "acme"], "unknown make"),
            (["--pump1", "donghwa", "--speed", "9600"], "unknown option"),
            (["--pump1", "donghwa", "--chec"], "unknown option: --chec"),  # no shortened names
            (["--pump1", "donghwa", "extra"], "unexpected argument"),
            (["--pump1", "donghwa", "--baud", "14400"], "19200, 9600, 4800 or 2400"),
            (["--pump1", "donghwa", "--baud", "9600x"], "19200, 9600, 4800 or 2400"),
            (["--pump1", "donghwa", "--port", "257"], "1 to 256 or COM1 to COM256"),
            (["--pump1", "donghwa", "--port", "COM0"], "1 to 256 or COM1 to COM256"),
            (["--pump1", "donghwa", "--port"], "needs a value"),
            (["--pump1", "--check"], "--pump1 needs a value, not --check"),
            (["--pump1", "donghwa", "--pump1", "kraus"], "given twice: --pump1"),
            (["--pump1", "donghwa", "--dir", host_path(os.path.join(self.dir, "none"))],
             "no such folder"),
            ([], "Pump 1 has no make"),
            (["--pump1", "gilbarco"], "GIL_PUMP.BIN in "),
            (["--pump1", "gilbarco"], " is too large"),
            (["--pump1", "tokheim"], "TOK_PUMP.BIN in "),
            (["--pump1", "tokheim"], " is empty"),
            (["--pump1", "dong hwa", "--check=yes"], "takes no value"),
            (None, "Usage: marvane-send"),
            (["--pump1", "donghwa", "--log", host_path(os.path.join(self.dir, "none", "log"))],
             "the log cannot be opened (--log)"),
            (["--pump1", "donghwa", "--no-port"], "--no-port goes with --check"),
            (["--pump1", "nuovo"], "differ only in case"),
        ]
        if not WINE_RUN:  # on Windows a folder holds one of the two
            self.write_images({"NUO_PUMP.BIN": 1, "nuo_pump.bin": 1})
        else:
            cases.pop()
        for args, message in cases:
            with self.subTest(args=args):
                with_rate = ["--baud", "2400"] if args is not None and "--baud" not in args else []
                result = self.send(*(with_rate + (args or [])))
                self.assertStatus(result, 2)
                self.assertIn(message, result.err)
                self.assertEqual("", result.out)
        self.assertPortUntouched()

    def test_a_problem_names_the_option_or_the_file_it_concerns(self):
        self.write_images({"POS.BIN": 10, "PC_CC.BIN": 10, "DON_PUMP.BIN": 10})
        for args, problem in [
                (["-q", "-v"], ("options-clash", "option", "--verbose")),  # the two given
                (["extra"], ("unexpected-argument", "file", "extra")),
                (["--", "-x"], ("unexpected-argument", "file", "-x")),  # after --, no option
                (["--dir", host_path(os.path.join(self.dir, "none"))], ("no-folder", "option", "--dir")),
                (["--reader1", "gilbarco"], ("image-not-found", "file", "GIL_CARD.BIN"))]:
            log = os.path.join(self.dir, "log")  # not --json: it would be one of the clash
            self.assertStatus(self.send("--pump1", "donghwa", "--log", host_path(log), *args), 2)
            with open(log) as f:
                (found,) = json.loads(f.read().splitlines()[-1])["problems"]
            self.assertEqual(problem, (found["code"],) + next(
                (k, v) for k, v in found.items() if k in ("option", "file")))

    def test_lists_version_and_help(self):
        result = self.send("--list-makes")
        self.assertStatus(result, 0)
        sections = re.split(r"^(\S.*):$", result.out, flags=re.M)[1:]
        listed = dict(zip(sections[0::2], sections[1::2]))
        # Every make of the rows the menus are made from, with its file, and no other.
        for slot, field in [("Pump 1 (--pump1)", "pump_file"),
                            ("Reader 2 (--reader2)", "reader_file")]:
            rows = [(m.key, m.label, getattr(m, field)) for m in makes.read()]
            self.assertEqual([row for row in rows if row[2]],
                             re.findall(r"^\s+(\S+)\s+(.*?)\s+(\S+\.BIN)$", listed[slot], re.M))
        self.assertRegex(listed["Pump 2 (--pump2)"], r"deer\s+Deer \(LTS\)\s+LTS_PUMP\.BIN")
        self.assertRegex(listed["Reader 1 (--reader1)"], r"generic\s+Tavro Generic\s+GEN_CARD")
        self.assertRegex(listed["Reader 2 (--reader2)"], r"wayne\s+Wayne/Dresser\s+DW_CARD")
        help_text = self.send("--help").out
        # A console is 80 columns wide, and moves to the next line after the 80th character.
        self.assertEqual([], [line for line in help_text.splitlines() if len(line) > 79])
        # The steps in run order with the ids and types the device sees (FULL_SET).
        self.assertIn("POS.BIN (id 0, type C), PC_CC.BIN twice (ids 1 and 2, type A), then the "
                      "Pump 1 (id 3), Pump 2 (id 5), Reader 1 (id 4, type A) and Reader 2 (id 6, "
                      "type E) drivers", " ".join(help_text.split()))
        for option in ("--port", "--baud", "--device", "--dir", "--pump1", "--pump2",
                       "--reader1", "--reader2", "--allow-empty", "--list-makes",
                       "--list-ports", "--check", "--quiet", "--verbose", "--json",
                       "--progress", "--version", "--help"):
            self.assertIn("  " + option, help_text)
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                               "CMakeLists.txt")) as f:
            version = re.search(r"project\(Marvane VERSION ([\d.]+)", f.read()).group(1)
        self.assertEqual("marvane-send %s\n" % version, self.send("--version").out)
        # The ports this system has: under Wine the serial-port map holds the mapped ones.
        ports = self.send("--list-ports")
        self.assertStatus(ports, 0)
        if WINE_RUN:
            self.assertRegex(ports.out, r"(?m)^COM1 +\S")
            self.assertRegex(ports.out, r"(?m)^COM12 +\S")


# marvane-send on Linux, ended from outside: a run that dies leaves the port to the next, a
# reader of its output that goes ends the run and not the program, SIGTERM is a Ctrl+C.
@unittest.skipIf(WINE_RUN, "the stand-in's ports and Linux's signals")
class PortsAndSignals(SendTest):
    def start_run(self, *args):
        return subprocess.Popen(self.command(["--pump1", "gilbarco", "--verbose"] + list(args)),
                                cwd=self.images, env=self.env(), text=True,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def assertNextRunOpensThePort(self):
        # Root gets past a tty left exclusive: the next run goes without CAP_SYS_ADMIN
        # (PR_CAPBSET_DROP), as a technician's would.
        again = subprocess.run(self.command(["--pump1", "gilbarco"]), cwd=self.images,
                               env=self.env(), capture_output=True, text=True, timeout=60,
                               preexec_fn=lambda: ctypes.CDLL(None).prctl(24, 21))
        self.assertNotEqual(3, again.returncode, again.stderr)

    def test_a_run_ended_the_hard_way_leaves_the_port_to_the_next(self):
        # That test ends a run by a second Ctrl+C while the port is open, its line stopped.
        Runs.test_a_second_interrupt_ends_it_at_once(self)
        held = os.open(os.path.join(PORTS, "com1"), os.O_RDWR | os.O_NOCTTY)
        termios.tcflow(held, termios.TCOON)
        os.close(held)
        self.assertNextRunOpensThePort()
        proc, _ = self.run_to_block_3("--verbose")
        proc.kill()
        proc.communicate(timeout=60)
        self.assertNextRunOpensThePort()

    def test_sigterm_stops_the_run_as_ctrl_c_does(self):
        self.start_sim()
        proc, _ = self.run_to_block_3("--verbose")
        proc.terminate()
        _, err = proc.communicate(timeout=60)
        self.assertEqual(130, proc.returncode, err)
        stopped = re.search(r"interrupted in POS at block (\d+) of 102", err)
        self.assertTrue(stopped, err)
        report = driver.wait_for(self.sim.report, 10, what="the unfinished transfer")
        block = int(stopped.group(1))
        self.assertIn(len(report[0]["sends"]), (block - 1, block))  # nothing after the stop

    def test_a_reader_that_goes_ends_the_run_not_the_program(self):
        self.write_images({"POS.BIN": 13000, "PC_CC.BIN": 10, "GIL_PUMP.BIN": 10})
        self.start_sim(args=["--verbose"])  # the device logs a frame cut short
        proc = self.start_run()
        # head leaves once POS's first blocks are through (a line each): the run is in flight.
        head = subprocess.Popen(["head", "-n", "4"], stdin=proc.stdout, stdout=subprocess.DEVNULL)
        proc.stdout.close()
        _, err = proc.communicate(timeout=60)
        head.wait(timeout=10)
        self.assertGreaterEqual(proc.returncode, 0, "killed by a signal")
        report = driver.wait_for(self.sim.report, 10, what="the stopped transfer")
        self.assertEqual(["failed"], [t["outcome"] for t in report], err)
        with open(self.sim.log.name) as log:
            self.assertNotIn("cut short", log.read())

    def test_a_fifo_for_an_image_is_refused_at_once(self):
        self.write_images({"PC_CC.BIN": 10, "GIL_PUMP.BIN": 10})
        os.mkfifo(os.path.join(self.images, "POS.BIN"))  # that nobody writes to
        # Empty images allowed: a FIFO must be refused, not taken for an empty file.
        result = subprocess.run(self.command(["--check", "--pump1", "gilbarco", "--allow-empty"]),
                                cwd=self.images, env=self.env(), capture_output=True, timeout=10)
        self.assertEqual(2, result.returncode)
        self.assertRegex(result.stderr.decode(), r"POS\.BIN.* a device or pipe, not a regular file")

if __name__ == "__main__":
    unittest.main(verbosity=2)
