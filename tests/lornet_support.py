"""Test helpers for the Hugging Face I/O module: safetensors files written by hand.

The writer follows the file format directly (little-endian header length, JSON header, raw
little-endian data), so the tests do not depend on the library under test to make their
inputs, and bfloat16 shards can be written without torch or ml_dtypes.
"""

import json
import struct
from dataclasses import dataclass
from pathlib import Path

import numpy as np

_CODES = {
    "float64": "F64",
    "float32": "F32",
    "float16": "F16",
    "int64": "I64",
    "int32": "I32",
    "int8": "I8",
    "uint8": "U8",
}


@dataclass
class Bf16:
    """A bfloat16 tensor, kept as its raw 16-bit patterns."""

    bits: np.ndarray  # uint16

    @classmethod
    def from_float32(cls, values) -> "Bf16":
        # Truncation keeps the top half of each float32: the result is exactly representable.
        v = np.ascontiguousarray(values, dtype=np.float32)
        return cls((v.view(np.uint32) >> 16).astype(np.uint16))

    def widened(self) -> np.ndarray:
        """The exact float32 values of the bfloat16 patterns."""
        return (self.bits.astype(np.uint32) << 16).view(np.float32)


def write_shard(path: Path, tensors: dict) -> Path:
    """Writes a safetensors file with the tensors in the given order."""
    header, blobs, offset = {}, [], 0
    for name, t in tensors.items():
        if isinstance(t, Bf16):
            code, shape, raw = "BF16", t.bits.shape, t.bits.astype("<u2").tobytes()
        else:
            a = np.ascontiguousarray(t)
            code, shape, raw = (
                _CODES[a.dtype.name],
                a.shape,
                a.astype(a.dtype.newbyteorder("<")).tobytes(),
            )
        header[name] = {
            "dtype": code,
            "shape": list(shape),
            "data_offsets": [offset, offset + len(raw)],
        }
        blobs.append(raw)
        offset += len(raw)
    text = json.dumps(header).encode()
    text += b" " * (-len(text) % 8)
    path.write_bytes(struct.pack("<Q", len(text)) + text + b"".join(blobs))
    return path


def random_tensors(seed: int, names, shape=(3, 4), dtype=np.float32) -> dict:
    rng = np.random.default_rng(seed)
    return {n: rng.standard_normal(shape).astype(dtype) for n in names}


def llama_settings(vocab_size: int, max_positions: int, **overrides) -> dict:
    """The LlamaConfig entries of the tiny causal LM: two layers of hidden size 32."""
    settings = {
        "vocab_size": vocab_size,
        "hidden_size": 32,
        "intermediate_size": 64,
        "num_hidden_layers": 2,
        "num_attention_heads": 4,
        "num_key_value_heads": 4,
        "max_position_embeddings": max_positions,
        "tie_word_embeddings": True,
    }
    return {**settings, **overrides}


def tiny_llama(vocab_size: int, max_positions: int, **overrides):
    """A two-layer causal LM of hidden size 32 with seeded weights (needs torch, transformers);
    `overrides` replace entries of its LlamaConfig."""
    import torch
    import transformers

    config = transformers.LlamaConfig(**llama_settings(vocab_size, max_positions, **overrides))
    torch.manual_seed(0)
    return transformers.LlamaForCausalLM(config)


def lora_finetune(model, rank: int, seed: int = 1):
    """The model with a random LoRA update of rank `rank` on every linear layer of its blocks
    (peft, merged into the weights): what a LoRA fine-tune leaves (needs torch, peft)."""
    import peft
    import torch

    torch.manual_seed(seed)
    config = peft.LoraConfig(
        r=rank,
        lora_alpha=rank,
        target_modules="all-linear",  # every linear layer but the output head
        init_lora_weights=False,  # random A and B: a trained adapter, not a zero one
    )
    return peft.get_peft_model(model, config).merge_and_unload()


def tiny_llama_tensors(vocab_size: int, max_positions: int, seed: int = 0) -> tuple[dict, str]:
    """The tiny causal LM's weights made with numpy (no torch), float32, under the names and
    shapes transformers saves (the tied output layer left out), with a config.json text:
    the model `tiny_llama` builds, with other random values."""
    c = llama_settings(vocab_size, max_positions)
    h, inner, kv = c["hidden_size"], c["intermediate_size"], c["num_key_value_heads"]
    kv_width = kv * h // c["num_attention_heads"]
    shapes = {"model.embed_tokens.weight": (vocab_size, h)}
    for i in range(c["num_hidden_layers"]):
        p = f"model.layers.{i}."
        shapes |= {p + f"self_attn.{m}_proj.weight": (h, h) for m in "qo"}
        shapes |= {p + f"self_attn.{m}_proj.weight": (kv_width, h) for m in "kv"}
        shapes |= {p + f"mlp.{m}_proj.weight": (inner, h) for m in ("gate", "up")}
        shapes |= {p + "mlp.down_proj.weight": (h, inner)}
        shapes |= {
            p + n: (h,) for n in ("input_layernorm.weight", "post_attention_layernorm.weight")
        }
    shapes["model.norm.weight"] = (h,)
    rng = np.random.default_rng(seed)
    tensors = {
        n: (1 + 0.1 * rng.standard_normal(s) if len(s) == 1 else 0.1 * rng.standard_normal(s))
        for n, s in shapes.items()
    }
    config = json.dumps({"model_type": "llama", "architectures": ["LlamaForCausalLM"], **c})
    return {n: t.astype(np.float32) for n, t in tensors.items()}, config


def read_shard(path: Path) -> dict:
    """A safetensors file's tensors as (dtype code, shape, raw bytes), read by hand."""
    data = Path(path).read_bytes()
    (n,) = struct.unpack("<Q", data[:8])
    header = json.loads(data[8 : 8 + n])
    header.pop("__metadata__", None)
    return {
        k: (
            v["dtype"],
            tuple(v["shape"]),
            data[8 + n + v["data_offsets"][0] : 8 + n + v["data_offsets"][1]],
        )
        for k, v in header.items()
    }
