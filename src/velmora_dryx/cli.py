"""The velmora-dryx command line."""

from __future__ import annotations

import argparse
import sys
import time


def _demo(args: argparse.Namespace) -> int:
    import numpy as np

    from velmora_dryx import kestrine

    rng = np.random.default_rng(args.seed)
    m, n, r = 1024, 768, 16
    low = rng.standard_normal((m, r)) @ rng.standard_normal((r, n)) / np.sqrt(r)
    mat = (low + 0.05 * rng.standard_normal((m, n))).astype(np.float32)
    print(f"demo: {m}x{n} float32 matrix of rank {r} plus noise")
    print(f"{'compressor':<34} {'rank':>5} {'ratio':>8} {'rel. error':>11} {'ms':>8}")
    runs = [
        ("svd_compress(rank_ratio=0.05)", lambda: kestrine.svd_compress(mat, 0.05)),
        ("svd_compress(rank_ratio=0.25)", lambda: kestrine.svd_compress(mat, 0.25)),
        ("svd_compress_energy(energy=0.9)", lambda: kestrine.svd_compress_energy(mat, 0.9)),
        ("svd_compress_energy(energy=0.99)", lambda: kestrine.svd_compress_energy(mat, 0.99)),
    ]
    for name, run in runs:
        t0 = time.perf_counter()
        rec = run()
        ms = (time.perf_counter() - t0) * 1e3
        approx = kestrine.svd_decompress(rec)
        err = float(np.linalg.norm(mat - approx) / np.linalg.norm(mat))
        print(
            f"{name:<34} {rec.metadata['rank']:>5} {rec.compression_ratio:>8.2f} "
            f"{err:>11.4f} {ms:>8.1f}"
        )
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="velmora-dryx", description=__doc__)
    sub = parser.add_subparsers(dest="command", required=True)
    demo = sub.add_parser("demo", help="run the built-in demo on synthetic data")
    demo.add_argument("--seed", type=int, default=0)
    demo.set_defaults(run=_demo)
    args = parser.parse_args(argv)
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
