"""A fine-tune zoo made by real training on text this machine already has (needs torch,
transformers, tokenizers, peft, safetensors).

A 4-layer Llama-style model (hidden 256, MLP 688, vocabulary 4096 from a byte-level BPE
trained here) is pre-trained on the Python standard library's sources and the English of
its reference topics, then fine-tuned four ways:

- `full-tests`: every weight, on the standard library's test suite (Python of another style);
- `full-docs`: every weight, on the docstrings of the installed third-party packages
  (English documentation of other subjects: tensors, models, training);
- `lora-docs`: a LoRA of rank 8 on every linear layer of the blocks, on the docs, merged;
- `last2-tests`: the last two blocks only, on the tests.

Each domain's files are split by a hash of their path into training and held-out text.
Everything is cached as float32 safetensors in $VELMORA_BENCH_CACHE (default
~/.cache/velmora-dryx/bench_codecs), so only the first run trains (about half an hour on
two cores).
"""

from __future__ import annotations

import ast
import json
import math
import os
import sys
import sysconfig
import time
import zlib
from pathlib import Path

import numpy as np

CACHE = Path(
    os.environ.get("VELMORA_BENCH_CACHE", Path.home() / ".cache/velmora-dryx/bench_codecs")
)
VOCAB, HIDDEN, MLP, LAYERS, HEADS = 4096, 256, 688, 4, 4
SEQ, BATCH = 128, 16
PRETRAIN_STEPS, FINETUNE_STEPS = 300, 120
LORA_RANK = 8
EVAL_WINDOWS = 96
# Bump to rebuild the cache when the recipe changes.
RECIPE = 1

FINETUNES = {
    "full-tests": {"domain": "tests", "how": "full", "lr": 3e-4},
    "full-docs": {"domain": "docs", "how": "full", "lr": 3e-4},
    "lora-docs": {"domain": "docs", "how": "lora", "lr": 2e-3},
    "last2-tests": {"domain": "tests", "how": "last2", "lr": 5e-4},
}


def _held_out(path: Path) -> bool:
    return zlib.crc32(str(path).encode()) % 10 == 0


def _read(path: Path) -> str:
    try:
        return path.read_text(encoding="utf-8")
    except (UnicodeDecodeError, OSError):
        return ""


def _docstrings(source: str) -> list[str]:
    try:
        tree = ast.parse(source)
    except (SyntaxError, ValueError, RecursionError):
        return []
    out = []
    for node in ast.walk(tree):
        if isinstance(node, ast.Module | ast.ClassDef | ast.FunctionDef | ast.AsyncFunctionDef):
            doc = ast.get_docstring(node)
            if doc and len(doc) > 200:
                out.append(doc)
    return out


def _corpora() -> dict[str, tuple[str, str]]:
    """Per domain, (training text, held-out text)."""
    stdlib = Path(sysconfig.get_paths()["stdlib"])
    skip = {"test", "idlelib", "tkinter", "turtledemo", "lib2to3", "site-packages", "ensurepip"}
    general, tests, docs = ([], []), ([], []), ([], [])
    for path in sorted(stdlib.rglob("*.py")):
        rel = path.relative_to(stdlib)
        if rel.parts[0] == "test" and path.name.startswith("test_"):
            tests[_held_out(rel)].append(_read(path))
        elif rel.parts[0] not in skip and "tests" not in rel.parts:
            general[_held_out(rel)].append(_read(path))
    from pydoc_data import topics

    for key, text in sorted(topics.topics.items()):
        general[_held_out(Path(key))].append(text)
    site = Path(sysconfig.get_paths()["purelib"])
    for package in ("transformers", "torch", "datasets", "peft", "huggingface_hub"):
        for path in sorted((site / package).rglob("*.py")):
            rel = path.relative_to(site)
            docs[_held_out(rel)].extend(_docstrings(_read(path)))
    join = "\n\n".join
    return {
        "general": (join(general[0]), join(general[1])),
        "tests": (join(tests[0]), join(tests[1])),
        "docs": (join(docs[0]), join(docs[1])),
    }


def _tokenizer(general: str):
    from tokenizers import Tokenizer, decoders, models, pre_tokenizers, trainers

    path = CACHE / "tokenizer.json"
    if path.exists():
        return Tokenizer.from_file(str(path))
    tok = Tokenizer(models.BPE())
    tok.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
    tok.decoder = decoders.ByteLevel()
    trainer = trainers.BpeTrainer(
        vocab_size=VOCAB,
        initial_alphabet=pre_tokenizers.ByteLevel.alphabet(),
        special_tokens=["<|endoftext|>"],
        show_progress=False,
    )
    chunks = [general[i : i + 100_000] for i in range(0, len(general), 100_000)]
    tok.train_from_iterator(chunks, trainer)
    tok.save(str(path))
    return tok


def _encode(tok, text: str, limit: int) -> np.ndarray:
    chunks = [text[i : i + 50_000] for i in range(0, len(text), 50_000)]
    ids: list[int] = []
    for enc in tok.encode_batch(chunks):
        ids.extend(enc.ids)
        if len(ids) >= limit:
            break
    return np.asarray(ids[:limit], dtype=np.uint16)


def token_streams() -> dict[str, np.ndarray]:
    """Token ids per domain and split: '<domain>' for training, '<domain>-heldout'."""
    path = CACHE / "tokens.npz"
    if path.exists():
        with np.load(path) as z:
            return dict(z)
    CACHE.mkdir(parents=True, exist_ok=True)
    texts = _corpora()
    tok = _tokenizer(texts["general"][0])
    # Training windows are drawn at random, held-out text is read in order.
    need = {"general": 8_000_000, "tests": 2_000_000, "docs": 2_000_000}
    streams = {}
    for domain, (train, held) in texts.items():
        streams[domain] = _encode(tok, train, need[domain])
        streams[domain + "-heldout"] = _encode(tok, held, EVAL_WINDOWS * SEQ + 1)
    np.savez(path, **streams)
    return streams


def new_model():
    import torch
    import transformers

    config = transformers.LlamaConfig(
        vocab_size=VOCAB,
        hidden_size=HIDDEN,
        intermediate_size=MLP,
        num_hidden_layers=LAYERS,
        num_attention_heads=HEADS,
        num_key_value_heads=HEADS,
        max_position_embeddings=SEQ,
        tie_word_embeddings=False,
    )
    torch.manual_seed(0)
    return transformers.LlamaForCausalLM(config)


def _train(model, params, ids: np.ndarray, steps: int, lr: float, seed: int, label: str):
    import torch

    opt = torch.optim.AdamW(params, lr=lr, betas=(0.9, 0.95), weight_decay=0.0)
    warm = max(1, steps // 20)
    sched = torch.optim.lr_scheduler.LambdaLR(
        opt,
        lambda s: (
            min(1.0, (s + 1) / warm)
            * (0.1 + 0.9 * 0.5 * (1 + math.cos(math.pi * min(s, steps) / steps)))
        ),
    )
    rng = np.random.default_rng(seed)
    model.train()
    t0 = time.perf_counter()
    for step in range(steps):
        starts = rng.integers(0, len(ids) - SEQ - 1, BATCH)
        x = torch.from_numpy(np.stack([ids[s : s + SEQ] for s in starts]).astype(np.int64))
        loss = model(input_ids=x, labels=x).loss
        loss.backward()
        torch.nn.utils.clip_grad_norm_(params, 1.0)
        opt.step()
        sched.step()
        opt.zero_grad(set_to_none=True)
        if step % 25 == 0 or step == steps - 1:
            print(
                f"  {label} step {step + 1}/{steps} loss {loss.item():.3f}"
                f" ({time.perf_counter() - t0:.0f} s)",
                flush=True,
            )
    model.eval()


def state_dict(model) -> dict[str, np.ndarray]:
    return {k: v.detach().float().numpy().copy() for k, v in model.state_dict().items()}


def perplexity(model, sd: dict[str, np.ndarray], ids: np.ndarray) -> float:
    """Perplexity of `sd` (loaded into `model`) on non-overlapping windows of `ids`."""
    import torch

    model.load_state_dict({k: torch.from_numpy(np.asarray(v, np.float32)) for k, v in sd.items()})
    model.eval()
    n = min(EVAL_WINDOWS, (len(ids) - 1) // SEQ)
    x = torch.from_numpy(ids[: n * SEQ].astype(np.int64).reshape(n, SEQ))
    total = 0.0
    with torch.no_grad():
        for i in range(0, n, 16):
            total += model(input_ids=x[i : i + 16], labels=x[i : i + 16]).loss.item() * len(
                x[i : i + 16]
            )
    return math.exp(total / n)


def _save(name: str, sd: dict) -> None:
    from safetensors.numpy import save_file

    tmp = CACHE / f"{name}.tmp"
    save_file(sd, str(tmp))
    os.replace(tmp, CACHE / f"{name}.safetensors")


def _load(name: str) -> dict[str, np.ndarray]:
    from safetensors.numpy import load_file

    return load_file(str(CACHE / f"{name}.safetensors"))


def _base(streams) -> dict[str, np.ndarray]:
    meta_path = CACHE / "base.json"
    if not meta_path.exists() or json.loads(meta_path.read_text()).get("recipe") != RECIPE:
        print("pre-training the base model (cached after this run)", flush=True)
        model = new_model()
        _train(model, list(model.parameters()), streams["general"], PRETRAIN_STEPS, 2e-3, 1, "base")
        _save("base", state_dict(model))
        meta = {"recipe": RECIPE, "steps": PRETRAIN_STEPS, "tokens": PRETRAIN_STEPS * BATCH * SEQ}
        meta_path.write_text(json.dumps(meta))
    return _load("base")


def _tuned(name: str, base: dict, streams) -> tuple[dict, dict]:
    meta_path = CACHE / f"{name}.json"
    if not meta_path.exists() or json.loads(meta_path.read_text()).get("recipe") != RECIPE:
        print(f"fine-tuning {name} (cached after this run)", flush=True)
        how = FINETUNES[name]
        seed = 10 + list(FINETUNES).index(name)
        facts = _finetune(base, how, streams[how["domain"]], seed=seed, label=name)
        _save(name, facts.pop("sd"))
        meta_path.write_text(json.dumps({"recipe": RECIPE, **facts}))
    facts = json.loads(meta_path.read_text())
    del facts["recipe"]
    return _load(name), facts


def zoo(parallel: bool = True) -> tuple[dict, dict, dict]:
    """(base state dict, {fine-tune: state dict}, {fine-tune: facts}), trained on first use;
    missing fine-tunes train in parallel processes of one thread each."""
    import subprocess

    import torch

    streams = token_streams()
    base = _base(streams)
    missing = [n for n in FINETUNES if not (CACHE / f"{n}.json").exists()]
    if parallel and len(missing) > 1:
        env = {**os.environ, "OMP_NUM_THREADS": "1"}
        procs = [
            subprocess.Popen([sys.executable, __file__, name], env=env, cwd=Path(__file__).parent)
            for name in missing
        ]
        if any(p.wait() != 0 for p in procs):
            raise RuntimeError("a fine-tune failed")
    torch.set_num_threads(max(1, os.cpu_count() or 1))
    tunes, facts = {}, {}
    for name in FINETUNES:
        tunes[name], facts[name] = _tuned(name, base, streams)
    return base, tunes, facts


def _finetune(base: dict, how: dict, ids: np.ndarray, seed: int, label: str) -> dict:
    import torch

    model = new_model()
    model.load_state_dict({k: torch.from_numpy(v) for k, v in base.items()})
    facts = {"domain": how["domain"], "how": how["how"], "steps": FINETUNE_STEPS}
    if how["how"] == "lora":
        import peft

        config = peft.LoraConfig(
            r=LORA_RANK,
            lora_alpha=2 * LORA_RANK,
            lora_dropout=0.0,
            target_modules=[
                "q_proj",
                "k_proj",
                "v_proj",
                "o_proj",
                "gate_proj",
                "up_proj",
                "down_proj",
            ],
        )
        model = peft.get_peft_model(model, config)
        params = [p for p in model.parameters() if p.requires_grad]
        _train(model, params, ids, FINETUNE_STEPS, how["lr"], seed, label)
        model = model.merge_and_unload()
        facts["r"] = LORA_RANK
    else:
        if how["how"] == "last2":
            for p in model.parameters():
                p.requires_grad_(False)
            for layer in model.model.layers[-2:]:
                for p in layer.parameters():
                    p.requires_grad_(True)
        params = [p for p in model.parameters() if p.requires_grad]
        _train(model, params, ids, FINETUNE_STEPS, how["lr"], seed, label)
    facts["sd"] = state_dict(model)
    return facts


if __name__ == "__main__":
    import torch

    torch.set_num_threads(1)
    _streams = token_streams()
    _tuned(sys.argv[1], _base(_streams), _streams)
