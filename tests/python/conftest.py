"""The tests run against the package staged in a build tree (build/dev/pkg, or the one ctest
names), which PYTHONPATH must name: a kepi found anywhere else (an installed one, when the build
tree is missing) or a staged copy older than the sources stops the run before any test."""

import os
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[2] / "python" / "kepi"
HOW = ("build the module first (cmake --build --preset dev --target _sys) and run "
       "PYTHONPATH=build/dev/pkg python -m pytest tests/python")


def staged_files():
    return sorted(p.relative_to(SOURCE) for p in SOURCE.rglob("*")
                  if p.is_file() and (p.suffix in (".py", ".pyi") or p.name == "py.typed"))


def problem_with_the_tree_under_test():
    roots = [Path(entry).resolve() for entry in os.environ.get("PYTHONPATH", "").split(os.pathsep) if entry]
    if not roots:
        return "PYTHONPATH names no build tree"
    try:
        import kepi._sys
    except ImportError as e:
        return f"kepi._sys cannot be imported from {os.environ['PYTHONPATH']} ({e})"
    package = Path(kepi.__file__).resolve().parent
    if package.parent not in roots:
        return f"kepi was imported from {package}, not from the build tree {os.environ['PYTHONPATH']}"
    if Path(kepi._sys.__file__).resolve().parent != package:
        return f"kepi._sys was imported from {kepi._sys.__file__}, not from {package}"
    if SOURCE.is_dir():
        stale = [str(name) for name in staged_files()
                 if not (package / name).is_file() or (package / name).read_bytes() != (SOURCE / name).read_bytes()]
        if stale:
            return f"the package staged in {package} is not the one in {SOURCE} ({', '.join(stale)} differ)"
    return None


def pytest_configure(config):
    problem = problem_with_the_tree_under_test()
    if problem:
        raise pytest.UsageError(f"{problem}; {HOW}")
