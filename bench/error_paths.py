#!/usr/bin/env python3
"""Compile cost of refused sources against accepted sources of the same size.

    PYTHONPATH=build/dev/pkg python bench/error_paths.py [N]

Each row compiles a source built from N lines (default 20000) and from 4N lines,
the best CPU time of three compiles in this process, and prints both times, the
exponent of the growth (1.00: linear) and the time at 4N against the accepted
program of the same shape ("× ok"). A refusal should cost what reading its input
costs, within a constant factor: an exponent near 1 on every row.
"""

from __future__ import annotations

import math
import sys
import time
from typing import Callable, Dict

import kepi._sys as ke
from kepi.api import InstanceCreateInfo, ModuleCompileInfo, ModuleSourceInfo


def compile_cpu(instance: ke.Instance, text: str, runs: int = 3) -> tuple[float, str]:
    info = ModuleCompileInfo([ModuleSourceInfo(filename="p.ke", data=text)])
    best, outcome = float("inf"), ""
    for _ in range(runs):
        start = time.process_time()
        try:
            ke._ke_compile_module(instance, info)
            outcome = "accepted"
        except RuntimeError as e:
            outcome = str(e)
        best = min(best, time.process_time() - start)
    return best, outcome


def functions(n: int, line: Callable[[int], str], last: str = "", per: int = 500) -> str:
    """`n` instruction lines in functions of `per` lines; `last` ends the last function."""
    out, k = [], 0
    count = max(1, n // per)
    for f in range(count):
        body = [line(k + i) for i in range(per)]
        k += per
        if last and f == count - 1:
            body.append(last)
        out.append("define i64 f%d(%%x: i64, %%p: ptr) {\nentry:\n%s\n  ret %%x\n}\n" % (f, "\n".join(body)))
    return "".join(out)


def add(i: int) -> str:
    return f"  %v{i}: i64 = iadd.wrap %x, %x"


def one_line(operands: str) -> str:
    return "define i64 g(%x: i64) {\nentry:\n  %r: i64 = invoke ptr g, " + operands + "\n  ret %r\n}\n"


def nested(n: int, closing: int) -> str:
    return ("define i64 f(%x: i64, %p: ptr) {\nentry:\n  %q: ptr = getelementptr "
            + "{" * n + "i32" + "}" * closing + ", %p, %x\n  ret %x\n}\n")


# name -> (accepted program of the same shape, refused program)
CASES: Dict[str, tuple[Callable[[int], str], Callable[[int], str]]] = {
    "syntax error at the end": (
        lambda n: functions(n, add),
        lambda n: functions(n, add, last="  %z: i64 = iadd.wrap %x,"),
    ),
    "a finding on every line": (
        lambda n: functions(n, lambda i: f"  %v{i}: i1 = icmp.slt %x, %x"),
        lambda n: functions(n, lambda i: f"  %v{i}: i1 = icmp.less %x, %x"),
    ),
    "an unknown function on every line": (
        lambda n: functions(n, lambda i: f"  %v{i}: i64 = invoke ptr f0, %x, %p"),
        lambda n: functions(n, lambda i: f"  %v{i}: i64 = invoke ptr missing{i}, %x"),
    ),
    "verification failure at the end": (
        lambda n: functions(n, add),
        lambda n: functions(n, add, last="  %z: i64 = iadd.wrap %x, %undefined"),
    ),
    "type error at the end": (
        lambda n: functions(n, add),
        lambda n: functions(n, add, last="  %z: i8 = iadd.wrap %x, %x"),
    ),
    "one long line, bad last operand": (
        lambda n: one_line(", ".join(["%x"] * n)),
        lambda n: one_line(", ".join(["%x"] * n) + ", fp64 1"),
    ),
    "deep type, one bracket short": (
        lambda n: nested(n // 4, n // 4),
        lambda n: nested(n // 4, n // 4 - 1),
    ),
    "a number of 10N digits": (
        lambda n: functions(500, add, last="  %z: i64 = iadd.wrap %x, i64 " + "9" * (10 * n)),
        lambda n: functions(500, add, last="  %z: i8 = iadd.wrap %x, i64 " + "9" * (10 * n)),
    ),
}


def main(n: int) -> None:
    instance = ke._ke_create_instance(InstanceCreateInfo())
    print(f"| case | accepted, {4 * n} | refused, {n} | refused, {4 * n} | exponent | × ok |")
    print("|---|--:|--:|--:|--:|--:|")
    for name, (accepted, refused) in CASES.items():
        ok4, ok_outcome = compile_cpu(instance, accepted(4 * n))
        bad1, _ = compile_cpu(instance, refused(n))
        bad4, outcome = compile_cpu(instance, refused(4 * n))
        if ok_outcome != "accepted" or outcome == "accepted":
            raise SystemExit(f"{name}: the accepted program gave {ok_outcome[:80]!r}, the refused one {outcome[:80]!r}")
        exponent = math.log(bad4 / bad1) / math.log(4)
        print(f"| {name} | {ok4 * 1e3:.1f} ms | {bad1 * 1e3:.1f} ms | {bad4 * 1e3:.1f} ms | {exponent:.2f} | "
              f"{bad4 / ok4:.1f} |")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 20000)
