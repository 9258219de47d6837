"""GGUF files in saved libraries: fine-tunes stored under the base's names whichever of GGUF
and Hugging Face spells them (Q/K row order undone or redone), and libraries built from GGUF
files exported as Hugging Face models and adapters."""

import numpy as np
import pytest
from gguf_support import build_models

import velmora_dryx as vd

pytestmark = pytest.mark.torch


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    return build_models(tmp_path_factory.mktemp("gguf-store"))


def logits(path, torch, gguf_file=None):
    import transformers

    kw = {} if gguf_file is None else {"gguf_file": gguf_file}
    model = transformers.AutoModelForCausalLM.from_pretrained(path, dtype=torch.float32, **kw)
    ids = torch.arange(48).reshape(2, 24) * 7 % model.config.vocab_size
    with torch.no_grad():
        return model(ids).logits


def exported(lib, name, tmp_path, torch):
    report = vd.export_finetune(lib, name, tmp_path / name)
    assert report["note"] is None
    return logits(tmp_path / name, torch)


# base, fine-tunes added to its library (as stored, exactly), and what each export must give:
# the Hugging Face fine-tune ("ft"), or a GGUF file as transformers itself loads it
CASES = [
    ("base", {"hf": "ft", "f32": "ft.gguf", "q8": "ft.Q8_0.gguf"}, {"q8": "ft.Q8_0.gguf"}),
    ("base.gguf", {"hf": "ft", "f32": "ft.gguf"}, {}),
    ("base.Q8_0.gguf", {"q8": "ft.Q8_0.gguf"}, {"q8": "ft.Q8_0.gguf"}),
]


@pytest.mark.parametrize("base, tunes, references", CASES, ids=["hf", "gguf", "q8"])
def test_fine_tunes_from_either_kind_export_the_same_model(
    models, tmp_path, base, tunes, references
):
    import torch

    first, *rest = tunes
    lib = tmp_path / "lib"
    exact = {"method": "svd", "rank_ratio": 1.0}  # full rank: every delta stored exactly
    vd.build_library(models[base], {first: models[tunes[first]]}, lib, **exact)
    for name in rest:
        vd.add_to_library(lib, name, models[tunes[name]], **exact)
    manifest_names = {t["name"] for t in vd.library_info(lib)["finetunes"] for _ in [t]}
    assert manifest_names == set(tunes)
    loaded = vd.load_library(lib)
    for name in tunes:  # stored under the base's names, as deltas of every base tensor
        assert set(loaded.deltas[name].tensors) == set(loaded.base)
    want = logits(models["ft"], torch)
    for name in tunes:
        got = exported(lib, name, tmp_path, torch)
        ref = references.get(name)
        if ref is None:
            torch.testing.assert_close(got, want, rtol=0, atol=1e-5)
        else:
            gguf = models[ref]
            torch.testing.assert_close(
                got, logits(gguf.parent, torch, gguf.name), rtol=0, atol=1e-4
            )


def test_library_from_gguf_gives_an_adapter_in_hugging_face_names(models, tmp_path):
    import peft
    import torch
    import transformers

    lib = tmp_path / "lib"
    vd.build_library(
        models["base.gguf"], {"ft": models["ft.gguf"]}, lib, method="svd", rank_ratio=0.1
    )
    want = exported(lib, "ft", tmp_path, torch)
    report = vd.export_lora(lib, "ft", tmp_path / "lora")
    assert all(m.startswith("model.layers.") for m in report["targets"])
    assert {"model.layers.0.self_attn.q_proj", "model.layers.1.self_attn.k_proj"} <= set(
        report["targets"]
    )
    assert "model.embed_tokens" in report["full"] and report["skipped"] == {}
    base = transformers.AutoModelForCausalLM.from_pretrained(models["base"], dtype=torch.float32)
    adapted = peft.PeftModel.from_pretrained(base, tmp_path / "lora")
    ids = torch.arange(48).reshape(2, 24) * 7 % base.config.vocab_size
    with torch.no_grad():
        got = adapted(ids).logits
    torch.testing.assert_close(got, want, rtol=0, atol=1e-4)


def _odd_gguf(path, scale):
    """A GGUF file of an architecture transformers does not know, in GGUF's tensor names."""
    import gguf

    w = gguf.GGUFWriter(str(path), "odd")
    rng = np.random.default_rng(0)
    for name, shape in (("token_embd.weight", (8, 4)), ("blk.0.attn_q.weight", (4, 4))):
        w.add_tensor(name, (scale * rng.standard_normal(shape)).astype(np.float32))
    for step in (w.write_header_to_file, w.write_kv_data_to_file, w.write_tensors_to_file):
        step()
    w.close()
    return path


def test_unsupported_architectures_are_named(models, tmp_path):
    lib = tmp_path / "lib"
    vd.build_library(models["base"], {"hf": models["ft"]}, lib)
    with pytest.raises(
        ValueError, match="transformers cannot load GGUF models of architecture 'odd'"
    ):
        vd.add_to_library(lib, "odd", _odd_gguf(tmp_path / "odd-ft.gguf", 1.0))
    odd = tmp_path / "odd-lib"
    vd.build_library(
        _odd_gguf(tmp_path / "odd.gguf", 1.0),
        {"ft": _odd_gguf(tmp_path / "ft.gguf", 1.1)},
        odd,
        energy=0.9,
    )
    report = vd.export_finetune(odd, "ft", tmp_path / "out")
    assert "not a Hugging Face model directory" in report["note"] and "'odd'" in report["note"]
    with pytest.raises(ValueError, match="no LoRA adapter with Hugging Face module names"):
        vd.export_lora(odd, "ft", tmp_path / "lora")
