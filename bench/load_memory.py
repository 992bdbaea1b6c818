#!/usr/bin/env python3
"""Memory that loaded modules keep, and the time their loads take.

    PYTHONPATH=build/dev/pkg python bench/load_memory.py [CASE ...]

Each case loads one storage many times in this process, keeping every module,
and prints the growth of the resident set (from /proc/self/statm) and the best
and median wall time of one load. Cases:

  trailing  300 loads of a one-instruction module followed by 100 KB of bytes
            that the loader ignores
  many      50 loads of a storage of 6,001 small functions (about 130 KB)

Run each case in a fresh process (as the default does) so that one case's
freed memory does not serve the next.
"""

from __future__ import annotations

import gc
import os
import random
import statistics
import subprocess
import sys
import time

CASES = {"trailing": 300, "many": 50}


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def storage_of(case: str) -> bytes:
    import kepi._sys as ke
    from kepi.api import InstanceCreateInfo, ModuleCompileInfo, ModuleSourceInfo

    instance = ke._ke_create_instance(InstanceCreateInfo())
    if case == "trailing":
        text = "define i32 f(%x: i32) {\ne:\n  %y: i32 = iadd.wrap %x, %x\n  ret %y\n}\n"
        data = ke._ke_compile_module(instance, ModuleCompileInfo([ModuleSourceInfo(data=text)]))
        return data + random.Random(7).randbytes(100_000)
    text = "".join(
        f"define i32 f{i}(%x: i32) {{\ne:\n  %y: i32 = iadd.wrap %x, %x\n  ret %y\n}}\n" for i in range(6001)
    )
    return ke._ke_compile_module(instance, ModuleCompileInfo([ModuleSourceInfo(data=text)]))


def run(case: str) -> None:
    import kepi._sys as ke
    from kepi.api import InstanceCreateInfo

    data = storage_of(case)
    instance = ke._ke_create_instance(InstanceCreateInfo())
    ke._ke_load_module(instance, data)  # the first load's one-time costs
    gc.collect()
    before = resident_bytes()
    kept = []
    times = []
    for _ in range(CASES[case]):
        start = time.perf_counter()
        kept.append(ke._ke_load_module(instance, data))
        times.append(time.perf_counter() - start)
    gc.collect()
    grown = resident_bytes() - before
    print(
        f"{case:>8}: {CASES[case]} loads of {len(data):,} bytes keep +{grown / 2**20:.1f} MiB; "
        f"one load best {min(times) * 1e3:.3f} ms, median {statistics.median(times) * 1e3:.3f} ms"
    )


def main(cases: list[str]) -> None:
    if len(cases) == 1:
        run(cases[0])
        return
    for case in cases:
        subprocess.run([sys.executable, __file__, case], check=True)


if __name__ == "__main__":
    main(sys.argv[1:] or list(CASES))
