"""Native GGUF reading: dequantization against gguf.quants.dequantize, state dicts through
the native reader, and damaged files refused before anything is allocated."""

from __future__ import annotations

import os
import struct

import numpy as np
import pytest
from data import write_gguf

from velmora_dryx import bramwick

gguf = pytest.importorskip("gguf")
Q = gguf.GGMLQuantizationType

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")

NATIVE = ["F16", "BF16", "Q4_0", "Q4_1", "Q5_0", "Q5_1", "Q8_0", "Q2_K", "Q3_K", "Q4_K", "Q5_K"]
NATIVE += ["Q6_K", "IQ4_NL", "IQ4_XS", "MXFP4"]
# Byte offsets of each block's float16 scale fields.
SCALES = {"Q4_0": [0], "Q4_1": [0, 2], "Q5_0": [0], "Q5_1": [0, 2], "Q8_0": [0]}
SCALES |= {"Q2_K": [80, 82], "Q3_K": [108], "Q4_K": [0, 2], "Q5_K": [0, 2], "Q6_K": [208]}
SCALES |= {"IQ4_NL": [0], "IQ4_XS": [0], "F16": None, "BF16": None, "MXFP4": []}


def blocks(name, rows, n_blocks, finite=True, seed=0):
    """Valid blocks: quantized by the gguf package where it can, else random payloads with
    finite scales (or, finite=False, any bytes at all: NaN and inf scales included)."""
    rng = np.random.default_rng(seed)
    qtype = Q[name]
    size, nbytes = gguf.GGML_QUANT_SIZES[qtype]
    if finite and name in ("F16", "BF16", "Q4_0", "Q4_1", "Q5_0", "Q5_1", "Q8_0", "MXFP4"):
        x = rng.standard_normal((rows, n_blocks * size)).astype(np.float32)
        raw = gguf.quants.quantize(x, qtype)
        return raw.view(np.uint8).reshape(rows, -1)
    raw = rng.integers(0, 256, (rows, n_blocks, nbytes), dtype=np.uint8)
    if finite:
        halves = rng.uniform(-2, 2, (rows, n_blocks, 2)).astype(np.float16).view(np.uint8)
        for off in SCALES.get(name, []):
            raw[:, :, off : off + 2] = halves[:, :, 0:2] if off % 4 == 0 else halves[:, :, 2:4]
    return raw.reshape(rows, -1)


def assert_same(got, ref):
    """Equal bit for bit, NaN where the reference has NaN."""
    assert got.dtype == np.float32 and got.shape == ref.shape
    nan = np.isnan(ref)
    np.testing.assert_array_equal(np.isnan(got), nan)
    np.testing.assert_array_equal(got[~nan].view(np.uint32), ref[~nan].view(np.uint32))


@pytest.mark.parametrize("name", NATIVE)
@pytest.mark.parametrize("finite", [True, False])
@pytest.mark.parametrize("shape", [(1, 1), (7, 3), (2, 3, 2)])
def test_dequantize_matches_gguf(name, finite, shape):
    raw = blocks(name, int(np.prod(shape[:-1])), shape[-1], finite)
    raw = raw.reshape(*shape[:-1], -1)
    ref = gguf.quants.dequantize(raw, Q[name])
    assert_same(bramwick.dequantize(raw, Q[name]), ref)
    assert_same(bramwick.dequantize(raw, int(Q[name])), ref)


def layouts(raw):
    buf = np.zeros(raw.nbytes + 1, np.uint8)
    buf[1:] = raw.ravel()
    yield "rows skipped", np.repeat(raw, 2, axis=0)[::2]
    yield "fortran order", np.asfortranarray(raw)
    yield "misaligned", np.frombuffer(buf.data, np.uint8, offset=1).reshape(raw.shape)
    yield "read-only", np.frombuffer(raw.tobytes(), np.uint8).reshape(raw.shape)


@pytest.mark.parametrize("name", ["Q8_0", "Q4_K", "Q6_K", "F16"])
def test_dequantize_any_layout(name):
    raw = blocks(name, 5, 3)
    ref = gguf.quants.dequantize(raw, Q[name])
    for _, data in layouts(raw):
        assert_same(bramwick.dequantize(data, Q[name]), ref)


@pytest.mark.parametrize("name", ["IQ2_XXS", "TQ1_0", "IQ1_M"])
def test_dequantize_other_types_go_through_gguf(name):
    raw = blocks(name, 2, 2)
    assert_same(bramwick.dequantize(raw, Q[name]), gguf.quants.dequantize(raw, Q[name]))


@pytest.mark.parametrize(
    "data, qtype, error, match",
    [
        (np.zeros((2, 35), np.uint8), Q.Q8_0, ValueError, r"bytes per row \(35\).*Q8_0.*\(34\)"),
        (np.zeros(17, np.uint8), Q.Q4_K, ValueError, r"bytes per row \(17\)"),
        (np.zeros(3, np.uint8), Q.F16, ValueError, r"bytes per row \(3\)"),
        (np.uint8(3), Q.Q8_0, ValueError, "at least one axis"),
        (np.zeros(34, np.int8), Q.Q8_0, TypeError, "uint8"),
        (np.zeros(34, np.float32), Q.Q8_0, TypeError, "uint8"),
        (np.zeros(34, np.uint8), "Q8_0", TypeError, "qtype"),
        (np.zeros(34, np.uint8), -1, ValueError, "not a GGML quantization type"),
        (np.zeros(34, np.uint8), 99, ValueError, "99"),
        (np.zeros(40, np.uint8), Q.Q8_1, NotImplementedError, "Q8_1"),
    ],
)
def test_dequantize_refuses_bad_input(data, qtype, error, match):
    with pytest.raises(error, match=match):
        bramwick.dequantize(data, qtype)


# ------------------------------------------------------ float32 to the 16-bit types


def rounding_points(seed=0):
    """float32 patterns at and around every rounding point the 16-bit types meet (exact,
    just below, at and just past a tie, for each count of dropped bits from 13 to 24, so
    normal and subnormal results), every bfloat16 pattern's neighbourhood, and random
    patterns: NaN, infinities and subnormals included."""
    rng = np.random.default_rng(seed)
    parts = [rng.integers(0, 2**32, 1 << 18, dtype=np.uint64)]
    for dropped, tops in [(16, np.arange(2**16)), (13, np.arange(2**19))]:
        tie = 1 << (dropped - 1)
        low = np.array([0, 1, tie - 1, tie, tie + 1, 2 * tie - 1], np.uint64)
        parts.append(((tops.astype(np.uint64) << dropped)[:, None] | low).ravel())
    for dropped in range(14, 25):
        tie = 1 << (dropped - 1)
        top = rng.integers(0, 2**32, 20_000, dtype=np.uint64) >> np.uint64(dropped)
        low = np.array([0, 1, tie - 1, tie, tie + 1, 2 * tie - 1], np.uint64)
        parts.append(((top << np.uint64(dropped))[:, None] | low).ravel())
    return np.concatenate(parts).astype(np.uint32).view(np.float32)


@pytest.mark.parametrize("dtype, qtype", [("float16", Q.F16), ("bfloat16", Q.BF16)])
def test_quantize_rounds_to_nearest_even_as_the_oracle(dtype, qtype):
    from oracle import round_half, widen_half

    x = rounding_points()
    got = bramwick.quantize(x, qtype)
    assert got.dtype == np.uint8 and got.shape == (2 * x.size,)
    np.testing.assert_array_equal(got.view(np.uint16), round_half(x, dtype))
    # Any layout, and back through dequantize exactly.
    grid = x[: 3 * 4096].reshape(3, 4096)[:, ::2]
    ref = round_half(grid, dtype)
    np.testing.assert_array_equal(bramwick.quantize(grid, int(qtype)).view(np.uint16), ref)
    assert_same(bramwick.dequantize(bramwick.quantize(grid, qtype), qtype), widen_half(ref, dtype))


@pytest.mark.torch
@pytest.mark.parametrize("dtype", ["float16", "bfloat16"])
def test_quantize_rounds_as_torch(dtype):
    import torch

    x = rounding_points(seed=1)
    x = x[~np.isnan(x)]  # torch writes one NaN pattern of its own
    theirs = torch.from_numpy(x).to(getattr(torch, dtype)).view(torch.int16).numpy()
    ours = bramwick.quantize(x, Q.F16 if dtype == "float16" else Q.BF16)
    np.testing.assert_array_equal(ours.view(np.int16), theirs)


@pytest.mark.parametrize(
    "values, qtype, error, match",
    [
        (np.zeros(3, np.float64), Q.F16, TypeError, "values must be a float32 array"),
        (np.float32(1.0), Q.BF16, ValueError, "at least one axis"),
        (np.zeros(32, np.float32), Q.Q8_0, ValueError, "no conversion from float32 to type Q8_0"),
        (np.zeros(3, np.float32), -1, ValueError, "not a GGML quantization type"),
    ],
)
def test_quantize_refuses_bad_input(values, qtype, error, match):
    with pytest.raises(error, match=match):
        bramwick.quantize(values, qtype)


# ----------------------------------------------------------------------- state dicts


@pytest.fixture
def mixed_file(tmp_path):
    rng = np.random.default_rng(3)
    tensors = {
        "token_embd.weight": rng.standard_normal((3, 8)).astype(np.float32),
        "attn_q.weight": rng.standard_normal((2, 16)).astype(np.float16),
        "rope.freqs": np.linspace(0, 1, 5),
    }
    for name, shape in [("Q8_0", (4, 2)), ("Q4_K", (3, 1)), ("Q6_K", (2, 2)), ("BF16", (3, 5))]:
        tensors[f"{name}.weight"] = (blocks(name, *shape).reshape(shape[0], -1), Q[name])
    tensors["experts.Q5_K"] = (blocks("Q5_K", 6, 1).reshape(2, 3, -1), Q.Q5_K)
    tensors["IQ2_XXS.weight"] = (blocks("IQ2_XXS", 2, 1), Q.IQ2_XXS)
    path = tmp_path / "mixed.gguf"
    write_gguf(path, tensors)
    return path


@pytest.mark.parametrize("extra", [{}, {"positions": np.arange(-2, 5, dtype=np.int32)}])
def test_native_raw_tensors_equal_the_readers(mixed_file, tmp_path, extra):
    if extra:  # integers come back as their bytes too
        mixed_file = tmp_path / "ints.gguf"
        write_gguf(mixed_file, {"w": np.ones((2, 3), np.float16), **extra})
    raw = bramwick.load_gguf_tensors(mixed_file)
    got = bramwick.gguf_raw_tensors(mixed_file)
    assert list(got) == list(raw)
    for name, want in raw.items():
        assert got[name].dtype == want.dtype and got[name].shape == want.shape
        assert got[name].tobytes() == want.tobytes()
        assert got[name].base is not None and not got[name].flags.writeable


def test_load_gguf_state_dict_matches_reader(mixed_file):
    raw = bramwick.load_gguf_tensors(mixed_file)
    reader = gguf.GGUFReader(str(mixed_file))
    got = bramwick.load_gguf_state_dict(str(mixed_file))
    assert list(got) == list(raw)
    for t in reader.tensors:
        want = raw[t.name]
        if want.dtype.kind != "f" or t.tensor_type == Q.BF16:
            want = gguf.quants.dequantize(want, t.tensor_type)
        assert_same(got[t.name], want.astype(np.float32))
        assert got[t.name].flags.c_contiguous and got[t.name].flags.writeable


@pytest.mark.parametrize(
    "tensors, match",
    [
        ({"positions": np.arange(4, dtype=np.int32)}, "'positions' has type I32, which has no"),
        ({"q1": (np.zeros((1, 18), np.uint8), Q.Q1_0)}, "'q1' has type Q1_0"),
    ],
)
def test_load_gguf_state_dict_refuses_types_without_float_form(tmp_path, tensors, match):
    path = tmp_path / "m.gguf"
    write_gguf(path, tensors)
    with pytest.raises(ValueError, match=match):
        bramwick.load_gguf_state_dict(path)


def test_big_endian_files(tmp_path):
    path = tmp_path / "be.gguf"
    w = gguf.GGUFWriter(str(path), "llama", endianess=gguf.GGUFEndian.BIG)
    w.add_tensor("w", np.arange(6, dtype=np.float32).reshape(2, 3))
    w.write_header_to_file()
    w.write_kv_data_to_file()
    w.write_tensors_to_file()
    w.close()
    np.testing.assert_array_equal(bramwick.load_gguf_tensors(path)["w"], np.arange(6).reshape(2, 3))
    np.testing.assert_array_equal(bramwick.gguf_raw_tensors(path)["w"], np.arange(6).reshape(2, 3))
    with pytest.raises(ValueError, match="other byte order"):
        bramwick.load_gguf_state_dict(path)


# -------------------------------------------------------------------- damaged files

U8, U32, STR, ARR, U64 = 0, 4, 8, 9, 10


def s(text: bytes) -> bytes:
    return struct.pack("<Q", len(text)) + text


def kv(key: bytes, vtype: int, payload: bytes) -> bytes:
    return s(key) + struct.pack("<I", vtype) + payload


def info(name=b"w", dims=(4,), qtype=0, offset=0) -> bytes:
    d = b"".join(struct.pack("<Q", x) for x in dims)
    return s(name) + struct.pack("<I", len(dims)) + d + struct.pack("<IQ", qtype, offset)


def gguf_file(kvs=(), infos=(), n_kv=None, n_tensors=None, version=3, data=b"\0" * 16):
    head = b"GGUF" + struct.pack("<IQQ", version, n_tensors or len(infos), n_kv or len(kvs))
    body = head + b"".join(kvs) + b"".join(infos)
    return body + b"\0" * (-len(body) % 32) + data


def nested(depth):
    return struct.pack("<IQ", ARR, 1) * depth + struct.pack("<IQ", U8, 0)


DAMAGED = {
    "empty": (b"", "too short"),
    "bad magic": (b"GGML" + bytes(20), "bad magic"),
    "version 1": (gguf_file(version=1), "unsupported version 1"),
    "version 4": (gguf_file(version=4), "unsupported version 4"),
    "cut header": (gguf_file()[:14], "truncated"),
    "2**62 entries": (gguf_file(n_kv=2**62, data=b""), "truncated"),
    "1e6 uint8": (gguf_file([kv(b"a", ARR, struct.pack("<IQ", U8, 10**6))]), "10000"),
    "2**62 uint8": (gguf_file([kv(b"a", ARR, struct.pack("<IQ", U8, 2**62))]), "array items"),
    "2**62 u64": (gguf_file([kv(b"a", ARR, struct.pack("<IQ", U64, 2**62))]), "array items"),
    "2**60 strings": (gguf_file([kv(b"a", ARR, struct.pack("<IQ", STR, 2**60))]), "items"),
    "long string": (gguf_file([kv(b"a", STR, struct.pack("<Q", 2**63))]), "truncated"),
    "long key": (gguf_file([struct.pack("<Q", 2**64 - 1)]), "truncated"),
    "value type": (gguf_file([kv(b"a", 13, b"")]), "unknown value type 13"),
    "item type": (gguf_file([kv(b"a", ARR, struct.pack("<IQ", 77, 1))]), "unknown value type"),
    "deep arrays": (gguf_file([kv(b"a", ARR, nested(1000))]), "deeper than"),
    "key not utf-8": (gguf_file([kv(b"\xff", U8, b"\0")]), "UTF-8"),
    "duplicate key": (gguf_file([kv(b"a", U8, b"\0")] * 2), "duplicate key 'a'"),
    "reserved key": (gguf_file([kv(b"GGUF.version", U8, b"\0")]), "duplicate key"),
    "alignment 0": (gguf_file([kv(b"general.alignment", U32, bytes(4))]), "power of two"),
    "alignment 24": (gguf_file([kv(b"general.alignment", U32, b"\x18\0\0\0")]), "power"),
    "alignment type": (gguf_file([kv(b"general.alignment", U8, b"\x20")]), "not a uint32"),
    "1e6 tensors": (gguf_file(n_tensors=10**6, data=b""), "truncated"),
    "tensor name": (gguf_file(infos=[info(name=b"\xc0\x80")]), "not valid UTF-8"),
    "same tensor": (gguf_file(infos=[info(), info()]), "duplicate tensor 'w'"),
    "dims": (gguf_file(infos=[info(dims=(2**32, 2**32))]), "2\\*\\*64"),
    "huge dim": (gguf_file(infos=[info(dims=(0, 2**64 - 1))]), "dimension of"),
    "many dims": (gguf_file(infos=[info(dims=(1,) * 65)]), "65 dimensions"),
    "type": (gguf_file(infos=[info(qtype=99)]), "unknown type 99"),
    "partial block": (gguf_file(infos=[info(dims=(33,), qtype=8)]), "whole blocks of 32"),
    "scalar blocks": (gguf_file(infos=[info(dims=(), qtype=8)]), "a scalar"),
    "offset 2**64-1": (gguf_file(infos=[info(offset=2**64 - 1)]), "outside the data"),
    "past the end": (gguf_file(infos=[info(dims=(5,))]), "20 bytes at offset 0"),
    "late offset": (gguf_file(infos=[info(offset=4)]), "outside the data section of 16"),
}


LOADERS = [bramwick.load_gguf_tensors, bramwick.load_gguf_state_dict, bramwick.gguf_raw_tensors]


@pytest.mark.parametrize("case", list(DAMAGED))
@pytest.mark.parametrize("load", LOADERS)
def test_damaged_files_raise_one_clear_error(tmp_path, case, load):
    content, match = DAMAGED[case]
    path = tmp_path / "bad.gguf"
    path.write_bytes(content)
    with pytest.raises(ValueError, match=match) as exc:
        load(path)
    assert str(exc.value).startswith(f"{path}: not a valid GGUF file (")


def test_well_formed_edge_files_still_load(tmp_path):
    # Valid but unusual: an empty array of an unknown item type, nested arrays, a 0-d tensor.
    kvs = [kv(b"e", ARR, struct.pack("<IQ", 77, 0)), kv(b"n", ARR, nested(3))]
    kvs.append(kv(b"general.alignment", U32, struct.pack("<I", 64)))
    path = tmp_path / "edge.gguf"
    body = gguf_file(kvs, [info(dims=()), info(b"v", (2,), 0, 4)], data=b"")
    path.write_bytes(body + b"\0" * (-len(body) % 64) + np.float32([1, 2, 3]).tobytes())
    got = bramwick.load_gguf_tensors(path)
    assert got["w"].shape == () and got["v"].tolist() == [2, 3]
    assert bramwick.load_gguf_state_dict(path)["v"].tolist() == [2, 3]


@pytest.mark.parametrize("load", LOADERS)
def test_files_that_are_not_regular(tmp_path, load):
    with pytest.raises(FileNotFoundError, match="No such file"):
        load(tmp_path / "missing.gguf")
    with pytest.raises(IsADirectoryError):
        load(tmp_path)
    fifo = tmp_path / "fifo.gguf"
    os.mkfifo(fifo)
    with pytest.raises(ValueError, match="not a regular file"):  # and never blocks
        load(fifo)
