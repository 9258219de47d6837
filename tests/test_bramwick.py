"""Local GGUF models: Ollama and LM Studio stores built in tmp dirs, GGUF files written with
gguf.GGUFWriter."""

from __future__ import annotations

import hashlib
import json
import os
import sys
import types
from pathlib import Path

import numpy as np
import pytest
from data import run_python, write_gguf

from velmora_dryx import bramwick

MODEL = "application/vnd.ollama.image.model"
PARAMS = "application/vnd.ollama.image.params"
TEMPLATE = "application/vnd.ollama.image.template"
REGISTRY = "registry.ollama.ai"


def digest(seed: str) -> str:
    return "sha256:" + hashlib.sha256(seed.encode()).hexdigest()


class OllamaStore:
    """An Ollama models tree: manifests/<host>/<namespace>/<model>/<tag> and blobs/."""

    def __init__(self, root: Path):
        self.root = root
        self.manifests = root / "manifests"
        self.blobs = root / "blobs"
        self.blobs.mkdir(parents=True)

    def blob(self, dig: str, size: int = 0) -> Path:
        path = self.blobs / dig.replace(":", "-")
        with open(path, "wb") as f:
            f.truncate(size)
        return path

    def manifest(self, rel: str, layers=None, raw: str | None = None) -> Path:
        path = self.manifests / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        doc = {"schemaVersion": 2, "layers": layers or []}
        path.write_text(raw if raw is not None else json.dumps(doc))
        return path

    def model(self, rel: str, weights: int = 64, tag_seed: str | None = None) -> Path:
        """A manifest with a model layer, a template and params; returns the weights blob."""
        seed = tag_seed or rel
        layers = [
            {"mediaType": MODEL, "digest": digest(seed + "w"), "size": weights},
            {"mediaType": TEMPLATE, "digest": digest(seed + "t"), "size": 10},
            {"mediaType": PARAMS, "digest": digest(seed + "p"), "size": 5},
        ]
        for layer in layers:
            self.blob(layer["digest"], layer["size"])
        self.manifest(rel, layers)
        return self.blobs / layers[0]["digest"].replace(":", "-")


@pytest.fixture
def store(tmp_path, monkeypatch):
    s = OllamaStore(tmp_path / "ollama")
    monkeypatch.setattr(bramwick, "OLLAMA_HOME", s.root)
    return s


def walk_order(root: Path) -> list[Path]:
    return [p for p in root.rglob("*") if p.is_file()]


# --------------------------------------------------------------------------- Ollama listing


def test_list_ollama_models_sums_layers_and_skips_bad_manifests(store):
    store.model(f"{REGISTRY}/library/llama3/latest", weights=1000)
    store.model(f"{REGISTRY}/library/llama3/8b-q4", weights=500)
    store.model(f"{REGISTRY}/alice/mistral/v1", weights=7)
    store.model("hf.co/org/tiny/Q8_0", weights=3)
    store.manifest(f"{REGISTRY}/library/nolayers/latest", raw="{}")
    store.manifest(f"{REGISTRY}/library/nosize/latest", [{"digest": digest("a")}, {"size": 4}])
    bad = {
        "badjson": "{not json",
        "toplist": "[1, 2]",
        "layernum": '{"layers": [3]}',
        "sizestr": '{"layers": [{"size": 1}, {"size": "big"}]}',
        "binary": None,
    }
    for model, raw in bad.items():
        if raw is None:
            path = store.manifests / REGISTRY / "library" / model / "latest"
            path.parent.mkdir(parents=True)
            path.write_bytes(b"\xff\xfe\x00garbage")
        else:
            store.manifest(f"{REGISTRY}/library/{model}/latest", raw=raw)
    store.manifest("stray", [{"size": 1}])  # one component: not a model
    (store.manifests / REGISTRY / "library" / "emptydir" / "sub").mkdir(parents=True)

    expected_sizes = {
        "llama3:latest": 1015,
        "llama3:8b-q4": 515,
        "mistral:v1": 22,
        "tiny:Q8_0": 18,
        "nolayers:latest": 0,
        "nosize:latest": 4,
    }
    expected = []
    for p in walk_order(store.manifests):
        key = f"{p.parent.name}:{p.name}"
        if key in expected_sizes:
            expected.append({"name": key, "size_bytes": expected_sizes[key]})
    got = bramwick.list_ollama_models()
    assert got == expected
    assert [list(e) for e in got] == [["name", "size_bytes"]] * len(got)


def test_list_ollama_models_same_model_in_two_namespaces(store):
    store.model(f"{REGISTRY}/library/phi/latest")
    store.model(f"{REGISTRY}/bob/phi/latest")
    assert [e["name"] for e in bramwick.list_ollama_models()] == ["phi:latest"] * 2


def test_list_ollama_models_without_manifests_dir(tmp_path, monkeypatch):
    monkeypatch.setattr(bramwick, "OLLAMA_HOME", tmp_path / "absent")
    assert bramwick.list_ollama_models() == []


# --------------------------------------------------------------------------- Ollama lookup


@pytest.mark.parametrize(
    "rel, query",
    [
        (f"{REGISTRY}/library/llama3/latest", "llama3"),
        (f"{REGISTRY}/library/llama3/latest", "llama3:latest"),
        (f"{REGISTRY}/library/llama3/8b", "llama3:8b"),
        (f"{REGISTRY}/library/qwen/7b:q4", "qwen:7b:q4"),  # the tag keeps later colons
        (f"{REGISTRY}/library/org/deep/1", "org/deep:1"),  # "/" descends
        (f"{REGISTRY}/alice/mistral/v1", "alice/mistral:v1"),  # other namespace
        ("hf.co/org/tiny/Q8_0", "hf.co/org/tiny:Q8_0"),  # other registry
    ],
)
def test_find_ollama_blob_resolves_model_layer(store, rel, query):
    store.model(f"{REGISTRY}/library/decoy/latest")
    blob = store.model(rel)
    got = bramwick.find_ollama_blob(query)
    assert isinstance(got, Path)
    assert got == blob


def test_find_ollama_blob_prefers_default_namespace_then_first_in_walk(store):
    default = store.model(f"{REGISTRY}/library/phi/latest", tag_seed="default")
    store.model(f"{REGISTRY}/bob/phi/latest", tag_seed="bob")
    assert bramwick.find_ollama_blob("phi") == default

    store2 = OllamaStore(store.root.parent / "other")
    bramwick.OLLAMA_HOME = store2.root  # rebinding redirects (monkeypatch restores it)
    a = store2.model("x.io/a/phi/latest", tag_seed="a")
    b = store2.model("x.io/b/phi/latest", tag_seed="b")
    first = next(iter(store2.manifests.rglob("phi/latest")))
    assert bramwick.find_ollama_blob("phi") == (a if first.parts[-3] == "a" else b)


@pytest.mark.parametrize("name, shown", [("nope", "nope:latest"), ("nope:7b", "nope:7b")])
def test_find_ollama_blob_missing_model_message(store, name, shown):
    store.model(f"{REGISTRY}/library/llama3/latest")
    msg = (
        f"Ollama model '{shown}' not found in {store.manifests}.\n"
        f"Run `ollama pull {shown}` first, or set OLLAMA_MODELS to your Ollama models directory."
    )
    with pytest.raises(FileNotFoundError) as exc:
        bramwick.find_ollama_blob(name)
    assert str(exc.value) == msg


def layer(seed, size, media=PARAMS):
    return {"mediaType": media, "digest": digest(seed), "size": size}


@pytest.mark.parametrize(
    "layers, present, want",
    [
        # the model layer wins even when smaller
        ([layer("w", 1, MODEL), layer("big", 0)], {"w": 1, "big": 900}, "w"),
        # "model" anywhere in the media type
        ([layer("p", 0), layer("w", 0, "x/custom-model+gguf")], {"p": 9, "w": 1}, "w"),
        # model blob missing: the largest present blob
        ([layer("w", 0, MODEL), layer("a", 0), layer("b", 0)], {"a": 5, "b": 50}, "b"),
        # a tie goes to the earliest layer
        ([layer("a", 0), layer("b", 0), layer("c", 0)], {"b": 7, "c": 7, "a": 3}, "b"),
        # layers without a media type are still candidates
        ([{"digest": digest("n")}], {"n": 0}, "n"),
    ],
)
def test_find_ollama_blob_choice(store, layers, present, want):
    for seed, size in present.items():
        store.blob(digest(seed), size)
    store.manifest(f"{REGISTRY}/library/m/latest", layers)
    assert bramwick.find_ollama_blob("m").name == digest(want).replace(":", "-")


@pytest.mark.parametrize("layers", [[layer("w", 3, MODEL), layer("t", 2)], [], None])
def test_find_ollama_blob_without_blobs(store, layers):
    raw = None if layers is not None else '{"config": {}}'
    store.manifest(f"{REGISTRY}/library/m/v2", layers, raw=raw)
    with pytest.raises(FileNotFoundError) as exc:
        bramwick.find_ollama_blob("m:v2")
    assert str(exc.value) == f"No GGUF blob found for 'm:v2' in {store.blobs}"


@pytest.mark.parametrize(
    "raw, error",
    [
        ("{broken", json.JSONDecodeError),
        ("[]", AttributeError),
        (json.dumps({"layers": [{"mediaType": MODEL}]}), KeyError),
        (json.dumps({"layers": [{"mediaType": TEMPLATE}]}), KeyError),
    ],
)
def test_find_ollama_blob_bad_manifest_raises_underlying_error(store, raw, error):
    store.manifest(f"{REGISTRY}/library/m/latest", raw=raw)
    with pytest.raises(error):
        bramwick.find_ollama_blob("m")


def test_find_ollama_blob_stays_inside_the_store(store, tmp_path):
    store.model(f"{REGISTRY}/library/llama3/latest")
    # A complete model outside the store that a crafted name could reach.
    outside = OllamaStore(tmp_path / "outside")
    outside.model(f"{REGISTRY}/library/secret/latest")
    secret = outside.manifests / REGISTRY / "library" / "secret" / "latest"
    (store.manifests / REGISTRY / "library" / "secret").mkdir()
    crafted = [
        "../../../../outside/manifests/registry.ollama.ai/library/secret",
        "secret:../../../../../outside/manifests/registry.ollama.ai/library/secret/latest",
        str(secret.parent),
        f"x:{secret}",
        "llama3/..:latest",
        "",
        ":",
        "llama3:",
    ]
    for name, tag in [(crafted[0], "latest"), crafted[1].split(":", 1), (crafted[2], "latest")]:
        # without care these would reach the outside manifest
        assert (store.manifests / REGISTRY / "library" / name / tag).resolve() == secret
    for name in crafted:
        shown = name if ":" in name else name + ":latest"
        with pytest.raises(FileNotFoundError, match="not found in") as exc:
            bramwick.find_ollama_blob(name)
        assert str(exc.value).startswith(f"Ollama model '{shown}' not found in {store.manifests}.")


# Untrusted store contents: digests, names with glob metacharacters, odd manifest files.


@pytest.mark.parametrize(
    "bad",
    [
        "/OUT/model.gguf",
        "../../x.gguf",
        "..",
        "",
        "sha256:../x",
        "sha256:zz",
        "../secret:ab",
        ":ab",
        "s ha:ab",
        "sha256:",
        "sh\u00e9:ab",
        "sha256:\uff41b",
        7,
    ],
)
def test_find_ollama_blob_refuses_digests_that_are_not_algorithm_hex(store, tmp_path, bad):
    bad = bad.replace("/OUT", str(tmp_path)) if isinstance(bad, str) else bad
    # The file the digest names is in place (in blobs/ or out of it), so accepting it shows.
    target = store.blobs / bad.replace(":", "-") if isinstance(bad, str) else store.blobs
    if not target.exists() and target.resolve().is_relative_to(tmp_path.resolve()):
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(b"GGUF")
    layers = [{"mediaType": MODEL, "digest": bad, "size": 4}]
    store.manifest(f"{REGISTRY}/library/m/latest", layers)
    with pytest.raises(FileNotFoundError, match="No GGUF blob found"):
        bramwick.find_ollama_blob("m")
    # A well-formed layer next to it is still found (largest present blob).
    ok = layer("ok", 3)
    store.blob(ok["digest"], 3)
    store.manifest(f"{REGISTRY}/library/m/latest", [*layers, ok])
    assert bramwick.find_ollama_blob("m").parent == store.blobs


@pytest.mark.parametrize("query", ["*", "**", "[a-z]*", "m:la*", "*:*", "m:.", "./m", "m:[l]atest"])
def test_find_ollama_blob_matches_names_literally(store, query):
    store.model("x.io/ns/llama3/latest")
    store.model(f"{REGISTRY}/library/m/latest")
    (store.manifests / "x.io" / "ns" / "m").mkdir()
    odd = store.model("x.io/ns/we[ird]*/v1")
    if query == "m:la*":  # the literal name exists nowhere; the real one needs no pattern
        assert bramwick.find_ollama_blob("m").exists()
    with pytest.raises(FileNotFoundError, match="not found in"):
        bramwick.find_ollama_blob(query)
    assert bramwick.find_ollama_blob("ns/we[ird]*:v1") == odd


def _alarm(seconds):
    import signal

    def fail(*_):
        raise TimeoutError("blocked")

    signal.signal(signal.SIGALRM, fail)
    signal.alarm(seconds)


@pytest.mark.parametrize("kind", ["fifo", "huge", "dev-zero", "outside"])
def test_manifests_that_are_not_small_regular_files_inside_the_store(store, tmp_path, kind):
    store.model("x.io/ns/good/latest")
    path = store.manifests / REGISTRY / "library" / "m" / "latest"
    path.parent.mkdir(parents=True)
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "huge":
        with open(path, "wb") as f:
            f.truncate(2 << 20)
    elif kind == "dev-zero":
        path.symlink_to("/dev/zero")
    else:
        outside = OllamaStore(tmp_path / "outside")
        outside.model(f"{REGISTRY}/library/m/latest")
        path.symlink_to(outside.manifests / REGISTRY / "library" / "m" / "latest")
    _alarm(20)
    try:
        assert [m["name"] for m in bramwick.list_ollama_models()] == ["good:latest"]
        error = ValueError if kind in ("fifo", "huge") else FileNotFoundError
        with pytest.raises(error, match=f"{path}|not found in") as exc:
            bramwick.find_ollama_blob("m")
    finally:
        import signal

        signal.alarm(0)
    if kind in ("fifo", "huge"):
        assert str(exc.value).endswith(str(path))


# ------------------------------------------------------------- discovery never reads blobs

_blob_opens: list[str] | None = None


def _audit(event, args):
    if event == "open" and _blob_opens is not None and args and isinstance(args[0], str | Path):
        _blob_opens.append(os.fspath(args[0]))


def test_discovery_never_opens_blobs(store):
    global _blob_opens
    sys.addaudithook(_audit)
    huge = 16 << 30
    weights = store.model(f"{REGISTRY}/library/big/latest", weights=0)
    os.truncate(weights, huge)  # sparse: 16 GiB on paper, nothing on disk
    # the fallback compares sizes of sparse blobs
    store.blob(digest("s1"), huge - 1)
    store.blob(digest("s2"), huge)
    store.manifest(f"{REGISTRY}/library/nomodel/latest", [layer("s1", 0), layer("s2", 0)])
    _blob_opens = []
    try:
        assert bramwick.find_ollama_blob("big") == weights
        assert bramwick.find_ollama_blob("nomodel").name == digest("s2").replace(":", "-")
        assert {e["name"] for e in bramwick.list_ollama_models()} == {
            "big:latest",
            "nomodel:latest",
        }
        opened = list(_blob_opens)
    finally:
        _blob_opens = None
    assert opened, "the audit hook saw no manifest being read"
    assert not [p for p in opened if Path(p).is_relative_to(store.blobs)]


# ------------------------------------------------------------------- import-time settings


def run_fresh(code: str, env_update: dict, cwd: Path) -> dict:
    return json.loads(run_python(code, ("OLLAMA_MODELS",), env_update, cwd=cwd))


PROBE = """
    import json, os
    from velmora_dryx import bramwick as b
    os.environ["OLLAMA_MODELS"] = "/elsewhere"  # read once, at import
    try:
        blob = str(b.find_ollama_blob("tiny"))
    except FileNotFoundError as e:
        blob = str(e)
    print(json.dumps({
        "default": str(b._OLLAMA_DEFAULT), "home": str(b.OLLAMA_HOME),
        "home_type": type(b.OLLAMA_HOME).__name__,
        "models": [e["name"] for e in b.list_ollama_models()], "blob": blob,
    }))
"""


@pytest.mark.parametrize("setting", ["unset", "dir", "empty"])
def test_ollama_models_env_read_at_import(tmp_path, setting):
    home = tmp_path / "home"
    default = home / ".ollama" / "models"
    other = tmp_path / "other"
    for root in (default, other):
        s = OllamaStore(root)
        s.model(f"{REGISTRY}/library/tiny/latest", tag_seed=str(root))
    env = {"HOME": str(home)}
    cwd = tmp_path
    if setting == "dir":
        env["OLLAMA_MODELS"] = str(other)
    elif setting == "empty":
        env["OLLAMA_MODELS"] = ""
        cwd = other
    got = run_fresh(PROBE, env, cwd)
    assert got["default"] == str(default)
    assert got["home_type"] in ("PosixPath", "WindowsPath")
    assert got["models"] == ["tiny:latest"]
    if setting == "unset":
        assert got["home"] == str(default)
        assert got["blob"].startswith(str(default / "blobs"))
    elif setting == "dir":
        assert got["home"] == str(other)
        assert got["blob"].startswith(str(other / "blobs"))
    else:
        assert got["home"] == "."
        assert got["blob"] == os.path.join("blobs", digest(str(other) + "w").replace(":", "-"))


# ----------------------------------------------------------------------------- LM Studio


def fake_os(name="posix", sysname="Linux", env=None):
    uname = types.SimpleNamespace(sysname=sysname)
    return types.SimpleNamespace(name=name, uname=lambda: uname, environ=env or {})


@pytest.mark.parametrize(
    "os_name, sysname, env, want",
    [
        ("posix", "Linux", {}, ".cache/lm-studio/models"),
        ("nt", "Windows", {}, ".cache/lm-studio/models"),
        ("posix", "Darwin", {}, ".lmstudio/models"),
        ("posix", "Darwin", {"LMSTUDIO_MODELS": ""}, ".lmstudio/models"),
        ("posix", "Linux", {"LMSTUDIO_MODELS": "/srv/lms"}, "/srv/lms"),
    ],
)
def test_lmstudio_home(monkeypatch, tmp_path, os_name, sysname, env, want):
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.setattr(bramwick, "os", fake_os(os_name, sysname, env))
    got = bramwick._lmstudio_home()
    assert isinstance(got, Path)
    assert got == tmp_path / want


@pytest.fixture
def lms(tmp_path_factory, monkeypatch):
    # Not tmp_path: its name comes from the test id, which holds the queries.
    root = tmp_path_factory.mktemp("lms") / "LMS-Models"
    files = {
        "lmstudio-community/Llama-3-8B-GGUF/Llama-3-8B-Q4_K_M.gguf": 40,
        "lmstudio-community/Llama-3-8B-GGUF/Llama-3-8B-Q8_0.gguf": 80,
        "TheBloke/Mistral-7B-GGUF/mistral-7b.Q4_0.gguf": 30,
        "TheBloke/Mistral-7B-GGUF/README.md": 5,
        "loose.gguf": 1,
    }
    for rel, size in files.items():
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_bytes(b"\0" * size)
    monkeypatch.setenv("LMSTUDIO_MODELS", str(root))
    return root


def test_list_lmstudio_models(lms):
    want = [
        {"name": str(p.relative_to(lms)), "path": str(p), "size_bytes": p.stat().st_size}
        for p in lms.rglob("*.gguf")
    ]
    got = bramwick.list_lmstudio_models()
    assert got == want
    assert len(got) == 4
    assert [list(e) for e in got] == [["name", "path", "size_bytes"]] * 4


@pytest.mark.parametrize("make", [False, True])
def test_list_lmstudio_models_empty(tmp_path, monkeypatch, make):
    root = tmp_path / "none"
    if make:
        (root / "pub" / "model").mkdir(parents=True)
        (root / "pub" / "model" / "notes.txt").write_text("x")
    monkeypatch.setenv("LMSTUDIO_MODELS", str(root))
    assert bramwick.list_lmstudio_models() == []


@pytest.mark.parametrize(
    "query, rel",
    [
        ("lmstudio-community/Llama-3-8B-GGUF/Llama-3-8B-Q8_0.gguf", None),  # direct
        ("mistral", "TheBloke/Mistral-7B-GGUF/mistral-7b.Q4_0.gguf"),
        ("q4_k_m", "lmstudio-community/Llama-3-8B-GGUF/Llama-3-8B-Q4_K_M.gguf"),
        ("LOOSE", "loose.gguf"),
        ("TheBloke/Mistral-7B-GGUF", None),  # a directory exists: returned as is
    ],
)
def test_find_lmstudio_model(lms, query, rel):
    got = bramwick.find_lmstudio_model(query)
    assert isinstance(got, Path)
    assert got == lms / (rel or query)


def test_find_lmstudio_model_absolute_path(lms, tmp_path):
    elsewhere = tmp_path / "x.gguf"
    elsewhere.write_bytes(b"")
    assert bramwick.find_lmstudio_model(str(elsewhere)) == elsewhere


@pytest.mark.parametrize("query", ["llama-3", "GGUF", "lms-models"])
def test_find_lmstudio_model_ambiguous(lms, query):
    rels = [str(p.relative_to(lms)) for p in lms.rglob("*.gguf") if query.lower() in str(p).lower()]
    assert len(rels) >= 2
    with pytest.raises(ValueError) as exc:
        bramwick.find_lmstudio_model(query)
    lines = "\n  ".join(rels)
    assert str(exc.value) == f"Multiple matches for '{query}':\n  {lines}\nBe more specific."


def test_find_lmstudio_model_no_match(lms):
    with pytest.raises(FileNotFoundError) as exc:
        bramwick.find_lmstudio_model("gemma")
    assert str(exc.value) == (
        f"No GGUF matching 'gemma' in {lms}.\n"
        "Run `velmora-dryx list-lmstudio` to see available models."
    )


def test_find_lmstudio_model_missing_root(tmp_path, monkeypatch):
    monkeypatch.setenv("LMSTUDIO_MODELS", str(tmp_path / "gone"))
    with pytest.raises(FileNotFoundError) as exc:
        bramwick.find_lmstudio_model("x")
    assert str(exc.value) == (
        f"LM Studio models directory not found: {tmp_path / 'gone'}\n"
        "Set LMSTUDIO_MODELS to your LM Studio models path."
    )


# --------------------------------------------------------------------- argument handling


class Text(str):
    pass


@pytest.mark.parametrize(
    "fn, param", [(bramwick.find_ollama_blob, "model_name"), (bramwick.find_lmstudio_model, "name")]
)
@pytest.mark.parametrize("value", [Path("x"), b"x", None, Text("x")])
def test_name_must_be_exactly_str(fn, param, value):
    with pytest.raises(TypeError) as exc:
        fn(value)
    got = type(value).__name__
    assert str(exc.value) == f"Argument '{param}' has incorrect type (expected str, got {got})"
    assert bool(getattr(exc.value, "__notes__", None)) == isinstance(value, str)


# ---------------------------------------------------------------------------- GGUF loading


@pytest.fixture
def model_file(tmp_path):
    import gguf

    rng = np.random.default_rng(7)
    weights = rng.standard_normal((4, 64)).astype(np.float32)
    q8 = gguf.quants.quantize(weights, gguf.GGMLQuantizationType.Q8_0)
    tensors = {
        "token_embd.weight": rng.standard_normal((3, 8)).astype(np.float32),
        "blk.0.attn_q.weight": rng.standard_normal((2, 16)).astype(np.float16),
        "blk.0.ffn_up.weight": (q8, gguf.GGMLQuantizationType.Q8_0),
        "positions": np.arange(-2, 5, dtype=np.int32),
        "mask": np.array([-1, 0, 7], dtype=np.int8),
        "rope.freqs": np.linspace(0, 1, 5),
    }
    path = tmp_path / "model.gguf"
    write_gguf(path, tensors)
    return path, tensors, weights


def test_load_gguf_tensors_values(model_file):
    import gguf

    path, tensors, weights = model_file
    got = bramwick.load_gguf_tensors(path)
    assert list(got) == list(tensors)
    for name in ("token_embd.weight", "blk.0.attn_q.weight", "rope.freqs"):
        assert got[name].dtype == tensors[name].dtype
        assert got[name].shape == tensors[name].shape
        np.testing.assert_array_equal(got[name], tensors[name])
    q8 = got["blk.0.ffn_up.weight"]
    assert q8.dtype == np.uint8
    np.testing.assert_array_equal(q8, tensors["blk.0.ffn_up.weight"][0])
    back = gguf.quants.dequantize(q8, gguf.GGMLQuantizationType.Q8_0)
    np.testing.assert_allclose(back, weights, atol=np.abs(weights).max() / 100)
    for name in ("positions", "mask"):
        arr = tensors[name]
        assert got[name].dtype == np.uint8
        assert got[name].shape == (arr.size * arr.itemsize,)
        assert got[name].tobytes() == arr.tobytes()


def test_load_gguf_tensors_shares_the_readers_memory(model_file, monkeypatch):
    import gguf

    path, _, _ = model_file
    made = []

    class Spy(gguf.GGUFReader):
        def __init__(self, *args, **kwargs):
            made.append((args, kwargs))
            super().__init__(*args, **kwargs)
            made.append(self)

    monkeypatch.setattr(gguf, "GGUFReader", Spy)
    got = bramwick.load_gguf_tensors(str(path))
    (args, kwargs), reader = made
    assert args == (str(path),) and kwargs == {"mode": "r"}
    for t in reader.tensors:
        if t.data.dtype.kind == "f":
            assert got[t.name] is t.data
        else:
            assert got[t.name].ctypes.data == t.data.ctypes.data
            assert got[t.name].nbytes == t.data.nbytes
            assert np.shares_memory(got[t.name], t.data)
        assert not got[t.name].flags.writeable


def test_load_gguf_tensors_empty_file(tmp_path):
    path = tmp_path / "empty.gguf"
    write_gguf(path, {})
    assert bramwick.load_gguf_tensors(path) == {}


@pytest.mark.parametrize("content", [None, b"not a gguf file at all"])
def test_load_gguf_tensors_reader_errors_propagate(tmp_path, content):
    path = tmp_path / "bad.gguf"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises((OSError, ValueError)):
        bramwick.load_gguf_tensors(path)


GGUF_MISSING = 'gguf package required. Install with:\n  pip install "velmora-dryx[ollama]"'


@pytest.mark.parametrize("hide", ["module", "name"])
def test_load_gguf_tensors_without_gguf(tmp_path, monkeypatch, hide):
    if hide == "module":
        monkeypatch.setitem(sys.modules, "gguf", None)
    else:
        import gguf

        monkeypatch.delattr(gguf, "GGUFReader")
    outer = RuntimeError("caller's own error being handled")
    try:
        raise outer
    except RuntimeError:
        with pytest.raises(ImportError) as exc:
            bramwick.load_gguf_tensors(tmp_path / "does-not-exist.gguf")
    err = exc.value
    assert type(err) is ImportError
    assert str(err) == GGUF_MISSING
    assert err.__cause__ is None
    assert isinstance(err.__context__, ImportError)
    assert err.__context__ is not err
    assert err.__context__.__context__ is outer
