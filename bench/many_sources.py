#!/usr/bin/env python3
"""Compile cost of many small sources against the same functions in one source.

    PYTHONPATH=build/dev/pkg python bench/many_sources.py [N ...]

For each N (default 8000), compiles N one-function sources as N sources of one module
and as one source, each the best CPU time of five compiles in this process, and
prints both and their ratio, for two sets of functions:

- independent: no function names another;
- chained: the function of source i calls the function of source i - 1, so every
  source but the first names a function of the module built so far.

A compiler that verified the whole module again after each source, or looked at every
function of the module to resolve a name of a later source, would make the ratio grow
with N.
"""

from __future__ import annotations

import sys
import time

import kepi._sys as ke
from kepi.api import InstanceCreateInfo, ModuleCompileInfo, ModuleSourceInfo


def best_cpu_seconds(instance: ke.Instance, info: ModuleCompileInfo, runs: int = 5) -> float:
    best = float("inf")
    for _ in range(runs):
        start = time.process_time()
        ke._ke_compile_module(instance, info)
        best = min(best, time.process_time() - start)
    return best


def independent(i: int) -> str:
    return f"define i32 f{i}(%x: i32) {{\ne:\n  %y: i32 = iadd.wrap %x, %x\n  ret %y\n}}\n"


def chained(i: int) -> str:
    if i == 0:
        return independent(0)
    return f"define i32 f{i}(%x: i32) {{\ne:\n  %y: i32 = invoke ptr f{i - 1}, %x\n  ret %y\n}}\n"


def main(counts: list[int]) -> None:
    instance = ke._ke_create_instance(InstanceCreateInfo())
    for n in counts:
        for kind, make in (("independent", independent), ("chained", chained)):
            texts = [make(i) for i in range(n)]
            many = best_cpu_seconds(instance, ModuleCompileInfo([ModuleSourceInfo(data=t) for t in texts]))
            one = best_cpu_seconds(instance, ModuleCompileInfo([ModuleSourceInfo(data="".join(texts))]))
            print(f"{n:>6} {kind:<11} sources: {many:.3f} s   one source: {one:.3f} s   ratio {many / one:.2f}")


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [8000])
