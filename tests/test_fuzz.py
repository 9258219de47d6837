"""Every public operation, called with hostile arguments, returns or raises a Python
exception: never a crash. Hypothesis draws the calls (fixed seed, bounded time) in a child
process; a crash there fails this test with the call that caused it."""

import inspect
import os
import subprocess
import sys
import tempfile
import time
import warnings
from pathlib import Path

BUDGET_SECONDS = 40.0
SEED_EXAMPLES = 1500


def test_public_operations_survive_hostile_arguments(tmp_path):
    last = tmp_path / "last_call.txt"
    env = dict(os.environ, VELMORA_FUZZ_LAST=str(last), VELMORA_FUZZ_HOME=str(tmp_path))
    proc = subprocess.run(
        [sys.executable, __file__], env=env, capture_output=True, text=True, timeout=600
    )
    if proc.returncode != 0:
        call = last.read_text() if last.exists() else "(none recorded)"
        raise AssertionError(
            f"fuzz child exited with {proc.returncode} on the call:\n{call}\n"
            f"stderr (tail):\n{proc.stderr[-4000:]}"
        )


# ---- the child ----------------------------------------------------------------------------


def _safe_repr(value):
    try:
        return repr(value)
    except Exception as exc:  # a hostile object's own repr may fail
        return f"<unrepresentable {type(value).__name__}: {exc!r}>"


def _child():
    home = Path(os.environ["VELMORA_FUZZ_HOME"])
    # Offline, and every store the modules look at is an empty directory of our own.
    for var in ("HF_HUB_OFFLINE", "HF_DATASETS_OFFLINE", "TRANSFORMERS_OFFLINE"):
        os.environ[var] = "1"
    os.environ["HF_HOME"] = str(home / "hf")
    os.environ["OLLAMA_MODELS"] = str(home / "ollama")
    os.environ["LMSTUDIO_MODELS"] = str(home / "lmstudio")
    import numpy as np
    from hypothesis import HealthCheck, given, settings
    from hypothesis import strategies as st

    from velmora_dryx import bramwick, dedup, kestrine, lornet, tamsel

    warnings.simplefilter("ignore")
    junk = home / "junk.bin"
    junk.write_bytes(b"\x00GGUF" * 9)
    (home / "model").mkdir()
    (home / "model" / "a.safetensors").write_bytes(b"\xff" * 8 + b"{}")

    class Duck:
        def __init__(self, shape, ndim, data):
            self.shape, self.ndim, self.dtype, self._data = shape, ndim, np.dtype("f4"), data

        def reshape(self, *a, **kw):
            return self._data

        def astype(self, *a, **kw):
            return self._data

        def __repr__(self):
            return f"Duck(shape={self.shape!r}, ndim={self.ndim}, data={self._data!r})"

    class Liar(np.ndarray):
        @property
        def shape(self):
            return (4000, 4000)

    dtypes = ["f4", "f8", "f2", "i1", "i8", "u2", "?", "c8", "c16", "O", ">f4"]
    extents = st.integers(0, 5)
    floats = st.sampled_from([0.0, 1.0, -1.0, 0.5, np.nan, np.inf, -np.inf, 3e38, 1e308, 5e-324])

    @st.composite
    def arrays(draw):
        shape = tuple(draw(st.lists(extents, max_size=4)))
        dtype = np.dtype(draw(st.sampled_from(dtypes)))
        a = (
            np.full(shape, draw(floats)).astype(dtype)
            if dtype.kind != "O"
            else np.empty(shape, dtype)
        )
        if a.size and dtype.kind in "fc":
            a.flat[:: max(1, a.size // 3)] = draw(floats)
        layout = draw(st.sampled_from(["c", "f", "rev", "misaligned", "broadcast", "liar", "ro"]))
        if layout == "f":
            a = np.asfortranarray(a)
        elif layout == "rev" and a.ndim:
            a = a[::-1]
        elif layout == "misaligned" and dtype.kind != "O":
            raw = np.zeros(a.nbytes + 1, np.uint8)
            a = np.frombuffer(raw.data, dtype, a.size, offset=1).reshape(a.shape)
        elif layout == "broadcast":
            a = np.broadcast_to(np.asarray(1, dtype), shape)
        elif layout == "liar":
            a = a.view(Liar)
        elif layout == "ro":
            a.flags.writeable = False
        return a

    huge = st.sampled_from([2**31, 2**32 + 1, 2**62, 2**63 - 1, 2**64, -(2**63), -1, 10**30])
    ints = st.integers(-3, 12) | huge
    shapes = st.tuples(*[ints] * 2) | st.lists(ints, max_size=5).map(tuple)
    ducks = st.builds(Duck, shapes, st.integers(-1, 4), arrays())
    methods = st.sampled_from(list(kestrine.CompressionMethod) + ["svd", "tt", "SVD", None, 3])
    records = st.builds(
        kestrine.CompressedTensor,
        methods,
        shapes,
        st.sampled_from(["float32", "float64", "int8", "bogus", "float16"]),
        st.lists(arrays(), max_size=4).map(tuple),
        st.lists(arrays(), max_size=4).map(tuple),
    )
    paths = st.sampled_from([home, junk, home / "model", home / "missing", Path("")])
    scalars = (
        ints
        | floats
        | st.booleans()
        | st.none()
        | st.text(max_size=12)
        | st.sampled_from(["svd", "tt", "tucker", "none", "*", "../x", "m:la*", "a:b"])
        | st.binary(max_size=16)
        | st.binary(max_size=16).map(memoryview)
    )
    leaves = scalars | arrays() | ducks | records | paths
    values = st.recursive(
        leaves,
        lambda inner: (
            st.lists(inner, max_size=3)
            | st.lists(inner, max_size=3).map(tuple)
            | st.dictionaries(st.text(max_size=4), inner, max_size=3)
        ),
        max_leaves=6,
    )

    def public(module):
        for name in dir(module):
            obj = getattr(module, name)
            if not name.startswith("__") and getattr(obj, "__module__", None) == module.__name__:
                yield f"{module.__name__}.{name}", obj

    targets = dict(public(kestrine))
    for module in (tamsel, dedup, lornet, bramwick):
        targets.update(public(module))
    for cls in (tamsel.ModelLibrary, dedup.DedupStore):
        for name, member in vars(cls).items():
            if callable(member) and not name.startswith("__"):
                targets[f"{cls.__name__}.{name}"] = member
    del targets["velmora_dryx.lornet._load_wikitext_ids"]  # a dataset download
    del targets["velmora_dryx.lornet.perplexity_from_state_dict"]

    def instances(draw):
        return draw(
            st.sampled_from(["library", "store", "value"]).flatmap(
                lambda kind: {
                    "library": st.builds(
                        lambda b, e: tamsel.ModelLibrary("base", b, energy=e),
                        st.dictionaries(st.sampled_from(["w", "b"]), arrays(), max_size=2),
                        st.none() | floats,
                    ),
                    "store": st.builds(dedup.DedupStore, st.integers(1, 64)),
                    "value": values,
                }[kind]
            )
        )

    def arguments(draw, fn):
        try:
            params = list(inspect.signature(fn).parameters.values())
        except (TypeError, ValueError):
            params = []
        args, kwargs = [], {}
        for p in params:
            if p.default is not p.empty and draw(st.booleans()):
                continue
            value = instances(draw) if p.name == "self" else draw(values)
            if p.kind == p.KEYWORD_ONLY:
                kwargs[p.name] = value
            else:
                args.append(value)
        if draw(st.integers(0, 9)) == 0:
            args.append(draw(values))
        return args, kwargs

    last = Path(os.environ["VELMORA_FUZZ_LAST"])
    deadline = time.monotonic() + BUDGET_SECONDS
    calls = []

    @settings(
        max_examples=SEED_EXAMPLES,
        derandomize=True,
        database=None,
        deadline=None,
        suppress_health_check=list(HealthCheck),
    )
    @given(st.sampled_from(sorted(targets)), st.data())
    def run(name, data):
        fn = targets[name]
        args, kwargs = arguments(data.draw, fn)
        if time.monotonic() > deadline:
            return  # out of time: the draws stay the same, only the call is skipped
        calls.append(name)
        with open(last, "w") as f:
            f.write(f"{name}(*{_safe_repr(args)}, **{_safe_repr(kwargs)})")
        try:
            fn(*args, **kwargs)
        except SystemError:
            raise  # an error returned without an exception set: a bug of the module
        except Exception:
            pass

    run()
    print(f"{len(calls)} calls of {len(set(calls))} operations", file=sys.stderr)


if __name__ == "__main__":
    with tempfile.TemporaryDirectory():
        _child()
