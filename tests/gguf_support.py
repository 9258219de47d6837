"""GGUF files of a tiny llama, written the way GGUF converters write llama models (Q/K rows
permuted, byte-level BPE tokenizer in the tokenizer.ggml.* keys), beside its Hugging Face
model directories (needs torch, transformers, tokenizers and gguf)."""

import hashlib
import json

import numpy as np
from lornet_support import tiny_llama

LINES = [
    " = Valkyria Chronicles III = \n",
    " Senjō no Valkyria 3 is a tactical role playing video game developed by Sega . \n",
    " The game began development in 2010 , carrying over a large portion of the work . \n",
    " It met with positive sales in Japan , and was praised by western critics . \n",
    " = = Gameplay = = \n",
    " As with previous games , the player controls a squad through a series of battles . \n",
] * 4
SPECIALS = ["<s>", "</s>"]


def _permute(w, n_head, n_kv):
    """The row order GGUF converters give llama's Q and K projections."""
    n = n_kv if n_kv != n_head else n_head
    return w.reshape(n, 2, w.shape[0] // n // 2, *w.shape[1:]).swapaxes(1, 2).reshape(w.shape)


def write_llama_gguf(path, model, tokenizer, quantized=False):
    import gguf

    cfg, q8 = model.config, gguf.GGMLQuantizationType.Q8_0
    w = gguf.GGUFWriter(str(path), "llama")
    w.add_context_length(cfg.max_position_embeddings)
    w.add_embedding_length(cfg.hidden_size)
    w.add_block_count(cfg.num_hidden_layers)
    w.add_feed_forward_length(cfg.intermediate_size)
    w.add_head_count(cfg.num_attention_heads)
    w.add_head_count_kv(cfg.num_key_value_heads)
    w.add_layer_norm_rms_eps(cfg.rms_norm_eps)
    w.add_vocab_size(cfg.vocab_size)
    bpe = json.loads(tokenizer.to_str())["model"]
    vocab = sorted(bpe["vocab"].items(), key=lambda kv: kv[1])
    w.add_tokenizer_model("gpt2")
    w.add_token_list([t for t, _ in vocab])
    w.add_token_types([3 if t in SPECIALS else 1 for t, _ in vocab])
    w.add_token_merges([m if isinstance(m, str) else " ".join(m) for m in bpe["merges"]])
    w.add_bos_token_id(tokenizer.token_to_id("<s>"))
    w.add_eos_token_id(tokenizer.token_to_id("</s>"))
    names = gguf.get_tensor_name_map(gguf.MODEL_ARCH.LLAMA, cfg.num_hidden_layers)
    for hf_name, t in model.state_dict().items():
        stem, suffix = hf_name.rsplit(".", 1)
        name = f"{names.get_name(stem)}.{suffix}"
        a = t.numpy()
        if ".attn_q." in name:
            a = _permute(a, cfg.num_attention_heads, cfg.num_attention_heads)
        elif ".attn_k." in name:
            a = _permute(a, cfg.num_attention_heads, cfg.num_key_value_heads)
        if quantized and a.ndim == 2:
            raw = gguf.quants.quantize(a, q8)
            w.add_tensor(name, raw, raw_shape=raw.shape, raw_dtype=q8)
        else:
            w.add_tensor(name, np.ascontiguousarray(a))
    w.write_header_to_file()
    w.write_kv_data_to_file()
    w.write_tensors_to_file()
    w.close()
    return path


def ollama_store(root, blob):
    """An Ollama models directory holding `blob` as tiny:latest."""
    data = blob.read_bytes()
    digest = "sha256:" + hashlib.sha256(data).hexdigest()
    (root / "blobs").mkdir(parents=True)
    (root / "blobs" / digest.replace(":", "-")).write_bytes(data)
    manifest = root / "manifests" / "registry.ollama.ai" / "library" / "tiny"
    manifest.mkdir(parents=True)
    layer = {"mediaType": "application/vnd.ollama.image.model", "digest": digest, "size": len(data)}
    (manifest / "latest").write_text(json.dumps({"layers": [layer]}))
    return root


def build_models(root):
    """A tiny llama (grouped KV heads, untied output) and a fine-tune of it, each as a model
    directory and a GGUF file (both also quantized to Q8_0; the base in an Ollama store too),
    and a GGUF of an architecture transformers lacks: name -> path."""
    import gguf
    import torch
    import transformers
    from tokenizers import Tokenizer, decoders, models, pre_tokenizers, trainers

    tok = Tokenizer(models.BPE())
    tok.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
    tok.decoder = decoders.ByteLevel()
    trainer = trainers.BpeTrainer(
        vocab_size=300,
        special_tokens=SPECIALS,
        initial_alphabet=pre_tokenizers.ByteLevel.alphabet(),
        show_progress=False,
    )
    tok.train_from_iterator(LINES, trainer)
    fast = transformers.PreTrainedTokenizerFast(
        tokenizer_object=tok, bos_token="<s>", eos_token="</s>"
    )
    model = tiny_llama(tok.get_vocab_size(), 256, num_key_value_heads=2, tie_word_embeddings=False)
    paths = {}
    with torch.no_grad():  # sharp attention and logits, so that a wrong Q/K row order shows
        for name, p in model.named_parameters():
            p.mul_(12.0 if name.endswith(("q_proj.weight", "k_proj.weight")) else 3.0)
        for name in ("base", "ft"):
            fast.save_pretrained(root / name)
            model.save_pretrained(root / name)
            paths[f"{name}.gguf"] = write_llama_gguf(root / f"{name}.gguf", model, tok)
            for p in model.parameters():  # the fine-tune
                p.add_(0.02 * torch.randn_like(p))
    for name in ("base", "ft"):
        model = transformers.LlamaForCausalLM.from_pretrained(root / name)
        paths[f"{name}.Q8_0.gguf"] = write_llama_gguf(root / f"{name}.Q8_0.gguf", model, tok, True)
    paths["ollama"] = ollama_store(root / "ollama", paths["base.gguf"])
    w = gguf.GGUFWriter(str(root / "odd.gguf"), "odd")
    w.add_tensor("x", np.ones(4, np.float32))
    for step in (w.write_header_to_file, w.write_kv_data_to_file, w.write_tensors_to_file):
        step()
    w.close()
    return {**paths, "base": root / "base", "ft": root / "ft", "odd.gguf": root / "odd.gguf"}
