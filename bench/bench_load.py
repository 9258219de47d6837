"""Loading safetensors shards into a numpy state dict.

float32: lornet.load_state_dict_numpy (and the safe loader, which takes the same path for
float32 shards) against safetensors' own numpy loader over the same shards.
bfloat16: lornet.load_state_dict_numpy_safe on a bfloat16 shard of the same size on disk
(the numpy backend refuses it, the shard is reloaded through torch) against a plain torch
load converted to float32 numpy arrays. Needs torch; skipped where it is not installed.

The cases of a group are timed round-robin in one interpreter after a warm-up load each;
the table gives the median and best time of the repeats and the ratio of medians to the
group's baseline. Peak memory is measured for each case alone in a fresh interpreter: the
resident memory added by one load (VmHWM less the resident size before it).
Usage: python bench/bench_load.py [--mib 256] [--repeat 5]
"""

import argparse
import importlib.util
import json
import os
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from _common import status_kib

MIB = 1 << 20
CASES = {
    "st_numpy": "safetensors.numpy.load_file",
    "lornet_numpy": "lornet.load_state_dict_numpy",
    "lornet_safe_f32": "lornet.load_state_dict_numpy_safe",
    "torch_plain": "safetensors.torch.load_file + .float().numpy()",
    "lornet_safe_bf16": "lornet.load_state_dict_numpy_safe (fallback)",
}


def write_shard(path: Path, tensors: dict, code: str) -> None:
    """Writes raw arrays as one safetensors file whose header names `code` as their type."""
    header, offset = {}, 0
    for name, a in tensors.items():
        header[name] = {
            "dtype": code,
            "shape": list(a.shape),
            "data_offsets": [offset, offset + a.nbytes],
        }
        offset += a.nbytes
    text = json.dumps(header).encode()
    text += b" " * (-len(text) % 8)
    with open(path, "wb") as f:
        f.write(struct.pack("<Q", len(text)) + text)
        for a in tensors.values():
            f.write(a.tobytes())


def make_models(root: Path, mib: int) -> tuple[Path, Path]:
    rng = np.random.default_rng(0)
    f32, bf16 = root / "f32", root / "bf16"
    f32.mkdir()
    bf16.mkdir()
    per_tensor = 4 * MIB
    n_tensors = max(1, mib * MIB // per_tensor)
    shards = 4 if n_tensors >= 4 else 1
    for s in range(shards):
        tensors = {
            f"model.layers.{i}.weight": rng.standard_normal((1024, 1024), dtype=np.float32)
            for i in range(s, n_tensors, shards)
        }
        write_shard(f32 / f"model-{s + 1:05d}-of-{shards:05d}.safetensors", tensors, "F32")
    # The same bytes on disk as one bfloat16 shard: the top halves of float32 values.
    tensors = {
        f"model.layers.{i}.weight": (
            rng.standard_normal((2048, 1024), dtype=np.float32).view(np.uint32) >> 16
        ).astype(np.uint16)
        for i in range(n_tensors)
    }
    write_shard(bf16 / "model.safetensors", tensors, "BF16")
    return f32, bf16


def loader(case: str, model_dir: Path):
    """The load function of one case, its libraries imported beforehand."""
    from velmora_dryx import lornet

    shards = sorted(model_dir.glob("*.safetensors"))
    if case == "st_numpy":
        from safetensors.numpy import load_file

        def load():
            out = {}
            for s in shards:
                out.update(load_file(str(s)))
            return out

        return load
    if case == "torch_plain":
        import torch
        from safetensors.torch import load_file

        def load():
            out = {}
            for s in shards:
                out.update((k, v.to(torch.float32).numpy()) for k, v in load_file(str(s)).items())
            return out

        return load
    import safetensors  # noqa: F401  (imports paid before timing, as for the baselines)

    if case == "lornet_safe_bf16":
        import safetensors.torch  # noqa: F401
        import torch  # noqa: F401
    if case == "lornet_numpy":
        return lambda: lornet.load_state_dict_numpy(model_dir)
    return lambda: lornet.load_state_dict_numpy_safe(model_dir)


def child(cases: list[str], model_dir: Path, repeat: int) -> None:
    """Times the cases round-robin after one warm-up each (so that a slow spell of this
    shared machine hits them alike), or, for a single case, measures its peak memory.
    Prints one JSON line."""
    import gc

    loads = {case: loader(case, model_dir) for case in cases}
    before = status_kib("VmRSS")
    times = {case: [] for case in cases}
    result_mib = {}
    for r in range(repeat + 1):
        for case, load in loads.items():
            t0 = time.perf_counter()
            out = load()
            elapsed = time.perf_counter() - t0
            if r > 0 or len(cases) == 1:
                times[case].append(elapsed)
            assert all(a.dtype == np.float32 for a in out.values())
            result_mib[case] = sum(a.nbytes for a in out.values()) / MIB
            del out
            gc.collect()
        if len(cases) == 1:
            break
    peak = (status_kib("VmHWM") - before) / 1024
    print(json.dumps({"times": times, "peak_mib": peak, "result_mib": result_mib}))


def run_child(cases: list[str], model_dir: Path, repeat: int) -> dict:
    done = subprocess.run(
        [sys.executable, __file__, "--cases", ",".join(cases), "--dir", str(model_dir)]
        + ["--repeat", str(repeat)],
        capture_output=True,
        text=True,
    )
    if done.returncode != 0:
        raise SystemExit(f"cases {cases} failed:\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mib", type=int, default=256, help="bytes on disk per model, in MiB")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--cases", help="internal: comma-separated cases to run in this process")
    parser.add_argument("--dir", type=Path)
    args = parser.parse_args()
    if args.cases:
        child(args.cases.split(","), args.dir, args.repeat)
        return

    has_torch = importlib.util.find_spec("torch") is not None
    with tempfile.TemporaryDirectory(prefix="bench_load_") as tmp:
        f32, bf16 = make_models(Path(tmp), args.mib)
        os.sync()  # no write-back of the new files during the timings
        groups = [(f32, "st_numpy", ["lornet_numpy", "lornet_safe_f32"])]
        if has_torch:
            groups.append((bf16, "torch_plain", ["lornet_safe_bf16"]))
        disk = {
            d: sum(p.stat().st_size for p in d.glob("*.safetensors")) / MIB for d in (f32, bf16)
        }
        print(f"python {sys.version.split()[0]}, {args.mib} MiB per model, {args.repeat} repeats")
        head = f"{'case':<18}{'loader':<48}{'disk MiB':>9}{'median s':>10}{'best s':>9}"
        print(head + f"{'ratio':>7}{'result MiB':>11}{'peak MiB':>10}")
        for model_dir, base, others in groups:
            cases = [base, *others]
            timed = run_child(cases, model_dir, args.repeat)["times"]
            base_median = statistics.median(timed[base])
            for case in cases:
                mem = run_child([case], model_dir, 1)  # its own process: its own peak
                median = statistics.median(timed[case])
                print(
                    f"{case:<18}{CASES[case]:<48}{disk[model_dir]:>9.0f}{median:>10.3f}"
                    f"{min(timed[case]):>9.3f}{median / base_median:>7.2f}"
                    f"{mem['result_mib'][case]:>11.0f}{mem['peak_mib']:>10.0f}"
                )
        if not has_torch:
            print("bfloat16 fallback skipped: torch is not installed for this interpreter")


if __name__ == "__main__":
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    main()
