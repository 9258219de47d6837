"""Saved libraries: round trips, appends, integrity checks, interrupted writes, parallel builds
and exports (model directories for transformers, LoRA adapters for peft)."""

import json
import os
import shutil
import sys
from pathlib import Path

import numpy as np
import pytest
from lornet_support import tiny_llama, write_shard
from threadpoolctl import threadpool_limits

import velmora_dryx as vd
from velmora_dryx import _library_format, kestrine, store, tamsel
from velmora_dryx.kestrine import CompressionMethod
from velmora_dryx.methods import Settings

SHAPES = {
    "embed.weight": (40, 16),
    "layers.0.q_proj.weight": (24, 16),
    "layers.0.up_proj.weight": (32, 16),
    "layers.0.norm.weight": (16,),
    "conv.weight": (6, 4, 3, 3),
}


def family(rng, names=("ft-a", "ft-b"), scale=1, dtype=np.float32):
    """A base and fine-tunes: low-rank updates plus noise on the matrices, nudged norms, and a
    tensor that only the fine-tunes have."""
    base = {
        k: rng.standard_normal(tuple(s * scale for s in v)).astype(dtype) for k, v in SHAPES.items()
    }
    base["head.bias"] = rng.standard_normal(7)  # float64: the delta is still float32
    tunes = {}
    for n in names:
        ft = {}
        for k, w in base.items():
            if w.ndim == 2:
                u = rng.standard_normal((w.shape[0], 2))
                ft[k] = (w + 0.1 * u @ rng.standard_normal((2, w.shape[1]))).astype(w.dtype)
            else:
                ft[k] = w + 0.01 * rng.standard_normal(w.shape).astype(w.dtype)
            ft[k] += (1e-3 * rng.standard_normal(w.shape)).astype(w.dtype)
        ft["extra.weight"] = rng.standard_normal((5, 3)).astype(np.float32)
        tunes[n] = ft
    return base, tunes


def in_memory(base, tunes, base_id="base", **settings):
    # The saved builds run every task with one BLAS thread: the same arithmetic here.
    lib = tamsel.ModelLibrary(base_id, base, **settings)
    with threadpool_limits(1, user_api="blas"):
        for n, ft in tunes.items():
            lib.add_finetune(n, ft)
    return lib


def as_saved(lib, base, tunes):
    """The library as a saved build keeps it: a record larger than its float32 delta dense."""
    for name, record in lib.deltas.items():
        for t, ct in record.tensors.items():
            w = tunes[name][t]
            dense = np.asarray(w - base[t] if t in base else w, np.float32)
            if ct.compressed_size_bytes > dense.nbytes:
                record.tensors[t] = kestrine.compress(dense, "none")
    return lib


def assert_same_record(x, y):
    assert (x.method, x.shape, x.dtype) == (y.method, y.shape, y.dtype)
    assert x.method is y.method
    assert x.metadata == y.metadata
    assert [type(v) for v in x.metadata.values()] == [type(v) for v in y.metadata.values()]
    assert len(x.cores) == len(y.cores) and len(x.factors) == len(y.factors)
    for p, q in zip(x.cores + x.factors, y.cores + y.factors, strict=True):
        assert (p.dtype, p.shape) == (q.dtype, q.shape)
        assert p.tobytes() == q.tobytes()


def assert_same_library(a, b):
    # The same settings (a saved library records the energy SVD's method as svd).
    assert (a.base_id, Settings.of(a)) == (b.base_id, Settings.of(b))
    assert list(a.base) == list(b.base)
    for k, v in a.base.items():
        assert v.dtype == b.base[k].dtype and v.tobytes() == b.base[k].tobytes()
    assert list(a.deltas) == list(b.deltas)
    for name, d in a.deltas.items():
        e = b.deltas[name]
        assert (d.model_id, d.base_id, list(d.tensors)) == (e.model_id, e.base_id, list(e.tensors))
        for t, ct in d.tensors.items():
            assert_same_record(ct, e.tensors[t])


def write_model(path: Path, sd: dict, shards: int = 2) -> Path:
    """A model directory of safetensors shards (file order splits the tensors)."""
    path.mkdir(parents=True)
    items = list(sd.items())
    step = -(-len(items) // shards)
    for i in range(shards):
        write_shard(
            path / f"model-{i + 1:05d}-of-{shards:05d}.safetensors",
            dict(items[i * step : (i + 1) * step]),
        )
    return path


def files(root: Path) -> dict:
    return {
        str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()
    }


SETTINGS = [
    {},
    {"energy": 0.99},
    {"method": CompressionMethod.SVD},
    {"method": CompressionMethod.TUCKER},
    {"energy": 0.99, "dtype": np.float16},  # the base is stored as float16
]


@pytest.mark.parametrize("settings", SETTINGS, ids=["tt", "energy", "svd", "tucker", "float16"])
def test_save_load_and_export_give_the_same_tensors(rng, tmp_path, settings):
    settings = dict(settings)
    base, tunes = family(rng, dtype=settings.pop("dtype", np.float32))
    lib = in_memory(base, tunes, **settings)
    vd.save_library(lib, tmp_path / "lib")
    for verify in (True, False):
        loaded = vd.load_library(tmp_path / "lib", verify=verify)
        assert_same_library(lib, loaded)
    # Views of the files' memory maps, not copies; the files are standard safetensors.
    some = next(iter(loaded.deltas["ft-a"].tensors.values())).cores[0]
    assert not some.flags.writeable and some.base is not None
    from safetensors import safe_open

    with safe_open(str(tmp_path / "lib" / "base.safetensors"), "np") as f:
        assert all(np.array_equal(f.get_tensor(k), v) for k, v in base.items())
    # Exports, read back without torch: the rebuilt fine-tune, and LoRA factors whose
    # B @ A is each stored delta, B of shape (out, r) and A of shape (r, in).
    from safetensors.numpy import load_file

    rebuilt = loaded.reconstruct("ft-a")
    vd.export_finetune(tmp_path / "lib", "ft-a", tmp_path / "out")
    out = load_file(str(tmp_path / "out" / "model.safetensors"))
    assert out.keys() == rebuilt.keys()
    assert all(out[k].dtype == v.dtype and np.array_equal(out[k], v) for k, v in rebuilt.items())
    records = loaded.deltas["ft-a"].tensors
    if any(ct.method is CompressionMethod.SVD for ct in records.values()):
        targets = vd.export_lora(tmp_path / "lib", "ft-a", tmp_path / "lora", dtype="float32")[
            "targets"
        ]
        lora = load_file(str(tmp_path / "lora" / "adapter_model.safetensors"))
        for module, r in targets.items():
            b, a = (lora[f"base_model.model.{module}.lora_{x}.weight"] for x in "BA")
            delta = vd.kestrine.decompress(records[module + ".weight"])
            assert b.shape == (delta.shape[0], r) and a.shape == (r, delta.shape[1])
            np.testing.assert_allclose(b @ a, delta, rtol=1e-5, atol=1e-6)


@pytest.mark.parametrize("settings", SETTINGS, ids=["tt", "energy", "svd", "tucker", "float16"])
def test_build_records_each_fine_tunes_error_and_never_stores_more_than_dense(
    rng, tmp_path, settings
):
    settings = dict(settings)
    base, tunes = family(rng, dtype=settings.pop("dtype", np.float32))
    vd.build_library(base, tunes, tmp_path / "lib", **settings)
    lib, info = vd.load_library(tmp_path / "lib"), vd.library_info(tmp_path / "lib")
    for row in info["finetunes"]:
        num = den = 0.0
        for t, ct in lib.deltas[row["name"]].tensors.items():
            w = tunes[row["name"]][t]
            # Deltas are taken from the values widened to float32 (float64 stays float64).
            wide = np.result_type(w.dtype, np.float32)
            d = w.astype(wide) - base[t].astype(wide) if t in base else w
            delta = np.asarray(d, np.float32).astype(np.float64)
            assert ct.compressed_size_bytes <= delta.size * 4
            num += np.sum((kestrine.decompress(ct) - delta) ** 2)
            den += np.sum(delta**2)
        assert row["error"] == pytest.approx(np.sqrt(num / den), rel=1e-4, abs=1e-7)


def test_streamed_build_equals_the_in_memory_library(rng, tmp_path):
    base, tunes = family(rng)
    sources = {n: write_model(tmp_path / n, ft) for n, ft in tunes.items()}
    sources["ft-b"] = next(sources["ft-b"].glob("*00001*"))  # one shard alone: a partial fine-tune
    with pytest.warns(vd.store.FinetuneWarning, match="'ft-b' lacks 2 tensor"):
        vd.build_library(
            write_model(tmp_path / "base", base), sources, tmp_path / "lib", energy=0.9, jobs=1
        )
    from safetensors.numpy import load_file

    def loaded(path):
        # Tensors read from model files keep their dtypes (the float64 bias included).
        shards = sorted(path.glob("*.safetensors"))
        return {k: v for f in shards for k, v in sorted(load_file(f).items())}

    first_shard = list(tunes["ft-b"])[: -(-len(tunes["ft-b"]) // 2)]
    loaded_base = loaded(tmp_path / "base")
    loaded = {
        "ft-a": loaded(tmp_path / "ft-a"),
        "ft-b": {k: tunes["ft-b"][k] for k in sorted(first_shard)},
    }
    expect = in_memory(loaded_base, loaded, str(tmp_path / "base"), energy=0.9)
    assert_same_library(as_saved(expect, loaded_base, loaded), vd.load_library(tmp_path / "lib"))


def test_append_writes_only_the_new_fine_tune(rng, tmp_path):
    base, tunes = family(rng, names=("ft-a", "ft-b", "ft-c"))
    lib = in_memory(base, {"ft-a": tunes["ft-a"]})
    vd.save_library(lib, tmp_path / "lib")
    before = files(tmp_path / "lib")
    added = vd.add_to_library(tmp_path / "lib", "ft-b", tunes["ft-b"], jobs=2)
    vd.add_to_library(
        tmp_path / "lib",
        "ft-c",
        write_model(tmp_path / "c", tunes["ft-c"]),
        method="svd",
        rank_ratio=0.25,
    )
    after = files(tmp_path / "lib")
    assert {k: v for k, v in after.items() if k in before and k != "manifest.json"} == {
        k: v for k, v in before.items() if k != "manifest.json"
    }
    expect = as_saved(in_memory(base, {"ft-b": tunes["ft-b"]}), base, tunes)
    loaded = vd.load_library(tmp_path / "lib")
    assert list(loaded.deltas) == ["ft-a", "ft-b", "ft-c"]
    for t, ct in expect.deltas["ft-b"].tensors.items():
        assert_same_record(ct, loaded.deltas["ft-b"].tensors[t])
        assert_same_record(ct, added.tensors[t])
    assert {
        (ct.method, ct.metadata.get("rank_ratio")) for ct in loaded.deltas["ft-c"].tensors.values()
    } == {(CompressionMethod.SVD, 0.25), (CompressionMethod.NONE, None)}
    info = vd.library_info(tmp_path / "lib")
    assert [f["name"] for f in info["finetunes"]] == ["ft-a", "ft-b", "ft-c"]
    assert info["finetunes"][0]["stored_bytes"] == lib.deltas["ft-a"].stored_bytes()


@pytest.fixture
def saved(rng, tmp_path):
    base, tunes = family(rng)
    vd.save_library(in_memory(base, tunes), tmp_path / "lib")
    return tmp_path / "lib"


def manifest(root):
    return json.loads((root / "manifest.json").read_text())


def finetune_file(root, i=0):
    return root / manifest(root)["finetunes"][i]["file"]


def flip(path, at):
    data = bytearray(path.read_bytes())
    data[at] ^= 0x40
    path.write_bytes(bytes(data))


def edit_manifest(root, change):
    m = manifest(root)
    change(m)
    (root / "manifest.json").write_text(json.dumps(m))


def foreign_file(root, tmp_path, rng):
    base, tunes = family(rng)
    vd.save_library(in_memory(base, tunes), tmp_path / "other")
    shutil.copy(finetune_file(tmp_path / "other"), finetune_file(root))


def swap_files(m):
    a, b = m["finetunes"][:2]
    a["file"], b["file"] = b["file"], a["file"]


CORRUPTIONS = [
    (
        "flipped base byte",
        lambda r, *_: flip(r / "base.safetensors", -3),
        "base.safetensors",
        "checksum",
    ),
    ("flipped factor byte", lambda r, *_: flip(finetune_file(r), -3), ".safetensors", "checksum"),
    ("flipped header byte", lambda r, *_: flip(finetune_file(r), 8), ".safetensors", "header"),
    (
        "truncated",
        lambda r, *_: os.truncate(finetune_file(r), finetune_file(r).stat().st_size - 4),
        ".safetensors",
        "truncated",
    ),
    ("empty", lambda r, *_: os.truncate(finetune_file(r), 0), ".safetensors", "truncated"),
    ("missing fine-tune", lambda r, *_: finetune_file(r).unlink(), ".safetensors", "missing"),
    (
        "missing base",
        lambda r, *_: (r / "base.safetensors").unlink(),
        "base.safetensors",
        "missing",
    ),
    ("missing manifest", lambda r, *_: (r / "manifest.json").unlink(), "manifest.json", "missing"),
    ("from another library", foreign_file, ".safetensors", "another library"),
    (
        "swapped fine-tunes",
        lambda r, *_: edit_manifest(r, swap_files),
        ".safetensors",
        "the manifest expects",
    ),
    (
        "newer format",
        lambda r, *_: edit_manifest(r, lambda m: m.update(version=_library_format.VERSION + 1)),
        "manifest.json",
        "newer",
    ),
    ("not json", lambda r, *_: (r / "manifest.json").write_text("{"), "manifest.json", "corrupted"),
    (
        "escaping name",
        lambda r, *_: edit_manifest(r, lambda m: m["finetunes"][0].update(file="../x.safetensors")),
        "manifest.json",
        "outside the library",
    ),
    (
        "mismatched shape",
        lambda r, *_: edit_manifest(r, lambda m: m["base"]["tensors"][0].update(shape=[2, 2])),
        "base.safetensors",
        "the manifest says",
    ),
]


@pytest.mark.parametrize(
    "damage, filename, problem", [c[1:] for c in CORRUPTIONS], ids=[c[0] for c in CORRUPTIONS]
)
def test_damaged_library_raises_one_error_naming_file_and_problem(
    saved, tmp_path, rng, damage, filename, problem
):
    damage(saved, tmp_path, rng)
    with pytest.raises(vd.LibraryError) as err:
        vd.load_library(saved)
    assert filename in str(err.value) and problem in str(err.value)
    if problem != "checksum":  # structure is checked with or without verification
        with pytest.raises(vd.LibraryError):
            vd.load_library(saved, verify=False)


def fail_on_call(n):
    calls = []

    def hook(real):
        def wrapped(*args, **kwargs):
            calls.append(1)
            if len(calls) == n:
                raise RuntimeError("injected")
            return real(*args, **kwargs)

        return wrapped

    return hook


@pytest.mark.parametrize(
    "target, n",
    [("run_task", 3), ("write_manifest", 1), ("tf.write_tensor_file", 1), ("tf.fsync_dir", 1)],
)
@pytest.mark.parametrize("jobs", [1, 2])
def test_failure_while_adding_leaves_the_library_as_it_was(
    rng, saved, monkeypatch, target, n, jobs
):
    before = files(saved)
    owner, _, attr = ("store." + target).rpartition(".")
    obj = {"store": store, "store.tf": store.tf}[owner]
    monkeypatch.setattr(obj, attr, fail_on_call(n)(getattr(obj, attr)))
    _, tunes = family(rng, names=("ft-new",))
    with pytest.raises(RuntimeError, match="injected"):
        vd.add_to_library(saved, "ft-new", tunes["ft-new"], jobs=jobs)
    monkeypatch.undo()
    after = files(saved)
    after.pop(".lock")
    assert after == {k: v for k, v in before.items() if k != ".lock"}
    vd.load_library(saved)


def test_failure_while_saving_leaves_nothing(rng, tmp_path, monkeypatch):
    base, tunes = family(rng)
    monkeypatch.setattr(store, "write_manifest", fail_on_call(1)(store.write_manifest))
    with pytest.raises(RuntimeError, match="injected"):
        vd.save_library(in_memory(base, tunes), tmp_path / "lib")
    assert list(tmp_path.iterdir()) == []


def contents(root: Path):
    """A library's contents without what differs between two saves of it (its identifier
    and file names): the manifest's entries and each file's tensor names, order and bytes."""
    from velmora_dryx import _tensorfile

    m = manifest(root)
    out = [m["base"], m["settings"]]
    for ft in m["finetunes"]:
        f = _tensorfile.TensorFile(root / ft.pop("file"))
        out += [ft, list(f.tensors), [f.array(k).tobytes() for k in f.tensors]]
    return out


@pytest.fixture(scope="module")
def sources(tmp_path_factory):
    """A base and three fine-tunes on disk, with matrices large enough for BLAS to block."""
    root = tmp_path_factory.mktemp("sources")
    base, tunes = family(np.random.default_rng(7), names=("ft-a", "ft-b", "ft-c"), scale=8)
    return write_model(root / "base", base), {
        n: write_model(root / n, ft) for n, ft in tunes.items()
    }


@pytest.fixture(scope="module")
def sequential(sources, tmp_path_factory):
    out = tmp_path_factory.mktemp("sequential") / "lib"
    vd.build_library(*sources, out, energy=0.99, jobs=1)
    return contents(out)


@pytest.mark.parametrize("jobs", [2, 3, 5])
def test_threaded_build_equals_the_sequential_one(sources, sequential, tmp_path, jobs):
    calls = []
    vd.build_library(
        *sources, tmp_path / "lib", energy=0.99, jobs=jobs, progress=lambda *a: calls.append(a)
    )
    assert contents(tmp_path / "lib") == sequential
    # Every base tensor written and every fine-tune tensor compressed, bytes included.
    steps = 6 + 3 * 7  # base tensors + three fine-tunes with one extra tensor each
    nbytes = sum(p.stat().st_size for p in Path(sources[0]).parent.rglob("*.safetensors"))
    assert [c[:2] for c in calls] == [(i, steps) for i in range(steps + 1)]
    assert calls[-1][2] == calls[-1][3] and 0.99 * nbytes < calls[-1][3] < nbytes


@pytest.mark.parametrize(
    ("costs", "parts", "expected"),
    [
        ([1] * 8, 4, [[0, 1], [2, 3], [4, 5], [6, 7]]),
        ([1] * 3, 8, [[0], [1], [2]]),
        ([1, 1, 16, 1, 1, 1, 1], 4, [[0, 1], [2], [3, 4, 5, 6]]),
        ([0, 0, 0, 0], 2, [[0, 1], [2, 3]]),  # free tasks still count as one
        ([], 4, []),
    ],
)
def test_ray_batches_keep_task_order_and_balance_cost(costs, parts, expected):
    from velmora_dryx.parallel import batches

    assert batches(list(range(len(costs))), parts, lambda i: costs[i]) == expected


def nan_finetune(rng, scale=1):
    base, tunes = family(rng, names=("bad",), scale=scale)
    tunes["bad"]["layers.0.up_proj.weight"][1, 1] = np.nan  # a diverged fine-tune
    return tunes["bad"]


@pytest.mark.parametrize("jobs", [1, 2])
def test_failing_task_fails_the_run_with_its_error(rng, saved, tmp_path, jobs):
    before = files(saved)
    with pytest.raises(np.linalg.LinAlgError):
        vd.add_to_library(saved, "bad", nan_finetune(rng), jobs=jobs)
    assert {k: v for k, v in files(saved).items() if k != ".lock"} == before
    vd.load_library(saved)


@pytest.mark.ray
def test_ray_build_equals_the_sequential_one_and_fails_cleanly(sources, sequential, tmp_path, rng):
    vd.build_library(*sources, tmp_path / "lib", energy=0.99, jobs=2, ray="local")
    assert contents(tmp_path / "lib") == sequential
    before = files(tmp_path / "lib")
    with pytest.raises(np.linalg.LinAlgError):
        vd.add_to_library(
            tmp_path / "lib",
            "bad",
            write_model(tmp_path / "bad", nan_finetune(rng, scale=8)),
            jobs=2,
            ray="local",
        )
    assert {k: v for k, v in files(tmp_path / "lib").items() if k != ".lock"} == before


ERRORS = [
    (lambda lib, d, t: vd.save_library(lib, d), FileExistsError, "already exists"),
    (
        lambda lib, d, t: vd.add_to_library(d, "ft-a", t["ft-a"]),
        ValueError,
        "already in the library",
    ),
    (
        lambda lib, d, t: vd.add_to_library(d / "nope", "x", t["ft-a"]),
        FileNotFoundError,
        "no such library",
    ),
    (
        lambda lib, d, t: vd.add_to_library(d, "x", {"embed.weight": np.ones((2, 2), np.float32)}),
        ValueError,
        "has shape (2, 2), the base's is (40, 16)",
    ),
    (lambda lib, d, t: vd.add_to_library(d, "x", t["ft-a"], energy=1.5), ValueError, "energy"),
    (
        lambda lib, d, t: vd.add_to_library(d, "x", t["ft-a"], jobs=0),
        ValueError,
        "jobs must be a positive int",
    ),
    (
        lambda lib, d, t: vd.export_finetune(d, "nope", d.parent / "o"),
        KeyError,
        "no fine-tune 'nope'",
    ),
    (
        lambda lib, d, t: vd.export_lora(d, "ft-a", d.parent / "o"),
        ValueError,
        "no matrix stored with truncated SVD",
    ),
    (
        lambda lib, d, t: vd.build_library(lib.base, ["a", "a"], d.parent / "o"),
        ValueError,
        "given twice",
    ),
]


@pytest.mark.parametrize("call, exc, message", ERRORS)
def test_bad_requests_are_refused_before_any_work(rng, saved, call, exc, message):
    base, tunes = family(rng)
    before = files(saved)
    with pytest.raises(exc) as err:
        call(vd.load_library(saved), saved, tunes)
    assert message in str(err.value)
    assert {k: v for k, v in files(saved).items() if k != ".lock"} == before


def test_missing_ray_names_the_extra(saved, rng, monkeypatch):
    monkeypatch.setitem(sys.modules, "ray", None)  # what an environment without it gives
    _, tunes = family(rng, names=("x",))
    with pytest.raises(ImportError, match=r"pip install \"velmora-dryx\[ray\]\""):
        vd.add_to_library(saved, "x", tunes["x"], ray="local")


# ---- exports with the real engines -----------------------------------------------------------


@pytest.fixture(scope="module")
def hf_family(tmp_path_factory):
    """A tiny causal LM saved by transformers and a fine-tune of it with low-rank updates."""
    torch = pytest.importorskip("torch")
    pytest.importorskip("transformers")
    root = tmp_path_factory.mktemp("hf")
    model = tiny_llama(64, 64)
    model.save_pretrained(root / "base")
    (root / "base" / "tokenizer.json").write_text('{"stand-in": true}')
    g = torch.Generator().manual_seed(1)
    with torch.no_grad():
        for i, p in enumerate(model.parameters()):
            if p.ndim == 2:  # updates of ranks 1 to 3
                r = 1 + i % 3
                p += (
                    0.05
                    * torch.randn(p.shape[0], r, generator=g)
                    @ torch.randn(r, p.shape[1], generator=g)
                )
            else:
                p += 0.01 * torch.randn(p.shape, generator=g)
    model.save_pretrained(root / "tuned")
    return root


def logits(model, torch):
    ids = torch.arange(12).reshape(2, 6) % 64
    with torch.no_grad():
        return model(ids).logits


@pytest.mark.torch
@pytest.mark.parametrize("max_shard_bytes", [5 << 30, 20_000])
def test_exported_fine_tune_loads_with_transformers_and_matches(
    hf_family, tmp_path, max_shard_bytes
):
    import torch
    import transformers

    vd.build_library(hf_family / "base", {"tuned": hf_family / "tuned"}, tmp_path / "lib", jobs=2)
    report = vd.export_finetune(
        tmp_path / "lib", "tuned", tmp_path / "out", max_shard_bytes=max_shard_bytes
    )
    assert {"config.json", "tokenizer.json"} <= set(report["files"])
    assert (len([f for f in report["files"] if f.endswith(".safetensors")]) > 1) == (
        max_shard_bytes < 1e6
    )
    exported = transformers.AutoModelForCausalLM.from_pretrained(tmp_path / "out")
    reference = transformers.AutoModelForCausalLM.from_pretrained(hf_family / "base")
    rebuilt = vd.load_library(tmp_path / "lib").reconstruct("tuned")
    reference.load_state_dict(
        {k: torch.from_numpy(np.array(v)) for k, v in rebuilt.items()}, strict=False
    )
    assert torch.equal(logits(exported, torch), logits(reference, torch))


@pytest.mark.torch
def test_lora_adapter_loads_with_peft_and_adds_the_stored_deltas(hf_family, tmp_path):
    import peft
    import torch
    import transformers

    vd.build_library(
        hf_family / "base", {"tuned": hf_family / "tuned"}, tmp_path / "lib", energy=0.999
    )
    report = vd.export_lora(tmp_path / "lib", "tuned", tmp_path / "lora", lora_only=True)
    skipped = report["skipped"]
    assert "model.embed_tokens.weight" in skipped and "model.norm.weight" in skipped
    assert len(report["targets"]) == 14  # seven linear layers in each of two blocks
    base = transformers.AutoModelForCausalLM.from_pretrained(hf_family / "base")
    adapted = peft.PeftModel.from_pretrained(base, tmp_path / "lora")
    lib = vd.load_library(tmp_path / "lib")
    from velmora_dryx import kestrine

    expect = transformers.AutoModelForCausalLM.from_pretrained(hf_family / "base")
    sd = expect.state_dict()
    for module in report["targets"]:
        delta = kestrine.decompress(lib.deltas["tuned"].tensors[module + ".weight"])
        sd[module + ".weight"] = sd[module + ".weight"] + torch.from_numpy(delta)
    expect.load_state_dict(sd)
    torch.testing.assert_close(logits(adapted, torch), logits(expect, torch), rtol=1e-5, atol=1e-5)
    merged = adapted.merge_and_unload().state_dict()
    for module in report["targets"]:
        torch.testing.assert_close(
            merged[module + ".weight"], sd[module + ".weight"], rtol=1e-6, atol=1e-6
        )
