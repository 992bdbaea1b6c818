"""The documentation's examples: every `ke` block compiles and loads, every `ke-error` block is
refused with the message on its `; refused:` line, every `python` block runs and prints what the
`text` block right after it shows (lines in any order), and the readers the docs define (stored
functions, text-mistake records, the panic check) work on real output; the module's doc string
names every export."""

import gc
import re
from pathlib import Path

import pytest

import kepi._sys as s
from kepi.api import InstanceCreateInfo, ModuleCompileInfo, ModuleSourceInfo

DOCS = Path(__file__).resolve().parents[2] / "docs"
FENCE = re.compile(r"^```([\w-]*)\n(.*?)^```$", re.MULTILINE | re.DOTALL)
DEFINE = re.compile(r"^define\b.*?\s(!?)([\w.]+)\(", re.MULTILINE)


def blocks(kind):
    found = []
    for page in sorted(DOCS.glob("*.md")):
        text = page.read_text(encoding="utf-8")
        for match in FENCE.finditer(text):
            if match.group(1) == kind:
                line = text.count("\n", 0, match.start()) + 1
                found.append(pytest.param(match.group(2), id=f"{page.name}:{line}"))
    return found


def python_blocks():
    """Each `python` block with the `text` block that directly follows it (None if none does)."""
    found = []
    for page in sorted(DOCS.glob("*.md")):
        text = page.read_text(encoding="utf-8")
        fences = list(FENCE.finditer(text))
        for k, match in enumerate(fences):
            if match.group(1) != "python":
                continue
            after = fences[k + 1] if k + 1 < len(fences) else None
            output = after.group(2) if after is not None and after.group(1) == "text" else None
            line = text.count("\n", 0, match.start()) + 1
            found.append(pytest.param(match.group(2), output, id=f"{page.name}:{line}"))
    return found


def run_block(page, name):
    """The namespace left by the `python` block of `page` that defines `name`."""
    for param in python_blocks():
        code = param.values[0]
        if param.id.startswith(page + ":") and re.search(rf"^def {name}\(", code, re.MULTILINE):
            namespace = {"__name__": "doc_example"}
            exec(compile(code, param.id, "exec"), namespace)
            return namespace
    raise AssertionError(f"{page} has no python block defining {name}")


def compile_text(*texts):
    inst = s._ke_create_instance(InstanceCreateInfo())
    sources = [ModuleSourceInfo(filename=f"doc{k}.kir", data=text) for k, text in enumerate(texts)]
    return inst, s._ke_compile_module(inst, ModuleCompileInfo(sources))


def test_docs_hold_every_kind_of_example():
    assert len(blocks("ke")) >= 10 and len(blocks("ke-error")) >= 5
    assert sum(output is not None for _, output in (p.values for p in python_blocks())) >= 2


@pytest.mark.parametrize("text", blocks("ke"))
def test_example_compiles_and_loads(text):
    inst, storage = compile_text(text)
    assert isinstance(s._ke_load_module(inst, storage), s.Module)


@pytest.mark.parametrize("text", blocks("ke-error"))
def test_refused_example_fails_with_its_message(text):
    stated = [line[len("; refused: "):] for line in text.splitlines() if line.startswith("; refused: ")]
    assert len(stated) == 1
    with pytest.raises(RuntimeError) as e:
        compile_text(text)
    assert str(e.value).startswith("Failed to compile module: ")
    assert stated[0] in str(e.value)


@pytest.mark.parametrize(("code", "output"), python_blocks())
def test_python_example_runs_and_prints_its_output(code, output, capsys):
    exec(compile(code, "doc_example.py", "exec"), {"__name__": "doc_example"})
    if output is not None:
        assert sorted(capsys.readouterr().out.splitlines()) == sorted(output.splitlines())


def test_storage_reader_lists_every_example_function():
    list_functions = run_block("storage.md", "list_functions")["list_functions"]
    for param in blocks("ke"):
        text = param.values[0]
        listed = list_functions(compile_text(text)[1])
        assert sorted(line.split("(")[0] for line in listed) == sorted(m + n for m, n in DEFINE.findall(text))
        assert not any("?" in line for line in listed), listed


def test_storage_reader_gives_signatures_with_their_types():
    namespace = run_block("storage.md", "list_functions")
    texts = [p.values[0] for p in blocks("ke") if re.search(r"^define i32 (max|choose)\(", p.values[0], re.M)]
    assert len(texts) == 2
    assert sorted(namespace["list_functions"](compile_text(*texts)[1])) == [
        "choose(i1, i32, i32) -> i32", "max(i32, i32) -> i32"]
    aggregates = next(p.values[0] for p in blocks("ke") if "aggregates(" in p.values[0])
    assert namespace["list_functions"](compile_text(aggregates)[1]) == [
        "aggregates(packed {i1, [3 x ptr]}, <vscale 2 x i64>) -> [2 x {i8, <4 x fp32>}]"]


def test_findings_reader_takes_every_record_in_order():
    findings = run_block("ir.md", "findings")["findings"]
    # Both findings of the complete first function stay; of the second, the finding before its
    # grammar mistake is dropped and the mistake comes last (as "Reading the text" says).
    complete = "define void g(%a: [0 x i8]) {\nentry:\n  %c: i1 = icmp.less %a, i32 0\n  ret void\n}\n"
    broken = "define void f(%p: ptr) {\nentry:\n  %x: i32 = store %p, i32 1\n  %y: i32 = iadd.wrap i32 1 i32 2\n}\n"
    with pytest.raises(RuntimeError) as e:
        compile_text(complete + broken)
    found = findings(str(e.value))
    source = (complete + broken).encode()
    assert [m for _, _, m in found] == [
        "array size must be a positive non-zero integer",
        "unknown integer comparison variant: less (expected one of: eq, ne, ugt, uge, ult, ule, sgt, sge, slt, sle)",
        "found 'i32' expected ',', label, '\\n', 'Branch', 'Trap', 'Jump', or 'Ret'"]
    assert [source[start:end].strip() for start, end, _ in found] == [b"[0 x i8]", b"%c: i1 = icmp.less %a, i32 0",
                                                                      b"i32"]


def test_panic_check_of_python_md_tells_the_panic_type():
    is_panic = run_block("python.md", "is_panic")["is_panic"]
    panic = next(t for t in gc.get_objects() if isinstance(t, type) and t.__name__ == "PanicException")
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    assert not hasattr(s, "PanicException")
    assert is_panic(panic("fault")) and not is_panic(RuntimeError("fault")) and not is_panic(MemoryError())


def test_module_doc_names_every_export():
    doc = s.__doc__
    for signature in ["_ke_create_instance(instance_create_info)", "_ke_compile_module(instance, compile_info)",
                      "_ke_load_module(instance, module_data)", "factorial(n)", "fibonacci(n)"]:
        assert signature in doc
    for name in ["Instance", "Module"]:
        assert re.search(rf"^  {name}$", doc, re.MULTILINE)
        assert isinstance(getattr(s, name), type)
