"""The facts written both in a table the code is made from and in prose for people: the makes
(resources/makes.def) against the guide's table of makes, and marvane-send's exit statuses
and endings (send/exits.def) against its --help, the guide and README.txt. A row added,
dropped or changed in one place and not the other fails here. MARVANE_SEND, when set, is the
program whose help is read."""

import importlib.machinery
import importlib.util
import os
import re
import subprocess
import sys
import unittest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path.insert(0, os.path.join(ROOT, "tools", "wine"))
import makes  # noqa: E402


def read(*path):
    with open(os.path.join(ROOT, *path), encoding="utf-8") as f:
        return f.read()


def exits():
    """send/exits.def's rows: {status: words} in order, and {ending's name: its status}."""
    text = re.sub(r"//.*", "", read("send", "exits.def"))
    statuses = {}
    for number, name, words in re.findall(r"EXIT_STATUS\((\d+),\s*(\w+),((?:\s*\"[^\"]*\")+)\)",
                                          text):
        statuses[int(number)] = ("".join(re.findall(r'"([^"]*)"', words)), name)
    by_name = {name: number for number, (_, name) in statuses.items()}
    endings = {ended: by_name[status]
               for ended, status in re.findall(r"RUN_END\(\w+,\s*\"([^\"]*)\",\s*(\w+)\)", text)}
    return {n: words for n, (words, _) in statuses.items()}, endings


def guide_table(guide, header):
    """The rows of the guide's table under `header` (its first line), cells stripped."""
    start = guide.index(header + "\n")
    rows = []
    for line in guide[start:].splitlines()[2:]:
        if not line.startswith("|"):
            return rows
        rows.append([cell.strip() for cell in line.strip("|").split("|")])
    return rows


class Tables(unittest.TestCase):
    def test_the_guide_lists_the_makes_of_makes_def(self):
        rows = guide_table(read("docs", "guide.md"), "| Make | Pump driver | Card-reader driver |")
        self.assertEqual([[m.label, "`%s`" % m.pump_file,
                           "`%s`" % m.reader_file if m.reader_file else "(pumps only)"]
                          for m in makes.read()], rows)

    def test_every_place_gives_the_exit_statuses_of_exits_def(self):
        statuses, endings = exits()
        guide = read("docs", "guide.md")
        self.assertEqual(list(statuses), [int(r[0]) for r in guide_table(guide,
                                                                         "| Status | Meaning |")])
        ended = next(r[1] for r in guide_table(guide, "| Field | What it is |")
                     if r[0] == "`ended`")
        self.assertEqual(sorted(endings), sorted(re.findall(r"`([a-z][a-z-]*)`", ended)))
        # Wherever the guide's text names a status, it is one marvane-send exits with.
        self.assertLessEqual(set(int(n) for n in re.findall(r"\bstatus(?: is)? (\d+)", guide)),
                             set(statuses))
        # README.txt: each status on a line of its own, numbers in order.
        loader = importlib.machinery.SourceFileLoader("release_pack",
                                                      os.path.join(ROOT, "scripts", "release-pack"))
        pack = importlib.util.module_from_spec(importlib.util.spec_from_loader("release_pack", loader))
        loader.exec_module(pack)
        text = pack.readme("1.0", "0" * 40, ["marvane-send.exe"]).decode("ascii")
        listed = text[text.index("Exit status:"):]
        self.assertEqual(list(statuses), [int(n) for n in re.findall(r"^ +(\d+)  ", listed,
                                                                    re.M)])
        send = os.environ.get("MARVANE_SEND")
        if send:
            help_text = subprocess.run([send, "--help"], capture_output=True, text=True).stdout
            said = " ".join(help_text[help_text.index("Exit status:"):].split())
            self.assertEqual("Exit status: %s." % "; ".join("%d %s" % s for s in statuses.items()),
                             said)


if __name__ == "__main__":
    unittest.main()
