import inspect

import numpy as np
import oracle
import pytest

from velmora_dryx import kestrine as k

RNG = np.random.default_rng(20261208)


def rand(shape, dtype=np.float64):
    return RNG.standard_normal(shape).astype(dtype)


@pytest.mark.parametrize(
    ("fn", "params", "doc"),
    [
        (k._unfold, ["tensor: 'np.ndarray'", "mode: 'int'"], "Mode-`mode` matricization"),
        (k._fold, ["matrix: 'np.ndarray'", "mode: 'int'", "shape: 'tuple[int, ...]'"], "Inverse"),
        (k._mode_dot, ["tensor: 'np.ndarray'", "matrix: 'np.ndarray'", "mode: 'int'"], "n-mode"),
        (
            k._relative_frobenius_error,
            ["original: 'np.ndarray'", "approx: 'np.ndarray'"],
            "||original - approx||_F / ||original||_F, in [0, ~1+].",
        ),
    ],
)
def test_signatures_and_docs(fn, params, doc):
    sig = inspect.signature(fn)
    assert [str(p) for p in sig.parameters.values()] == params
    assert fn.__doc__.startswith(doc)
    assert fn.__qualname__ == fn.__name__
    assert fn.__module__ == "velmora_dryx.kestrine"


def test_unfold_layout_on_small_tensor():
    t = np.arange(24).reshape(2, 3, 4)
    assert [k._unfold(t, n).shape for n in range(3)] == [(2, 12), (3, 8), (4, 6)]
    u = k._unfold(t, 1)
    for j in range(3):
        assert (u[j, 0], u[j, 1], u[j, 4]) == (t[0, j, 0], t[0, j, 1], t[1, j, 0])


@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.int64, np.complex128])
@pytest.mark.parametrize("mode", [0, 1, 2, -1, -3])
def test_unfold_and_fold_match_oracle(dtype, mode):
    t = (rand((3, 4, 5)) * 10).astype(dtype)
    u = k._unfold(t, mode)
    np.testing.assert_array_equal(u, oracle.unfold(t, mode))
    assert u.dtype == t.dtype
    if mode >= 0:
        back = k._fold(u, mode, t.shape)
        np.testing.assert_array_equal(back, t)
        assert back.dtype == t.dtype


@pytest.mark.parametrize("mode", [0, 1, 2])
def test_fold_accepts_any_matrix_of_the_right_size(mode):
    t = rand((2, 3, 4))
    flat = k._unfold(t, mode).reshape(-1, 2)  # other extents, same element count
    np.testing.assert_array_equal(k._fold(flat, mode, t.shape), oracle.fold(flat, mode, t.shape))


def test_unfold_of_an_empty_mode_keeps_its_columns():
    assert k._unfold(np.zeros((0, 3, 2)), 0).shape == (0, 6)
    assert k._unfold(np.zeros((3, 0, 2)), 0).shape == (3, 0)


@pytest.mark.parametrize(
    ("call", "exc", "match"),
    [
        (lambda: k._fold(np.zeros((2, 12)), 0, [2, 3, 4]), TypeError, "expected tuple, got list"),
        (lambda: k._fold(np.zeros((2, 12)), 3, (2, 3, 4)), IndexError, "out of range"),
        (lambda: k._fold(np.zeros((2, 11)), 0, (2, 3, 4)), ValueError, "reshape"),
        (lambda: k._unfold(np.zeros((2, 3)), 2), np.exceptions.AxisError, "out of bounds"),
        (lambda: k._unfold(np.zeros((2, 3)), "1"), TypeError, "expected int, got str"),
        (lambda: k._mode_dot(np.zeros((2, 3)), np.zeros((4, 3)), 5), np.exceptions.AxisError, None),
        (lambda: k._mode_dot(np.zeros((2, 3)), np.zeros((4, 2)), 1), ValueError, "matmul"),
        (lambda: k._relative_frobenius_error(np.ones(3), np.ones(4)), ValueError, "broadcast"),
    ],
)
def test_errors(call, exc, match):
    with pytest.raises(exc, match=match):
        call()


def test_mode_is_converted_like_int():
    t = rand((2, 3, 4))
    np.testing.assert_array_equal(k._unfold(t, 1.9), oracle.unfold(t, 1))
    np.testing.assert_array_equal(k._unfold(t, np.int64(2)), oracle.unfold(t, 2))


# Shapes chosen to reach every kernel of the mode product: one product for the first mode,
# one transposed product for the last, numpy's unfolding between.
MODE_DOT_CASES = [
    ((2, 3, 4), 1, 5),
    ((7, 6), 0, 3),
    ((7, 6), 1, 9),
    ((40, 30, 20), 0, 11),
    ((40, 30, 20), 1, 12),
    ((40, 30, 20), 2, 13),
    ((5, 4, 3, 2), 2, 6),
    ((3, 64, 70), 1, 64),
    ((50, 40), 1, 20),
    ((6, 5, 30), 2, 17),
    ((6,), 0, 2),
]


@pytest.mark.parametrize(("shape", "mode", "rows"), MODE_DOT_CASES)
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_mode_dot_matches_oracle(shape, mode, rows, dtype):
    t = rand(shape, dtype)
    m = rand((rows, shape[mode]), dtype)
    got = k._mode_dot(t, m, mode)
    want = oracle.mode_dot(t, m, mode)
    assert got.shape == want.shape and got.dtype == want.dtype
    tol = 1e-5 if dtype == np.float32 else 1e-12
    np.testing.assert_allclose(got, want, rtol=tol, atol=tol * np.abs(want).max())


@pytest.mark.parametrize(
    ("tdtype", "mdtype"),
    [
        (np.float32, np.float64),
        (np.int32, np.float32),
        (np.int64, np.int64),
        (np.float16, np.float16),
    ],
)
def test_mode_dot_promotes_like_numpy(tdtype, mdtype):
    t = (rand((3, 4, 5)) * 4).astype(tdtype)
    m = (rand((2, 4)) * 4).astype(mdtype)
    got = k._mode_dot(t, m, 1)
    want = oracle.mode_dot(t, m, 1)
    assert got.dtype == want.dtype
    np.testing.assert_allclose(got.astype(np.float64), want.astype(np.float64), rtol=1e-5)


@pytest.mark.parametrize(
    "make",
    [
        lambda t: t.transpose(2, 0, 1),
        lambda t: np.asfortranarray(t),
        lambda t: t[:, ::2, :],
    ],
)
def test_mode_dot_on_non_contiguous_views(make):
    t = make(rand((6, 8, 5)))
    m = rand((3, t.shape[1]))
    np.testing.assert_allclose(k._mode_dot(t, m, 1), oracle.mode_dot(t, m, 1), rtol=1e-12)


def test_mode_dot_with_identity_is_exact_and_leaves_inputs_alone():
    t = rand((3, 4, 5), np.float32)
    before = t.copy()
    for mode in range(3):
        eye = np.eye(t.shape[mode], dtype=np.float32)
        np.testing.assert_array_equal(k._mode_dot(t, eye, mode), t)
    np.testing.assert_array_equal(t, before)


def test_mode_dot_negative_mode_behaves_as_the_documented_steps():
    t, m = rand((2, 3, 4)), rand((4, 4))
    with pytest.raises(ValueError):
        oracle.mode_dot(t, m, -1)
    with pytest.raises(ValueError):
        k._mode_dot(t, m, -1)


@pytest.mark.parametrize("shape", [(7,), (30, 40), (3, 5, 7, 11), (100_003,)])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_relative_error_matches_numpy(shape, dtype):
    x = rand(shape, dtype)
    y = x + rand(shape, dtype) * dtype(0.01)
    got = k._relative_frobenius_error(x, y)
    assert type(got) is float
    want = oracle.relative_frobenius_error(x, y)
    if dtype == np.float32:
        assert got == want  # numpy's own float32 accumulation, bit for bit
    else:
        assert got == pytest.approx(want, rel=1e-13)


@pytest.mark.parametrize(
    ("original", "approx"),
    [
        (np.ones((3, 4), np.float32), np.zeros((3, 4), np.float64)),
        (np.ones((3, 4)), np.zeros(4)),  # broadcast
        (np.arange(12).reshape(3, 4), np.ones((3, 4), np.int64)),
        (np.ones((3, 4), np.float32)[:, ::2], np.zeros((3, 2), np.float32)),
        (np.full(3, 2 + 1j), np.full(3, 1 + 1j)),
        (np.float32(3.0), np.float32(1.0)),
    ],
)
def test_relative_error_other_types_follow_numpy(original, approx):
    assert k._relative_frobenius_error(original, approx) == oracle.relative_frobenius_error(
        original, approx
    )


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_relative_error_reference_points(dtype):
    x = rand((5, 6), dtype)
    assert k._relative_frobenius_error(x, x) == 0.0
    assert k._relative_frobenius_error(x, np.zeros_like(x)) == 1.0
    zero = np.zeros((5, 6), dtype)
    assert k._relative_frobenius_error(zero, zero) == 0.0
    assert k._relative_frobenius_error(zero, x) == pytest.approx(float(np.linalg.norm(x)))
    assert k._relative_frobenius_error(x, -x) == pytest.approx(2.0)


def test_relative_error_threshold_is_inclusive():
    tiny = np.array([1e-12])
    approx = np.array([5.0])
    assert float(np.linalg.norm(tiny)) == 1e-12
    assert k._relative_frobenius_error(tiny, approx) == 5.0
    just_above = np.array([1.5e-12])
    assert k._relative_frobenius_error(just_above, approx) == pytest.approx(5.0 / 1.5e-12 - 1)


def test_relative_error_float32_overflow_follows_float32_arithmetic():
    x = np.full(4, 3e19, np.float32)  # squares overflow float32, not float64
    with pytest.warns(RuntimeWarning, match="overflow"):
        assert np.isnan(k._relative_frobenius_error(x, np.zeros_like(x)))
    assert k._relative_frobenius_error(x.astype(np.float64), np.zeros(4)) == 1.0
