"""The saved-library commands: library --save, add, info, export, export-lora."""

import json

import numpy as np
import pytest
from lornet_support import write_shard

import velmora_dryx as vd
from velmora_dryx.cli import main, store_support


def model(path, sd):
    path.mkdir()
    write_shard(path / "model.safetensors", sd)
    return str(path)


@pytest.fixture
def models(tmp_path, rng):
    base = {
        "model.layers.0.q_proj.weight": rng.standard_normal((24, 16)).astype(np.float32),
        "model.layers.0.norm.weight": np.ones(16, np.float32),
    }

    def tuned():
        u = rng.standard_normal((24, 2)).astype(np.float32)
        return {
            "model.layers.0.q_proj.weight": base["model.layers.0.q_proj.weight"]
            + 0.1 * u @ rng.standard_normal((2, 16)).astype(np.float32),
            "model.layers.0.norm.weight": base["model.layers.0.norm.weight"] + 0.01,
        }

    return (
        model(tmp_path / "base", base),
        model(tmp_path / "ft1", tuned()),
        model(tmp_path / "ft2", tuned()),
    )


def run(capsys, *argv):
    status = main([*argv, "--json"])
    out, err = capsys.readouterr()
    return status, (json.loads(out) if status == 0 else None), err


def test_save_add_info_export_round(models, tmp_path, capsys):
    base, ft1, ft2 = models
    lib = str(tmp_path / "lib")
    status, doc, err = run(
        capsys, "library", base, ft1, "--save", lib, "--energy", "0.99", "--jobs", "2"
    )
    assert status == 0, err
    assert [f["fine-tune"] for f in doc["finetunes"]] == [ft1]
    status, doc, err = run(capsys, "add", lib, ft2, "--name", "second")
    assert status == 0, err
    status, doc, _ = run(capsys, "info", lib)
    assert [f["fine-tune"] for f in doc["finetunes"]] == [ft1, "second"]
    assert doc["settings"]["energy"] == 0.99
    status, doc, err = run(capsys, "export", lib, "second", str(tmp_path / "out"))
    assert status == 0, err
    rebuilt = vd.load_library(lib).reconstruct("second")
    from safetensors.numpy import load_file

    exported = load_file(str(tmp_path / "out" / "model.safetensors"))
    assert all(np.array_equal(exported[k], v) for k, v in rebuilt.items())
    status, doc, err = run(capsys, "export-lora", lib, ft1, str(tmp_path / "lora"))
    assert status == 0, err
    assert [t["module"] for t in doc["targets"]] == ["model.layers.0.q_proj"]
    assert [t["tensor"] for t in doc["skipped"]] == ["model.layers.0.norm.weight"]


CASES = [
    (["add", "{tmp}/nope", "{ft1}"], 1, "no such library directory"),
    (["add", "{lib}", "{ft1}"], 1, "already in the library"),
    (["add", "{lib}", "{ft1}", "{ft2}", "--name", "x"], 2, "--name names one fine-tune"),
    (["add", "{lib}", "{ft2}", "--method", "tt", "--energy", "0.9"], 2, "--energy"),
    (["add", "{lib}", "{tmp}/missing"], 1, "missing: no such file or directory"),
    (["export", "{lib}", "nope", "{tmp}/o"], 1, "no fine-tune 'nope'"),
    (["export", "{lib}", "{ft1}", "{lib}"], 1, "exists (a fine-tune is exported to a new dir"),
    (["export-lora", "{lib}", "{ft1}", "{tmp}/o"], 1, "the energy SVD: --energy E, with library"),
    (["info", "{tmp}"], 1, "manifest.json: missing"),
    (["library", "{base}", "{ft1}", "--save", "{lib}"], 1, "exists (a library is saved to a new"),
    (["library", "{base}", "{ft1}", "--save", "{tmp}/l2", "--jobs", "0"], 2, "--jobs"),
    (["library", "{base}", "{ft1}", "--jobs", "2"], 2, "--jobs and --ray apply to --save"),
    (["library", "{base}", "{ft1}", "--save", "{tmp}/l2", "--ppl"], 2, "--ppl"),
    (["library", "{base}", "{ft1}", "--save", "{tmp}/l2", "--ray", " "], 2, "--ray needs"),
]


@pytest.mark.parametrize("argv, status, message", CASES)
def test_bad_requests(models, tmp_path, capsys, argv, status, message):
    base, ft1, ft2 = models
    lib = tmp_path / "lib"
    assert main(["library", base, ft1, "--save", str(lib)]) == 0
    capsys.readouterr()
    names = {"tmp": tmp_path, "lib": lib, "base": base, "ft1": ft1, "ft2": ft2}
    got = main([a.format(**names) for a in argv])
    err = capsys.readouterr().err
    assert got == status and message in err, err


def test_ray_missing_is_named_with_its_extra(models, tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(store_support, "ray_installed", lambda: False)
    base, ft1, _ = models
    assert main(["library", base, ft1, "--save", str(tmp_path / "l"), "--ray", "local"]) == 1
    assert 'pip install "velmora-dryx[ray]"' in capsys.readouterr().err
    assert not (tmp_path / "l").exists()


CODEC_RUNS = [
    (["--budget", "1/16"], ["--method", "exact"], "svd, budget 1/16, mixed bits", "exact"),
    (
        ["--method", "svd", "--bits", "8"],
        ["--target-error", "0.1"],
        "svd, rank_ratio 0.5, 8 bits",
        "svd, target error 0.1, 8 bits",
    ),
]


@pytest.mark.parametrize("build, add, first, second", CODEC_RUNS)
def test_codec_options_reach_the_library_and_info(
    models, tmp_path, capsys, build, add, first, second
):
    base, ft1, ft2 = models
    lib = str(tmp_path / "lib")
    status, _, err = run(capsys, "library", base, ft1, "--save", lib, *build)
    assert status == 0, err
    status, _, err = run(capsys, "add", lib, ft2, "--name", "second", *add)
    assert status == 0, err
    status, doc, _ = run(capsys, "info", lib)
    rows = doc["finetunes"]
    assert [r["stored as"] for r in rows] == [first, second]
    assert all(isinstance(r["rel. error"], float) for r in rows)


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--bits", "8"], "give --method svd, --energy or --budget"),
        (["--budget", "1/16"], "apply to saved libraries"),
        (["--budget", "2"], "must be a fraction in (0, 1]"),
        (["--budget", "1/16", "--energy", "0.9"], "chooses the ranks: give it or energy, not both"),
        (["--method", "tt", "--bits", "8", "--save", "x"], "applies to truncated-SVD factors"),
    ],
)
def test_codec_options_are_checked(models, capsys, argv, message):
    base, ft1, _ = models
    status, _, err = run(capsys, "library", base, ft1, *argv)
    assert status == 2 and message in err
