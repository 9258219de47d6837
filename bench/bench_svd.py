"""Truncated SVD compression against numpy and the sparse-eigensolver peers, in one process.

Two tables. The first: for float32 low-rank-plus-noise matrices, svd_compress,
svd_compress_energy and svd_decompress next to the straightforward numpy implementation
(full thin SVD, slice, reconstruct), with time, speed-up and peak extra memory. The second:
float32 fine-tune deltas (decaying spectrum plus small noise) at fixed ranks and energy
shares, next to numpy's full SVD, scipy's svds with the "propack" and "arpack" solvers, and,
where PyTorch is installed, torch.linalg.svd and the randomized torch.svd_lowrank (q = rank +
10, niter = 2) with its excess error: ||A - A_k|| / ||A - A_k(ours)|| - 1 in the Frobenius
norm. The peers are asked for the rank ours kept (for energy cases, the rank the energy
share selected); svds runs only up to a quarter of min(m, n), where it is meant to serve
("-" above that). svd_compress's smallest rank is ceil(0.01 min(m, n)), so the rank-16 cases
run through svd_compress_energy capped at max_rank=16.

Full SVDs do not depend on the rank: numpy's and torch's are timed once per matrix.
BENCH_REPEAT (default 3) sets the repeats of the first table, BENCH_REPEAT_LARGE (default 1)
those of the second; BENCH_LARGE=0 skips the second.
"""

from __future__ import annotations

import importlib.util
import os
import sys

import numpy as np
from scipy.sparse.linalg import svds

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))

import oracle  # noqa: E402
from _common import machine, measure, table  # noqa: E402

from velmora_dryx import kestrine as k  # noqa: E402

SHAPES = [(1024, 1024), (4096, 1024), (896, 4864)]
DELTA_SHAPES = [(4096, 4096), (4096, 11008)]
HAVE_TORCH = importlib.util.find_spec("torch") is not None


def matrix(shape, rank=32, noise=0.05, seed=0):
    rng = np.random.default_rng(seed)
    m, n = shape
    low = rng.standard_normal((m, rank)) @ rng.standard_normal((rank, n)) / np.sqrt(rank)
    return (low + noise * rng.standard_normal((m, n))).astype(np.float32)


def delta(shape, seed=0, terms=1024, decay=64.0, noise=1e-4):
    """A fine-tune delta: singular values exp(-i / decay) over `terms` random directions,
    plus Gaussian noise whose largest singular value is about `noise`."""
    rng = np.random.default_rng(seed)
    m, n = shape
    s = np.exp(-np.arange(terms) / decay).astype(np.float32)
    left = rng.standard_normal((m, terms), dtype=np.float32) / np.float32(np.sqrt(m))
    right = rng.standard_normal((terms, n), dtype=np.float32) / np.float32(np.sqrt(n))
    a = (left * s) @ right
    a += rng.standard_normal((m, n), dtype=np.float32) * np.float32(
        noise / (np.sqrt(m) + np.sqrt(n))
    )
    return a


def residual(a, u, s, vt):
    """||A - U diag(s) Vt||_F in float64."""
    return float(np.linalg.norm(a.astype(np.float64) - (u.astype(np.float64) * s) @ vt))


def peers(a, rank, repeat, full):
    """Times of the peers for `rank` triplets of `a`: a dict of name -> (seconds, result)."""
    out = {}
    if rank <= min(a.shape) // 4:
        for solver in ("propack", "arpack"):
            out[solver] = measure_with_result(
                lambda s=solver: svds(a, k=rank, solver=s, random_state=0), repeat
            )
    out.update(full)
    if HAVE_TORCH:
        import torch

        t = torch.from_numpy(a)
        out["lowrank"] = measure_with_result(
            lambda: torch.svd_lowrank(t, q=rank + 10, niter=2), repeat
        )
    return out


def measure_with_result(fn, repeat):
    box = []
    seconds, _ = measure(lambda: box.append(fn()) or box[-1], repeat)
    return seconds, box[-1]


def full_svds(a):
    """numpy's and, where installed, torch's full thin SVD, timed once."""
    full = {"numpy": measure_with_result(lambda: np.linalg.svd(a, full_matrices=False), 1)}
    if HAVE_TORCH:
        import torch

        t = torch.from_numpy(a)
        full["torch"] = measure_with_result(lambda: torch.linalg.svd(t, full_matrices=False), 1)
    return full


def ms(seconds):
    return f"{seconds * 1e3:.0f}" if seconds is not None else "-"


def ratio(peer, ours):
    return f"{peer / ours:.2f}x" if peer is not None else "-"


def delta_rows(repeat):
    rows = []
    for shape in DELTA_SHAPES:
        a = delta(shape)
        full = full_svds(a)
        cases = [
            ("rank 16", lambda: k.svd_compress_energy(a, 0.999999, 1, 16)),
            ("rank 64", lambda: k.svd_compress(a, 64 / min(shape))),
            ("rank 256", lambda: k.svd_compress(a, 256 / min(shape))),
            ("energy 0.9", lambda: k.svd_compress_energy(a, 0.9)),
            ("energy 0.99", lambda: k.svd_compress_energy(a, 0.99)),
        ]
        for name, ours in cases:
            t_ours, rec = measure_with_result(ours, repeat)
            rank = rec.metadata["rank"]
            s, (u, vt) = rec.cores[0], rec.factors
            p = peers(a, rank, repeat, full)
            _, s_np, _ = p["numpy"][1]
            sdiff = float(np.max(np.abs(s - s_np[:rank]))) / float(s_np[0])
            excess = "-"
            if "lowrank" in p:
                lu, ls, lv = (x.numpy() for x in p["lowrank"][1])
                best = residual(a, u, s, vt)
                excess = f"{residual(a, lu[:, :rank], ls[:rank], lv[:, :rank].T) / best - 1:+.1e}"
            get = {key: p[key][0] if key in p else None for key in ("numpy", "propack", "arpack")}
            rows.append(
                [
                    f"{shape[0]}x{shape[1]} {name}",
                    rank,
                    ms(t_ours),
                    ms(get["numpy"]),
                    ratio(get["numpy"], t_ours),
                    ms(get["propack"]),
                    ratio(get["propack"], t_ours),
                    ms(get["arpack"]),
                    ratio(get["arpack"], t_ours),
                    ms(p["torch"][0] if "torch" in p else None),
                    ms(p["lowrank"][0] if "lowrank" in p else None),
                    excess,
                    f"{sdiff:.1e}",
                ]
            )
    headers = [
        "case",
        "rank",
        "ours ms",
        "numpy ms",
        "vs numpy",
        "propack ms",
        "vs propack",
        "arpack ms",
        "vs arpack",
        "torch ms",
        "lowrank ms",
        "lowrank excess",
        "|ds|/s1 vs numpy",
    ]
    return headers, rows


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
    print(f"bench_svd: float32, best of {repeat}; {machine()}; load {os.getloadavg()[0]:.1f}")
    print(table(["case", "rank", "numpy ms", "ours ms", "speed-up", "numpy MiB", "ours MiB"], rows))
    if os.environ.get("BENCH_LARGE", "1") != "0":
        large = int(os.environ.get("BENCH_REPEAT_LARGE", "1"))
        headers, rows = delta_rows(large)
        print()
        print(
            f"float32 fine-tune deltas, best of {large} (full SVDs once); "
            f"torch {'present' if HAVE_TORCH else 'not installed'}; "
            f"load {os.getloadavg()[0]:.1f}"
        )
        print(table(headers, rows))


if __name__ == "__main__":
    main()
