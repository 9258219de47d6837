"""The shipped type stubs agree with the built modules."""

import importlib.util
import subprocess
import sys

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
