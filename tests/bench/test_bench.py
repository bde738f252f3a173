"""Checks of the benchmark's own arithmetic and run checks, without Wine or the simulator:
the wire bound of a clean set must be the figure the protocol gives (a 13,000-byte file,
102 blocks, cannot go faster than 7.38 s at 19200 baud or 14.5 s at 9600), resends must
count, and a run that was not the full set must never be timed.

    python3 tests/bench/test_bench.py
"""

import hashlib
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                                "bench"))
import bench  # noqa: E402


def clean_lines(hashes, baud, blocks=102, resends=0):
    """Report lines of a set sent once each: header, ACK, count, blocks (and resends)."""
    lines = []
    for ordinal, (name, file_id, _) in enumerate(bench.SET, 1):
        sends = blocks + (resends if ordinal == 1 else 0)
        lines.append({"ordinal": ordinal, "id": file_id, "outcome": "ok", "baud": baud,
                      "sha256": hashes[name], "rx": 6 + 1 + 6 + 133 * sends,
                      "tx": 2 + 1 + sends})
    return lines


class WireBound(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.hashes = bench.make_images(cls.dir.name)

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def test_a_clean_set_is_seven_times_the_per_file_floor(self):
        for baud, per_file in ((19200, 7.38), (9600, 14.5)):
            bound = bench.check_report(clean_lines(self.hashes, baud), baud, self.hashes)
            self.assertAlmostEqual(7 * per_file, bound, delta=7 * 0.01)

    def test_resends_lengthen_the_bound_by_their_wire_time(self):
        base = bench.check_report(clean_lines(self.hashes, 9600), 9600, self.hashes)
        more = bench.check_report(clean_lines(self.hashes, 9600, resends=4), 9600, self.hashes)
        self.assertAlmostEqual(4 * 134 * 10 / 9600.0, more - base, places=6)

    def test_images_are_hashed_as_the_device_stores_them(self):
        with open(os.path.join(self.dir.name, "POS.BIN"), "rb") as f:
            data = f.read()
        self.assertEqual(13000, len(data))
        self.assertEqual(hashlib.sha256(data + bytes(56)).hexdigest(), self.hashes["POS.BIN"])

    def test_a_run_that_is_not_the_full_set_is_refused(self):
        broken = {
            "short": clean_lines(self.hashes, 19200)[:6],
            "failed": [dict(l, outcome="failed") if l["id"] == "5" else l
                       for l in clean_lines(self.hashes, 19200)],
            "order": [dict(l, id={"4": "5", "5": "4"}.get(l["id"], l["id"]))
                      for l in clean_lines(self.hashes, 19200)],
            "data": [dict(l, sha256="0" * 64) if l["id"] == "6" else l
                     for l in clean_lines(self.hashes, 19200)],
            "rate": [dict(l, baud=9600) for l in clean_lines(self.hashes, 19200)],
        }
        for what, lines in broken.items():
            with self.subTest(what):
                with self.assertRaises(RuntimeError):
                    bench.check_report(lines, 19200, self.hashes)


if __name__ == "__main__":
    unittest.main()
