"""Tests of scripts/release-pack: the guide page made from Markdown (what each construct
becomes, pictures inside the page), the zip (entries, order, times, permissions, sums) and
the installer's version made from the release's.
Whether two builds give the same bytes is scripts/check-reproducible's business.

    /usr/bin/python3 tests/release/test_release_pack.py   (Debian's, with python3-mistune)
"""

import hashlib
import os
import re
import tempfile
import unittest
import zipfile

from packing import pack

# A 1 x 1 PNG is enough to follow a picture into the page.
PNG = bytes.fromhex("89504e470d0a1a0a0000000d4948445200000001000000010806000000"
                    "1f15c4890000000d49444154789c6360000002000100e221bc330000"
                    "000049454e44ae426082")


class GuidePage(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        os.makedirs(os.path.join(self.dir, "guide"))
        with open(os.path.join(self.dir, "guide", "a.png"), "wb") as f:
            f.write(PNG)

    def page(self, text):
        """The page with its layout whitespace folded: what a browser shows is compared."""
        return re.sub(r">\s+<", "><", " ".join(pack.markdown_to_html(text, self.dir).split()))

    def test_lists_nest_and_keep_their_indented_continuation_lines(self):
        html = self.page("- first item\n  goes on\n- second\n  - inner\n\n"
                         "1. one\n   more\n2. two\n")
        self.assertIn("<li>first item goes on</li>", html)
        self.assertIn("<li>second<ul><li>inner</li></ul></li>", html)
        self.assertIn("<li>one more</li>", html)
        self.assertNotIn("<p>goes on", html)

    def test_table_code_and_markup(self):
        html = self.page("| A | B |\n|---|---|\n| `[-]` | **x** < y |\n")
        self.assertIn("<th>A</th><th>B</th>", html)
        self.assertIn("<td><code>[-]</code></td><td><strong>x</strong> &lt; y</td>", html)
        self.assertNotIn("---", html)

    def test_pictures_travel_inside_the_page(self):
        html = self.page("# T\n\n![The \"start-up\" window & <b>](guide/a.png)\n")
        self.assertIn('alt="The &quot;start-up&quot; window &amp; &lt;b&gt;"', html)
        self.assertIn("data:image/png;base64,", html)
        self.assertNotIn("guide/a.png", html)
        self.assertIn("<title>T</title>", html)

    def test_a_missing_picture_stops_the_release(self):
        with self.assertRaises(FileNotFoundError):
            self.page("![gone](guide/none.png)\n")


class Package(unittest.TestCase):
    def test_entries_times_permissions_and_sums(self):
        work = tempfile.mkdtemp()
        exe = os.path.join(work, "marvane.exe")
        with open(exe, "wb") as f:
            f.write(b"MZ" + bytes(100))
        guide = os.path.join(work, "guide.md")
        with open(guide, "w") as f:
            f.write("# Guide\n\nText.\n")
        out = os.path.join(work, "dist")

        class Args:
            version, commit, epoch = "1.2.3.4", "abc", 1733650000
            msi = False  # the zip alone: the installer has a suite of its own
        args = Args()
        args.out, args.programs, args.guide = out, [exe], guide
        zip_path = pack.pack(args)

        self.assertEqual("marvane-1.2.3.4-win32.zip", os.path.basename(zip_path))
        z = zipfile.ZipFile(zip_path)
        self.assertEqual(["marvane-1.2.3.4/marvane.exe", "marvane-1.2.3.4/guide.html",
                          "marvane-1.2.3.4/README.txt"], z.namelist())
        for info in z.infolist():
            self.assertEqual((2024, 12, 8, 9, 26, 40), info.date_time)  # the epoch, in UTC
        modes = [info.external_attr >> 16 & 0o777 for info in z.infolist()]
        self.assertEqual([0o755, 0o644, 0o644], modes)
        readme = z.read("marvane-1.2.3.4/README.txt")
        self.assertIn(b"Built from commit abc.\r\n", readme)
        self.assertNotIn(b"\n", readme.replace(b"\r\n", b""))

        with open(os.path.join(out, "SHA256SUMS")) as f:
            sums = [line.split() for line in f]
        with open(zip_path, "rb") as f:
            self.assertEqual([hashlib.sha256(f.read()).hexdigest(),
                              "marvane-1.2.3.4-win32.zip"], sums[0])
        self.assertEqual([hashlib.sha256(b"MZ" + bytes(100)).hexdigest(),
                          "marvane-1.2.3.4/marvane.exe"], sums[1])
        self.assertEqual(4, len(sums))


class PackageVersion(unittest.TestCase):
    def test_every_later_release_is_a_later_package_within_windows_installers_limits(self):
        # Windows Installer compares three fields, at most 255, 255 and 65535.
        for release, package in (("1.0.0.1", "1.0.1"), ("1.0.0.2", "1.0.2"),
                                 ("1.0.0.255", "1.0.255"), ("1.0.1.0", "1.0.256"),
                                 ("1.2.3.4", "1.2.772"), ("255.255.255.255", "255.255.65535")):
            self.assertEqual(package, pack.package_version(release), release)
        for release in ("1.0.0.256", "1.0.256.0", "1.256.0.0", "256.0.0.0", "1.0.1"):
            with self.assertRaises(ValueError, msg=release):
                pack.package_version(release)


if __name__ == "__main__":
    unittest.main()
