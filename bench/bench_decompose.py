"""Tucker and tensor-train decomposition: kestrine against the pure-numpy oracle.

Every measurement runs in a fresh interpreter (one per implementation and operation) so
that peak memory is the operation's own: the resident-set high-water mark is reset just
before the call and read back after it. Times are the best of a few runs. tensorly is a
comparison column only; it is skipped when not installed.

    python bench/bench_decompose.py
"""

import json
import math
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

CASES = [
    ("tt", (2048, 2048)),
    ("tt", (32, 32, 32, 32)),
    ("tucker", (128, 128, 128)),
    ("tucker", (256, 256, 3, 3)),
]
TT_CAP = 8
TUCKER_RATIO = 0.5
IMPLS = ["numpy", "kestrine", "tensorly"]


def make_input(shape):
    rng = np.random.default_rng(2026)
    return rng.standard_normal(shape, dtype=np.float32)


def tucker_ranks(shape):
    return [max(1, math.ceil(n * TUCKER_RATIO)) for n in shape]


def operations(impl, method, shape):
    """(compress, decompress) callables for one implementation; decompress takes the
    compressed form that compress returned."""
    if impl == "kestrine":
        from velmora_dryx import kestrine as k

        if method == "tt":
            return (lambda x: k.tt_compress(x, TT_CAP)), k.tt_decompress
        return (lambda x: k.tucker_compress(x, TUCKER_RATIO)), k.tucker_decompress
    if impl == "numpy":
        import oracle

        if method == "tt":
            return (
                lambda x: oracle.tt_compress(x, TT_CAP)[0],
                lambda cores: oracle.tt_decompress(cores, shape, np.float32),
            )
        return (
            lambda x: oracle.tucker_compress(x, TUCKER_RATIO)[:2],
            lambda parts: oracle.tucker_decompress(*parts, np.float32),
        )
    import tensorly as tl
    from tensorly.decomposition import tensor_train
    from tensorly.decomposition._tucker import initialize_tucker

    if method == "tt":
        ranks = [1] + [TT_CAP] * (len(shape) - 1) + [1]
        return (lambda x: tensor_train(x, rank=ranks)), tl.tt_to_tensor
    ranks = tucker_ranks(shape)
    modes = list(range(len(shape)))
    return (
        lambda x: initialize_tucker(x, ranks, modes, random_state=0, init="svd"),
        tl.tucker_to_tensor,
    )


def rss_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def worker(impl, method, op, shape):
    compress, decompress = operations(impl, method, shape)
    x = make_input(shape)
    arg = x if op == "compress" else compress(x)
    fn = compress if op == "compress" else decompress
    before = rss_kib("VmRSS")
    exact_peak = reset_peak()
    t0 = time.perf_counter()
    out = fn(arg)
    best = time.perf_counter() - t0
    peak = rss_kib("VmHWM") if exact_peak else before
    del out
    # Very slow operations run once, slow ones three times, fast ones for about a second.
    limit = 1 if best > 3.0 else 3 if best > 0.3 else 200
    spent, runs = best, 1
    while runs < limit and (runs < 3 or spent < 1.0):
        t0 = time.perf_counter()
        fn(arg)
        elapsed = time.perf_counter() - t0
        best, spent, runs = min(best, elapsed), spent + elapsed, runs + 1
    return {"seconds": best, "peak_mib": max(0, peak - before) / 1024.0}


def measure(impl, method, op, shape):
    cmd = [sys.executable, __file__, "--worker", impl, method, op, json.dumps(shape)]
    res = subprocess.run(cmd, capture_output=True, text=True, env=dict(os.environ))
    if res.returncode != 0:
        sys.stderr.write(res.stderr)
        raise SystemExit(f"worker failed: {impl} {method} {op} {shape}")
    return json.loads(res.stdout.strip().splitlines()[-1])


def fmt_seconds(s):
    return f"{s:.3f}" if s >= 0.1 else f"{s * 1000:.2f}ms"


def main():
    try:
        import tensorly  # noqa: F401

        impls = IMPLS
    except ImportError:
        impls = IMPLS[:2]
        print("tensorly is not installed: its column is skipped")
    header = ["operation", "shape"]
    for impl in impls:
        header += [f"{impl} s", f"{impl} x" if impl != "numpy" else "", f"{impl} MiB"]
    header = [h for h in header if h]
    rows = []
    for method, shape in CASES:
        for op in ("compress", "decompress"):
            name = f"{method}_{op}" + (
                f" cap {TT_CAP}" if method == "tt" and op == "compress" else ""
            )
            if method == "tucker" and op == "compress":
                name += f" ratio {TUCKER_RATIO}"
            row = [name, "x".join(map(str, shape))]
            base = None
            for impl in impls:
                m = measure(impl, method, op, list(shape))
                if impl == "numpy":
                    base = m["seconds"]
                    row += [fmt_seconds(m["seconds"]), f"{m['peak_mib']:.0f}"]
                else:
                    row += [
                        fmt_seconds(m["seconds"]),
                        f"{base / m['seconds']:.2f}",
                        f"{m['peak_mib']:.0f}",
                    ]
            rows.append(row)
            print("  ".join(row), file=sys.stderr, flush=True)
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(header)]
    print("float32 inputs; 'x' is the speed-up over the numpy oracle (higher is faster);")
    print("MiB is the peak resident memory the operation added.")
    print("  ".join(h.ljust(w) for h, w in zip(header, widths, strict=True)))
    for r in rows:
        print("  ".join(c.ljust(w) for c, w in zip(r, widths, strict=True)))


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        impl, method, op, shape = sys.argv[2:6]
        print(json.dumps(worker(impl, method, op, tuple(json.loads(shape)))))
    else:
        main()
