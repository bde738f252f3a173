"""marvane-send's evidence for a service desk, against the simulator: the supplier's list
(--expect), the wire trace (--trace), who and where, the controller's state, and the port
found by its USB identity. Run as test_send.py is (natively, or under Wine with
MARVANE_WINE_RUN); the planted sysfs tree is Linux's only.
"""

import fcntl
import hashlib
import json
import os
import pathlib
import pwd
import re
import resource
import signal
import socket
import subprocess
import sys
import time
import unicodedata
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_send import BLOCK, WINE_RUN, PORTS, SendTest, driver, host_path  # noqa: E402

IMAGES = {"POS.BIN": 300, "PC_CC.BIN": 200, "GIL_PUMP.BIN": 129}


def sums(stored, **wrong):
    """A list as sha256sum writes it of the images as stored, some lines replaced."""
    lines = []
    for name, data in stored.items():
        digest = hashlib.sha256(data.rstrip(b"\0")).hexdigest()
        lines.append(wrong.get(name.replace(".", "_"), "%s  %s" % (digest, name)))
    return "\n".join(line for line in lines if line) + "\n"


class Expect(SendTest):
    def write_list(self, text, name="SHA256SUMS", newline="\n"):
        path = os.path.join(self.dir, name)
        with open(path, "w", newline=newline) as f:
            f.write(text)
        return host_path(path)

    def test_the_run_goes_only_when_every_image_is_listed_with_its_hash(self):
        stored = self.write_images(IMAGES)
        self.start_sim()
        good = self.write_list(sums(stored).upper().replace("  *", "  ").replace(
            ".BIN", ".bin"), newline="\r\n")  # upper-case hex, CRLF, names in another case
        one_byte = bytearray(stored["GIL_PUMP.BIN"].rstrip(b"\0"))
        one_byte[0] ^= 1
        wrong = hashlib.sha256(bytes(one_byte)).hexdigest()
        cases = [
            (self.write_list(sums(stored, GIL_PUMP_BIN="%s  GIL_PUMP.BIN" % wrong), "wrong"),
             r"GIL_PUMP\.BIN.*%s.*line 3.*%s" % (self.sha256("GIL_PUMP.BIN"), wrong)),
            (self.write_list(sums(stored, PC_CC_BIN=""), "short"), r"PC_CC\.BIN is not in the list"),
            (self.write_list(sums(stored) + "not a line\n", "bad"), r"line 4: malformed"),
            (self.write_list(sums(stored) + "#\n%s  POS.BIN\n" % wrong, "2"), r"5: POS\.BIN, listed before.* 1"),
            (host_path(os.path.join(self.dir, "missing")), r"cannot be read"),
            (host_path(self.dir), r"cannot be read \(--expect\): .*: a folder, not a file"),
        ]
        for listing, message in cases:
            result = self.send("--pump1", "gilbarco", "--baud", "2400", "--expect", listing)
            self.assertStatus(result, 2)
            self.assertRegex(result.err, message)
            self.assertPortUntouched()
        self.assertFalse(os.path.exists(self.sim.report_path) and self.sim.report(),
                         "the device saw a transfer")
        check = self.send("--pump1", "gilbarco", "--check", "--no-port", "--expect", good)
        self.assertStatus(check, 0)
        result = self.send("--pump1", "gilbarco", "--json", "--expect", good)
        self.assertStatus(result, 0)
        events = [json.loads(line) for line in result.out.splitlines()]
        self.assertEqual(4, len(self.report()))
        compared = [e for e in events if e["event"] == "expected"]
        self.assertEqual([("POS.BIN", 1, True), ("PC_CC.BIN", 2, True), ("GIL_PUMP.BIN", 3, True)],
                         [(e["file"], e["line"], e["match"]) for e in compared])
        record = events[-1]
        with open(good.replace("Z:", ""), "rb") as f:
            self.assertEqual(hashlib.sha256(f.read()).hexdigest(), record["expect"]["sha256"])


class Trace(SendTest):
    def test_the_trace_holds_every_frame_and_answer_as_the_device_saw_them(self):
        self.write_images(IMAGES)
        self.start_sim(args=["--fault", "nak-block=1:1@1", "--fault", "can-block=0@4"])
        trace = os.path.join(self.dir, "trace.txt")
        result = self.send("--pump1", "gilbarco", "--trace", host_path(trace))
        self.assertStatus(result, 1)
        report = self.report()
        with open(trace) as f:
            lines = f.read().splitlines()
        blocks = [l for l in lines if "> block" in l]
        self.assertEqual(sum(sum(t["sends"]) for t in report), len(blocks))
        self.assertEqual(1, sum("< NAK" in l for l in lines))
        self.assertEqual(1, sum("< CAN" in l for l in lines))
        self.assertEqual(len(report), sum("> header" in l for l in lines))
        self.assertRegex(lines[-1], r"port closed")
        # The trace is an output: it cannot be an image of the run.
        result = self.send("--pump1", "gilbarco", "--trace", "POS.BIN")
        self.assertStatus(result, 2)


class State(SendTest):
    def test_the_record_names_who_and_where_and_what_the_controller_holds(self):
        self.write_images(IMAGES)
        self.start_sim(args=["--fault", "can-block=1@2"])
        log = os.path.join(self.dir, "log.jsonl")
        result = self.send("--pump1", "gilbarco", "--log", host_path(log), "--station",
                           "Station 7, Münchner Str.", "--operator", "José Doe", "--note", "pump swap")
        self.assertStatus(result, 1)
        with open(log) as f:
            record = json.loads(f.read().splitlines()[-1])
        self.assertEqual(("Station 7, Münchner Str.", "José Doe", "pump swap"),  # UTF-8 in the record
                         (record["station"], record["operator"], record["note"]))
        # The computer and the account as this system names them; Windows gives the computer's
        # name in capitals, 15 characters at most.
        computer = socket.gethostname()
        computer = computer.split(".")[0][:15].upper() if WINE_RUN else computer
        self.assertEqual((computer, pwd.getpwuid(os.geteuid()).pw_name),
                         (record["computer"], record["user"]))
        # POS in full, PC_CC's first pass cancelled after one of its two blocks, the rest
        # not begun.
        self.assertEqual([("POS", 1, "sent"), ("PC_CC", 1, "partial"), ("PC_CC", 2, "untouched"),
                          ("Pump 1", 1, "untouched")],
                         [(s["slot"], s["pass"], s["state"]) for s in record["controller"]])
        self.assertRegex(result.out + result.err, r"controller holds POS in full; in part: PC_CC pass 1 \(1 of 2 blocks\)\. Run again")

    def test_an_interrupt_as_a_transfer_ends_is_said_as_holds_and_the_controller_count_it(self):
        self.write_images(IMAGES)  # blocks: POS 3, PC_CC 2 a pass, GIL_PUMP 2
        for transfer, said, holds in [  # Ctrl+C as PC_CC's first pass ends, and as the run does
                (2, "before PC_CC pass 2: the controller holds nothing of it", "POS, PC_CC pass 1 in full. Run again to send the rest."),
                (4, "as the run ended: the controller holds every image of the run in full", "every image of the run in full.")]:
            self.start_sim(args=["--fault", "late-ack=1:1400@%d" % transfer, "--fault", "dead-after-block=1@%d" % transfer])
            log = os.path.join(self.dir, "log%d" % transfer)
            proc = subprocess.Popen(self.command(["--pump1", "gilbarco", "--json", "--log", host_path(log)]), cwd=self.images,
                                    env=self.env(), text=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
            # The controller reports the transfer as it takes the last block; its ACK is held back.
            driver.wait_for(lambda: len(self.sim.report()) == transfer, 30, 0.01, what="the controller's report")
            os.killpg(proc.pid, signal.SIGINT)  # as a terminal's Ctrl+C; Wine makes a console's of it
            out, err = proc.communicate(timeout=60)
            self.sim.stop()
            with open(log) as f:  # the log's record is --json's, to the byte
                self.assertEqual(out.splitlines()[-1], f.read().splitlines()[-1])
            record = json.loads(out.splitlines()[-1])
            self.assertEqual((130, "interrupted", "The controller holds " + holds), (proc.returncode, record["ended"], record["holds"]), err)
            self.assertRegex(err, "(?m)^marvane-send: interrupted %s(; run again)?$" % said)
            took = [("sent", t["blocks"]) if t["outcome"] == "ok" else ("partial", len(t["sends"])) for t in self.sim.report() if t["sends"]]
            self.assertEqual(took + [("untouched", 0)] * (4 - len(took)), [(c["state"], c["taken"]) for c in record["controller"]])


class Untouched(SendTest):
    def test_a_controller_that_took_no_header_holds_nothing_of_the_run(self):
        self.write_images(IMAGES)  # silent, asleep past --wait, ENQ before ACK: no header taken
        for fault, wait in (("silent-header", "0"), ("silent-header", "1"), ("enq-before-ack", "0")):
            self.start_sim(args=["--fault", fault])
            end = json.loads(self.send("--pump1", "gilbarco", "--json", "--wait", wait).out.splitlines()[-1])
            self.assertEqual((1, 0, ["untouched"] * 4), (end["status"], sum(len(t["sends"]) for t in
                             self.sim.report()), [c["state"] for c in end["controller"]]))
            self.sim.stop()


@unittest.skipIf(WINE_RUN, "the planted sysfs tree, --device and bytes for arguments are Linux's")
class AutoPort(SendTest):
    def plant(self, adapters):
        """A sysfs and by-id tree with a USB serial adapter per (name, vid, pid, serial)."""
        root = os.path.join(self.dir, "root")
        for name, vid, pid, serial in adapters:
            usb = os.path.join(root, "sys/devices/pci0000:00/usb1/1-" + name[-1])
            iface = os.path.join(usb, "1-1:1.0", name)
            os.makedirs(iface, exist_ok=True)
            for key, value in (("idVendor", vid), ("idProduct", pid), ("serial", serial),
                               ("manufacturer", "FTDI"), ("product", "USB Serial")):
                with open(os.path.join(usb, key), "w") as f:
                    f.write(value + "\n")
            tty = os.path.join(root, "sys/class/tty", name)
            os.makedirs(tty, exist_ok=True)
            os.symlink(iface, os.path.join(tty, "device"))
            os.makedirs(os.path.join(root, "dev"), exist_ok=True)
            os.symlink(os.path.join(PORTS, "com1"), os.path.join(root, "dev", name))
        return root

    def send_in(self, root, *args):
        os.environ["MARVANE_SYSTEM_ROOT"] = root
        try:
            return self.send(*args)
        finally:
            del os.environ["MARVANE_SYSTEM_ROOT"]

    def test_the_one_adapter_is_found_and_two_are_told_apart(self):
        self.write_images(IMAGES)
        self.start_sim()
        none = self.send_in(self.plant([]), "--pump1", "gilbarco", "--port", "auto")
        self.assertStatus(none, 3)
        self.assertIn("no USB serial adapter is plugged in", none.err)
        one = self.plant([("ttyUSB0", "0403", "6001", "A1")])
        log = os.path.join(self.dir, "log")
        self.assertStatus(self.send_in(one, "--pump1", "gilbarco", "--port", "auto", "--log", log), 0)
        self.assertEqual(4, len(self.report()))
        self.send_in(one, "--pump1", "gilbarco", "--check", "--log", log, "--device",
                     os.path.join(one, "dev", "ttyUSB0"))
        with open(log) as f:  # the adapter the run went through, however it was named
            self.assertEqual(3 * [{"vid": "0403", "pid": "6001", "serial": "A1", "name": "FTDI USB Serial"}],
                             [json.loads(l).get("adapter") for l in f])
        two = self.plant([("ttyUSB1", "067b", "2303", "B2")])
        many = self.send_in(two, "--pump1", "gilbarco", "--port", "auto", "--check")
        self.assertStatus(many, 2)
        self.assertRegex(many.err, r"--port usb:0403:6001:A1.*\n.*--port usb:067b:2303:B2")
        picked = self.send_in(two, "--pump1", "gilbarco", "--check", "--port",
                              "usb:067B:2303:b2")
        self.assertStatus(picked, 0)
        self.assertIn("ttyUSB1", picked.out)
        listed = self.send_in(two, "--list-ports", "--json")
        ports = [json.loads(l) for l in listed.out.splitlines()]
        self.assertEqual([("0403", "6001", "A1"), ("067b", "2303", "B2")],
                         [(p["vid"], p["pid"], p["serial"]) for p in ports if p["event"] == "port"])

    def test_two_like_adapters_are_offered_by_options_that_are_taken_and_paths_are_the_callers(self):
        self.write_images(IMAGES)
        root = self.plant([("ttyUSB0", "0403", "6001", ""), ("ttyUSB1", "0403", "6001", "")])
        offered = re.findall(r"(?m)^marvane-send: +(--\S+) (\S+) ", self.send_in(
            root, "--pump1", "gilbarco", "--port", "auto").err)
        self.assertEqual([("--device", root + "/dev/ttyUSB%d" % n) for n in (0, 1)], offered)
        os.rename(self.images, os.path.join(self.dir, "img"))
        self.images = self.dir  # the command is given above the images: drel is found here
        os.symlink(self.start_sim(), os.path.join(self.dir, "drel"))
        for option in offered + [("--device", "drel")]:
            self.assertStatus(self.send_in(root, "--pump1", "gilbarco", "--dir", "img", *option), 0)

    def test_who_texts_count_characters_and_refuse_what_would_mislead(self):
        for text in ("é" * 200, "é" * 201, b"caf\xe9", "\x85", "\u2028", "\u2029", "\u202e", "\u2066"):
            result = self.send("--list-makes", "--note", text)
            self.assertRegex(result.err, "^$" if len(text) == 200 else "--note (takes up|is not UTF-8|holds)")
        cf = [c for c in range(0x110000) if unicodedata.category(chr(c)) == "Cf"]  # Python's table
        ends = [c for c in cf if c - 1 not in cf or c + 1 not in cf]  # each run's first and last
        for i in range(0, len(ends), 3):  # three texts a run, each refused
            texts = zip(("--station", "--operator", "--note"), ("a%cb" % c for c in ends[i:i + 3]))
            record = json.loads(self.send("--list-makes", "--json", *sum(texts, ())).out.splitlines()[-1])
            self.assertEqual(len(ends[i:i + 3]), sum(p["code"] == "bad-text" for p in record["problems"]))
        beside = [chr(c + d) for c in ends for d in (-1, 1) if unicodedata.category(chr(c + d))[0] in "LMNPS"]
        self.assertStatus(self.send("--list-makes", "--note", "".join(beside)), 0)



class Mended(SendTest):
    """Faults found in use, each with its mend: outputs never touch inputs, the bytes checked
    are the bytes sent, every ending has its record, options before variables, causes named."""

    def test_no_output_touches_an_image_and_a_lost_record_has_its_status(self):
        stored = self.write_images(IMAGES)
        link = self.start_sim()
        os.link(os.path.join(self.images, "POS.BIN"), os.path.join(self.dir, "linked"))
        for path in (host_path(os.path.join(self.dir, "linked")), "gil_pump.bin",
                     host_path(os.path.join(self.images, "..", "images", "pc_cc.bin"))):
            for option in ("--log", "--trace"):
                result = self.send("--pump1", "gilbarco", "--baud", "2400", option, path)
                self.assertStatus(result, 2)
                self.assertRegex(result.err, option + r" names (POS|PC_CC|GIL_PUMP)\.BIN, an image")
                self.assertNotIn("cannot be opened", result.err)  # nor the image held open
                self.assertPortUntouched()
        listing = os.path.join(self.dir, "SUMS")
        with open(listing, "w") as f:
            f.write(sums(stored))
        os.link(listing, os.path.join(self.dir, "sums-again"))
        log = host_path(os.path.join(self.dir, "log"))
        for args, message in [  # the list, the log, and an image when the run is refused anyway
                (("--log", log, "--trace", log), r"--trace names the file the run's log goes to"),
                (("--expect", host_path(listing), "--log",
                  host_path(os.path.join(self.dir, "sums-again"))), r"--log names the list"),
                (("--expect", host_path(os.path.join(self.dir, "missing")), "--log", "pos.bin"),
                 r"--log names POS\.BIN"),
                (("--baud", "2400", "--trace", "com1:" if WINE_RUN else os.path.realpath(link)),
                 r"--trace names the port the run goes over, COM1")]:
            result = self.send("--pump1", "gilbarco", *args)
            self.assertStatus(result, 2)
            self.assertRegex(result.err, message)
            self.assertPortUntouched()
        with open(listing) as f:
            self.assertEqual(sums(stored), f.read())
        with open(log.replace("Z:", "")) as f:
            self.assertEqual(["record"], [json.loads(line)["event"] for line in f])
        self.assertEqual(sorted(stored), sorted(os.listdir(self.images)))  # no file made
        for name, data in stored.items():
            with open(os.path.join(self.images, name), "rb") as f:
                self.assertEqual(data.rstrip(b"\0"), f.read(), name)
        self.assertStatus(self.send("--pump1", "gilbarco", "--log", ""), 2)
        if not WINE_RUN:
            full = self.send("--pump1", "gilbarco", "--log", "/dev/full", "--json")
            self.assertStatus(full, 5)  # and the last line says so: its beginning was not logged
            self.assertEqual(("log-failed", 5), tuple(json.loads(full.out.splitlines()[-1])[k]
                                                      for k in ("ended", "status")))
            closed = os.path.join(self.dir, "closed.log")  # standard output closed: not the log
            subprocess.run(self.command(("--pump1", "gilbarco", "--log", closed)), cwd=self.images,
                           env=self.env(), preexec_fn=lambda: os.close(1), stderr=subprocess.DEVNULL)
            with open(closed) as f:
                self.assertEqual(["began", "record"], [json.loads(line)["event"] for line in f])
            with open("/dev/full", "w") as disk:  # a plan that could not be printed is no check
                cut = subprocess.run(self.command(("--pump1", "gilbarco", "--check")), text=True,
                                     cwd=self.images, env=self.env(), stdout=disk, stderr=subprocess.PIPE)
            self.assertEqual((130, "standard output could not be written (No space left on device): "
                              "what it shows is not whole"), (cut.returncode, cut.stderr[14:-1]))
            full = self.send("--pump1", "gilbarco", "--trace", "/dev/full", "--json")
            self.assertStatus(full, 5)
            self.assertIn("the trace could not be written whole", full.err)
            self.assertEqual(("ok", 5), tuple(json.loads(full.out.splitlines()[-1])[k]
                                              for k in ("ended", "status")))

    def test_options_win_over_variables_and_causes_are_named(self):
        self.write_images(IMAGES)
        os.mkdir(os.path.join(self.images, "GIL_PUMP.BIN.d"))
        os.replace(os.path.join(self.images, "GIL_PUMP.BIN"), os.path.join(self.dir, "pump"))
        os.rename(os.path.join(self.images, "GIL_PUMP.BIN.d"),
                  os.path.join(self.images, "GIL_PUMP.BIN"))
        os.environ["MARVANE_PORT"] = "bogus"
        try:
            folder = self.send("--pump1", "gilbarco", "--port", "1", "--check", "--no-port")
        finally:
            del os.environ["MARVANE_PORT"]
        notdir = self.send("--pump1", "gilbarco", "--dir", host_path(os.path.join(
            self.dir, "pump")), "--check", "--no-port")
        self.assertStatus(folder, 2)
        self.assertIn("GIL_PUMP.BIN in", folder.err)
        self.assertIn("a folder, not a file", folder.err)
        self.assertNotIn("MARVANE_PORT", folder.err)
        self.assertIn("not a folder (--dir)", notdir.err)
        if not WINE_RUN:
            self.assertIn("--device", self.send("--port", "/dev/ttyS0", "--check").err)


class Audit(SendTest):
    """The log a service desk audits: every record whole on a line of its own, a refused
    command line recorded too."""

    def test_a_record_goes_in_whole_or_not_at_all_on_a_line_of_its_own(self):
        self.write_images(IMAGES)
        log = os.path.join(self.dir, "log")
        cut = b'{"event":"record","cut short'  # a fragment an older program left
        with open(log, "wb") as f:
            f.write(cut)
        args = ("--pump1", "gilbarco", "--check", "--no-port", "--log", host_path(log))
        if not WINE_RUN:  # a file size limit cuts the write in the middle of the record
            limit = lambda: (signal.signal(signal.SIGXFSZ, signal.SIG_IGN),  # noqa: E731
                             resource.setrlimit(resource.RLIMIT_FSIZE, (len(cut) + 200,) * 2))
            run = subprocess.run(self.command(args + ("--json",)), cwd=self.images, env=self.env(),
                                 preexec_fn=limit, capture_output=True, text=True)
            self.assertEqual((5, 5), (run.returncode, json.loads(run.stdout.splitlines()[-1])["status"]))
            with open(log, "rb") as f:
                self.assertEqual(cut, f.read())
        self.assertStatus(self.send(*args), 0)
        with open(log) as f:
            lines = f.read().splitlines()
        self.assertEqual([cut.decode(), "record"], [lines[0], json.loads(lines[1])["event"]])

    def test_a_refused_command_line_reaches_the_log_the_option_or_variable_names(self):
        log = os.path.join(self.dir, "log")
        refusals = [(("--bogus",), "unknown-option"),  # the log's option after it is read too
                    (("--pump1", "nosuch"), "unknown-make"),
                    (("--pump1", "gilbarco", "--port", "999"), "bad-port")]
        if not WINE_RUN:
            refusals.append((("--pump1", "gilbarco", "--json", "--trace", "/dev/stdout"),
                             "options-clash"))
        for args, code in refusals:
            self.assertStatus(self.send(*args, "--log", host_path(log)), 2)
            os.environ["MARVANE_LOG"] = host_path(log)
            result = self.send(*args)
            del os.environ["MARVANE_LOG"]
            self.assertStatus(result, 2)
            self.assertTrue(all(line.startswith("{") for line in result.out.splitlines()))
        with open(log) as f:
            records = [json.loads(line) for line in f]
        self.assertEqual([(code, 2) for _, code in refusals for _ in "ab"],
                         [(r["problems"][0]["code"], r["status"]) for r in records])
        # A file that is not a log (an image named by a slip) is left as it was, and said so.
        image = os.path.join(self.dir, "image")
        with open(image, "wb") as f:
            f.write(b"\x02image")
        result = self.send("--bogus", "--log", host_path(image))
        self.assertIn("not recorded in", result.err)
        with open(image, "rb") as f:
            self.assertEqual(b"\x02image", f.read())


class Journal(SendTest):
    """The log and the trace: never a file a run could send nor another's; the guide's recipes."""

    def test_a_log_or_trace_is_never_an_image_nor_another_file(self):
        self.write_images(IMAGES)
        self.start_sim()
        os.mkdir(other := os.path.join(self.dir, "other"))
        made = {p: os.path.basename(p).encode() * 3 for p in (os.path.join(self.images, "GIL_CARD.BIN"),
                os.path.join(other, "TOK_CARD.BIN"), os.path.join(other, "notes.txt"))}
        for path, data in made.items():
            pathlib.Path(path).write_bytes(data)
        os.symlink("TOK_CARD.BIN", os.path.join(other, "runs.log"))
        os.symlink("dw_pump.bin", os.path.join(other, "new.log"))  # not there: it would be made
        dangling = [] if WINE_RUN else [(other + "/new.log", "leads to DW_PUMP.BIN, .* Pump 2 take for Wayne")]
        for path, said in [("gil_card.bin", "names GIL_CARD.BIN, .* Reader 1 and Reader 2 take for Gilbarco"),
                           (os.path.join(other, "TOK_CARD.BIN"), "names TOK_CARD.BIN, .* for Tokheim"),
                           (os.path.join(other, "runs.log"), "leads to TOK_CARD.BIN, "),
                           (os.path.join(other, "notes.txt"), "names .*notes.txt, a file that is not a (log|trace) of")
                           ] + dangling:  # Wine sees no link whose file is not there, and makes the file
            for option, check in ((o, c) for o in ("--log", "--trace") for c in ((), ("--check",))):
                result = self.send("--pump1", "gilbarco", "--baud", "2400", option, host_path(path), *check)
                self.assertEqual((2, 1), (result.status, len(re.findall(option + " " + said, result.err))), result)
                self.assertPortUntouched()
        self.assertRegex(self.send("--bogus", "--log", host_path((dangling + [(other + "/runs.log",)])[0][0])).err,
                         "not recorded in .*: it leads to (DW_PUMP|TOK_CARD).BIN")
        for log, trace, status in (("log", "trace", 0), ("trace", "log", 2), ("log", "trace", 0)):  # its own
            self.assertStatus(self.send("--pump1", "gilbarco", "--log", "../" + log, "--trace", "../" + trace), status)
        self.assertEqual(sorted(made) + ["TOK_CARD.BIN", "new.log", "notes.txt", "runs.log"], sorted(
            p for p in made if pathlib.Path(p).read_bytes() == made[p]) + sorted(os.listdir(other)))

    def test_the_guides_jq_recipes_hold_on_a_log_with_a_cut_line(self):
        self.write_images(IMAGES)
        self.start_sim()
        self.assertStatus(self.send("--pump1", "gilbarco", "--log", host_path(log := os.path.join(self.dir, "runs.log"))), 0)
        began, record = pathlib.Path(log).read_text().splitlines()
        run, unended = json.loads(began)["run"], ["%016x" % n for n in range(3)]
        lines = [began.replace(run, unended[0]), began, record, began[:90], began.replace(run, unended[1]),
                 began.replace(run, "f" * 16), record.replace(run, "f" * 16), began.replace(run, unended[2])]
        with open(log, "w") as f:  # a line cut short in the middle, and runs that never ended after it
            f.write("\n".join(lines) + "\n")
        guide = pathlib.Path(__file__).parent.joinpath("../../docs/guide.md").read_text().split("\n## 13.")[1]
        recipes = [b for b in re.findall(r"(?m)(?:^    .*\n)+", guide.split("\n## 20.")[0]) if "    jq " in b]
        out = [subprocess.run(["bash", "-e", "-o", "pipefail", "-c", b.replace("\n    ", "\n").strip()],
                              cwd=self.dir, capture_output=True, text=True) for b in recipes]
        self.assertEqual([(0, "")] * len(recipes), [(r.returncode, r.stderr) for r in out])
        self.assertEqual(unended, "".join(r.stdout for r in out).split())


@unittest.skipIf(WINE_RUN, "Linux's signals, and a file changed while the run goes")
class MendedInARun(SendTest):
    def start(self, *args):
        return subprocess.Popen(self.command(["--pump1", "gilbarco"] + list(args)),
                                cwd=self.images, env=self.env(), text=True,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def test_a_changed_image_is_not_sent_and_a_hang_up_leaves_its_record(self):
        stored = self.write_images({"POS.BIN": 13000, "PC_CC.BIN": 700, "GIL_PUMP.BIN": 10})
        self.start_sim()
        proc = self.start("--json")
        next(line for line in proc.stdout if '"index":2' in line)
        with open(os.path.join(self.images, "PC_CC.BIN"), "wb") as f:
            f.write(b"x" * 5000)
        out, err = proc.communicate(timeout=120)
        self.assertEqual(1, proc.returncode, err)  # a failed step: files went before it
        both = tuple(hashlib.sha256(d).hexdigest() for d in (stored["PC_CC.BIN"][:700], b"x" * 5000))
        self.assertEqual(1, err.count("changed since the check: its SHA-256 was %s, now %s" % both))
        self.assertEqual(["ok"], [t["outcome"] for t in self.report()])
        record = json.loads(out.splitlines()[-1])
        self.assertEqual(("changed",) + both + ("failed",), tuple(record["steps"][-1].get(k, record[
            "ended"]) for k in ("result", "sha256_checked", "sha256_read", "ended")))
        self.assertNotIn("blocks", record["steps"][-1])  # not read: no count, not -1

        log = os.path.join(self.dir, "log")
        proc, _ = self.run_to_block_3("--log", log, "--verbose")
        proc.send_signal(signal.SIGHUP)
        proc.communicate(timeout=60)
        self.assertEqual(130, proc.returncode)
        with open(log) as f:
            self.assertEqual(["began", "interrupted"],
                             [r.get("ended", r["event"]) for r in map(json.loads, f)])

    def test_a_run_killed_outright_leaves_every_frame_it_sent_and_its_beginning(self):
        self.write_images(IMAGES)
        self.start_sim(args=["--verbose", "--fault", "silent-block=1@1"])
        log, trace = os.path.join(self.dir, "log"), os.path.join(self.dir, "trace")
        proc = self.start("--log", log, "--trace", trace, "--operator", "Jo")
        sim_log = os.path.join(self.sim.dir, "sim.log")
        with open(sim_log) as seen:  # block 1 sent again, the time-out before its next send
            driver.wait_for(lambda: "frame not answered" in seen.read(), 30, what="a resend")
        proc.kill()
        proc.communicate()
        driver.wait_for(self.sim.report, 10, what="the transfer's end")  # 3 s of silence
        sends = self.report()[0]["sends"]
        self.assertEqual([1, 2], sends)  # block 0 taken, block 1 sent twice
        with open(trace) as f:
            self.assertEqual(sum(sends), sum("> block" in line for line in f))
        with open(log) as f:
            (began,) = [json.loads(line) for line in f]
        self.assertEqual(("began", "COM1", "Jo", ["POS.BIN", "PC_CC.BIN", "PC_CC.BIN", "GIL_PUMP.BIN"]),
                         (began["event"], began["port"], began["operator"],
                          [i["file"] for i in began["images"]]))
        self.assertTrue(began["run"] and began["started"] and began["user"])

    def test_an_interrupt_takes_the_answer_in_flight_and_one_during_wait_nothing(self):
        self.write_images({"POS.BIN": 13000, "PC_CC.BIN": 10, "GIL_PUMP.BIN": 10})
        self.start_sim(args=["--fault", "late-ack=3:1000@1"])  # inside the 1.5 s time-out
        proc = self.start("--json")
        seen = next(line for line in proc.stdout if '"index":2' in line)
        time.sleep(0.3)  # block 3 has gone, its ACK is due at 1 s (slower: the counts agree too)
        proc.send_signal(signal.SIGTERM)
        out = (seen + proc.communicate(timeout=60)[0]).splitlines()
        self.sim.stop()
        took = len(self.sim.report()[0]["sends"])  # the blocks the controller took
        pos, last = json.loads(out[-1])["controller"][0], json.loads([l for l in out if '"block",' in l][-1])
        self.assertEqual((130, "partial", took, took - 1, "ACK"), (proc.returncode, pos["state"], pos[
            "taken"], last["index"], last["answer"]))
        self.start_sim(args=["--fault", "silent-header"])
        proc = self.start("--wait", "60")
        next(line for line in proc.stdout if "sending it again" in line)
        proc.send_signal(signal.SIGINT)
        self.assertIn("before the controller took anything: it holds nothing", proc.communicate()[1])


@unittest.skipIf(WINE_RUN, "strace, file size limits and flock are Linux's")
class OnTheDisk(SendTest):
    """The log as a journal: nothing is sent before the run's beginning is on the disk, and no
    writer's take-back erases another's line."""

    def traced(self, args, strace=(), limit=None):  # a limit's strace writes no file itself
        calls = os.devnull if limit else os.path.join(self.dir, "calls")
        env = self.env()  # the leak checker cannot work under ptrace
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
        return subprocess.Popen(["strace", "-f", "-o", calls] + list(strace) + self.command(args),
                                cwd=self.images, env=env, text=True, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, preexec_fn=limit)

    def test_nothing_is_sent_before_the_beginning_is_on_the_disk(self):
        self.write_images(IMAGES)
        link, log = self.start_sim(), os.path.join(self.dir, "log")
        run = self.traced(["--pump1", "gilbarco", "-q", "--log", log],
                          ["-e", "trace=write,fsync,openat"])
        self.assertEqual(0, run.wait(60), run.stderr.read())
        calls = [re.sub(r"^\d+ +", "", c) for c in pathlib.Path(self.dir, "calls").open()]
        at = lambda pattern: [i for i, c in enumerate(calls) if re.match(pattern, c)]  # noqa
        (began,), (record,) = at(r'write\(\d+, "\{\\"event\\":\\"began'), at(r'write.*record')
        fd = re.match(r"write\((\d+)", calls[began]).group(1)
        synced, port = at(r"fsync\(%s\) += 0" % fd), at(r'openat\(.*"%s"' % re.escape(link))
        self.assertTrue(began < synced[0] < port[0] and record < synced[1], calls)
        # A beginning that cannot be written sends nothing, and says the cause.
        os.mkfifo(fifo := os.path.join(self.dir, "fifo"))
        pathlib.Path(self.dir, "runs.log").write_bytes(b"")  # named in another case: that file
        for args, status in ((("--bogus",), 2), (("--pump1", "gilbarco", "--check", "--no-port"), 0)):
            self.assertStatus(self.send(*args, "--log", os.path.join(self.dir, "RUNS.LOG")), status)
        self.assertEqual(["runs.log"], [n for n in os.listdir(self.dir) if n.lower() == "runs.log"])
        pathlib.Path(self.dir, "RUNS.LOG").write_bytes(b"")  # and now its twin
        pathlib.Path(log).write_bytes(pathlib.Path(log).read_bytes() + b"x" * 2048)
        past = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (1024, 1024))  # noqa: E731
        # A trace's pipe with no reader is refused as the log's is, not waited on for ever.
        for option, log, limit, status, words in (("--log", "/dev/full", None, 5, "No space left on device"),
                                                  ("--log", log, past, 5, "File too large"),
                                                  ("--log", fifo, None, 2, "a pipe that no program reads"),
                                                  ("--trace", fifo, None, 2, "a pipe that no program reads"),
                                                  ("--log", os.path.join(self.dir, "Runs.Log"), None, 2, "holds")):
            run = subprocess.run(self.command(["--pump1", "gilbarco", "--baud", "2400", "--json",
                                               option, log]), cwd=self.images, env=self.env(),
                                 preexec_fn=limit, capture_output=True, text=True, timeout=60)
            self.assertEqual(status, run.returncode, run.stderr)
            self.assertIn(words, run.stderr)
            self.assertIn(words, json.loads(run.stdout.splitlines()[-1])["message"])
            self.assertPortUntouched()

    def test_a_take_back_never_erases_another_writers_line(self):
        log = os.path.join(self.dir, "log")
        first = b'{"event":"record","run":"before"}\n'
        pathlib.Path(log).write_bytes(first)
        cut = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (os.path.getsize(log) + 40,) * 2)  # noqa
        records = lambda: [json.loads(line)["run"] for line in open(log)]  # noqa: E731
        # The first writer's record is cut by its size limit, its take-back held back a second;
        # the second writer waits for it and keeps its line.
        cutShort = self.traced(["--bogus", "--log", log],
                               ["-e", "inject=ftruncate:delay_enter=1000000"],
                               cut)
        driver.wait_for(lambda: os.path.getsize(log) > len(first), 10, what="the cut record")
        self.assertStatus(self.send("--bogus", "--log", log), 2)
        self.assertEqual(5, cutShort.wait(30))
        self.assertIn("File too large", cutShort.stderr.read())
        self.assertEqual(2, len(records()))
        # A log that cannot be cut (append-only) keeps the cut line; the next starts its own.
        again = self.traced(["--bogus", "--log", log], ["-e", "inject=ftruncate:error=EPERM"], cut)
        self.assertEqual(5, again.wait(30))
        self.assertIn("a cut line of it stays in the log", again.stderr.read())
        self.assertStatus(self.send("--bogus", "--log", log), 2)
        lines = pathlib.Path(log).read_text().splitlines()
        self.assertEqual((4, "record"), (len(lines), json.loads(lines[-1])["event"]))
        # A writer that holds the lock longer than the wait: said, and nothing written.
        with open(log, "a") as holder:
            fcntl.flock(holder, fcntl.LOCK_EX)
            held = self.send("--bogus", "--log", log)
        self.assertEqual((5, 4), (held.status, len(open(log).read().splitlines())))
        self.assertIn("another program kept the log locked for 5 s", held.err)


if __name__ == "__main__":
    unittest.main(verbosity=2)
