"""PEFT adapters of stored fine-tunes, loaded with peft onto the base: LoRA modules for the
changed linear layers, whole modules for everything else a fine-tune changed, nothing for
what it left alone; and what a LoRA-only adapter loses."""

import json

import pytest
from lornet_support import tiny_llama
from safetensors import safe_open

import velmora_dryx as vd

pytestmark = pytest.mark.torch

LINEAR = ("q_proj", "k_proj", "v_proj", "o_proj", "gate_proj", "up_proj", "down_proj")


def _fine_tune(model, torch, changes: str):
    """Rank-2 updates of every linear layer, and what `changes` adds: the final norm scaled
    by 1.1 ("norm"), or the embedding and the output head retrained at full rank ("vocab")."""
    g = torch.Generator().manual_seed(7)
    with torch.no_grad():
        for name, p in model.named_parameters():
            if name.rsplit(".", 2)[-2] in LINEAR:
                u = torch.randn(p.shape[0], 2, generator=g)
                p += 0.05 * u @ torch.randn(2, p.shape[1], generator=g)
        if changes == "norm":
            model.model.norm.weight.mul_(1.1)
        if changes == "vocab":
            model.model.embed_tokens.weight.add_(0.1 * torch.randn(64, 32, generator=g))
            if not model.config.tie_word_embeddings:
                model.lm_head.weight.add_(0.1 * torch.randn(64, 32, generator=g))


@pytest.fixture(scope="module")
def adapters(tmp_path_factory):
    """Per case: the base and fine-tune directories and a library holding the fine-tune
    exactly (rank-2 updates by the uncapped energy SVD, full-rank changes dense)."""
    import torch

    root = tmp_path_factory.mktemp("adapters")
    made = {}
    for case, changes, tied, *_ in CASES:
        base = tiny_llama(64, 64, num_key_value_heads=2, tie_word_embeddings=tied)
        base.save_pretrained(root / case / "base")
        _fine_tune(base, torch, changes)
        base.save_pretrained(root / case / "tuned")
        vd.build_library(
            root / case / "base",
            {"tuned": root / case / "tuned"},
            root / case / "lib",
            energy=0.9999999,
            max_rank=0,
        )
        made[case] = root / case
    return made


def logits(model, torch):
    ids = torch.arange(24).reshape(2, 12) * 5 % 64
    with torch.no_grad():
        return model(ids).logits


# case, what the fine-tune changes, tied embeddings, modules written whole, LoRA-only leaves
CASES = [
    ("linear", "", False, [], []),
    ("norm", "norm", False, ["model.norm"], ["model.norm.weight"]),
    (
        "vocab",
        "vocab",
        False,
        ["lm_head", "model.embed_tokens"],
        ["lm_head.weight", "model.embed_tokens.weight"],
    ),
    ("tied", "vocab", True, ["lm_head", "model.embed_tokens"], ["model.embed_tokens.weight"]),
]


@pytest.mark.parametrize("case, changes, tied, whole, left_out", CASES, ids=[c[0] for c in CASES])
@pytest.mark.parametrize("lora_only", [False, True], ids=["full", "lora-only"])
def test_adapter_on_the_base_gives_the_stored_fine_tune(
    adapters, tmp_path, case, changes, tied, whole, left_out, lora_only
):
    import peft
    import torch
    import transformers

    d = adapters[case]
    report = vd.export_lora(d / "lib", "tuned", tmp_path / "a", lora_only=lora_only)
    base = transformers.AutoModelForCausalLM.from_pretrained(d / "base")
    adapted = peft.PeftModel.from_pretrained(base, tmp_path / "a")
    tuned = transformers.AutoModelForCausalLM.from_pretrained(d / "tuned")
    gap = float((logits(adapted, torch) - logits(tuned, torch)).abs().max())
    # Every linear layer is LoRA of rank 2 unless its module goes in whole; nothing the
    # fine-tune left alone is in the adapter.
    assert report["targets"] == {
        f"model.layers.{i}.{part}.{m}": 2
        for i in range(2)
        for m in LINEAR
        for part in ("self_attn" if m in LINEAR[:4] else "mlp",)
    }
    with safe_open(str(tmp_path / "a" / "adapter_model.safetensors"), "np") as f:
        keys = set(f.keys())
    lora_keys = {k for k in keys if ".lora_" in k}
    assert len(lora_keys) == 28
    config = json.loads((tmp_path / "a" / "adapter_config.json").read_text())
    assert config["base_model_name_or_path"] == str(d / "base")
    if lora_only or not whole:
        assert sorted(report["skipped"]) == sorted(left_out if lora_only else [])
        assert keys == lora_keys and config["modules_to_save"] is None
        assert report["full"] == {}
    else:
        assert report["skipped"] == {}
        assert sorted(report["full"]) == sorted(config["modules_to_save"]) == whole
        assert keys - lora_keys == {f"base_model.model.{m}.weight" for m in whole}
    if lora_only and left_out:
        # What the report says it costs is what peft shows.
        assert gap > 1e-2
        assert report["logits"]["adapter"] > 1e-2 and report["logits"]["finetune"] > 1e-2
        assert all(0 < e < 1 for e in report["errors"].values())
    else:
        assert gap < 1e-4
        assert report["logits"] is None
    assert report["adapter_bytes"] < report["finetune_bytes"]
