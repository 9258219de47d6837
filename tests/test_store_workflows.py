"""Saved-library workflows: the settings a caller may ask for (fixed ranks, no cap, refused
contradictions), what a library records of them, fine-tune names, and maintenance (remove,
rename, verify)."""

import json
import os
import re

import numpy as np
import pytest
from test_store import edit_manifest, family, files, finetune_file, flip, manifest, write_model

import velmora_dryx as vd
from velmora_dryx import store
from velmora_dryx.cli import sources
from velmora_dryx.methods import Settings

# ---- settings ------------------------------------------------------------------------------

# (keywords, the settings stored); the matrices of `family` are 40x16, 24x16, 32x16, 5x3 and a
# 6x4x3x3 tensor (a 6x36 matrix to the svd).
CHOSEN = [
    ({}, {"method": "tt", "max_rank": 8, "energy": None, "rank_ratio": 0.5}),
    ({"energy": 0.9}, {"method": "svd", "max_rank": 8, "energy": 0.9, "rank_ratio": 0.5}),
    ({"energy": 1.0, "max_rank": 0}, {"method": "svd", "max_rank": 0, "energy": 1.0}),
    ({"rank": 4}, {"method": "svd", "rank": 4}),
    ({"method": "svd", "rank": 12}, {"method": "svd", "rank": 12}),
    ({"rank": 4, "bits": 8}, {"method": "svd", "rank": 4, "bits": 8}),  # quantized factors
]


@pytest.mark.parametrize("options, stored", CHOSEN)
def test_build_records_the_settings_that_ran(rng, tmp_path, options, stored):
    base, tunes = family(rng, names=("ft",))
    vd.build_library(base, tunes, tmp_path / "lib", **options)
    settings = manifest(tmp_path / "lib")["settings"]
    assert stored.items() <= settings.items()
    assert manifest(tmp_path / "lib")["finetunes"][0]["settings"] == settings
    lib = vd.load_library(tmp_path / "lib")
    for name, ct in lib.deltas["ft"].tensors.items():
        method = getattr(ct.method, "value", ct.method)
        if len(ct.shape) < 2 or method == "none":
            continue
        m, n = ct.shape[0], int(np.prod(ct.shape[1:]))
        kept = ct.cores[0].shape[0] if method == "svd" else None
        if "bits" in options:
            assert (method, ct.metadata["rank"]) == ("qsvd", min(options["rank"], m, n)), name
        elif "rank" in options:  # exactly min(rank, m, n), and said so
            assert kept == min(options["rank"], m, n), name
            assert ct.metadata == {"rank": kept, "full_rank": min(m, n)}
        elif options.get("max_rank") == 0:  # no cap: the full energy of the spectrum
            assert kept == min(m, n), name


# (the library's settings, the options given to add, the settings used or the error)
OVERRIDES = [
    ({"energy": 0.99}, {"method": "tt"}, Settings("tt")),
    ({"energy": 0.99}, {"rank": 4}, Settings("svd", rank=4)),
    ({"energy": 0.99}, {"max_rank": 0}, Settings("svd", max_rank=0, energy=0.99)),
    ({"rank": 8}, {"rank_ratio": 0.25}, Settings("svd", rank_ratio=0.25)),
    ({"rank": 8}, {"method": "svd"}, Settings("svd", rank=8)),
    ({"rank": 8}, {"method": "tucker"}, Settings("tucker")),
    ({"method": "svd"}, {"max_rank": 4}, "max_rank applies to tensor train and energy SVD; "),
    ({"method": "svd"}, {"max_rank": 4}, "the library's method 'svd' does not use it"),
    ({}, {"rank_ratio": 0.3}, "rank_ratio applies to svd and tucker; the library's method 'tt'"),
    ({}, {"max_rank": 0}, "max_rank 0 (no cap) applies to energy SVD only"),
    ({"energy": 0.99}, {"rank_ratio": 0.3}, "the library's energy SVD does not use it"),
    ({}, {"method": "tt", "energy": 0.9}, "energy selects the energy-based SVD"),
    ({}, {"rank": 4, "rank_ratio": 0.5}, "rank and rank_ratio exclude each other"),
    ({"rank": 4}, {"budget": 1 / 16}, Settings("svd", budget=1 / 16)),
    ({}, {"rank": 4, "budget": 1 / 16}, "chooses the ranks: give it or rank, not both"),
]


@pytest.mark.parametrize("library, given, expected", OVERRIDES)
def test_add_overrides_the_library_settings_it_is_told_to(library, given, expected):
    stored = Settings.chosen(**library)
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=re.escape(expected)):
            stored.overridden(whose="the library's ", **given)
    else:
        assert stored.overridden(whose="the library's ", **given) == expected


def test_add_applies_the_overrides(rng, tmp_path):
    base, tunes = family(rng, names=("a", "b"))
    vd.build_library(base, {"a": tunes["a"]}, tmp_path / "lib", energy=0.99)
    vd.add_to_library(tmp_path / "lib", "b", tunes["b"], rank=3)
    entry = manifest(tmp_path / "lib")["finetunes"][1]
    assert entry["settings"] == Settings("svd", rank=3).stored()
    ranks = {e["metadata"].get("rank") for e in entry["tensors"] if e["method"] == "svd"}
    assert ranks == {3}
    with pytest.raises(ValueError, match="the library's energy SVD does not use it"):
        vd.add_to_library(tmp_path / "lib", "c", tunes["b"], rank_ratio=0.2)


# ---- names ---------------------------------------------------------------------------------


def test_fine_tunes_are_named_by_their_source(rng, tmp_path, monkeypatch):
    base, tunes = family(rng, names=("ft_lora", "ft2"))
    write_model(tmp_path / "runs" / "base", base)
    for n, ft in tunes.items():
        write_model(tmp_path / "runs" / n, ft)
    (tmp_path / "work").mkdir()
    monkeypatch.chdir(tmp_path / "work")
    vd.build_library("../runs/base", ["../runs/ft_lora", "../runs/ft2/"], "lib", jobs=1)
    info = vd.library_info("lib")
    assert [f["name"] for f in info["finetunes"]] == ["ft_lora", "ft2"]
    assert info["base_id"] == str(tmp_path / "runs" / "base")


@pytest.mark.parametrize(
    "finetunes, message",
    [
        (lambda d, t: {"a/b": t}, "must not contain '/' or control characters"),
        (lambda d, t: {"a\x1b[2J": t}, "must not contain '/' or control characters"),
        (lambda d, t: {"": t}, "non-empty strings"),
        (lambda d, t: [d / "x" / "ft", d / "y" / "ft"], "'ft' is given twice"),
    ],
)
def test_bad_names_are_refused(rng, tmp_path, finetunes, message):
    base, tunes = family(rng, names=("ft",))
    for d in ("x", "y"):
        write_model(tmp_path / d / "ft", tunes["ft"])
    with pytest.raises(ValueError, match=message):
        vd.build_library(base, finetunes(tmp_path, tunes["ft"]), tmp_path / "lib")
    assert not (tmp_path / "lib").exists()


@pytest.mark.parametrize(
    "text, hub, name, ident",
    [
        ("../runs/ft_lora/", False, "ft_lora", "{cwd}/../runs/ft_lora"),
        ("ft.safetensors", False, "ft.safetensors", "{cwd}/ft.safetensors"),
        ("ollama:tiny", False, "tiny:latest", "ollama:tiny"),
        ("ollama:hf.co/user/tiny:Q8_0", False, "tiny:Q8_0", "ollama:hf.co/user/tiny:Q8_0"),
        ("org/model", True, "model", "org/model"),
    ],
)
def test_sources_name_themselves(text, hub, name, ident, tmp_path):
    path = tmp_path / "snapshot" if hub or text.startswith("ollama:") else sources.Path(text)
    s = sources.Source(text, "hf", path, hub=hub)
    assert s.name == name
    assert s.id == (os.path.normpath(ident.format(cwd=os.getcwd())) if "{" in ident else ident)


# ---- maintenance ---------------------------------------------------------------------------


@pytest.fixture
def three(rng, tmp_path):
    base, tunes = family(rng, names=("ft-a", "ft-b", "ft-c"))
    root = tmp_path / "lib"
    vd.build_library(base, tunes, root, energy=0.99, jobs=1)
    lib = vd.load_library(root)
    return root, tunes, {n: lib.reconstruct(n) for n in tunes}


@pytest.mark.parametrize(
    "steps, names",
    [
        ([("remove", "ft-b")], {"ft-a": "ft-a", "ft-c": "ft-c"}),
        ([("rename", "ft-c", "tuned c")], {"ft-a": "ft-a", "ft-b": "ft-b", "tuned c": "ft-c"}),
        ([("rename", "ft-a", "x"), ("remove", "x"), ("add", "ft-a")], {"ft-b", "ft-c", "ft-a"}),
        ([("rename", "ft-a", "ft-a")], {"ft-a", "ft-b", "ft-c"}),
    ],
)
def test_remove_and_rename_keep_the_rest_bit_for_bit(three, steps, names):
    root, tunes, rebuilt = three
    for op, *args in steps:
        if op == "remove":
            path = root / next(
                f["file"] for f in manifest(root)["finetunes"] if f["name"] == args[0]
            )
            size = path.stat().st_size
            assert vd.remove_from_library(root, *args)["freed_bytes"] == size
            assert not path.exists()
        elif op == "rename":
            vd.rename_in_library(root, *args)
        else:
            vd.add_to_library(root, args[0], tunes[args[0]])
    names = names if isinstance(names, dict) else {n: n for n in names}
    lib = vd.load_library(root)
    assert set(lib.deltas) == set(names)
    for now, was in names.items():
        got = lib.reconstruct(now)
        assert all(np.array_equal(got[k], v) for k, v in rebuilt[was].items())
    report = vd.verify_library(root)
    assert report["ok"] and report["leftovers"] == [], report
    assert report["checked"]["finetunes"] == len(names)
    assert len(list((root / "finetunes").iterdir())) == len(names)


def _orphans(root):
    (root / "finetunes" / "orphan.safetensors").write_bytes(b"x")
    (root / ".body-0123").write_bytes(b"x")
    (root / ".stage-0123").mkdir()
    (root / ".stage-0123" / "piece.safetensors").write_bytes(b"x")


def _wrong_shape(m):
    m["finetunes"][0]["tensors"][0]["shape"] = [3, 3]


VERIFY = [
    ("sound", lambda r: None, [], []),
    (
        "leftovers",
        _orphans,
        [],
        [".body-0123", ".stage-0123/", "finetunes/orphan.safetensors"],
    ),
    ("flipped base byte", lambda r: flip(r / "base.safetensors", -3), ["base.safetensors"], []),
    ("flipped factor byte", lambda r: flip(finetune_file(r, 1), -3), ["checksum"], []),
    ("missing fine-tune file", lambda r: finetune_file(r, 2).unlink(), ["missing"], []),
    (
        "record of another shape",
        lambda r: edit_manifest(r, _wrong_shape),
        ["does not rebuild a tensor of shape (3, 3)"],
        [],
    ),
    ("manifest corrupted", lambda r: (r / "manifest.json").write_text("{"), ["corrupted"], []),
]


@pytest.mark.parametrize("case, damage, problems, leftovers", VERIFY, ids=[c[0] for c in VERIFY])
def test_verify_reports_every_problem_and_every_leftover(three, case, damage, problems, leftovers):
    root = three[0]
    damage(root)
    report = vd.verify_library(root)
    assert report["ok"] == (not problems)
    assert len(report["damage"]) == len(problems)
    for p, d in zip(problems, report["damage"], strict=True):
        assert p in d
    assert report["leftovers"] == leftovers
    if problems:
        with pytest.raises(vd.LibraryError, match=re.escape(problems[0])):
            vd.verify_library(root, raise_on_damage=True)
        if case != "manifest corrupted":  # the other fine-tunes are still checked
            assert report["checked"]["records"] >= 2 * 7


def _file_of(name):
    return lambda m: next(f for f in m["finetunes"] if f["name"] == "ft-a").update(file=name)


def _failing_manifest(monkeypatch):
    def fail(*a):
        raise OSError("disk full")

    monkeypatch.setattr(store, "write_manifest", fail)


REFUSED = [
    (lambda r: vd.remove_from_library(r, "nope"), None, KeyError, "no fine-tune 'nope'"),
    (lambda r: vd.rename_in_library(r, "nope", "x"), None, KeyError, "no fine-tune 'nope'"),
    (lambda r: vd.rename_in_library(r, "ft-a", "ft-b"), None, ValueError, "already in the"),
    (lambda r: vd.rename_in_library(r, "ft-a", "a/b"), None, ValueError, "must not contain"),
    (lambda r: vd.rename_in_library(r, "ft-a", "a\nb"), None, ValueError, "must not contain"),
    # A manifest naming another file as the fine-tune's: removing must not delete it.
    (
        lambda r: vd.remove_from_library(r, "ft-a"),
        _file_of("base.safetensors"),
        vd.LibraryError,
        "names a file that is not its own",
    ),
    (
        lambda r: vd.remove_from_library(r, "ft-a"),
        _file_of("../outside.safetensors"),
        vd.LibraryError,
        "outside the library",
    ),
    (lambda r: vd.remove_from_library(r, "ft-a"), "fail", OSError, "disk full"),
    (lambda r: vd.rename_in_library(r, "ft-a", "x"), "fail", OSError, "disk full"),
]


@pytest.mark.parametrize("call, setup, exc, message", REFUSED)
def test_refused_or_failed_maintenance_leaves_the_library_as_it_was(
    three, monkeypatch, call, setup, exc, message
):
    root = three[0]
    (root.parent / "outside.safetensors").write_bytes(b"keep me")
    if setup == "fail":
        _failing_manifest(monkeypatch)
    elif setup is not None:
        edit_manifest(root, setup)
    before = files(root.parent)
    with pytest.raises(exc, match=message):
        call(root)
    assert {k: v for k, v in files(root.parent).items() if not k.endswith(".lock")} == before
    monkeypatch.undo()
    if setup is None or setup == "fail":
        assert vd.verify_library(root)["ok"]


def test_maintenance_waits_for_a_writer(three):
    """remove takes the library's lock: it waits while another writer holds it."""
    import fcntl
    import threading

    root = three[0]
    with open(root / ".lock", "a") as f:
        fcntl.flock(f.fileno(), fcntl.LOCK_EX)
        done = threading.Event()
        t = threading.Thread(target=lambda: (vd.remove_from_library(root, "ft-a"), done.set()))
        t.start()
        assert not done.wait(0.3)
        assert "ft-a" in {e["name"] for e in manifest(root)["finetunes"]}
        fcntl.flock(f.fileno(), fcntl.LOCK_UN)
    t.join(30)
    assert done.is_set()
    assert "ft-a" not in json.dumps(manifest(root)["finetunes"])


# ---- a LoRA fine-tune stored at its own rank ------------------------------------------------


@pytest.fixture(scope="module")
def gqa_lora(tmp_path_factory):
    """A llama with grouped KV heads (16x32 k/v projections beside 32x32 and 64x32 matrices)
    and its rank-8 LoRA fine-tune, merged."""
    pytest.importorskip("torch")
    pytest.importorskip("peft")
    from lornet_support import lora_finetune, tiny_llama

    root = tmp_path_factory.mktemp("gqa")
    model = tiny_llama(64, 64, num_key_value_heads=2)
    model.save_pretrained(root / "base")
    lora_finetune(model, rank=8).save_pretrained(root / "lora")
    return root


@pytest.mark.torch
def test_rank_8_lora_stored_at_rank_8_exports_its_logits(gqa_lora, tmp_path):
    import torch
    import transformers

    from velmora_dryx.cli import main

    lib, out = str(tmp_path / "lib"), str(tmp_path / "out")
    assert (
        main(
            ["library", str(gqa_lora / "base"), str(gqa_lora / "lora"), "--save", lib]
            + ["--rank", "8"]
        )
        == 0
    )
    assert main(["export", lib, "lora", out]) == 0
    exported = transformers.AutoModelForCausalLM.from_pretrained(out)
    tuned = transformers.AutoModelForCausalLM.from_pretrained(gqa_lora / "lora")
    ids = torch.arange(24).reshape(2, 12) % 64
    with torch.no_grad():
        gap = (exported(ids).logits - tuned(ids).logits).abs().max().item()
    assert gap < 1e-5
    stored = vd.load_library(lib).deltas["lora"].tensors
    modules = [k for k in stored if k.endswith("_proj.weight")]
    assert len(modules) == 14 and any(stored[k].shape == (16, 32) for k in modules)
    for k in modules:  # every module at rank 8, each within rounding of the fine-tune
        assert stored[k].metadata == {"rank": 8, "full_rank": min(stored[k].shape)}
        want = tuned.state_dict()[k]
        got = exported.state_dict()[k]
        assert (got - want).norm() <= 1e-5 * want.norm()
