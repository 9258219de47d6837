"""Pure-numpy reference implementations the native modules are checked against.

Each function follows the documented algorithm step by step with numpy alone, and returns
plain tuples/dicts rather than the package's records, so a test compares the two
independently built results field by field.
"""

from __future__ import annotations

import math

import numpy as np


def svd_compress(tensor, rank_ratio=0.5, min_rank=1):
    """(s, U, Vt, metadata) of the fixed-ratio truncated SVD of the mode-0 flattening."""
    shape = tuple(tensor.shape)
    mat = tensor.reshape(shape[0], int(np.prod(shape[1:])))
    ratio = max(rank_ratio, 0.01) if rank_ratio < 1.0 else 1.0
    rank = max(min_rank, int(math.ceil(min(mat.shape) * ratio)))
    u, s, vt = np.linalg.svd(mat, full_matrices=False)
    kept = (
        s[:rank].astype(tensor.dtype, copy=False),
        u[:, :rank].astype(tensor.dtype, copy=False),
        vt[:rank].astype(tensor.dtype, copy=False),
    )
    return kept, {"rank_ratio": float(ratio), "rank": int(rank)}


def svd_compress_energy(tensor, energy=0.99, min_rank=1, max_rank=None):
    """(s, U, Vt, metadata) of the energy-selected truncated SVD, factored in float32."""
    shape = tuple(tensor.shape)
    mat = np.ascontiguousarray(tensor.reshape(shape[0], int(np.prod(shape[1:]))), dtype=np.float32)
    energy = max(energy, 0.0) if energy < 1.0 else 1.0
    u, s, vt = np.linalg.svd(mat, full_matrices=False)
    r = s.shape[0]
    sq = s.astype(np.float64) ** 2
    total = float(sq.sum())
    if total <= 1e-30:
        k = min_rank
    else:
        cum = np.cumsum(sq) / total
        k = int(np.searchsorted(cum, energy)) + 1
    k = max(min_rank, k)
    if max_rank is not None:
        k = min(k, max_rank)
    k = min(k, r)
    kept = (
        s[:k].astype(tensor.dtype, copy=False),
        u[:, :k].astype(tensor.dtype, copy=False),
        vt[:k].astype(tensor.dtype, copy=False),
    )
    return kept, {"energy": float(energy), "rank": int(k), "full_rank": int(r)}


def svd_reconstruct(s, u, vt, shape, dtype):
    return ((u * s) @ vt).reshape(shape).astype(dtype, copy=False)
