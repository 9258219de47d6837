"""Truncated SVD compression against the numpy reference, in one process.

For float32 low-rank-plus-noise matrices, times svd_compress, svd_compress_energy and
svd_decompress next to the straightforward numpy implementation (full thin SVD, slice,
reconstruct), and prints time, speed-up and peak extra memory.
"""

from __future__ import annotations

import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))

import oracle  # noqa: E402
from _common import machine, measure, table  # noqa: E402

from velmora_dryx import kestrine as k  # noqa: E402

SHAPES = [(1024, 1024), (4096, 1024), (896, 4864)]


def matrix(shape, rank=32, noise=0.05, seed=0):
    rng = np.random.default_rng(seed)
    m, n = shape
    low = rng.standard_normal((m, rank)) @ rng.standard_normal((rank, n)) / np.sqrt(rank)
    return (low + noise * rng.standard_normal((m, n))).astype(np.float32)


def main() -> None:
    repeat = int(os.environ.get("BENCH_REPEAT", "3"))
    rows = []
    for shape in SHAPES:
        a = matrix(shape)
        cases = [
            (
                "svd_compress r=0.05",
                lambda: k.svd_compress(a, 0.05),
                lambda: oracle.svd_compress(a, 0.05),
            ),
            (
                "svd_compress r=0.5",
                lambda: k.svd_compress(a, 0.5),
                lambda: oracle.svd_compress(a, 0.5),
            ),
            (
                "svd_compress_energy e=0.9",
                lambda: k.svd_compress_energy(a, 0.9),
                lambda: oracle.svd_compress_energy(a, 0.9),
            ),
            (
                "svd_compress_energy e=0.99",
                lambda: k.svd_compress_energy(a, 0.99),
                lambda: oracle.svd_compress_energy(a, 0.99),
            ),
        ]
        for name, ours, ref in cases:
            t_ours, m_ours = measure(ours, repeat)
            t_ref, m_ref = measure(ref, repeat)
            rank = ours().metadata["rank"]
            rows.append(
                [
                    f"{shape[0]}x{shape[1]} {name}",
                    rank,
                    f"{t_ref * 1e3:.1f}",
                    f"{t_ours * 1e3:.1f}",
                    f"{t_ref / t_ours:.2f}x",
                    f"{m_ref:.0f}",
                    f"{m_ours:.0f}",
                ]
            )
        rec = k.svd_compress(a, 0.05)
        s, (u, vt) = rec.cores[0], rec.factors
        t_ours, m_ours = measure(lambda: k.svd_decompress(rec), repeat)
        t_ref, m_ref = measure(lambda: oracle.svd_reconstruct(s, u, vt, a.shape, a.dtype), repeat)
        rows.append(
            [
                f"{shape[0]}x{shape[1]} svd_decompress r=0.05",
                rec.metadata["rank"],
                f"{t_ref * 1e3:.1f}",
                f"{t_ours * 1e3:.1f}",
                f"{t_ref / t_ours:.2f}x",
                f"{m_ref:.0f}",
                f"{m_ours:.0f}",
            ]
        )
    print(f"bench_svd: float32, best of {repeat}; {machine()}")
    print(table(["case", "rank", "numpy ms", "ours ms", "speed-up", "numpy MiB", "ours MiB"], rows))


if __name__ == "__main__":
    main()
