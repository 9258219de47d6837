"""State-dict loading from safetensors shards (velmora_dryx.lornet)."""

import sys
from pathlib import Path

import numpy as np
import pytest
from lornet_support import Bf16, random_tensors, write_shard

from velmora_dryx import lornet

safetensors = pytest.importorskip("safetensors")

LOADERS = [lornet.load_state_dict_numpy, lornet.load_state_dict_numpy_safe]


def ml_dtypes_present() -> bool:
    # With ml_dtypes the numpy backend reads bfloat16 by itself.
    try:
        import ml_dtypes  # noqa: F401
    except ImportError:
        return False
    return True


@pytest.fixture
def two_f32_shards(tmp_path):
    first = random_tensors(1, ["model.embed.weight", "model.layers.0.w", "model.norm.weight"])
    second = random_tensors(2, ["model.layers.1.w", "model.layers.0.w"])
    write_shard(tmp_path / "model-00002-of-00002.safetensors", second)
    write_shard(tmp_path / "model-00001-of-00002.safetensors", first)
    return tmp_path, first, second


class Recorder:
    """Wraps safetensors.safe_open: records the readers' arrays and the context exits."""

    def __init__(self, real, fail_on=None, exc=TypeError):
        self.real, self.fail_on, self.exc = real, fail_on, exc
        self.arrays, self.exits = {}, []

    def __call__(self, path, framework, **kwargs):
        if framework != "np":  # the torch loader opens files through the same name
            return self.real(path, framework=framework, **kwargs)
        assert isinstance(path, str) and not kwargs
        return _Reader(self, path)


class _Reader:
    def __init__(self, rec, path):
        self.rec, self.path, self.cm = rec, path, rec.real(path, framework="np")

    def __enter__(self):
        self.inner = self.cm.__enter__()
        return self

    def __exit__(self, *exc):
        self.rec.exits.append((Path(self.path).name, exc[0]))
        return self.cm.__exit__(*exc)

    def keys(self):
        return self.inner.keys()

    def get_tensor(self, name):
        if self.rec.fail_on == (Path(self.path).name, name):
            raise self.rec.exc("refused " + name)
        a = self.inner.get_tensor(name)
        self.rec.arrays[(Path(self.path).name, name)] = a
        return a


@pytest.mark.parametrize("load", LOADERS)
def test_default_dtype_is_numpys_float32_bound_at_import(load):
    assert load.__defaults__ == (np.float32,) and load.__defaults__[0] is np.float32


def test_float32_shards_load_in_shard_order_without_copies(monkeypatch, two_f32_shards):
    model_dir, first, second = two_f32_shards
    rec = Recorder(safetensors.safe_open)
    monkeypatch.setattr(safetensors, "safe_open", rec)
    out = lornet.load_state_dict_numpy(model_dir)
    # The shared name keeps its first position and takes the later shard's value.
    expected = {**first, **second}
    assert list(out) == list(expected)
    for name, value in expected.items():
        assert out[name].dtype == np.float32
        np.testing.assert_array_equal(out[name], value)
    last = {name: shard for shard, name in rec.arrays}
    for name in out:
        assert out[name] is rec.arrays[(last[name], name)]  # stored as read: no conversion copy
    assert [e for e in rec.exits] == [
        ("model-00001-of-00002.safetensors", None),
        ("model-00002-of-00002.safetensors", None),
    ]


def test_both_loaders_agree_on_float32_shards(two_f32_shards):
    model_dir, _, _ = two_f32_shards
    plain, safe = (load(model_dir) for load in LOADERS)
    assert list(plain) == list(safe)
    for name in plain:
        np.testing.assert_array_equal(plain[name], safe[name])


def test_keys_follow_the_readers_order_within_a_shard(tmp_path):
    write_shard(tmp_path / "m.safetensors", random_tensors(3, ["z", "a", "m"]))
    with safetensors.safe_open(str(tmp_path / "m.safetensors"), framework="np") as f:
        listed = list(f.keys())
    assert list(lornet.load_state_dict_numpy(tmp_path)) == listed


@pytest.mark.parametrize("load", LOADERS)
@pytest.mark.parametrize("dtype", [np.float16, np.float64, "float16"])
def test_requested_dtype_is_applied_to_every_stored_type(tmp_path, load, dtype):
    rng = np.random.default_rng(4)
    tensors = {
        "f16": rng.standard_normal((2, 3)).astype(np.float16),
        "f32": rng.standard_normal(5).astype(np.float32),
        "f64": rng.standard_normal((2, 2)),
        "i64": np.arange(6, dtype=np.int64).reshape(2, 3),
    }
    write_shard(tmp_path / "m.safetensors", tensors)
    out = load(tmp_path, dtype)
    for name, value in tensors.items():
        assert out[name].dtype == np.dtype(dtype)
        np.testing.assert_array_equal(out[name], value.astype(dtype))


@pytest.mark.parametrize("load", LOADERS)
def test_loaders_read_through_cache_links(tmp_path, load):
    blobs, snap = tmp_path / "blobs", tmp_path / "snapshots" / "rev"
    blobs.mkdir()
    snap.mkdir(parents=True)
    tensors = random_tensors(5, ["w"])
    write_shard(blobs / "digest", tensors)
    (snap / "model.safetensors").symlink_to(Path("../../blobs/digest"))
    np.testing.assert_array_equal(load(snap)["w"], tensors["w"])


@pytest.mark.parametrize("load", LOADERS)
def test_no_shards_raise_file_not_found(tmp_path, load):
    with pytest.raises(FileNotFoundError, match="^No .safetensors in "):
        load(tmp_path)


def test_reader_is_closed_when_a_tensor_fails(monkeypatch, two_f32_shards):
    model_dir, _, _ = two_f32_shards
    rec = Recorder(
        safetensors.safe_open, fail_on=("model-00002-of-00002.safetensors", "model.layers.0.w")
    )
    monkeypatch.setattr(safetensors, "safe_open", rec)
    with pytest.raises(TypeError, match="refused"):
        lornet.load_state_dict_numpy(model_dir)
    assert rec.exits[-1] == ("model-00002-of-00002.safetensors", TypeError)


def test_numpy_loader_fails_on_a_bfloat16_shard(tmp_path):
    if ml_dtypes_present():
        pytest.skip("ml_dtypes lets the numpy backend read bfloat16")
    write_shard(tmp_path / "m.safetensors", {"w": Bf16.from_float32([1.5, -2.0])})
    with pytest.raises(TypeError):
        lornet.load_state_dict_numpy(tmp_path)


def test_bad_dtype_propagates_numpys_error(two_f32_shards):
    with pytest.raises(TypeError):
        lornet.load_state_dict_numpy(two_f32_shards[0], "not-a-dtype")


@pytest.fixture
def mixed_shards(tmp_path):
    """Shard 1 float32, shard 2 bfloat16 (repeating a name of shard 1), shard 3 float32."""
    one = random_tensors(6, ["a", "shared"])
    two = {
        "shared": Bf16.from_float32(np.linspace(-3, 3, 12).reshape(3, 4)),
        "b": Bf16.from_float32(np.random.default_rng(7).standard_normal((2, 5))),
    }
    three = random_tensors(8, ["c"])
    for i, t in enumerate((one, two, three), 1):
        write_shard(tmp_path / f"model-0000{i}-of-00003.safetensors", t)
    return tmp_path, one, two, three


def test_safe_loader_falls_back_shard_by_shard(monkeypatch, mixed_shards):
    model_dir, one, two, three = mixed_shards
    calls = []

    def fake_fallback(shard, dtype):
        calls.append((shard, dtype))
        return {name: np.full((1,), i, dtype) for i, name in enumerate(("b", "shared"))}

    rec = Recorder(safetensors.safe_open, fail_on=("model-00002-of-00003.safetensors", "b"))
    monkeypatch.setattr(safetensors, "safe_open", rec)
    monkeypatch.setattr(lornet, "_bf16_safe_load", fake_fallback)
    out = lornet.load_state_dict_numpy_safe(model_dir, np.float16)
    assert calls == [(model_dir / "model-00002-of-00003.safetensors", np.float16)]
    assert list(out) == ["a", "shared", "b", "c"]
    np.testing.assert_array_equal(out["a"], one["a"].astype(np.float16))
    np.testing.assert_array_equal(out["c"], three["c"].astype(np.float16))
    np.testing.assert_array_equal(out["b"], [0])
    np.testing.assert_array_equal(out["shared"], [1])


def test_safe_loader_lets_an_interrupt_through(monkeypatch, mixed_shards):
    rec = Recorder(
        safetensors.safe_open,
        fail_on=("model-00001-of-00003.safetensors", "a"),
        exc=KeyboardInterrupt,
    )
    monkeypatch.setattr(safetensors, "safe_open", rec)
    monkeypatch.setattr(lornet, "_bf16_safe_load", lambda *a: pytest.fail("fallback ran"))
    with pytest.raises(KeyboardInterrupt):
        lornet.load_state_dict_numpy_safe(mixed_shards[0])


def test_failed_fallback_chains_to_the_numpy_error(monkeypatch, mixed_shards):
    if ml_dtypes_present():
        pytest.skip("ml_dtypes lets the numpy backend read bfloat16")
    monkeypatch.setitem(sys.modules, "torch", None)
    with pytest.raises(ImportError) as info:
        lornet.load_state_dict_numpy_safe(mixed_shards[0])
    assert isinstance(info.value.__context__, TypeError)
    assert "bfloat16" in str(info.value.__context__)


def test_missing_safetensors_triggers_the_fallback(monkeypatch, two_f32_shards):
    seen = []
    monkeypatch.setitem(sys.modules, "safetensors", None)
    monkeypatch.setattr(
        lornet, "_bf16_safe_load", lambda shard, dtype: seen.append(shard.name) or {}
    )
    assert lornet.load_state_dict_numpy_safe(two_f32_shards[0]) == {}
    assert seen == ["model-00001-of-00002.safetensors", "model-00002-of-00002.safetensors"]
    with pytest.raises(ImportError):
        lornet.load_state_dict_numpy(two_f32_shards[0])


# ---- through torch ----------------------------------------------------------------------


@pytest.mark.torch
def test_bfloat16_shard_widens_exactly_and_other_shards_stay_on_numpy(monkeypatch, mixed_shards):
    model_dir, one, two, three = mixed_shards
    real = lornet._bf16_safe_load
    used = []
    monkeypatch.setattr(lornet, "_bf16_safe_load", lambda s, d: used.append(s.name) or real(s, d))
    # Make the numpy path refuse bfloat16 even where ml_dtypes would let it through.
    rec = Recorder(safetensors.safe_open, fail_on=("model-00002-of-00003.safetensors", "b"))
    monkeypatch.setattr(safetensors, "safe_open", rec)
    out = lornet.load_state_dict_numpy_safe(model_dir)
    assert used == ["model-00002-of-00003.safetensors"]
    assert list(out) == ["a", "shared", "b", "c"]
    for name in ("shared", "b"):
        assert out[name].dtype == np.float32
        np.testing.assert_array_equal(out[name], two[name].widened())
    assert out["a"] is rec.arrays[("model-00001-of-00003.safetensors", "a")]
    assert out["c"] is rec.arrays[("model-00003-of-00003.safetensors", "c")]


@pytest.mark.torch
def test_partly_read_shard_is_reloaded_whole(monkeypatch, tmp_path):
    tensors = random_tensors(9, ["a", "b", "c"])
    write_shard(tmp_path / "m.safetensors", {**tensors, "h": Bf16.from_float32([0.5, -7.25])})

    class Corrupting(Recorder):
        # Hands out wrong values until the failing tensor: none of them may survive.
        def __call__(self, path, framework, **kwargs):
            reader = super().__call__(path, framework, **kwargs)
            if framework != "np":
                return reader
            get = reader.get_tensor
            reader.get_tensor = lambda name: np.zeros_like(get(name))
            return reader

    with safetensors.safe_open(str(tmp_path / "m.safetensors"), framework="np") as f:
        order = list(f.keys())
    rec = Corrupting(safetensors.safe_open, fail_on=("m.safetensors", order[-1]))
    monkeypatch.setattr(safetensors, "safe_open", rec)
    out = lornet.load_state_dict_numpy_safe(tmp_path)
    for name, value in tensors.items():
        np.testing.assert_array_equal(out[name], value)


@pytest.mark.torch
@pytest.mark.parametrize(
    "dtype",
    [
        np.float32,
        pytest.param(np.float16, marks=pytest.mark.filterwarnings("ignore:overflow")),
        np.float64,
    ],
)
def test_torch_path_goes_through_float32(tmp_path, dtype):
    big = np.array([2**24 + 1, 3], dtype=np.int64)
    fine = np.array([1 + 2**-40, 0.1])
    write_shard(
        tmp_path / "m.safetensors", {"big": big, "fine": fine, "h": Bf16.from_float32([0.5, -7.25])}
    )
    out = lornet._bf16_safe_load(tmp_path / "m.safetensors", dtype)
    assert list(out) == ["big", "fine", "h"]  # as the torch loader lists them
    for name, value in (("big", big), ("fine", fine), ("h", np.array([0.5, -7.25]))):
        assert out[name].dtype == np.dtype(dtype)
        np.testing.assert_array_equal(out[name], value.astype(np.float32).astype(dtype))


def test_cast_error_is_not_sent_to_torch(monkeypatch, mixed_shards):
    monkeypatch.setattr(lornet, "_bf16_safe_load", lambda *a: pytest.fail("fallback ran"))
    with pytest.raises(TypeError) as info:
        lornet.load_state_dict_numpy_safe(mixed_shards[0], "not-a-dtype")
    shard = mixed_shards[0] / "model-00001-of-00003.safetensors"
    assert info.value.__notes__ == [f"while loading the shard {shard}"]
