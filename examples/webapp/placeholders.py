"""Lays out placeholder model files beside an installed dorvane.

The module only checks that its model folders and files exist; it never opens
them. Rather than keep a copy of that list here, this asks the module's own
installation check what is missing and creates it, empty, until the check
passes.

    python placeholders.py FOLDER    (FOLDER holds the built module)
"""

import re
import sys
from pathlib import Path

FOLDER_MISSING = re.compile(r"^Code is not complete\. '(.+)' folder is missing\.$")
FILES_MISSING = re.compile(r"^Files not found in '(.+)': (.+)$")


def lay_out(check, root):
    """Creates what `check()` reports missing under `root`; returns the paths made."""
    made = []
    for _ in range(100):
        result = check()
        if "error" not in result:
            return made
        message = result["error"]
        if m := FOLDER_MISSING.match(message):
            path = root / m.group(1)
            path.mkdir()
            made.append(path)
        elif m := FILES_MISSING.match(message):
            for name in m.group(2).split(", "):
                path = root / m.group(1) / name
                path.write_bytes(b"")
                made.append(path)
        else:
            raise RuntimeError(f"unexpected installation check message: {message}")
    raise RuntimeError("the installation check still fails after laying out placeholders")


def main(folder):
    root = Path(folder).resolve()
    sys.path.insert(0, str(root))
    import dorvane

    if Path(dorvane.__file__).resolve().parent != root:
        raise SystemExit(f"dorvane was imported from {dorvane.__file__}, not from {root}")
    made = lay_out(dorvane.check_project_structure, root)
    print(f"installation in {root}: {len(made)} placeholder(s) created; check: {dorvane.check_project_structure()}")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    main(sys.argv[1])
