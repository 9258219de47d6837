"""Seeded synthetic tensors and model files for the tests."""

import os
import subprocess
import sys
import textwrap

import numpy as np


def run_python(code: str, drop=(), update=None, **kwargs) -> str:
    """Runs `code` (dedented) in a fresh interpreter whose environment is this one's without
    the names in `drop`, plus `update`; asserts it succeeds and returns its stdout."""
    env = {k: v for k, v in os.environ.items() if k not in drop}
    env.update(update or {})
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=env,
        capture_output=True,
        text=True,
        **kwargs,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def low_rank(rng, shape, rank, noise=1e-3, dtype=np.float32):
    """A tensor whose mode-0 flattening has the given rank plus a little noise, with a
    spread spectrum so that ranks chosen from it are well separated."""
    m = shape[0]
    n = int(np.prod(shape[1:]))
    r = max(1, min(rank, m, n))
    scale = np.linspace(3.0, 1.0, r)[:, None]
    core = rng.standard_normal((m, r)) @ (rng.standard_normal((r, n)) * scale)
    return (core + noise * rng.standard_normal((m, n))).reshape(shape).astype(dtype)


def write_gguf(path, tensors: dict):
    """A GGUF file of the given tensors; a (raw bytes, quantization type) pair is written as is."""
    import gguf

    w = gguf.GGUFWriter(str(path), "llama")
    for name, value in tensors.items():
        if isinstance(value, tuple):  # (raw bytes, quantization type)
            w.add_tensor(name, value[0], raw_shape=value[0].shape, raw_dtype=value[1])
        else:
            w.add_tensor(name, value)
    w.write_header_to_file()
    w.write_kv_data_to_file()
    w.write_tensors_to_file()
    w.close()
    return path
