"""Delta codecs on fine-tunes made by real training (run in the torch venv).

The zoo (bench/_zoo.py: a 4-layer Llama-style model pre-trained on the standard library's
Python and English, and four fine-tunes of it) is trained on the first run and cached. For
each fine-tune, each codec and each budget (the stored bytes as a fraction of the fine-tune
at 16 bits per parameter), the table gives the bytes stored, the relative error of the
deltas (Frobenius, all tensors together), the perplexity on held-out text of the
fine-tune's domain, the gain kept = (ppl_base - ppl_stored) / (ppl_base - ppl_finetune) and
the time to encode.

    .venv311/bin/python bench/bench_codecs.py [--only full-tests,full-docs] [--budgets 16,32]
"""

from __future__ import annotations

import argparse
import math
import shutil
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import _zoo  # noqa: E402
from _common import machine, table  # noqa: E402

import velmora_dryx as vd  # noqa: E402
from velmora_dryx import tamsel  # noqa: E402

BUDGETS = (4, 8, 16, 32, 64)


def split(base: dict, tuned: dict):
    """The changed matrices' float32 deltas and the changed vectors' bytes (stored raw)."""
    mats, vec_bytes = {}, 0
    for name, w in tuned.items():
        d = np.subtract(w, base[name], dtype=np.float64).astype(np.float32)
        if not d.any():
            continue
        if d.ndim < 2:
            vec_bytes += d.size * 4
        else:
            mats[name] = d
    return mats, vec_bytes


def rebuilt(base: dict, tuned: dict, approx: dict) -> dict:
    out = dict(tuned)
    for name, d in approx.items():
        out[name] = (base[name].astype(np.float32) + d).astype(np.float32)
    return out


def rel_error(mats: dict, approx: dict) -> float:
    num = sum(float(((approx[k].astype(np.float64) - d) ** 2).sum()) for k, d in mats.items())
    den = sum(float((d.astype(np.float64) ** 2).sum()) for d in mats.values())
    return (num / den) ** 0.5


# ---- peers -----------------------------------------------------------------------------


_SVD: dict[int, tuple] = {}


def full_svd(d: np.ndarray):
    """numpy's thin SVD, computed once per matrix of a run."""
    if id(d) not in _SVD:
        _SVD[id(d)] = (d, np.linalg.svd(d, full_matrices=False))
    return _SVD[id(d)][1]


def uniform_rank_svd(mats: dict, budget: float, bytes_per_value: float, per_vector: int):
    """One rank for every matrix (the usual LoRA extraction), factors at `bytes_per_value`
    each plus `per_vector` bytes per stored vector, as many as the budget pays for."""
    per_rank = sum(
        (d.shape[0] + d.shape[1]) * bytes_per_value + 2 * per_vector for d in mats.values()
    )
    r = int(budget // per_rank)
    approx, spent = {}, 0.0
    for name, d in mats.items():
        k = min(r, *d.shape)
        u, s, vt = full_svd(d)
        a, b = u[:, :k] * np.sqrt(s[:k]), vt[:k].T * np.sqrt(s[:k])
        if bytes_per_value == 2:
            a, b = a.astype(np.float16).astype(np.float32), b.astype(np.float16).astype(np.float32)
        else:
            a, b = int8_cols(a), int8_cols(b)
        approx[name] = a @ b.T
        spent += k * ((d.shape[0] + d.shape[1]) * bytes_per_value + 2 * per_vector)
    return approx, spent, {"rank": r}


def int8_cols(a: np.ndarray) -> np.ndarray:
    scale = np.abs(a).max(axis=0) / 127
    scale[scale == 0] = 1
    return (np.round(a / scale).clip(-127, 127) * scale).astype(np.float32)


def sign_rows(mats: dict):
    approx, spent = {}, 0
    for name, d in mats.items():
        scale = np.abs(d).mean(axis=1, keepdims=True)
        approx[name] = (np.where(d >= 0, 1, -1) * scale).astype(np.float32)
        spent += d.size / 8 + d.shape[0] * 4
    return approx, spent


# ---- ours: the saved library's own path -----------------------------------------------------


def stored_finetune(root: Path, base: dict, tuned: dict, **settings):
    """Adds the fine-tune to a library holding the base; (its rebuilt state dict, its stored
    bytes, the seconds add_to_library took, the error it reports)."""
    lib = root / f"lib-{len(list(root.iterdir()))}"
    vd.build_library(base, {}, lib, jobs=1)
    t0 = time.perf_counter()
    vd.add_to_library(lib, "ft", tuned, jobs=1, **settings)
    secs = time.perf_counter() - t0
    info = vd.library_info(lib)["finetunes"][0]
    sd = vd.load_library(lib).reconstruct("ft")
    shutil.rmtree(lib)
    return sd, info["stored_bytes"], secs


# ---- the exact tier ---------------------------------------------------------------------


def as_dtype(sd: dict, dtype: str) -> dict:
    """The state dict's bits in `dtype` (bfloat16 rounded to nearest even, as torch casts)."""
    import torch

    if dtype == "float32":
        return {k: np.ascontiguousarray(v, np.float32) for k, v in sd.items()}
    t = getattr(torch, dtype)
    return {
        k: torch.from_numpy(np.asarray(v, np.float32)).to(t).view(torch.int16).numpy()
        for k, v in sd.items()
    }


def exact_tier(base: dict, tuned: dict, dtype: str):
    """The library's exact records of each tensor (its bits XOR the base's, byte planes, zstd),
    made and read back as a saved library does. Returns (stored bytes, raw bytes, raw-zstd
    bytes, encode s, decode s, best of three); decoding is checked bit for bit."""
    import zstandard

    from velmora_dryx.methods import Settings

    b, t = as_dtype(base, dtype), as_dtype(tuned, dtype)
    raw = sum(v.nbytes for v in t.values())
    t0 = time.perf_counter()
    records = {k: tamsel._delta_record(b[k], w, Settings("exact")) for k, w in t.items()}
    t_enc = time.perf_counter() - t0
    stored = sum(r.compressed_size_bytes for r in records.values())
    t_dec = math.inf
    for _ in range(3):
        t0 = time.perf_counter()
        out = {k: tamsel._apply_delta(b[k], r) for k, r in records.items()}
        t_dec = min(t_dec, time.perf_counter() - t0)
    assert all(np.array_equal(out[k].view(t[k].dtype), t[k]) for k in t)
    cctx = zstandard.ZstdCompressor(level=3)
    raw_zstd = sum(len(cctx.compress(w.tobytes())) for w in t.values())
    return stored, raw, raw_zstd, t_enc, t_dec


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--only", default="")
    ap.add_argument("--budgets", default=",".join(map(str, BUDGETS)))
    args = ap.parse_args()
    budgets = [int(b) for b in args.budgets.split(",")]
    base, tunes, facts = _zoo.zoo()
    streams = _zoo.token_streams()
    model = _zoo.new_model()
    print(f"# delta codecs on a trained fine-tune zoo ({machine()})")
    exact_rows = []
    work = Path(tempfile.mkdtemp(prefix="bench-codecs-"))
    for name, tuned in tunes.items():
        if args.only and name not in args.only.split(","):
            continue
        held = streams[facts[name]["domain"] + "-heldout"]
        ppl_base = _zoo.perplexity(model, base, held)
        ppl_ft = _zoo.perplexity(model, tuned, held)
        fp16_bytes = sum(w.size for w in tuned.values()) * 2
        mats, vec_bytes = split(base, tuned)
        rows = []

        def row(codec, frac_label, approx, spent, secs, note="", sd=None, vectors=True):
            if sd is None:
                sd = rebuilt(base, tuned, approx)
            else:
                approx = {k: sd[k] - base[k] for k in mats}
            ppl = _zoo.perplexity(model, sd, held)
            total = spent + (vec_bytes if vectors else 0)
            rows.append(
                [
                    codec,
                    frac_label,
                    f"{total / 1024:.0f}",
                    f"1/{fp16_bytes / total:.1f}",
                    f"{rel_error(mats, approx):.3f}",
                    f"{ppl:.3f}",
                    f"{100 * (ppl_base - ppl) / (ppl_base - ppl_ft):.1f}%",
                    f"{secs:.2f}",
                    note,
                ]
            )

        # The peers' SVDs once per fine-tune; their time counts in every peer row.
        t0 = time.perf_counter()
        for d in mats.values():
            full_svd(d)
        t_svd = time.perf_counter() - t0
        for f in budgets:
            budget = fp16_bytes / f - vec_bytes
            t0 = time.perf_counter()
            approx, spent, info = uniform_rank_svd(mats, budget, 2, 0)
            row("svd-fp16 (peer)", f"1/{f}", approx, spent, t_svd + time.perf_counter() - t0, info)
            t0 = time.perf_counter()
            approx, spent, info = uniform_rank_svd(mats, budget, 1, 4)
            row("svd-int8 (peer)", f"1/{f}", approx, spent, t_svd + time.perf_counter() - t0, info)
            for bits in (16, 8, "mixed"):
                sd, spent, secs = stored_finetune(work, base, tuned, budget=1 / f, bits=bits)
                row(f"ours bits={bits}", f"1/{f}", None, spent, secs, sd=sd, vectors=False)
        t0 = time.perf_counter()
        approx, spent = sign_rows(mats)
        row("sign+row scale (peer)", "-", approx, spent, time.perf_counter() - t0)
        import zstandard

        sd16 = {k: v.astype(np.float16).astype(np.float32) for k, v in tuned.items()}
        row("fp16 fine-tune (peer)", "-", None, fp16_bytes, 0.0, sd=sd16, vectors=False)
        t0 = time.perf_counter()
        cctx = zstandard.ZstdCompressor(level=3)
        z = sum(len(cctx.compress(v.astype(np.float16).tobytes())) for v in tuned.values())
        row("zstd of fp16 (peer)", "-", None, z, time.perf_counter() - t0, sd=sd16, vectors=False)
        for dtype in ("bfloat16", "float32"):
            stored, raw, raw_zstd, te, td = exact_tier(base, tuned, dtype)
            exact_rows.append(
                [
                    name,
                    dtype,
                    f"{stored / raw:.3f}",
                    f"{raw_zstd / raw:.3f}",
                    f"{raw / te / 1e6:.0f}",
                    f"{raw / td / 1e6:.0f}",
                ]
            )
        print(
            f"\n## {name}: {facts[name]}; ppl base {ppl_base:.3f}, fine-tune {ppl_ft:.3f};"
            f" fp16 size {fp16_bytes / 1024:.0f} KiB"
        )
        print(
            table(
                ["codec", "budget", "KiB", "size", "rel err", "ppl", "gain kept", "s", "notes"],
                rows,
            )
        )

    print("\n## exact tier: size against the raw tensors, and MB/s of raw bytes on one core")
    print(
        table(
            [
                "fine-tune",
                "dtype",
                "exact",
                "zstd of raw",
                "encode MB/s",
                "decode MB/s",
            ],
            exact_rows,
        )
    )


if __name__ == "__main__":
    main()
