"""Shared test configuration.

Tests marked ``torch`` need PyTorch. They are skipped where it is not installed, except
when VELMORA_REQUIRE_TORCH=1 is set (the python3.11 run of ``make test``): there a missing
torch stops the run instead of letting those tests pass as skipped.
"""

import importlib.util
import os
import sys

import numpy as np
import pytest


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)


def _torch_installed() -> bool:
    # find_spec only looks the package up: importing torch here would slow every run and put
    # it in sys.modules for tests that check what importing a module pulls in.
    return importlib.util.find_spec("torch") is not None


def pytest_collection_modifyitems(config, items):
    if _torch_installed():
        return
    marked = [item for item in items if "torch" in item.keywords]
    if not marked:
        return
    if os.environ.get("VELMORA_REQUIRE_TORCH") == "1":
        raise pytest.UsageError(
            f"VELMORA_REQUIRE_TORCH=1 but torch is not installed for {sys.executable}: "
            f"{len(marked)} tests marked 'torch' would not run"
        )
    skip = pytest.mark.skip(reason="needs torch (run in the python3.11 venv)")
    for item in marked:
        item.add_marker(skip)
