"""The facts both in a table the code is made from and in prose: the guide's makes against
resources/makes.def; the exit statuses of --help (MARVANE_SEND), the guide and README.txt,
and the guide's `ended` values, against send/exits.def."""

import os
import pathlib
import re
import subprocess
import sys
import unittest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools" / "wine"))
import makes  # noqa: E402

GUIDE = (ROOT / "docs" / "guide.md").read_text(encoding="utf-8")
EXITS = (ROOT / "send" / "exits.def").read_text()
STATUSES = [int(n) for n in re.findall(r"^EXIT_STATUS\((\d+),", EXITS, re.M)]


def table(header):
    """The cells of the guide's table under its header line, row by row."""
    rows = GUIDE.split(header + "\n")[1].split("\n\n")[0].split("\n")[1:]
    return [[c.strip() for c in r.strip("|").split("|")] for r in rows]


class Tables(unittest.TestCase):
    def test_the_guide_lists_the_makes_of_makes_def(self):
        self.assertEqual([[m.label, "`%s`" % m.pump_file, "`%s`" % m.reader_file
                           if m.reader_file else "(pumps only)"] for m in makes.read()],
                         table("| Make | Pump driver | Card-reader driver |"))

    def test_every_place_gives_the_exit_statuses_of_exits_def(self):
        self.assertEqual(STATUSES, [int(r[0]) for r in table("| Status | Meaning |")])
        self.assertEqual(sorted(re.findall(r'^RUN_END\(\w+, *"([^"]+)"', EXITS, re.M)), sorted(
            re.findall(r"`([a-z][a-z-]*)`", dict(table("| Field | What it is |"))["`ended`"])))
        # Wherever the guide's text names a status, it is one marvane-send exits with.
        self.assertLessEqual({int(n) for n in re.findall(r"\bstatus(?: is)? (\d+)", GUIDE)},
                             set(STATUSES))
        pack = {"__file__": str(ROOT / "scripts" / "release-pack")}  # its readme(), not main()
        exec((ROOT / "scripts" / "release-pack").read_text(), pack)
        readme = pack["readme"]("1", "0", ["marvane-send.exe"]).decode("ascii")
        self.assertEqual(STATUSES, [int(n) for n in re.findall(
            r"^ +(\d+)  ", readme.split("Exit status:")[1], re.M)])
        if os.environ.get("MARVANE_SEND"):
            said = subprocess.run([os.environ["MARVANE_SEND"], "--help"], capture_output=True,
                                  text=True).stdout.split("Exit status:")[1]
            self.assertEqual(STATUSES, [int(n) for n in re.findall(r"(?:^|; ) ?(\d+) ", said)])


if __name__ == "__main__":
    unittest.main()
