"""Model library: tamsel against a pure-numpy library run in the same process.

A synthetic 12-layer model (hidden 512, MLP 2048, vocabulary 8192; about 46 M float32
parameters) and three fine-tunes whose deltas are low-rank plus a little noise. Each row
times one library operation over all three fine-tunes: add_finetune with the default tensor
train and with energy 0.99, reconstruct, reconstruction_error. 'x' is the speed-up over the
numpy library (higher is faster); MiB is the peak resident memory the operation added.

    python bench/bench_library.py
    VELMORA_BENCH_QUICK=1 python bench/bench_library.py   # 2 layers, vocabulary 2048
"""

import os
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))

import oracle  # noqa: E402
from _common import machine, measure, table  # noqa: E402

from velmora_dryx import tamsel  # noqa: E402

QUICK = os.environ.get("VELMORA_BENCH_QUICK") == "1"
LAYERS = 2 if QUICK else 12
HIDDEN, MLP, VOCAB = 512, 2048, 2048 if QUICK else 8192
FINETUNES = 3
DELTA_RANK = 6


def base_model(rng):
    sd = {"embed_tokens.weight": rng.standard_normal((VOCAB, HIDDEN), dtype=np.float32) * 0.02}
    for i in range(LAYERS):
        p = f"layers.{i}."
        for name in ("q_proj", "k_proj", "v_proj", "o_proj"):
            sd[p + f"attn.{name}.weight"] = rng.standard_normal((HIDDEN, HIDDEN), np.float32) * 0.02
        sd[p + "mlp.up_proj.weight"] = rng.standard_normal((MLP, HIDDEN), np.float32) * 0.02
        sd[p + "mlp.down_proj.weight"] = rng.standard_normal((HIDDEN, MLP), np.float32) * 0.02
        sd[p + "input_norm.weight"] = np.ones(HIDDEN, np.float32)
        sd[p + "post_norm.weight"] = np.ones(HIDDEN, np.float32)
    sd["norm.weight"] = np.ones(HIDDEN, np.float32)
    sd["lm_head.weight"] = rng.standard_normal((VOCAB, HIDDEN), dtype=np.float32) * 0.02
    return sd


def finetune(rng, base):
    """Low-rank updates of every matrix (plus noise well below 1% of their energy) and
    small shifts of the norm vectors."""
    sd = {}
    for name, w in base.items():
        if w.ndim == 1:
            sd[name] = w + rng.standard_normal(w.shape, np.float32) * 0.01
            continue
        m, n = w.shape
        left = rng.standard_normal((m, DELTA_RANK), np.float32) * 0.01
        right = rng.standard_normal((DELTA_RANK, n), np.float32) * 0.01
        noise = rng.standard_normal((m, n), np.float32) * 1e-5
        sd[name] = w + left @ right + noise
    return sd


class NumpyLibrary:
    """The same library written with numpy alone: float32 deltas, the numpy tensor train
    or energy SVD, and the same byte accounting."""

    def __init__(self, base, max_rank=8, energy=None):
        self.base, self.max_rank, self.energy, self.deltas = base, max_rank, energy, {}

    def add_finetune(self, model_id, finetuned):
        stored = {}
        for name, w in finetuned.items():
            delta = oracle.finetune_delta(self.base, name, w)
            if w.ndim < 2:
                stored[name] = ("none", delta.copy())
            elif self.energy is not None:
                kept, _ = oracle.svd_compress_energy(
                    delta, energy=self.energy, max_rank=self.max_rank or None
                )
                stored[name] = ("svd", kept, delta.shape)
            else:
                stored[name] = ("tt", oracle.tt_compress(delta, self.max_rank)[0], delta.shape)
        self.deltas[model_id] = stored
        return stored

    def reconstruct(self, model_id):
        dense = {}
        for name, rec in self.deltas[model_id].items():
            if rec[0] == "none":
                dense[name] = rec[1].copy()
            elif rec[0] == "svd":
                dense[name] = oracle.svd_reconstruct(*rec[1], rec[2], np.float32)
            else:
                dense[name] = oracle.tt_decompress(rec[1], rec[2], np.float32)
        return oracle.library_reconstruct(self.base, dense)


def run_rows(impls, tunes):
    rows = []
    recon = {}
    cases = [
        ("add_finetune, tensor train cap 8", {}),
        ("add_finetune, energy 0.99", {"energy": 0.99}),
    ]
    for title, settings in cases:
        row = [title]
        for impl, make in impls:
            lib = None

            def add_all(make=make, settings=settings):
                nonlocal lib
                lib = make(settings)
                for tid, sd in tunes.items():
                    lib.add_finetune(tid, sd)
                return lib

            seconds, peak = measure(add_all, repeat=1)
            row.append((seconds, peak))
            if not settings:
                recon[impl] = lib
        rows.append(row)

    def reconstruct_all(lib):
        return [lib.reconstruct(tid) for tid in tunes]

    row = ["reconstruct (tensor train)"]
    rebuilt = {}
    for impl, _ in impls:
        lib = recon[impl]
        seconds, peak = measure(lambda lib=lib: reconstruct_all(lib), repeat=5)
        rebuilt[impl] = dict(zip(tunes, reconstruct_all(lib), strict=True))
        row.append((seconds, peak))
    rows.append(row)

    errors = {}
    row = ["reconstruction_error"]
    for impl, _ in impls:
        fn = tamsel.reconstruction_error if impl == "tamsel" else oracle.reconstruction_error
        pairs = [(rebuilt["tamsel"][tid], tunes[tid]) for tid in tunes]
        seconds, peak = measure(lambda fn=fn, pairs=pairs: [fn(a, b) for a, b in pairs], repeat=5)
        errors[impl] = [fn(a, b) for a, b in pairs]
        row.append((seconds, peak))
    rows.append(row)
    return rows, errors


def codec_rows(base, tunes):
    """One fine-tune's records through the library's one delta path, per setting: the float32
    energy SVD (the SVD route saved libraries took so far) against its quantized factors, and
    a byte budget spent across the fine-tune (saved library, one job, two passes)."""
    import shutil
    import tempfile
    from pathlib import Path

    from threadpoolctl import threadpool_limits

    import velmora_dryx as vd
    from velmora_dryx.methods import Settings

    sd = next(iter(tunes.values()))
    per_tensor = [
        ("energy 0.99, float32 factors", Settings("svd", energy=0.99)),
        ("energy 0.99, bits 8", Settings("svd", energy=0.99, bits=8)),
        ("energy 0.99, bits mixed", Settings("svd", energy=0.99, bits="mixed")),
    ]
    times = {}
    with threadpool_limits(1, user_api="blas"):
        for _ in range(3):  # interleaved, best of three
            for title, s in per_tensor:
                t0 = time.perf_counter()
                stored = sum(
                    tamsel._delta_record(base[k], w, s).compressed_size_bytes for k, w in sd.items()
                )
                best = min(times.get(title, (1e9, 0))[0], time.perf_counter() - t0)
                times[title] = (best, stored)
    root = Path(tempfile.mkdtemp())
    try:
        vd.build_library(base, {}, root / "lib", jobs=1)
        for title, opts in (("budget 1/16, saved library", {"budget": 1 / 16}),):
            t0 = time.perf_counter()
            vd.add_to_library(root / "lib", "ft", sd, jobs=1, **opts)
            info = vd.library_info(root / "lib")["finetunes"][0]
            times[title] = (time.perf_counter() - t0, info["stored_bytes"])
    finally:
        shutil.rmtree(root)
    ref = times[per_tensor[0][0]][0]
    return [
        [title, f"{t:.3f}", f"{t / ref:.2f}", f"{b / 2**20:.2f}"] for title, (t, b) in times.items()
    ]


def main():
    rng = np.random.default_rng(2026)
    base = base_model(rng)
    tunes = {f"ft-{i}": finetune(rng, base) for i in range(FINETUNES)}
    impls = [
        ("numpy", lambda s: NumpyLibrary(base, **s)),
        ("tamsel", lambda s: tamsel.ModelLibrary("base", base, **s)),
    ]
    rows, errors = run_rows(impls, tunes)
    print(
        f"{machine()}; {LAYERS} layers, hidden {HIDDEN}, MLP {MLP}, vocabulary {VOCAB}, "
        f"{tamsel._nbytes(base) / 2**20:.0f} MiB per model, {FINETUNES} fine-tunes"
    )
    print("times in seconds over all fine-tunes; 'x' = numpy time / tamsel time")
    out = []
    for title, (ns, npk), (ts, tpk) in rows:
        out.append([title, f"{ns:.3f}", f"{npk:.0f}", f"{ts:.3f}", f"{ns / ts:.2f}", f"{tpk:.0f}"])
    print(table(["operation", "numpy s", "numpy MiB", "tamsel s", "x", "tamsel MiB"], out))
    print(
        "relative errors (numpy, tamsel): "
        + ", ".join(
            f"{a:.3e}/{b:.3e}" for a, b in zip(errors["numpy"], errors["tamsel"], strict=True)
        )
    )
    print(
        "\none fine-tune's records by setting (one BLAS thread; x = time / float32 factors' time)"
    )
    print(table(["setting", "s", "x", "stored MiB"], codec_rows(base, tunes)))


if __name__ == "__main__":
    main()
