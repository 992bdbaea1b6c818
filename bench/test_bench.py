"""Checks of the comparison's own tools: the generator and the report arithmetic.

    python -m pytest -q bench/test_bench.py

The Kestrane and LLVM round trips run when kepi._sys (with _ke_compile_module)
is importable and when llvm-as-14 is installed; otherwise they are skipped.
"""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

import compare  # noqa: E402
import gen_program  # noqa: E402

SMALL = 120_000


@pytest.fixture(scope="module")
def program():
    return gen_program.generate(SMALL, seed=3)


def test_generation_is_a_function_of_size_and_seed(program):
    again = gen_program.generate(SMALL, seed=3)
    other = gen_program.generate(SMALL, seed=4)
    assert again[:2] == program[:2]
    assert other[0] != program[0]


def test_size_target_and_stats(program):
    ke, ll, st = program
    assert st.ke_bytes == len(ke) >= SMALL
    assert st.ll_bytes == len(ll)
    # One function of overshoot at most: functions stay far below the target.
    assert len(ke) < SMALL * 1.2
    assert gen_program.generate(0, seed=1)[2].functions == 1


def test_both_texts_describe_the_same_program(program):
    ke, ll, st = program
    ke_lines = [l.strip() for l in ke.splitlines() if l.strip()]
    ll_lines = [l.strip() for l in ll.splitlines() if l.strip() and not l.startswith(";")]
    # Line for line: headers, labels, instructions and terminators correspond.
    assert len(ke_lines) == len(ll_lines)
    for k, l in zip(ke_lines, ll_lines):
        if k.startswith("define"):
            name = re.search(r" (fn\d+)\(", k).group(1)
            assert f"@{name}(" in l
        elif k.endswith(":"):
            assert k == l
        else:
            kd = re.match(r"%(\w+):", k)
            ld = re.match(r"%(\w+) =", l)
            assert (kd and kd.group(1)) == (ld and ld.group(1)), (k, l)
    assert sum(l.startswith("define") for l in ke_lines) == st.functions
    assert sum(l.endswith(":") for l in ke_lines) == st.blocks


def test_growth_exponent_and_ratios():
    assert compare.growth_exponent([1, 2, 4], [3, 6, 12]) == pytest.approx(1.0)
    assert compare.growth_exponent([1, 2, 4], [1, 4, 16]) == pytest.approx(2.0)
    assert compare.growth_exponent([1], [1]) is None
    assert compare.ratio(6.0, 2.0) == 3.0
    assert compare.ratio(None, 2.0) is None and compare.ratio(1.0, 0) is None


def test_report_shows_ratios_and_failures():
    run = compare.Run(cpu=1.0, wall=1.2, peak_mb=10.0)
    r = compare.SizeResult(1, 2, 3, 4, 1_000_000, 1_100_000, storage_bytes=200_000, bitcode_bytes=400_000,
                           ke_compile=compare.Run(0.5, 0.6, 20.0), llvm_as=run,
                           ke_load=compare.Run(0.25, 0.3, 5.0), llvm_opt=run)
    bad = compare.SizeResult(5, 1, 1, 1, 5_000_000, 5_000_000, errors=["kestrane compile failed: boom"])
    text = compare.report([r, bad], {"date": "today"})
    # compile 2x, load 4x, storage half the bitcode, compile memory twice LLVM's.
    assert "| 1 MB | 2.00x | 2.00x | 4.00x | 4.00x | 0.50 | 2.00 | 0.50 |" in text
    assert "| 5 MB | n/a | n/a | n/a | n/a | n/a | n/a | n/a |" in text
    assert "- 5 MB: kestrane compile failed: boom" in text


def _kepi_ready() -> bool:
    try:
        import kepi._sys as s
    except ImportError:
        return False
    return hasattr(s, "_ke_compile_module") and hasattr(s, "_ke_load_module")


@pytest.mark.skipif(not _kepi_ready(), reason="kepi._sys with _ke_compile_module is not importable")
def test_kestrane_compiles_and_loads_the_program(program):
    import kepi._sys as ke
    from kepi.api import InstanceCreateInfo, ModuleCompileInfo, ModuleSourceInfo

    inst = ke._ke_create_instance(InstanceCreateInfo())
    storage = ke._ke_compile_module(inst, ModuleCompileInfo([ModuleSourceInfo(filename="p", data=program[0])]))
    assert isinstance(storage, bytes) and len(storage) > 0
    assert isinstance(ke._ke_load_module(inst, storage), ke.Module)


@pytest.mark.skipif(not compare.LLVM_AS.exists(), reason="llvm-as-14 is not installed")
def test_llvm_assembles_and_reads_the_program(program, tmp_path):
    ll, bc = tmp_path / "p.ll", tmp_path / "p.bc"
    ll.write_text(program[1])
    subprocess.run([str(compare.LLVM_AS), "-opaque-pointers", str(ll), "-o", str(bc)], check=True)
    subprocess.run([str(compare.OPT), "-opaque-pointers", "-disable-output", str(bc)], check=True)
