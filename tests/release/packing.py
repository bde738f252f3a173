"""scripts/release-pack as a module for the release tests, which call its functions: it has no
.py name to be imported by. ROOT is the checkout's folder."""

import importlib.machinery
import importlib.util
import os

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
_loader = importlib.machinery.SourceFileLoader(
    "release_pack", os.path.join(ROOT, "scripts", "release-pack"))
pack = importlib.util.module_from_spec(importlib.util.spec_from_loader("release_pack", _loader))
_loader.exec_module(pack)
