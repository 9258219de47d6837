"""The saved-library commands: library --save, add, info, export, export-lora."""

import json
import re

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
    assert [f["name"] for f in doc["finetunes"]] == ["ft1"]
    status, doc, err = run(capsys, "add", lib, ft2, "--name", "second")
    assert status == 0, err
    status, doc, _ = run(capsys, "info", lib)
    assert [f["name"] for f in doc["finetunes"]] == ["ft1", "second"]
    assert doc["settings"]["energy"] == 0.99
    status, doc, err = run(capsys, "export", lib, "second", str(tmp_path / "out"))
    assert status == 0, err
    rebuilt = vd.load_library(lib).reconstruct("second")
    from safetensors.numpy import load_file

    exported = load_file(str(tmp_path / "out" / "model.safetensors"))
    assert all(np.array_equal(exported[k], v) for k, v in rebuilt.items())
    status, doc, err = run(capsys, "export-lora", lib, "ft1", str(tmp_path / "lora"))
    assert status == 0, err
    assert [t["module"] for t in doc["targets"]] == ["model.layers.0.q_proj"]
    assert [t["module"] for t in doc["full"]] == ["model.layers.0.norm"] and not doc["skipped"]
    assert "warning" not in err
    status, doc, err = run(capsys, "export-lora", lib, "ft1", str(tmp_path / "lo"), "--lora-only")
    assert status == 0, err
    assert [t["tensor"] for t in doc["skipped"]] == ["model.layers.0.norm.weight"]
    assert "1 changed tensor of" in err and doc["adapter"]["modules written whole"] == 0


CASES = [
    (["add", "{tmp}/nope", "{ft1}"], 1, "no such library directory"),
    (["add", "{lib}", "{ft1}"], 1, "already in the library"),
    (["add", "{lib}", "{ft1}", "{ft2}", "--name", "x"], 2, "--name names one fine-tune"),
    (["add", "{lib}", "{ft2}", "--method", "tt", "--energy", "0.9"], 2, "--energy"),
    (["add", "{lib}", "{tmp}/missing"], 1, "missing: no such file or directory"),
    (["export", "{lib}", "nope", "{tmp}/o"], 1, "no fine-tune 'nope'"),
    (["export", "{lib}", "ft1", "{lib}"], 1, "exists (a fine-tune is exported to a new dir"),
    (["export-lora", "{lib}", "ft1", "{tmp}/o"], 1, "the energy SVD: --energy E, with library"),
    (["info", "{tmp}"], 1, "manifest.json: missing"),
    (["library", "{base}", "{ft1}", "--save", "{lib}"], 1, "exists (a library is saved to a new"),
    (["library", "{base}", "{ft1}", "--save", "{tmp}/l2", "--jobs", "0"], 2, "--jobs"),
    (["library", "{base}", "{ft1}", "--jobs", "2"], 2, "--jobs and --ray apply to --save"),
    (["library", "{base}", "{ft1}", "--save", "{tmp}/l2", "--ppl"], 1, "--ppl needs"),
    (["library", "{base}", "{ft1}", "--text", "{tmp}/t"], 2, "--text applies to --ppl only"),
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
    assert [r["stored_as"] for r in rows] == [first, second]
    assert all(isinstance(r["error"], float) for r in rows)


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


# ---- settings, figures and maintenance ------------------------------------------------------

# The same contradictions refused by the API (keywords) and by the command line (flags).
RULES = [
    (
        {"method": "svd", "max_rank": 4},
        "max_rank applies to tensor train and energy SVD; method 'svd' does not use it",
        "--max-rank applies to tt and --energy; --method svd does not use it",
    ),
    (
        {"method": "tucker", "energy": 0.9},
        "energy selects the energy-based SVD; it cannot be used with method 'tucker'",
        "--energy selects the energy-based SVD; it cannot be used with --method tucker",
    ),
    (
        {"rank": 8, "rank_ratio": 0.5},
        "rank and rank_ratio exclude each other",
        "--rank and --rank-ratio exclude each other",
    ),
    (
        {"method": "tt", "rank": 8},
        "rank applies to svd; method 'tt' does not use it",
        "--rank applies to svd; --method tt does not use it",
    ),
    (
        {"energy": 0.9, "rank": 8},
        "rank applies to svd; energy SVD does not use it",
        "--rank applies to svd; --energy does not use it",
    ),
    (
        {"max_rank": 0},
        "max_rank 0 (no cap) applies to energy SVD only; method 'tt' needs a cap of at least 1",
        "--max-rank 0 (no cap) applies to --energy only; --method tt needs a cap of at least 1",
    ),
]


@pytest.mark.parametrize("keywords, api_message, cli_message", RULES)
def test_api_and_command_line_refuse_the_same_settings(
    models, tmp_path, capsys, keywords, api_message, cli_message
):
    base, ft1, _ = models
    with pytest.raises(ValueError, match=re.escape(api_message)):
        vd.build_library(base, [ft1], tmp_path / "api", **keywords)
    flags = [a for k, v in keywords.items() for a in ("--" + k.replace("_", "-"), str(v))]
    assert main(["library", base, ft1, "--save", str(tmp_path / "cli"), *flags]) == 2
    assert cli_message in capsys.readouterr().err
    assert main(["library", base, ft1, *flags]) == 2  # in memory too
    assert cli_message in capsys.readouterr().err
    assert not (tmp_path / "api").exists() and not (tmp_path / "cli").exists()


LIBRARIES = {
    "tt": [],
    "svd": ["--method", "svd"],
    "energy": ["--energy", "0.99"],
    "damaged": [],
}


def case(argv, status, present=(), absent=()):
    return pytest.param(argv, status, present, absent, id=" ".join(argv))


@pytest.fixture
def cli_run(models, tmp_path, capsys):
    """Runs main() with {base}, {ft1}, {ft2}, {tmp} and the libraries of LIBRARIES (built
    from base and ft1 when named) filled in: (status, stdout + stderr)."""
    base, ft1, ft2 = models
    names = {"base": base, "ft1": ft1, "ft2": ft2, "tmp": tmp_path}

    def run_(argv):
        for kind, options in LIBRARIES.items():
            if "{" + kind + "}" in " ".join(argv) and kind not in names:
                names[kind] = tmp_path / kind
                assert main(["library", base, ft1, "--save", str(names[kind]), *options]) == 0
        if "damaged" in names:
            flip_last_byte(names["damaged"] / "base.safetensors")
        capsys.readouterr()
        status = main([a.format(**names) for a in argv])
        out, err = capsys.readouterr()
        return status, out + err

    return run_


def expect(cli_run, argv, status, present, absent):
    """The command's exit status, and text it must and must not print (stdout and stderr)."""
    got, text = cli_run(argv)
    assert got == status, text
    assert all(p in text for p in present), text
    assert not any(a in text for a in absent), text


def flip_last_byte(path):
    data = bytearray(path.read_bytes())
    data[-1] ^= 0x40
    path.write_bytes(bytes(data))


# Error figures, the tensors stored dense, the energy SVD named apart (one row per fine-tune
# in tables; library_info's own keys in JSON).
FIGURES = [
    case(["info", "{energy}"], 0, ["energy-svd 1, none 1", "rel. error", "(library settings:"]),
    case(["--json", "info", "{energy}"], 0, ['"error": ', '"name": "ft1"', '"format_version"']),
    case(["--json", "info", "{tt}"], 0, ['"original_bytes"'], ['"full MiB"', '"fine-tune"']),
    case(["info", "{svd}"], 0, ["none 1, svd 1", "(library settings: svd, rank_ratio 0.5)"]),
    case(
        [
            "library",
            "{base}",
            "{ft1}",
            "--save",
            "{tmp}/x",
            "--energy",
            "0.9999",
            "--max-rank",
            "1",
        ],
        0,
        ["ft1: the rank cap (max_rank 1) kept 1 tensor short of energy 0.9999; the worst keeps"],
    ),
    case(
        [
            "library",
            "{base}",
            "{ft1}",
            "--save",
            "{tmp}/x",
            "--energy",
            "0.9999",
            "--max-rank",
            "0",
        ],
        0,
        ["energy SVD 0.9999, no rank cap"],
        ["short of energy"],
    ),
    case(
        ["library", "{base}", "{ft1}", "--save", "{tmp}/x", "--method", "svd", "--rank-ratio", "1"],
        0,
        [
            "dense 1, none 1",
            "ft1: 1 tensor stored dense (compressed, they would take more bytes): "
            "model.layers.0.q_proj.weight",
        ],
    ),
    case(
        ["--json", "library", "{base}", "{ft1}", "--save", "{tmp}/x", "--rank", "2"],
        0,
        ['"method": "svd",\n    "rank": 2\n', '"svd": 1', '"rank": 2\n      }'],
    ),
]


@pytest.mark.parametrize("argv, status, present, absent", FIGURES)
def test_libraries_show_what_they_cost_and_lose(cli_run, argv, status, present, absent):
    expect(cli_run, argv, status, present, absent)


# Help and output say what is used.
TRUTHFUL = [
    case(["add", "--help"], 0, ["(default the library's)"], ["(default 8)", "(default 0.5)"]),
    case(["add", "{energy}", "{ft2}"], 0, ["(added with energy SVD 0.99, max_rank 8)"]),
    case(
        ["--json", "add", "{svd}", "{ft2}", "--rank", "3"],
        0,
        ['"settings": {\n    "method": "svd",\n    "rank": 3\n  }', '"name": "ft2"'],
    ),
    case(["add", "{svd}", "{ft2}", "--max-rank", "4"], 2, ["the library's --method svd does not"]),
    case(
        ["add", "{energy}", "{ft2}", "--rank-ratio", ".2"], 2, ["the library's --energy does not"]
    ),
    case(["info", "{tt}"], 0, ["(library settings: tensor train, max_rank 8)"], ["rank_ratio"]),
    case(
        ["--json", "library", "{base}", "{ft1}"],
        0,
        ['"ratio_full_to_deltas"', '"ratio_full_to_library"'],
        ["overall_ratio", '"ratio"'],
    ),
    case(
        ["library", "{base}", "{ft1}", "--save", "{tmp}/x"],
        0,
        ["ratio_full_to_deltas", "ratio_full_to_library", "ratio (full / stored)"],
    ),
]


@pytest.mark.parametrize("argv, status, present, absent", TRUTHFUL)
def test_help_and_output_say_what_is_used(cli_run, argv, status, present, absent):
    expect(cli_run, argv, status, present, absent)


MAINTENANCE = [
    case(["remove", "{tt}", "ft1"], 0, ["freed_bytes"]),
    case(["remove", "{tt}", "nope"], 1, ["no fine-tune 'nope' in the library at"]),
    case(["rename", "{tt}", "ft1", "renamed"], 0, ["renamed"]),
    case(["rename", "{tt}", "ft1", "a/b"], 2, ["NEW: fine-tune name 'a/b' must not contain"]),
    case(["verify", "{tt}"], 0, ["every checksum and every record is sound"]),
    case(["verify", "{damaged}"], 1, ["base.safetensors", "damaged (1 problem"]),
    case(["--json", "verify", "{damaged}"], 1, ['"ok": false', "does not match its checksum"]),
    case(["info", "{damaged}", "--verify"], 1, ["does not match its checksum"]),
    case(["info", "{damaged}"], 0, ["ft1"]),
    case(["verify", "{tmp}/nope"], 1, ["no such library directory"]),
    case(["add", "{tt}", "{ft2}", "--name", "a\tb"], 2, ["--name: fine-tune name 'a\\tb'"]),
]


@pytest.mark.parametrize("argv, status, present, absent", MAINTENANCE)
def test_maintenance_commands(cli_run, argv, status, present, absent):
    expect(cli_run, argv, status, present, absent)
