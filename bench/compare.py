#!/usr/bin/env python3
"""Side-by-side performance of Kestrane and LLVM 14's textual IR tools.

    python bench/compare.py [--sizes 1,5,10,25,50] [--reps 3] [--pkg DIR]

For each size (megabytes of Kestrane text), bench/gen_program.py writes the same
program as Kestrane textual IR and as LLVM IR, then, on this machine and in this
run, four stages are timed, each measurement in its own child process:

  compile  Kestrane  kepi._sys._ke_compile_module(instance, info) -> storage bytes
           LLVM      llvm-as -opaque-pointers prog.ll -o prog.bc   (parse, verify, write)
  load     Kestrane  kepi._sys._ke_load_module(instance, storage) -> Module
           LLVM      opt -opaque-pointers -disable-output prog.bc   (read, verify)

CPU time (user + system) is the primary measure, wall time is reported beside
it; both are the best of --reps runs. Kestrane is timed around the call inside the
child (interpreter start-up, import and instance creation excluded). The LLVM
tools are timed as whole processes, less their start-up (the best time of the
same tool on an empty module). Peak memory is the child's peak resident memory
above its idle footprint (Kestrane: VmHWM after import and instance creation,
before reading the input; LLVM: ru_maxrss of the tool, less that of the tool on
an empty module). The parent holds no program text, so that the children's
ru_maxrss, which carries the parent's peak across exec, is their own.

Results go to bench/results.md (or --out). llvm-14 is installed with apt-get when
its tools are missing. Without --pkg, kepi is imported from PYTHONPATH; when that
fails, a Release build of the extension module is made in build/bench-release.
"""

from __future__ import annotations

import argparse
import datetime
import hashlib
import json
import math
import os
import platform
import resource
import subprocess
import sys
import tempfile
import time
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Tuple

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
LLVM_BIN = Path("/usr/lib/llvm-14/bin")
LLVM_AS = LLVM_BIN / "llvm-as"
OPT = LLVM_BIN / "opt"
MB = 1_000_000
TIMEOUT = 1800  # seconds for one measurement

# ---------------------------------------------------------------------------
# Child side: one Kestrane measurement, run as `compare.py --worker ...`.


def _maxrss_kb() -> int:
    """This process's peak resident memory. Linux's VmHWM belongs to the process's own
    address space; ru_maxrss also carries the peak of whatever ran before exec (here:
    the parent, at the time it started this worker), so it is only the fallback."""
    try:
        with open("/proc/self/status", encoding="ascii") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def worker(mode: str, src: str, out: Optional[str]) -> None:
    import kepi._sys as ke
    from kepi.api import ApplicationInfo, InstanceCreateInfo, ModuleCompileInfo, ModuleSourceInfo, VersionInfo
    from kepi.api.ext.kelog import EXTENSION_NAME, LogCreateInfoEXT, LogLevelEXT

    records: List[dict] = []
    exts, ext = [], []
    if mode == "info":
        exts, ext = [EXTENSION_NAME], [LogCreateInfoEXT(LogLevelEXT.Info, records.append)]
    info = InstanceCreateInfo(ApplicationInfo(VersionInfo(1, 0, 0), "bench", VersionInfo(1, 0, 0), "bench"),
                              exts, 1, ext)
    inst = ke._ke_create_instance(info)
    result: Dict[str, object] = {}
    if mode == "info":
        result["log"] = [r["message"] for r in records]
        print(json.dumps(result))
        return
    idle = _maxrss_kb()
    if mode == "compile":
        text = Path(src).read_text(encoding="utf-8")
        ci = ModuleCompileInfo([ModuleSourceInfo(filename=Path(src).name, data=text)])
        t0, c0 = time.perf_counter(), time.process_time()
        storage = ke._ke_compile_module(inst, ci)
        t1, c1 = time.perf_counter(), time.process_time()
        assert out is not None
        Path(out).write_bytes(storage)
        result["out_bytes"] = len(storage)
    elif mode == "load":
        data = Path(src).read_bytes()
        t0, c0 = time.perf_counter(), time.process_time()
        module = ke._ke_load_module(inst, data)
        t1, c1 = time.perf_counter(), time.process_time()
        if not isinstance(module, ke.Module):
            raise SystemExit(f"_ke_load_module returned {type(module).__name__}")
    else:
        raise SystemExit(f"unknown worker mode {mode}")
    result.update(seconds=t1 - t0, cpu=c1 - c0, idle_kb=idle, peak_kb=_maxrss_kb())
    print(json.dumps(result))


# ---------------------------------------------------------------------------
# Parent side


@dataclass
class Run:
    cpu: float  # user + system CPU seconds
    wall: float  # elapsed seconds
    peak_mb: float  # peak RSS above the idle footprint


@dataclass
class SizeResult:
    target_mb: int
    functions: int
    blocks: int
    instructions: int
    ke_bytes: int
    ll_bytes: int
    storage_bytes: int = 0
    bitcode_bytes: int = 0
    ke_compile: Optional[Run] = None
    ke_load: Optional[Run] = None
    llvm_as: Optional[Run] = None
    llvm_opt: Optional[Run] = None
    errors: List[str] = field(default_factory=list)


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


def ensure_llvm() -> None:
    if LLVM_AS.exists() and OPT.exists():
        return
    log("llvm-14 tools missing: installing llvm-14 with apt-get")
    if subprocess.run(["apt-get", "install", "-y", "llvm-14"], stdout=subprocess.DEVNULL).returncode != 0:
        subprocess.run(["apt-get", "update"], stdout=subprocess.DEVNULL, check=True)
        subprocess.run(["apt-get", "install", "-y", "llvm-14"], stdout=subprocess.DEVNULL, check=True)
    if not (LLVM_AS.exists() and OPT.exists()):
        raise SystemExit(f"llvm-14 installed but {LLVM_AS} or {OPT} is missing")


def child_env(pkg: Optional[Path]) -> Dict[str, str]:
    env = dict(os.environ)
    if pkg is not None:
        env["PYTHONPATH"] = str(pkg) + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
    return env


def kepi_usable(env: Dict[str, str]) -> bool:
    code = "import kepi._sys as s; assert hasattr(s, '_ke_compile_module') and hasattr(s, '_ke_load_module')"
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True).returncode == 0


def build_kepi() -> Path:
    """Release build of the extension module in build/bench-release; returns its package dir."""
    bdir = ROOT / "build" / "bench-release"
    log(f"building kepi._sys (Release) in {bdir}")
    # -Wno-error=restrict: g++ 12 raises false -Wrestrict warnings inside
    # std::string at -O3.
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(bdir), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DCMAKE_CXX_FLAGS=-Wno-error=restrict", "-DKESTRANE_TESTS=OFF",
                    f"-DPython_EXECUTABLE={sys.executable}"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(bdir), "--target", "_sys"], check=True, stdout=subprocess.DEVNULL)
    return bdir / "pkg"


def run_worker(env: Dict[str, str], mode: str, src: Path, out: Optional[Path] = None) -> dict:
    cmd = [sys.executable, str(Path(__file__).resolve()), "--worker", mode, str(src)]
    if out is not None:
        cmd.append(str(out))
    p = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=TIMEOUT)
    if p.returncode != 0:
        tail = (p.stderr.strip().splitlines() or ["(no output)"])[-1]
        raise RuntimeError(f"kestrane {mode} failed: {tail[:500]}")
    return json.loads(p.stdout.strip().splitlines()[-1])


def run_tool(cmd: Sequence[str]) -> Tuple[float, float, int]:
    """CPU time, wall time and peak RSS (kB) of one tool process."""
    with tempfile.TemporaryFile() as err:
        t0 = time.perf_counter()
        proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(proc.pid, 0)
        t1 = time.perf_counter()
        proc.returncode = code = os.waitstatus_to_exitcode(status)
        if code != 0:
            err.seek(0)
            text = err.read(2000).decode(errors="replace").strip()
            raise RuntimeError(f"{Path(cmd[0]).name} failed ({code}): {text}")
    return usage.ru_utime + usage.ru_stime, t1 - t0, usage.ru_maxrss


def best(runs: List[Run]) -> Run:
    peak = sorted(r.peak_mb for r in runs)[len(runs) // 2]
    return Run(min(r.cpu for r in runs), min(r.wall for r in runs), peak)


def tool_run(cmd: Sequence[str], idle: Run) -> Run:
    """One run of an LLVM tool, less the tool's start-up."""
    cpu, wall, rss = run_tool(cmd)
    return Run(max(cpu - idle.cpu, 1e-6), max(wall - idle.wall, 1e-6), max(rss / 1024 - idle.peak_mb, 0))


def kestrane_run(env: Dict[str, str], mode: str, src: Path, out: Optional[Path]) -> Tuple[Run, dict]:
    """One Kestrane measurement in a fresh worker."""
    last = run_worker(env, mode, src, out)
    return Run(float(last["cpu"]), float(last["seconds"]), (int(last["peak_kb"]) - int(last["idle_kb"])) / 1024), last


def failed_stages(r: "SizeResult") -> List[str]:
    """The stages of `r` that failed already (and those that cannot run after them)."""
    failed = [e.split(":", 1)[0] for e in r.errors]
    if "llvm-as" in failed:
        failed.append("opt")
    if "compile" in failed:
        failed.append("load")
    return failed


def tool_idle(workdir: Path, reps: int) -> Dict[str, Run]:
    """Start-up time and footprint of each LLVM tool on an empty module."""
    ll, bc = workdir / "empty.ll", workdir / "empty.bc"
    ll.write_text("; empty\n")
    idle = {}
    for name, cmd in (("llvm-as", [str(LLVM_AS), "-opaque-pointers", str(ll), "-o", str(bc)]),
                      ("opt", [str(OPT), "-opaque-pointers", "-disable-output", str(bc)])):
        samples = [run_tool(cmd) for _ in range(max(reps, 5))]
        idle[name] = Run(min(s[0] for s in samples), min(s[1] for s in samples), min(s[2] for s in samples) / 1024)
    return idle


def program_files(workdir: Path, size_mb: int, seed: int) -> Tuple[Path, Path, dict]:
    """Generates (or reuses) the program of one size; returns its two paths and stats."""
    generator = HERE / "gen_program.py"
    tag = hashlib.sha256(generator.read_bytes()).hexdigest()[:10]
    base = workdir / f"prog-{size_mb}mb-s{seed}-{tag}"
    ke, ll, meta = base.with_suffix(".ke"), base.with_suffix(".ll"), base.with_suffix(".json")
    if ke.exists() and ll.exists() and meta.exists():
        return ke, ll, json.loads(meta.read_text())
    log(f"  generating {size_mb} MB program")
    # In a child: the texts would grow this process, and every child started
    # from it begins with its peak memory (ru_maxrss survives exec).
    subprocess.run([sys.executable, str(generator), "--bytes", str(size_mb * MB), "--seed", str(seed),
                    "--ke", str(ke), "--ll", str(ll), "--stats", str(meta)], check=True, stderr=subprocess.DEVNULL)
    return ke, ll, json.loads(meta.read_text())


def kestrane_build(env: Dict[str, str]) -> str:
    """The runtime's own account of its build: version, profile, commit."""
    try:
        with tempfile.NamedTemporaryFile() as dummy:
            msgs = run_worker(env, "info", Path(dummy.name)).get("log", [])
    except Exception as exc:  # noqa: BLE001 - diagnostic only
        return f"unknown ({exc})"
    return "; ".join(m for m in msgs if m.startswith("kecore version") or m.startswith("built from"))


def llvm_version() -> str:
    p = subprocess.run([str(LLVM_AS), "--version"], capture_output=True, text=True)
    for line in p.stdout.splitlines():
        if "version" in line.lower():
            return line.strip()
    return "unknown"


# ---------------------------------------------------------------------------
# Report


def fmt(x: Optional[float], digits: int = 2) -> str:
    return "n/a" if x is None or math.isnan(x) else f"{x:.{digits}f}"


def ratio(a: Optional[float], b: Optional[float]) -> Optional[float]:
    return None if a is None or b is None or b == 0 else a / b


def growth_exponent(sizes: List[float], times: List[float]) -> Optional[float]:
    """Least-squares slope of log(time) against log(size): 1 is linear."""
    pts = [(math.log(s), math.log(t)) for s, t in zip(sizes, times) if s > 0 and t > 0]
    if len(pts) < 2:
        return None
    mx = sum(x for x, _ in pts) / len(pts)
    my = sum(y for _, y in pts) / len(pts)
    den = sum((x - mx) ** 2 for x, _ in pts)
    return None if den == 0 else sum((x - mx) * (y - my) for x, y in pts) / den


STAGES = [
    ("Kestrane compile", "ke_compile"),
    ("llvm-as", "llvm_as"),
    ("Kestrane load", "ke_load"),
    ("opt (read bitcode)", "llvm_opt"),
]


def stage_ratios(r: SizeResult, attr: str) -> Tuple[Optional[float], Optional[float]]:
    """Throughput ratios Kestrane / LLVM (LLVM time over Kestrane time) for compile and load."""
    def t(run: Optional[Run]) -> Optional[float]:
        return None if run is None else getattr(run, attr)
    return ratio(t(r.llvm_as), t(r.ke_compile)), ratio(t(r.llvm_opt), t(r.ke_load))


def report(results: List[SizeResult], meta: Dict[str, str]) -> str:
    L: List[str] = []
    L.append("# Kestrane vs LLVM 14: results\n")
    L.append("Generated by `python bench/compare.py`; bench/README.md says what is measured. "
             "Throughput ratios are Kestrane throughput over LLVM throughput on the same program "
             "(LLVM time / Kestrane time): above 1 Kestrane is faster. CPU time (user + system) is the "
             "primary measure; wall-clock ratios are shown beside it.\n")
    for k, v in meta.items():
        L.append(f"- {k}: {v}")
    L.append("")
    L.append("## Ratios\n")
    L.append("| size | compile throughput (CPU) | compile (wall) | load throughput (CPU) | load (wall) | "
             "storage / bitcode size | compile peak memory | load peak memory |")
    L.append("|---|---|---|---|---|---|---|---|")
    for r in results:
        c, ld = stage_ratios(r, "cpu")
        cw, lw = stage_ratios(r, "wall")
        s = ratio(r.storage_bytes or None, r.bitcode_bytes or None)
        mc = ratio(r.ke_compile and r.ke_compile.peak_mb, r.llvm_as and r.llvm_as.peak_mb)
        ml = ratio(r.ke_load and r.ke_load.peak_mb, r.llvm_opt and r.llvm_opt.peak_mb)
        L.append(f"| {r.target_mb} MB | {fmt(c)}x | {fmt(cw)}x | {fmt(ld)}x | {fmt(lw)}x | {fmt(s)} | "
                 f"{fmt(mc)} | {fmt(ml)} |")
    L.append("")
    L.append("Memory ratios are Kestrane peak / LLVM peak (below 1 Kestrane uses less).\n")
    L.append("## Inputs and outputs\n")
    L.append("| size | functions | blocks | instructions | Kestrane text MB | LLVM text MB | "
             "storage MB | bitcode MB |")
    L.append("|---|---|---|---|---|---|---|---|")
    for r in results:
        L.append(f"| {r.target_mb} MB | {r.functions} | {r.blocks} | {r.instructions} | {r.ke_bytes / MB:.2f} | "
                 f"{r.ll_bytes / MB:.2f} | {fmt(r.storage_bytes / MB if r.storage_bytes else None, 3)} | "
                 f"{fmt(r.bitcode_bytes / MB if r.bitcode_bytes else None, 3)} |")
    L.append("")
    L.append("## Time and throughput\n")
    L.append("CPU seconds (best of runs), wall seconds in brackets, and MB of each tool's own input per "
             "CPU second.\n")
    L.append("| size | Kestrane compile | MB/s | llvm-as | MB/s | Kestrane load | MB/s (storage) | "
             "opt | MB/s (bitcode) |")
    L.append("|---|---|---|---|---|---|---|---|---|")
    for r in results:
        def tp(run: Optional[Run], nbytes: int) -> Tuple[str, str]:
            if run is None:
                return "n/a", "n/a"
            return f"{run.cpu:.3f} ({run.wall:.3f})", f"{nbytes / MB / run.cpu:.1f}"
        a = tp(r.ke_compile, r.ke_bytes)
        b = tp(r.llvm_as, r.ll_bytes)
        c = tp(r.ke_load, r.storage_bytes)
        d = tp(r.llvm_opt, r.bitcode_bytes)
        L.append(f"| {r.target_mb} MB | {a[0]} | {a[1]} | {b[0]} | {b[1]} | {c[0]} | {c[1]} | {d[0]} | {d[1]} |")
    L.append("")
    L.append("## Growth: CPU seconds per MB of program (Kestrane text) at each size\n")
    L.append("Linear cost keeps s/MB flat. The exponent is the least-squares slope of log(CPU time) "
             "against log(size): 1.00 is linear, 2.00 quadratic.\n")
    L.append("| stage | " + " | ".join(f"{r.target_mb} MB" for r in results) + " | largest / smallest | exponent |")
    L.append("|---|" + "---|" * (len(results) + 2))
    for label, key in STAGES:
        per: List[Optional[float]] = []
        sizes, times = [], []
        for r in results:
            run: Optional[Run] = getattr(r, key)
            if run is None:
                per.append(None)
                continue
            per.append(run.cpu / (r.ke_bytes / MB))
            sizes.append(r.ke_bytes)
            times.append(run.cpu)
        valid = [p for p in per if p is not None]
        grow = valid[-1] / valid[0] if len(valid) >= 2 else None
        L.append(f"| {label} | " + " | ".join(fmt(p, 4) for p in per) + f" | {fmt(grow)} | "
                 f"{fmt(growth_exponent(sizes, times))} |")
    L.append("")
    L.append("## Peak memory above idle footprint (MB)\n")
    L.append("| size | Kestrane compile | llvm-as | Kestrane load | opt |")
    L.append("|---|---|---|---|---|")
    for r in results:
        cells = [fmt(getattr(r, k).peak_mb, 1) if getattr(r, k) else "n/a" for _, k in STAGES]
        L.append(f"| {r.target_mb} MB | " + " | ".join(cells) + " |")
    errs = [(r.target_mb, e) for r in results for e in r.errors]
    if errs:
        L.append("\n## Failures\n")
        for size, e in errs:
            L.append(f"- {size} MB: {e}")
    L.append("")
    return "\n".join(L)


def main(argv: Optional[Sequence[str]] = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv[:1] == ["--worker"]:
        worker(argv[1], argv[2], argv[3] if len(argv) > 3 else None)
        return 0
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="1,5,10,25,50", help="program sizes in MB of Kestrane text")
    ap.add_argument("--reps", type=int, default=3, help="runs per measurement (best time is kept)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--pkg", type=Path, help="directory holding the kepi package with its built _sys module")
    ap.add_argument("--workdir", type=Path, default=Path(tempfile.gettempdir()) / "kestrane-bench",
                    help="where programs and outputs are written (reused across runs)")
    ap.add_argument("--out", type=Path, default=HERE / "results.md")
    ap.add_argument("--json", type=Path, help="also write the raw results as JSON here")
    args = ap.parse_args(argv)
    sizes = [int(s) for s in args.sizes.split(",") if s.strip()]

    ensure_llvm()
    env = child_env(args.pkg)
    if not kepi_usable(env):
        if args.pkg is not None:
            raise SystemExit(f"kepi._sys with _ke_compile_module/_ke_load_module not importable from {args.pkg}")
        env = child_env(build_kepi())
        if not kepi_usable(env):
            raise SystemExit("kepi._sys built but _ke_compile_module/_ke_load_module are missing")
    args.workdir.mkdir(parents=True, exist_ok=True)

    idle = tool_idle(args.workdir, args.reps)
    meta = {
        "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        "machine": f"{platform.machine()}, {os.cpu_count()} cores, {platform.platform()}",
        "python": platform.python_version(),
        "kestrane": kestrane_build(env),
        "llvm": llvm_version(),
        "runs per measurement": str(args.reps),
        "LLVM start-up subtracted (CPU; llvm-as, opt)": f"{idle['llvm-as'].cpu * 1000:.1f} ms, "
                                                       f"{idle['opt'].cpu * 1000:.1f} ms",
        "load average at start": ", ".join(f"{x:.1f}" for x in os.getloadavg()),
        "seed": str(args.seed),
    }
    results: List[SizeResult] = []
    for size in sizes:
        log(f"size {size} MB")
        ke, ll, st = program_files(args.workdir, size, args.seed)
        r = SizeResult(size, st["functions"], st["blocks"], st["instructions"], st["ke_bytes"], st["ll_bytes"])
        storage, bc = ke.with_suffix(".kest"), ll.with_suffix(".bc")
        # The runs of the four measurements take turns, so that a busy spell of a shared
        # machine falls on all of them alike rather than on whichever ran then.
        as_cmd = [str(LLVM_AS), "-opaque-pointers", str(ll), "-o", str(bc)]
        opt_cmd = [str(OPT), "-opaque-pointers", "-disable-output", str(bc)]
        runs: Dict[str, List[Run]] = {"llvm-as": [], "opt": [], "compile": [], "load": []}
        log(f"  {args.reps} rounds of llvm-as, kestrane compile, opt, kestrane load")
        for _ in range(args.reps):
            for stage in ("llvm-as", "compile", "opt", "load"):
                if stage in failed_stages(r):
                    continue
                try:
                    if stage == "llvm-as":
                        runs[stage].append(tool_run(as_cmd, idle["llvm-as"]))
                        r.bitcode_bytes = bc.stat().st_size
                    elif stage == "opt":
                        runs[stage].append(tool_run(opt_cmd, idle["opt"]))
                    elif stage == "compile":
                        run, last = kestrane_run(env, "compile", ke, storage)
                        runs[stage].append(run)
                        r.storage_bytes = int(last["out_bytes"])
                    else:
                        runs[stage].append(kestrane_run(env, "load", storage, None)[0])
                except (RuntimeError, subprocess.TimeoutExpired) as exc:
                    r.errors.append(f"{stage}: {exc}")
        r.llvm_as = best(runs["llvm-as"]) if runs["llvm-as"] else None
        r.llvm_opt = best(runs["opt"]) if runs["opt"] else None
        r.ke_compile = best(runs["compile"]) if runs["compile"] else None
        r.ke_load = best(runs["load"]) if runs["load"] else None
        for e in r.errors:
            log(f"  FAILED: {e}")
        results.append(r)
        args.out.write_text(report(results, meta))  # partial results survive an interrupted run
    text = report(results, meta)
    args.out.write_text(text)
    if args.json:
        args.json.write_text(json.dumps({"meta": meta, "results": [asdict(r) for r in results]}, indent=1))
    print(text)
    return 1 if any(r.errors for r in results) else 0


if __name__ == "__main__":
    sys.exit(main())
