"""The package's type information: mypy --strict accepts a typed use of every name of kepi._sys
and catches wrong argument types."""

import os
import subprocess
import sys
from pathlib import Path

import kepi


EXAMPLE = Path(__file__).with_name("typing_example.py")
# The directory holding the package: found there, it is typed only through its py.typed marker.
PACKAGE_ROOT = str(Path(kepi.__file__).resolve().parents[1])

MISUSE = """\
import kepi._sys as ke
from kepi.api import InstanceCreateInfo, ModuleCompileInfo

instance = ke._ke_create_instance(InstanceCreateInfo())
ke._ke_load_module(instance, bytearray(b"storage"))
ke._ke_compile_module(instance, "define void f() {}")
ke._ke_compile_module(instance, ModuleCompileInfo())
ke.factorial("3")
"""


def mypy(path, tmp_path):
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    env.pop("MYPYPATH", None)
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
         str(path)], capture_output=True, text=True, env=env, cwd=tmp_path)


def test_typed_use_of_every_name_passes(tmp_path):
    result = mypy(EXAMPLE, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_wrong_argument_types_are_caught(tmp_path):
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE)
    result = mypy(misuse, tmp_path)
    assert result.returncode == 1
    errors = [line for line in result.stdout.splitlines() if ": error: " in line]
    assert [line.split(":")[1] for line in errors] == ["5", "6", "8"]
    assert '"bytearray"; expected "bytes"' in errors[0]
    assert '"str"; expected "ModuleCompileInfo"' in errors[1]
    assert '"str"; expected "int"' in errors[2]
