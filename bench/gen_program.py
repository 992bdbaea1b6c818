#!/usr/bin/env python3
"""Writes one program twice: as Kestrane textual IR and as equivalent LLVM IR text.

The program is a list of functions, each a chain of loops. Every loop is a header
block with phis (counter, integer and floating-point accumulators), a diamond
(then/else) and a latch that merges the diamond with phis and branches back. The
blocks hold a seeded mix of integer and floating-point arithmetic, comparisons,
selects, casts, getelementptr over scalars, structs and arrays, loads, stores,
allocas, direct calls, and indirect calls through a function pointer kept in a
stack slot. Functions call only functions defined before them (and themselves).

Both texts are rendered from the same abstract instruction, so they describe the
same program instruction for instruction: same functions, same blocks, same
values, same control flow. Generation stops once the Kestrane text reaches the
requested size; the output is a function of (target size, seed) alone.

LLVM IR uses opaque pointers (`ptr`): feed it to llvm-as-14 / opt-14 with
`-opaque-pointers`.

Usage:
    python bench/gen_program.py --bytes 5000000 --seed 1 --ke prog.ke --ll prog.ll
"""

from __future__ import annotations

import argparse
import json
import random
import sys
from dataclasses import asdict, dataclass, field
from typing import Dict, List, Optional, Sequence, Tuple

# ---------------------------------------------------------------------------
# Types and operands

I1, I32, I64, F64, PTR = "i1", "i32", "i64", "f64", "ptr"
KE_TYPE = {I1: "i1", I32: "i32", I64: "i64", F64: "fp64", PTR: "ptr"}
LL_TYPE = {I1: "i1", I32: "i32", I64: "i64", F64: "double", PTR: "ptr"}

# Exactly representable binary fractions, so LLVM accepts them in decimal form.
FLOATS = [f"{k / 8:.3f}" for k in range(1, 64)]


@dataclass(frozen=True)
class Reg:
    name: str
    ty: str


@dataclass(frozen=True)
class Imm:
    ty: str
    text: str  # integer or decimal literal as written


@dataclass(frozen=True)
class FnRef:
    name: str


Value = object  # Reg | Imm | FnRef


def ke_op(v: Value) -> str:
    """An operand in Kestrane: registers bare, constants with their type."""
    if isinstance(v, Reg):
        return "%" + v.name
    if isinstance(v, Imm):
        return f"{KE_TYPE[v.ty]} {v.text}"
    return "ptr " + v.name


def ll_val(v: Value) -> str:
    """An operand in LLVM, without its type."""
    if isinstance(v, Reg):
        return "%" + v.name
    if isinstance(v, Imm):
        return v.text
    return "@" + v.name


def ll_typed(v: Value, ty: str) -> str:
    return f"{LL_TYPE[ty]} {ll_val(v)}"


# ---------------------------------------------------------------------------
# Signatures: three families, so calls carry different argument lists.


@dataclass(frozen=True)
class Signature:
    ret: Optional[str]
    params: Tuple[Tuple[str, str], ...]  # (name, type)


SIGNATURES = [
    Signature(I64, (("n", I64), ("a", PTR), ("b", PTR))),
    Signature(F64, (("x", F64), ("n", I64), ("a", PTR))),
    Signature(None, (("a", PTR), ("n", I64))),
]

# ---------------------------------------------------------------------------
# Instructions: each renders itself in both languages.

INT_BINOPS = [
    # (kestrane mnemonic, llvm mnemonic, weight)
    ("iadd.wrap", "add", 6),
    ("isub.wrap", "sub", 3),
    ("imul.wrap", "mul", 3),
    ("and", "and", 2),
    ("or", "or", 2),
    ("xor", "xor", 2),
    ("idiv.signed", "sdiv", 1),
    ("irem.unsigned", "urem", 1),
]
SHIFTS = [("isht.lsl", "shl"), ("isht.asr", "ashr"), ("isht.lsr", "lshr")]
FLT_BINOPS = [("fadd", "fadd"), ("fsub", "fsub"), ("fmul", "fmul"), ("fdiv", "fdiv")]
ICMP = ["eq", "ne", "slt", "sle", "sgt", "sge", "ult", "ugt"]
FCMP = ["oeq", "olt", "ole", "ogt", "oge", "one"]


def render(ins: tuple) -> Tuple[str, str]:
    """One abstract instruction into (Kestrane line, LLVM line), without indentation."""
    kind = ins[0]
    if kind == "bin":  # ("bin", dest, ke_mn, ll_mn, a, b)
        _, d, km, lm, a, b = ins
        return (f"%{d.name}: {KE_TYPE[d.ty]} = {km} {ke_op(a)}, {ke_op(b)}",
                f"%{d.name} = {lm} {LL_TYPE[d.ty]} {ll_val(a)}, {ll_val(b)}")
    if kind == "cmp":  # ("cmp", dest, family, pred, a, b, operand type)
        _, d, fam, pred, a, b, ty = ins
        return (f"%{d.name}: i1 = {fam}.{pred} {ke_op(a)}, {ke_op(b)}",
                f"%{d.name} = {fam} {pred} {LL_TYPE[ty]} {ll_val(a)}, {ll_val(b)}")
    if kind == "select":  # ("select", dest, cond, a, b)
        _, d, c, a, b = ins
        return (f"%{d.name}: {KE_TYPE[d.ty]} = select {ke_op(c)}, {ke_op(a)}, {ke_op(b)}",
                f"%{d.name} = select i1 {ll_val(c)}, {ll_typed(a, d.ty)}, {ll_typed(b, d.ty)}")
    if kind == "cast":  # ("cast", dest, variant, value)
        _, d, var, v = ins
        return (f"%{d.name}: {KE_TYPE[d.ty]} = cast.{var} {ke_op(v)}",
                f"%{d.name} = {var} {ll_typed(v, v.ty)} to {LL_TYPE[d.ty]}")
    if kind == "gep":  # ("gep", dest, (ke in_ty, ll in_ty), base, [(index, type)])
        _, d, (kin, lin), base, idx = ins
        ke_idx = "".join(", " + ke_op(i) for i, _ in idx)
        ll_idx = "".join(", " + ll_typed(i, t) for i, t in idx)
        return (f"%{d.name}: ptr = getelementptr {kin}, {ke_op(base)}{ke_idx}",
                f"%{d.name} = getelementptr {lin}, ptr {ll_val(base)}{ll_idx}")
    if kind == "load":  # ("load", dest, addr)
        _, d, p = ins
        al = 8 if d.ty != I32 else 4
        return (f"%{d.name}: {KE_TYPE[d.ty]} = load {ke_op(p)}, align {al}",
                f"%{d.name} = load {LL_TYPE[d.ty]}, ptr {ll_val(p)}, align {al}")
    if kind == "store":  # ("store", addr, value, value type)
        _, p, v, ty = ins
        al = 8 if ty != I32 else 4
        return (f"store {ke_op(p)}, {ke_op(v)}, align {al}",
                f"store {ll_typed(v, ty)}, ptr {ll_val(p)}, align {al}")
    if kind == "alloca":  # ("alloca", dest, count)
        _, d, n = ins
        return (f"%{d.name}: ptr = alloca i64 {n}, align 8",
                f"%{d.name} = alloca i64, i64 {n}, align 8")
    if kind == "call":  # ("call", dest or None, callee, signature, args)
        _, d, callee, sig, args = ins
        ke_args = "".join(", " + ke_op(a) for a in args)
        ll_args = ", ".join(ll_typed(a, t) for a, (_, t) in zip(args, sig.params))
        ll_ret = LL_TYPE[sig.ret] if sig.ret else "void"
        ke_callee = ke_op(callee)
        ll_callee = ll_val(callee)
        if d is None:
            return (f"invoke {ke_callee}{ke_args}", f"call {ll_ret} {ll_callee}({ll_args})")
        return (f"%{d.name}: {KE_TYPE[d.ty]} = invoke {ke_callee}{ke_args}",
                f"%{d.name} = call {ll_ret} {ll_callee}({ll_args})")
    if kind == "phi":  # ("phi", dest, [(value, label)])
        _, d, pairs = ins
        ke_pairs = ", ".join(f"[{ke_op(v)}, {l}]" for v, l in pairs)
        ll_pairs = ", ".join(f"[ {ll_val(v)}, %{l} ]" for v, l in pairs)
        return (f"%{d.name}: {KE_TYPE[d.ty]} = phi {ke_pairs}",
                f"%{d.name} = phi {LL_TYPE[d.ty]} {ll_pairs}")
    raise ValueError(kind)


def render_term(term: tuple) -> Tuple[str, str]:
    kind = term[0]
    if kind == "jump":
        return f"jump {term[1]}", f"br label %{term[1]}"
    if kind == "branch":
        _, c, t, f = term
        return f"branch {ke_op(c)}, {t}, {f}", f"br i1 {ll_val(c)}, label %{t}, label %{f}"
    if kind == "ret":
        v, ty = term[1], term[2]
        if v is None:
            return "ret void", "ret void"
        return f"ret {ke_op(v)}", f"ret {ll_typed(v, ty)}"
    raise ValueError(kind)


# ---------------------------------------------------------------------------
# Function builder


@dataclass
class Block:
    label: str
    instrs: List[tuple] = field(default_factory=list)
    term: tuple = ("ret", None, None)


class Pools:
    """Values available (dominating) at the current point, by type."""

    def __init__(self, by_type: Optional[Dict[str, List[Value]]] = None):
        self.by_type: Dict[str, List[Value]] = {t: list(v) for t, v in (by_type or {}).items()}

    def copy(self) -> "Pools":
        return Pools(self.by_type)

    def add(self, v: Reg) -> None:
        self.by_type.setdefault(v.ty, []).append(v)

    def has(self, ty: str) -> bool:
        return bool(self.by_type.get(ty))

    def pick(self, rng: random.Random, ty: str, window: int = 12) -> Value:
        vals = self.by_type.get(ty)
        if not vals:
            raise KeyError(ty)
        # Mostly recent values, so dependency chains stay realistic.
        return vals[-1 - min(int(rng.expovariate(0.35)), min(window, len(vals)) - 1)]


class FunctionBuilder:
    def __init__(self, rng: random.Random, index: int, sig: Signature, callees: Sequence[Tuple[str, Signature]]):
        self.rng = rng
        self.index = index
        self.name = f"fn{index}"
        self.sig = sig
        self.callees = callees  # functions defined so far, this one included
        self.next_reg = 0
        self.blocks: List[Block] = []
        self.slot: Optional[Reg] = None  # stack slot holding a function pointer

    # -- values

    def fresh(self, ty: str) -> Reg:
        r = Reg(f"v{self.next_reg}", ty)
        self.next_reg += 1
        return r

    def int_operand(self, pools: Pools, ty: str = I64) -> Value:
        if self.rng.random() < 0.3 or not pools.has(ty):
            return Imm(ty, str(self.rng.randint(-1000, 1000)))
        return pools.pick(self.rng, ty)

    def flt_operand(self, pools: Pools) -> Value:
        if self.rng.random() < 0.3 or not pools.has(F64):
            return Imm(F64, self.rng.choice(FLOATS))
        return pools.pick(self.rng, F64)

    def int_reg(self, pools: Pools) -> Value:
        return pools.pick(self.rng, I64) if pools.has(I64) else Imm(I64, str(self.rng.randint(1, 9)))

    # -- one instruction of the straight-line mix

    def emit(self, blk: Block, pools: Pools) -> None:
        rng = self.rng
        r = rng.random()
        if r < 0.26:  # integer arithmetic
            km, lm = rng.choices([(k, l) for k, l, _ in INT_BINOPS], [w for _, _, w in INT_BINOPS])[0]
            a = self.int_reg(pools)
            b = Imm(I64, str(rng.randint(1, 97))) if km in ("idiv.signed", "irem.unsigned") else self.int_operand(pools)
            d = self.fresh(I64)
            blk.instrs.append(("bin", d, km, lm, a, b))
        elif r < 0.31:  # shift by a constant
            km, lm = rng.choice(SHIFTS)
            d = self.fresh(I64)
            blk.instrs.append(("bin", d, km, lm, self.int_reg(pools), Imm(I64, str(rng.randint(1, 63)))))
        elif r < 0.45:  # floating-point arithmetic
            km, lm = rng.choice(FLT_BINOPS)
            a = pools.pick(rng, F64) if pools.has(F64) else Imm(F64, rng.choice(FLOATS))
            d = self.fresh(F64)
            blk.instrs.append(("bin", d, km, lm, a, self.flt_operand(pools)))
        elif r < 0.51:  # comparison, then a select on it
            c = self.fresh(I1)
            if rng.random() < 0.6 or not pools.has(F64):
                blk.instrs.append(("cmp", c, "icmp", rng.choice(ICMP), self.int_reg(pools), self.int_operand(pools), I64))
                d = self.fresh(I64)
                blk.instrs.append(("select", d, c, self.int_reg(pools), self.int_operand(pools)))
            else:
                blk.instrs.append(("cmp", c, "fcmp", rng.choice(FCMP), pools.pick(rng, F64), self.flt_operand(pools), F64))
                d = self.fresh(F64)
                blk.instrs.append(("select", d, c, pools.pick(rng, F64), self.flt_operand(pools)))
            pools.add(c)
        elif r < 0.56:  # casts
            k = rng.random()
            if k < 0.35:
                d = self.fresh(F64)
                blk.instrs.append(("cast", d, "sitofp", self.int_reg(pools)))
            elif k < 0.6 and pools.has(F64):
                d = self.fresh(I64)
                blk.instrs.append(("cast", d, "fptosi", pools.pick(rng, F64)))
            else:
                t = self.fresh(I32)
                blk.instrs.append(("cast", t, "trunc", self.int_reg(pools)))
                pools.add(t)
                d = self.fresh(I64)
                blk.instrs.append(("cast", d, "sext", t))
        elif r < 0.68:  # address arithmetic
            base = pools.pick(rng, PTR, window=4)
            k = rng.random()
            d = self.fresh(PTR)
            if k < 0.5:
                blk.instrs.append(("gep", d, ("i64", "i64"), base, [(self.int_reg(pools), I64)]))
            elif k < 0.8:
                field_ = rng.randint(0, 2)
                blk.instrs.append(("gep", d, ("{i64, fp64, i32}", "{i64, double, i32}"), base,
                                   [(self.int_reg(pools), I64), (Imm(I32, str(field_)), I32)]))
            else:
                blk.instrs.append(("gep", d, ("[16 x fp64]", "[16 x double]"), base,
                                   [(Imm(I64, "0"), I64), (self.int_reg(pools), I64)]))
            pools.add(d)
            return
        elif r < 0.80:  # load
            p = pools.pick(rng, PTR, window=6)
            d = self.fresh(rng.choice([I64, I64, F64]))
            blk.instrs.append(("load", d, p))
        elif r < 0.89:  # store
            p = pools.pick(rng, PTR, window=6)
            if rng.random() < 0.6 or not pools.has(F64):
                blk.instrs.append(("store", p, self.int_operand(pools), I64))
            else:
                blk.instrs.append(("store", p, self.flt_operand(pools), F64))
            return
        elif r < 0.9:  # a stack buffer
            d = self.fresh(PTR)
            blk.instrs.append(("alloca", d, rng.choice([4, 8, 16, 64])))
            pools.add(d)
            return
        else:  # call, direct or through the function pointer in the stack slot
            self.emit_call(blk, pools)
            return
        pools.add(d)

    def call_args(self, pools: Pools, sig: Signature) -> List[Value]:
        args: List[Value] = []
        for _, ty in sig.params:
            if ty == I64:
                args.append(self.int_operand(pools))
            elif ty == F64:
                args.append(self.flt_operand(pools))
            else:
                args.append(pools.pick(self.rng, PTR, window=6))
        return args

    def emit_call(self, blk: Block, pools: Pools) -> None:
        rng = self.rng
        if self.slot is not None and rng.random() < 0.2:
            # Indirect: store a function of the slot's signature, load it back, call through it.
            sig = SIGNATURES[0]
            same = [n for n, s in self.callees if s == sig]
            target = FnRef(rng.choice(same[-64:]))
            blk.instrs.append(("store", self.slot, target, PTR))
            fp = self.fresh(PTR)
            blk.instrs.append(("load", fp, self.slot))
            d = self.fresh(I64)
            blk.instrs.append(("call", d, fp, sig, self.call_args(pools, sig)))
            pools.add(d)
            return
        # Direct: mostly a recent function, sometimes any earlier one.
        if rng.random() < 0.7:
            name, sig = self.callees[-1 - min(int(rng.expovariate(0.1)), len(self.callees) - 1)]
        else:
            name, sig = rng.choice(self.callees)
        d = self.fresh(sig.ret) if sig.ret else None
        blk.instrs.append(("call", d, FnRef(name), sig, self.call_args(pools, sig)))
        if d is not None:
            pools.add(d)

    def fill(self, blk: Block, pools: Pools, lo: int, hi: int) -> None:
        for _ in range(self.rng.randint(lo, hi)):
            self.emit(blk, pools)

    # -- the function

    def build(self) -> List[Block]:
        rng = self.rng
        pools = Pools()
        for pname, ty in self.sig.params:
            pools.add(Reg(pname, ty))
        entry = Block("entry")
        self.blocks.append(entry)
        slot = self.fresh(PTR)
        entry.instrs.append(("alloca", slot, 16))
        pools.add(slot)
        if any(s == SIGNATURES[0] for _, s in self.callees):
            self.slot = slot
        self.fill(entry, pools, 1, 4)
        if not pools.has(F64):
            d = self.fresh(F64)
            entry.instrs.append(("cast", d, "sitofp", self.int_reg(pools)))
            pools.add(d)
        n = Reg("n", I64)
        prev = entry
        acc: Value = self.int_reg(pools)
        facc: Value = pools.pick(rng, F64)
        regions = rng.randint(1, 5)
        for k in range(regions):
            head, then, els = Block(f"head{k}"), Block(f"then{k}"), Block(f"else{k}")
            latch, exit_ = Block(f"latch{k}"), Block(f"exit{k}")
            prev.term = ("jump", head.label)
            # header: counter and accumulators
            i, a, f = self.fresh(I64), self.fresh(I64), self.fresh(F64)
            inext, anext, fnext = self.fresh(I64), self.fresh(I64), self.fresh(F64)
            head.instrs += [("phi", i, [(Imm(I64, "0"), prev.label), (inext, latch.label)]),
                            ("phi", a, [(acc, prev.label), (anext, latch.label)]),
                            ("phi", f, [(facc, prev.label), (fnext, latch.label)])]
            for r in (i, a, f):
                pools.add(r)
            self.fill(head, pools, 2, 10)
            c = self.fresh(I1)
            head.instrs.append(("cmp", c, "icmp", rng.choice(ICMP), a, self.int_operand(pools), I64))
            head.term = ("branch", c, then.label, els.label)
            # the diamond
            arms = []
            for arm in (then, els):
                ap = pools.copy()
                self.fill(arm, ap, 2, 12)
                ai, af = self.fresh(I64), self.fresh(F64)
                arm.instrs.append(("bin", ai, "iadd.wrap", "add", a, self.int_operand(ap)))
                arm.instrs.append(("bin", af, "fmul", "fmul", f, self.flt_operand(ap)))
                arm.term = ("jump", latch.label)
                arms.append((ai, af))
            # latch: merge, step, loop back
            latch.instrs += [("phi", anext, [(arms[0][0], then.label), (arms[1][0], els.label)]),
                             ("phi", fnext, [(arms[0][1], then.label), (arms[1][1], els.label)])]
            pools.add(anext)
            pools.add(fnext)
            self.fill(latch, pools, 1, 6)
            latch.instrs.append(("bin", inext, "iadd.wrap", "add", i, Imm(I64, "1")))
            lc = self.fresh(I1)
            latch.instrs.append(("cmp", lc, "icmp", "slt", inext, n, I64))
            latch.term = ("branch", lc, head.label, exit_.label)
            self.fill(exit_, pools, 0, 4)
            self.blocks += [head, then, els, latch, exit_]
            prev, acc, facc = exit_, anext, fnext
        ret = self.sig.ret
        prev.term = ("ret", None if ret is None else (acc if ret == I64 else facc), ret)
        return self.blocks


def render_function(name: str, sig: Signature, blocks: List[Block]) -> Tuple[str, str, int]:
    ke_params = ", ".join(f"%{p}: {KE_TYPE[t]}" for p, t in sig.params)
    ll_params = ", ".join(f"{LL_TYPE[t]} %{p}" for p, t in sig.params)
    ke = [f"define {KE_TYPE[sig.ret] if sig.ret else 'void'} {name}({ke_params}) {{"]
    ll = [f"define {LL_TYPE[sig.ret] if sig.ret else 'void'} @{name}({ll_params}) {{"]
    count = 0
    for b in blocks:
        ke.append(f"{b.label}:")
        ll.append(f"{b.label}:")
        for ins in b.instrs:
            k, l = render(ins)
            ke.append("  " + k)
            ll.append("  " + l)
        count += len(b.instrs)
        k, l = render_term(b.term)
        ke.append("  " + k)
        ll.append("  " + l)
    ke.append("}\n")
    ll.append("}\n")
    return "\n".join(ke) + "\n", "\n".join(ll) + "\n", count


@dataclass
class ProgramStats:
    functions: int = 0
    blocks: int = 0
    instructions: int = 0
    ke_bytes: int = 0
    ll_bytes: int = 0


def generate(target_bytes: int, seed: int = 1) -> Tuple[str, str, ProgramStats]:
    """The program as (Kestrane text, LLVM text, stats); the Kestrane text is at least
    `target_bytes` long (or one function, for tiny targets)."""
    rng = random.Random(seed)
    ke_parts: List[str] = []
    ll_parts: List[str] = ["; generated by bench/gen_program.py\n\n"]
    stats = ProgramStats(ll_bytes=len(ll_parts[0]))
    defined: List[Tuple[str, Signature]] = []
    index = 0
    while stats.ke_bytes < target_bytes or index == 0:
        sig = rng.choice(SIGNATURES)
        name = f"fn{index}"
        defined.append((name, sig))
        blocks = FunctionBuilder(rng, index, sig, defined).build()
        ke, ll, count = render_function(name, sig, blocks)
        ke_parts.append(ke)
        ll_parts.append(ll)
        stats.functions += 1
        stats.blocks += len(blocks)
        stats.instructions += count
        stats.ke_bytes += len(ke)
        stats.ll_bytes += len(ll)
        index += 1
    return "".join(ke_parts), "".join(ll_parts), stats


def main(argv: Optional[Sequence[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bytes", type=float, default=1e6, help="target size of the Kestrane text, in bytes")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--ke", required=True, help="output path of the Kestrane text")
    ap.add_argument("--ll", required=True, help="output path of the LLVM text")
    ap.add_argument("--stats", help="output path of the program's counts (JSON)")
    args = ap.parse_args(argv)
    ke, ll, st = generate(int(args.bytes), args.seed)
    with open(args.ke, "w", encoding="utf-8") as f:
        f.write(ke)
    with open(args.ll, "w", encoding="utf-8") as f:
        f.write(ll)
    if args.stats:
        with open(args.stats, "w", encoding="utf-8") as f:
            json.dump(asdict(st), f)
    print(f"{st.functions} functions, {st.blocks} blocks, {st.instructions} instructions; "
          f"kestrane {st.ke_bytes} bytes, llvm {st.ll_bytes} bytes", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
