"""Tucker and tensor-train decomposition: kestrine against the pure-numpy oracle.

Times are the best of several calls, taken in rounds that alternate between the
implementations inside one interpreter. Peak memory is measured in a fresh interpreter per
implementation and operation: the resident-set high-water mark is reset just before the
call and read back after it. tensorly is a comparison column only; it is skipped when it
is not installed.

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
from _common import reset_peak, status_kib

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


def warm_up():
    """The same allocator state in every worker: freeing one large block raises glibc's
    threshold for serving large blocks from fresh (page-faulting) mappings, which would
    otherwise depend on which implementation produced the input. No BLAS work here:
    numpy's and SciPy's BLAS threads would contend with the measured call."""
    a = np.ones(1 << 22, np.float32)
    a += 1
    del a


def prepare(impl, method, op, shape, x):
    compress, decompress = operations(impl, method, shape)
    return (compress, x) if op == "compress" else (decompress, compress(x))


def peak_worker(impl, method, op, shape):
    """Peak resident memory one call adds, in a process of its own."""
    warm_up()
    fn, arg = prepare(impl, method, op, shape, make_input(shape))
    time.sleep(0.3)
    before = status_kib("VmRSS")
    exact_peak = reset_peak()
    out = fn(arg)
    peak = status_kib("VmHWM") if exact_peak else before
    del out
    return max(0, peak - before) / 1024.0


def time_worker(impls, method, op, shape):
    """Best times of every implementation, measured in rounds that alternate between them
    in one process, so that allocator and BLAS state are shared. A pause before each
    batch lets the BLAS threads of the previous one go idle."""
    warm_up()
    x = make_input(shape)
    prepared = {impl: prepare(impl, method, op, shape, x) for impl in impls}
    best = {}
    for impl in impls:
        fn, arg = prepared[impl]
        time.sleep(0.3)
        t0 = time.perf_counter()
        fn(arg)
        best[impl] = time.perf_counter() - t0
    rounds = 1 if max(best.values()) > 3.0 else 3
    for _ in range(rounds):
        for impl in impls:
            fn, arg = prepared[impl]
            calls = max(1, min(200, int(0.3 / best[impl])))
            time.sleep(0.3)
            for _ in range(calls):
                t0 = time.perf_counter()
                fn(arg)
                best[impl] = min(best[impl], time.perf_counter() - t0)
    return best


def run_worker(*args):
    cmd = [sys.executable, __file__, "--worker", json.dumps(args)]
    res = subprocess.run(cmd, capture_output=True, text=True, env=dict(os.environ))
    if res.returncode != 0:
        sys.stderr.write(res.stderr)
        raise SystemExit(f"worker failed: {args}")
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
            times = run_worker("time", impls, method, op, list(shape))
            base = times["numpy"]
            for impl in impls:
                peak = run_worker("peak", impl, method, op, list(shape))
                row += [fmt_seconds(times[impl])]
                if impl != "numpy":
                    row += [f"{base / times[impl]:.2f}"]
                row += [f"{peak:.0f}"]
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
        kind, *rest = json.loads(sys.argv[2])
        if kind == "time":
            impls, method, op, shape = rest
            print(json.dumps(time_worker(impls, method, op, tuple(shape))))
        else:
            impl, method, op, shape = rest
            print(json.dumps(peak_worker(impl, method, op, tuple(shape))))
    else:
        main()
