"""Safetensors files: written as a stream of tensors, read through memory maps.

The layout is the standard one (an 8-byte little-endian header length, a JSON header of
name -> dtype, shape and data offsets plus an optional string-to-string "__metadata__",
then the tensors' bytes back to back), so the files open with any safetensors reader. Our
own reader maps the file instead of copying it: arrays are views of the map, and a file
from outside is checked against its real size before anything is mapped.

Files of a saved library are opened here and only here, without following links: every
directory from the library's root down and the file itself must be real (a symlink is
refused, never followed or written through), and only regular files are opened (a FIFO or a
device is refused before it is opened, and nothing is opened in a way that could block).
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import hashlib
import io
import json
import math
import mmap
import os
import re
import shutil
import stat
import struct
import uuid
from collections.abc import Iterable, Iterator
from pathlib import Path, PurePosixPath
from typing import Any

import numpy as np

from velmora_dryx import bramwick

# safetensors dtype codes <-> the dtype names of stored tensors: numpy's, and "bfloat16",
# which numpy lacks (its elements are held as their 16-bit patterns, see `np_dtype`).
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
# The 16-bit float types, converted to and from float32 natively (their GGUF type ids).
HALF_TYPES = {"float16": 1, "bfloat16": 30}
_MAX_HEADER = 100 << 20
_CHUNK = 16 << 20
# numpy's limits: more axes, or an extent past a signed 64-bit size, cannot be an array.
MAX_NDIM = 64
MAX_EXTENT = (1 << 63) - 1


class LibraryError(ValueError):
    """A saved library, or a file in it, is damaged, incomplete or not what it claims."""


def is_shape(v: Any) -> bool:
    """A list of extents numpy can hold (Python ints, so that sizes are exact)."""
    return (
        isinstance(v, list)
        and len(v) <= MAX_NDIM
        and all(type(x) is int and 0 <= x <= MAX_EXTENT for x in v)
    )


# ---- opening files without following links ----------------------------------------------

_DIR_FLAGS = os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC


def _refusal(path: Path, exc: OSError) -> Exception:
    """What an OSError met on the way into a library means for the user (O_NOFOLLOW gives
    ELOOP on a link to a file, ENOTDIR on one where a directory is expected)."""
    if exc.errno == errno.ELOOP or (exc.errno == errno.ENOTDIR and os.path.islink(path)):
        return LibraryError(f"{path}: is a symbolic link (a library holds none; refused)")
    if exc.errno == errno.ENOTDIR:
        return LibraryError(f"{path}: not a directory")
    if exc.errno == errno.ENOENT:
        return LibraryError(f"{path}: missing")
    return exc


def _parts(rel: str) -> tuple[str, ...]:
    parts = PurePosixPath(rel).parts
    if not parts or "\0" in rel or parts[0] == "/" or ".." in parts:
        raise LibraryError(f"{rel!r}: not a name inside the library")
    return parts


@contextlib.contextmanager
def _directory(root: Path, parts: tuple[str, ...]) -> Iterator[int]:
    """A descriptor of root/parts, each of the parts opened without following a link."""
    fd = os.open(root, _DIR_FLAGS)
    try:
        for i, part in enumerate(parts):
            try:
                inner = os.open(part, _DIR_FLAGS | os.O_NOFOLLOW, dir_fd=fd)
            except OSError as exc:
                raise _refusal(root.joinpath(*parts[: i + 1]), exc) from None
            os.close(fd)
            fd = inner
        yield fd
    finally:
        os.close(fd)


def _regular(path: Path, st: os.stat_result) -> None:
    if stat.S_ISLNK(st.st_mode):
        raise LibraryError(f"{path}: is a symbolic link (a library holds none; refused)")
    if not stat.S_ISREG(st.st_mode):
        kind = "a directory" if stat.S_ISDIR(st.st_mode) else "a FIFO, socket or device"
        raise LibraryError(f"{path}: not a regular file ({kind}; refused)")


def _open_checked(name, dir_fd: int | None, path: Path, flags: int, follow: bool) -> int:
    """Opens a regular file: its kind is checked before it is opened (so a FIFO or a device
    is never opened), it is opened non-blocking, and checked again once open."""
    nofollow = 0 if follow else os.O_NOFOLLOW
    try:
        before = os.stat(name, dir_fd=dir_fd, follow_symlinks=follow)
    except FileNotFoundError:
        if not flags & os.O_CREAT:
            raise LibraryError(f"{path}: missing") from None
        before = None
    except OSError as exc:
        raise _refusal(path, exc) from None
    if before is not None:
        _regular(path, before)
    try:
        fd = os.open(name, flags | nofollow | os.O_NONBLOCK | os.O_CLOEXEC, 0o666, dir_fd=dir_fd)
    except OSError as exc:
        raise _refusal(path, exc) from None
    try:
        after = os.fstat(fd)
        _regular(path, after)
        if before is not None and (before.st_dev, before.st_ino) != (after.st_dev, after.st_ino):
            raise LibraryError(f"{path}: replaced while being opened")
        os.set_blocking(fd, True)
    except BaseException:
        os.close(fd)
        raise
    return fd


def open_inside(root: Path, rel: str, create: bool = False) -> io.FileIO:
    """root/rel for reading (with `create`: for reading and writing, created when missing),
    opened as a library file is: no link followed from `root` down, a regular file only.
    Anything else raises LibraryError naming the path."""
    parts = _parts(rel)
    path = root.joinpath(*parts)
    flags = os.O_RDWR | os.O_CREAT if create else os.O_RDONLY
    with _directory(root, parts[:-1]) as dfd:
        fd = _open_checked(parts[-1], dfd, path, flags, follow=False)
    return io.FileIO(fd, "r+" if create else "r")


def check_tree(root: Path, subdirs: Iterable[str]) -> None:
    """Every entry of `root`, and of those of `subdirs` it holds, is a regular file or a
    directory: a link, FIFO, socket or device raises LibraryError naming it (the entries'
    kinds come from the directory listing: nothing is opened)."""

    def scan(path: Path) -> None:
        with os.scandir(path) as entries:
            for e in entries:
                if e.is_symlink() or not (e.is_file() or e.is_dir()):
                    _regular(Path(e.path), e.stat(follow_symlinks=False))

    scan(root)
    for d in subdirs:
        if (root / d).is_dir():  # a link there was refused above
            scan(root / d)


def open_regular(path, follow: bool = True) -> io.FileIO:
    """A regular file for reading (a source's own file: links followed unless `follow` is
    false), never blocking on a FIFO or a device."""
    path = Path(path)
    return io.FileIO(_open_checked(path, None, path, os.O_RDONLY, follow), "r")


def make_directory(root: Path, rel: str) -> None:
    """root/rel as a real directory (made when missing): a link or a file there is refused."""
    parts = _parts(rel)
    with _directory(root, parts[:-1]) as dfd:
        try:
            os.mkdir(parts[-1], dir_fd=dfd)
        except FileExistsError:
            st = os.stat(parts[-1], dir_fd=dfd, follow_symlinks=False)
            if not stat.S_ISDIR(st.st_mode):
                _regular(root.joinpath(*parts), st)
                raise LibraryError(f"{root.joinpath(*parts)}: not a directory") from None


def create_new(path: Path) -> io.BufferedWriter:
    """A new scratch file for writing; an existing name (a link included) is refused."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o666)
    return os.fdopen(fd, "wb")


def np_dtype(name: str) -> np.dtype:
    """The numpy dtype that holds a stored dtype's elements: bfloat16, which numpy lacks, as
    its 16-bit patterns (uint16); `to_float32` gives the values."""
    return np.dtype(np.uint16) if name == "bfloat16" else np.dtype(name)


def itemsize(name: str) -> int:
    """Bytes per element of a stored dtype."""
    return np_dtype(name).itemsize


def dtype_name(dtype) -> str:
    """The stored dtype name of a numpy dtype, or of a name ("bfloat16" included)."""
    return dtype if isinstance(dtype, str) else np.dtype(dtype).name


def dtype_code(dtype) -> str:
    try:
        return _NAMES[dtype_name(dtype)]
    except KeyError:
        raise ValueError(f"dtype {dtype_name(dtype)} cannot be stored in safetensors") from None


def to_float32(array, name: str) -> np.ndarray:
    """The values of a tensor of stored dtype `name` (bfloat16 as its patterns) as a new
    float32 array; the 16-bit float types are widened natively, exactly."""
    a = np.asarray(array)
    if name not in HALF_TYPES:
        return a.astype(np.float32)
    bits = np.ascontiguousarray(a).reshape(-1).view(np.uint8)
    return bramwick.dequantize(bits, HALF_TYPES[name]).reshape(a.shape)


def from_float32(values, name: str) -> np.ndarray:
    """float32 values (wider ones are rounded to float32 first) as a tensor of stored dtype
    `name`: the 16-bit float types rounded natively to nearest even (bfloat16 as its
    patterns), other types by numpy's cast."""
    if name not in HALF_TYPES:
        return np.asarray(values).astype(np_dtype(name), copy=False)
    v = np.asarray(values, dtype=np.float32)
    out = bramwick.quantize(v.reshape(-1), HALF_TYPES[name])
    return out.view(np_dtype(name)).reshape(v.shape)


def sha256(array: np.ndarray) -> str:
    """SHA-256 of an array's bytes in C order (no copy for a contiguous array)."""
    a = np.ascontiguousarray(array)
    return hashlib.sha256(memoryview(a.reshape(-1).view(np.uint8))).hexdigest()


def fsync_dir(path: Path | int) -> None:
    """Makes a directory's entries durable (`path` or an open descriptor of it)."""
    if isinstance(path, int):
        os.fsync(path)
        return
    fd = os.open(path, _DIR_FLAGS)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _temporary_name(name: str) -> str:
    return f".{name}.tmp-{uuid.uuid4().hex[:12]}"


@contextlib.contextmanager
def atomic_file(final: Path, mode: str = "wb", sync: bool = True, root: Path | None = None):
    """A file opened under a new temporary name beside `final`; fsynced (unless `sync` is
    false: scratch files) and renamed into place when the block ends normally, removed when
    it raises. With `root` (a library directory holding `final`), no link on the way from
    `root` is followed. Nothing is written through a link: the temporary file is new, and
    the rename replaces whatever `final` is."""
    if root is None:
        root, parts = final.parent, ()
    else:
        parts = _parts(final.relative_to(root).as_posix())[:-1]
    tmp = _temporary_name(final.name)
    with _directory(root, parts) as dfd:
        flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
        fd = os.open(tmp, flags, 0o666, dir_fd=dfd)
        try:
            with os.fdopen(fd, mode) as f:
                yield f
                f.flush()
                if sync:
                    os.fsync(f.fileno())
            os.replace(tmp, final.name, src_dir_fd=dfd, dst_dir_fd=dfd)
        except BaseException:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(tmp, dir_fd=dfd)
            raise
        if sync:
            fsync_dir(dfd)


def _remove_stale_siblings(final: Path) -> None:
    """Temporary directories of earlier writes of `final` whose writer is gone (killed: no
    process holds their lock any more)."""
    pattern = re.compile(re.escape(f".{final.name}.tmp-") + "[0-9a-f]{12}")
    with os.scandir(final.parent) as entries:
        stale = [e.path for e in entries if pattern.fullmatch(e.name)]
    for path in stale:
        try:
            fd = os.open(path, _DIR_FLAGS | os.O_NOFOLLOW)
        except OSError:
            continue  # not a directory of ours
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            continue  # still being written
        finally:
            os.close(fd)
        shutil.rmtree(path, ignore_errors=True)


@contextlib.contextmanager
def new_directory(path, what: str = "a library is saved") -> Iterator[Path]:
    """A temporary directory beside `path`, renamed to `path` when the block succeeds: the
    directory appears complete or not at all. `path` must not exist, or be an empty
    directory; `what` says what is written there, for the error when it exists. The
    temporary directory stays locked while it is written, so that a later write of `path`
    removes it when its writer was killed."""
    final = Path(path)
    if final.exists() and (not final.is_dir() or any(final.iterdir())):
        raise FileExistsError(f"{final}: already exists ({what} to a new directory)")
    final.parent.mkdir(parents=True, exist_ok=True)
    _remove_stale_siblings(final)
    tmp = final.parent / _temporary_name(final.name)
    # Locked before it takes the name the sweep above looks for, so that no writer's live
    # directory is ever taken for a dead one's.
    fresh = tmp.with_name(tmp.name.replace(".tmp-", ".new-", 1))
    fresh.mkdir()
    lock = os.open(fresh, _DIR_FLAGS)
    try:
        fcntl.flock(lock, fcntl.LOCK_EX)
        os.rename(fresh, tmp)
    except BaseException:
        os.close(lock)
        shutil.rmtree(fresh, ignore_errors=True)
        raise
    try:
        yield tmp
        fsync_dir(tmp)
        if final.exists():
            final.rmdir()  # empty, checked above
        os.rename(tmp, final)
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise
    finally:
        os.close(lock)
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
    root: Path | None = None,
) -> None:
    """Writes a safetensors file atomically: the header from `entries` (name, dtype, shape;
    a numpy dtype or a stored dtype name such as "bfloat16"), then the bytes of `chunks`
    (arrays or buffers, in entry order), which must add up to exactly the bytes the entries
    describe. `root`: as for `atomic_file`."""
    sized = [
        (
            n,
            dtype_code(d),
            tuple(int(x) for x in s),
            math.prod(int(x) for x in s) * itemsize(dtype_name(d)),
        )
        for n, d, s in entries
    ]
    expected = sum(e[3] for e in sized)
    written = 0
    with atomic_file(path, sync=sync, root=root) as f:
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


def _entry(info: Any) -> tuple[str, tuple[int, ...], int, int, int]:
    """(dtype, shape, first and end data offsets, element count) of a header entry; raises
    KeyError, TypeError or ValueError when it is not one."""
    dtype = _CODES[info["dtype"]]
    shape, offsets = info["shape"], info["data_offsets"]
    if not is_shape(shape) or not isinstance(offsets, list) or len(offsets) != 2:
        raise ValueError
    begin, end = offsets
    count = math.prod(shape)  # exact: no 64-bit product to wrap
    if type(begin) is not int or type(end) is not int or not 0 <= begin <= end:
        raise ValueError
    if end - begin != count * itemsize(dtype):
        raise ValueError
    return dtype, tuple(shape), begin, end, count


class TensorFile:
    """The header of a safetensors file, checked against the file's size; tensors on demand
    as read-only views of a memory map. `file` is the file already opened (a library's
    file, see `open_inside`); otherwise `path` is opened as a regular file."""

    def __init__(self, path: Path, file: io.FileIO | None = None) -> None:
        self.path = Path(path)
        # A library's file is opened by the caller, and mapped again without following links.
        self.follow = file is None
        self._file = open_regular(self.path) if file is None else file
        fd = self._file.fileno()
        size = os.fstat(fd).st_size
        head = os.pread(fd, 8, 0)
        if len(head) < 8:
            raise LibraryError(f"{self.path}: truncated (no safetensors header)")
        (n,) = struct.unpack("<Q", head)
        if n > min(size - 8, _MAX_HEADER):
            raise LibraryError(
                f"{self.path}: truncated or not a safetensors file (header of {n} bytes)"
            )
        raw = os.pread(fd, n, 8)
        try:
            header = json.loads(raw)
        except (ValueError, RecursionError):  # undecodable, or nested too deeply
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
                dtype, shape, begin, end, count = _entry(info)
            except (KeyError, TypeError, ValueError):
                raise LibraryError(f"{self.path}: corrupted header entry for {name!r}") from None
            if end > data_size:
                raise LibraryError(
                    f"{self.path}: truncated (tensor {name!r} ends at byte {end} of the data, "
                    f"the file holds {data_size})"
                )
            self.tensors[name] = (dtype, shape, self.data_start + begin, count)
        self._map: mmap.mmap | None = None

    def _whole(self) -> mmap.mmap:
        if self._map is None:
            self._map = mmap.mmap(self._file.fileno(), 0, access=mmap.ACCESS_READ)
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
        return _map_range(self._file.fileno(), dtype, shape, offset, count)


def map_range(
    path: str, dtype: str, shape: tuple[int, ...], offset: int, count: int, follow: bool = True
) -> np.ndarray:
    """One tensor of a file from a map of just its own bytes, unmapped as soon as the array
    (and every view of it) is gone: reading a model tensor by tensor keeps only the live
    ones resident. `follow` false: a library's file (no link followed)."""
    with open_regular(path, follow) as f:
        return _map_range(f.fileno(), dtype, shape, offset, count)


def _map_range(fd: int, dtype: str, shape: tuple[int, ...], offset: int, count: int):
    dt = np_dtype(dtype)
    if count == 0:
        return np.zeros(shape, dt)
    start = offset - offset % mmap.ALLOCATIONGRANULARITY
    m = mmap.mmap(fd, offset - start + count * dt.itemsize, access=mmap.ACCESS_READ, offset=start)
    return np.frombuffer(m, dt, count, offset - start).reshape(shape)
