"""The package's type information: mypy --strict accepts a typed use of everything the interface
allows (and the runtime takes it), refuses each misuse the runtime refuses, and stubtest finds the
stub of kepi._sys true to the module."""

import os
import re
import runpy
import subprocess
import sys
from pathlib import Path

import pytest

import kepi


EXAMPLE = Path(__file__).with_name("typing_example.py")
# The directory holding the package: found there, it is typed only through its py.typed marker.
PACKAGE_ROOT = str(Path(kepi.__file__).resolve().parents[1])

PRELUDE = """\
import types
from typing import List, Optional

import kepi._sys as ke
from kepi.api import ApplicationInfo, InstanceCreateInfo, ModuleCompileInfo, ModuleSourceInfo, VersionInfo
from kepi.api.ext.kelog import LogCreateInfoEXT, LogLevelEXT

instance = ke._ke_create_instance(InstanceCreateInfo())


class NoNodeId:
    application_info = ApplicationInfo()
    enabled_extensions: List[str] = []
    ext: List[LogCreateInfoEXT] = []


class BytesSource:
    source_type = 0
    filename: Optional[str] = None
    data = b"define"


class BytesCompileInfo:
    sources = [BytesSource()]
"""

# Each misuse, and the text of mypy's error on its first line; the runtime raises TypeError for each.
# Two that the runtime refuses have no type to catch them: a str is a sequence of str, and
# integer ranges are not types.
MISUSES = [
    ('ke._ke_load_module(instance, bytearray(b"storage"))', '"bytearray"; expected "bytes"'),
    ('ke._ke_compile_module(instance, "define void f() {}")', '"str"; expected "_ModuleCompileInfoLike"'),
    ("ke._ke_compile_module(instance, BytesCompileInfo())",
     '"BytesCompileInfo"; expected "_ModuleCompileInfoLike"'),
    ("ke._ke_create_instance(NoNodeId())", '"NoNodeId"; expected "_InstanceCreateInfoLike"'),
    ("ke._ke_create_instance(InstanceCreateInfo(), 1)", 'Too many arguments for "_ke_create_instance"'),
    ('ke.factorial("3")', '"str"; expected "SupportsIndex"'),
    ("ke.fibonacci(1.0)", '"float"; expected "SupportsIndex"'),
    ("ke.Instance()", 'Too few arguments for "Instance"'),
    ("ke.Module(instance)", '"Instance"; expected "Never"'),
    ("class MyInstance(ke.Instance): pass", 'Cannot inherit from final class "Instance"'),
    ("class MyModule(ke.Module): pass", 'Cannot inherit from final class "Module"'),
    ("LogCreateInfoEXT(LogLevelEXT.Info)", 'No overload variant of "LogCreateInfoEXT" matches argument type "LogLevelEXT"'),
    ("LogCreateInfoEXT(callback=None)", 'No overload variant of "LogCreateInfoEXT" matches argument type "None"'),
    ('LogCreateInfoEXT("2", print)', 'No overload variant of "LogCreateInfoEXT" matches argument types "str"'),
    ("class Sub(LogCreateInfoEXT): pass\nInstanceCreateInfo(ext=[Sub(callback=print)])",
     'Cannot inherit from final class "LogCreateInfoEXT"'),
    ("InstanceCreateInfo(ext=[types.SimpleNamespace(level=2, callback=print)])",
     '"SimpleNamespace"; expected "LogCreateInfoEXT"'),
    ("InstanceCreateInfo(ext=[1])", '"int"; expected "LogCreateInfoEXT"'),
    ('InstanceCreateInfo(enabled_extensions=[b"__EXT_kestrane_logger"])', '"bytes"; expected "str"'),
    ("InstanceCreateInfo(node_id=1.0)", '"float"; expected "SupportsIndex"'),
    ('VersionInfo(major="1")', '"str"; expected "SupportsIndex"'),
    ("ApplicationInfo((1, 2, 3))", '"tuple[int, int, int]"; expected "VersionInfo"'),
    ('ApplicationInfo(engine_name=None)', '"None"; expected "str"'),
    ('ModuleSourceInfo(data=b"define")', '"bytes"; expected "str"'),
    ("ModuleSourceInfo(filename=123)", '"int"; expected "str | None"'),
    ('ModuleSourceInfo(source_type="Assembly")', '"str"; expected "ModuleSourceType | SupportsIndex"'),
    ("ModuleCompileInfo(ModuleSourceInfo())", '"ModuleSourceInfo"; expected "Sequence[ModuleSourceInfo]"'),
]


def mypy(path, tmp_path, *more):
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    env.pop("MYPYPATH", None)
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
         str(path), *more], capture_output=True, text=True, env=env, cwd=tmp_path)


def test_typed_use_of_every_name_passes(tmp_path, capsys):
    result = mypy(EXAMPLE, tmp_path, str(Path(PACKAGE_ROOT) / "kepi"))  # the package's own code too
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout == "Success: no issues found in 6 source files\n"
    # `import kepi` alone gives kepi.api, to mypy and at run time.
    plain = tmp_path / "plain.py"
    plain.write_text("import kepi\n\nprint(kepi.api.VersionInfo(1, 2, 3).minor)\n")
    result = mypy(plain, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    run = subprocess.run([sys.executable, str(plain)], capture_output=True, text=True,
                         env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT))
    assert (run.returncode, run.stdout) == (0, "2\n"), run.stderr
    # What the types allow, the runtime takes.
    example = runpy.run_path(str(EXAMPLE))
    records, modules = example["records_and_handles"]()
    assert [r["message"] for r in records if r["message"].startswith("Application ")] == [
        "Application 'app' v1.1.7 using engine 'engine' v4.0.0 (node ID: 7)",
        "Application 'app' v1.2.3 using engine 'engine' v1.1.7 (node ID: 3)",
    ]
    assert len(modules) == 8 and all(type(m) is kepi._sys.Module for m in modules)
    assert example["numbers"]() == 120 + 55 + 1 + 13
    assert example["read_back"](kepi.api.VersionInfo(example["Index"](4)), kepi.api.ModuleSourceInfo(0)) == 4
    assert capsys.readouterr().out == ""  # the Warn-level callback saw nothing to print


def test_wrong_argument_types_are_caught(tmp_path):
    text, first_lines = PRELUDE, []
    for code, _ in MISUSES:
        text += "\n"
        first_lines.append(text.count("\n") + 1)
        text += code + "\n"
    misuse = tmp_path / "misuse.py"
    misuse.write_text(text)
    result = mypy(misuse, tmp_path)
    assert result.returncode == 1, result.stdout + result.stderr
    errors = {}
    for line in result.stdout.splitlines():
        match = re.match(r"[^:]+:(\d+): error: (.*)", line)
        if match:
            errors.setdefault(int(match[1]), []).append(match[2])
    assert sorted(errors) == first_lines, result.stdout
    for (code, expected), line in zip(MISUSES, first_lines):
        assert len(errors[line]) == 1 and expected in errors[line][0], (code, errors[line])
    # Each is a misuse indeed: the runtime refuses it too.
    names = {}
    exec(PRELUDE, names)
    for code, _ in MISUSES:
        with pytest.raises(TypeError):
            exec(code, dict(names))
            pytest.fail(f"the runtime took {code!r}")


def test_stub_matches_the_module(tmp_path):
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    env.pop("MYPYPATH", None)
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", os.devnull, "kepi._sys"],
                            capture_output=True, text=True, env=env, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found in 1 module" in result.stdout
