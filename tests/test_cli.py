"""The velmora-dryx command line: one table of argv, exit status and message run through
main() in-process, a few runs of the installed console script, and the outputs themselves."""

from __future__ import annotations

import hashlib
import importlib.machinery
import json
import os
import re
import struct
import subprocess
import sys
import types
from pathlib import Path

import numpy as np
import pytest
from data import write_gguf
from lornet_support import write_shard

import velmora_dryx
from velmora_dryx import lornet
from velmora_dryx.cli import main
from velmora_dryx.cli.commands import COMMANDS

gguf = pytest.importorskip("gguf")
pytest.importorskip("safetensors")


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
    """Named sources: model directories, single files, GGUF files and broken ones."""
    root = tmp_path_factory.mktemp("models")
    base, (ft1, ft2) = family(np.random.default_rng(0))
    nan = {**base, "embed.weight": np.full((64, 16), np.nan, np.float32)}
    partial = {k: v for k, v in ft1.items() if k != "norm.weight"}
    partial["lm_head.weight"] = np.ones((4, 16), np.float32)
    dirs = {
        "base": base,
        "ft1": ft1,
        "ft2": ft2,
        "partial": partial,
        "alien": {"x": base["embed.weight"]},
        "nan": nan,
        "void": {},
        "reshaped": {**ft1, "layer.q.weight": np.ones((8, 16), np.float32)},
        "hfdir": base,
    }
    paths = {"root": root}
    for name, sd in dirs.items():
        (root / name).mkdir()
        paths[name] = write_shard(root / name / "model.safetensors", sd).parent
    (root / "hfdir" / "config.json").write_text("{}")
    paths["file"] = write_shard(root / "single.safetensors", ft1)
    (root / "corrupt").mkdir()
    (root / "corrupt" / "model.safetensors").write_bytes(struct.pack("<Q", 1 << 40) + b"{}")
    paths["corrupt"] = root / "corrupt"
    paths["corrupt_file"] = root / "corrupt" / "model.safetensors"
    (root / "empty_dir").mkdir()
    paths["empty_dir"] = root / "empty_dir"
    paths["notes"] = root / "notes.txt"
    paths["notes"].write_text("not weights")
    q8 = gguf.quants.quantize(
        np.random.default_rng(3).standard_normal((4, 64)).astype(np.float32),
        gguf.GGMLQuantizationType.Q8_0,
    )
    for name, sd in [("gguf", base), ("gguf_ft", ft1)]:
        quantized = (q8, gguf.GGMLQuantizationType.Q8_0)
        paths[name] = write_gguf(root / f"{name}.gguf", {**sd, "embed_q8.weight": quantized})
    for name, data in [
        ("random", os.urandom(256)),
        ("empty", b""),
        ("huge", b"GGUF" + struct.pack("<IQQ", 3, 1 << 40, 0)),
    ]:
        paths[name] = root / f"{name}.gguf"
        paths[name].write_bytes(data)
    return paths


@pytest.fixture(scope="module")
def stores(models, tmp_path_factory):
    """An Ollama store holding the base as tiny:latest and an LM Studio tree of two files."""
    ollama = tmp_path_factory.mktemp("ollama")
    data = models["gguf"].read_bytes()
    digest = "sha256:" + hashlib.sha256(data).hexdigest()
    (ollama / "blobs").mkdir()
    (ollama / "blobs" / digest.replace(":", "-")).write_bytes(data)
    manifest = ollama / "manifests" / "registry.ollama.ai" / "library" / "tiny"
    manifest.mkdir(parents=True)
    layer = {"mediaType": "application/vnd.ollama.image.model", "digest": digest, "size": len(data)}
    (manifest / "latest").write_text(json.dumps({"layers": [layer]}))
    junk = os.urandom(64)
    junk_digest = "sha256:" + hashlib.sha256(junk).hexdigest()
    (ollama / "blobs" / junk_digest.replace(":", "-")).write_bytes(junk)
    (manifest.parent / "broken").mkdir()
    layer = {**layer, "digest": junk_digest, "size": len(junk)}
    (manifest.parent / "broken" / "latest").write_text(json.dumps({"layers": [layer]}))
    lmstudio = tmp_path_factory.mktemp("lmstudio")
    for rel in ("pub/tiny-a/tiny-a.Q8_0.gguf", "pub/tiny-b/tiny-b.Q8_0.gguf"):
        (lmstudio / rel).parent.mkdir(parents=True)
        (lmstudio / rel).write_bytes(data)
    return {"OLLAMA_MODELS": str(ollama), "LMSTUDIO_MODELS": str(lmstudio)}


@pytest.fixture
def cli(models, stores, monkeypatch, capsys):
    """Runs main() in the models directory: (exit status, stdout, stderr)."""
    from velmora_dryx import bramwick

    monkeypatch.chdir(models["root"])
    monkeypatch.setenv("TTY_COMPATIBLE", "0")
    monkeypatch.setattr(bramwick, "OLLAMA_HOME", Path(stores["OLLAMA_MODELS"]))
    monkeypatch.setenv("LMSTUDIO_MODELS", stores["LMSTUDIO_MODELS"])

    def offline(repo_id):
        from huggingface_hub.errors import LocalEntryNotFoundError

        raise LocalEntryNotFoundError("outgoing traffic has been disabled")

    monkeypatch.setattr(lornet, "snapshot", offline)

    fill = {**{k: str(v) for k, v in models.items()}, **stores}

    def run(*argv: str):
        code = main([a.format(**fill) for a in argv])
        out = capsys.readouterr()
        return code, out.out, out.err

    run.fill = fill
    return run


def _offline_dataset(path, *args, **kwargs):
    raise ConnectionError(f"Couldn't reach {path!r} on the Hub (OfflineModeIsEnabled)")


def _pretend(monkeypatch, hidden=(), present=()):
    """Optional packages made missing (hidden) or importable stand-ins (present); the
    stand-in of datasets answers as the real one does offline."""
    for name in hidden:
        monkeypatch.setitem(sys.modules, name, None)
    for name in present:
        stand_in = types.ModuleType(name)
        stand_in.__spec__ = importlib.machinery.ModuleSpec(name, None)
        stand_in.load_dataset = _offline_dataset
        monkeypatch.setitem(sys.modules, name, stand_in)


def case(argv, status, fragment, hide=(), fake=(), env=None):
    name = " ".join(argv)[:60] + "".join(f" {k}={v}" for k, v in (env or {}).items())
    return pytest.param(argv, status, fragment, hide, fake, env or {}, id=name)


HF = 'pip install "velmora-dryx[hf]"'
PPL = ("torch", "transformers", "datasets")
LIB = ["library", "{base}", "{ft1}"]


@pytest.mark.parametrize(
    "argv, status, fragment, hidden, present, env",
    [
        # sources: the file or source named, then what is wrong
        case(["dedup", "/no/such/model"], 1, "/no/such/model: no such file or directory"),
        case(["dedup", "ft1/nosuch"], 1, "ft1/nosuch: no such file or directory"),
        case(["dedup", "./nosuch"], 1, "./nosuch: no such file or directory"),
        case(
            ["dedup", "nosuch/model"],
            1,
            "nosuch/model: no such local path, and the Hugging Face hub could not be reached",
        ),
        case(
            ["dedup", "nosuch/model"],
            1,
            "needs the package 'huggingface_hub' (install it with: pip install huggingface_hub)",
            hide=("huggingface_hub",),
        ),
        case(["dedup", "ollama:ghost"], 1, "ollama:ghost: Ollama model 'ghost:latest' not found"),
        case(["dedup", "ollama:broken"], 1, "ollama:broken: {OLLAMA_MODELS}/blobs/sha256-"),
        case(["roundtrip", "lmstudio:tiny"], 1, "Multiple matches for 'tiny': pub/tiny-"),
        case(["roundtrip", "lmstudio:nothing"], 1, "velmora-dryx list-lmstudio"),
        case(["roundtrip", "{notes}"], 1, "{notes}: not a model source"),
        case(["roundtrip", "{empty_dir}"], 1, "{empty_dir}: no *.safetensors weight shards"),
        case(["roundtrip", "{random}"], 1, "{random}: not a GGUF file"),
        case(["roundtrip", "{empty}"], 1, "{empty}: empty file"),
        case(["dedup", "{huge}"], 1, "{huge}: not a valid GGUF file (truncated"),
        case(["roundtrip", "{huge}"], 1, "{huge}: not a valid GGUF file (truncated"),
        case(["roundtrip", "{gguf}", "--json"], 0, '"tensor": "embed_q8.weight"'),  # Q8_0
        case(
            ["roundtrip", "{corrupt}"],
            1,
            "{corrupt_file}: not a valid safetensors file (header too large)",
        ),
        case(["dedup", "{corrupt_file}"], 1, "{corrupt_file}: not a valid safetensors file"),
        case(
            ["roundtrip", "{base}"],
            1,
            "needs the package 'safetensors' (install it with: pip install safetensors)",
            hide=("safetensors",),
        ),
        case(["roundtrip", "{nan}"], 1, "{nan}: tensor embed.weight holds NaN or infinite values"),
        case(["library", "{base}", "{nan}"], 1, "{nan}: tensor embed.weight holds NaN or infinite"),
        case(["dedup", "{ft1}", "{void}"], 1, "{void}: holds no tensor data to compare"),
        case(
            ["dedup", "{gguf}", "{base}"],
            1,
            "{base}: reading safetensors weights needs the package 'safetensors'",
            hide=("safetensors",),
        ),
        case(["roundtrip", "{file}", "--json"], 0, '"tensor": "embed.weight"'),
        # what roundtrip leaves out, in the table's note and in JSON
        case(["roundtrip", "{base}"], 0, "Left out: 1 tensor of fewer than two dimensions, with"),
        case(["roundtrip", "{base}", "--json"], 0, '"left_out": [\n    "norm.weight"\n  ]'),
        # what --ppl and ppl need, checked before any work
        case(
            [*LIB, "--ppl"],
            1,
            f"--ppl needs the package 'torch' (install it with: {HF})",
            hide=("torch",),
        ),
        case(
            ["library", "{file}", "{ft1}", "--ppl"],
            1,
            "{file}: --ppl needs a Hugging Face model directory or a GGUF file",
            fake=PPL,
        ),
        case([*LIB, "--ppl"], 1, "{base}: --ppl needs config.json beside the weights", fake=PPL),
        case(
            ["ppl", "{hfdir}"],
            1,
            "error: perplexity needs WikiText-2 (Salesforce/wikitext), and the Hugging Face hub "
            "could not be reached (and it is not in the local cache)",
            fake=PPL,
        ),
        case(
            ["ppl", "{base}"],
            1,
            "perplexity needs the package 'datasets'",
            hide=("datasets",),
            fake=("torch", "transformers"),
        ),
        # rank options: each goes to the methods that use it; contradictions refused
        case(
            [*LIB, "--method", "tucker", "--energy", "0.9"],
            2,
            "--energy selects the energy-based SVD; it cannot be used with --method tucker",
        ),
        case([*LIB, "--rank-ratio", "0.3"], 2, "--rank-ratio applies to svd and tucker"),
        case([*LIB, "--energy", "0.9", "--rank-ratio", "0.3"], 2, "--energy does not use it"),
        case([*LIB, "--method", "svd", "--max-rank", "4"], 2, "--max-rank applies to tt"),
        case(
            ["roundtrip", "{base}", "--method", "tucker", "--max-rank", "2"],
            2,
            "--max-rank applies to tt",
        ),
        case([*LIB, "--method", "bogus"], 2, "argument --method: invalid choice: 'bogus'"),
        case([*LIB, "--method", "none"], 2, "argument --method: invalid choice: 'none'"),
        case([*LIB, "--max-tokens", "64"], 2, "--max-tokens applies to --ppl only"),
        # ranges, checked by the parser
        case([*LIB, "--max-rank", "0"], 2, "--max-rank: must be a whole number from 1 to 2147"),
        case([*LIB, "--max-rank", "-3"], 2, "--max-rank: must be a whole number from 1 to"),
        case([*LIB, "--max-rank", "2.5"], 2, "--max-rank: expected a whole number from 1 to"),
        case([*LIB, "--energy", ".9", "--max-rank", "1" + "0" * 20], 2, "--max-rank: must be"),
        case([*LIB, "--energy", "1.5"], 2, "--energy: must be a number in (0, 1], got 1.5"),
        case([*LIB, "--energy", "0"], 2, "--energy: must be a number in (0, 1]"),
        case([*LIB, "--energy", "-1"], 2, "--energy: must be a number in (0, 1]"),
        case([*LIB, "--energy", "nan"], 2, "--energy: must be a number in (0, 1]"),
        case(
            [*LIB, "--method", "svd", "--rank-ratio", "0"],
            2,
            "--rank-ratio: must be a number in [0.01, 1], got 0",
        ),
        case(["roundtrip", "{base}", "--rank-ratio", "-1"], 2, "--rank-ratio: must be"),
        case(["roundtrip", "{base}", "--rank-ratio", "5"], 2, "--rank-ratio: must be"),
        case(["roundtrip", "{base}", "--rank-ratio", "nan"], 2, "--rank-ratio: must be"),
        case(["roundtrip", "{base}", "--limit", "-1"], 2, "--limit: must be a whole number >= 1"),
        case(["demo", "--finetunes", "0"], 2, "--finetunes: must be a whole number >= 1"),
        case(["demo", "--finetunes", "-1"], 2, "--finetunes: must be a whole number >= 1"),
        case(["demo", "--seed", "-1"], 2, "--seed: must be a whole number >= 0"),
        case(
            ["dedup", "{base}", "--block-size", "0"], 2, "--block-size: must be a whole number >= 1"
        ),
        case(["ppl", "{base}", "--window", "1"], 2, "--window: must be a whole number >= 2"),
        case(["ppl", "{base}", "--stride", "0"], 2, "--stride: must be a whole number >= 1"),
        case(
            ["ppl", "{base}", "--window", "8", "--stride", "9"], 2, "--stride 9 exceeds --window 8"
        ),
        # --json and --debug on either side of the command
        case(["suggest", "768x3072", "--json"], 0, '"shape": "768x3072"'),
        case(["--json", "suggest", "3,3,3"], 0, '"shape": "3,3,3"'),
        case(["suggest", "8x8x8x8"], 0, "8x8x8x8"),
        case(["dedup", "/no/such", "--debug"], 1, "Traceback"),
        # shapes: strict
        case(["suggest", ""], 2, "bad shape '': write positive extents joined by x"),
        case(["suggest", "768xx3072"], 2, "bad shape '768xx3072'"),
        case(["suggest", "12xq"], 2, "bad shape '12xq'"),
        case(["suggest", "0x4"], 2, "bad shape '0x4': every extent must be at least 1"),
        # each tenant and fine-tune once; a fine-tune shares tensors with its base
        case(["dedup", "{base}", "{base}"], 2, "SOURCE '{base}' is given twice"),
        case([*LIB, "{ft1}"], 2, "FINETUNE '{ft1}' is given twice"),
        case(["library", "{base}", "{alien}"], 1, "{alien}: shares no tensor with the base"),
        case(
            ["library", "{base}", "{reshaped}"],
            1,
            "{reshaped}: 1 tensor differs in shape from the base (first: layer.q.weight)",
        ),
        case(
            ["library", "{base}", "{partial}"],
            0,
            "{partial}: lacks 1 tensor of the base (first: norm.weight)",
        ),
        case(
            ["library", "{base}", "{partial}"],
            0,
            "{partial}: carries 1 tensor not in the base (first: lm_head.weight)",
        ),
        # usage, and every option in each command's help
        *(case([c.NAME, "--help"], 0, "--json") for c in COMMANDS),
        *(case([c.NAME, "--help"], 0, "--debug") for c in COMMANDS),
        # install lines copy whole: never broken at a hyphen or inside the command
        *(
            case(["library", "--help"], 0, 'pip install "velmora-dryx[ray]"', env={"COLUMNS": c})
            for c in ("70", "100")
        ),
        case(["--version"], 0, f"velmora-dryx {velmora_dryx.__version__}\n"),
        case(["nonsense"], 2, "invalid choice: 'nonsense'"),
        case(["library"], 2, "the following arguments are required: BASE"),
    ],
)
def test_command_line(cli, monkeypatch, argv, status, fragment, hidden, present, env):
    _pretend(monkeypatch, hidden, present)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    code, out, err = cli(*argv)
    assert code == status, err
    assert fragment.format(**cli.fill) in out + err
    if status == 1 and "--debug" not in argv:
        assert err.startswith("velmora-dryx: error: ") and err.count("\n") == 1, err
    if status == 2:
        assert err.startswith("usage: velmora-dryx") and ": error: " in err.splitlines()[-1]


def test_library_on_safetensors_directories(cli, models):
    code, out, err = cli("--json", "library", "{base}", "{ft1}", "{ft2}")
    assert code == 0, err
    doc = json.loads(out)
    assert [r["fine-tune"] for r in doc["finetunes"]] == [str(models["ft1"]), str(models["ft2"])]
    assert doc["summary"]["n_models"] == 2 and doc["tensor_mismatches"] == {}
    assert doc["settings"] == {"method": "tt", "max_rank": 8}
    assert all(r["rel. error"] < 0.05 for r in doc["finetunes"])


@pytest.mark.parametrize(
    "extra, settings, title",
    [
        ([], {"method": "tt", "max_rank": 4}, "tensor train, max_rank 4"),
        (
            ["--energy", "0.99"],
            {"method": "energy-svd", "energy": 0.99, "max_rank": 4},
            "energy SVD 0.99, max_rank 4",
        ),
    ],
)
def test_library_titles_what_it_used(cli, extra, settings, title):
    code, out, err = cli("--json", *LIB, *extra, "--max-rank", "4")
    assert code == 0, err
    assert json.loads(out)["settings"] == settings
    code, out, err = cli(*LIB, *extra, "--max-rank", "4")
    assert title in out


@pytest.mark.parametrize("method", ["svd", "tucker"])
def test_library_passes_the_rank_ratio(cli, method):
    stored = {}
    for ratio in ("0.1", "1"):
        code, out, err = cli("--json", *LIB, "--method", method, "--rank-ratio", ratio)
        assert code == 0, err
        doc = json.loads(out)
        assert doc["settings"] == {"method": method, "rank_ratio": float(ratio)}
        stored[ratio] = doc["finetunes"][0]["stored MiB"]
        if ratio == "1":  # a full-rank factorization keeps the delta
            assert doc["finetunes"][0]["rel. error"] < 1e-5
    assert stored["0.1"] < stored["1"]


@pytest.mark.parametrize("base", ["{gguf}", "ollama:tiny"])
def test_library_on_gguf_dequantizes_quantized_tensors(cli, base):
    code, out, err = cli("--json", "library", base, "{gguf_ft}")
    assert code == 0, err
    assert "skipped" not in err
    assert json.loads(out)["finetunes"][0]["tensors"] == 5


def test_library_reports_missing_and_extra_tensors(cli):
    code, out, err = cli("--json", "library", "{base}", "{partial}")
    assert code == 0, err
    [mismatch] = json.loads(out)["tensor_mismatches"].values()
    assert mismatch == {"missing": ["norm.weight"], "extra": ["lm_head.weight"]}


def test_dedup_counts_each_source_once(cli, models):
    code, out, err = cli("--json", "dedup", "{base}", "{ft1}", "ollama:tiny", "--block-size", "256")
    assert code == 0, err
    doc = json.loads(out)
    assert [t["tenant"] for t in doc["tenants"]] == [
        str(models["base"]),
        str(models["ft1"]),
        "ollama:tiny",
    ]
    summary = doc["summary"]
    assert summary["tenants"] == 3 and summary["block_size"] == 256
    assert summary["deduped_bytes"] < summary["naive_bytes"]


def test_roundtrip_sorted_by_size(cli):
    code, out, err = cli("--json", "roundtrip", "{base}", "--method", "svd", "--limit", "2")
    assert code == 0, err
    doc = json.loads(out)
    assert [r["tensor"] for r in doc["tensors"]] == ["embed.weight", "layer.up.weight"]
    assert {r["method"] for r in doc["tensors"]} == {"svd"}
    assert doc["settings"] == {"method": "svd", "rank_ratio": 0.5}


def test_listings(cli):
    code, out, _ = cli("--json", "list-ollama")
    assert sorted(m["name"] for m in json.loads(out)["models"]) == ["broken:latest", "tiny:latest"]
    code, out, _ = cli("--json", "list-lmstudio")
    names = sorted(m["name"] for m in json.loads(out)["models"])
    assert names == ["pub/tiny-a/tiny-a.Q8_0.gguf", "pub/tiny-b/tiny-b.Q8_0.gguf"]


@pytest.mark.parametrize("columns", [None, 72])
def test_tables_never_cut_names_or_numbers(cli, models, monkeypatch, tmp_path, columns):
    """Two fine-tunes under one long directory: piped, each row keeps its whole source on
    one line; on a narrow terminal the names fold and nothing is elided."""
    deep = tmp_path / ("a-rather-long-directory-name-" * 3)
    deep.mkdir()
    tunes = []
    for name in ("finetune-alpha", "finetune-beta"):
        (deep / name).symlink_to(models["ft1"] if name.endswith("alpha") else models["ft2"])
        tunes.append(str(deep / name))
    if columns:
        monkeypatch.setenv("TTY_COMPATIBLE", "1")
        monkeypatch.setenv("COLUMNS", str(columns))
    code, out, err = cli("library", "{base}", *tunes)
    assert code == 0, err
    out = re.sub(r"\x1b\[[0-9;]*m", "", out)  # the terminal's styles
    assert "…" not in out
    if columns:
        assert max(len(line) for line in out.splitlines()) <= columns
        first_column = "".join(
            line.split("│")[1].strip() for line in out.splitlines() if line.startswith("│")
        )
        assert all(t in first_column for t in tunes)
    else:
        assert all(any(t in line for line in out.splitlines()) for t in tunes)


@pytest.mark.parametrize(
    "terminal, extra, bar", [("1", [], True), ("1", ["--json"], False), ("0", [], False)]
)
def test_progress_only_on_a_terminal(cli, monkeypatch, terminal, extra, bar):
    monkeypatch.setenv("TTY_COMPATIBLE", terminal)
    code, _, err = cli(*extra, "library", "{base}", "{ft1}", "{ft2}")
    assert code == 0
    assert ("adding fine-tunes" in err) is bar


# ---------------------------------------------------------------------------------------
# The installed console script


def script(*args: str, **env: str):
    exe = Path(sys.executable).with_name("velmora-dryx")
    return subprocess.run(
        [str(exe), *args],
        capture_output=True,
        text=True,
        env={**os.environ, "HF_HUB_OFFLINE": "1", **env},
        timeout=300,
    )


# A child interpreter's first module (sitecustomize): reading the clock before SciPy's
# LAPACK is resolved (hundreds of milliseconds, once per process) fails the command, so that
# no first timed row carries that setup.
CLOCK_GUARD = """
import sys, time
clock = time.perf_counter
def guarded():
    if "scipy.linalg.cython_lapack" not in sys.modules:
        raise RuntimeError("a clock was read before the first-use setup")
    return clock()
time.perf_counter = guarded
"""


@pytest.fixture
def clock_guard(tmp_path):
    (tmp_path / "sitecustomize.py").write_text(CLOCK_GUARD)
    return {"PYTHONPATH": str(tmp_path)}


@pytest.mark.parametrize("argv", [["roundtrip", "{base}"], ["library", "{base}", "{ft1}"]])
def test_timings_start_after_first_use_setup(cli, clock_guard, argv):
    proc = script(*(a.format(**cli.fill) for a in argv), **clock_guard)
    assert proc.returncode == 0, proc.stderr


def test_script_runs_the_demo_offline(clock_guard):
    proc = script("demo", "--finetunes", "1", "--json", **clock_guard)
    assert proc.returncode == 0, proc.stderr
    doc = json.loads(proc.stdout)
    assert set(doc) == {"finetunes", "libraries", "dedup", "roundtrip"}
    assert doc["dedup"]["tenants"] == 2


def test_script_says_why_a_repository_id_did_not_resolve(tmp_path):
    proc = script("dedup", "nosuch-org/nosuch-model", HF_HOME=str(tmp_path))
    assert proc.returncode == 1
    assert proc.stderr == (
        "velmora-dryx: error: nosuch-org/nosuch-model: no such local path, and the Hugging "
        "Face hub could not be reached (and it is not in the local cache)\n"
    )


@pytest.mark.parametrize("args, status", [(["suggest", "1x"], 2), (["--help"], 0)])
def test_script_exit_status(args, status):
    assert script(*args).returncode == status
