"""The Krylov route of the truncated SVDs against the dense route, each forced in turn."""

import numpy as np
import pytest

from velmora_dryx import kestrine as k


def _spectrum(rng, m, n, s):
    q1, _ = np.linalg.qr(rng.standard_normal((m, len(s))))
    q2, _ = np.linalg.qr(rng.standard_normal((n, len(s))))
    return (q1 * s) @ q2.T


def _matrix(name, shape, rng):
    m, n = shape
    r = min(m, n)
    if name == "delta":  # decaying spectrum plus noise
        a = _spectrum(rng, m, n, np.exp(-np.arange(r) / 6.0))
        return a + 1e-4 * rng.standard_normal(shape)
    if name == "low_rank":  # the Krylov space breaks down after a few steps
        return rng.standard_normal((m, 3)) @ rng.standard_normal((3, n))
    if name == "zero":
        return np.zeros(shape)
    if name == "repeated":  # equal values in blocks; the cut falls between blocks
        return _spectrum(rng, m, n, np.repeat([4.0, 2.0, 1.0, 0.5, 0.1], [5, 5, 6, 8, r - 24]))
    if name == "clustered":  # values 1e-7 apart around each level
        s = np.repeat([3.0, 1.0, 0.3], [6, 10, r - 16]) + 1e-7 * np.arange(r)[::-1]
        return _spectrum(rng, m, n, s)
    if name == "graded":
        return _spectrum(rng, m, n, np.logspace(0, -10, r))
    if name == "dominant":  # one value 1e4 above a slow decay: the kept ones are 1e4 smaller
        return _spectrum(rng, m, n, np.r_[1e4, 0.99 ** np.arange(1, r)])
    if name == "floor":  # a fast decay that the kept values follow into a noise floor
        a = _spectrum(rng, m, n, 40 * 0.7 ** (np.arange(r) / 2))
        return a + 1e-3 * rng.standard_normal(shape) / np.sqrt(m)
    raise AssertionError(name)


CASES = [
    ("delta", (300, 200), 10),
    ("delta", (150, 400), 16),
    ("delta", (257, 257), 5),
    ("delta", (1031, 97), 6),
    ("low_rank", (240, 180), 8),
    ("zero", (200, 200), 6),
    ("repeated", (220, 160), 10),
    ("repeated", (160, 220), 16),
    ("clustered", (200, 150), 6),
    ("graded", (180, 260), 12),
    ("dominant", (600, 450), 15),
    ("dominant", (3000, 400), 12),
    ("floor", (2000, 1500), 75),
]


def _run(route, fn, may_decline=False):
    k._svd_route(route)
    try:
        out = fn()
    finally:
        served = k._svd_route("auto")
    assert served >= 1 if route == "krylov" and not may_decline else served <= (route == "krylov")
    return out


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize(("name", "shape", "rank"), CASES)
def test_krylov_route_matches_dense_route(name, shape, rank, dtype):
    a = _matrix(name, shape, np.random.default_rng(sum(shape) + rank)).astype(dtype)
    ratio = rank / min(shape)
    dense = _run("dense", lambda: k.svd_compress(a, ratio))
    # Kept values inside a noise floor cannot be certified cheaply: the dense route serves.
    kry = _run("krylov", lambda: k.svd_compress(a, ratio), may_decline=name == "floor")
    assert kry.metadata == dense.metadata
    s, (u, vt) = kry.cores[0], kry.factors
    assert s.shape == (rank,) and u.shape == (shape[0], rank) and vt.shape == (rank, shape[1])
    assert s.dtype == u.dtype == vt.dtype == dtype
    eps = np.finfo(dtype).eps
    s1 = max(float(dense.cores[0][0]), np.finfo(dtype).tiny)
    atol = (1e-6 if dtype == np.float32 else 1e-12) * s1
    np.testing.assert_allclose(s, dense.cores[0], rtol=0, atol=atol)
    # Both routes against the exact singular values of the stored matrix.
    exact = np.linalg.svd(a.astype(np.float64), compute_uv=False)[:rank]
    np.testing.assert_allclose(dense.cores[0], exact, rtol=0, atol=atol)
    # Singular triplets: orthonormal vectors, A v = s u.
    tol = 50 * np.sqrt(max(shape)) * eps
    if name != "zero":
        np.testing.assert_allclose(u.T @ u, np.eye(rank), atol=tol)
        np.testing.assert_allclose(vt @ vt.T, np.eye(rank), atol=tol)
    np.testing.assert_allclose(a @ vt.T, u * s, atol=tol * s1)
    # The cut lies in a gap: the truncation itself is unique.
    recon_tol = 200 * eps * max(1.0, float(np.linalg.norm(a)))
    np.testing.assert_allclose(k.svd_decompress(kry), k.svd_decompress(dense), atol=recon_tol)


@pytest.mark.parametrize(
    ("name", "shape", "energy"),
    [
        ("delta", (300, 200), 0.9),
        ("delta", (150, 400), 0.999),
        ("repeated", (220, 160), 0.7),
        ("graded", (180, 260), 0.99),
        ("zero", (200, 200), 0.9),
    ],
)
def test_krylov_energy_rank_matches_dense_route(name, shape, energy):
    a = _matrix(name, shape, np.random.default_rng(7)).astype(np.float32)
    dense = _run("dense", lambda: k.svd_compress_energy(a, energy))
    k._svd_route("krylov")
    try:
        kry = k.svd_compress_energy(a, energy)
    finally:
        k._svd_route("auto")
    assert kry.metadata == dense.metadata
    recon_tol = 200 * np.finfo(np.float32).eps * max(1.0, float(np.linalg.norm(a)))
    np.testing.assert_allclose(k.svd_decompress(kry), k.svd_decompress(dense), atol=recon_tol)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize(
    ("compress", "decompress", "arg"),
    [(k.tucker_compress, k.tucker_decompress, 0.05), (k.tt_compress, k.tt_decompress, 4)],
)
def test_tucker_and_tensor_train_factors_through_each_route(compress, decompress, arg, dtype):
    rng = np.random.default_rng(3)
    # Rank 12 along the first mode: the kept values lie above the noise, not inside it.
    x = np.einsum("ia,ja,ka->ijk", *(rng.standard_normal((d, 12)) for d in (240, 20, 20)))
    x = (x + 1e-3 * rng.standard_normal(x.shape)).astype(dtype)
    tol = 200 * np.finfo(dtype).eps * float(np.linalg.norm(x))
    dense = _run("dense", lambda: decompress(compress(x, arg)))
    kry = _run("krylov", lambda: decompress(compress(x, arg)))
    np.testing.assert_allclose(kry, dense, atol=tol)


def test_unknown_route_refused():
    with pytest.raises(ValueError, match="route must be 'auto', 'dense' or 'krylov', got fast"):
        k._svd_route("fast")
