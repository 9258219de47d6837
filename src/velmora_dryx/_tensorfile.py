"""Safetensors files: written as a stream of tensors, read through memory maps.

The layout is the standard one (an 8-byte little-endian header length, a JSON header of
name -> dtype, shape and data offsets plus an optional string-to-string "__metadata__",
then the tensors' bytes back to back), so the files open with any safetensors reader. Our
own reader maps the file instead of copying it: arrays are views of the map, and a file
from outside is checked against its real size before anything is mapped.
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import mmap
import os
import shutil
import struct
import uuid
from collections.abc import Iterable, Iterator
from pathlib import Path
from typing import Any

import numpy as np

# safetensors dtype codes <-> numpy dtype names. bfloat16 maps only where ml_dtypes gives
# numpy the type.
_CODES = {
    "F64": "float64",
    "F32": "float32",
    "F16": "float16",
    "BF16": "bfloat16",
    "I64": "int64",
    "I32": "int32",
    "I16": "int16",
    "I8": "int8",
    "U64": "uint64",
    "U32": "uint32",
    "U16": "uint16",
    "U8": "uint8",
    "BOOL": "bool",
}
_NAMES = {v: k for k, v in _CODES.items()}
DTYPE_NAMES = frozenset(_NAMES)
_MAX_HEADER = 100 << 20
_CHUNK = 16 << 20


class LibraryError(ValueError):
    """A saved library, or a file in it, is damaged, incomplete or not what it claims."""


def np_dtype(name: str) -> np.dtype:
    if name == "bfloat16":
        try:
            import ml_dtypes
        except ImportError:
            raise ImportError("bfloat16 tensors need ml_dtypes: pip install ml_dtypes") from None
        return np.dtype(ml_dtypes.bfloat16)
    return np.dtype(name)


def itemsize(name: str) -> int:
    """Bytes per element of a stored dtype (bfloat16 without needing ml_dtypes)."""
    return 2 if name == "bfloat16" else np.dtype(name).itemsize


def dtype_code(dtype: np.dtype) -> str:
    try:
        return _NAMES[np.dtype(dtype).name]
    except KeyError:
        raise ValueError(f"dtype {np.dtype(dtype).name} cannot be stored in safetensors") from None


def sha256(array: np.ndarray) -> str:
    """SHA-256 of an array's bytes in C order (no copy for a contiguous array)."""
    a = np.ascontiguousarray(array)
    return hashlib.sha256(memoryview(a.reshape(-1).view(np.uint8))).hexdigest()


def fsync_dir(path: Path) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


@contextlib.contextmanager
def atomic_file(final: Path, mode: str = "wb", sync: bool = True):
    """A file opened under a temporary name beside `final`; fsynced (unless `sync` is false:
    scratch files) and renamed into place when the block ends normally, removed when it
    raises."""
    tmp = final.with_name(f".{final.name}.tmp-{uuid.uuid4().hex[:12]}")
    try:
        with open(tmp, mode) as f:
            yield f
            f.flush()
            if sync:
                os.fsync(f.fileno())
        os.replace(tmp, final)
    except BaseException:
        tmp.unlink(missing_ok=True)
        raise
    if sync:
        fsync_dir(final.parent)


@contextlib.contextmanager
def new_directory(path, what: str = "a library is saved") -> Iterator[Path]:
    """A temporary directory beside `path`, renamed to `path` when the block succeeds: the
    directory appears complete or not at all. `path` must not exist, or be an empty
    directory; `what` says what is written there, for the error when it exists."""
    final = Path(path)
    if final.exists() and (not final.is_dir() or any(final.iterdir())):
        raise FileExistsError(f"{final}: already exists ({what} to a new directory)")
    final.parent.mkdir(parents=True, exist_ok=True)
    tmp = final.parent / f".{final.name}.tmp-{uuid.uuid4().hex[:12]}"
    tmp.mkdir()
    try:
        yield tmp
        fsync_dir(tmp)
        if final.exists():
            final.rmdir()  # empty, checked above
        os.rename(tmp, final)
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise
    fsync_dir(final.parent)


def _header_bytes(entries: list[tuple[str, str, tuple[int, ...], int]], metadata: dict) -> bytes:
    header: dict[str, Any] = {"__metadata__": {str(k): str(v) for k, v in metadata.items()}}
    offset = 0
    for name, code, shape, nbytes in entries:
        header[name] = {
            "dtype": code,
            "shape": list(shape),
            "data_offsets": [offset, offset + nbytes],
        }
        offset += nbytes
    raw = json.dumps(header, separators=(",", ":")).encode()
    raw += b" " * (-len(raw) % 8)  # data starts 8-byte aligned
    return struct.pack("<Q", len(raw)) + raw


def write_tensor_file(
    path: Path,
    entries: list[tuple[str, np.dtype, tuple[int, ...]]],
    chunks: Iterable[Any],
    metadata: dict,
    sync: bool = True,
) -> None:
    """Writes a safetensors file atomically: the header from `entries` (name, dtype, shape),
    then the bytes of `chunks` (arrays or buffers, in entry order), which must add up to
    exactly the bytes the entries describe."""
    sized = [
        (
            n,
            dtype_code(d),
            tuple(int(x) for x in s),
            int(np.prod(s, dtype=np.int64)) * np.dtype(d).itemsize,
        )
        for n, d, s in entries
    ]
    expected = sum(e[3] for e in sized)
    written = 0
    with atomic_file(path, sync=sync) as f:
        f.write(_header_bytes(sized, metadata))
        for chunk in chunks:
            if isinstance(chunk, np.ndarray):
                chunk = memoryview(np.ascontiguousarray(chunk).reshape(-1).view(np.uint8))
            written += f.write(chunk)
        if written != expected:
            raise RuntimeError(
                f"{path}: wrote {written} data bytes, the header describes {expected}"
            )


def file_chunks(path: Path) -> Iterator[bytes]:
    with open(path, "rb") as f:
        while chunk := f.read(_CHUNK):
            yield chunk


class TensorFile:
    """The header of a safetensors file, checked against the file's size; tensors on demand
    as read-only views of a memory map."""

    def __init__(self, path: Path) -> None:
        self.path = Path(path)
        try:
            size = self.path.stat().st_size
        except FileNotFoundError:
            raise LibraryError(f"{self.path}: missing") from None
        with open(self.path, "rb") as f:
            head = f.read(8)
            if len(head) < 8:
                raise LibraryError(f"{self.path}: truncated (no safetensors header)")
            (n,) = struct.unpack("<Q", head)
            if n > min(size - 8, _MAX_HEADER):
                raise LibraryError(
                    f"{self.path}: truncated or not a safetensors file (header of {n} bytes)"
                )
            raw = f.read(n)
        try:
            header = json.loads(raw)
        except (UnicodeDecodeError, json.JSONDecodeError):
            raise LibraryError(f"{self.path}: corrupted safetensors header") from None
        if not isinstance(header, dict):
            raise LibraryError(f"{self.path}: corrupted safetensors header")
        meta = header.pop("__metadata__", None) or {}
        self.metadata: dict[str, str] = meta if isinstance(meta, dict) else {}
        self.data_start = 8 + n
        data_size = size - self.data_start
        self.tensors: dict[str, tuple[str, tuple[int, ...], int, int]] = {}
        for name, info in header.items():
            try:
                dtype = _CODES[info["dtype"]]
                shape = tuple(int(x) for x in info["shape"])
                begin, end = (int(x) for x in info["data_offsets"])
                size = itemsize(dtype)
                count = int(np.prod(shape, dtype=np.int64))
            except (KeyError, TypeError, ValueError):
                raise LibraryError(f"{self.path}: corrupted header entry for {name!r}") from None
            if min(shape, default=0) < 0 or not 0 <= begin <= end or end - begin != count * size:
                raise LibraryError(f"{self.path}: corrupted header entry for {name!r}")
            if end > data_size:
                raise LibraryError(
                    f"{self.path}: truncated (tensor {name!r} ends at byte {end} of the data, "
                    f"the file holds {data_size})"
                )
            self.tensors[name] = (dtype, shape, self.data_start + begin, count)
        self._map: mmap.mmap | None = None

    def _whole(self) -> mmap.mmap:
        if self._map is None:
            with open(self.path, "rb") as f:
                self._map = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        return self._map

    def array(self, name: str) -> np.ndarray:
        """The tensor as a read-only view of a map of the whole file (kept while any view
        lives)."""
        dtype, shape, offset, count = self.tensors[name]
        if count == 0:
            return np.zeros(shape, np_dtype(dtype))
        return np.frombuffer(self._whole(), np_dtype(dtype), count, offset).reshape(shape)

    def release(self, name: str) -> None:
        """Drops the tensor's pages from this process's resident set (the map stays valid:
        a later read faults them back in from the page cache)."""
        dtype, _, offset, count = self.tensors[name]
        if self._map is None or count == 0 or not hasattr(mmap, "MADV_DONTNEED"):
            return
        start = offset - offset % mmap.PAGESIZE
        self._map.madvise(mmap.MADV_DONTNEED, start, offset + count * itemsize(dtype) - start)

    def map_one(self, name: str) -> np.ndarray:
        """The tensor from a map of just its own bytes (see `map_range`)."""
        dtype, shape, offset, count = self.tensors[name]
        return map_range(str(self.path), dtype, shape, offset, count)


def map_range(path: str, dtype: str, shape: tuple[int, ...], offset: int, count: int) -> np.ndarray:
    """One tensor of a file from a map of just its own bytes, unmapped as soon as the array
    (and every view of it) is gone: reading a model tensor by tensor keeps only the live
    ones resident."""
    dt = np_dtype(dtype)
    if count == 0:
        return np.zeros(shape, dt)
    start = offset - offset % mmap.ALLOCATIONGRANULARITY
    with open(path, "rb") as f:
        m = mmap.mmap(
            f.fileno(), offset - start + count * dt.itemsize, access=mmap.ACCESS_READ, offset=start
        )
    return np.frombuffer(m, dt, count, offset - start).reshape(shape)
