"""Shared test configuration.

Tests marked ``torch`` need PyTorch (and, where they say so, transformers and peft); tests
marked ``ray`` start a local Ray instance. They are skipped where the engine is not
installed, except when VELMORA_REQUIRE_TORCH=1 / VELMORA_REQUIRE_RAY=1 is set (the
python3.11 run of ``make test``): there a missing engine stops the run instead of letting
those tests pass as skipped.
"""

import importlib.util
import os
import signal
import sys

import numpy as np
import pytest

# marker -> (package, environment variable that makes its absence an error)
ENGINES = {"torch": ("torch", "VELMORA_REQUIRE_TORCH"), "ray": ("ray", "VELMORA_REQUIRE_RAY")}


def pytest_configure(config):
    # A run started in the background of a non-interactive shell inherits SIGINT ignored;
    # the Ctrl-C tests (and the children they start) need the interpreter's own handler.
    signal.signal(signal.SIGINT, signal.default_int_handler)


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)


def _installed(package: str) -> bool:
    # find_spec only looks the package up: importing torch here would slow every run and put
    # it in sys.modules for tests that check what importing a module pulls in.
    return importlib.util.find_spec(package) is not None


def pytest_collection_modifyitems(config, items):
    for marker, (package, required) in ENGINES.items():
        if _installed(package):
            continue
        marked = [item for item in items if marker in item.keywords]
        if not marked:
            continue
        if os.environ.get(required) == "1":
            raise pytest.UsageError(
                f"{required}=1 but {package} is not installed for {sys.executable}: "
                f"{len(marked)} tests marked '{marker}' would not run"
            )
        skip = pytest.mark.skip(reason=f"needs {package} (run in the python3.11 venv)")
        for item in marked:
            item.add_marker(skip)
