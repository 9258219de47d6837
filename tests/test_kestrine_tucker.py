import inspect
import math

import numpy as np
import oracle
import pytest

from velmora_dryx import kestrine as k

RNG = np.random.default_rng(1208)
M = k.CompressionMethod
rand = oracle.sampler(RNG)
rel = oracle.rel


# (shape, rank_ratio, min_rank): square, wide and tall unfoldings, ranks capped by the
# unfolding, several orders.
CASES = [
    ((8, 6, 4), 0.5, 1),
    ((10, 3), 0.5, 1),
    ((3, 10), 0.7, 1),
    ((5, 7), 1.0, 1),
    ((3, 4, 5, 6), 0.4, 2),
    ((20, 3, 3), 0.5, 1),
    ((40, 30, 20), 0.3, 1),
    ((64, 64), 0.25, 1),
    ((2, 2, 2, 2, 2), 0.5, 1),
    ((9, 9, 9), 0.5, 100),
    ((20, 30, 100), 0.7, 1),  # every reconstruction product direct
]


@pytest.mark.parametrize(("shape", "ratio", "min_rank"), CASES)
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_matches_oracle(shape, ratio, min_rank, dtype):
    t = rand(shape, dtype)
    rec = k.tucker_compress(t, ratio, min_rank)
    core, factors, meta = oracle.tucker_compress(t, ratio, min_rank)
    assert rec.method is M.TUCKER
    assert rec.shape == shape and rec.dtype == np.dtype(dtype).name
    assert rec.metadata == meta
    assert type(rec.metadata["ranks"]) is tuple
    assert rec.cores[0].shape == core.shape and rec.cores[0].dtype == dtype
    assert [f.shape for f in rec.factors] == [f.shape for f in factors]
    assert all(f.dtype == dtype for f in rec.factors)
    tol = 2e-4 if dtype == np.float32 else 1e-10
    for f in rec.factors:  # orthonormal columns
        np.testing.assert_allclose(f.T.astype(np.float64) @ f, np.eye(f.shape[1]), atol=tol)
    got = k.tucker_decompress(rec)
    want = oracle.tucker_decompress(core, factors, t.dtype)
    assert got.shape == shape and got.dtype == dtype
    assert rel(got, want) < tol


@pytest.mark.parametrize("shape", [(8, 6, 4), (10, 3), (3, 4, 5, 6), (50, 2, 3)])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_full_rank_reproduces_input(shape, dtype):
    t = rand(shape, dtype)
    back = k.tucker_decompress(k.tucker_compress(t, 1.0))
    assert back.dtype == dtype
    assert rel(back, t) < (1e-5 if dtype == np.float32 else 1e-12)


@pytest.mark.parametrize(
    ("ratio", "stored", "ranks"),
    [
        (0.0, 0.01, (1, 1)),
        (-2.0, 0.01, (1, 1)),
        (0.001, 0.01, (1, 1)),
        (0.07, 0.07, (8, 4)),  # 100 * 0.07 is just above 7 in double precision
        (1.0, 1.0, (50, 50)),
        (5.0, 1.0, (50, 50)),
        (math.inf, 1.0, (50, 50)),
    ],
)
def test_ratio_is_clamped(ratio, stored, ranks):
    rec = k.tucker_compress(rand((100, 50)), ratio)
    assert rec.metadata["rank_ratio"] == stored
    assert rec.metadata["ranks"] == ranks


@pytest.mark.parametrize(
    ("min_rank", "ranks"), [(0, (3, 2, 2)), (-5, (3, 2, 2)), (40, (6, 4, 3)), (2**70, (6, 4, 3))]
)
def test_min_rank_is_capped_by_the_unfolding(min_rank, ranks):
    t = rand((6, 4, 3))
    rec = k.tucker_compress(t, 0.5, min_rank)
    assert rec.metadata["ranks"] == ranks == oracle.tucker_compress(t, 0.5, min_rank)[2]["ranks"]


def test_parameters_convert_on_entry():
    t = rand((6, 4))
    rec = k.tucker_compress(t, rank_ratio=np.float32(0.5), min_rank=2.9)
    assert rec.metadata == {"rank_ratio": 0.5, "ranks": (3, 2)}
    with pytest.raises(TypeError, match="Argument 'min_rank' has incorrect type"):
        k.tucker_compress(t, 0.5, "2")


@pytest.mark.parametrize("make", [np.asfortranarray, lambda t: t.transpose(1, 0, 2)[::-1]])
def test_any_layout_gives_the_same_decomposition(make):
    t = make(rand((7, 6, 5), np.float32))
    rec = k.tucker_compress(t, 0.5)
    _, factors, meta = oracle.tucker_compress(np.ascontiguousarray(t), 0.5)
    assert rec.metadata == meta
    want = oracle.tucker_decompress(*oracle.tucker_compress(t, 0.5)[:2], t.dtype)
    assert rel(k.tucker_decompress(rec), want) < 2e-4


@pytest.mark.parametrize("dtype", [np.int64, np.complex128])
def test_other_element_types_follow_numpy(dtype):
    t = (rand((5, 4, 3)) * 10).astype(dtype)
    rec = k.tucker_compress(t, 0.6)
    core, factors, meta = oracle.tucker_compress(t, 0.6)
    assert rec.metadata == meta and rec.dtype == np.dtype(dtype).name
    np.testing.assert_array_equal(rec.cores[0], core)
    for a, b in zip(rec.factors, factors, strict=True):
        np.testing.assert_array_equal(a, b)


def test_float16_is_refused_by_numpy():
    with pytest.raises(TypeError, match="float16"):
        k.tucker_compress(np.ones((3, 4), np.float16))


def test_non_finite_input_raises_linalg_error():
    t = rand((6, 5))
    t[2, 3] = np.nan
    with pytest.raises(np.linalg.LinAlgError, match="SVD did not converge"):
        k.tucker_compress(t)


def test_input_is_not_modified():
    t = rand((12, 5, 4), np.float32)
    before = t.copy()
    k.tucker_compress(t, 0.5)
    np.testing.assert_array_equal(t, before)


@pytest.mark.parametrize("shape", [(5,), ()])
@pytest.mark.parametrize(
    ("compress", "label"), [(k.tucker_compress, "Tucker"), (k.tt_compress, "TT")]
)
def test_fewer_than_two_dimensions(compress, label, shape):
    with pytest.raises(ValueError, match=f"^{label} requires ndim >= 2, got {len(shape)}$"):
        compress(np.ones(shape))


@pytest.mark.parametrize(
    ("method", "text"),
    [
        (M.SVD, "CompressionMethod.SVD"),
        (M.TENSOR_TRAIN, "CompressionMethod.TENSOR_TRAIN"),
        ("tucker", "tucker"),
    ],
)
def test_decompress_refuses_other_records(method, text):
    rec = k.CompressedTensor(method, (2, 2), "float64", (np.ones((2, 2)),), (np.eye(2),) * 2)
    with pytest.raises(ValueError, match=f"^Expected TUCKER, got {text}$"):
        k.tucker_decompress(rec)


def test_decompress_follows_the_factors_and_dtype():
    core = rand((2, 3))
    factors = (rand((5, 2)), rand((4, 3)))
    rec = k.CompressedTensor(M.TUCKER, (99,), "float32", (core,), factors)
    got = k.tucker_decompress(rec)
    assert got.shape == (5, 4) and got.dtype == np.float32
    np.testing.assert_allclose(got, factors[0] @ core @ factors[1].T, rtol=1e-6)


@pytest.mark.parametrize(
    ("fn", "text"),
    [
        (
            k.tucker_compress,
            "(tensor: 'np.ndarray', rank_ratio: 'float' = 0.5, min_rank: 'int' = 1)"
            " -> 'CompressedTensor'",
        ),
        (k.tucker_decompress, "(compressed: 'CompressedTensor') -> 'np.ndarray'"),
    ],
)
def test_signatures(fn, text):
    assert str(inspect.signature(fn)) == text
