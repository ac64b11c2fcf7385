"""Lays out placeholder model files beside an installed dorvane.

The module only checks that its model folders and files exist; it never opens
them. This creates the missing ones, empty, from the default layout
(defaults.py), then asks the module's own installation check whether the
installation is complete.

    python placeholders.py FOLDER    (FOLDER holds the built module)
"""

import sys
from pathlib import Path

from defaults import lay_out


def main(folder):
    root = Path(folder).resolve()
    sys.path.insert(0, str(root))
    import dorvane

    if Path(dorvane.__file__).resolve().parent != root:
        raise SystemExit(f"dorvane was imported from {dorvane.__file__}, not from {root}")
    made = lay_out(root)
    checked = dorvane.check_project_structure()
    if "error" in checked:
        raise SystemExit(f"installation in {root} is still incomplete after laying out placeholders: {checked}")
    print(f"installation in {root}: {len(made)} placeholder(s) created; check: {checked}")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    main(sys.argv[1])
