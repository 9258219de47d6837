"""Perplexity of GGUF sources on the command line (velmora_dryx.gguf_model behind it).

A tiny llama is saved as a Hugging Face model directory and converted to GGUF files here the
way GGUF converters write llama models (Q/K rows permuted, byte-level BPE tokenizer in the
tokenizer.ggml.* keys); WikiText-2 is served from memory.
"""

import json
import tempfile

import pytest
from gguf_support import LINES, build_models

from velmora_dryx.cli import main

pytestmark = pytest.mark.torch


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    return build_models(tmp_path_factory.mktemp("gguf-ppl"))


@pytest.fixture
def cli(models, monkeypatch, capsys, tmp_path):
    """Runs main() offline on the models by name: (exit status, JSON document or stderr);
    checks that the temporary model directories are gone afterwards."""
    from velmora_dryx import bramwick

    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    import datasets

    monkeypatch.setattr(datasets, "load_dataset", lambda *a, **k: {"text": LINES})
    monkeypatch.setattr(bramwick, "OLLAMA_HOME", models["ollama"])
    monkeypatch.setenv("HF_HUB_OFFLINE", "1")
    monkeypatch.setenv("TRANSFORMERS_OFFLINE", "1")
    monkeypatch.setenv("TTY_COMPATIBLE", "0")

    def run(*argv):
        code = main([str(models.get(a, a)) for a in argv] + ["--max-tokens", "300", "--json"])
        out = capsys.readouterr()
        assert not any(tmp_path.iterdir())
        return code, json.loads(out.out) if code == 0 else out.err

    return run


def perplexities(doc) -> dict:
    rows = doc["perplexity"]
    if isinstance(rows, dict):  # ppl: one model
        return {"perplexity": rows["perplexity"]}
    return {r["model"]: r["perplexity"] for r in rows}


@pytest.mark.parametrize(
    "argv, expected",
    [
        # names, Q/K row order and token ids as the original's: the same perplexity
        (["ppl", "base.gguf"], {"perplexity": ("base", 1e-6)}),
        (["ppl", "ollama:tiny"], {"perplexity": ("base", 1e-6)}),
        # dequantized weights: close to it
        (["ppl", "base.Q8_0.gguf"], {"perplexity": ("base", 2e-2)}),
        (
            ["library", "base.gguf", "ft.gguf", "--ppl", "--energy", "1", "--max-rank", "64"],
            {"base": ("base", 1e-6), "ft": ("ft", 1e-6), "ft (reconstructed)": ("ft", 1e-4)},
        ),
        # refused before any work, naming the source and its architecture
        (["ppl", "odd.gguf"], "odd.gguf: perplexity unavailable: transformers cannot load GGUF "),
        (["library", "base.gguf", "odd.gguf", "--ppl"], "odd.gguf: --ppl unavailable: "),
    ],
)
def test_gguf_perplexity_matches_the_model_directory(cli, models, argv, expected):
    if isinstance(expected, str):
        code, err = cli(*argv)
        assert code == 1 and expected in err and "architecture 'odd'" in err
        return
    want = {}
    for key, (directory, rel) in expected.items():
        code, doc = cli("ppl", directory)
        assert code == 0, doc
        want[key.replace("ft", str(models["ft.gguf"]), 1)] = pytest.approx(
            doc["perplexity"]["perplexity"], rel=rel
        )
    code, doc = cli(*argv)
    assert code == 0, doc
    assert perplexities(doc) == want


@pytest.mark.parametrize("base, ft", [("base", "ft"), ("base.gguf", "ft.gguf")], ids=["hf", "gguf"])
def test_stored_fine_tune_perplexity_on_the_users_text(cli, models, tmp_path_factory, base, ft):
    import velmora_dryx as vd

    work = tmp_path_factory.mktemp("stored")
    text = work / "notes.txt"
    text.write_text("".join(reversed(LINES)), encoding="utf-8")
    lib = work / "lib"
    code, doc = cli(
        "library", base, ft, "--save", str(lib), "--method", "svd", "--rank-ratio", "1",
        "--ppl", "--text", str(text),
    )  # fmt: skip
    assert code == 0, doc
    assert doc["text"] == str(text)
    # The base, the fine-tune as given, the fine-tune as stored.
    _, (given, tuned), (kept, as_stored) = (
        (r["model"], r["perplexity"]) for r in doc["perplexity"]
    )
    assert kept == f"{given} (stored)"
    name = vd.library_info(lib)["finetunes"][0]["name"]
    vd.export_finetune(lib, name, work / "out")
    stored = {}
    for model in (f"{lib}:{name}", str(work / "out"), ft):
        code, doc = cli("ppl", model, "--text", str(text))
        assert code == 0 and doc["perplexity"]["text"] == str(text), doc
        stored[model] = doc["perplexity"]["perplexity"]
    # The stored fine-tune, rebuilt, is the exported directory: the same perplexity.
    assert stored[f"{lib}:{name}"] == stored[str(work / "out")] == as_stored
    assert tuned == stored[ft]
    assert stored[ft] == pytest.approx(as_stored, rel=1e-4)  # stored exactly
    code, doc = cli("ppl", ft)  # on WikiText-2: another figure
    assert (
        doc["perplexity"]["text"] == "WikiText-2" and doc["perplexity"]["perplexity"] != stored[ft]
    )
    code, err = cli("ppl", f"{lib}:nope")
    assert code == 1 and "no fine-tune 'nope'" in err
