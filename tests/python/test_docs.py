"""The documentation's IR examples: every `ke` block compiles and loads, every `ke-error` block is
refused with the message on its `; refused:` line; the module's doc string names every export."""

import re
from pathlib import Path

import pytest

import kepi._sys as s
from kepi.api import InstanceCreateInfo, ModuleCompileInfo, ModuleSourceInfo

DOCS = Path(__file__).resolve().parents[2] / "docs"
FENCE = re.compile(r"^```(ke|ke-error)\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def blocks(kind):
    found = []
    for page in sorted(DOCS.glob("*.md")):
        text = page.read_text(encoding="utf-8")
        for match in FENCE.finditer(text):
            if match.group(1) == kind:
                line = text.count("\n", 0, match.start()) + 1
                found.append(pytest.param(match.group(2), id=f"{page.name}:{line}"))
    return found


def compile_text(text):
    inst = s._ke_create_instance(InstanceCreateInfo())
    return inst, s._ke_compile_module(inst, ModuleCompileInfo([ModuleSourceInfo(filename="doc.kir", data=text)]))


def test_docs_hold_both_kinds_of_example():
    assert len(blocks("ke")) >= 10 and len(blocks("ke-error")) >= 5


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


def test_module_doc_names_every_export():
    doc = s.__doc__
    for signature in ["_ke_create_instance(instance_create_info)", "_ke_compile_module(instance, compile_info)",
                      "_ke_load_module(instance, module_data)", "factorial(n)", "fibonacci(n)"]:
        assert signature in doc
    for name in ["Instance", "Module"]:
        assert re.search(rf"^  {name}$", doc, re.MULTILINE)
        assert isinstance(getattr(s, name), type)
