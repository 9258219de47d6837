import inspect

import numpy as np
import pytest

from velmora_dryx import kestrine as k

RNG = np.random.default_rng(16)
M = k.CompressionMethod


def rand(shape, dtype=np.float64):
    return RNG.standard_normal(shape).astype(dtype)


def same_record(a, b):
    assert (a.method, a.shape, a.dtype, a.metadata) == (b.method, b.shape, b.dtype, b.metadata)
    assert len(a.cores) == len(b.cores) and len(a.factors) == len(b.factors)
    for x, y in zip(a.cores + a.factors, b.cores + b.factors, strict=True):
        np.testing.assert_array_equal(x, y)


def test_signatures():
    sig = inspect.signature(k.compress)
    assert str(sig) == (
        "(tensor: 'np.ndarray', method: 'CompressionMethod | str', *, "
        "rank_ratio: 'float' = 0.5, max_rank: 'int' = 8) -> 'CompressedTensor'"
    )
    assert str(inspect.signature(k.decompress)) == (
        "(compressed: 'CompressedTensor') -> 'np.ndarray'"
    )
    assert str(inspect.signature(k.suggest_method)) == (
        "(tensor_shape: 'tuple[int, ...]') -> 'CompressionMethod'"
    )
    assert k.compress.__doc__ == "Compress a tensor with the given method."
    assert k.decompress.__doc__ == "Reconstruct a dense tensor from a CompressedTensor."
    assert k.suggest_method.__doc__.startswith(
        "Recommend a compression method based on tensor shape."
    )


@pytest.mark.parametrize(
    ("method", "kwargs", "direct"),
    [
        ("svd", {}, lambda t: k.svd_compress(t, rank_ratio=0.5)),
        (M.SVD, {"max_rank": 2}, lambda t: k.svd_compress(t)),
        ("svd", {"rank_ratio": 0.3}, lambda t: k.svd_compress(t, 0.3)),
        ("tucker", {"rank_ratio": 0.7, "max_rank": 1}, lambda t: k.tucker_compress(t, 0.7)),
        (M.TUCKER, {}, lambda t: k.tucker_compress(t)),
        ("tt", {"rank_ratio": 0.9}, lambda t: k.tt_compress(t, 8)),
        (M.TENSOR_TRAIN, {"max_rank": 2.9}, lambda t: k.tt_compress(t, 2)),
    ],
)
def test_compress_hands_the_right_arguments_on(method, kwargs, direct):
    t = rand((12, 10, 3), np.float32)
    same_record(k.compress(t, method, **kwargs), direct(t))


def test_string_and_member_give_the_same_record():
    t = rand((10, 8))
    a, b = k.compress(t, "svd"), k.compress(t, M.SVD)
    same_record(a, b)
    assert a.metadata["rank_ratio"] == 0.5


@pytest.mark.parametrize("bad", ["SVD", "TENSOR_TRAIN", "TT", "", "svd "])
def test_unknown_value_strings_raise_the_enumerations_error(bad):
    with pytest.raises(ValueError, match="is not a valid CompressionMethod"):
        k.compress(rand((3, 3)), bad)


@pytest.mark.parametrize(("method", "text"), [(None, "None"), (3, "3"), (b"svd", "b'svd'")])
def test_non_string_methods_are_unknown(method, text):
    with pytest.raises(ValueError, match=f"^Unknown compression method: {text}$"):
        k.compress(rand((3, 3)), method)


def test_unknown_method_is_rejected_before_the_tensor_is_read():
    with pytest.raises(ValueError, match="not a valid"):
        k.compress(object(), "bogus")


@pytest.mark.parametrize(
    ("call", "match"),
    [
        (lambda t: k.compress(t, "svd", 0.3), "positional"),
        (lambda t: k.compress(t, "svd", rank_ratio="x"), "Argument 'rank_ratio'"),
        (lambda t: k.compress(t, "tt", max_rank="8"), "Argument 'max_rank'"),
    ],
)
def test_argument_errors(call, match):
    with pytest.raises(TypeError, match=match):
        call(rand((4, 4)))


@pytest.mark.parametrize("errors", [("svd", "SVD"), ("tucker", "Tucker"), ("tt", "TT")])
def test_compressor_errors_propagate(errors):
    method, name = errors
    with pytest.raises(ValueError, match=f"^{name} requires ndim >= 2, got 1$"):
        k.compress(np.ones(4), method)


@pytest.mark.parametrize(
    "tensor",
    [
        np.array(2.5, np.float32),
        np.arange(5.0),
        rand((3, 4, 2), np.float32),
        np.arange(12).reshape(3, 4).T,  # not row-major
        np.zeros((0, 3)),
    ],
)
def test_none_keeps_its_own_row_major_copy(tensor):
    rec = k.compress(tensor, "none", rank_ratio=0.1, max_rank=1)
    assert rec.method is M.NONE
    assert rec.shape == tensor.shape and rec.dtype == str(tensor.dtype)
    assert rec.factors == () and rec.metadata == {}
    (stored,) = rec.cores
    assert stored.flags.c_contiguous and stored.dtype == tensor.dtype
    assert not np.shares_memory(stored, tensor)
    np.testing.assert_array_equal(stored, tensor)
    back = k.decompress(rec)
    np.testing.assert_array_equal(back, tensor)
    assert back.dtype == tensor.dtype
    assert not np.shares_memory(back, stored)
    if tensor.size:
        tensor[...] = 7
        assert not np.array_equal(rec.cores[0], tensor)


@pytest.mark.parametrize(
    ("method", "shape", "tol"),
    [
        ("svd", (16, 6), 1e-10),
        ("tucker", (6, 5, 4), 1e-10),
        ("tt", (4, 5, 6), 1e-10),
    ],
)
def test_full_rank_round_trip_through_dispatch(method, shape, tol):
    t = rand(shape)
    rec = k.compress(t, method, rank_ratio=1.0, max_rank=1000)
    back = k.decompress(rec)
    assert back.shape == shape
    np.testing.assert_allclose(back, t, atol=tol)


def test_decompress_dispatches_by_member():
    t = rand((6, 5, 4), np.float32)
    for method, direct in [
        ("svd", k.svd_decompress),
        ("tucker", k.tucker_decompress),
        ("tt", k.tt_decompress),
    ]:
        rec = k.compress(t, method)
        np.testing.assert_array_equal(k.decompress(rec), direct(rec))


@pytest.mark.parametrize(("method", "text"), [("svd", "svd"), ("none", "none"), (None, "None")])
def test_decompress_refuses_methods_that_are_not_members(method, text):
    rec = k.CompressedTensor(method, (2,), "float64", (np.ones(2),))
    with pytest.raises(ValueError, match=f"^Unknown compression method: {text}$"):
        k.decompress(rec)


def test_decompress_of_none_without_cores():
    with pytest.raises(IndexError):
        k.decompress(k.CompressedTensor(M.NONE, (2,), "float64", ()))


@pytest.mark.parametrize(
    ("shape", "method"),
    [
        ((768, 3072), M.SVD),
        ((1, 1), M.SVD),
        ((3, 3, 3), M.TUCKER),
        ((1000, 2, 2), M.TUCKER),
        ((8, 8, 8, 8), M.TENSOR_TRAIN),
        ((32, 8, 8, 8), M.TENSOR_TRAIN),
        ((33, 8, 8, 8), M.TUCKER),
        ((8, 8, 8, 33), M.TUCKER),
        ((10,), M.TENSOR_TRAIN),
        ((4, 4, 4, 4, 4, 4), M.TENSOR_TRAIN),
        ((4, 4, 4, 4, 17), M.TUCKER),
        ((8.5, 2.0, 2.0, 3.0), M.TUCKER),
    ],
)
def test_suggest_method(shape, method):
    assert k.suggest_method(shape) is method


@pytest.mark.parametrize(
    ("shape", "exc"), [((), IndexError), ([3, 4], TypeError), ((3, "a", 2, 1), TypeError)]
)
def test_suggest_method_errors(shape, exc):
    with pytest.raises(exc):
        k.suggest_method(shape)
