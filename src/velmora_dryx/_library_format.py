"""The saved-library format: the manifest (read, checked, written), the records' safetensors
entries and their verification, and reading a library back (`load_library`, `library_info`)."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import numpy as np

from velmora_dryx import _tensorfile as tf
from velmora_dryx._tensorfile import LibraryError
from velmora_dryx.kestrine import CompressedTensor, CompressionMethod
from velmora_dryx.methods import ENERGY_KIND, METHODS, Settings, record_kind
from velmora_dryx.tamsel import CompressedDelta, ModelLibrary

FORMAT = "velmora-dryx-library"
# Version 2 adds the quantized-factor and exact records and their settings; a library that
# holds none is still written as version 1.
VERSION = 2
MANIFEST = "manifest.json"
BASE_FILE = "base.safetensors"
FINETUNE_DIR = "finetunes"
MODEL_DIR = "model"
# Files of a Hugging Face model directory that make the exported weights a loadable model.
MODEL_PATTERNS = ("*.json", "*.txt", "tokenizer*", "*.model")


# ---- manifest ---------------------------------------------------------------------------


def _encode(value: Any) -> Any:
    """Record metadata as JSON; tuples are tagged so that they come back as tuples."""
    if isinstance(value, tuple):
        return {"__tuple__": [_encode(v) for v in value]}
    if isinstance(value, list):
        return [_encode(v) for v in value]
    if isinstance(value, dict):
        return {str(k): _encode(v) for k, v in value.items()}
    if isinstance(value, np.generic):
        return value.item()
    return value


def _decode(value: Any) -> Any:
    if isinstance(value, dict):
        if len(value) == 1 and "__tuple__" in value:
            return tuple(_decode(v) for v in value["__tuple__"])
        return {k: _decode(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_decode(v) for v in value]
    return value


def inside(root: Path, rel: str, what: str) -> Path:
    """`root/rel`, refusing names that would leave the library directory."""
    p = Path(rel)
    if not rel or p.is_absolute() or ".." in p.parts:
        raise LibraryError(f"{root / MANIFEST}: {what} names a file outside the library: {rel!r}")
    return root / p


def read_manifest(root: Path) -> dict:
    if not root.is_dir():
        raise FileNotFoundError(f"{root}: no such library directory")
    path = root / MANIFEST
    try:
        text = path.read_bytes()
    except FileNotFoundError:
        raise LibraryError(
            f"{path}: missing (not a saved library, or its first save did not finish)"
        ) from None
    try:
        manifest = json.loads(text)
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise LibraryError(f"{path}: corrupted ({exc})") from None
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT:
        raise LibraryError(f"{path}: not a velmora-dryx library manifest")
    version = manifest.get("version")
    if not isinstance(version, int) or version < 1:
        raise LibraryError(f"{path}: corrupted (format version {version!r})")
    if version > VERSION:
        raise LibraryError(
            f"{path}: format version {version} is newer than this velmora-dryx reads "
            f"(up to {VERSION}); upgrade velmora-dryx"
        )
    _validate(manifest, path)
    return manifest


def _is_str(v) -> bool:
    return isinstance(v, str)


def _is_shape(v) -> bool:
    return isinstance(v, list) and all(
        isinstance(x, int) and not isinstance(x, bool) and x >= 0 for x in v
    )


def _is_dtype(v) -> bool:
    return v in tf.DTYPE_NAMES


def _is_nonnegative(v) -> bool:
    return isinstance(v, (int, float)) and not isinstance(v, bool) and v >= 0


def _is_names(v) -> bool:
    return isinstance(v, list) and all(isinstance(x, str) for x in v)


# The fields of each kind of manifest entry, and the check each must pass.
_BASE_TENSOR = {"name": _is_str, "shape": _is_shape, "dtype": _is_dtype, "sha256": _is_str}
_MODEL_FILE = {"file": _is_str, "sha256": _is_str}
_FINETUNE = {
    "name": _is_str,
    "base_id": _is_str,
    "file": _is_str,
    "tensors": lambda v: isinstance(v, list),
}
_RECORD = {
    "name": _is_str,
    "method": lambda v: v in METHODS,
    "shape": _is_shape,
    "dtype": _is_dtype,
    "metadata": lambda v: isinstance(v, dict),
    "cores": _is_names,
    "factors": _is_names,
    "sha256": lambda v: isinstance(v, dict),
    # Measured when the record was made (absent from libraries saved from memory).
    "error": lambda v: v is None or _is_nonnegative(v),
    "norm": lambda v: v is None or _is_nonnegative(v),
    # The fine-tune tensor's own dtype, which exports write (absent: not known).
    "source_dtype": lambda v: v is None or _is_dtype(v),
}


def _fits(entry, fields: dict) -> bool:
    return isinstance(entry, dict) and all(ok(entry.get(k)) for k, ok in fields.items())


def _validate(m: dict, path: Path) -> None:
    """Every field the library reads, of the type it is read as: a damaged manifest fails
    here, once, with the field named."""

    def need(ok: bool, what: str) -> None:
        if not ok:
            raise LibraryError(f"{path}: corrupted ({what})")

    need(_fits(m, {"uuid": _is_str, "base_id": _is_str}), "uuid or base_id")
    # Libraries whose base came from a GGUF file record its architecture.
    need(m.get("gguf_architecture") is None or _is_str(m["gguf_architecture"]), "gguf_architecture")
    try:
        Settings.from_stored(m.get("settings"))
    except (TypeError, ValueError) as exc:
        need(False, f"settings: {exc}")
    b = m.get("base")
    need(_fits(b, {"file": _is_str, "tensors": lambda v: isinstance(v, list)}), "base")
    for t in b["tensors"]:
        need(_fits(t, _BASE_TENSOR), f"base tensor {t!r:.80}")
    files = m.get("model_files", [])
    need(isinstance(files, list) and all(_fits(f, _MODEL_FILE) for f in files), "model_files")
    fts = m.get("finetunes")
    need(isinstance(fts, list), "finetunes")
    names = set()
    for ft in fts:
        need(_fits(ft, _FINETUNE), "a fine-tune entry")
        need(ft["name"] not in names, f"fine-tune {ft['name']!r} listed twice")
        names.add(ft["name"])
        if ft.get("settings") is not None:  # what the fine-tune was compressed with
            try:
                Settings.from_stored(ft["settings"])
            except (TypeError, ValueError) as exc:
                need(False, f"settings of fine-tune {ft['name']!r}: {exc}")
        for e in ft["tensors"]:
            need(_fits(e, _RECORD), f"tensor entry of fine-tune {ft['name']!r}")
            need(
                all(_is_str(e["sha256"].get(k)) for k in e["cores"] + e["factors"]),
                f"factor names of {e['name']!r} in fine-tune {ft['name']!r}",
            )


def write_manifest(root: Path, manifest: dict) -> None:
    with tf.atomic_file(root / MANIFEST, "w") as f:
        json.dump(manifest, f, indent=1)


def file_meta(manifest: dict, content: str) -> dict[str, str]:
    return {"format": FORMAT, "library": manifest["uuid"], "content": content}


def open_member(root: Path, manifest: dict, rel: str, content: str, what: str) -> tf.TensorFile:
    """A tensor file of the library, checked to be the one the manifest means."""
    f = tf.TensorFile(inside(root, rel, what))
    meta = f.metadata
    if meta.get("format") != FORMAT or meta.get("library") != manifest["uuid"]:
        raise LibraryError(f"{f.path}: belongs to another library (or is not a library file)")
    if meta.get("content") != content:
        raise LibraryError(
            f"{f.path}: holds {meta.get('content')!r}, the manifest expects {content!r}"
        )
    return f


def check_entry(f: tf.TensorFile, key: str, dtype: str | None, shape: tuple | None) -> None:
    if key not in f.tensors:
        raise LibraryError(f"{f.path}: tensor {key!r} is missing")
    have_dtype, have_shape, _, _ = f.tensors[key]
    if (dtype is not None and have_dtype != dtype) or (
        shape is not None and have_shape != tuple(shape)
    ):
        raise LibraryError(
            f"{f.path}: tensor {key!r} is {have_dtype} {have_shape}, "
            f"the manifest says {dtype} {tuple(shape or ())}"
        )


def corrupted(path, key: str) -> LibraryError:
    return LibraryError(
        f"{path}: tensor {key!r} does not match its checksum (the file is corrupted)"
    )


def verified(
    f: tf.TensorFile, key: str, digest: str, verify: bool, own_map: bool = False
) -> np.ndarray:
    """A stored tensor, checked against its checksum when `verify`: a view of the file's
    map, or with `own_map` of a map of its own (let go with the array, for one-pass
    readers such as the exports)."""
    if own_map:
        a = f.map_one(key)
        if verify and tf.sha256(a) != digest:
            raise corrupted(f.path, key)
        return a
    a = f.array(key)
    if verify:
        if tf.sha256(a) != digest:
            raise corrupted(f.path, key)
        f.release(key)  # the pages read for the check need not stay resident
    return a


# ---- records <-> files ------------------------------------------------------------------


def record_entry(
    name: str,
    ct,
    error: float | None = None,
    norm: float | None = None,
    source_dtype: str | None = None,
) -> tuple[dict, list[tuple[str, np.ndarray]]]:
    """The manifest entry of one compressed tensor and its arrays under their file keys;
    with the relative error of the delta it rebuilds and the delta's norm when measured,
    and the fine-tune tensor's dtype when known."""
    arrays = [(f"{name}:core:{i}", np.ascontiguousarray(a)) for i, a in enumerate(ct.cores)]
    arrays += [(f"{name}:factor:{i}", np.ascontiguousarray(a)) for i, a in enumerate(ct.factors)]
    digests = {key: tf.sha256(a) for key, a in arrays}
    entry = {
        "name": name,
        "method": getattr(ct.method, "value", ct.method),
        "shape": list(ct.shape),
        "dtype": ct.dtype,
        "metadata": _encode(ct.metadata),
        "cores": [k for k, _ in arrays[: len(ct.cores)]],
        "factors": [k for k, _ in arrays[len(ct.cores) :]],
        "sha256": digests,
    }
    if error is not None:
        entry.update(error=error, norm=norm)
    if source_dtype is not None:
        entry["source_dtype"] = source_dtype
    return entry, arrays


_KESTRINE_METHODS = frozenset(m.value for m in CompressionMethod)


def record(f: tf.TensorFile, entry: dict, verify: bool, own_map: bool = False):
    def arrays(keys):
        return tuple(verified(f, k, entry["sha256"][k], verify, own_map) for k in keys)

    method = entry["method"]
    # The library's own record kinds keep their name: kestrine's decompressors refuse them.
    return CompressedTensor(
        CompressionMethod(method) if method in _KESTRINE_METHODS else method,
        tuple(entry["shape"]),
        entry["dtype"],
        arrays(entry["cores"]),
        arrays(entry["factors"]),
        _decode(entry["metadata"]),
    )


def load_finetune(root: Path, manifest: dict, ft: dict, verify: bool):
    f = open_member(
        root, manifest, ft["file"], "finetune:" + ft["name"], f"fine-tune {ft['name']!r}"
    )
    tensors = {}
    for entry in ft["tensors"]:
        for key in entry["cores"] + entry["factors"]:
            check_entry(f, key, None, None)
        tensors[entry["name"]] = record(f, entry, verify)
    return CompressedDelta(ft["name"], tensors, ft["base_id"])


def load_library(path, *, verify: bool = True):
    """Opens a saved library as a `tamsel.ModelLibrary`.

    Arrays are read-only views of memory maps of the library's files (nothing is copied,
    except bfloat16 base tensors, which numpy cannot hold: they come as their float32
    values); `verify` checks every stored tensor against its SHA-256 first. A damaged, truncated,
    foreign or missing file raises `LibraryError` naming the file and the problem.
    """
    root = Path(path)
    manifest = read_manifest(root)
    base_file = open_member(root, manifest, manifest["base"]["file"], "base", "the base")
    base = {}
    for t in manifest["base"]["tensors"]:
        check_entry(base_file, t["name"], t["dtype"], t["shape"])
        a = verified(base_file, t["name"], t["sha256"], verify)
        if t["dtype"] == "bfloat16":
            # numpy has no bfloat16: such a tensor comes as its float32 values (a copy), and
            # the pages of its patterns need not stay resident.
            a = tf.to_float32(a, t["dtype"])
            base_file.release(t["name"])
        base[t["name"]] = a
    if verify:
        verify_model_files(root, manifest)
    deltas = {ft["name"]: load_finetune(root, manifest, ft, verify) for ft in manifest["finetunes"]}
    settings = Settings.from_stored(manifest["settings"])
    return ModelLibrary(manifest["base_id"], base, deltas, **settings.library_fields())


def verify_model_files(root: Path, manifest: dict) -> None:
    for m in manifest.get("model_files", []):
        verify_model_file(root, m)


def verify_model_file(root: Path, entry: dict) -> None:
    import hashlib

    p = inside(root, entry["file"], "a model file")
    try:
        digest = hashlib.sha256(p.read_bytes()).hexdigest()
    except FileNotFoundError:
        raise LibraryError(f"{p}: missing") from None
    if digest != entry["sha256"]:
        raise LibraryError(f"{p}: does not match its checksum (the file is corrupted)")


def find_finetune(root: Path, manifest: dict, name: str) -> dict:
    """The manifest entry of a fine-tune; KeyError naming the ones the library holds."""
    for ft in manifest["finetunes"]:
        if ft["name"] == name:
            return ft
    names = ", ".join(repr(ft["name"]) for ft in manifest["finetunes"]) or "none"
    raise KeyError(f"no fine-tune {name!r} in the library at {root} (it holds: {names})")


def _relative(squared_error: float, squared_norm: float) -> float:
    if squared_norm > 0:
        return (squared_error / squared_norm) ** 0.5
    return 0.0 if squared_error == 0 else float("inf")


# A kept energy share this far below its target is rounding, not a cap that bound.
_ENERGY_SLACK = 1e-6


def _short_of_energy(entry: dict, cap: int) -> float | None:
    """The energy share an energy-SVD record kept when the rank cap stopped it short of its
    target (the kept share is 1 - error^2), else None."""
    meta = entry["metadata"]
    if entry.get("error") is None or record_kind(entry["method"], meta, 2) != ENERGY_KIND:
        return None
    rank, target = meta.get("rank"), meta.get("energy")
    if not isinstance(rank, int) or not isinstance(target, (int, float)):
        return None
    kept = 1.0 - entry["error"] ** 2
    if cap == 0 or rank < cap or kept >= target - _ENERGY_SLACK:
        return None
    return kept


def _finetune_row(root: Path, manifest: dict, ft: dict, library: Settings) -> dict:
    f = open_member(
        root, manifest, ft["file"], "finetune:" + ft["name"], f"fine-tune {ft['name']!r}"
    )
    settings = library if ft.get("settings") is None else Settings.from_stored(ft["settings"])
    methods: dict[str, int] = {}
    original = stored = 0
    squared: list[float] | None = [0.0, 0.0]  # the deltas' squared errors and squared norms
    dense, short = [], []
    for e in ft["tensors"]:
        if squared is not None and e.get("error") is not None:
            squared[0] += (e["error"] * e["norm"]) ** 2
            squared[1] += e["norm"] ** 2
        else:
            squared = None
        kind = record_kind(e["method"], e["metadata"], len(e["shape"]))
        methods[kind] = methods.get(kind, 0) + 1
        if kind == "dense":
            dense.append(e["name"])
        kept = _short_of_energy(e, settings.max_rank)
        if kept is not None:
            short.append(kept)
        # In full, the fine-tune's tensor takes its own dtype's bytes.
        dtype = e.get("source_dtype") or e["dtype"]
        original += int(np.prod(e["shape"], dtype=np.int64)) * tf.itemsize(dtype)
        for key in e["cores"] + e["factors"]:
            check_entry(f, key, None, None)
            dtype, _, _, count = f.tensors[key]
            stored += count * tf.itemsize(dtype)
    return {
        "name": ft["name"],
        "tensors": len(ft["tensors"]),
        "methods": methods,
        "stored_as": settings.label,
        "bits": settings.bits,
        "budget": settings.budget,
        "original_bytes": original,
        "stored_bytes": stored,
        "ratio": original / stored if stored else float("inf"),
        # The relative error of the fine-tune's deltas taken together (None: not measured
        # when the library was made).
        "error": None if squared is None else _relative(*squared),
        # Matrices kept as their dense delta: compressed, they would have taken more bytes.
        "dense": dense,
        # Energy-SVD records the rank cap stopped short of the energy target, and the least
        # energy share one of them kept.
        "capped": len(short),
        "worst_energy": min(short, default=None),
        "settings": None if ft.get("settings") is None else settings.stored(),
        "file": ft["file"],
    }


def library_info(path) -> dict:
    """What a saved library holds, from its manifest and file headers (no data is read):
    the base, and per fine-tune its tensors, methods (the energy SVD as "energy-svd",
    matrices kept as their dense delta as "dense"), bytes, ratio (its tensors in full /
    stored), relative error, how it is stored (`stored_as`, `bits`, `budget`), the tensors
    stored dense, how many tensors the rank cap kept short of the energy target (and the
    least energy kept), and its settings."""
    root = Path(path)
    manifest = read_manifest(root)
    base_bytes = sum(
        int(np.prod(t["shape"], dtype=np.int64)) * tf.itemsize(t["dtype"])
        for t in manifest["base"]["tensors"]
    )
    settings = Settings.from_stored(manifest["settings"])
    return {
        "path": str(root),
        "format_version": manifest["version"],
        "base_id": manifest["base_id"],
        "base_tensors": len(manifest["base"]["tensors"]),
        "base_bytes": base_bytes,
        "settings": settings.stored(),
        "model_files": [m["file"] for m in manifest.get("model_files", [])],
        "finetunes": [_finetune_row(root, manifest, ft, settings) for ft in manifest["finetunes"]],
    }
