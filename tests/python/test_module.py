"""The module surface of kepi._sys: import, exports, version, factorial and fibonacci."""

import math
import pathlib
import re
import subprocess
import sys
import textwrap
import tomllib

import pytest

import kepi._sys as s
from kepi.api import InstanceCreateInfo, ModuleCompileInfo


def fib(n):
    a, b = 0, 1
    for _ in range(n):
        a, b = b, a + b
    return a


class TestFactorial:
    @pytest.mark.parametrize("n", [0, 1, 2, 5, 19, 20])
    def test_values(self, n):
        assert s.factorial(n) == math.factorial(n)

    @pytest.mark.parametrize("n", [21, 22, 1000, 2**64 - 1])
    def test_overflow(self, n):
        with pytest.raises(OverflowError, match=r"^integer overflow$"):
            s.factorial(n)

    def test_negative_is_conversion_error(self):
        with pytest.raises(OverflowError) as e:
            s.factorial(-1)
        assert str(e.value) != "integer overflow"

    def test_too_large_is_conversion_error(self):
        with pytest.raises(OverflowError) as e:
            s.factorial(2**64)
        assert str(e.value) != "integer overflow"

    def test_float_names_argument(self):
        with pytest.raises(TypeError, match=r"^argument 'n': 'float' object cannot be interpreted as an integer$"):
            s.factorial(2.0)

    def test_index_protocol(self):
        class Three:
            def __index__(self):
                return 3

        assert s.factorial(Three()) == 6
        assert s.factorial(True) == 1

    def test_keyword(self):
        assert s.factorial(n=4) == 24


class TestFibonacci:
    @pytest.mark.parametrize("n", [0, 1, 2, 3, 10, 92, 93])
    def test_values(self, n):
        assert s.fibonacci(n) == fib(n)

    @pytest.mark.parametrize("n", [94, 95, 10**6, 2**64 - 1])
    def test_overflow(self, n):
        with pytest.raises(OverflowError, match=r"^integer overflow$"):
            s.fibonacci(n)


class TestArgumentBinding:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: s.factorial(), "factorial() missing 1 required positional argument: 'n'"),
            (lambda: s.factorial(1, 2), "factorial() takes 1 positional arguments but 2 were given"),
            (lambda: s.fibonacci(1, n=2), "fibonacci() got multiple values for argument 'n'"),
            (lambda: s.fibonacci(m=2), "fibonacci() got an unexpected keyword argument 'm'"),
            (lambda: s.fibonacci(n=1, m=2), "fibonacci() got an unexpected keyword argument 'm'"),
        ],
    )
    def test_errors(self, call, message):
        with pytest.raises(TypeError) as e:
            call()
        assert str(e.value) == message


class TestModuleSurface:
    def test_docs_and_signatures(self):
        assert s.factorial.__doc__ == "Computes the factorial of a number."
        assert s.factorial.__text_signature__ == "(n)"
        assert s.fibonacci.__doc__ == "Computes the fibonacci of a number."
        assert s.fibonacci.__text_signature__ == "(n)"
        assert s.__doc__

    def test_reimport_returns_same_module(self):
        code = (
            "import sys, kepi._sys as a; del sys.modules['kepi._sys']; "
            "import importlib; b = importlib.import_module('kepi._sys'); print(a is b)"
        )
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
        assert out.stdout.strip() == "True"

    def test_sub_interpreters_are_refused_first_or_later(self):
        # A sub-interpreter that got the module first used to hang at its first
        # log record; it is refused, and the main interpreter imports and logs
        # afterwards. Whatever goes wrong, the child must not hang.
        use = textwrap.dedent("""\
            import kepi._sys as s
            from kepi.api import InstanceCreateInfo
            from kepi.api.ext.kelog import LogCreateInfoEXT
            records = []
            s._ke_create_instance(InstanceCreateInfo(enabled_extensions=["__EXT_kestrane_logger"],
                                                     ext=[LogCreateInfoEXT(0, records.append)]))
        """)
        in_sub = ("try:\n" + textwrap.indent(use, "    ") +
                  "except ImportError as e:\n    refused = str(e)\n"
                  "else:\n    refused = None\n"
                  "assert refused == 'kepi._sys does not support sub-interpreters', refused\n")
        # The module is _interpreters from Python 3.13 on, _xxsubinterpreters before. A
        # sub-interpreter of the legacy kind (3.12 on made them isolated by default, and an
        # isolated one refuses the module before its initialiser runs) shares the main
        # interpreter's lock, as every sub-interpreter of 3.11 does.
        start = textwrap.dedent("""\
            try:
                import _interpreters as interpreters
                sub = interpreters.create("legacy")
            except ModuleNotFoundError:
                import _xxsubinterpreters as interpreters
                sub = interpreters.create(isolated=False)
            def run_in_sub():
                failure = interpreters.run_string(sub, IN_SUB)  # 3.13 returns what older ones raise
                assert failure is None, failure
        """)
        code = (f"IN_SUB = {in_sub!r}\n" + start +
                "run_in_sub()\n" + use +
                "run_in_sub()\n"
                "interpreters.destroy(sub)\n"
                "print(len(records))\n")
        try:
            out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        except subprocess.TimeoutExpired:
            pytest.fail("the child hung")
        assert out.returncode == 0, out.stderr
        assert out.stdout.strip() == "6"

    def test_only_init_exported(self):
        # The module's dynamic symbol table: it defines only its entry point, and
        # binds nothing of the zstd built into it to another library: a weak
        # undefined zstd hook (the tracing ones, say) would be called from inside
        # every compile and load of whatever library in the process defines it.
        path = s.__file__
        assert path.endswith("_sys.abi3.so")
        try:
            out = subprocess.run(["nm", "-D", path], capture_output=True, text=True)
        except FileNotFoundError:
            pytest.skip("nm not available")
        assert out.returncode == 0, out.stderr
        # "<address> <type> <name>" when defined, "<type> <name>" when not.
        entries = [line.split() for line in out.stdout.splitlines() if line.strip()]
        defined = [e[-1] for e in entries if len(e) == 3]
        undefined = [e[-1] for e in entries if len(e) == 2]
        assert defined == ["PyInit__sys"]
        assert "PyModule_Create2" in undefined  # the table was read whole
        zstd = re.compile(r"zstd|^(ZDICT|ZBUFF|HUF|FSE|HIST|XXH|ERR|COVER|FASTCOVER|POOL)_", re.IGNORECASE)
        assert [name for name in defined + undefined if zstd.search(name)] == []

    def test_package_version_is_the_runtime_version(self):
        # pyproject.toml reads the version from CMakeLists.txt; the runtime writes
        # that same version into the storage it produces.
        root = pathlib.Path(__file__).resolve().parents[2]
        project = tomllib.loads((root / "pyproject.toml").read_text())
        assert "version" in project["project"]["dynamic"]
        rule = project["tool"]["scikit-build"]["metadata"]["version"]
        match = re.search(rule["regex"], (root / rule["input"]).read_text(), re.MULTILINE)
        assert match, "the version pattern finds nothing in " + rule["input"]
        storage = s._ke_compile_module(s._ke_create_instance(InstanceCreateInfo()), ModuleCompileInfo([]))
        assert storage.startswith(b"\x7fKEMODIR=" + match["value"].encode() + b"\x00")
