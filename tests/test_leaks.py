"""Reference leaks: repeating a call, successful or failing, must not grow memory."""

import gc
import tracemalloc

import numpy as np
import pytest

from velmora_dryx import kestrine as k

A = np.random.default_rng(0).standard_normal((24, 16)).astype(np.float32)
REC = k.svd_compress(A, 0.25)


def _raises(fn, exc):
    def run():
        try:
            fn()
        except exc:
            pass
        else:
            raise AssertionError("expected an exception")

    return run


CALLS = {
    "svd_compress": lambda: k.svd_compress(A, 0.25),
    "svd_compress_float64": lambda: k.svd_compress(A.astype(np.float64), 0.25),
    "svd_compress_int": lambda: k.svd_compress(np.ones((4, 3), np.int64)),
    "svd_compress_energy": lambda: k.svd_compress_energy(A, 0.9, max_rank=3),
    "svd_decompress": lambda: k.svd_decompress(REC),
    "record_sizes": lambda: (REC.compressed_size_bytes, REC.compression_ratio),
    "bad_type": _raises(lambda: k.svd_compress(A, "x"), TypeError),
    "bad_count": _raises(lambda: k.svd_compress(A, 1, 2, 3), TypeError),
    "bad_keyword": _raises(lambda: k.svd_compress(A, nope=1), TypeError),
    "bad_ndim": _raises(lambda: k.svd_compress(np.zeros(3)), ValueError),
    "bad_method": _raises(
        lambda: k.svd_decompress(k.CompressedTensor("svd", (), "", ())), ValueError
    ),
    "nan": _raises(lambda: k.svd_compress(np.full((3, 3), np.nan)), np.linalg.LinAlgError),
}


@pytest.mark.parametrize("name", sorted(CALLS))
def test_repeated_calls_do_not_leak(name):
    fn = CALLS[name]
    for _ in range(20):
        fn()
    # A leak grows every window; a cache that fills late, or anything else that happens to
    # allocate during one window, grows only some of them.
    windows = []
    for _ in range(4):
        windows.append(_growth(fn))
        if windows[-1] < 16 * 1024:
            return
    raise AssertionError(f"{name} grew in every window of 300 calls: {windows} bytes")


def _growth(fn):
    gc.collect()
    tracemalloc.start()
    try:
        for _ in range(20):
            fn()
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(300):
            fn()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
