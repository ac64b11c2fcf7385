"""The installation folder: the module built into this environment, copied
into the folder it is to be imported from, with the model layout beside it
(placeholder files: the module only checks that they exist, never opens
them), imported from there and checked by the module's own installation
check. The launcher, the benchmarks and the tests install it here alike.

    python -m support.installation FOLDER    (FOLDER holds the copied module)
"""

import importlib.machinery
import importlib.util
import shutil
import subprocess
import sys
from pathlib import Path

from .defaults import LAYOUT


def copy_module(home):
    """Copies the module built into this environment (and its stub) into
    `home`, the folder it is to be imported from, where its installation
    check looks; returns `home`. Copied, not built again: the environment's
    build is the one every host, test and benchmark runs."""
    spec = importlib.util.find_spec("dorvane")
    if spec is None or spec.origin is None:
        raise RuntimeError("dorvane is not installed in this environment (bash scripts/setup builds it)")
    home = Path(home)
    home.mkdir(parents=True, exist_ok=True)
    built = Path(spec.origin)
    for old in home.glob("dorvane*.so"):
        old.unlink()  # one built for another interpreter would be imported first
    shutil.copy2(built, home / built.name)
    if built.with_name("dorvane.pyi").exists():
        shutil.copy2(built.with_name("dorvane.pyi"), home / "dorvane.pyi")
    return home


def lay_out(root):
    """Creates under `root` what the layout lacks, each file empty; what is
    there already is left as it is. Returns the paths made."""
    root = Path(root)
    made = []
    for folder, files in LAYOUT.items():
        if not (root / folder).is_dir():
            (root / folder).mkdir()
            made.append(root / folder)
        for name in files:
            path = root / folder / name
            if not path.is_file():
                path.touch()
                made.append(path)
    return made


def load(home):
    """The module imported from `home`, ahead of any other copy: it looks
    for its model folders beside its own file. Imported from that folder
    alone, which stays off the path; every later `import dorvane` of the
    process gets this one."""
    home = Path(home).resolve()
    if "dorvane" not in sys.modules:
        spec = importlib.machinery.PathFinder.find_spec("dorvane", [str(home)])
        if spec is None:
            raise RuntimeError(f"no dorvane module in {home}")
        module = importlib.util.module_from_spec(spec)
        sys.modules["dorvane"] = module
        spec.loader.exec_module(module)
    dorvane = sys.modules["dorvane"]
    if Path(dorvane.__file__).resolve().parent != home:
        raise RuntimeError(f"dorvane was imported from {dorvane.__file__}, not from {home}")
    return dorvane


def verify(dorvane):
    """Raises unless the module's own check finds its installation complete;
    returns what the check answered."""
    checked = dorvane.check_project_structure()
    if "error" in checked:
        raise RuntimeError(f"the installation beside {dorvane.__file__} is incomplete: {checked}")
    return checked


def install(home):
    """The module copied into `home` with the layout beside it, checked by
    the module in a child interpreter (this one may have imported another
    copy already); returns `home`."""
    copy_module(home)
    lay_out(home)
    checked = subprocess.run(
        [sys.executable, "-m", "support.installation", str(home)],
        cwd=Path(__file__).resolve().parent.parent,
        capture_output=True,
        text=True,
    )
    if checked.returncode != 0:
        raise RuntimeError(checked.stderr.strip() or f"the installation in {home} failed its check")
    return Path(home)


def main(folder):
    root = Path(folder).resolve()
    made = lay_out(root)
    try:
        checked = verify(load(root))
    except RuntimeError as error:
        raise SystemExit(str(error)) from None
    print(f"installation in {root}: {len(made)} placeholder(s) created; check: {checked}")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    main(sys.argv[1])
