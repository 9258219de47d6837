"""Saved libraries keep what they are given and let nothing from outside in: sources that are
no fine-tune, or that lack or add tensors, through every saving path; libraries tampered with
(links, FIFOs, lying records, damaged JSON) through every reader and `add`."""

import fcntl
import json
import os
import resource
import shutil
import struct
import subprocess
import sys
import time
import warnings
from pathlib import Path

import numpy as np
import pytest
from lornet_support import write_shard

import velmora_dryx as vd
from velmora_dryx import _tensorfile as tf
from velmora_dryx import store
from velmora_dryx.cli import main

SHAPES = {"q.weight": (32, 24), "k.weight": (32, 24), "conv.weight": (8, 6, 4, 4), "norm": (24,)}


def base_model():
    rng = np.random.default_rng(1)
    return {k: rng.standard_normal(s).astype(np.float32) for k, s in SHAPES.items()}


def tuned(seed, base=None):
    """A fine-tune of the base: rank-2 updates of the matrices, nudged norms."""
    rng = np.random.default_rng(seed)
    out = {}
    for k, w in (base or base_model()).items():
        if w.ndim == 2:
            out[k] = w + 0.1 * rng.standard_normal((w.shape[0], 2)) @ rng.standard_normal((2, 24))
        else:
            out[k] = w + 0.01 * rng.standard_normal(w.shape)
        out[k] = out[k].astype(np.float32)
    return out


def model_dir(path: Path, sd: dict) -> str:
    path.mkdir()
    write_shard(path / "model.safetensors", sd)
    (path / "config.json").write_text('{"model_type": "test"}')
    return str(path)


def manifest(root: Path) -> dict:
    return json.loads((root / "manifest.json").read_text())


def library(tmp: Path) -> Path:
    """Fine-tunes stored as a truncated SVD (energy), a tensor train and Tucker."""
    lib = tmp / "lib"
    vd.build_library(model_dir(tmp / "base", base_model()), {"svd": tuned(2)}, lib, energy=0.99)
    store.add_many_to_library(lib, {"tt": tuned(3)}, method="tt")
    store.add_many_to_library(lib, {"tucker": tuned(4)}, method="tucker")
    return lib


# ---- every saving path: sources that are no fine-tune, or that lack or add tensors ----------


def cli_add(tmp, base, source):
    lib = tmp / "lib"
    vd.build_library(base, {"first": tuned(2)}, lib)
    return lib, main(["add", str(lib), model_dir(tmp / "src", source), "--name", "x"])


def cli_save(tmp, base, source):
    lib = tmp / "lib"
    argv = [model_dir(tmp / "base", base), model_dir(tmp / "src", source), "--save", str(lib)]
    return lib, main(["library", *argv])


def api_add(tmp, base, source):
    lib = tmp / "lib"
    vd.build_library(base, {"first": tuned(2)}, lib)
    vd.add_to_library(lib, "x", source)
    return lib, 0


def api_build(tmp, base, source, **options):
    vd.build_library(base, {"x": source}, tmp / "lib", **options)
    return tmp / "lib", 0


ENTRY_POINTS = {
    "add": cli_add,
    "library --save": cli_save,
    "add_to_library": api_add,
    "build_library": api_build,
    "build_library on Ray": lambda *a: api_build(*a, ray="local", jobs=2),
}
ENTRY_IDS = [pytest.param(k, marks=[pytest.mark.ray] if "Ray" in k else []) for k in ENTRY_POINTS]


def stored_name(lib: Path) -> str:
    return manifest(lib)["finetunes"][-1]["name"]


@pytest.mark.parametrize("entry", ENTRY_IDS)
def test_a_source_sharing_no_tensor_with_the_base_is_refused(entry, tmp_path, capsys):
    foreign = {f"foreign.0.{k}": v for k, v in tuned(5).items()}  # another model's names
    try:
        lib, status = ENTRY_POINTS[entry](tmp_path, base_model(), foreign)
    except ValueError as exc:
        lib, status, message = tmp_path / "lib", 1, str(exc)
    else:
        message = capsys.readouterr().err
    assert status == 1 and "shares no tensor with the base" in message, message
    assert not lib.exists() or [ft["name"] for ft in manifest(lib)["finetunes"]] == ["first"]


@pytest.mark.parametrize("entry", ENTRY_IDS)
def test_what_a_fine_tune_lacks_or_adds_is_recorded_warned_and_exported(entry, tmp_path, capsys):
    base = base_model()
    source = tuned(5, base)
    del source["k.weight"], source["norm"]
    source["head.weight"] = np.random.default_rng(6).standard_normal((32, 24)).astype(np.float32)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        lib, status = ENTRY_POINTS[entry](tmp_path, base, source)
    # The command line prints the warnings; the API issues them.
    warned = [str(w.message) for w in caught if w.category is store.FinetuneWarning]
    said = capsys.readouterr().err if entry in ("add", "library --save") else " ".join(warned)
    assert status == 0, said
    assert "lacks 2 tensor(s) of the base (k.weight, norm)" in said
    assert "carries 1 tensor(s) the base lacks (head.weight)" in said
    ft = manifest(lib)["finetunes"][-1]
    assert (ft["missing"], ft["extra"]) == (["k.weight", "norm"], ["head.weight"])
    vd.export_finetune(lib, stored_name(lib), tmp_path / "out")
    from safetensors.numpy import load_file

    exported = load_file(str(tmp_path / "out" / "model.safetensors"))
    assert sorted(exported) == sorted([*base, "head.weight"])
    for k in ("k.weight", "norm"):
        assert np.array_equal(exported[k], base[k])  # the base's own: a zero delta
    assert np.array_equal(exported["head.weight"], source["head.weight"])  # kept in full


# ---- tampered libraries -----------------------------------------------------------------


def finetune_file(root, name="svd"):
    return root / next(ft for ft in manifest(root)["finetunes"] if ft["name"] == name)["file"]


def edit(change, finetune="svd"):
    """The manifest changed by `change`; damages (and so exports) `finetune`."""

    def damage(root, outside):
        m = manifest(root)
        change(m)
        (root / "manifest.json").write_text(json.dumps(m))
        return finetune

    return damage


def rec(finetune, i=0, **fields):
    """Fields of the i-th record of a fine-tune replaced."""

    def change(m):
        ft = next(ft for ft in m["finetunes"] if ft["name"] == finetune)
        e = ft["tensors"][i]
        e.update({k: v(e) if callable(v) else v for k, v in fields.items()})

    return edit(change, finetune)


def meta(finetune, i=0, **fields):
    return rec(finetune, i, metadata=lambda e: {**e["metadata"], **fields})


def top(*keys, **fields):
    """Fields of the manifest entry at `keys` (the first fine-tune: "finetunes", 0) replaced."""

    def change(m):
        for k in keys:
            m = m[k]
        m.update(fields)

    return edit(change)


def at(*parts):
    return lambda root: root.joinpath(*parts)


def linked(where, to=None):
    """A link in place of a file or directory: to it moved outside, or to `to(outside)`."""

    def damage(root, outside):
        path = where(root)
        if to is None:
            shutil.move(path, outside / path.name)
        path.unlink(missing_ok=True)
        path.symlink_to(outside / path.name if to is None else to(outside))

    return damage


def fifo(where):
    def damage(root, outside):
        where(root).unlink(missing_ok=True)
        os.mkfifo(where(root))

    return damage


def header(raw: bytes):
    """The svd fine-tune's file holding just a header, `raw`."""

    def damage(root, outside):
        finetune_file(root).write_bytes(struct.pack("<Q", len(raw)) + raw)

    return damage


def nested(root, outside):
    text = json.dumps(manifest(root))
    (root / "manifest.json").write_text(text[:-1] + ', "x": ' + "[" * DEEP + "]" * DEEP + "}")


def oversized(root, outside):
    os.truncate(root / "manifest.json", (256 << 20) + 1)  # sparse: nothing is written


DEEP = 100_000
MANIFEST, LOCK, CONFIG, SVD = (
    at("manifest.json"),
    at(".lock"),
    at("model", "config.json"),
    finetune_file,
)
WIDE = json.dumps({"x:core:0": {"dtype": "F32", "shape": [2**70], "data_offsets": [0, 0]}})
TT_RANKS = {"__tuple__": [3]}

# (what, damage, words of the error). A damage returns the fine-tune it damaged (exported
# then; the svd one otherwise). FIFO and /dev/zero cases run in a child process with a time
# limit and bounded memory (the old code blocked, or read until memory ran out).
TAMPERINGS = [
    ("finetunes/ linked outside", linked(at("finetunes")), "symbolic link"),
    (".lock linked to a missing outside path", linked(LOCK, lambda o: o / "lock"), "symbolic link"),
    ("model/config.json linked outside", linked(CONFIG), "symbolic link"),
    ("model/ linked outside", linked(at("model")), "symbolic link"),
    ("manifest.json linked outside", linked(MANIFEST), "symbolic link"),
    ("base.safetensors linked outside", linked(at("base.safetensors")), "symbolic link"),
    ("fine-tune file linked outside", linked(SVD), "symbolic link"),
    ("manifest.json linked to /dev/zero", linked(MANIFEST, lambda o: "/dev/zero"), "symbolic link"),
    ("FIFO as manifest.json", fifo(MANIFEST), "not a regular file"),
    ("FIFO as a fine-tune file", fifo(SVD), "not a regular file"),
    ("FIFO as model/config.json", fifo(CONFIG), "not a regular file"),
    ("FIFO as .lock", fifo(LOCK), "not a regular file"),
    ("manifest past the size cap", oversized, "more than a manifest holds"),
    ("svd record of shape [3000, 3000]", rec("svd", shape=[3000, 3000]), "its svd record"),
    ("float64 on a float32 record", rec("svd", dtype="float64"), "in a float64 record"),
    ("a tensor listed twice", rec("svd", 1, name="q.weight"), "listed twice"),
    ("svd rank 10^9", meta("svd", rank=10**9), "rank 1000000000"),
    ("svd record called tt", rec("svd", method="tt"), "does not match its tt record"),
    ("a method that is a list", rec("svd", method=["svd"]), "tensor entry 0"),
    ("tensor-train ranks lie", meta("tt", ranks=TT_RANKS), "bond ranks (3,)"),
    ("a tensor-train core dropped", rec("tt", cores=lambda e: e["cores"][:1]), "need cores"),
    ("Tucker ranks lie", meta("tucker", 2, ranks={"__tuple__": [1] * 4}), "ranks (1, 1, 1, 1)"),
    ("lossless record of the wrong shape", rec("svd", 3, shape=[25]), "of its own shape"),
    ("manifest nested 100,000 deep", nested, "nested too deeply"),
    ("safetensors header nested 100,000 deep", header(b"[" * DEEP + b"]" * DEEP), "header"),
    ("base shape 2^70", top("base", "tensors", 0, shape=[2**70]), "base tensor entry 0"),
    ("fine-tune header shape 2^70", header(WIDE.encode()), "corrupted header entry"),
    ("base shape [2^32, 2^32]", top("base", "tensors", 0, shape=[2**32] * 2), "manifest says"),
    ("file entry '.'", top("finetunes", 0, file="."), "names a file outside"),
    ("file entry 'finetunes/'", top("finetunes", 0, file="finetunes/"), "not a regular file"),
    ("file entry with a null byte", top("finetunes", 0, file="a\0b"), "names a file outside"),
    ("fine-tune settings max_rank -1", top("finetunes", 0, "settings", max_rank=-1), "entry 0"),
    ("version true", top(version=True), "format version True"),
]
ISOLATED = ("FIFO", "/dev/zero")


def add(root, name, out):
    return vd.add_to_library(root, "new", tuned(7))


OPS = {
    "load": lambda root, name, out: vd.load_library(root),
    "load unverified": lambda root, name, out: vd.load_library(root, verify=False),
    "library_info": lambda root, name, out: vd.library_info(root),
    "export_finetune": lambda root, name, out: vd.export_finetune(root, name, out),
    "export_lora": lambda root, name, out: vd.export_lora(root, name, out),
    "add": add,
}


def outcome(op, root, name, out) -> dict:
    """What one call does: the exception's types and message, and its duration."""
    t0 = time.monotonic()
    try:
        OPS[op](root, name, out)
        raised = {"types": [], "message": ""}
    except Exception as exc:  # noqa: BLE001 - the test looks at what was raised
        raised = {"types": [t.__name__ for t in type(exc).__mro__], "message": str(exc)}
    return {**raised, "seconds": time.monotonic() - t0}


def in_child(op, root, name, out) -> dict:
    """`outcome` in a child process of bounded memory, stopped if it blocks."""
    script = (
        "import json, sys; sys.path.insert(0, sys.argv[1]); import test_store_integrity as t; "
        "print(json.dumps(t.outcome(*sys.argv[2:])))"
    )
    # The sanitizer's shadow memory needs more address space than any limit on it allows.
    sanitized = "asan" in os.environ.get("LD_PRELOAD", "")
    limit = None if sanitized else lambda: resource.setrlimit(resource.RLIMIT_AS, (4 << 30,) * 2)
    argv = [sys.executable, "-c", script, str(Path(__file__).parent), op, str(root), name, str(out)]
    try:
        done = subprocess.run(argv, capture_output=True, text=True, timeout=30, preexec_fn=limit)
    except subprocess.TimeoutExpired:
        return {"types": ["blocked"], "message": "", "seconds": 30.0}
    lines = done.stdout.strip().splitlines()
    if not lines:
        return {"types": ["crashed"], "message": done.stderr, "seconds": 0.0}
    return json.loads(lines[-1])


def arm(outside: Path) -> dict:
    """The sentinel directory's entries and contents, their access times then set to 0 so
    that reading a file or listing a directory shows (mount options permitting)."""
    paths = [outside, *outside.rglob("*")]
    contents = {p: p.read_bytes() if p.is_file() else None for p in paths}
    for p in paths:
        os.utime(p, ns=(0, p.stat().st_mtime_ns))
    return {p: (p.stat().st_mtime_ns, c) for p, c in contents.items()}


def untouched(armed: dict) -> bool:
    times = {p: (p.stat().st_atime_ns, p.stat().st_mtime_ns) for p in armed}  # before reading
    now = {p: (p.stat().st_mtime_ns, p.read_bytes() if p.is_file() else None) for p in armed}
    listed = {q for d in armed if d.is_dir() for q in d.iterdir()} | {next(iter(armed))}
    return now == armed and all(a == 0 for a, _ in times.values()) and listed == set(armed)


@pytest.fixture(scope="module")
def template(tmp_path_factory):
    return library(tmp_path_factory.mktemp("template"))


@pytest.mark.parametrize("op", list(OPS))
@pytest.mark.parametrize(
    "damage, words", [c[1:] for c in TAMPERINGS], ids=[c[0] for c in TAMPERINGS]
)
def test_a_tampered_library_is_refused_with_one_error_and_nothing_outside_touched(
    template, tmp_path, request, op, damage, words
):
    root, outside, out = tmp_path / "lib", tmp_path / "outside", tmp_path / "out"
    shutil.copytree(template, root, symlinks=True)
    outside.mkdir()
    name = damage(root, outside) or "svd"
    armed = arm(outside)
    isolated = any(w in request.node.callspec.id for w in ISOLATED)
    for _ in range(3):  # a busy machine may stall a call: only the best of three is timed
        got = (in_child if isolated else outcome)(op, root, name, out)
        if got["seconds"] < 2 or "LibraryError" not in got["types"]:
            break
    assert "LibraryError" in got["types"], got
    assert words in got["message"] and str(root) in got["message"], got["message"]
    assert got["seconds"] < 2
    assert untouched(armed)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["lib", "outside"]  # no output


def test_an_unknown_name_or_a_damage_is_one_error_and_one_line(template, tmp_path, capsys):
    with pytest.raises(vd.LibraryError) as err:
        vd.export_finetune(template, "nope", tmp_path / "o")
    assert isinstance(err.value, KeyError) and str(err.value).startswith("no fine-tune 'nope'")
    lib = tmp_path / "lib"
    shutil.copytree(template, lib)
    nested(lib, None)
    assert main(["info", str(lib)]) == 1
    err = capsys.readouterr().err
    assert err == f"velmora-dryx: error: {lib / 'manifest.json'}: corrupted (nested too deeply)\n"


def test_what_killed_writers_left_is_removed_by_the_next_writer(template, tmp_path):
    lib = tmp_path / "lib"
    shutil.copytree(template, lib)
    left = [".body-1", ".stage-1/x", ".manifest.json.tmp-1", "finetunes/.a.safetensors.tmp-1"]
    left.append("finetunes/0123456789abcdef.safetensors")  # written, never named
    for rel in [*left, "notes.txt"]:
        (lib / rel).parent.mkdir(exist_ok=True)
        (lib / rel).write_text(rel)
    vd.add_to_library(lib, "new", tuned(7))
    assert sorted(p.name for p in lib.iterdir() if p.name.startswith(".")) == [".lock"]
    assert sorted(p.name for p in (lib / "finetunes").iterdir()) == sorted(
        Path(ft["file"]).name for ft in manifest(lib)["finetunes"]
    )
    assert (lib / "notes.txt").exists() and len(vd.load_library(lib).deltas) == 4
    # A killed save's temporary sibling goes with the next save of that name, a live one stays.
    stale, live = tmp_path / ".copy.tmp-0123456789ab", tmp_path / ".copy.tmp-ba9876543210"
    stale.mkdir(), live.mkdir(), (stale / "x").write_text("x")
    fd = os.open(live, os.O_RDONLY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        vd.save_library(vd.load_library(lib), tmp_path / "copy")
    finally:
        os.close(fd)
    assert not stale.exists() and live.exists()


# What the listing above cannot see: a link put in place after the library was checked.
OPENS = [
    lambda lib: tf.open_inside(lib, "link"),
    lambda lib: tf.open_inside(lib, "finetunes/x"),
    lambda lib: tf.open_inside(lib, "dangling", create=True),
    lambda lib: tf.make_directory(lib, "finetunes"),
    lambda lib: tf.atomic_file(lib / "finetunes" / "y", root=lib).__enter__(),
]


@pytest.mark.parametrize("call", OPENS)
def test_library_files_are_opened_without_following_links(tmp_path, call):
    lib, outside = tmp_path / "lib", tmp_path / "outside"
    lib.mkdir(), outside.mkdir(), (outside / "x").write_text("x")
    (lib / "link").symlink_to(outside / "x")
    (lib / "finetunes").symlink_to(outside)
    (lib / "dangling").symlink_to(outside / "new")
    armed = arm(outside)
    with pytest.raises(vd.LibraryError, match="symbolic link"):
        call(lib)
    assert untouched(armed)
