import inspect

import numpy as np
import pytest

from velmora_dryx import kestrine as k

M = k.CompressionMethod
RNG = np.random.default_rng(17)


def atom(shape, dtype=np.float32):
    return k.compress(RNG.standard_normal(shape).astype(dtype), "none")


def dense(rec):
    return rec.cores[0]


def same_record(a, b):
    assert (a.method, a.shape, a.dtype, a.metadata) == (b.method, b.shape, b.dtype, b.metadata)
    for x, y in zip(a.cores + a.factors, b.cores + b.factors, strict=True):
        np.testing.assert_array_equal(x, y)


def test_signatures():
    assert str(inspect.signature(k.compressed_concat)) == (
        "(atoms: 'Sequence[CompressedTensor]', *, axis: 'int' = 0, "
        "recompress_method: 'CompressionMethod | str | None' = None, "
        "recompress_rank_ratio: 'float' = 0.5, recompress_max_rank: 'int' = 8) "
        "-> 'CompressedTensor | np.ndarray'"
    )
    assert str(inspect.signature(k.compressed_weighted_mean)).startswith(
        "(atoms: 'Sequence[CompressedTensor]', weights: 'Sequence[float] | None' = None, *, "
    )


def test_single_atom_gives_a_new_dense_array():
    a = atom((3, 4))
    out = k.compressed_concat([a])
    assert out is not dense(a) and not np.shares_memory(out, dense(a))
    np.testing.assert_array_equal(out, dense(a))
    mean = k.compressed_weighted_mean((a,))
    np.testing.assert_array_equal(mean, dense(a) * 1.0)


@pytest.mark.parametrize(
    "weights, factors",
    [(None, (0.5, 0.5)), ((3, 1), (0.75, 0.25)), ([2, -1], (2.0, -1.0)), ((0.0, 5), (0, 1))],
)
def test_weighted_mean_against_numpy(weights, factors):
    a, b = atom((5, 6)), atom((5, 6))
    out = k.compressed_weighted_mean([a, b], weights)
    want = np.zeros((5, 6), np.float32)
    want += dense(a) * factors[0]
    want += dense(b) * factors[1]
    assert out.dtype == np.float32
    np.testing.assert_allclose(out, want, rtol=1e-6, atol=1e-7)


@pytest.mark.parametrize("first, second", [(np.float32, np.float64), (np.float64, np.float32)])
def test_mean_keeps_the_first_atoms_element_type(first, second):
    a, b = atom((4,), first), atom((4,), second)
    out = k.compressed_weighted_mean([a, b], [1, 3])
    assert out.dtype == first
    want = (dense(a) * 0.25 + (dense(b) * 0.75)).astype(first)
    np.testing.assert_allclose(out, want, rtol=1e-6)


class Unreadable:
    """An atom whose decompression fails: shows which checks run before decompression."""

    method = "svd"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: k.compressed_concat([]), "compressed_concat requires at least one atom"),
        (
            lambda: k.compressed_weighted_mean((), weights=[1, -5]),
            "compressed_weighted_mean requires at least one atom",
        ),
        (
            lambda: k.compressed_weighted_mean([Unreadable()] * 3, [1, 2]),
            "len(weights)=2 != len(atoms)=3",
        ),
        (
            lambda: k.compressed_weighted_mean([Unreadable()] * 2, [1, -1]),
            "Sum of weights must be > 0",
        ),
        (
            lambda: k.compressed_weighted_mean([atom((2, 3)), atom((3,))]),
            "Atom shape mismatch: (3,) vs (2, 3)",
        ),
        (
            lambda: k.compressed_weighted_mean([atom(()), atom((1, 1))]),
            "Atom shape mismatch: (1, 1) vs ()",
        ),
        (lambda: k.compressed_concat([Unreadable()]), "Unknown compression method: svd"),
    ],
)
def test_checks_and_their_order(call, message):
    with pytest.raises(ValueError) as e:
        call()
    assert str(e.value) == message


@pytest.mark.parametrize("method", [None, "none", M.NONE])
def test_no_recompression_returns_dense(method):
    a, b = atom((2, 3)), atom((2, 3))
    for out in (
        k.compressed_concat([a, b], recompress_method=method),
        k.compressed_weighted_mean([a, b], recompress_method=method),
    ):
        assert isinstance(out, np.ndarray)


@pytest.mark.parametrize("method", ["tucker", M.TUCKER, "tt", M.SVD])
def test_recompression_is_compress_of_the_merged_array(method):
    a, b = atom((4, 3, 5)), atom((4, 3, 5))
    got = k.compressed_concat(
        [a, b], axis=-1, recompress_method=method, recompress_rank_ratio=0.7, recompress_max_rank=2
    )
    merged = np.concatenate([dense(a), dense(b)], axis=-1)
    same_record(got, k.compress(merged, method, rank_ratio=0.7, max_rank=2))
    got = k.compressed_weighted_mean([a, b], [1, 1], recompress_method=method)
    same_record(got, k.compress((dense(a) * 0.5 + dense(b) * 0.5), method))


def test_concat_follows_numpy():
    a, b = atom((2, 3)), atom((4, 3), np.float64)
    out = k.compressed_concat([a, b])
    assert out.shape == (6, 3) and out.dtype == np.float64
    np.testing.assert_array_equal(out, np.concatenate([dense(a), dense(b)]))
    with pytest.raises(ValueError):
        k.compressed_concat([a, b], axis=1)
    with pytest.raises(np.exceptions.AxisError):
        k.compressed_concat([a, b], axis=2)
    assert k.compressed_concat([a, a], axis=1.9).shape == (2, 6)  # int() conversion
    with pytest.raises(TypeError, match="^Argument 'recompress_max_rank' has incorrect type"):
        k.compressed_concat([a], recompress_max_rank="8")


def test_operations_go_through_the_module_functions(monkeypatch):
    seen = []
    a = atom((3, 3))
    real_compress, real_decompress = k.compress, k.decompress
    monkeypatch.setattr(k, "decompress", lambda r: seen.append("d") or real_decompress(r))
    monkeypatch.setattr(
        k, "compress", lambda *a, **kw: seen.append(("c", a[1], kw)) or real_compress(*a, **kw)
    )
    k.compressed_concat([a, a], recompress_method="svd", recompress_rank_ratio=0.4)
    assert seen == ["d", "d", ("c", "svd", {"rank_ratio": 0.4, "max_rank": 8})]
    seen.clear()
    k.compressed_weighted_mean([a], recompress_method="tt", recompress_max_rank=3)
    assert seen == ["d", ("c", "tt", {"rank_ratio": 0.5, "max_rank": 3})]
