"""The velmora-dryx command line, run as a subprocess on fixtures built in tmp dirs."""

from __future__ import annotations

import hashlib
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from data import write_gguf

gguf = pytest.importorskip("gguf")
safetensors_numpy = pytest.importorskip("safetensors.numpy")


def run(*args: str, env: dict | None = None, cwd: Path | None = None):
    full_env = {**os.environ, "HF_HUB_OFFLINE": "1", **(env or {})}
    return subprocess.run(
        [sys.executable, "-m", "velmora_dryx.cli", *args],
        capture_output=True,
        text=True,
        env=full_env,
        cwd=cwd,
        timeout=300,
    )


def family(rng):
    base = {
        "embed.weight": rng.standard_normal((64, 16)).astype(np.float32),
        "layer.q.weight": rng.standard_normal((16, 16)).astype(np.float32),
        "layer.up.weight": rng.standard_normal((48, 16)).astype(np.float32),
        "norm.weight": np.ones(16, np.float32),
    }
    tunes = []
    for seed in (1, 2):
        r = np.random.default_rng(seed)
        ft = dict(base)
        ft["layer.q.weight"] = base["layer.q.weight"] + 0.1 * np.outer(
            r.standard_normal(16), r.standard_normal(16)
        ).astype(np.float32)
        ft["norm.weight"] = base["norm.weight"] + 0.01 * r.standard_normal(16).astype(np.float32)
        tunes.append(ft)
    return base, tunes


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    root = tmp_path_factory.mktemp("models")
    base, tunes = family(np.random.default_rng(0))
    dirs = []
    for name, sd in [("base", base), ("ft1", tunes[0]), ("ft2", tunes[1])]:
        d = root / name
        d.mkdir()
        safetensors_numpy.save_file(sd, str(d / "model.safetensors"))
        dirs.append(d)
    q8 = gguf.quants.quantize(
        np.random.default_rng(3).standard_normal((4, 64)).astype(np.float32),
        gguf.GGMLQuantizationType.Q8_0,
    )
    ggufs = []
    for name, sd in [("base", base), ("ft1", tunes[0])]:
        ggufs.append(
            write_gguf(
                root / f"{name}.gguf",
                {**sd, "embed_q8.weight": (q8, gguf.GGMLQuantizationType.Q8_0)},
            )
        )
    (root / "damaged.gguf").write_bytes(b"GGUF\x03\0\0\0" + b"\xff" * 16)
    return {"dirs": dirs, "ggufs": ggufs, "root": root}


@pytest.fixture(scope="module")
def ollama(models, tmp_path_factory):
    home = tmp_path_factory.mktemp("ollama")
    data = models["ggufs"][0].read_bytes()
    digest = "sha256:" + hashlib.sha256(data).hexdigest()
    (home / "blobs").mkdir()
    (home / "blobs" / digest.replace(":", "-")).write_bytes(data)
    manifest = home / "manifests" / "registry.ollama.ai" / "library" / "tiny"
    manifest.mkdir(parents=True)
    layer = {"mediaType": "application/vnd.ollama.image.model", "digest": digest, "size": len(data)}
    (manifest / "latest").write_text(json.dumps({"layers": [layer]}))
    return home


@pytest.fixture(scope="module")
def lmstudio(models, tmp_path_factory):
    home = tmp_path_factory.mktemp("lmstudio")
    for rel in ("pub/tiny-a/tiny-a.Q8_0.gguf", "pub/tiny-b/tiny-b.Q8_0.gguf"):
        p = home / rel
        p.parent.mkdir(parents=True)
        p.write_bytes(models["ggufs"][0].read_bytes())
    return home


def test_demo_runs_offline_and_prints_its_tables():
    proc = run("demo", "--finetunes", "2")
    assert proc.returncode == 0, proc.stderr
    for title in ("Fine-tunes stored", "Whole library", "Block deduplication", "Round trip"):
        assert title in proc.stdout


def test_demo_json_is_machine_readable():
    proc = run("--json", "demo", "--finetunes", "1")
    assert proc.returncode == 0, proc.stderr
    doc = json.loads(proc.stdout)
    assert set(doc) == {"finetunes", "libraries", "dedup", "roundtrip"}
    assert {r["method"] for r in doc["roundtrip"]} == {"svd", "tucker", "tt"}
    assert doc["dedup"]["tenants"] == 2


@pytest.mark.parametrize("extra", [[], ["--energy", "0.99"], ["--method", "svd"]])
def test_library_on_safetensors_directories(models, extra):
    base, ft1, ft2 = map(str, models["dirs"])
    proc = run("--json", "library", base, ft1, ft2, *extra)
    assert proc.returncode == 0, proc.stderr
    doc = json.loads(proc.stdout)
    assert [r["fine-tune"] for r in doc["finetunes"]] == [ft1, ft2]
    assert doc["summary"]["n_models"] == 2
    assert all(r["rel. error"] < 0.05 for r in doc["finetunes"])


@pytest.mark.parametrize("base", ["{gguf}", "ollama:tiny"])
def test_library_on_gguf_dequantizes_quantized_tensors(models, ollama, base):
    base = base.format(gguf=models["ggufs"][0])
    proc = run(
        "--json", "library", base, str(models["ggufs"][1]), env={"OLLAMA_MODELS": str(ollama)}
    )
    assert proc.returncode == 0, proc.stderr
    assert "skipped" not in proc.stderr
    assert json.loads(proc.stdout)["finetunes"][0]["tensors"] == 5


def test_dedup_finds_shared_blocks(models, ollama):
    base, ft1, _ = map(str, models["dirs"])
    proc = run(
        "--json",
        "dedup",
        base,
        ft1,
        "ollama:tiny",
        "--block-size",
        "256",
        env={"OLLAMA_MODELS": str(ollama)},
    )
    assert proc.returncode == 0, proc.stderr
    summary = json.loads(proc.stdout)["summary"]
    assert summary["tenants"] == 3 and summary["block_size"] == 256
    assert summary["deduped_bytes"] < summary["naive_bytes"]


@pytest.mark.parametrize(
    "source, quantized",
    [("dirs", []), ("ggufs", ["embed_q8.weight"])],  # Q8_0 dequantized
)
def test_roundtrip_sorted_by_size(models, source, quantized):
    proc = run("--json", "roundtrip", str(models[source][0]), "--method", "svd")
    assert proc.returncode == 0, proc.stderr
    rows = json.loads(proc.stdout)["tensors"]
    want = ["embed.weight", "layer.up.weight", "layer.q.weight", *quantized]
    assert [r["tensor"] for r in rows] == want
    assert {r["method"] for r in rows} == {"svd"}


@pytest.mark.parametrize(
    "shape, method", [("768x3072", "svd"), ("3,3,3", "tucker"), ("8x8x8x8", "tt")]
)
def test_suggest(shape, method):
    proc = run("--json", "suggest", shape)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout)["suggestion"]["method"] == method


def test_listings(ollama, lmstudio):
    env = {"OLLAMA_MODELS": str(ollama), "LMSTUDIO_MODELS": str(lmstudio)}
    proc = run("--json", "list-ollama", env=env)
    assert proc.returncode == 0, proc.stderr
    assert [m["name"] for m in json.loads(proc.stdout)["models"]] == ["tiny:latest"]
    proc = run("--json", "list-lmstudio", env=env)
    names = sorted(m["name"] for m in json.loads(proc.stdout)["models"])
    assert names == ["pub/tiny-a/tiny-a.Q8_0.gguf", "pub/tiny-b/tiny-b.Q8_0.gguf"]


@pytest.mark.parametrize(
    "args, message",
    [
        (["dedup", "/no/such/model"], "/no/such/model: no such file or directory"),
        (["dedup", "ollama:ghost"], "Ollama model 'ghost:latest' not found"),
        (["roundtrip", "lmstudio:tiny"], "Multiple matches for 'tiny':"),
        (["roundtrip", "lmstudio:nothing"], "velmora-dryx list-lmstudio"),
        (["suggest", "12xq"], "bad shape '12xq'"),
        (["library", "{base}", "{ft1}", "--method", "bogus"], "unknown method 'bogus'"),
        (["dedup", "{base}", "--block-size", "0"], "--block-size must be a positive"),
        (["library", "{gguf}", "{gguf}", "--ppl"], "--ppl needs Hugging Face model directories"),
        (["library", "{base}", "{gguf}", "--ppl"], "--ppl needs Hugging Face model directories"),
        (["roundtrip", "{bad}"], "Invalid GGUF file"),
        (["dedup", "{bad}"], "Invalid GGUF file"),
    ],
)
def test_errors_are_one_clear_message_and_exit_1(models, ollama, lmstudio, args, message):
    fill = {
        "base": str(models["dirs"][0]),
        "ft1": str(models["dirs"][1]),
        "gguf": str(models["ggufs"][0]),
        "bad": str(models["root"] / "damaged.gguf"),
    }
    env = {"OLLAMA_MODELS": str(ollama), "LMSTUDIO_MODELS": str(lmstudio)}
    proc = run(*(a.format(**fill) for a in args), env=env)
    assert proc.returncode == 1
    assert proc.stderr.startswith("velmora-dryx: error: ")
    assert message in proc.stderr
    assert "Traceback" not in proc.stderr


def test_debug_shows_the_traceback():
    proc = run("--debug", "dedup", "/no/such/model")
    assert proc.returncode == 1 and "Traceback" in proc.stderr


def test_usage_errors_exit_2():
    assert run("nonsense").returncode == 2
    assert run("library").returncode == 2
