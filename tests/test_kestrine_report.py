import dataclasses
import inspect
import math
import time

import numpy as np
import oracle
import pytest

from velmora_dryx import kestrine as k

M = k.CompressionMethod
RNG = np.random.default_rng(18)
FIELDS = [
    "method",
    "shape",
    "original_bytes",
    "compressed_bytes",
    "compression_ratio",
    "relative_frobenius_error",
    "reconstruction_quality",
    "elapsed_compress_ms",
    "elapsed_decompress_ms",
]


def test_report_record():
    assert [f.name for f in dataclasses.fields(k.CompressionReport)] == FIELDS
    assert all(f.default is dataclasses.MISSING for f in dataclasses.fields(k.CompressionReport))
    r = k.CompressionReport(M.SVD, (2, 3), 24, 12, 2.0, 0.1, 0.9, 1.0, 2.0)
    assert r == k.CompressionReport(*[getattr(r, f) for f in FIELDS])
    assert hash(r) == hash(k.CompressionReport(**{f: getattr(r, f) for f in FIELDS}))
    with pytest.raises(dataclasses.FrozenInstanceError):
        r.compression_ratio = 3.0
    assert list(vars(k)).index("CompressionReport") == list(vars(k)).index("CompressedTensor") + 1
    assert str(inspect.signature(k.roundtrip_report)) == (
        "(tensor: 'np.ndarray', method: 'CompressionMethod | str', *, "
        "rank_ratio: 'float' = 0.5, max_rank: 'int' = 8) -> 'CompressionReport'"
    )


@pytest.mark.parametrize(
    "method, kwargs",
    [("svd", {"rank_ratio": 0.25}), (M.TUCKER, {}), ("tt", {"max_rank": 2}), ("none", {})],
)
def test_report_against_the_record_and_numpy(method, kwargs):
    x = RNG.standard_normal((12, 6, 5))
    if method == "svd":
        x = x.reshape(12, 30)
    r = k.roundtrip_report(x, method, **kwargs)
    rec = k.compress(x, method, **kwargs)
    err = oracle.relative_frobenius_error(x, k.decompress(rec))
    assert r.method is M(method) and r.shape == x.shape
    assert (r.original_bytes, r.compressed_bytes) == (x.nbytes, rec.compressed_size_bytes)
    assert r.compression_ratio == rec.compression_ratio
    assert r.relative_frobenius_error == pytest.approx(err, rel=1e-9, abs=1e-15)
    assert r.reconstruction_quality == pytest.approx(min(1.0, max(0.0, 1.0 - err)))
    assert r.elapsed_compress_ms >= 0.0 and r.elapsed_decompress_ms >= 0.0


@pytest.mark.parametrize(
    "error, quality",
    [(0.0, 1.0), (0.25, 0.75), (1.0, 0.0), (7.5, 0.0), (-0.5, 1.0), (math.nan, 1.0)],
)
def test_quality_clamp(monkeypatch, error, quality):
    monkeypatch.setattr(k, "_relative_frobenius_error", lambda a, b: error)
    r = k.roundtrip_report(np.eye(3), "svd")
    assert r.relative_frobenius_error is error and r.reconstruction_quality == quality


def test_each_interval_holds_one_call_in_milliseconds(monkeypatch):
    events = []
    ticks = iter([10.0, 10.0025, 10.0100])

    def clock():
        events.append("clock")
        return next(ticks)

    real_compress, real_decompress = k.compress, k.decompress
    monkeypatch.setattr(time, "perf_counter", clock)
    monkeypatch.setattr(
        k, "compress", lambda *a, **kw: events.append(kw) or real_compress(*a, **kw)
    )
    monkeypatch.setattr(k, "decompress", lambda r: events.append("d") or real_decompress(r))
    r = k.roundtrip_report(np.eye(4), "tucker", rank_ratio=0.9, max_rank=3.7)
    assert events == ["clock", {"rank_ratio": 0.9, "max_rank": 3}, "clock", "d", "clock"]
    assert r.elapsed_compress_ms == pytest.approx(2.5)
    assert r.elapsed_decompress_ms == pytest.approx(7.5)


@pytest.mark.parametrize(
    "args, exc",
    [
        ((np.eye(3), "SVD"), ValueError),
        ((np.ones(4), "tt"), ValueError),
        ((np.eye(3), None), ValueError),
    ],
)
def test_errors_propagate(args, exc):
    with pytest.raises(exc):
        k.roundtrip_report(*args)
    with pytest.raises(TypeError, match="^Argument 'max_rank' has incorrect type"):
        k.roundtrip_report(np.eye(3), "svd", max_rank="2")
