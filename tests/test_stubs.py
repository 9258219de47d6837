"""The shipped type stubs agree with the built modules."""

import ast
import importlib
import importlib.util
import inspect
import subprocess
import sys
from pathlib import Path

import pytest

MODULES = ["kestrine", "tamsel", "dedup", "lornet", "bramwick"]


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_stubtest_passes_for_every_module():
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", *(f"velmora_dryx.{m}" for m in MODULES)],
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_package_ships_stubs_and_marker():
    import velmora_dryx

    found = importlib.util.find_spec("velmora_dryx")
    root = found.submodule_search_locations[0]
    import os

    files = set(os.listdir(root))
    assert "py.typed" in files
    assert {f"{m}.pyi" for m in MODULES} <= files
    assert velmora_dryx.__version__


def stub_functions(module):
    """(qualified name, stub def) of every function and method the module's stub declares."""
    tree = ast.parse(
        (Path(__file__).parents[1] / "src" / "velmora_dryx" / f"{module}.pyi").read_text()
    )
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            yield node.name, node
        elif isinstance(node, ast.ClassDef):
            for sub in node.body:
                if isinstance(sub, ast.FunctionDef) and not sub.name.startswith("__"):
                    yield f"{node.name}.{sub.name}", sub


@pytest.mark.parametrize("module", MODULES)
def test_stub_annotations_are_the_declared_ones(module):
    """Stubtest compares names, kinds and defaults; the annotation texts are compared here:
    where a native operation declares one, its stub spells the same."""
    mod = importlib.import_module(f"velmora_dryx.{module}")
    for qualname, node in stub_functions(module):
        obj = mod
        for part in qualname.split("."):
            obj = inspect.getattr_static(obj, part)
        sig = inspect.signature(obj.fget if isinstance(obj, property) else obj)
        args = node.args.args + node.args.kwonlyargs
        assert [a.arg for a in args] == list(sig.parameters), qualname
        declared = [(a, sig.parameters[a.arg].annotation) for a in args]
        declared.append((node, sig.return_annotation))
        for stub, runtime in declared:
            text = stub.returns if stub is node else stub.annotation
            if runtime is not inspect.Parameter.empty:
                assert text is not None and ast.unparse(text) == runtime, (qualname, runtime)
