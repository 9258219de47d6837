"""Saved libraries: a model library on disk, built and extended tensor by tensor.

A library directory holds `manifest.json` (what the library contains, with a SHA-256 of
every stored tensor), `base.safetensors` (the base model), one `finetunes/*.safetensors`
file per fine-tune (the factors of its compressed deltas) and, for a library built from a
Hugging Face model directory, that model's configuration and tokenizer files under
`model/`. Every file is written under a temporary name, fsynced and renamed into place;
the manifest goes last, so a library is always the one its manifest describes. What a
killed writer leaves behind (temporary files, unreferenced fine-tune files) is removed by
the next writer.
"""

from __future__ import annotations

import contextlib
import fcntl
import math
import os
import shutil
import unicodedata
import uuid
import warnings
from collections.abc import Callable, Mapping
from pathlib import Path, PurePosixPath
from typing import Any

import numpy as np

from velmora_dryx import _tensorfile as tf
from velmora_dryx import tamsel
from velmora_dryx._library_format import (
    BASE_FILE,
    FINETUNE_DIR,
    FORMAT,
    MANIFEST,
    MODEL_DIR,
    check_entry,
    check_library,
    file_meta,
    finetune_entry,
    inside,
    library_info,
    load_finetune,
    load_library,
    open_base,
    open_member,
    read_manifest,
    record,
    record_entry,
    verified,
    verify_model_file,
    write_manifest,
)
from velmora_dryx._library_gguf import ARCHITECTURE_KEY, BaseNames, base_configuration
from velmora_dryx._library_tasks import (
    CompressTask,
    EncodeTask,
    PlanTask,
    TaskResult,
    TensorRef,
    allocate,
    file_refs,
    is_gguf_file,
    model_files,
    run_encode,
    run_plan,
    run_task,
    source_refs,
)
from velmora_dryx._tensorfile import LibraryError
from velmora_dryx.methods import Settings
from velmora_dryx.parallel import check_jobs, run_ordered

Progress = Callable[[int, int, int, int], None]
"""progress(tasks_done, tasks_total, bytes_done, bytes_total): called once at the start and
after every step (a base tensor written, a fine-tune tensor compressed), in the caller's
thread."""

__all__ = [
    "FinetuneWarning",
    "LibraryError",
    "add_to_library",
    "build_library",
    "library_info",
    "load_library",
    "remove_from_library",
    "rename_in_library",
    "save_library",
    "verify_library",
]


class FinetuneWarning(UserWarning):
    """A fine-tune added to a saved library lacks tensors of the base (their delta is zero:
    exports hold the base's own) or carries tensors the base lacks (kept in full)."""


class _FinetuneFile:
    """Collects the records of one fine-tune in task order into a data file, then writes
    the fine-tune's safetensors file (header first, so it can only be written at the end).
    `base_names`: the base's tensors (the entry records which of them the fine-tune lacks)."""

    def __init__(
        self, root: Path, manifest: dict, name: str, base_id: str, base_names: list[str]
    ) -> None:
        self.root, self.manifest, self.name, self.base_id = root, manifest, name, base_id
        self.base_names = base_names
        self.body_path = root / f".body-{uuid.uuid4().hex}"
        self.rel = f"{FINETUNE_DIR}/{uuid.uuid4().hex[:16]}.safetensors"
        self.body = tf.create_new(self.body_path)
        self.header: list[tuple[str, np.dtype, tuple[int, ...]]] = []
        self.entries: list[dict] = []

    def add(self, result: TaskResult) -> None:
        if result.piece is not None:
            piece = tf.TensorFile(Path(result.piece))
            arrays = [(k, piece.array(k)) for k in piece.tensors]
        else:
            arrays = result.arrays or []
        for key, a in arrays:
            self.header.append((key, a.dtype, a.shape))
            self.body.write(memoryview(np.ascontiguousarray(a).reshape(-1).view(np.uint8)))
        self.entries.append(result.entry)
        if result.piece is not None:
            del arrays, piece
            os.unlink(result.piece)

    def finish(self) -> dict:
        self.body.close()
        rel = self.rel
        tf.make_directory(self.root, FINETUNE_DIR)
        tf.write_tensor_file(
            self.root / rel,
            self.header,
            tf.file_chunks(self.body_path),
            file_meta(self.manifest, "finetune:" + self.name),
            root=self.root,
        )
        self.body_path.unlink()
        names = [e["name"] for e in self.entries]
        return {
            "name": self.name,
            "base_id": self.base_id,
            "file": rel,
            **_coverage(self.base_names, names),
            "tensors": self.entries,
        }

    def discard(self) -> None:
        self.body.close()
        self.body_path.unlink(missing_ok=True)
        (self.root / self.rel).unlink(missing_ok=True)


class _Tracker:
    """Counts finished steps (a base tensor written, a tensor compressed) for `progress`."""

    def __init__(self, progress: Progress | None, tasks: int, nbytes: int) -> None:
        self.progress, self.tasks, self.total = progress, tasks, nbytes
        self.done = self.nbytes = 0
        self.report()

    def step(self, nbytes: int) -> None:
        self.done += 1
        self.nbytes += nbytes
        self.report()

    def report(self) -> None:
        if self.progress is not None:
            self.progress(self.done, self.tasks, self.nbytes, self.total)


def _source_bytes(finetunes: list[tuple[str, dict[str, TensorRef]]]) -> int:
    return sum(ref.nbytes for _, refs in finetunes for ref in refs.values())


def _coverage(base_names, names) -> dict[str, list[str]]:
    """What a fine-tune lacks of its base, and what it carries that the base lacks."""
    have, base = set(names), set(base_names)
    return {
        "missing": [n for n in base_names if n not in have],
        "extra": [n for n in names if n not in base],
    }


# A tensor the base lacks is no delta: it is stored without loss (the exact tier keeps it
# bit for bit already).
_LOSSLESS = Settings("none")


def _compress_finetunes(
    root: Path,
    manifest: dict,
    base_refs: dict[str, TensorRef],
    base_digests: dict[str, str] | None,
    finetunes: list[tuple[str, dict[str, TensorRef]]],
    settings: Settings,
    jobs: int,
    ray: str | None,
    tracker: _Tracker,
) -> list[dict]:
    """Compresses every tensor of every fine-tune (in parallel when asked) and writes one
    file per fine-tune; returns their manifest entries. A tensor the base lacks is kept in
    full (it is no delta: a low-rank form of a whole weight would lose it). Files already
    written are removed when a later step fails."""
    stage = None
    if ray is not None or settings.spends:
        stage = root / f".stage-{uuid.uuid4().hex}"
        stage.mkdir()
    tasks = [
        [
            CompressTask(
                name,
                ref,
                base_refs.get(tensor),
                None if base_digests is None else base_digests.get(tensor),
                settings if tensor in base_refs or settings.method == "exact" else _LOSSLESS,
                None if ray is None else str(stage),
            )
            for tensor, ref in refs.items()
        ]
        for name, refs in finetunes
    ]
    entries: list[dict] = []
    current: _FinetuneFile | None = None
    try:
        if settings.spends:
            outcomes = (_spent(ft, settings, str(stage), jobs, ray) for ft in tasks)
        else:
            results = run_ordered(
                run_task, [t for ft in tasks for t in ft], jobs=jobs, ray=ray, cost=_cost
            )
            outcomes = (([next(results) for _ in ft], None) for ft in tasks)
        for (name, _), (ft_results, error) in zip(finetunes, outcomes, strict=True):
            current = _FinetuneFile(root, manifest, name, manifest["base_id"], list(base_refs))
            for result in ft_results:
                current.add(result)
                tracker.step(result.nbytes)
            entry = {**current.finish(), "settings": settings.stored()}
            if error is not None:
                entry["error"] = error
            entries.append(entry)
            current = None
    except BaseException:
        if current is not None:
            current.discard()
        for e in entries:
            (root / e["file"]).unlink(missing_ok=True)
        raise
    finally:
        if stage is not None:
            shutil.rmtree(stage, ignore_errors=True)
    return entries


def _cost(task) -> int:
    return task.tuned.nbytes


def _spent(tasks: list[CompressTask], settings: Settings, stage: str, jobs: int, ray: str | None):
    """One fine-tune under a byte budget or a target error: the first pass of every tensor,
    one allocation across them, then the encoding; (its task results in order, the relative
    error of its planned deltas)."""
    plans = list(
        run_ordered(
            run_plan,
            [PlanTask(t.tuned, t.base, t.base_sha256, t.settings, stage) for t in tasks],
            jobs=jobs,
            ray=ray,
            cost=_cost,
        )
    )
    if not tasks:
        return [], 0.0
    widths, errors, error = allocate(plans, settings)
    planned = [p for p in plans if p.steps is not None]
    encodes = [
        EncodeTask(
            p.name,
            p.shape,
            p.piece,
            w,
            settings.bits,
            e,
            math.sqrt(p.total),
            None if ray is None else stage,
            p.dtype,
        )
        for p, w, e in zip(planned, widths, errors, strict=True)
    ]
    encoded = run_ordered(run_encode, encodes, jobs=jobs, ray=ray)
    results = []
    for p in plans:
        r = p.result if p.steps is None else next(encoded)
        r.nbytes = p.nbytes
        results.append(r)
    return results, error


def _listing(names: list[str], most: int = 5) -> str:
    shown = ", ".join(names[:most])
    return shown if len(names) <= most else f"{shown}, ... ({len(names) - most} more)"


def _check_finetune(
    name: str, refs: dict[str, TensorRef], base_refs: dict[str, TensorRef], base_id: str
) -> None:
    """Refuses a source that is no fine-tune of the base (no tensor in common, or shapes
    that differ); warns about the tensors it lacks or adds."""
    for tensor, ref in refs.items():
        b = base_refs.get(tensor)
        if b is not None and b.shape != ref.shape:
            raise ValueError(
                f"fine-tune {name!r}: tensor {tensor!r} has shape {ref.shape}, "
                f"the base's is {b.shape}"
            )
    if not any(tensor in base_refs for tensor in refs):
        raise ValueError(
            f"fine-tune {name!r} shares no tensor with the base {base_id}; is it a fine-tune of it?"
        )
    cover = _coverage(list(base_refs), list(refs))
    if cover["missing"]:
        warnings.warn(
            f"fine-tune {name!r} lacks {len(cover['missing'])} tensor(s) of the base "
            f"({_listing(cover['missing'])}): stored as the base's own (a zero delta)",
            FinetuneWarning,
            stacklevel=3,
        )
    if cover["extra"]:
        warnings.warn(
            f"fine-tune {name!r} carries {len(cover['extra'])} tensor(s) the base lacks "
            f"({_listing(cover['extra'])}): kept in full",
            FinetuneWarning,
            stacklevel=3,
        )


# ---- building a new library ---------------------------------------------------------------


def _new_manifest(base_id: str, settings: Settings) -> dict:
    return {
        "format": FORMAT,
        # The oldest format that holds what these settings write (older readers keep reading).
        "version": settings.version,
        "uuid": uuid.uuid4().hex,
        "base_id": base_id,
        "settings": settings.stored(),
        "base": {"file": BASE_FILE, "tensors": []},
        "model_files": [],
        "finetunes": [],
    }


def _write_base(
    root: Path, manifest: dict, refs: dict[str, TensorRef], tracker: _Tracker | None = None
) -> dict[str, str]:
    """Writes the base tensor by tensor (each mapped, hashed, written, let go), every tensor
    in its source dtype, byte for byte."""
    digests: dict[str, str] = {}
    entries = [(ref.name, ref.dtype, ref.shape) for ref in refs.values()]

    def chunks():
        for ref in refs.values():
            a = np.ascontiguousarray(ref.raw())
            digests[ref.name] = tf.sha256(a)
            yield a
            if tracker is not None:
                tracker.step(ref.nbytes)

    tf.write_tensor_file(
        root / BASE_FILE, entries, chunks(), file_meta(manifest, "base"), root=root
    )
    manifest["base"]["tensors"] = [
        {"name": n, "shape": list(s), "dtype": d, "sha256": digests[n]} for n, d, s in entries
    ]
    return digests


def _copy_model_files(root: Path, manifest: dict, model_dir) -> None:
    import hashlib

    files = model_files(model_dir)
    if not files:
        return
    (root / MODEL_DIR).mkdir()
    for src in files:
        data = src.read_bytes()
        with tf.atomic_file(root / MODEL_DIR / src.name) as f:
            f.write(data)
        manifest["model_files"].append(
            {"file": f"{MODEL_DIR}/{src.name}", "sha256": hashlib.sha256(data).hexdigest()}
        )


def save_library(library, path, *, model_dir=None) -> None:
    """Writes a `tamsel.ModelLibrary` (its base and every fine-tune) to a new directory.

    `model_dir`, a Hugging Face model directory of the base, adds its configuration and
    tokenizer files so that exported fine-tunes load as models. The directory appears
    complete or not at all.
    """
    settings = Settings.of(library)
    with tf.new_directory(path) as root:
        manifest = _new_manifest(library.base_id, settings)
        _write_base(root, manifest, source_refs(library.base))
        _copy_model_files(root, manifest, model_dir)
        (root / FINETUNE_DIR).mkdir()
        for name, delta in library.deltas.items():
            f = _FinetuneFile(root, manifest, name, delta.base_id, list(library.base))
            try:
                for tensor, ct in delta.tensors.items():
                    try:
                        entry, arrays = record_entry(tensor, ct)
                    except ValueError as exc:
                        raise ValueError(f"fine-tune {name!r}: {exc}") from None
                    f.add(TaskResult(entry, arrays, None, 0))
            except BaseException:
                f.discard()
                raise
            manifest["finetunes"].append(f.finish())
        write_manifest(root, manifest)


def check_name(name) -> str:
    """A fine-tune's name: a non-empty string without '/' or control characters (ValueError)."""
    if not isinstance(name, str) or not name:
        raise ValueError(f"fine-tune names must be non-empty strings, got {name!r}")
    if "/" in name or any(unicodedata.category(c) == "Cc" for c in name):
        raise ValueError(f"fine-tune name {name!r} must not contain '/' or control characters")
    return name


def source_name(source) -> str:
    """A source's own name: the name of its directory or file, however the path was written."""
    return Path(os.path.abspath(source)).name


def source_id(source) -> str:
    """How a library names its base: the absolute path of a source on disk ("base" for a
    state dict)."""
    return "base" if isinstance(source, Mapping) else os.path.abspath(source)


def _finetune_list(finetunes) -> list[tuple[str, Any]]:
    if isinstance(finetunes, Mapping):
        items = list(finetunes.items())
    else:
        items = [(source_name(s), s) for s in finetunes]
    names = [check_name(n) for n, _ in items]
    dup = next((n for n in names if names.count(n) > 1), None)
    if dup is not None:
        raise ValueError(
            f"fine-tune {dup!r} is given twice (name the fine-tunes with a mapping of names "
            "to sources)"
        )
    return items


def build_library(
    base,
    finetunes,
    path,
    *,
    settings: Settings | None = None,
    base_id: str | None = None,
    jobs: int | None = None,
    ray: str | None = None,
    progress: Progress | None = None,
    model_dir=None,
    **options,
) -> None:
    """Builds a saved library in a new directory from a base and fine-tunes, streaming.

    `base` and each fine-tune are a state dict, a `.safetensors` file or a model directory
    of shards (read tensor by tensor through memory maps, so a model larger than memory
    builds in memory bounded by a few tensors per job). The base is stored in its source
    dtypes, byte for byte (bfloat16 and float16 included); deltas are taken from the values
    in float32 (float64 sources in float64), and each fine-tune tensor's dtype is recorded
    for the exports. `finetunes` maps names to sources (a list of paths names each
    fine-tune by its directory's or file's name; names with '/' or control characters are
    refused). How deltas are compressed: `settings` (a `methods.Settings`) and/or its
    fields as keywords: `method`, `max_rank` (the cap of the tensor train and of the energy
    SVD; 0: no cap, for the energy SVD only), `energy` (selects the energy SVD),
    `rank_ratio` (svd and Tucker) or `rank` (selects the svd at rank min(rank, m, n) on
    every matrix); an option the method would not use, or two that contradict each other,
    raise ValueError. `jobs` tasks run at once (default: the usable cores), `ray`
    ("local", "auto" or a cluster address) runs them on Ray. The result is the same, byte
    for byte, for any `jobs` and on Ray. `base_id` defaults to the base's absolute path.
    """
    jobs = check_jobs(jobs)
    settings = Settings.chosen(**options) if settings is None else settings.overridden(**options)
    items = _finetune_list(finetunes)
    base_refs = source_refs(base)
    gguf_arch = None
    with contextlib.ExitStack() as stack:
        if is_gguf_file(base):
            # Its architecture, and the configuration transformers makes of it (which
            # Hugging Face exports and fine-tunes with Hugging Face names need).
            gguf_arch, config = stack.enter_context(base_configuration(base))
            model_dir = config if model_dir is None else model_dir
        names = BaseNames({k: r.shape for k, r in base_refs.items()}, gguf_arch, model_dir)
        sources = [(name, names.aligned(name, src, source_refs(src))) for name, src in items]
        if base_id is None:
            base_id = source_id(base)
        for name, refs in sources:
            _check_finetune(name, refs, base_refs, base_id)
        tracker = _Tracker(
            progress,
            len(base_refs) + sum(len(refs) for _, refs in sources),
            sum(r.nbytes for r in base_refs.values()) + _source_bytes(sources),
        )
        with tf.new_directory(path) as root:
            manifest = _new_manifest(base_id, settings)
            if gguf_arch is not None:
                manifest[ARCHITECTURE_KEY] = gguf_arch
            _write_base(root, manifest, base_refs, tracker)
            _copy_model_files(root, manifest, base if model_dir is None else model_dir)
            (root / FINETUNE_DIR).mkdir()
            # Deltas are taken against the base as stored, so that `add` later sees the same.
            stored = file_refs(tf.TensorFile(root / BASE_FILE))
            manifest["finetunes"] = _compress_finetunes(
                root, manifest, stored, None, sources, settings, jobs, ray, tracker
            )
            write_manifest(root, manifest)


# ---- extending a saved library ------------------------------------------------------------


LOCK = ".lock"


@contextlib.contextmanager
def _locked(root: Path, shared: bool = False):
    """One writer at a time per library; readers that must not see a write half done
    (`shared`) wait for it. A reader of a library it cannot write to reads unlocked."""
    try:
        f = tf.open_inside(root, LOCK, create=True)
    except OSError:
        if not shared:
            raise
        yield
        return
    with f:
        fcntl.flock(f.fileno(), fcntl.LOCK_SH if shared else fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(f.fileno(), fcntl.LOCK_UN)


def _sweep(root: Path, manifest: dict) -> None:
    """Removes what writers killed before they finished left in the library (scratch files,
    staging directories, temporary files, fine-tune files no manifest names); called
    holding the lock, so no writer is using them."""
    named = {PurePosixPath(ft["file"]).as_posix() for ft in manifest["finetunes"]}
    scratch = (".body-", ".stage-", f".{MANIFEST}.tmp-")
    with os.scandir(root) as entries:
        left = [Path(e.path) for e in entries if e.name.startswith(scratch)]
    if (root / FINETUNE_DIR).is_dir():
        with os.scandir(root / FINETUNE_DIR) as entries:
            left += [
                Path(e.path)
                for e in entries
                if (e.name.endswith(".safetensors") or ".safetensors.tmp-" in e.name)
                and f"{FINETUNE_DIR}/{e.name}" not in named
            ]
    for path in left:
        if path.is_dir() and not path.is_symlink():
            shutil.rmtree(path)
        else:
            path.unlink(missing_ok=True)


def add_to_library(path, name: str, state_dict, **options):
    """Compresses one fine-tune against a saved library's base and appends it, without
    rewriting what is there; returns the stored `tamsel.CompressedDelta`.

    `state_dict` is a state dict, a `.safetensors` file or a model directory (streamed).
    `options` are the keywords of `add_many_to_library` (`verify`, `jobs`, `ray`,
    `progress`, and the settings `method`, `max_rank`, `energy`, `rank_ratio`, `rank`): the
    library's settings apply unless these say otherwise (`method` alone turns the energy
    SVD off, `energy` or `rank` alone select the svd; None keeps the library's), checked as
    `build_library` checks them. `verify` checks each base tensor against its checksum as
    it is read. `jobs`, `ray` and `progress` as for `build_library`. A failure leaves the
    library as it was.
    """
    return add_many_to_library(path, {name: state_dict}, **options)[name]


def add_many_to_library(
    path,
    finetunes,
    *,
    verify: bool = True,
    jobs: int | None = None,
    ray: str | None = None,
    progress: Progress | None = None,
    **options,
) -> dict:
    """`add_to_library` for several fine-tunes at once (one manifest update, all or none);
    returns their `tamsel.CompressedDelta` records by name."""
    jobs = check_jobs(jobs)
    items = _finetune_list(finetunes)
    root = Path(path)
    read_manifest(root)
    with _locked(root):
        manifest = check_library(root)
        _sweep(root, manifest)
        have = {ft["name"] for ft in manifest["finetunes"]}
        for n, _ in items:
            if n in have:
                raise ValueError(f"fine-tune {n!r} is already in the library at {root}")
        settings = Settings.from_stored(manifest["settings"]).overridden(
            whose="the library's ", **options
        )
        base_file = open_base(root, manifest)
        digests = {t["name"]: t["sha256"] for t in manifest["base"]["tensors"]}
        base_refs = {n: r for n, r in file_refs(base_file).items() if n in digests}
        names = BaseNames(
            {n: r.shape for n, r in base_refs.items()},
            manifest.get(ARCHITECTURE_KEY),
            root / MODEL_DIR,
        )
        sources = [(n, names.aligned(n, src, source_refs(src))) for n, src in items]
        for n, refs in sources:
            _check_finetune(n, refs, base_refs, manifest["base_id"])
        entries = _compress_finetunes(
            root,
            manifest,
            base_refs,
            digests if verify else None,
            sources,
            settings,
            jobs,
            ray,
            _Tracker(progress, sum(len(r) for _, r in sources), _source_bytes(sources)),
        )
        try:
            manifest["finetunes"].extend(entries)
            manifest["version"] = max(manifest["version"], settings.version)
            write_manifest(root, manifest)
        except BaseException:
            # Files the manifest on disk names are the library's now (the rename happened).
            with contextlib.suppress(Exception):
                kept = {ft["file"] for ft in read_manifest(root)["finetunes"]}
                for e in entries:
                    if e["file"] not in kept:
                        (root / e["file"]).unlink(missing_ok=True)
            raise
        return {e["name"]: load_finetune(root, manifest, e, False) for e in entries}


# ---- maintenance ----------------------------------------------------------------------------


def _finetune_file(root: Path, manifest: dict, ft: dict) -> Path:
    """The fine-tune's own file: inside `finetunes/` and named by no other entry (so that
    removing it can never take the base or another fine-tune's file with it)."""
    path = inside(root, ft["file"], f"fine-tune {ft['name']!r}")
    others = [manifest["base"]["file"], *(m["file"] for m in manifest.get("model_files", []))]
    others += [o["file"] for o in manifest["finetunes"] if o is not ft]
    if Path(ft["file"]).parts[:1] != (FINETUNE_DIR,) or any(
        (root / o).resolve() == path.resolve() for o in others
    ):
        raise LibraryError(
            f"{root / MANIFEST}: fine-tune {ft['name']!r} names a file that is not its own: "
            f"{ft['file']!r}"
        )
    return path


def remove_from_library(path, name: str) -> dict:
    """Removes a fine-tune from a saved library and frees its file; returns what was removed
    ({"name", "file", "freed_bytes"}). The manifest is replaced first, under the library's
    lock: a failure leaves the library with or without the fine-tune, never between (at
    worst its file stays behind unreferenced, as `verify_library` lists). KeyError for a
    name the library does not hold."""
    root = Path(path)
    read_manifest(root)
    with _locked(root):
        manifest = read_manifest(root)
        ft = finetune_entry(root, manifest, name)
        file = _finetune_file(root, manifest, ft)
        manifest["finetunes"].remove(ft)
        write_manifest(root, manifest)
        try:
            freed = file.stat().st_size
            file.unlink()
        except FileNotFoundError:
            freed = 0
        return {"name": name, "file": ft["file"], "freed_bytes": freed}


def rename_in_library(path, old: str, new: str) -> None:
    """Renames a fine-tune of a saved library. Its file names it too, so the file is written
    again under the new name (the same arrays and checksums), then the manifest is replaced
    and the old file removed, under the library's lock: a failure leaves the library as it
    was. KeyError for an unknown `old`; ValueError for a `new` that is taken or not a valid
    name."""
    root = Path(path)
    check_name(new)
    read_manifest(root)
    with _locked(root):
        manifest = read_manifest(root)
        ft = finetune_entry(root, manifest, old)
        if old == new:
            return
        if any(o["name"] == new for o in manifest["finetunes"]):
            raise ValueError(f"fine-tune {new!r} is already in the library at {root}")
        source = open_member(root, manifest, ft["file"], "finetune:" + old, f"fine-tune {old!r}")
        old_file = _finetune_file(root, manifest, ft)
        rel = f"{FINETUNE_DIR}/{uuid.uuid4().hex[:16]}.safetensors"
        header = source.tensors
        keys = sorted(header, key=lambda k: header[k][2])  # in file order
        tf.write_tensor_file(
            root / rel,
            [(k, tf.np_dtype(header[k][0]), header[k][1]) for k in keys],
            (source.array(k) for k in keys),
            file_meta(manifest, "finetune:" + new),
        )
        ft.update(name=new, file=rel)
        try:
            write_manifest(root, manifest)
        except BaseException:
            (root / rel).unlink(missing_ok=True)
            raise
        old_file.unlink(missing_ok=True)


def _leftovers(root: Path, manifest: dict) -> list[str]:
    """Files and directories of the library directory that its manifest does not name: what
    an interrupted write leaves (temporary files, staging directories, unreferenced
    fine-tune files)."""
    named = {MANIFEST, LOCK, manifest["base"]["file"]}
    named |= {m["file"] for m in manifest.get("model_files", [])}
    named |= {ft["file"] for ft in manifest["finetunes"]}
    named = {str(Path(n)) for n in named}
    folders = ({str(Path(n).parent) for n in named} | {FINETUNE_DIR, MODEL_DIR}) - {"."}
    found = []
    for dirpath, dirnames, filenames in os.walk(root):
        here = Path(dirpath).relative_to(root)
        for d in dirnames:
            rel = str(here / d)
            if rel not in folders or (Path(dirpath) / d).is_symlink():
                found.append(rel + "/")
        dirnames[:] = [d for d in dirnames if str(here / d) in folders]
        found += [str(here / f) for f in filenames if str(here / f) not in named]
    return sorted(found)


def verify_library(path, *, raise_on_damage: bool = False) -> dict:
    """Checks a saved library whole: the manifest; the base, every model file and every
    record array against their checksums; every record against its manifest entry and that
    it rebuilds a tensor of its shape; and lists the files the manifest does not name
    (leftovers of interrupted writes: not damage). Waits for a write in progress. Returns
    {"path", "ok", "damage" (one message per problem), "leftovers", "checked" (counts)};
    with `raise_on_damage`, damage raises LibraryError naming every problem."""
    root = Path(path)
    damage: list[str] = []
    checked = {"base_tensors": 0, "model_files": 0, "finetunes": 0, "records": 0}

    def attempt(check: Callable[[], Any]) -> bool:
        try:
            check()
            return True
        except LibraryError as exc:
            damage.append(str(exc))
            return False

    leftovers: list[str] = []
    if not root.is_dir():
        raise FileNotFoundError(f"{root}: no such library directory")
    with _locked(root, shared=True):
        try:
            manifest = read_manifest(root)
        except LibraryError as exc:
            manifest = None
            damage.append(str(exc))
        if manifest is not None:
            base_file = _verify_base(root, manifest, attempt, checked)
            for m in manifest.get("model_files", []):
                if attempt(lambda m=m: verify_model_file(root, m)):
                    checked["model_files"] += 1
            for ft in manifest["finetunes"]:
                _verify_finetune(root, manifest, ft, base_file, attempt, checked)
            leftovers = _leftovers(root, manifest)
    report = {
        "path": str(root),
        "ok": not damage,
        "damage": damage,
        "leftovers": leftovers,
        "checked": checked,
    }
    if damage and raise_on_damage:
        if len(damage) == 1:
            raise LibraryError(damage[0])
        raise LibraryError(
            f"{root}: {len(damage)} problems:\n" + "\n".join(f"  {d}" for d in damage)
        )
    return report


def _verify_base(root: Path, manifest: dict, attempt, checked: dict) -> tf.TensorFile | None:
    """The base's file (None when it cannot be opened), every tensor checked."""
    files: list[tf.TensorFile] = []
    if not attempt(
        lambda: files.append(
            open_member(root, manifest, manifest["base"]["file"], "base", "the base")
        )
    ):
        return None
    for t in manifest["base"]["tensors"]:

        def check(t=t) -> None:
            check_entry(files[0], t["name"], t["dtype"], t["shape"])
            verified(files[0], t["name"], t["sha256"], True)

        if attempt(check):
            checked["base_tensors"] += 1
    return files[0]


def _verify_finetune(
    root: Path, manifest: dict, ft: dict, base_file: tf.TensorFile | None, attempt, checked: dict
) -> None:
    name = ft["name"]
    bases = {t["name"]: t for t in manifest["base"]["tensors"]}
    files: list[tf.TensorFile] = []
    if not attempt(
        lambda: files.append(
            open_member(root, manifest, ft["file"], "finetune:" + name, f"fine-tune {name!r}")
        )
    ):
        return
    for entry in ft["tensors"]:

        def check(entry=entry) -> None:
            for key in entry["cores"] + entry["factors"]:
                check_entry(files[0], key, None, None)
            rec = record(files[0], entry, True)
            # Rebuilt the one way every reader rebuilds it: on its base tensor's values
            # (an exact record is taken against them), the 16-bit types widened.
            b, t = None, bases.get(entry["name"])
            if t is not None and base_file is not None:
                b = verified(base_file, t["name"], t["sha256"], False)
                if t["dtype"] in tf.HALF_TYPES:
                    b = tf.to_float32(b, t["dtype"])
            try:
                shape = tamsel._apply_delta(b, rec).shape
            except (ValueError, TypeError, IndexError) as exc:
                shape = exc
            if shape != tuple(entry["shape"]):
                raise LibraryError(
                    f"{files[0].path}: record {entry['name']!r} of fine-tune {name!r} does not "
                    f"rebuild a tensor of shape {tuple(entry['shape'])} ({shape})"
                )

        if attempt(check):
            checked["records"] += 1
    checked["finetunes"] += 1
