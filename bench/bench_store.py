"""Saved libraries: save, load, export and the streamed build, against safetensors and numpy
doing the same work in the same process.

The 12-layer synthetic model of bench_library (176 MiB) with two fine-tunes, tensor train
cap 8. Each row times one operation and its baseline:

- save: `save_library` against `safetensors.numpy.save_file` of the same arrays (no
  checksums, no fsync, no manifest);
- load: `load_library(verify=False)` (memory maps) and `verify=True` (every SHA-256
  checked) against `safetensors.numpy.load_file` of the same files;
- export: `export_finetune` (one tensor at a time) against `reconstruct` plus `save_file`;
- build: `build_library` streamed from model directories on disk against loading them with
  `lornet.load_state_dict_numpy`, `ModelLibrary.add_finetune` and `save_library`.

MiB/s is the library's (or the exported model's) bytes over our time; MiB is the peak
resident memory the operation added.

With --big (or VELMORA_BENCH_BIG=1) a model of 4.25 GiB float32 and one fine-tune are
written to $TMPDIR, streamed into a library, exported and loaded, each in a fresh process
whose peak resident memory (VmHWM) is printed next to the model's size; then the same model
in bfloat16 (2.13 GiB), whose library base must hold the source's bytes exactly. The files
are removed afterwards.

    python bench/bench_store.py [--big]
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from _common import machine, measure, status_kib, table  # noqa: E402
from bench_library import base_model, finetune  # noqa: E402

import velmora_dryx as vd  # noqa: E402
from velmora_dryx import _tensorfile, lornet, tamsel  # noqa: E402

MiB = 1 << 20


def write_model(path: Path, sd: dict) -> Path:
    path.mkdir(parents=True)
    items = [(k, v.dtype, v.shape) for k, v in sd.items()]
    _tensorfile.write_tensor_file(
        path / "model.safetensors", items, sd.values(), {"format": "pt"}, sync=False
    )
    return path


def dir_bytes(path: Path) -> int:
    return sum(p.stat().st_size for p in path.rglob("*") if p.is_file())


def twelve_layers(tmp: Path) -> None:
    from safetensors.numpy import load_file, save_file

    rng = np.random.default_rng(0)
    base = base_model(rng)
    tunes = {f"ft-{i}": finetune(rng, base) for i in range(2)}
    src = {
        name: write_model(tmp / "src" / name, sd) for name, sd in [("base", base), *tunes.items()]
    }
    lib = tamsel.ModelLibrary("base", base)
    for name, sd in tunes.items():
        lib.add_finetune(name, sd)
    rows = []
    n = [0]

    def fresh(stem):
        n[0] += 1
        return tmp / f"{stem}-{n[0]}"

    def row(label, ours, theirs, nbytes):
        (t, peak), (tb, peak_b) = ours, theirs
        rows.append(
            [
                label,
                f"{tb:.3f}",
                f"{t:.3f}",
                f"{tb / t:.2f}x",
                f"{nbytes / MiB / t:,.0f}",
                f"{peak_b:.0f} / {peak:.0f}",
            ]
        )

    def st_save():
        out = fresh("st")
        out.mkdir()
        save_file(dict(base), str(out / "base.safetensors"))
        for name, d in lib.deltas.items():
            arrays = {
                f"{t}:{i}": a
                for t, ct in d.tensors.items()
                for i, a in enumerate(ct.cores + ct.factors)
            }
            save_file(arrays, str(out / f"{name}.safetensors"))

    saved = tmp / "saved"
    vd.save_library(lib, saved)
    size = dir_bytes(saved)
    row("save_library", measure(lambda: vd.save_library(lib, fresh("lib"))), measure(st_save), size)

    def st_load():
        return [load_file(str(p)) for p in sorted(saved.rglob("*.safetensors"))]

    baseline = measure(st_load)
    row(
        "load_library, verify off",
        measure(lambda: vd.load_library(saved, verify=False)),
        baseline,
        size,
    )
    row("load_library, verify on", measure(lambda: vd.load_library(saved)), baseline, size)

    def st_export():
        out = fresh("st-export")
        out.mkdir()
        save_file(lib.reconstruct("ft-0"), str(out / "model.safetensors"))

    row(
        "export_finetune",
        measure(lambda: vd.export_finetune(saved, "ft-0", fresh("export"))),
        measure(st_export),
        tamsel._nbytes(base),
    )

    def in_memory_build():
        b = lornet.load_state_dict_numpy(src["base"])
        m = tamsel.ModelLibrary(str(src["base"]), b)
        for name in tunes:
            m.add_finetune(name, lornet.load_state_dict_numpy(src[name]))
        vd.save_library(m, fresh("mem"))

    finetunes = {name: src[name] for name in tunes}
    baseline = measure(in_memory_build, repeat=1)
    for jobs in sorted({1, os.cpu_count() or 1}):
        row(
            f"build_library streamed, jobs={jobs}",
            measure(
                lambda: vd.build_library(src["base"], finetunes, fresh("built"), jobs=jobs),
                repeat=1,
            ),
            baseline,
            tamsel._nbytes(base) * (1 + len(tunes)),
        )
    print(
        f"bench_store: 12-layer model ({tamsel._nbytes(base) / MiB:.0f} MiB) + 2 fine-tunes, "
        f"library {size / MiB:.1f} MiB; {machine()}"
    )
    print(
        table(
            ["operation", "baseline s", "ours s", "speed-up", "MiB/s", "peak MiB base / ours"], rows
        )
    )


# ---- the large model, one fresh process per operation -----------------------------------

# 17 tall matrices of 256 MiB: their compression (a tensor train through the Gram matrix of
# 16 columns) is cheap, so the run measures streaming and memory rather than factorizations
# (transformer-shaped 4096-wide matrices took hours on this shared 2-core machine).
BIG_ROWS, BIG_COLS, BIG_MATRICES = 1 << 22, 16, 17


def big_tensors():
    for i in range(BIG_MATRICES):
        yield f"blocks.{i}.weight", (BIG_ROWS, BIG_COLS)
        yield f"blocks.{i}.norm", (BIG_COLS,)


def write_big(path: Path, tuned: bool, dtype: str) -> None:
    """One tensor at a time: never more than one tensor of the model in memory."""
    path.mkdir(parents=True)
    entries = [(n, dtype, s) for n, s in big_tensors()]

    def chunks():
        for i, (_, shape) in enumerate(big_tensors()):
            rng = np.random.default_rng(i)
            w = rng.standard_normal(shape, dtype=np.float32)
            w *= 0.02
            if tuned:
                r2 = np.random.default_rng(10_000 + i)
                if w.ndim == 2:
                    w += (r2.standard_normal((shape[0], 2), dtype=np.float32) * 0.01) @ (
                        r2.standard_normal((2, shape[1]), dtype=np.float32) * 0.01
                    )
                else:
                    w += r2.standard_normal(shape, dtype=np.float32) * 0.01
            yield _tensorfile.from_float32(w, dtype)
            del w

    _tensorfile.write_tensor_file(
        path / "model.safetensors", entries, chunks(), {"format": "pt"}, sync=False
    )


def child(op: str, *args: str) -> None:
    t0 = time.perf_counter()
    if op == "build":
        vd.build_library(args[0], {"ft": args[1]}, args[2], energy=0.99)
    elif op == "export":
        vd.export_finetune(args[0], "ft", args[1])
    elif op == "load":
        lib = vd.load_library(args[0], verify=args[1] == "1")
        del lib
    print(json.dumps({"seconds": time.perf_counter() - t0, "peak_kib": status_kib("VmHWM")}))


def run_child(*args: str) -> dict:
    out = subprocess.run(
        [sys.executable, __file__, "--child", *args], check=True, capture_output=True, text=True
    )
    return json.loads(out.stdout.strip().splitlines()[-1])


def same_bytes(a: Path, b: Path) -> bool:
    """Every tensor of safetensors file `a` has the same dtype, shape and bytes in `b`
    (compared by SHA-256, one tensor mapped at a time)."""
    fa, fb = _tensorfile.TensorFile(a), _tensorfile.TensorFile(b)
    if {k: v[:2] for k, v in fa.tensors.items()} != {k: v[:2] for k, v in fb.tensors.items()}:
        return False
    return all(
        _tensorfile.sha256(fa.map_one(k)) == _tensorfile.sha256(fb.map_one(k)) for k in fa.tensors
    )


def big(tmp: Path, dtype: str) -> None:
    size = _tensorfile.itemsize(dtype)
    model_bytes = sum(int(np.prod(s)) * size for _, s in big_tensors())
    largest = max(int(np.prod(s)) * size for _, s in big_tensors())
    t0 = time.perf_counter()
    write_big(tmp / "base", tuned=False, dtype=dtype)
    write_big(tmp / "ft", tuned=True, dtype=dtype)
    print(
        f"\nlarge model: {model_bytes / 2**30:.2f} GiB {dtype} (largest tensor "
        f"{largest / MiB:.0f} MiB), written in {time.perf_counter() - t0:.0f} s"
    )
    rows = []
    lib = tmp / "lib"
    steps = [
        (
            "build_library streamed (base + 1 fine-tune)",
            ("build", str(tmp / "base"), str(tmp / "ft"), str(lib)),
            2 * model_bytes,
        ),
        ("load_library, verify off", ("load", str(lib), "0"), None),
        ("load_library, verify on", ("load", str(lib), "1"), None),
        ("export_finetune", ("export", str(lib), str(tmp / "export")), model_bytes),
    ]
    for label, args, nbytes in steps:
        r = run_child(*args)
        nbytes = dir_bytes(lib) if nbytes is None else nbytes
        rows.append(
            [
                label,
                dtype,
                f"{model_bytes / 2**30:.2f}",
                f"{r['seconds']:.1f}",
                f"{nbytes / MiB / r['seconds']:,.0f}",
                f"{r['peak_kib'] / 1024:,.0f}",
            ]
        )
    heads = ["operation (fresh process)", "dtype", "model GiB", "s", "MiB/s", "peak RSS MiB"]
    print(table(heads, rows))
    equal = same_bytes(tmp / "base" / "model.safetensors", lib / "base.safetensors")
    print(f"library base: {dtype}, every tensor's bytes equal to the source's: {equal}")


def main() -> None:
    if sys.argv[1:2] == ["--child"]:
        child(*sys.argv[2:])
        return
    with tempfile.TemporaryDirectory(prefix="bench-store-") as d:
        twelve_layers(Path(d))
    if "--big" in sys.argv or os.environ.get("VELMORA_BENCH_BIG") == "1":
        for dtype in ("float32", "bfloat16"):
            d = Path(tempfile.mkdtemp(prefix="bench-store-big-"))
            try:
                big(d, dtype)
            finally:
                shutil.rmtree(d, ignore_errors=True)


if __name__ == "__main__":
    main()
