"""Tests of scripts/check-links: links that resolve pass, and each kind of link that leads
nowhere is named with its file and line."""

import os
import subprocess
import sys
import tempfile
import unittest

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../scripts/check-links")
GUIDE = "# G\n\n## 1. Install\n\n![a](guide/a.png) Section 1, [install](#1-install).\n\n" \
    "## 2. The record: --log\n\n    [in code](nowhere.md)\n"
DEV = "# Dev\n\n## `send/`: marvane-send\n\n## Hé, déjà\n\n## Hé, déjà\n"


class CheckLinks(unittest.TestCase):
    def check(self, readme, guide="", pack="the guide, sections 1 to 2"):
        root = tempfile.mkdtemp()
        self.addCleanup(subprocess.run, ["rm", "-rf", root])
        for folder in ("docs/guide", "scripts"):
            os.makedirs(os.path.join(root, folder))
        for name, text in {"README.md": readme, "docs/guide.md": GUIDE + guide, "docs/dev.md": DEV,
                           "docs/guide/a.png": "", "scripts/release-pack": pack}.items():
            with open(os.path.join(root, name), "w", encoding="utf-8") as f:
                f.write(text)
        result = subprocess.run([sys.executable, CHECK, root], capture_output=True, text=True)
        return result.returncode, result.stdout

    def test_links_that_resolve_pass(self):
        # Anchors written by hand as the web view makes them: punctuation dropped, spaces as
        # hyphens, accented letters kept, a repeated heading numbered.
        status, out = self.check("[a](docs/dev.md#send-marvane-send) [b](docs/dev.md#hé-déjà-1) "
                                 "[c](docs/guide.md#2-the-record---log) [d](docs/) "
                                 "[e](https://example.com/x) `[f](gone.md)`\n")
        self.assertEqual((0, "check-links: all 7 links of 3 files resolve\n"), (status, out))

    def test_each_link_that_leads_nowhere_is_named(self):
        status, out = self.check(
            "[a](docs/gone.md)\n[b](docs/dev.md#send)\n[c](docs/guide/a.png#x)\n[d](../out.md)\n",
            guide="\n[dev](dev.md) ![b](guide/b.png) [c](#2-the-record---log) section 3\n",
            pack="the guide, sections 1 to 4")
        self.assertEqual(1, status)
        self.assertEqual("""README.md:1: docs/gone.md: no such file
README.md:2: docs/dev.md#send: no such heading in docs/dev.md
README.md:3: docs/guide/a.png#x: an anchor into a file that is not Markdown
README.md:4: ../out.md: outside the repository
docs/guide.md:11: dev.md: the guide goes out alone as guide.html: it may link only its own headings
docs/guide.md:11: guide/b.png: no such file
docs/guide.md:11: #2-the-record---log: the guide's page (scripts/release-pack) gives that heading another id
docs/guide.md:11: section 3: the guide has no such section
scripts/release-pack:1: section 4: the guide has no such section
check-links: 9 link(s) lead nowhere
""", out)


if __name__ == "__main__":
    unittest.main()
