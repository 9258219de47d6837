"""bfloat16 and float16 models through every command, read without torch: the base kept in
its own dtype byte for byte, sizes counted in the sources' dtypes, exports rounded once to
each tensor's dtype (an unchanged tensor bit for bit)."""

import json
from types import SimpleNamespace

import numpy as np
import pytest
from lornet_support import Bf16, read_shard, tiny_llama_tensors, write_shard
from oracle import round_half, widen_half

import velmora_dryx as vd
from velmora_dryx import dedup, kestrine, tamsel
from velmora_dryx.cli import main, sources

CODES = {"bfloat16": "BF16", "float16": "F16", "float32": "F32"}
UNCHANGED = ("model.embed_tokens.weight", "model.layers.1.self_attn.v_proj.weight")


def as_dtype(values, dtype):
    """What write_shard stores for float32 values in `dtype` (rounded to nearest even)."""
    if dtype == "bfloat16":
        return Bf16(round_half(values, dtype))
    return np.asarray(values, dtype)


def values(raw):
    """The float32 values of a tensor read by read_shard."""
    code, shape, data = raw
    dtype = {v: k for k, v in CODES.items()}[code]
    bits = np.frombuffer(data, np.float32 if code == "F32" else np.uint16).reshape(shape)
    return bits.copy() if code == "F32" else widen_half(bits, dtype)


@pytest.fixture(scope="module", params=["bfloat16", "float16"])
def models(request, tmp_path_factory):
    """The tiny llama and two fine-tunes of it (low-rank updates of every matrix but two,
    nudged norms) saved in one 16-bit dtype; in bfloat16 the norms stay float32, as some
    checkpoints ship them."""
    dtype = request.param
    root = tmp_path_factory.mktemp(dtype)
    base, config = tiny_llama_tensors(64, 64)
    base["model.embed_tokens.weight"][0, :4] = -0.0  # a sign that base + 0 would lose
    rng = np.random.default_rng(1)
    paths, raw = {}, {}
    for name in ("base", "ft1", "ft2"):
        sd = {}
        for k, w in base.items():
            if name != "base" and k not in UNCHANGED:
                if w.ndim == 2:
                    u, v = (
                        rng.standard_normal((w.shape[0], 2)),
                        rng.standard_normal((2, w.shape[1])),
                    )
                    w = w + (0.05 * u @ v).astype(np.float32)
                else:
                    w = w + 0.01 * rng.standard_normal(w.shape).astype(np.float32)
            keep = dtype == "bfloat16" and w.ndim == 1
            sd[k] = w if keep else as_dtype(w, dtype)
        (root / name).mkdir()
        write_shard(root / name / "model.safetensors", sd)
        (root / name / "config.json").write_text(config)
        paths[name] = str(root / name)
        raw[name] = read_shard(root / name / "model.safetensors")
    return SimpleNamespace(dtype=dtype, root=root, raw=raw, **paths)


def run(capsys, *argv):
    status = main([*argv, "--json"])
    out, err = capsys.readouterr()
    assert status == 0, err
    return json.loads(out)


def nbytes(tensors) -> int:
    return sum(len(data) for _, _, data in tensors.values())


def in_memory_library(m, tmp, capsys):
    doc = run(capsys, "library", m.base, m.ft1, m.ft2)
    assert doc["summary"]["base_bytes"] == nbytes(m.raw["base"])
    assert doc["summary"]["full_bytes"] == nbytes(m.raw["ft1"]) + nbytes(m.raw["ft2"])
    assert max(row["rel. error"] for row in doc["finetunes"]) < 1e-2
    loaded = sources.resolve(m.ft1).load()
    assert all(
        np.array_equal(loaded[k], values(t), equal_nan=True) for k, t in m.raw["ft1"].items()
    )


def saved_library(m, tmp, capsys):
    run(capsys, "library", m.base, m.ft1, "--save", str(tmp / "lib"))
    assert read_shard(tmp / "lib" / "base.safetensors") == m.raw["base"]
    info = run(capsys, "info", str(tmp / "lib"))
    assert info["finetunes"][0]["original_bytes"] == nbytes(m.raw["ft1"])
    assert info["summary"]["base_bytes"] == nbytes(m.raw["base"])


def added(m, tmp, capsys):
    run(capsys, "library", m.base, m.ft1, "--save", str(tmp / "lib"))
    info = run(capsys, "add", str(tmp / "lib"), m.ft2, "--name", "second")
    assert info["finetunes"][1]["original_bytes"] == nbytes(m.raw["ft2"])
    rebuilt = vd.load_library(tmp / "lib").reconstruct("second")
    want = {k: values(t) for k, t in m.raw["ft2"].items()}
    assert tamsel.reconstruction_error(rebuilt, want) < 1e-2


def roundtrip(m, tmp, capsys):
    doc = run(capsys, "roundtrip", m.ft1, "--method", "svd")
    rows = {row["tensor"]: row for row in doc["tensors"]}
    assert len(rows) == sum(len(s) == 2 for _, s, _ in m.raw["ft1"].values())
    name = "model.layers.0.mlp.up_proj.weight"
    record = kestrine.compress(values(m.raw["ft1"][name]), "svd", rank_ratio=0.5)
    stored = len(m.raw["ft1"][name][2])  # 2 bytes per parameter
    assert rows[name]["ratio"] == pytest.approx(stored / record.compressed_size_bytes)


def deduplicated(m, tmp, capsys):
    doc = run(capsys, "dedup", m.base, m.ft1, "--block-size", "256")
    store = dedup.DedupStore(block_size=256)
    for tenant in (m.base, m.ft1):
        name = "base" if tenant == m.base else "ft1"
        raw = m.raw[name]
        store.add_state_dict(tenant, {k: np.frombuffer(raw[k][2], np.uint8) for k in sorted(raw)})
    assert doc["summary"] == json.loads(json.dumps(store.summary()))


def exported(m, tmp, capsys):
    run(capsys, "library", m.base, m.ft1, "--save", str(tmp / "lib"))
    lib = vd.load_library(tmp / "lib")
    for dtype in (None, "float32"):
        out = tmp / f"out-{dtype}"
        run(
            capsys, "export", str(tmp / "lib"), "ft1", str(out), *(["--dtype", dtype] * bool(dtype))
        )
        written = read_shard(out / "model.safetensors")
        for k, (code, _, data) in m.raw["ft1"].items():
            assert written[k][0] == CODES[dtype] if dtype else code
            if k in UNCHANGED and dtype is None:
                assert written[k][2] == data
                continue
            rebuilt = values(m.raw["base"][k]) + kestrine.decompress(lib.deltas["ft1"].tensors[k])
            if written[k][0] != "F32":
                rebuilt = widen_half(round_half(rebuilt, m.dtype), m.dtype)
            np.testing.assert_array_equal(values(written[k]), rebuilt)
    assert (tmp / "out-None" / "config.json").is_file()


def exported_lora(m, tmp, capsys):
    run(capsys, "library", m.base, m.ft1, "--save", str(tmp / "lib"), "--energy", "0.999")
    run(capsys, "export-lora", str(tmp / "lib"), "ft1", str(tmp / "lora"))
    adapter = read_shard(tmp / "lora" / "adapter_model.safetensors")
    records = vd.load_library(tmp / "lib").deltas["ft1"].tensors
    name = "model.layers.0.self_attn.q_proj"
    (s,), (u, vt) = records[name + ".weight"].cores, records[name + ".weight"].factors
    for key, factor in (("lora_A", vt), ("lora_B", u * s)):
        code, _, _ = got = adapter[f"base_model.model.{name}.{key}.weight"]
        assert code == CODES[m.dtype]
        np.testing.assert_array_equal(values(got), widen_half(round_half(factor, m.dtype), m.dtype))


CASES = {
    "library": in_memory_library,
    "--save": saved_library,
    "add": added,
    "roundtrip": roundtrip,
    "dedup": deduplicated,
    "export": exported,
    "export-lora": exported_lora,
}


@pytest.mark.parametrize("command", list(CASES))
def test_half_precision_model_through_each_command(models, tmp_path, capsys, command):
    CASES[command](models, tmp_path, capsys)


@pytest.mark.torch
def test_exported_bfloat16_model_loads_with_transformers_and_matches(models, tmp_path, capsys):
    if models.dtype != "bfloat16":
        pytest.skip("the bfloat16 model")
    import torch
    import transformers

    # Every singular value kept: what remains between the two models is bfloat16 rounding.
    lib = str(tmp_path / "lib")
    run(
        capsys,
        "library",
        models.base,
        models.ft1,
        "--save",
        lib,
        "--energy",
        "1",
        "--max-rank",
        "64",
    )
    run(capsys, "export", lib, "ft1", str(tmp_path / "out"))
    ids = torch.arange(24).reshape(2, 12) % 64

    def logits(path):
        model = transformers.AutoModelForCausalLM.from_pretrained(path, dtype=torch.float32)
        with torch.no_grad():
            return model(ids).logits

    got, want = logits(tmp_path / "out"), logits(models.ft1)
    torch.testing.assert_close(got, want, rtol=2**-8, atol=2**-8 * float(want.abs().max()))
