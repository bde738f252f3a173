"""The makes of pump and card-reader drivers as resources/makes.def has them, read from that
file: the tools that drive or feed the program take the menus and the catalog from there,
so a new make is one row of makes.def for them too.
"""

import collections
import os
import re

RESOURCES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "resources")
MAKES_DEF = os.path.join(RESOURCES, "makes.def")

# The entries are the string ids' names (IDS_GIL_PUMP), the files their file names.
Make = collections.namedtuple("Make", "label key pump_entry pump_file reader_entry reader_file")

# A row: the macro, then its arguments up to the closing parenthesis outside a string (a
# label may hold one, "Deer (LTS)").
ROW = re.compile(r'^(PUMP_READER_MAKE|PUMP_MAKE)\(((?:"[^"]*"|[^()"])*)\)', re.M)


def read(path=MAKES_DEF):
    """Every row of makes.def in menu order; reader_file is None for a make with no readers."""
    with open(path) as f:
        text = f.read()
    makes = []
    for macro, args in ROW.findall(text):
        # label, key, Pump 1 and Pump 2 commands, pump entry and file; then the same for the
        # readers where the make has them.
        values = [a or b for a, b in re.findall(r'"([^"]*)"|(\w+)', args)]
        readers = values[8:10] if macro == "PUMP_READER_MAKE" else [None, None]
        makes.append(Make(values[0], values[1], values[4], values[5], *readers))
    if not makes:
        raise ValueError("%s: no rows of makes read" % path)
    return makes


def menu_labels(menu, makes=None):
    """The entries of a make menu ("Pump 1", "Reader2", ...) top to bottom, as the program
    makes them from the rows: the makes it offers, then "Select"."""
    makes = makes or read()
    readers = not menu.startswith("Pump")
    return [m.label for m in makes if not readers or m.reader_file] + ["Select"]


def catalog(makes=None):
    """Every driver file the rows name, in the order of their string ids (resource.h), the
    order the catalog was first written in: a new make's files come last."""
    makes = makes or read()
    with open(os.path.join(RESOURCES, "resource.h")) as f:
        ids = {name: int(n) for name, n in re.findall(r"#define (IDS_\w+) (\d+)", f.read())}
    entries = [(ids[m.pump_entry], m.pump_file) for m in makes]
    entries += [(ids[m.reader_entry], m.reader_file) for m in makes if m.reader_file]
    return [name for _, name in sorted(entries)]
