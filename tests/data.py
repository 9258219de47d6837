"""Seeded synthetic tensors for the tests."""

import numpy as np


def low_rank(rng, shape, rank, noise=1e-3, dtype=np.float32):
    """A tensor whose mode-0 flattening has the given rank plus a little noise, with a
    spread spectrum so that ranks chosen from it are well separated."""
    m = shape[0]
    n = int(np.prod(shape[1:]))
    r = max(1, min(rank, m, n))
    scale = np.linspace(3.0, 1.0, r)[:, None]
    core = rng.standard_normal((m, r)) @ (rng.standard_normal((r, n)) * scale)
    return (core + noise * rng.standard_normal((m, n))).reshape(shape).astype(dtype)
