"""Hostile inputs: lying array-likes, misaligned buffers, integer tensors, NaN ratios,
oversized records and damaged safetensors shards."""

import math
import sys

import numpy as np
import oracle
import pytest
from lornet_support import write_shard

from velmora_dryx import kestrine as k
from velmora_dryx import lornet
from velmora_dryx import tamsel as t

COMPRESSORS = [k.svd_compress, k.svd_compress_energy, k.tt_compress, k.tucker_compress]


class Duck:
    """Declares a large float32 matrix; its reshape and astype return four elements."""

    ndim, dtype = 2, np.dtype(np.float32)

    def __init__(self, shape=(3000, 3000)):
        self.shape = shape

    def reshape(self, *args, **kwargs):
        return np.zeros(4, np.float32)

    astype = reshape


class LyingShape(np.ndarray):
    @property
    def shape(self):
        return (4000, 4000)


LIARS = {
    "duck": Duck,
    "ndarray subclass": lambda: np.zeros((4, 4), np.float32).view(LyingShape),
    "empty shape, ndim 2": lambda: Duck(()),
    "negative extent": lambda: Duck((-3, 4)),
}


@pytest.mark.parametrize("compress", COMPRESSORS)
@pytest.mark.parametrize("make", LIARS.values(), ids=LIARS.keys())
def test_sizes_come_from_the_data_read(compress, make):
    with pytest.raises(ValueError):
        compress(make())


def misaligned(a):
    """A copy of `a` whose data starts one byte past an aligned address."""
    raw = np.zeros(a.nbytes + 1, np.uint8)
    out = np.frombuffer(raw.data, a.dtype, a.size, offset=1).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned
    return out


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize(
    "run",
    [
        lambda x: k.decompress(k.svd_compress(x)),
        lambda x: k.decompress(k.svd_compress_energy(x)),
        lambda x: k.decompress(k.tt_compress(x, 3)),
        lambda x: k.decompress(k.tucker_compress(x)),
        lambda x: k._mode_dot(x, np.eye(4, dtype=x.dtype), 0),
        lambda x: np.float64(k._relative_frobenius_error(x, x * 2)),
        lambda x: np.float64(t.reconstruction_error({"w": x}, {"w": x * 2})),
    ],
)
def test_misaligned_arrays_give_the_aligned_result(rng, dtype, run):
    x = rng.standard_normal((4, 6, 5)).astype(dtype)
    np.testing.assert_allclose(run(misaligned(x)), run(x), rtol=1e-6)


def test_tucker_record_naming_more_than_64_bits_of_elements_is_refused():
    factors = (np.ones((2**11, 1), np.float32),) * 6 + (np.ones((0, 1), np.float32),)
    core = np.ones((1,) * 7, np.float32)
    rec = k.CompressedTensor(k.CompressionMethod.TUCKER, (), "float32", (core,), factors)
    with pytest.raises(ValueError, match="too big"):
        k.tucker_decompress(rec)


@pytest.mark.parametrize("dtype", [np.int8, np.int64, np.uint16, np.bool_])
@pytest.mark.parametrize("method", ["svd", "tucker", "tt"])
def test_integer_inputs_keep_float64_factors(rng, dtype, method):
    x = rng.integers(0, 2 if dtype is np.bool_ else 9, (6, 5)).astype(dtype)
    rec = k.compress(x, method, rank_ratio=1.0, max_rank=100)
    assert rec.dtype == np.dtype(dtype).name
    assert all(a.dtype == np.float64 for a in rec.cores + rec.factors)
    back = k.decompress(rec)
    assert back.dtype == np.float64
    assert oracle.relative_frobenius_error(x.astype(np.float64), back) < 1e-12


@pytest.mark.parametrize(
    "call",
    [
        lambda x: k.svd_compress(x, math.nan),
        lambda x: k.svd_compress_energy(x, math.nan),
        lambda x: k.tucker_compress(x, math.nan),
        lambda x: k.compress(x, "svd", rank_ratio=math.nan),
        lambda x: k.compress(x, "tucker", rank_ratio=math.nan),
    ],
)
def test_nan_ratio_or_energy_is_refused(call):
    with pytest.raises(ValueError, match="must not be NaN"):
        call(np.ones((4, 3)))


@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.complex128])
def test_recorded_svd_rank_is_the_rank_kept(dtype):
    rec = k.svd_compress(np.ones((8, 6), dtype), 0.5, 100)
    assert rec.metadata["rank"] == len(rec.cores[0]) == 6


@pytest.mark.parametrize(
    ("shape", "dtype", "size"),
    [
        ((2**62, 4), "float32", 2**66),
        ((np.int64(2**62), 4), "float64", 2**67),
        ([2**40, 2**40], "float32", 2**82),
    ],
)
def test_original_size_does_not_wrap(shape, dtype, size):
    rec = k.CompressedTensor(k.CompressionMethod.NONE, shape, dtype, ())
    assert rec.original_size_bytes == size


def _truncated(path):
    write_shard(path, {"w": np.ones(4, np.float32)})
    path.write_bytes(path.read_bytes()[:-4])


def _bad_header(path):
    path.write_bytes(b"\x10\0\0\0\0\0\0\0{not json}      ")


@pytest.mark.parametrize("damage", [_truncated, _bad_header])
def test_damaged_shard_raises_its_own_error_naming_the_shard(monkeypatch, tmp_path, damage):
    safetensors = pytest.importorskip("safetensors")
    damage(tmp_path / "model.safetensors")
    monkeypatch.setitem(sys.modules, "torch", None)
    monkeypatch.setattr(lornet, "_bf16_safe_load", lambda *a: pytest.fail("fallback ran"))
    with pytest.raises(safetensors.SafetensorError) as info:
        lornet.load_state_dict_numpy_safe(tmp_path)
    assert info.value.__notes__ == [f"while loading the shard {tmp_path / 'model.safetensors'}"]
