"""Tests of scripts/check-links: a tree of Markdown files with links that resolve passes, and
each kind of link that leads nowhere is named with its file and line."""

import os
import subprocess
import sys
import tempfile
import unittest

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                     "check-links")

GUIDE = """# Guide

## 1. Install

![start](guide/a.png)

## 2. The record: --log

See section 1 and sections 1 to 2, [install](#1-install).

    [in code](nowhere.md)
"""


class CheckLinks(unittest.TestCase):
    def tree(self, readme, guide=GUIDE, pack="the guide, sections 1 to 2"):
        root = tempfile.mkdtemp()
        self.addCleanup(subprocess.run, ["rm", "-rf", root])
        os.makedirs(os.path.join(root, "docs", "guide"))
        os.makedirs(os.path.join(root, "scripts"))
        files = {"README.md": readme, "docs/guide.md": guide, "docs/guide/a.png": "",
                 "scripts/release-pack": pack,
                 "docs/dev.md": "# Dev\n\n## `send/`: marvane-send\n\n## Hé, déjà\n\n## Hé, déjà\n"}
        for name, text in files.items():
            with open(os.path.join(root, name), "w", encoding="utf-8") as f:
                f.write(text)
        result = subprocess.run([sys.executable, CHECK, root], capture_output=True, text=True)
        return result.returncode, result.stdout

    def test_links_that_resolve_pass(self):
        # Anchors as the web view makes them: punctuation dropped, spaces as hyphens, letters
        # kept with their accents, a repeated heading numbered.
        status, out = self.tree("[a](docs/dev.md#send-marvane-send) [b](docs/dev.md#hé-déjà-1)"
                                " [c](docs/guide.md#2-the-record---log) [d](docs/) "
                                "[e](https://example.com/x) `[f](gone.md)`\n")
        self.assertEqual(0, status, out)
        self.assertIn("all 7 links of 3 files resolve", out)

    def test_each_link_that_leads_nowhere_is_named(self):
        guide = GUIDE + "\n[dev](dev.md) ![gone](guide/b.png) [web](#2-the-record---log)\n" \
            "Section 3 tells more.\n"
        status, out = self.tree("# R\n\n[a](docs/gone.md)\n[b](docs/dev.md#send)\n"
                                "[c](docs/guide/a.png#x)\n[d](../outside.md)\n",
                                guide=guide, pack="the guide, sections 1 to 4")
        self.assertEqual(1, status, out)
        for line in ["README.md:3: docs/gone.md: no such file",
                     "README.md:4: docs/dev.md#send: no such heading in docs/dev.md",
                     "README.md:5: docs/guide/a.png#x: an anchor into a file that is not",
                     "README.md:6: ../outside.md: outside the repository",
                     "docs/guide.md:13: dev.md: the guide goes out alone as guide.html",
                     "docs/guide.md:13: guide/b.png: no such file",
                     "docs/guide.md:13: #2-the-record---log: the guide's page",
                     "docs/guide.md:14: section 3: the guide has no such section",
                     "scripts/release-pack:1: section 4: the guide has no such section"]:
            self.assertIn(line, out)
        self.assertIn("9 link(s) lead nowhere", out)


if __name__ == "__main__":
    unittest.main()
