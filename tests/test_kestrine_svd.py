import numpy as np
import oracle
import pytest
from data import low_rank

from velmora_dryx import kestrine as k

SHAPES = [
    (1, 1),
    (1, 7),
    (7, 1),
    (2, 3),
    (3, 2),
    (17, 17),
    (97, 17),
    (17, 97),
    (97, 3),
    (3, 97),
    (64, 40),
    (40, 64),
    (5, 4, 3),
    (4, 5, 6),
    (3, 2, 17, 2),
    (2, 3, 4, 5),
]
DTYPES = [np.float32, np.float64]


def reconstruction_tolerance(dtype, mat):
    eps = np.finfo(dtype).eps
    return 200 * eps * max(1.0, float(np.linalg.norm(mat)))


def check_against_oracle(rec, tensor, kept, meta, work_dtype):
    s, u, vt = kept
    assert rec.method is k.CompressionMethod.SVD
    assert rec.shape == tuple(tensor.shape)
    assert rec.dtype == str(tensor.dtype)
    assert rec.metadata == meta
    assert list(rec.metadata) == list(meta)
    (rs,) = rec.cores
    ru, rvt = rec.factors
    for got, want in ((rs, s), (ru, u), (rvt, vt)):
        assert got.shape == want.shape
        assert got.dtype == want.dtype
    tol = reconstruction_tolerance(work_dtype, tensor)
    np.testing.assert_allclose(rs, s, atol=tol)
    dense = k.svd_decompress(rec)
    want = oracle.svd_reconstruct(s, u, vt, tensor.shape, tensor.dtype)
    assert dense.shape == tensor.shape and dense.dtype == tensor.dtype
    np.testing.assert_allclose(dense, want, atol=tol)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("ratio", [0.05, 0.5, 1.0])
def test_fixed_ratio_matches_oracle(rng, shape, dtype, ratio):
    tensor = low_rank(rng, shape, rank=3, dtype=dtype)
    rec = k.svd_compress(tensor, ratio)
    kept, meta = oracle.svd_compress(tensor, ratio)
    check_against_oracle(rec, tensor, kept, meta, dtype)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("energy", [0.5, 0.9, 0.999])
def test_energy_rank_matches_oracle(rng, shape, dtype, energy):
    tensor = low_rank(rng, shape, rank=4, noise=1e-2, dtype=dtype)
    rec = k.svd_compress_energy(tensor, energy)
    kept, meta = oracle.svd_compress_energy(tensor, energy)
    check_against_oracle(rec, tensor, kept, meta, np.float32)


@pytest.mark.parametrize("shape", [(64, 48), (48, 64), (200, 30), (30, 200)])
def test_full_rank_reproduces_input(rng, shape):
    for dtype in DTYPES:
        tensor = rng.standard_normal(shape).astype(dtype)
        dense = k.svd_decompress(k.svd_compress(tensor, 1.0))
        np.testing.assert_allclose(dense, tensor, atol=reconstruction_tolerance(dtype, tensor))


@pytest.mark.parametrize("ratio", [0.1, 0.3])
def test_kept_vectors_are_orthonormal(rng, ratio):
    tensor = rng.standard_normal((120, 90))
    rec = k.svd_compress(tensor, ratio)
    u, vt = rec.factors
    np.testing.assert_allclose(u.T @ u, np.eye(u.shape[1]), atol=1e-12)
    np.testing.assert_allclose(vt @ vt.T, np.eye(vt.shape[0]), atol=1e-12)
    assert np.all(np.diff(rec.cores[0]) <= 0)


@pytest.mark.parametrize(
    "shape, kwargs, rank, kept, ratio",
    [
        ((100, 80), {}, 40, 40, 0.5),
        ((100, 80), {"rank_ratio": 0.001}, 1, 1, 0.01),
        ((100, 80), {"rank_ratio": 2.0}, 80, 80, 1.0),
        ((100, 80), {"rank_ratio": 0.01, "min_rank": 5}, 5, 5, 0.01),
        ((100, 120), {"rank_ratio": 0.07}, 8, 8, 0.07),
        ((10, 20), {"min_rank": 50}, 10, 10, 0.5),  # the rank recorded is the rank kept
        ((10, 20), {"min_rank": 2.9, "rank_ratio": 0.01}, 2, 2, 0.01),
    ],
)
def test_fixed_rank_clamps_and_ceiling(rng, shape, kwargs, rank, kept, ratio):
    rec = k.svd_compress(rng.standard_normal(shape).astype(np.float32), **kwargs)
    assert rec.metadata == {"rank_ratio": ratio, "rank": rank}
    assert rec.cores[0].shape == (kept,)
    assert rec.factors[0].shape == (shape[0], kept)
    assert rec.factors[1].shape == (kept, shape[1])


def test_energy_edge_ranks(rng):
    rank1 = np.outer(rng.standard_normal(9), rng.standard_normal(7)).astype(np.float32)
    assert k.svd_compress_energy(rank1).metadata == {"energy": 0.99, "rank": 1, "full_rank": 7}

    zeros = np.zeros((8, 6), np.float32)
    rec = k.svd_compress_energy(zeros)
    assert rec.metadata["rank"] == 1
    assert not k.svd_decompress(rec).any()

    full = rng.standard_normal((12, 10)).astype(np.float32)
    assert k.svd_compress_energy(full, 0.0).metadata["rank"] == 1
    rec = k.svd_compress_energy(full, 1.5)
    assert rec.metadata == {"energy": 1.0, "rank": 10, "full_rank": 10}
    assert k.svd_compress_energy(full, -3.0).metadata["energy"] == 0.0
    assert k.svd_compress_energy(full, 0.5, 10, 4).metadata["rank"] == 4
    # A share exactly at the target is enough (16 / 25 = 0.64 with one value kept).
    assert k.svd_compress_energy(np.diag([4.0, 3.0]), 0.64).metadata["rank"] == 1
    assert k.svd_compress_energy(np.diag([4.0, 3.0, 0.0]), 1.0).metadata["rank"] == 2


def test_energy_max_rank_zero_keeps_nothing(rng):
    tensor = rng.standard_normal((6, 5, 2))
    rec = k.svd_compress_energy(tensor, max_rank=0)
    s, (u, vt) = rec.cores[0], rec.factors
    assert (s.shape, u.shape, vt.shape) == ((0,), (6, 0), (0, 10))
    dense = k.svd_decompress(rec)
    assert dense.shape == (6, 5, 2) and dense.dtype == np.float64 and not dense.any()


def test_precision_of_each_compressor(rng):
    tensor = low_rank(rng, (40, 30), rank=30, noise=0.0, dtype=np.float64)
    exact = k.svd_decompress(k.svd_compress(tensor, 1.0))
    single = k.svd_decompress(k.svd_compress_energy(tensor, 1.0))
    # float64 factorization reproduces to double rounding, the float32 one only to single.
    assert np.abs(exact - tensor).max() < 1e-10
    assert 1e-9 < np.abs(single - tensor).max() < 1e-3
    assert single.dtype == np.float64
    assert all(a.dtype == np.float64 for a in k.svd_compress_energy(tensor).factors)


def test_other_dtypes_follow_numpy(rng):
    ints = rng.integers(-5, 5, size=(6, 4))
    rec = k.svd_compress(ints, 1.0)
    kept, meta = oracle.svd_compress(ints, 1.0)
    assert rec.dtype == "int64" and rec.metadata == meta
    for got, want in zip((rec.cores[0], *rec.factors), kept, strict=True):
        assert got.dtype == want.dtype
        np.testing.assert_array_equal(got, want)
    with pytest.raises(TypeError, match="float16"):
        k.svd_compress(np.ones((3, 3), np.float16))
    rec = k.svd_compress_energy(np.ones((3, 3), np.float16))
    assert rec.dtype == "float16" and rec.cores[0].dtype == np.float16


@pytest.mark.parametrize("make", [np.asfortranarray, lambda a: a[:, ::2], lambda a: a.T])
def test_non_contiguous_layouts_match_copies(rng, make):
    base = low_rank(rng, (30, 40), rank=5)
    view = make(base)
    for compress in (k.svd_compress, k.svd_compress_energy):
        a = k.svd_decompress(compress(view))
        b = k.svd_decompress(compress(np.ascontiguousarray(view)))
        np.testing.assert_allclose(a, b, atol=1e-4)


def test_input_is_not_modified(rng):
    tensor = rng.standard_normal((20, 10)).astype(np.float32)
    before = tensor.copy()
    k.svd_compress(tensor)
    k.svd_compress_energy(tensor)
    np.testing.assert_array_equal(tensor, before)


@pytest.mark.parametrize("compress", [k.svd_compress, k.svd_compress_energy])
@pytest.mark.parametrize("bad", [np.zeros(10), np.float32(3.0)])
def test_fewer_than_two_dims_refused(compress, bad):
    with pytest.raises(ValueError, match=f"^SVD requires ndim >= 2, got {bad.ndim}$"):
        compress(bad)


@pytest.mark.parametrize("shape", [(0, 5), (5, 0), (0, 0), (3, 0, 4)])
def test_empty_matrices(shape):
    t = np.zeros(shape, np.float32)
    for rec in (k.svd_compress(t), k.svd_compress_energy(t)):
        assert rec.cores[0].shape == (0,)
        assert k.svd_decompress(rec).shape == shape


@pytest.mark.parametrize("bad", [np.nan, np.inf])
@pytest.mark.parametrize("compress", [k.svd_compress, k.svd_compress_energy])
def test_non_finite_input_raises_linalg_error(compress, bad):
    t = np.ones((5, 4), np.float32)
    t[2, 1] = bad
    with pytest.raises(np.linalg.LinAlgError, match="SVD did not converge"):
        compress(t)


def test_negative_ranks_refused(rng):
    t = rng.standard_normal((6, 4))
    with pytest.raises(ValueError, match="max_rank"):
        k.svd_compress_energy(t, max_rank=-1)
    with pytest.raises(ValueError, match="min_rank"):
        k.svd_compress_energy(np.zeros((4, 4)), min_rank=-2)
    # A negative min_rank that loses to the computed rank is harmless.
    assert k.svd_compress(t, 0.5, -3).metadata["rank"] == 2


def test_decompress_checks_method_by_identity():
    s, u, vt = np.ones(1), np.ones((2, 1)), np.ones((1, 3))
    plain = k.CompressedTensor("svd", (2, 3), "float64", (s,), (u, vt))
    with pytest.raises(ValueError, match="^Expected SVD, got svd$"):
        k.svd_decompress(plain)
    tucker = k.CompressedTensor(k.CompressionMethod.TUCKER, (2, 3), "float64", (s,))
    with pytest.raises(ValueError, match=r"^Expected SVD, got CompressionMethod\.TUCKER$"):
        k.svd_decompress(tucker)


@pytest.mark.parametrize(
    "factors, cores, exc",
    [
        ((np.ones((2, 1)),), (np.ones(1),), ValueError),
        ((np.ones((2, 1)), np.ones((1, 3))), (), IndexError),
    ],
)
def test_decompress_malformed_records(factors, cores, exc):
    rec = k.CompressedTensor(k.CompressionMethod.SVD, (2, 3), "float64", cores, factors)
    with pytest.raises(exc):
        k.svd_decompress(rec)


def test_decompress_mixed_dtypes_promote_like_numpy():
    u = np.ones((2, 1), np.float32)
    s = np.full(1, 2.0)
    vt = np.ones((1, 3), np.float32)
    rec = k.CompressedTensor(k.CompressionMethod.SVD, (3, 2), "float32", (s,), (u, vt))
    out = k.svd_decompress(rec)
    assert out.shape == (3, 2) and out.dtype == np.float32
    np.testing.assert_array_equal(out, np.full((3, 2), 2.0, np.float32))


def _tricky(name, rng):
    if name == "identity":
        return np.eye(96)
    if name == "rank_deficient":
        return rng.standard_normal((120, 3)) @ rng.standard_normal((3, 90))
    if name == "repeated":
        q1, _ = np.linalg.qr(rng.standard_normal((100, 100)))
        q2, _ = np.linalg.qr(rng.standard_normal((80, 80)))
        s = np.repeat([5.0, 2.0, 1.0, 0.5], 20)
        return (q1[:, :80] * s) @ q2
    if name == "graded":
        q1, _ = np.linalg.qr(rng.standard_normal((90, 90)))
        return q1 * np.logspace(0, -12, 90)
    if name == "zero_rows":
        a = rng.standard_normal((100, 70))
        a[::2] = 0
        return a
    raise AssertionError(name)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("name", ["identity", "rank_deficient", "repeated", "graded", "zero_rows"])
@pytest.mark.parametrize("ratio", [0.05, 0.1, 0.6])
def test_kept_triplets_are_singular_triplets(rng, name, dtype, ratio):
    a = _tricky(name, rng).astype(dtype)
    rec = k.svd_compress(a, ratio)
    s, (u, vt) = rec.cores[0], rec.factors
    kk = s.shape[0]
    eps = np.finfo(dtype).eps
    tol = 50 * np.sqrt(a.shape[0]) * eps
    want = np.linalg.svd(a.astype(np.float64), compute_uv=False)[:kk]
    np.testing.assert_allclose(s, want, atol=tol * want[0])
    np.testing.assert_allclose(u.T @ u, np.eye(kk), atol=tol)
    np.testing.assert_allclose(vt @ vt.T, np.eye(kk), atol=tol)
    # A v_j = s_j u_j: the kept vectors belong to the kept values.
    np.testing.assert_allclose(a @ vt.T, u * s, atol=tol * want[0])
