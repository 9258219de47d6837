import inspect

import numpy as np
import oracle
import pytest

from velmora_dryx import kestrine as k

RNG = np.random.default_rng(85)
M = k.CompressionMethod
rand = oracle.sampler(RNG)
rel = oracle.rel


# Square, wide and tall working matrices; caps that bind and caps that do not.
CASES = [
    ((4, 6), 8),
    ((2, 3, 4, 5), 8),
    ((6, 5, 4), 2),
    ((3, 3, 3, 3, 3), 4),
    ((40, 3), 8),
    ((3, 40), 8),
    ((30, 20, 10), 5),
    ((64, 64), 8),
    ((7, 6, 5), 1),
    ((5, 1, 4), 3),
    ((100, 120), 8),  # few leading vectors of an upper bidiagonal
    ((120, 100), 8),  # ... and of a lower one
    ((40, 50, 30), 6),
    ((260, 300), 8),  # a large wide working matrix: the Gram route (float32 cores)
    ((256, 4, 70), 8),
    ((300, 260), 8),  # a large tall one: the Gram route through the right vectors
    ((1000, 130), 8),
    ((300, 2, 70), 8),
]


@pytest.mark.parametrize(("shape", "cap"), CASES)
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_matches_oracle(shape, cap, dtype):
    t = rand(shape, dtype)
    rec = k.tt_compress(t, cap)
    cores, meta = oracle.tt_compress(t, cap)
    assert rec.method is M.TENSOR_TRAIN
    assert rec.shape == shape and rec.dtype == np.dtype(dtype).name
    assert rec.factors == ()
    assert rec.metadata == meta and type(rec.metadata["ranks"]) is tuple
    assert [c.shape for c in rec.cores] == [c.shape for c in cores]
    assert all(c.dtype == dtype for c in rec.cores)
    tol = 1e-5 if dtype == np.float32 else 1e-10
    for c in rec.cores[:-1]:  # left-orthonormal: the singular values travel right
        u = c.reshape(-1, c.shape[2]).astype(np.float64)
        np.testing.assert_allclose(u.T @ u, np.eye(u.shape[1]), atol=tol)
    got = k.tt_decompress(rec)
    want = oracle.tt_decompress(cores, shape, t.dtype)
    assert got.shape == shape and got.dtype == dtype
    assert rel(got, want) < tol


def spectrum_matrix(m, n, values):
    q1 = np.linalg.qr(RNG.standard_normal((m, m)))[0]
    q2 = np.linalg.qr(RNG.standard_normal((n, n)))[0]
    s = np.zeros((m, n))
    s[np.arange(len(values)), np.arange(len(values))] = values
    return q1 @ s @ q2


@pytest.mark.parametrize(
    "values",
    [
        [9.0, 7.0, 5.0],  # rank 3 under a cap of 8: the kept tail is zero
        [5.0] * 4 + [4.0] * 4 + [1.0] * 30,  # repeated values inside the kept set
        np.logspace(0, -12, 60),  # a tail far below the leading value
        np.logspace(0, -30, 40),  # the eighth value far below the first
        [1e150, 3e149] + [1e148] * 6,  # squares beyond double precision's range
    ],
)
@pytest.mark.parametrize("size", [(100, 90), (270, 300), (300, 270)])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_structured_spectra_match_oracle(values, size, dtype):
    if dtype == np.float32 and max(values) > 1e30:
        pytest.skip("beyond float32's range")
    t = spectrum_matrix(*size, values).astype(dtype)
    rec = k.tt_compress(t, 8)
    cores, meta = oracle.tt_compress(t, 8)
    assert rec.metadata == meta
    got = k.tt_decompress(rec)
    want = oracle.tt_decompress(cores, t.shape, t.dtype)
    tol = 1e-5 if dtype == np.float32 else 1e-10
    np.testing.assert_allclose(got, want, atol=tol * np.abs(t).max())
    u = rec.cores[0].reshape(size[0], 8).astype(np.float64)
    np.testing.assert_allclose(u.T @ u, np.eye(8), atol=tol)


def test_documented_small_case():
    rec = k.tt_compress(rand((2, 3, 4, 5)))
    assert [c.shape for c in rec.cores] == [(1, 2, 2), (2, 3, 6), (6, 4, 5), (5, 5, 1)]
    assert rec.metadata == {"max_rank": 8, "ranks": (2, 6, 5)}
    assert rec.compressed_size_bytes == 185 * 8


@pytest.mark.parametrize("shape", [(4, 6), (2, 3, 4, 5), (3, 1, 7)])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_uncapped_train_reproduces_input(shape, dtype):
    t = rand(shape, dtype)
    back = k.tt_decompress(k.tt_compress(t, 10_000))
    assert rel(back, t) < (1e-6 if dtype == np.float32 else 1e-13)


@pytest.mark.parametrize(
    ("cap", "used"), [(0, 1), (-7, 1), (1, 1), (2.9, 2), (np.int32(3), 3), (2**80, 2**80)]
)
def test_cap_is_converted_and_clamped(cap, used):
    t = rand((4, 5, 6))
    rec = k.tt_compress(t, max_rank=cap)
    assert rec.metadata["max_rank"] == used
    assert rec.metadata == oracle.tt_compress(t, used)[1]


def test_cap_one_is_the_rank_one_train():
    t = rand((5, 4, 3))
    rec = k.tt_compress(t, 1)
    assert rec.metadata["ranks"] == (1, 1)
    want = oracle.tt_decompress(oracle.tt_compress(t, 1)[0], t.shape, t.dtype)
    assert rel(k.tt_decompress(rec), want) < 1e-10


def test_float32_input_is_decomposed_in_double():
    # A float32 sweep would lose the small tail that float64 keeps at full rank.
    t = (rand((16, 16)) * np.logspace(0, -6, 16)).astype(np.float32)
    rec = k.tt_compress(t, 16)
    assert rec.dtype == "float32" and all(c.dtype == np.float32 for c in rec.cores)
    want = oracle.tt_decompress(oracle.tt_compress(t, 16)[0], t.shape, t.dtype)
    np.testing.assert_allclose(k.tt_decompress(rec), want, rtol=1e-5, atol=1e-7)


@pytest.mark.parametrize("dtype", [np.float16, np.int32])
def test_other_element_types_are_converted_back(dtype):
    t = (rand((4, 5, 3)) * 8).astype(dtype)
    rec = k.tt_compress(t, 100)
    cores, meta = oracle.tt_compress(t, 100)
    assert rec.metadata == meta and rec.dtype == np.dtype(dtype).name
    assert all(c.dtype == oracle.stored(dtype) for c in rec.cores)
    if dtype == np.float16:
        back = k.tt_decompress(rec)
        assert back.dtype == np.float16
        assert rel(back, t) < 1e-2


@pytest.mark.parametrize("make", [np.asfortranarray, lambda t: t[::2, :, ::-1]])
def test_any_layout_gives_the_same_train(make):
    t = make(rand((8, 5, 6), np.float32))
    rec = k.tt_compress(t, 3)
    cores, meta = oracle.tt_compress(t, 3)
    assert rec.metadata == meta
    assert rel(k.tt_decompress(rec), oracle.tt_decompress(cores, t.shape, t.dtype)) < 1e-5


def test_input_is_not_modified():
    t = rand((6, 5, 4))
    before = t.copy()
    k.tt_compress(t, 2)
    np.testing.assert_array_equal(t, before)


def test_empty_tensor_round_trips():
    rec = k.tt_compress(np.zeros((3, 0, 2), np.float32))
    assert rec.metadata["ranks"] == (0, 0)
    back = k.tt_decompress(rec)
    assert back.shape == (3, 0, 2) and back.dtype == np.float32


def test_non_finite_input_raises_linalg_error():
    t = rand((4, 4))
    t[0, 0] = np.inf
    with pytest.raises(np.linalg.LinAlgError, match="SVD did not converge"):
        k.tt_compress(t)


# Finite input whose cores leave the element type's range fails as the SVD route does.
@pytest.mark.parametrize(
    "t",
    [
        np.full((8, 6), 3e38, np.float32),
        np.full((4, 3, 5), 3e38, np.float32),
        np.full((8, 6), 6e4, np.float16),  # converted back by numpy
    ],
)
@pytest.mark.filterwarnings("ignore:overflow encountered in cast")
def test_cores_out_of_range_raise_linalg_error(t):
    with pytest.raises(np.linalg.LinAlgError, match="SVD did not converge"):
        k.tt_compress(t)


@pytest.mark.parametrize(
    ("method", "text"),
    [(M.TUCKER, "CompressionMethod.TUCKER"), (M.SVD, "CompressionMethod.SVD"), ("tt", "tt")],
)
def test_decompress_refuses_other_records(method, text):
    rec = k.CompressedTensor(method, (2, 2), "float64", (np.ones((1, 2, 1)), np.ones((1, 2, 1))))
    with pytest.raises(ValueError, match=f"^Expected TENSOR_TRAIN, got {text}$"):
        k.tt_decompress(rec)


def test_contraction_stays_in_the_cores_type():
    t = rand((6, 7, 8), np.float32)
    rec = k.tt_compress(t, 3)
    widened = k.CompressedTensor(M.TENSOR_TRAIN, rec.shape, "float64", rec.cores)
    got = k.tt_decompress(widened)
    assert got.dtype == np.float64
    # Contracted in float32 first, then converted: equal to the float32 result exactly.
    np.testing.assert_array_equal(got, k.tt_decompress(rec).astype(np.float64))


def test_mixed_core_types_promote_like_numpy():
    cores = (rand((1, 3, 2), np.float32), rand((2, 4, 1)))
    rec = k.CompressedTensor(M.TENSOR_TRAIN, (3, 4), "float64", cores)
    np.testing.assert_allclose(k.tt_decompress(rec), oracle.tt_decompress(cores, (3, 4), "float64"))


@pytest.mark.parametrize(
    ("cores", "shape", "exc"),
    [
        ((np.ones((1, 3, 2)), np.ones((3, 4, 1))), (3, 4), ValueError),  # bonds do not chain
        ((np.ones((1, 3, 2)), np.ones((2, 4, 1))), (5, 5), ValueError),  # wrong element count
        ((), (3,), IndexError),
    ],
)
def test_decompress_of_inconsistent_records_raises_numpy_errors(cores, shape, exc):
    rec = k.CompressedTensor(M.TENSOR_TRAIN, shape, "float64", cores)
    with pytest.raises(exc):
        k.tt_decompress(rec)


@pytest.mark.parametrize(
    ("fn", "text"),
    [
        (k.tt_compress, "(tensor: 'np.ndarray', max_rank: 'int' = 8) -> 'CompressedTensor'"),
        (k.tt_decompress, "(compressed: 'CompressedTensor') -> 'np.ndarray'"),
    ],
)
def test_signatures(fn, text):
    assert str(inspect.signature(fn)) == text
