import _thread
import dataclasses
import gc
import inspect
import tracemalloc

import numpy as np
import oracle
import pytest
from data import low_rank

from velmora_dryx import kestrine as k
from velmora_dryx import tamsel as t
from velmora_dryx.methods import Settings

M = k.CompressionMethod


def rank2_3d(rng, shape):
    """A sum of two outer products: bond ranks of at most 2 in every unfolding."""
    terms = [np.einsum("i,j,k->ijk", *(rng.standard_normal(n) for n in shape)) for _ in range(2)]
    return (terms[0] + terms[1]).astype(np.float32)


def family(rng):
    """A base of 2-D, 3-D, 1-D and 0-D tensors plus one base-only name, and two fine-tunes
    with low-rank deltas and one name the base lacks."""
    base = {
        "embed": rng.standard_normal((48, 40)).astype(np.float32),
        "attn": rng.standard_normal((12, 6, 10)).astype(np.float32),
        "norm": rng.standard_normal(40).astype(np.float32),
        "scale": np.array(1.5, np.float32),
        "base_only": rng.standard_normal((5, 4)).astype(np.float32),
    }
    tunes = {}
    for tid in ("ft-a", "ft-b"):
        tunes[tid] = {
            "embed": base["embed"] + 0.1 * low_rank(rng, (48, 40), 3, noise=0.0),
            "head": low_rank(rng, (16, 24), 4, noise=0.0),
            "attn": base["attn"] + 0.1 * rank2_3d(rng, (12, 6, 10)),
            "norm": base["norm"] + rng.standard_normal(40).astype(np.float32),
            "scale": np.array(2.25, np.float32),
        }
    return base, tunes


def test_module_surface():
    for name in ("CompressedTensor", "CompressionMethod", "compress", "decompress"):
        assert getattr(t, name) is getattr(k, name)
    assert t.svd_compress_energy is k.svd_compress_energy
    assert [f.name for f in dataclasses.fields(t.CompressedDelta)] == [
        "model_id",
        "tensors",
        "base_id",
    ]
    lib = t.ModelLibrary("b", {})
    assert (lib.deltas, lib.method, lib.max_rank, lib.energy) == ({}, M.TENSOR_TRAIN, 8, None)
    assert t.ModelLibrary("b", {}).deltas is not lib.deltas
    lib.max_rank = 3  # mutable records
    assert t.ModelLibrary.__doc__ == "One base model + many compressed fine-tune deltas."
    assert str(inspect.signature(t.ModelLibrary.add_finetune)) == (
        "(self, model_id: 'str', finetuned: 'dict[str, np.ndarray]') -> 'CompressedDelta'"
    )


@pytest.mark.parametrize("energy", [None, 0.99])
def test_model_family_round_trip(rng, energy):
    base, tunes = family(rng)
    lib = t.ModelLibrary("base", base, energy=energy)
    for tid, sd in tunes.items():
        rec = lib.add_finetune(tid, sd)
        assert rec is lib.deltas[tid] and (rec.model_id, rec.base_id) == (tid, "base")
        assert list(rec.tensors) == list(sd)
        expected_dense = {}
        for name, w in sd.items():
            ct = rec.tensors[name]
            delta = oracle.finetune_delta(base, name, w)
            if w.ndim < 2:
                assert ct.method is M.NONE
                np.testing.assert_array_equal(ct.cores[0], delta)
                expected_dense[name] = delta
            elif energy is None:
                cores, meta = oracle.tt_compress(delta, 8)
                assert (ct.method, ct.metadata) == (M.TENSOR_TRAIN, meta)
                expected_dense[name] = oracle.tt_decompress(cores, delta.shape, np.float32)
            else:
                (s, u, vt), meta = oracle.svd_compress_energy(delta, 0.99, max_rank=8)
                assert (ct.method, ct.metadata) == (M.SVD, meta)
                expected_dense[name] = oracle.svd_reconstruct(s, u, vt, delta.shape, np.float32)
        out = lib.reconstruct(tid)
        expected = oracle.library_reconstruct(base, expected_dense)
        assert list(out) == list(sd) and "base_only" not in out
        for name in sd:
            assert out[name].dtype == np.float32 and out[name].shape == sd[name].shape
            np.testing.assert_allclose(out[name], expected[name], rtol=1e-4, atol=1e-4)
        for name in ("norm", "scale", "head"):  # lossless or within the rank cap
            np.testing.assert_allclose(out[name], sd[name], rtol=1e-5, atol=1e-5)
        err = t.reconstruction_error(out, sd)
        assert err == pytest.approx(oracle.reconstruction_error(out, sd), rel=1e-9, abs=1e-15)
        assert err < 1e-5

    stored = oracle.library_nbytes(base) + sum(
        sum(a.nbytes for c in d.tensors.values() for a in c.cores + c.factors)
        for d in lib.deltas.values()
    )
    naive = sum(oracle.library_nbytes(sd) for sd in tunes.values())
    assert lib.summary(tunes) == {
        "n_models": 2,
        "base_bytes": oracle.library_nbytes(base),
        "naive_total_bytes": naive,
        "velmora_dryx_bytes": stored,
        "overall_ratio": naive / stored,
        "delta_only_bytes": stored - oracle.library_nbytes(base),
    }
    assert lib.summary({})["n_models"] == 0  # counts the argument, not the library


class Spy:
    def __init__(self, real):
        self.real, self.calls = real, []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.real(*args, **kwargs)


@pytest.mark.parametrize(
    "energy, max_rank, expected",
    [
        (None, 8, ("compress", (M.TUCKER,), {"max_rank": 8})),
        (None, 0, ("compress", (M.TUCKER,), {"max_rank": 0})),
        (0.9, 5, ("svd_compress_energy", (), {"energy": 0.9, "max_rank": 5})),
        (0.9, 0, ("svd_compress_energy", (), {"energy": 0.9, "max_rank": None})),
    ],
)
def test_calls_into_the_compression_module(monkeypatch, rng, energy, max_rank, expected):
    spies = {n: Spy(getattr(t, n)) for n in ("compress", "svd_compress_energy")}
    for n, s in spies.items():
        monkeypatch.setattr(t, n, s)
    w = rng.standard_normal((6, 5)).astype(np.float32)
    bias = rng.standard_normal(5)
    lib = t.ModelLibrary("b", {"w": w * 0.5}, method=M.TUCKER, max_rank=max_rank, energy=energy)
    lib.add_finetune("x", {"w": w, "bias": bias})
    fn, extra, kwargs = expected
    (args, kw), (none_args, none_kw) = spies[fn].calls[0], spies["compress"].calls[-1]
    assert args[1:] == extra and kw == kwargs
    np.testing.assert_array_equal(args[0], (w - w * 0.5).astype(np.float32))
    assert none_args[1] is M.NONE and none_kw == {} and none_args[0].dtype == np.float32
    assert none_args[0] is not bias and np.array_equal(none_args[0], bias.astype(np.float32))


def layouts(rng):
    f32 = rng.standard_normal((7, 9)).astype(np.float32)
    f64 = rng.standard_normal((7, 9))
    return {
        "f32-f32": (f32, f32 * 0.3),
        "f64-f32": (f64, f32),
        "f32-f64": (f32, f64),
        "f64-f64": (f64, f64 * 0.7),
        "f16-f32": (f64.astype(np.float16), f32),
        "int-f32": (np.arange(63).reshape(7, 9), f32),
        "transposed": (f32.T, f64.T.copy()),
        "broadcast": (f32, f32[:1]),
        "huge-values": (np.full((7, 9), 3e38, np.float64), np.full((7, 9), -3e38, np.float64)),
    }


@pytest.mark.parametrize("case", list(layouts(np.random.default_rng(0))))
def test_delta_follows_numpy_semantics(monkeypatch, case):
    w, b = layouts(np.random.default_rng(0))[case]
    spy = Spy(lambda delta, method, **kw: k.compress(delta, "none"))
    monkeypatch.setattr(t, "compress", spy)
    with np.errstate(over="ignore"):
        t.ModelLibrary("b", {"w": b}).add_finetune("x", {"w": w})
        want = (w - b).astype(np.float32)
    got = spy.calls[0][0][0]
    assert got.dtype == np.float32 and got.shape == want.shape
    np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_delta_overflow_is_reported_as_numpy_reports_it(dtype):
    big = np.full((3, 3), 3e38, dtype)
    lib = t.ModelLibrary("b", {"w": -big})
    with np.errstate(over="raise"), pytest.raises(FloatingPointError):
        lib.add_finetune("x", {"w": big})
    assert lib.deltas == {}


@pytest.mark.parametrize(
    "decompress",
    [k.decompress, lambda ct: ct.cores[0], lambda ct: ct.cores[0].reshape(ct.shape)],
    ids=["fresh", "stored-array", "view-of-stored-array"],
)
def test_reconstruct_never_writes_into_shared_arrays(monkeypatch, rng, decompress):
    base = {"w": rng.standard_normal((6, 4)).astype(np.float32), "d": rng.standard_normal(3)}
    ft = {"w": base["w"] * 3, "d": base["d"] * 2}
    lib = t.ModelLibrary("b", base, method=M.NONE)
    lib.add_finetune("x", ft)
    stored = {n: ct.cores[0].copy() for n, ct in lib.deltas["x"].tensors.items()}
    monkeypatch.setattr(t, "decompress", decompress)
    first, second = lib.reconstruct("x"), lib.reconstruct("x")
    for name, ct in lib.deltas["x"].tensors.items():
        np.testing.assert_array_equal(ct.cores[0], stored[name])
        want = base[name] + stored[name]
        assert first[name].dtype == want.dtype  # float64 base + float32 delta is float64
        np.testing.assert_array_equal(first[name], want)
        np.testing.assert_array_equal(second[name], want)


def test_failures_leave_the_library_unchanged(monkeypatch, rng):
    w = rng.standard_normal((4, 3)).astype(np.float32)
    lib = t.ModelLibrary("b", {"w": w, "v": w})
    first = lib.add_finetune("x", {"w": w})
    with pytest.raises(ValueError):  # shapes that cannot be subtracted, on the second tensor
        lib.add_finetune("x", {"w": w, "v": np.ones((5, 2), np.float32)})
    assert lib.deltas == {"x": first}

    def interrupt(*args, **kwargs):
        _thread.interrupt_main()
        return k.compress(args[0], "none")

    monkeypatch.setattr(t, "compress", interrupt)
    with pytest.raises(KeyboardInterrupt):
        lib.add_finetune("x", {"w": w, "v": w})
    assert lib.deltas == {"x": first}

    sd = {"w": w, "v": w}
    monkeypatch.setattr(t, "compress", lambda d, m, **kw: sd.setdefault("new", w) is None or first)
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        lib.add_finetune("y", sd)
    assert list(lib.deltas) == ["x"]


def test_replacing_and_empty_finetunes(rng):
    w = rng.standard_normal((4, 3)).astype(np.float32)
    lib = t.ModelLibrary("b", {"w": w})
    lib.add_finetune("x", {"w": w + 1})
    second = lib.add_finetune("x", {})
    assert lib.deltas == {"x": second} and second.tensors == {}
    assert second.stored_bytes() == 0 and lib.reconstruct("x") == {}
    empty = t.ModelLibrary("b", {})
    empty.add_finetune("x", {})
    assert empty.summary({"x": {}})["overall_ratio"] == float("inf")


class Sub(dict):
    pass


@pytest.mark.parametrize(
    "call, param, expected",
    [
        (lambda lib: lib.add_finetune(1, {}), "model_id", "str"),
        (lambda lib: lib.add_finetune("x", Sub()), "finetuned", "dict"),
        (lambda lib: lib.naive_bytes({"x": [1]}), "sd", "dict"),
        (lambda lib: lib.summary({"x": Sub()}), "sd", "dict"),
        (lambda lib: t.reconstruction_error({}, [1]), "b", "dict"),
        (lambda lib: t.ModelLibrary("b", [1]).base_bytes(), "sd", "dict"),
    ],
)
def test_argument_types(call, param, expected):
    with pytest.raises(
        TypeError, match=rf"^Argument '{param}' has incorrect type \(expected {expected}, got "
    ):
        call(t.ModelLibrary("b", {}))


def test_key_errors(rng):
    lib = t.ModelLibrary("b", {})
    with pytest.raises(KeyError) as e:
        lib.reconstruct("missing")
    assert e.value.args == ("missing",)
    a = {"w": np.ones(3, np.float32), "gone": np.ones(2, np.float32)}
    with pytest.raises(KeyError) as e:
        t.reconstruction_error(a, {"w": a["w"]})
    assert e.value.args == ("gone",)


def test_nbytes_counts_logical_sizes():
    sd = {"a": np.zeros((3, 4), np.float32), "b": np.zeros((2, 5), np.float64)[:, ::2]}
    assert t._nbytes(sd) == oracle.library_nbytes(sd) == 48 + 6 * 8
    assert t._nbytes({}) == 0


def error_cases(rng):
    a = rng.standard_normal((300, 257)).astype(np.float32)
    b = a + 0.01 * rng.standard_normal(a.shape).astype(np.float32)
    return {
        "empty": ({}, {}),
        "identical": ({"w": a}, {"w": a}),
        "large": ({"w": a, "v": a[:3]}, {"w": b, "v": b[:3], "only_b": b}),
        "float64-and-views": ({"w": a.astype(np.float64).T}, {"w": b.T}),
        "broadcast": ({"w": a}, {"w": b[:1]}),
        "zeros": ({"w": a[:2, :2]}, {"w": np.zeros((2, 2), np.float32)}),
    }


@pytest.mark.parametrize("case", list(error_cases(np.random.default_rng(1))))
def test_reconstruction_error_matches_numpy(case):
    a, b = error_cases(np.random.default_rng(1))[case]
    got = t.reconstruction_error(a, b)
    assert type(got) is float
    assert got == pytest.approx(oracle.reconstruction_error(a, b), rel=1e-12, abs=0.0)
    if case in ("empty", "identical"):
        assert got == 0.0


def test_reconstruction_error_sees_a_dict_change():
    class Growing(np.ndarray):
        def astype(self, *args, **kwargs):
            a.setdefault("late", np.ones(1, np.float32))
            return np.asarray(self).astype(*args, **kwargs)

    a = {"w": np.ones(3, np.float32).view(Growing), "v": np.ones(3, np.float32)}
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        t.reconstruction_error(a, dict(a))


LEAK_CALLS = {
    "add_finetune": lambda lib, sd, tunes: lib.add_finetune("x", sd),
    "reconstruct": lambda lib, sd, tunes: lib.reconstruct("x"),
    "summary": lambda lib, sd, tunes: lib.summary(tunes),
    "reconstruction_error": lambda lib, sd, tunes: t.reconstruction_error(sd, sd),
    "unknown_id": lambda lib, sd, tunes: _refused(lambda: lib.reconstruct("nope"), KeyError),
    "bad_dict": lambda lib, sd, tunes: _refused(lambda: lib.add_finetune("y", []), TypeError),
}


def _refused(call, exc):
    try:
        call()
    except exc:
        return
    raise AssertionError("expected an exception")


@pytest.mark.parametrize("name", sorted(LEAK_CALLS))
def test_repeated_calls_do_not_leak(rng, name):
    base, tunes = family(rng)
    lib = t.ModelLibrary("base", base, energy=0.9)
    sd = tunes["ft-a"]
    lib.add_finetune("x", sd)
    call = LEAK_CALLS[name]
    # numpy's and the interpreter's caches fill during the first few hundred calls.
    for _ in range(300):
        call(lib, sd, tunes)
    # Caches settle at a few dozen KiB whatever the count; a leak of 64 bytes or more per
    # call (any array, record or dict) passes 96 KiB over 1500 calls in every window, while
    # a cache filling up late does so in one window only.
    windows = [_growth(call, lib, sd, tunes) for _ in range(2)]
    assert min(w[0] for w in windows) < 96 * 1024, f"{name} grew by {windows} over 1500 calls"
    assert min(w[1] for w in windows) < 50


def _growth(call, lib, sd, tunes):
    """Traced bytes and live objects gained over 1500 calls."""
    gc.collect()
    objects = len(gc.get_objects())
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(1500):
            call(lib, sd, tunes)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    return grown, len(gc.get_objects()) - objects


@pytest.mark.parametrize(
    "settings",
    [
        Settings("svd", rank_ratio=1.0),
        Settings("tucker", rank_ratio=1.0),
        Settings("tt", max_rank=8),
        Settings("svd", energy=1.0, max_rank=0),
    ],
    ids=lambda s: s.label,
)
def test_delta_record_takes_the_delta_before_the_float32_cast(rng, settings):
    # Near-equal float64 weights: a delta cast after subtracting keeps it; subtracting
    # after casting both to float32 would lose it to the weights' rounding.
    base = 1.0 + rng.standard_normal((6, 5))
    tuned = base + 1e-6 * rng.standard_normal((6, 5))
    record = t._delta_record(base, tuned, settings)
    rebuilt = t._apply_delta(base, record)
    delta = tuned - base
    assert np.linalg.norm(rebuilt - tuned) <= 1e-5 * np.linalg.norm(delta)
