"""Saved libraries with quantized factors, byte budgets and the exact tier: every setting
round-trips through build, load, verify, export and export-lora; a budget is never exceeded;
builds are the same bytes for any number of jobs (and on Ray); a version-1 library keeps
loading and takes a version-2 fine-tune."""

import json
import math

import numpy as np
import pytest
from safetensors.numpy import load_file
from test_store import contents, family, manifest, write_model

import velmora_dryx as vd
from velmora_dryx import tamsel

# The error allowed: an absolute bound, or a factor over the float32 factors' own error.
SETTINGS = [
    ({"method": "svd", "bits": 16}, ("float32", 1.001)),
    ({"method": "svd", "bits": 8}, ("float32", 1.02)),
    ({"energy": 0.999, "bits": "mixed"}, ("float32", 1.011)),
    ({"budget": 1 / 8}, 0.1),
    ({"target_error": 0.02}, 0.0201),
    ({"method": "exact"}, 0.0),
]


def delta_error(lib, base, tunes, name):
    rebuilt = lib.reconstruct(name)
    num = sum(float(((rebuilt[k] - v) ** 2).sum()) for k, v in tunes[name].items())
    den = sum(float(((v - base.get(k, 0)) ** 2).sum()) for k, v in tunes[name].items())
    return math.sqrt(num / den)


@pytest.mark.parametrize("settings, tolerance", SETTINGS, ids=[str(s) for s, _ in SETTINGS])
def test_each_setting_round_trips(settings, tolerance, tmp_path):
    base, tunes = family(np.random.default_rng(0), scale=4)
    root = tmp_path / "lib"
    vd.build_library(base, tunes, root, jobs=2, **settings)
    assert manifest(root)["version"] == 2
    assert vd.verify_library(root)["ok"]
    lib = vd.load_library(root, verify=True)
    err = delta_error(lib, base, tunes, "ft-a")
    if isinstance(tolerance, tuple):
        # The float32 factors of the same ranks, through the one delta path.
        s32 = vd.methods.Settings(**{**settings, "bits": 32})
        ft = tunes["ft-a"]
        f32 = {
            k: tamsel._apply_delta(base.get(k), tamsel._delta_record(base.get(k), w, s32))
            for k, w in ft.items()
        }
        num = sum(float(((f32[k] - w) ** 2).sum()) for k, w in ft.items())
        den = sum(float(((w - base.get(k, 0)) ** 2).sum()) for k, w in ft.items())
        assert err <= tolerance[1] * math.sqrt(num / den)
    else:
        assert err <= tolerance
    if settings.get("method") == "exact":
        assert all(np.array_equal(lib.reconstruct("ft-a")[k], v) for k, v in tunes["ft-a"].items())
    info = vd.library_info(root)["finetunes"][0]
    assert info["error"] == pytest.approx(err, rel=1e-3, abs=1e-6)  # the stored figure is true
    if "budget" in settings:
        size16 = sum(2 * v.size for v in tunes["ft-a"].values())
        assert info["stored_bytes"] <= settings["budget"] * size16
    exported = load_file(
        str(vd.export_finetune(root, "ft-a", tmp_path / "out")["path"] + "/model.safetensors")
    )
    rebuilt = lib.reconstruct("ft-a")
    assert all(np.array_equal(exported[k], rebuilt[k]) for k in rebuilt)
    if settings.get("method") == "exact":
        with pytest.raises(ValueError, match="no matrix stored with truncated SVD"):
            vd.export_lora(root, "ft-a", tmp_path / "lora")
        return
    vd.export_lora(root, "ft-a", tmp_path / "lora")
    adapter = load_file(str(tmp_path / "lora" / "adapter_model.safetensors"))
    for key, a in adapter.items():
        if key.endswith("lora_A.weight"):
            module = key[len("base_model.model.") : -len(".lora_A.weight")]
            b = adapter[key.replace("lora_A", "lora_B")]
            want = rebuilt[module + ".weight"] - base.get(module + ".weight", 0)
            np.testing.assert_allclose(b @ a, want, atol=1e-5 * np.abs(want).max())


def test_budget_is_never_exceeded_and_buys_accuracy(tmp_path):
    base, tunes = family(np.random.default_rng(1), names=("ft-a",), scale=4)
    size16 = sum(2 * v.size for v in tunes["ft-a"].values())
    errors = []
    for i, budget in enumerate((1 / 64, 1 / 16, 1 / 4)):
        for bits in (8, "mixed"):
            root = tmp_path / f"lib{i}-{bits}"
            vd.build_library(base, tunes, root, budget=budget, bits=bits)
            info = vd.library_info(root)["finetunes"][0]
            assert info["stored_bytes"] <= budget * size16
            assert info["error"] == pytest.approx(
                delta_error(vd.load_library(root), base, tunes, "ft-a"), rel=0.05, abs=1e-4
            )
            errors.append(info["error"])
    assert errors[::2] == sorted(errors[::2], reverse=True)  # more bytes, less error
    assert all(m <= e for m, e in zip(errors[1::2], errors[::2], strict=True))  # mixed wins


@pytest.fixture(scope="module")
def on_disk(tmp_path_factory):
    root = tmp_path_factory.mktemp("codec-sources")
    base, tunes = family(np.random.default_rng(2), scale=8)
    return write_model(root / "base", base), {n: write_model(root / n, t) for n, t in tunes.items()}


@pytest.mark.parametrize(
    "settings", [{"budget": 1 / 16}, {"method": "exact"}, {"energy": 0.99, "bits": "mixed"}]
)
@pytest.mark.parametrize(
    "engine", [{"jobs": 2}, pytest.param({"jobs": 2, "ray": "local"}, marks=pytest.mark.ray)]
)
def test_builds_are_the_same_bytes_for_any_jobs(on_disk, tmp_path, settings, engine):
    vd.build_library(*on_disk, tmp_path / "one", jobs=1, **settings)
    vd.build_library(*on_disk, tmp_path / "two", **engine, **settings)
    assert contents(tmp_path / "one") == contents(tmp_path / "two")


def test_version_1_library_loads_and_takes_a_version_2_finetune(tmp_path):
    base, tunes = family(np.random.default_rng(3), scale=2)
    root = tmp_path / "lib"
    vd.build_library(base, {"ft-a": tunes["ft-a"]}, root, energy=0.99)
    assert manifest(root)["version"] == 1
    before = vd.load_library(root).reconstruct("ft-a")
    vd.add_to_library(root, "ft-b", tunes["ft-b"], budget=1 / 16)
    m = manifest(root)
    assert m["version"] == 2 and m["settings"]["bits"] == 32  # the library's own stay
    lib = vd.load_library(root)
    assert all(np.array_equal(lib.reconstruct("ft-a")[k], v) for k, v in before.items())
    assert {e["method"] for e in m["finetunes"][1]["tensors"]} == {"qsvd", "none"}


@pytest.mark.parametrize(
    "settings, message",
    [
        ({"bits": 8}, "applies to truncated-SVD factors"),
        ({"budget": 1 / 16, "energy": 0.9}, "not both"),
        ({"method": "exact", "bits": 8}, "stores every bit"),
        ({"budget": 2}, r"budget must be in \(0, 1\]"),
        ({"bits": 4, "method": "svd"}, "bits must be 32, 16, 8 or 'mixed'"),
    ],
)
def test_contradictory_settings_are_refused(settings, message, tmp_path):
    base, tunes = family(np.random.default_rng(4))
    with pytest.raises(ValueError, match=message):
        vd.build_library(base, tunes, tmp_path / "lib", **settings)
    assert not (tmp_path / "lib").exists()


def test_exact_export_checks_the_source_checksum(tmp_path):
    base, tunes = family(np.random.default_rng(5))
    root = tmp_path / "lib"
    vd.build_library(base, tunes, root, method="exact")
    m = manifest(root)
    m["finetunes"][0]["tensors"][0]["metadata"]["sha256"] = "0" * 64
    (root / "manifest.json").write_text(json.dumps(m))
    with pytest.raises(vd.LibraryError, match="does not rebuild the bytes it was stored from"):
        vd.export_finetune(root, "ft-a", tmp_path / "out")


def test_quantized_record_is_refused_by_kestrine_and_rebuilt_by_tamsel():
    rng = np.random.default_rng(6)
    base = rng.standard_normal((20, 12)).astype(np.float32)
    tuned = base + np.outer(rng.standard_normal(20), rng.standard_normal(12)).astype(np.float32)
    ct = tamsel._delta_record(base, tuned, vd.methods.Settings("svd", energy=0.99, bits=8))
    # One component: its two widths, two float32 scales and 20 + 12 one-byte codes.
    assert ct.method == "qsvd" and ct.compressed_size_bytes == 2 + 8 + 20 + 12
    with pytest.raises(ValueError):
        vd.kestrine.decompress(ct)
    np.testing.assert_allclose(tamsel._apply_delta(base, ct), tuned, atol=0.05)
