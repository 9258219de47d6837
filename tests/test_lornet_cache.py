"""Cache location, snapshots, shard discovery and on-disk size (velmora_dryx.lornet)."""

import sys
from pathlib import Path

import pytest
from data import run_python

from velmora_dryx import lornet

HEAVY = ("huggingface_hub", "safetensors", "torch", "transformers", "datasets")


def run_child(code: str, env_overrides: dict) -> str:
    drop = ("HF_HOME", "HF_HUB_DISABLE_SYMLINKS_WARNING")
    return run_python(code, drop, env_overrides, timeout=120)


def test_import_needs_only_numpy_and_leaves_environment_alone():
    out = run_child(
        f"""
        import os, sys
        import velmora_dryx.lornet as lornet
        print(sorted(m for m in {HEAVY!r} if m in sys.modules))
        print("HF_HOME" in os.environ, "HF_HUB_DISABLE_SYMLINKS_WARNING" in os.environ)
        print([k for k in vars(lornet) if not k.startswith("__")])
        """,
        {},
    )
    loaded, env_set, names = out.splitlines()
    assert loaded == "[]"
    assert env_set == "False False"
    assert eval(names) == [
        "os",
        "Path",
        "np",
        "ensure_cache",
        "snapshot",
        "_shard_files",
        "model_disk_bytes",
        "load_state_dict_numpy",
        "_bf16_safe_load",
        "load_state_dict_numpy_safe",
        "_load_wikitext_ids",
        "perplexity_from_state_dict",
    ]


def test_second_initialisation_is_refused():
    out = run_child(
        """
        import importlib, sys
        import velmora_dryx.lornet
        del sys.modules["velmora_dryx.lornet"]
        try:
            importlib.import_module("velmora_dryx.lornet")
        except RuntimeError as e:
            print("refused")
        """,
        {},
    )
    assert out.strip() == "refused"


@pytest.mark.parametrize(
    "preset, expected_home, expected_flag",
    [
        ({}, "CACHE", "1"),
        ({"HF_HOME": "/elsewhere"}, "/elsewhere", "1"),
        ({"HF_HUB_DISABLE_SYMLINKS_WARNING": "0"}, "CACHE", "0"),
    ],
)
def test_ensure_cache_sets_only_unset_variables(tmp_path, preset, expected_home, expected_flag):
    cache = str(tmp_path / "hf")
    out = run_child(
        f"""
        import os, subprocess, sys
        from velmora_dryx import lornet
        print(lornet.ensure_cache({cache!r}))
        print(os.environ["HF_HOME"])
        print(os.environ["HF_HUB_DISABLE_SYMLINKS_WARNING"])
        # Written to the process environment, not only to os.environ's mapping.
        print(subprocess.run([sys.executable, "-c", "import os; print(os.environ['HF_HOME'])"],
                             capture_output=True, text=True).stdout.strip())
        """,
        preset,
    )
    home = cache if expected_home == "CACHE" else expected_home
    assert out.splitlines() == ["None", home, expected_flag, home]


def test_ensure_cache_before_import_points_the_hub_library_at_the_cache(tmp_path):
    pytest.importorskip("huggingface_hub")
    cache = str(tmp_path / "hf")
    out = run_child(
        f"""
        from velmora_dryx import lornet
        lornet.ensure_cache({cache!r})
        from huggingface_hub import constants
        print(constants.HF_HOME)
        """,
        {},
    )
    assert out.strip() == cache


# The argument conventions themselves belong to the shared layer; these pin that the two
# str parameters are declared as such.
@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: lornet.ensure_cache(Path("/tmp")),
            "'cache_dir' has incorrect type (expected str, got PosixPath)",
        ),
        (
            lambda: lornet.snapshot(None),
            "'repo_id' has incorrect type (expected str, got NoneType)",
        ),
        (lambda: lornet.snapshot("a", revision="main"), "unexpected keyword argument 'revision'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert message in str(info.value)


def test_snapshot_asks_for_exactly_the_five_patterns(monkeypatch, tmp_path):
    hub = pytest.importorskip("huggingface_hub")
    calls = []

    def fake_download(*args, **kwargs):
        calls.append((args, kwargs))
        return str(tmp_path / "snap")

    monkeypatch.setattr(hub, "snapshot_download", fake_download)
    first = lornet.snapshot("org/model")
    assert first == tmp_path / "snap" and isinstance(first, Path)
    # Each call gets its own list: a change to one must not reach the next.
    calls[0][1]["allow_patterns"].append("*.bin")
    lornet.snapshot("org/other")
    patterns = ["*.safetensors", "*.json", "*.txt", "tokenizer*", "*.model"]
    assert calls[1] == (("org/other",), {"allow_patterns": patterns})


def test_snapshot_without_the_hub_library_raises_import_error_at_the_call(monkeypatch):
    monkeypatch.setitem(sys.modules, "huggingface_hub", None)
    with pytest.raises(ImportError):
        lornet.snapshot("org/model")


def test_shard_files_sorted_and_only_top_level(tmp_path):
    for name in (
        "model-00002-of-00002.safetensors",
        "model-00001-of-00002.safetensors",
        "config.json",
    ):
        (tmp_path / name).write_bytes(b"x")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "inner.safetensors").write_bytes(b"x")
    assert lornet._shard_files(tmp_path) == [
        tmp_path / "model-00001-of-00002.safetensors",
        tmp_path / "model-00002-of-00002.safetensors",
    ]


def test_single_file_model_gives_one_shard(tmp_path):
    (tmp_path / "model.safetensors").write_bytes(b"x")
    assert lornet._shard_files(tmp_path) == [tmp_path / "model.safetensors"]


@pytest.mark.parametrize("fn", [lornet._shard_files, lornet.model_disk_bytes])
@pytest.mark.parametrize("make", [lambda p: p, lambda p: p / "missing"], ids=["empty", "absent"])
def test_no_shards_raise_file_not_found(tmp_path, fn, make):
    (tmp_path / "model.bin").write_bytes(b"x")
    target = make(tmp_path)
    with pytest.raises(FileNotFoundError) as info:
        fn(target)
    assert str(info.value) == f"No .safetensors in {target}"


def test_model_dir_as_plain_string_fails_for_want_of_glob(tmp_path):
    with pytest.raises(AttributeError):
        lornet._shard_files(str(tmp_path))


def test_model_disk_bytes_counts_only_shards(tmp_path):
    (tmp_path / "a.safetensors").write_bytes(b"123")
    (tmp_path / "b.safetensors").write_bytes(b"12345")
    (tmp_path / "config.json").write_bytes(b"{" + b" " * 98 + b"}")
    assert lornet.model_disk_bytes(tmp_path) == 8


def test_model_disk_bytes_follows_links_into_the_blob_store(tmp_path):
    # The hub cache keeps files as blobs and links snapshot names to them.
    blobs = tmp_path / "models--org--m" / "blobs"
    snap = tmp_path / "models--org--m" / "snapshots" / "abc123"
    blobs.mkdir(parents=True)
    snap.mkdir(parents=True)
    for digest, name, size in (
        ("d1", "model-00001-of-00002", 1000),
        ("d2", "model-00002-of-00002", 24),
    ):
        (blobs / digest).write_bytes(b"\0" * size)
        (snap / f"{name}.safetensors").symlink_to(Path("../../blobs") / digest)
    assert lornet.model_disk_bytes(snap) == 1024
