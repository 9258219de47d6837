"""Local model discovery and GGUF loading against a plain pathlib/json/gguf baseline.

Builds an Ollama store (sparse 1 GiB blobs), an LM Studio tree and a GGUF file in a temp
dir, then times each operation and the same work written directly in Python, in the same
run. Prints median milliseconds, the ratio (baseline / ours, above 1 means faster) and the
peak traced Python memory of one call.

Then two native-reader tables: dequantization of a 4096x4096 tensor of each natively
decoded type (ours, gguf.quants.dequantize, and a plain copy of the float32 output, the
memory-bandwidth limit), and the time to open a file carrying a 256k-entry vocabulary
(load_gguf_state_dict against GGUFReader construction).
"""

from __future__ import annotations

import json
import os
import statistics
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path

import numpy as np
from _common import table

from velmora_dryx import bramwick

REGISTRY = "registry.ollama.ai"
MODEL = "application/vnd.ollama.image.model"


def baseline_list_ollama(home: Path) -> list[dict]:
    root = home / "manifests"
    out = []
    if not root.exists():
        return out
    for p in root.rglob("*"):
        if not p.is_file():
            continue
        parts = p.relative_to(root).parts
        if len(parts) < 2:
            continue
        try:
            data = json.loads(p.read_text())
            size = sum(layer.get("size", 0) for layer in data.get("layers", []))
            out.append({"name": f"{parts[-2]}:{parts[-1]}", "size_bytes": size})
        except Exception:
            continue
    return out


def baseline_find_ollama(home: Path, model_name: str) -> Path:
    if ":" not in model_name:
        model_name += ":latest"
    name, tag = model_name.split(":", 1)
    manifests = home / "manifests"
    path = manifests / REGISTRY / "library" / name / tag
    if not path.exists():
        path = next(iter(manifests.rglob(f"{name}/{tag}")))
    layers = json.loads(path.read_text()).get("layers", [])
    blobs = home / "blobs"
    for layer in layers:
        if "model" in layer.get("mediaType", ""):
            p = blobs / layer["digest"].replace(":", "-")
            if p.exists():
                return p
    kept = [blobs / x["digest"].replace(":", "-") for x in layers]
    return max((p for p in kept if p.exists()), key=lambda p: p.stat().st_size)


def baseline_list_lmstudio(root: Path) -> list[dict]:
    return [
        {"name": str(p.relative_to(root)), "path": str(p), "size_bytes": p.stat().st_size}
        for p in root.rglob("*.gguf")
    ]


def baseline_find_lmstudio(root: Path, name: str) -> Path:
    if (root / name).exists():
        return root / name
    hits = [p for p in root.rglob("*.gguf") if name.lower() in str(p).lower()]
    assert len(hits) == 1
    return hits[0]


def baseline_load_gguf(path: Path) -> dict:
    from gguf import GGUFReader

    out = {}
    for t in GGUFReader(str(path), mode="r").tensors:
        arr = t.data
        out[t.name] = arr if arr.dtype.kind == "f" else arr.view(np.uint8)
    return out


def build(tmp: Path, models: int, lm_files: int, tensors: int) -> tuple[Path, Path, Path]:
    import gguf

    home = tmp / "ollama"
    (home / "blobs").mkdir(parents=True)
    for i in range(models):
        for tag in ("latest", "q8"):
            layers = []
            for kind, size in ((MODEL, 1 << 30), ("application/vnd.ollama.image.params", 64)):
                digest = f"sha256:{i:032x}{hash((i, tag, kind)) & (2**128 - 1):032x}"
                with open(home / "blobs" / digest.replace(":", "-"), "wb") as f:
                    f.truncate(size)
                layers.append({"mediaType": kind, "digest": digest, "size": size})
            ns = "library" if i % 4 else f"user{i}"
            path = home / "manifests" / REGISTRY / ns / f"model{i}" / tag
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(json.dumps({"schemaVersion": 2, "layers": layers}))
    lm = tmp / "lmstudio"
    for i in range(lm_files):
        p = lm / f"pub{i % 20}" / f"Model-{i}-GGUF" / f"model-{i}.Q4_K_M.gguf"
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(b"\0" * 16)
    rng = np.random.default_rng(0)
    w = gguf.GGUFWriter(str(tmp / "m.gguf"), "llama")
    for i in range(tensors):
        w.add_tensor(f"blk.{i}.w", rng.standard_normal((64, 256)).astype(np.float32))
        q = gguf.quants.quantize(
            rng.standard_normal((64, 256)).astype(np.float32), gguf.GGMLQuantizationType.Q8_0
        )
        w.add_tensor(f"blk.{i}.q", q, raw_shape=q.shape, raw_dtype=gguf.GGMLQuantizationType.Q8_0)
    w.write_header_to_file()
    w.write_kv_data_to_file()
    w.write_tensors_to_file()
    w.close()
    return home, lm, tmp / "m.gguf"


def measure(fn, repeat: int) -> tuple[float, float]:
    fn()
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    tracemalloc.start()
    fn()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return statistics.median(times) * 1e3, peak / 1024


def main() -> int:
    models, lm_files, tensors = 200, 400, 100
    with tempfile.TemporaryDirectory() as d:
        home, lm, gguf_path = build(Path(d), models, lm_files, tensors)
        bramwick.OLLAMA_HOME = home
        os.environ["LMSTUDIO_MODELS"] = str(lm)
        cases = [
            ("list_ollama_models", bramwick.list_ollama_models, lambda: baseline_list_ollama(home)),
            (
                "find_ollama_blob (direct)",
                lambda: bramwick.find_ollama_blob("model1"),
                lambda: baseline_find_ollama(home, "model1"),
            ),
            (
                "find_ollama_blob (fallback)",
                lambda: bramwick.find_ollama_blob("user4/model4:q8"),
                lambda: baseline_find_ollama(home, "user4/model4:q8"),
            ),
            (
                "list_lmstudio_models",
                bramwick.list_lmstudio_models,
                lambda: baseline_list_lmstudio(lm),
            ),
            (
                "find_lmstudio_model (search)",
                lambda: bramwick.find_lmstudio_model("model-123."),
                lambda: baseline_find_lmstudio(lm, "model-123."),
            ),
            (
                "load_gguf_tensors",
                lambda: bramwick.load_gguf_tensors(gguf_path),
                lambda: baseline_load_gguf(gguf_path),
            ),
        ]
        print(
            f"store: {models * 2} Ollama manifests with sparse 1 GiB blobs, {lm_files} LM Studio "
            f"files, GGUF with {2 * tensors} tensors"
        )
        print(
            f"{'operation':<30} {'ours ms':>9} {'base ms':>9} {'ratio':>7} "
            f"{'ours KiB':>9} {'base KiB':>9}"
        )
        for name, ours, base in cases:
            assert ours() == base() if "gguf" not in name else ours().keys() == base().keys()
            t_o, m_o = measure(ours, 7)
            t_b, m_b = measure(base, 7)
            print(f"{name:<30} {t_o:>9.2f} {t_b:>9.2f} {t_b / t_o:>7.2f} {m_o:>9.0f} {m_b:>9.0f}")
        dequantize_table()
        narrowing_table()
        vocab_open(Path(d))
    return 0


NATIVE = ["F16", "BF16", "Q4_0", "Q4_1", "Q5_0", "Q5_1", "Q8_0", "Q2_K", "Q3_K", "Q4_K"]
NATIVE += ["Q5_K", "Q6_K", "IQ4_NL", "IQ4_XS", "MXFP4"]
# Byte offsets of each block's float16 scale fields (kept finite so the work is typical).
SCALES = {"Q4_0": [0], "Q4_1": [0, 2], "Q5_0": [0], "Q5_1": [0, 2], "Q8_0": [0], "IQ4_NL": [0]}
SCALES |= {"Q2_K": [80, 82], "Q3_K": [108], "Q4_K": [0, 2], "Q5_K": [0, 2], "Q6_K": [208]}
SCALES |= {"IQ4_XS": [0]}


def best_of(fn, repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def dequantize_table(n: int = 4096) -> None:
    import gguf

    rng = np.random.default_rng(0)
    rows = []
    for name in NATIVE:
        qtype = gguf.GGMLQuantizationType[name]
        block, size = gguf.GGML_QUANT_SIZES[qtype]
        raw = rng.integers(0, 256, (n, n // block, size), dtype=np.uint8)
        if name in ("F16", "BF16"):
            raw = rng.standard_normal((n, n)).astype(np.float32)
            raw = gguf.quants.quantize(raw, qtype).view(np.uint8).reshape(n, -1, size)
        for off in SCALES.get(name, []):
            raw[:, :, off : off + 2] = np.float16(0.01).reshape(1).view(np.uint8)
        raw = raw.reshape(n, -1)
        out = bramwick.dequantize(raw, qtype)
        ours = best_of(lambda: bramwick.dequantize(raw, qtype), 3)
        ref = best_of(lambda: gguf.quants.dequantize(raw, qtype), 1)
        copy = best_of(lambda: out.copy(), 3)
        gib = out.nbytes / 2**30
        rows.append(
            [
                name,
                f"{ours * 1e3:.1f}",
                f"{gib / ours:.2f}",
                f"{ref * 1e3:.0f}",
                f"{ref / ours:.1f}x",
                f"{gib / copy:.2f}",
                f"{copy / ours:.2f}",
            ]
        )
    print(f"\ndequantization of {n}x{n} tensors, single thread (output GiB/s)")
    heads = ["type", "ours ms", "GiB/s", "gguf ms", "vs gguf", "copy GiB/s", "of copy"]
    print(table(heads, rows))


def narrowing_table(n: int = 4096) -> None:
    """float32 -> F16 / BF16 (rounded to nearest even) against the peers a user would call:
    numpy's astype (float16), gguf.quants.quantize and, where installed, torch's to()."""
    import gguf

    x = np.random.default_rng(0).standard_normal((n, n)).astype(np.float32)
    peers = {
        "F16": {"numpy astype": lambda: x.astype(np.float16)},
        "BF16": {},
    }
    try:
        import torch

        t = torch.from_numpy(x)
        peers["F16"]["torch to()"] = lambda: t.to(torch.float16)
        peers["BF16"]["torch to()"] = lambda: t.to(torch.bfloat16)
        torch.set_num_threads(1)
    except ImportError:
        pass
    rows = []
    for name, others in peers.items():
        qtype = gguf.GGMLQuantizationType[name]
        ours = best_of(lambda: bramwick.quantize(x, qtype), 3)
        others = {"gguf quantize": lambda: gguf.quants.quantize(x, qtype), **others}
        for peer, fn in others.items():
            theirs = best_of(fn, 3)
            rows.append(
                [name, f"{ours * 1e3:.1f}", peer, f"{theirs * 1e3:.1f}", f"{theirs / ours:.1f}x"]
            )
    print(f"\nfloat32 to F16 / BF16, {n}x{n}, single thread")
    print(table(["type", "ours ms", "peer", "peer ms", "vs peer"], rows))


def vocab_open(tmp: Path, vocab: int = 256_000) -> None:
    import gguf

    path = tmp / "vocab.gguf"
    w = gguf.GGUFWriter(str(path), "llama")
    w.add_token_list([f"tok{i}" for i in range(vocab)])
    w.add_token_scores([float(-i) for i in range(vocab)])
    w.add_token_types([1] * vocab)
    rng = np.random.default_rng(1)
    for i in range(4):
        w.add_tensor(f"blk.{i}.w", rng.standard_normal((64, 256)).astype(np.float32))
    w.write_header_to_file()
    w.write_kv_data_to_file()
    w.write_tensors_to_file()
    w.close()
    ours = best_of(lambda: bramwick.load_gguf_state_dict(path), 5)
    reader = best_of(lambda: gguf.GGUFReader(str(path), mode="r"), 1)
    print(f"\nopening a GGUF file with a {vocab}-entry vocabulary and 4 tensors")
    rows = [
        ["load_gguf_state_dict", f"{ours * 1e3:.1f}", "1.0x"],
        ["GGUFReader(...)", f"{reader * 1e3:.0f}", f"{reader / ours:.0f}x"],
    ]
    print(table(["open", "ms", "vs ours"], rows))


if __name__ == "__main__":
    sys.exit(main())
