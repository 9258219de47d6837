"""Block deduplication store, checked against a pure-Python store built on hashlib."""

import collections
import collections.abc
import ctypes
import dataclasses
import hashlib
import re
import shutil
import subprocess
import textwrap
import warnings
from pathlib import Path

import numpy as np
import pytest

from velmora_dryx import dedup

DedupStore, _blocks = dedup.DedupStore, dedup._blocks
MIB = 1 << 20


# --- the oracle -----------------------------------------------------------------------


def ref_blocks(buf, block):
    block = int(block)
    n = len(buf)
    if block < 0:
        raise ValueError(f"block size must be positive, got {block}")
    for off in range(0, n, block):
        yield buf[off : off + block]


class RefStore:
    def __init__(self, block_size=MIB):
        self.block_size = block_size
        self.unique, self.tenants, self._tenant_bytes = {}, {}, {}

    def add_tensor_bytes(self, tenant, data):
        refs = self.tenants.setdefault(tenant, [])
        for blk in ref_blocks(memoryview(data), self.block_size):
            h = hashlib.sha256(blk).hexdigest()
            self.unique.setdefault(h, len(blk))
            refs.append(h)
            self._tenant_bytes[tenant] = self._tenant_bytes.get(tenant, 0) + len(blk)

    def add_state_dict(self, tenant, sd):
        for name in sorted(sd):
            self.add_tensor_bytes(tenant, np.ascontiguousarray(sd[name]).tobytes())

    def summary(self):
        naive, deduped = sum(self._tenant_bytes.values()), sum(self.unique.values())
        return {
            "tenants": len(self.tenants),
            "block_size": self.block_size,
            "naive_bytes": naive,
            "deduped_bytes": deduped,
            "unique_blocks": len(self.unique),
            "dedup_ratio": naive / deduped if deduped else 1.0,
            "shared_fraction": 1.0 - deduped / naive if naive else 0.0,
        }


def assert_same(store, ref):
    assert store.unique == ref.unique and list(store.unique) == list(ref.unique)
    assert store.tenants == ref.tenants and list(store.tenants) == list(ref.tenants)
    assert store._tenant_bytes == ref._tenant_bytes
    assert store.summary() == ref.summary()
    assert list(store.summary()) == list(ref.summary())


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)


# --- module and record ----------------------------------------------------------------


def test_module_namespace_follows_the_documented_body_order():
    assert dedup.__doc__.startswith("Content-addressed weight deduplication across tenants.")
    names = [n for n in vars(dedup) if not n.startswith("__")]
    assert names == ["hashlib", "dataclass", "field", "np", "_blocks", "DedupStore"]
    assert _blocks.__doc__ == "Yield fixed-size byte blocks (last may be short)."


def test_store_is_a_plain_unhashable_dataclass_with_fresh_containers():
    assert [(f.name, f.type) for f in dataclasses.fields(DedupStore)] == [
        ("block_size", "int"),
        ("unique", "dict[str, int]"),
        ("tenants", "dict[str, list[str]]"),
        ("_tenant_bytes", "dict[str, int]"),
    ]
    assert DedupStore.__doc__ == "Global content-addressed block store shared across tenants."
    a, b = DedupStore(), DedupStore()
    assert a == b and a.unique is not b.unique and a.block_size == MIB
    with pytest.raises(TypeError, match="unhashable"):
        hash(a)
    u, t, tb = {"h": 1}, {"x": ["h"]}, {"x": 1}
    c = DedupStore(8, u, t, tb)
    assert (c.unique, c.tenants, c._tenant_bytes) == (u, t, tb) and c.unique is u
    assert DedupStore(block_size=8, _tenant_bytes=tb)._tenant_bytes is tb


# --- _blocks --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "n,block", [(0, 4), (1, 4), (10, 4), (12, 4), (10, 10), (10, 11), (10, 1), (7, 2**70)]
)
def test_blocks_cut_views_that_share_memory(n, block):
    raw = bytearray(range(n))
    buf = memoryview(raw)
    got = list(_blocks(buf, block))
    assert [bytes(b) for b in got] == [bytes(b) for b in ref_blocks(buf, block)]
    assert all(isinstance(b, memoryview) and b.obj is raw for b in got)
    if got:
        raw[0] = 200
        assert got[0][0] == 200


def test_blocks_convert_block_and_check_buf_at_the_call():
    assert [len(b) for b in _blocks(memoryview(b"abcdefg"), 3.9)] == [3, 3, 1]
    with pytest.raises(TypeError, match=r"^Argument 'block' has incorrect type \(expected int"):
        _blocks(memoryview(b""), "3")
    with pytest.raises(TypeError, match=r"expected memoryview, got bytes\)$"):
        _blocks(b"abc", 3)


@pytest.mark.parametrize(
    "block,message", [(0, "range() arg 3 must not be zero"), (-2, "must be positive, got -2")]
)
@pytest.mark.parametrize("n", [0, 5])
def test_blocks_refuse_a_bad_step_only_when_iterated(block, message, n):
    gen = _blocks(memoryview(bytes(n)), block)
    with pytest.raises(ValueError, match=re.escape(message)):
        next(gen)
    with pytest.raises(StopIteration):
        next(gen)


def test_blocks_read_the_length_lazily():
    buf = memoryview(b"abcdef")
    gen = _blocks(buf, 2)
    buf.release()
    with pytest.raises(ValueError, match="released memoryview"):
        next(gen)


def outcome(gen, op):
    try:
        kind, *arg = op
        value = getattr(gen, kind)(*arg) if kind != "next" else next(gen)
        return ("value", bytes(value) if isinstance(value, memoryview) else value)
    except BaseException as exc:  # the kind and text of the failure are what is compared
        cause = type(exc.__cause__).__name__ if exc.__cause__ else None
        return ("raised", type(exc).__name__, str(exc), cause)


@pytest.mark.parametrize(
    "ops",
    [
        [("send", 1), ("next",)],
        [("send", None), ("send", 5), ("next",), ("next",), ("send", None)],
        [("throw", KeyError("k")), ("next",)],
        [("next",), ("throw", KeyError), ("next",), ("throw", OSError("again"))],
        [("next",), ("throw", StopIteration), ("next",)],
        [("throw", StopIteration("x"))],
        [("next",), ("close",), ("next",), ("close",), ("send", 3)],
        [("close",), ("send", 3)],
        [("throw", 3), ("next",)],
        [("throw", KeyError("k"), "v")],
        [("next",), ("throw", GeneratorExit), ("next",)],
    ],
)
def test_blocks_behave_like_a_generator(ops):
    data = memoryview(b"abcdefgh")
    gen, ref = _blocks(data, 3), ref_blocks(data, 3)
    assert isinstance(gen, collections.abc.Generator)
    for op in ops:
        with warnings.catch_warnings(record=True) as got:
            warnings.simplefilter("always")
            mine = outcome(gen, op)
            theirs = outcome(ref, op)
        assert mine == theirs, op
        assert len(got) % 2 == 0 and len({w.category for w in got}) <= 1


# --- hashing --------------------------------------------------------------------------

LENGTHS = [1, 3, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 1000, 4096, 3 * MIB + 17]


@pytest.mark.parametrize("n", LENGTHS)
def test_digest_matches_hashlib(n, rng):
    data = rng.integers(0, 256, n, dtype=np.uint8).tobytes()
    store = DedupStore(block_size=n)
    store.add_tensor_bytes("t", data)
    assert store.tenants["t"] == [hashlib.sha256(data).hexdigest()]


@pytest.fixture(scope="module")
def core_sha256(tmp_path_factory):
    """The C++ hashing core compiled on its own, to reach both of its code paths."""
    cxx = shutil.which("c++") or shutil.which("g++")
    core = Path(__file__).resolve().parents[1] / "cpp" / "core"
    if cxx is None or not (core / "sha256.cpp").exists():
        pytest.skip("needs a C++ compiler and the source tree")
    d = tmp_path_factory.mktemp("sha")
    (d / "probe.cpp").write_text(
        textwrap.dedent("""
        #include "sha256.hpp"
        using namespace velmora::core;
        extern "C" int probe_hw() { return sha256_hardware_available() ? 1 : 0; }
        extern "C" void probe(int path, const void* const* p, unsigned long count,
                              unsigned long n, unsigned char* out) {
          Sha256Digest d[16];
          const Sha256Path which = path == 0 ? Sha256Path::Portable : Sha256Path::Hardware;
          if (count == 1) d[0] = sha256(p[0], n, which);
          else sha256_many(p, count, n, d, which);
          for (unsigned long k = 0; k < count; ++k)
            for (int i = 0; i < 32; ++i) out[32 * k + i] = d[k][i];
        }
        """)
    )
    lib = d / "libprobe.so"
    cmd = [cxx, "-std=c++20", "-O2", "-shared", "-fPIC", f"-I{core}", str(core / "sha256.cpp")]
    subprocess.run([*cmd, str(d / "probe.cpp"), "-o", str(lib)], check=True)
    return ctypes.CDLL(str(lib))


@pytest.mark.parametrize("path", ["portable", "hardware"])
@pytest.mark.parametrize("count", [1, 2, 3, 7])
def test_both_hashing_paths_match_hashlib(core_sha256, path, count, rng):
    if path == "hardware" and not core_sha256.probe_hw():
        pytest.skip("this CPU has no SHA extensions")
    out = ctypes.create_string_buffer(32 * count)
    lengths = [*range(0, 260, 1 if count < 3 else 7), *LENGTHS[-4:]]
    for n in lengths + ([5 * MIB + 3] if count == 1 else []):
        data = [rng.integers(0, 256, n, dtype=np.uint8).tobytes() for _ in range(count)]
        core_sha256.probe(
            0 if path == "portable" else 1, (ctypes.c_char_p * count)(*data), count, n, out
        )
        assert out.raw == b"".join(hashlib.sha256(m).digest() for m in data), n


# --- the store ------------------------------------------------------------------------


def test_empty_store_figures():
    s = DedupStore()
    assert (s.naive_bytes(), s.deduped_bytes(), s.dedup_ratio(), s.shared_fraction()) == (
        0,
        0,
        1.0,
        0.0,
    )
    assert list(s.summary().items()) == list(RefStore().summary().items())


@pytest.mark.parametrize(
    "chunks,block_size,naive,deduped",
    [
        ([("a", b"")], MIB, 0, 0),
        ([("a", bytes(5 * MIB // 2))], MIB, 5 * MIB // 2, 3 * MIB // 2),
        ([("a", "distinct"), ("b", "distinct")], MIB, 6 * MIB, 3 * MIB),
        ([("a", bytes(3 * MIB))], MIB, 3 * MIB, MIB),
        ([("a", "tail")], 64, 3 * MIB + 3, 3 * MIB + 3),
        ([("a", b"abcdefgh" * 3), ("a", b"abcdefgh" * 3), ("b", b"xyz")], 8, 51, 11),
        ([("a", b"abcdefghij"), ("b", b"abcdefghij")], 4096.0, 20, 10),
    ],
)
def test_store_matches_the_oracle(chunks, block_size, naive, deduped, rng):
    s, ref = DedupStore(block_size=block_size), RefStore(block_size)
    distinct = rng.integers(0, 256, 3 * MIB, dtype=np.uint8).tobytes()
    for tenant, data in chunks:
        data = {"distinct": distinct, "tail": distinct + b"xyz"}.get(data, data)
        s.add_tensor_bytes(tenant, data)
        ref.add_tensor_bytes(tenant, data)
    assert_same(s, ref)
    assert (s.naive_bytes(), s.deduped_bytes()) == (naive, deduped)
    assert type(s.naive_bytes()) is int and type(s.dedup_ratio()) is float


def test_containers_of_other_mapping_types_work_through_their_methods():
    def containers():
        return collections.OrderedDict(), collections.defaultdict(list), collections.Counter()

    s, ref = DedupStore(3, *containers()), RefStore(3)
    ref.unique, ref.tenants, ref._tenant_bytes = containers()
    for tenant, data in [("a", b"abcdefg"), ("b", b"abcabc"), ("a", b"")]:
        s.add_tensor_bytes(tenant, data)
        ref.add_tensor_bytes(tenant, data)
    assert_same(s, ref)
    assert type(s.unique) is collections.OrderedDict and s.naive_bytes() == 13


def test_block_size_change_affects_only_later_calls():
    s, ref = DedupStore(block_size=4), RefStore(4)
    for size in (4, 3, 4):
        s.block_size = ref.block_size = size
        s.add_tensor_bytes("t", b"0123456789")
        ref.add_tensor_bytes("t", b"0123456789")
    assert_same(s, ref)


@pytest.mark.parametrize(
    "block_size,error,match",
    [
        (0, ValueError, r"^range\(\) arg 3 must not be zero$"),
        (-4, ValueError, "must be positive, got -4"),
        ("big", TypeError, r"^Argument 'block' has incorrect type \(expected int, got str\)$"),
    ],
)
@pytest.mark.parametrize("data", [b"", b"abc"])
def test_bad_block_size_raises_after_registering_the_tenant(block_size, error, match, data):
    s = DedupStore(block_size=block_size)
    with pytest.raises(error, match=match):
        s.add_tensor_bytes("t", data)
    assert s.tenants == {"t": []} and s.unique == {} and s._tenant_bytes == {}


def test_state_dict_is_cut_per_tensor_in_sorted_order():
    s = DedupStore(block_size=4)
    a, b = np.arange(10, dtype=np.uint8), np.arange(100, 106, dtype=np.uint8)
    s.add_state_dict("t", {"b": b, "a": a})
    lengths = [s.unique[h] for h in s.tenants["t"]]
    assert lengths == [4, 4, 2, 4, 2]
    assert s.tenants["t"][2] == hashlib.sha256(a[8:].tobytes()).hexdigest()


ARRAYS = {
    "transposed": lambda x: x.T,
    "strided": lambda x: x[::2, 1::3],
    "fortran": np.asfortranarray,
    "big-endian": lambda x: x.astype(">f4"),
    "scalar": lambda x: x[1, 2],
    "float64": lambda x: x.astype(np.float64)[:, :5],
    "list": lambda x: x[:3].tolist(),
}


@pytest.mark.parametrize("kind", ARRAYS)
def test_any_array_is_stored_by_its_row_major_bytes(kind, rng):
    value = ARRAYS[kind](rng.standard_normal((40, 33)).astype(np.float32))
    s, ref, copy = DedupStore(block_size=64), RefStore(64), DedupStore(block_size=64)
    s.add_state_dict("t", {"w": value})
    ref.add_state_dict("t", {"w": value})
    copy.add_state_dict("t", {"w": np.array(value, order="C")})
    assert_same(s, ref)
    assert s.tenants == copy.tenants


def test_fine_tunes_of_one_base_share_its_blocks(rng):
    base = {f"layer{i}.w": rng.standard_normal((256, 300)).astype(np.float32) for i in range(6)}
    base["bias"] = rng.standard_normal(77).astype(np.float32)
    s, ref = DedupStore(block_size=64 * 1024), RefStore(64 * 1024)
    for t in range(4):
        sd = dict(base)
        for name in (f"layer{t}.w", "bias")[: 1 + t % 2]:
            sd[name] = sd[name] + np.float32(0.01 * (t + 1))
        s.add_state_dict(f"tenant{t}", sd)
        ref.add_state_dict(f"tenant{t}", sd)
    assert_same(s, ref)
    total = sum(a.nbytes for a in base.values())
    assert s.naive_bytes() == 4 * total
    assert total < s.deduped_bytes() < 2 * total
    assert 2.0 < s.dedup_ratio() < 4.0 and 0.5 < s.shared_fraction() < 0.75


def test_state_dict_failures_keep_what_was_recorded():
    s = DedupStore(block_size=4)
    with pytest.raises(TypeError, match="'<' not supported"):
        s.add_state_dict("t", {"a": np.zeros(4), 1: np.zeros(4)})
    assert s == DedupStore(block_size=4)
    with pytest.raises(ValueError):
        s.add_state_dict("t", {"a": np.zeros(4, np.uint8), "b": [[1], [1, 2]]})
    assert s.tenants["t"] == [hashlib.sha256(bytes(4)).hexdigest()]
    s.add_state_dict("u", {})
    assert "u" not in s.tenants


def test_overrides_are_honoured_through_the_instance():
    seen = []

    class Recording(DedupStore):
        def add_tensor_bytes(self, tenant, data):
            seen.append((tenant, type(data), data))
            super().add_tensor_bytes(tenant, data)

        def deduped_bytes(self):
            return 4

        def naive_bytes(self):
            return 10

    r = Recording(block_size=2)
    r.add_state_dict("t", {"z": np.array([1], np.uint8), "a": np.arange(3, dtype=np.uint8).T})
    assert seen == [("t", bytes, b"\x00\x01\x02"), ("t", bytes, b"\x01")]
    assert r._tenant_bytes == {"t": 4}
    assert (r.dedup_ratio(), r.shared_fraction()) == (2.5, 0.6)
    summary = r.summary()
    assert (summary["naive_bytes"], summary["deduped_bytes"], summary["dedup_ratio"]) == (
        10,
        4,
        2.5,
    )


def test_totals_from_the_initialiser_are_truncated_to_int():
    s = DedupStore(unique={"h": 2.75, "g": 1}, _tenant_bytes={"t": 10**30, "u": 5})
    assert (s.deduped_bytes(), s.naive_bytes()) == (3, 10**30 + 5)
    assert type(s.deduped_bytes()) is int


ARG_ERRORS = [
    (
        lambda s: s.add_tensor_bytes("t", bytearray(b"x")),
        r"^Argument 'data' has incorrect type \(expected bytes, got bytearray\)$",
    ),
    (
        lambda s: s.add_tensor_bytes("t", memoryview(b"x")),
        r"expected bytes, got memoryview\)$",
    ),
    (lambda s: s.add_tensor_bytes(None, b""), r"^Argument 'tenant' .*expected str, got NoneType"),
    (lambda s: s.add_state_dict("t", [("a", 1)]), r"'sd' .*expected dict, got list"),
    (
        lambda s: s.add_tensor_bytes("t"),
        r"^add_tensor_bytes\(\) takes exactly 3 positional arguments \(2 given\)$",
    ),
    (lambda s: s.summary(1), r"^summary\(\) takes exactly 1 positional argument \(2 given\)$"),
    (
        lambda s: s.add_tensor_bytes("t", data=b"", size=2),
        r"^add_tensor_bytes\(\) got an unexpected keyword argument 'size'$",
    ),
]


@pytest.mark.parametrize("call,match", ARG_ERRORS)
def test_argument_errors_use_the_standard_wording(call, match):
    s = DedupStore()
    with pytest.raises(TypeError, match=match):
        call(s)
    assert s == DedupStore()


def test_subclass_of_str_or_bytes_is_refused_with_a_note():
    class Name(str):
        pass

    with pytest.raises(TypeError, match="expected str, got Name") as info:
        DedupStore().add_tensor_bytes(Name("t"), b"")
    assert any("ubclasses of built-in types" in n for n in info.value.__notes__)
