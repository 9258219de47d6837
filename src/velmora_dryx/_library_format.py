"""The saved-library format: the manifest (read, checked, written), the records' safetensors
entries and their verification, and reading a library back (`load_library`, `library_info`)."""

from __future__ import annotations

import hashlib
import json
import math
import os
from pathlib import Path, PurePosixPath
from typing import Any

import numpy as np

from velmora_dryx import _tensorfile as tf
from velmora_dryx._tensorfile import LibraryError
from velmora_dryx.kestrine import CompressedTensor, CompressionMethod
from velmora_dryx.methods import BITS, ENERGY_KIND, METHODS, Settings, record_kind
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


MAX_MANIFEST_BYTES = 256 << 20
"""The largest manifest read (about a thousand fine-tunes of a few hundred tensors each):
a file past it is refused before it is read."""


def inside(root: Path, rel: str, what: str) -> Path:
    """`root/rel`, refusing names that would leave the library directory or name none."""
    p = PurePosixPath(rel)
    if not rel or "\0" in rel or p.is_absolute() or ".." in p.parts or not p.parts:
        raise LibraryError(f"{root / MANIFEST}: {what} names a file outside the library: {rel!r}")
    return root.joinpath(*p.parts)


def open_file(root: Path, rel: str, what: str):
    """A file the manifest names, opened as library files are (`_tensorfile.open_inside`:
    no links, regular files only)."""
    inside(root, rel, what)
    return tf.open_inside(root, rel)


def read_manifest(root: Path) -> dict:
    if not root.is_dir():
        raise FileNotFoundError(f"{root}: no such library directory")
    tf.check_tree(root, (FINETUNE_DIR, MODEL_DIR))
    path = root / MANIFEST
    if not os.path.lexists(path):
        raise LibraryError(
            f"{path}: missing (not a saved library, or its first save did not finish)"
        )
    with tf.open_inside(root, MANIFEST) as f:
        size = os.fstat(f.fileno()).st_size
        text = f.read(MAX_MANIFEST_BYTES + 1) if size <= MAX_MANIFEST_BYTES else b""
    if max(size, len(text)) > MAX_MANIFEST_BYTES:
        raise LibraryError(
            f"{path}: {max(size, len(text))} bytes, more than a manifest holds "
            f"({MAX_MANIFEST_BYTES >> 20} MiB); refused"
        )
    try:
        manifest = json.loads(text)
        _check_manifest(manifest, path)
    except RecursionError:  # JSON nested deeper than Python can follow (or show)
        raise LibraryError(f"{path}: corrupted (nested too deeply)") from None
    except ValueError as exc:
        if isinstance(exc, LibraryError):
            raise
        # not JSON, not UTF-8, or a number past Python's limits
        raise LibraryError(f"{path}: corrupted ({exc})") from None
    return manifest


def _check_manifest(manifest: Any, path: Path) -> None:
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT:
        raise LibraryError(f"{path}: not a velmora-dryx library manifest")
    version = manifest.get("version")
    if type(version) is not int or version < 1:
        shown = repr(version)[:40] if _is_scalar(version) else type(version).__name__
        raise LibraryError(f"{path}: corrupted (format version {shown})")
    if version > VERSION:
        raise LibraryError(
            f"{path}: format version {version} is newer than this velmora-dryx reads "
            f"(up to {VERSION}); upgrade velmora-dryx"
        )
    _validate(manifest, path)


def _is_str(v) -> bool:
    return isinstance(v, str)


def _is_dtype(v) -> bool:
    return isinstance(v, str) and v in tf.DTYPE_NAMES


def _is_nonnegative(v) -> bool:
    return isinstance(v, (int, float)) and not isinstance(v, bool) and v >= 0


def _is_names(v) -> bool:
    return isinstance(v, list) and all(isinstance(x, str) for x in v)


def _is_scalar(v) -> bool:
    return v is None or isinstance(v, (bool, int, float, str))


def _is_metadata(v) -> bool:
    """Flat: scalars, and lists and tuples of scalars (so decoding it is bounded)."""
    return isinstance(v, dict) and all(
        _is_scalar(x)
        or (isinstance(x, list) and all(_is_scalar(y) for y in x))
        or (
            isinstance(x, dict)
            and list(x) == ["__tuple__"]
            and isinstance(x["__tuple__"], list)
            and all(_is_scalar(y) for y in x["__tuple__"])
        )
        for x in v.values()
    )


def _is_settings(v) -> bool:
    try:
        Settings.from_stored(v)
    except (TypeError, ValueError):
        return False
    return True


def _optional(check):
    return lambda v: v is None or check(v)


# The fields of each kind of manifest entry, and the check each must pass.
_BASE_TENSOR = {"name": _is_str, "shape": tf.is_shape, "dtype": _is_dtype, "sha256": _is_str}
_MODEL_FILE = {"file": _is_str, "sha256": _is_str}
_FINETUNE = {
    "name": _is_str,
    "base_id": _is_str,
    "file": _is_str,
    "tensors": lambda v: isinstance(v, list),
    "settings": _optional(_is_settings),
    # The base tensors the source lacked, and its tensors the base lacks (recorded since
    # they were checked at add time).
    "missing": _optional(_is_names),
    "extra": _optional(_is_names),
}
_RECORD = {
    "name": _is_str,
    "method": lambda v: isinstance(v, str) and v in METHODS,
    "shape": tf.is_shape,
    "dtype": lambda v: isinstance(v, str) and v in RECORD_DTYPES,
    "metadata": _is_metadata,
    "cores": _is_names,
    "factors": _is_names,
    "sha256": lambda v: isinstance(v, dict),
    # Measured when the record was made (absent from libraries saved from memory).
    "error": _optional(_is_nonnegative),
    "norm": _optional(_is_nonnegative),
    # The fine-tune tensor's own dtype, which exports write (absent: not known).
    "source_dtype": _optional(_is_dtype),
}


def _fits(entry, fields: dict) -> bool:
    return isinstance(entry, dict) and all(ok(entry.get(k)) for k, ok in fields.items())


def _duplicate(names) -> str | None:
    seen: set = set()
    for n in names:
        if n in seen:
            return n
        seen.add(n)
    return None


def _validate(m: dict, path: Path) -> None:
    """Every field the library reads, of the type it is read as, and names that are unique:
    a damaged manifest fails here, once, with the entry named."""

    def need(ok: bool, what: str) -> None:
        if not ok:
            raise LibraryError(f"{path}: corrupted ({what})")

    need(_fits(m, {"uuid": _is_str, "base_id": _is_str}), "uuid or base_id")
    # Libraries whose base came from a GGUF file record its architecture.
    need(m.get("gguf_architecture") is None or _is_str(m["gguf_architecture"]), "gguf_architecture")
    try:
        Settings.from_stored(m.get("settings"))
    except (TypeError, ValueError) as exc:
        need(False, f"settings: {str(exc):.200}")
    b = m.get("base")
    need(_fits(b, {"file": _is_str, "tensors": lambda v: isinstance(v, list)}), "base")
    for i, t in enumerate(b["tensors"]):
        need(_fits(t, _BASE_TENSOR), f"base tensor entry {i}")
    dup = _duplicate(t["name"] for t in b["tensors"])
    need(dup is None, f"base tensor {dup!r} listed twice")
    files = m.get("model_files", [])
    need(isinstance(files, list) and all(_fits(f, _MODEL_FILE) for f in files), "model_files")
    for f in files:
        parts = PurePosixPath(f["file"]).parts
        need(len(parts) == 2 and parts[0] == MODEL_DIR, f"model file {f['file']!r}")
    dup = _duplicate(PurePosixPath(f["file"]).name for f in files)
    need(dup is None, f"model file {dup!r} listed twice")
    fts = m.get("finetunes")
    need(isinstance(fts, list), "finetunes")
    for i, ft in enumerate(fts):
        need(_fits(ft, _FINETUNE), f"fine-tune entry {i}")
    dup = _duplicate(ft["name"] for ft in fts)
    need(dup is None, f"fine-tune {dup!r} listed twice")
    for ft in fts:
        if ft.get("settings") is not None:  # what the fine-tune was compressed with
            try:
                Settings.from_stored(ft["settings"])
            except (TypeError, ValueError) as exc:
                need(False, f"settings of fine-tune {ft['name']!r}: {str(exc):.200}")
        for i, e in enumerate(ft["tensors"]):
            need(_fits(e, _RECORD), f"tensor entry {i} of fine-tune {ft['name']!r}")
            need(
                all(_is_str(e["sha256"].get(k)) for k in e["cores"] + e["factors"])
                and (e.get("error") is None) == (e.get("norm") is None),
                f"checksums or error of {e['name']!r} in fine-tune {ft['name']!r}",
            )
        dup = _duplicate(e["name"] for e in ft["tensors"])
        need(dup is None, f"tensor {dup!r} listed twice in fine-tune {ft['name']!r}")
        dup = _duplicate(k for e in ft["tensors"] for k in e["cores"] + e["factors"])
        need(dup is None, f"array {dup!r} used twice in fine-tune {ft['name']!r}")


# ---- records against their methods ---------------------------------------------------------

RECORD_DTYPES = ("float32", "float64")
"""The dtypes of the records a library writes (deltas are taken in float32 or wider)."""


def _count(v) -> bool:
    return type(v) is int and v >= 0


def _positive(v) -> bool:
    return type(v) is int and v >= 1


def _ratio(v) -> bool:
    return type(v) in (int, float) and 0 < v <= 1


def _counts(v) -> bool:
    return isinstance(v, tuple) and all(_count(x) for x in v)


def _schema(meta: dict, *schemas: dict) -> str | None:
    """None when `meta` has exactly the keys of one of `schemas`, each passing its check."""
    for schema in schemas:
        if set(meta) == set(schema) and all(ok(meta[k]) for k, ok in schema.items()):
            return None
    expected = " or ".join(str(sorted(s)) for s in schemas)
    return f"metadata {meta!r:.120} is not what the method writes ({expected})"


Shapes = list[tuple[int, ...]]


def _none_record(shape: tuple, meta: dict, cores: Shapes, factors: Shapes) -> str | None:
    if problem := _schema(meta, {}):
        return problem
    if cores != [shape] or factors:
        return "a lossless record holds one array of its own shape"
    return None


def _svd_record(shape: tuple, meta: dict, cores: Shapes, factors: Shapes) -> str | None:
    problem = _schema(
        meta,
        {"rank_ratio": _ratio, "rank": _count},
        {"rank": _count, "full_rank": _count},  # a fixed rank
        {"energy": _ratio, "rank": _count, "full_rank": _count},
    )
    if problem:
        return problem
    m, n, k = shape[0], math.prod(shape[1:]), meta["rank"]
    if cores != [(k,)] or factors != [(m, k), (k, n)]:
        return f"rank {k} of a {m}x{n} matrix needs s {(k,)}, U {(m, k)} and Vt {(k, n)}"
    if not k <= meta.get("full_rank", k) <= min(m, n):
        return f"rank {k} (of full rank {meta.get('full_rank')}) exceeds a {m}x{n} matrix's"
    return None


def _tucker_record(shape: tuple, meta: dict, cores: Shapes, factors: Shapes) -> str | None:
    if problem := _schema(meta, {"rank_ratio": _ratio, "ranks": _counts}):
        return problem
    ranks = meta["ranks"]
    expected = [(n, r) for n, r in zip(shape, ranks, strict=False)]
    if len(ranks) != len(shape) or cores != [ranks] or factors != expected:
        return f"ranks {ranks} need a core of shape {ranks} and factors {expected}"
    if any(r > n for n, r in expected):
        return f"ranks {ranks} exceed the extents {shape}"
    return None


def _tt_record(shape: tuple, meta: dict, cores: Shapes, factors: Shapes) -> str | None:
    if problem := _schema(meta, {"max_rank": _positive, "ranks": _counts}):
        return problem
    bonds = (1, *meta["ranks"], 1)
    expected = [(bonds[i], n, bonds[i + 1]) for i, n in enumerate(shape)]
    if len(bonds) != len(shape) + 1 or cores != expected or factors:
        return f"bond ranks {meta['ranks']} need cores {expected}"
    if max(meta["ranks"], default=0) > meta["max_rank"]:
        return f"bond ranks {meta['ranks']} exceed the cap {meta['max_rank']}"
    return None


def _qsvd_record(shape: tuple, meta: dict, cores: Shapes, factors: Shapes) -> str | None:
    bits = {
        "rank": _count,
        "bits": lambda v: v in BITS and v != 32,
        "error": _is_nonnegative,
        "norm": _is_nonnegative,
    }
    if problem := _schema(meta, bits):
        return problem
    k = meta["rank"]
    if cores != [(k, 2), (k, 2)] or len(factors) != 2 or any(len(f) != 1 for f in factors):
        return f"rank {k} needs widths and scales of shape {(k, 2)} and two runs of codes"
    if k > min(shape[0], math.prod(shape[1:])):
        return f"rank {k} exceeds a matrix of shape {shape}"
    return None


def _exact_record(shape: tuple, meta: dict, cores: Shapes, factors: Shapes) -> str | None:
    planes = {
        "planes": lambda v: isinstance(v, list) and all(_count(x) for x in v),
        "against_base": lambda v: isinstance(v, bool),
        "sha256": _is_str,
    }
    # Records of the first version carry no "order" (their planes are grouped by exponent).
    if problem := _schema(meta, planes | {"order": lambda v: v == "zero-first"}, planes):
        return problem
    if cores != [(sum(meta["planes"]),)] or factors:
        return "an exact record holds one run of its planes' frames"
    return None


RECORD_CHECKS = {
    "none": _none_record,
    "svd": _svd_record,
    "tucker": _tucker_record,
    "tt": _tt_record,
    "qsvd": _qsvd_record,
    "exact": _exact_record,
}
"""Per method of METHODS: what its records hold, given the record's shape, its metadata and
the shapes of its cores and factors (a problem in words, or None)."""
if set(RECORD_CHECKS) != set(METHODS):
    raise RuntimeError("every method needs its record check")


PACKED_DTYPES = {
    "qsvd": (["uint8", "float32"], ["uint8", "uint8"]),  # widths, scales; codes of a, of b
    "exact": (["uint8"], []),  # the planes' zstd frames
}
"""The arrays of the library's own records, which are not of the record's dtype."""


def record_problem(entry: dict, cores: list, factors: list) -> str | None:
    """What is wrong with a record: its entry (validated) against the (dtype, shape) of its
    cores and factors."""
    dtypes = [d for d, _ in cores], [d for d, _ in factors]
    if entry["method"] in PACKED_DTYPES:
        if dtypes != PACKED_DTYPES[entry["method"]]:
            return f"arrays of dtypes {dtypes} in a {entry['method']} record"
    elif set(dtypes[0] + dtypes[1]) - {entry["dtype"]}:
        return f"arrays of dtype {sorted(set(dtypes[0] + dtypes[1]))} in a {entry['dtype']} record"
    shape = tuple(entry["shape"])
    if entry["method"] not in ("none", "exact") and len(shape) < 2:
        return f"a {entry['method']} record of {len(shape)} dimensions"
    return RECORD_CHECKS[entry["method"]](
        shape, _decode(entry["metadata"]), [s for _, s in cores], [s for _, s in factors]
    )


def check_record(f: tf.TensorFile, finetune: str, entry: dict) -> None:
    """A record's manifest entry against the arrays its file holds (headers only: no tensor
    data is read)."""

    def arrays(keys):
        for key in keys:
            if key not in f.tensors:
                raise LibraryError(f"{f.path}: tensor {key!r} is missing")
        return [f.tensors[k][:2] for k in keys]

    problem = record_problem(entry, arrays(entry["cores"]), arrays(entry["factors"]))
    if problem is not None:
        raise LibraryError(
            f"{f.path}: tensor {entry['name']!r} of fine-tune {finetune!r} does not match "
            f"its {entry['method']} record: {problem}"
        )


def write_manifest(root: Path, manifest: dict) -> None:
    with tf.atomic_file(root / MANIFEST, "w", root=root) as f:
        json.dump(manifest, f, indent=1)


def file_meta(manifest: dict, content: str) -> dict[str, str]:
    return {"format": FORMAT, "library": manifest["uuid"], "content": content}


def open_member(root: Path, manifest: dict, rel: str, content: str, what: str) -> tf.TensorFile:
    """A tensor file of the library, checked to be the one the manifest means."""
    f = tf.TensorFile(inside(root, rel, what), open_file(root, rel, what))
    meta = f.metadata
    if meta.get("format") != FORMAT or meta.get("library") != manifest["uuid"]:
        raise LibraryError(f"{f.path}: belongs to another library (or is not a library file)")
    if meta.get("content") != content:
        raise LibraryError(
            f"{f.path}: holds {meta.get('content')!r:.80}, the manifest expects {content!r}"
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


def open_base(root: Path, manifest: dict) -> tf.TensorFile:
    """The base's file, every tensor the manifest lists checked against its header."""
    f = open_member(root, manifest, manifest["base"]["file"], "base", "the base")
    for t in manifest["base"]["tensors"]:
        check_entry(f, t["name"], t["dtype"], t["shape"])
    return f


def open_finetune(root: Path, manifest: dict, ft: dict) -> tf.TensorFile:
    """A fine-tune's file, every record checked against its method and its arrays."""
    name = ft["name"]
    f = open_member(root, manifest, ft["file"], "finetune:" + name, f"fine-tune {name!r}")
    for entry in ft["tensors"]:
        check_record(f, name, entry)
    return f


def check_library(root: Path, manifest: dict | None = None, visit=None) -> dict:
    """Everything a library's manifest says checked against its files' headers (no tensor
    data is read): the manifest itself, the base, the model files, every fine-tune's
    records (`visit(entry, file)` sees each fine-tune's opened file). Returns the manifest;
    a problem raises LibraryError naming the file and the entry."""
    root = Path(root)
    if manifest is None:
        manifest = read_manifest(root)
    open_base(root, manifest)
    verify_model_files(root, manifest, False)
    for ft in manifest["finetunes"]:
        f = open_finetune(root, manifest, ft)
        if visit is not None:
            visit(ft, f)
    return manifest


class FinetuneNotFound(LibraryError, KeyError):
    """No fine-tune of that name in the library (a KeyError too, as a lookup)."""

    __str__ = LibraryError.__str__


def finetune_entry(root: Path, manifest: dict, name: str) -> dict:
    for ft in manifest["finetunes"]:
        if ft["name"] == name:
            return ft
    names = ", ".join(repr(ft["name"]) for ft in manifest["finetunes"]) or "none"
    raise FinetuneNotFound(f"no fine-tune {name!r} in the library at {root} (it holds: {names})")


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
    and the fine-tune tensor's dtype when known. A record the format cannot hold (or would
    refuse to read back) raises ValueError."""
    arrays = [(f"{name}:core:{i}", np.ascontiguousarray(a)) for i, a in enumerate(ct.cores)]
    arrays += [(f"{name}:factor:{i}", np.ascontiguousarray(a)) for i, a in enumerate(ct.factors)]
    entry = {
        "name": name,
        "method": getattr(ct.method, "value", ct.method),
        "shape": list(ct.shape),
        "dtype": ct.dtype,
        "metadata": _encode(ct.metadata),
        "cores": [k for k, _ in arrays[: len(ct.cores)]],
        "factors": [k for k, _ in arrays[len(ct.cores) :]],
    }
    described = [(a.dtype.name, a.shape) for _, a in arrays]
    if not _fits(entry, {k: _RECORD[k] for k in entry}):
        problem: str | None = f"{entry['method']} record of dtype {ct.dtype} cannot be stored"
    else:
        problem = record_problem(entry, described[: len(ct.cores)], described[len(ct.cores) :])
    if problem is not None:
        raise ValueError(f"tensor {name!r}: {problem}")
    entry["sha256"] = {key: tf.sha256(a) for key, a in arrays}
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
    f = open_finetune(root, manifest, ft)
    tensors = {entry["name"]: record(f, entry, verify) for entry in ft["tensors"]}
    return CompressedDelta(ft["name"], tensors, ft["base_id"])


def load_library(path, *, verify: bool = True):
    """Opens a saved library as a `tamsel.ModelLibrary`.

    Arrays are read-only views of memory maps of the library's files (nothing is copied,
    except bfloat16 base tensors, which numpy cannot hold: they come as their float32
    values); `verify` checks every stored tensor against its SHA-256 first. A damaged,
    truncated, foreign or missing file, or a record that does not match its method and
    arrays, raises `LibraryError` naming the file and the problem (checked with or without
    `verify`).
    """
    root = Path(path)
    manifest = read_manifest(root)
    base_file = open_base(root, manifest)
    base = {}
    for t in manifest["base"]["tensors"]:
        a = verified(base_file, t["name"], t["sha256"], verify)
        if t["dtype"] == "bfloat16":
            # numpy has no bfloat16: such a tensor comes as its float32 values (a copy), and
            # the pages of its patterns need not stay resident.
            a = tf.to_float32(a, t["dtype"])
            base_file.release(t["name"])
        base[t["name"]] = a
    verify_model_files(root, manifest, verify)
    deltas = {ft["name"]: load_finetune(root, manifest, ft, verify) for ft in manifest["finetunes"]}
    settings = Settings.from_stored(manifest["settings"])
    return ModelLibrary(manifest["base_id"], base, deltas, **settings.library_fields())


def verify_model_files(root: Path, manifest: dict, verify: bool = True) -> None:
    """The model files opened as library files are (no links, regular files); with
    `verify`, each checked against its checksum."""
    for m in manifest.get("model_files", []):
        verify_model_file(root, m, verify)


def verify_model_file(root: Path, entry: dict, verify: bool = True) -> None:
    with open_file(root, entry["file"], "a model file") as f:
        digest = hashlib.file_digest(f, "sha256").hexdigest() if verify else entry["sha256"]
    if digest != entry["sha256"]:
        path = inside(root, entry["file"], "a model file")
        raise LibraryError(f"{path}: does not match its checksum (the file is corrupted)")


def _relative(squared_error: float, squared_norm: float) -> float:
    if squared_norm > 0:
        return (squared_error / squared_norm) ** 0.5
    return 0.0 if squared_error == 0 else float("inf")


def nbytes(shape, dtype: str) -> int:
    """The exact byte size of a tensor (Python ints: no 64-bit product to wrap)."""
    return math.prod(shape) * tf.itemsize(dtype)


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


def _finetune_row(ft: dict, f: tf.TensorFile, library: Settings) -> dict:
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
        original += nbytes(e["shape"], dtype)
        for key in e["cores"] + e["factors"]:
            dtype, shape, _, _ = f.tensors[key]
            stored += nbytes(shape, dtype)
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
        # Base tensors the source lacked (exported as the base's own) and tensors it had
        # that the base lacks (kept in full); None: not recorded.
        "missing": ft.get("missing"),
        "extra": ft.get("extra"),
        "file": ft["file"],
    }


def library_info(path) -> dict:
    """What a saved library holds, from its manifest and file headers (no data is read):
    the base, and per fine-tune its tensors, methods (the energy SVD as "energy-svd",
    matrices kept as their dense delta as "dense"), bytes, ratio (its tensors in full /
    stored), relative error, how it is stored (`stored_as`, `bits`, `budget`), the tensors
    stored dense, how many tensors the rank cap kept short of the energy target (and the
    least energy kept), the base tensors it lacked and the tensors it added (`missing`,
    `extra`), and its settings. Everything is checked as `check_library` checks it."""
    root = Path(path)
    rows: list[dict] = []
    manifest = read_manifest(root)
    settings = Settings.from_stored(manifest["settings"])
    check_library(root, manifest, visit=lambda ft, f: rows.append(_finetune_row(ft, f, settings)))
    return {
        "path": str(root),
        "format_version": manifest["version"],
        "base_id": manifest["base_id"],
        "base_tensors": len(manifest["base"]["tensors"]),
        "base_bytes": sum(nbytes(t["shape"], t["dtype"]) for t in manifest["base"]["tensors"]),
        "settings": settings.stored(),
        "model_files": [m["file"] for m in manifest.get("model_files", [])],
        "finetunes": rows,
    }
