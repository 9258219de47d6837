"""Sliding-window perplexity on the WikiText-2 test split (velmora_dryx.lornet).

The hub is never reached: the dataset loader is replaced by an in-memory text, the tokenizer
is trained offline and the model is a tiny causal LM saved from a config.
"""

import math
import sys
import types

import numpy as np
import pytest
from lornet_support import tiny_llama

from velmora_dryx import lornet

LINES = [
    "",
    " = Valkyria Chronicles III = \n",
    "",
    " Senjō no Valkyria 3 is a tactical role playing video game developed by Sega . \n",
    "   \n",
    " The game began development in 2010 , carrying over a large portion of the work . \n",
    " It met with positive sales in Japan , and was praised by western critics . \n",
    "\n",
    " = = Gameplay = = \n",
    " As with previous games , the player controls a squad through a series of battles . \n",
]
TEXT = "\n\n".join(line for line in LINES if line.strip())


# ---- the text and its ids, with stand-in libraries --------------------------------------


class FakeLibraries:
    """Stand-ins for transformers and datasets that record what they are asked."""

    def __init__(self, lines):
        self.lines, self.calls = lines, []
        self.transformers = types.ModuleType("transformers")
        self.datasets = types.ModuleType("datasets")
        self.transformers.AutoTokenizer = types.SimpleNamespace(from_pretrained=self.tokenizer)
        self.datasets.load_dataset = self.load_dataset

    def tokenizer(self, path):
        self.calls.append(("tokenizer", path))

        def encode(text, return_tensors):
            self.calls.append(("encode", text, return_tensors))
            # One id per character, as a (1, n) batch.
            return types.SimpleNamespace(input_ids=np.array([[ord(c) for c in text]]))

        return encode

    def load_dataset(self, *args, **kwargs):
        self.calls.append(("dataset", args, kwargs))
        return {"text": list(self.lines)}


@pytest.fixture
def fakes(monkeypatch):
    f = FakeLibraries(LINES)
    monkeypatch.setitem(sys.modules, "transformers", f.transformers)
    monkeypatch.setitem(sys.modules, "datasets", f.datasets)
    return f


def test_text_is_the_non_blank_lines_joined_by_a_blank_line(fakes, tmp_path):
    ids = lornet._load_wikitext_ids(tmp_path, 0)
    assert fakes.calls == [
        ("tokenizer", str(tmp_path)),
        ("dataset", ("Salesforce/wikitext", "wikitext-2-raw-v1"), {"split": "test"}),
        ("encode", TEXT, "pt"),
    ]
    assert "".join(map(chr, ids)) == TEXT


@pytest.mark.parametrize(
    "max_tokens, expected",
    [
        (0, TEXT),
        (5, TEXT[:5]),
        (2.9, TEXT[:2]),  # converted as int() does
        (len(TEXT), TEXT),
        (len(TEXT) + 10**30, TEXT),
        (-3, TEXT[:-3]),  # slice semantics: drops ids from the end
        (-(10**30), ""),
    ],
)
def test_max_tokens_caps_the_ids(fakes, tmp_path, max_tokens, expected):
    ids = lornet._load_wikitext_ids(tmp_path, max_tokens)
    assert "".join(map(chr, ids)) == expected


def test_blank_split_gives_no_ids(monkeypatch, tmp_path):
    f = FakeLibraries(["", " \n", "\t"])
    monkeypatch.setitem(sys.modules, "transformers", f.transformers)
    monkeypatch.setitem(sys.modules, "datasets", f.datasets)
    assert len(lornet._load_wikitext_ids(tmp_path, 4096)) == 0
    assert f.calls[-1] == ("encode", "", "pt")


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"state_dict": []}, "'state_dict' has incorrect type (expected dict, got list)"),
        (
            {"state_dict": None, "window": None},
            "'window' has incorrect type (expected int, got NoneType)",
        ),
    ],
)
def test_perplexity_argument_errors(tmp_path, kwargs, message):
    with pytest.raises(TypeError) as info:
        lornet.perplexity_from_state_dict(tmp_path, **kwargs)
    assert message in str(info.value)


def test_perplexity_arguments_after_the_second_are_keyword_only(tmp_path):
    with pytest.raises(TypeError, match="takes exactly 2 positional arguments"):
        lornet.perplexity_from_state_dict(tmp_path, None, 16)


@pytest.mark.parametrize("missing", ["torch", "transformers"])
def test_missing_library_raises_import_error_at_the_call(monkeypatch, tmp_path, missing):
    monkeypatch.setitem(sys.modules, missing, None)
    with pytest.raises(ImportError):
        lornet.perplexity_from_state_dict(tmp_path, None)


# ---- a real tiny model --------------------------------------------------------------------


@pytest.fixture(scope="module")
def tiny_model(tmp_path_factory):
    """A two-layer causal LM with tied embeddings and a word-level tokenizer, saved locally."""
    with pytest.MonkeyPatch.context() as mp:
        # Before the Hugging Face libraries are first imported: they read these at import.
        mp.setenv("HF_HUB_OFFLINE", "1")
        mp.setenv("TRANSFORMERS_OFFLINE", "1")
        yield _save_tiny_model(tmp_path_factory.mktemp("tiny-lm"))


def _save_tiny_model(model_dir):
    pytest.importorskip("torch")
    transformers = pytest.importorskip("transformers")
    from tokenizers import Tokenizer, models, pre_tokenizers, trainers

    tok = Tokenizer(models.WordLevel(unk_token="[UNK]"))
    tok.pre_tokenizer = pre_tokenizers.Whitespace()
    tok.train_from_iterator(LINES, trainers.WordLevelTrainer(special_tokens=["[UNK]"]))
    transformers.PreTrainedTokenizerFast(tokenizer_object=tok, unk_token="[UNK]").save_pretrained(
        model_dir
    )
    tiny_llama(tok.get_vocab_size(), 128).save_pretrained(model_dir)
    return model_dir


@pytest.fixture
def wikitext(monkeypatch):
    """Serves LINES as the test split; `lines` may be replaced by a test."""
    datasets = pytest.importorskip("datasets")
    served = types.SimpleNamespace(lines=LINES, calls=0)

    def load_dataset(*args, **kwargs):
        assert args == ("Salesforce/wikitext", "wikitext-2-raw-v1") and kwargs == {"split": "test"}
        served.calls += 1
        return {"text": served.lines}

    monkeypatch.setattr(datasets, "load_dataset", load_dataset)
    monkeypatch.setenv("HF_HUB_OFFLINE", "1")
    monkeypatch.setenv("TRANSFORMERS_OFFLINE", "1")
    return served


@pytest.fixture
def model_calls(monkeypatch):
    """Records, for every forward pass of the evaluated model, its inputs and grad mode."""
    import torch
    import transformers

    real = transformers.AutoModelForCausalLM
    seen = types.SimpleNamespace(loads=[], windows=[])

    def hook(module, args, kwargs):
        seen.windows.append(
            (args[0].clone(), kwargs["labels"].clone(), torch.is_grad_enabled(), module.training)
        )

    def from_pretrained(path, **kwargs):
        seen.loads.append((path, kwargs))
        model = real.from_pretrained(path, **kwargs)
        model.register_forward_pre_hook(hook, with_kwargs=True)
        return model

    monkeypatch.setattr(
        transformers, "AutoModelForCausalLM", types.SimpleNamespace(from_pretrained=from_pretrained)
    )
    return seen


def reference_perplexity(model_dir, ids, window, stride, state_dict=None):
    """An independent sliding-window loop: the negative log-likelihood of each scored token
    is taken from the logits directly, and each window weighs its mean by its label count."""
    import torch
    from transformers.models.auto import AutoModelForCausalLM  # not the recording stand-in

    model = AutoModelForCausalLM.from_pretrained(str(model_dir), dtype=torch.float32)
    if state_dict is not None:
        model.load_state_dict({k: torch.tensor(v) for k, v in state_dict.items()}, strict=False)
    model.eval()
    ids = [int(i) for i in ids]
    n, total, count, prev_end = len(ids), 0.0, 0, 0
    begin = 0
    while begin < n:
        end = min(begin + window, n)
        chunk = ids[begin:end]
        scored = min(end - prev_end, len(chunk))  # the last `scored` positions are labels
        with torch.no_grad():
            logp = torch.log_softmax(model(torch.tensor([chunk])).logits[0].double(), dim=-1)
        # Position j is predicted from position j - 1; the window's first label has no predictor.
        first = len(chunk) - scored
        nll = [-logp[j - 1, chunk[j]].item() for j in range(max(first, 1), len(chunk))]
        total += (sum(nll) / len(nll)) * scored
        count += scored
        prev_end = end
        if end == n:
            break
        begin += stride
    return math.exp(total / max(count, 1))


def window_summary(seen):
    """(length, scored positions) of each window the model was run on."""
    return [(inp.shape[1], int((lab != -100).sum())) for inp, lab, _, _ in seen.windows]


@pytest.mark.torch
@pytest.mark.parametrize(
    "max_tokens, window, stride, shape",
    [
        (18, 8, 4, [(8, 8), (8, 4), (8, 4), (6, 2)]),
        (10, 16, 8, [(10, 10)]),  # fewer ids than the window: one window, all positions scored
        (18, 2, 4, [(2, 2)] * 5),  # stride beyond the window: the gaps are never scored
        (0, 24, 12, None),  # the whole split
    ],
)
def test_perplexity_matches_an_independent_loop(
    tiny_model, wikitext, model_calls, max_tokens, window, stride, shape
):
    got = lornet.perplexity_from_state_dict(
        tiny_model, None, max_tokens=max_tokens, window=window, stride=stride
    )
    ids = lornet._load_wikitext_ids(tiny_model, max_tokens)
    assert type(got) is float
    assert got == pytest.approx(reference_perplexity(tiny_model, ids, window, stride), rel=1e-5)
    if shape is not None:
        assert window_summary(model_calls) == shape
    # Each window is the id run from its start, fed without gradients and in eval mode.
    for k, (inp, lab, grad, training) in enumerate(model_calls.windows):
        start = k * stride
        assert inp[0].tolist() == ids[start : start + inp.shape[1]].tolist()
        assert lab[0, -1] == inp[0, -1]
        assert not grad and not training
    assert model_calls.loads[0] == (str(tiny_model), {"dtype": __import__("torch").float32})


@pytest.mark.torch
def test_default_windows(tiny_model, wikitext, model_calls):
    # A split long enough for the default 4096-token cap: 7 windows of 1024 advancing by 512.
    wikitext.lines = [" ".join(["the game began development in 2010"] * 100)] * 20
    lornet.perplexity_from_state_dict(tiny_model, None)
    assert window_summary(model_calls) == [(1024, 1024)] + [(1024, 512)] * 6


@pytest.mark.torch
def test_pretrained_state_dict_reproduces_the_baseline(tiny_model, wikitext):
    state = lornet.load_state_dict_numpy(tiny_model)
    assert not any("lm_head" in k for k in state)
    base = lornet.perplexity_from_state_dict(tiny_model, None, max_tokens=40, window=16, stride=8)
    assert (
        lornet.perplexity_from_state_dict(tiny_model, state, max_tokens=40, window=16, stride=8)
        == base
    )


@pytest.mark.torch
def test_given_weights_are_the_ones_evaluated(tiny_model, wikitext):
    state = lornet.load_state_dict_numpy(tiny_model)
    rng = np.random.default_rng(0)
    changed = {k: v + rng.normal(0, 0.5, v.shape).astype(np.float32) for k, v in state.items()}
    ids = lornet._load_wikitext_ids(tiny_model, 40)
    got = lornet.perplexity_from_state_dict(tiny_model, changed, max_tokens=40, window=16, stride=8)
    assert got == pytest.approx(reference_perplexity(tiny_model, ids, 16, 8, changed), rel=1e-5)
    assert got != pytest.approx(reference_perplexity(tiny_model, ids, 16, 8), rel=1e-3)


@pytest.mark.torch
@pytest.mark.parametrize(
    "edit, message",
    [
        (
            lambda s: s.update({"extra.weight": np.zeros(2, np.float32)}),
            "missing=[] unexpected=['extra.weight']",
        ),
        (lambda s: s.pop("model.norm.weight"), "missing=['model.norm.weight'] unexpected=[]"),
    ],
)
def test_mismatched_state_dict_is_refused_before_the_text_is_loaded(
    tiny_model, wikitext, edit, message
):
    state = lornet.load_state_dict_numpy(tiny_model)
    edit(state)
    with pytest.raises(RuntimeError) as info:
        lornet.perplexity_from_state_dict(tiny_model, state)
    assert str(info.value) == "state_dict mismatch " + message
    assert wikitext.calls == 0


@pytest.mark.torch
def test_wrong_shape_raises_the_models_error(tiny_model, wikitext):
    state = lornet.load_state_dict_numpy(tiny_model)
    state["model.norm.weight"] = np.ones(3, np.float32)
    with pytest.raises(RuntimeError, match="size mismatch"):
        lornet.perplexity_from_state_dict(tiny_model, state)


@pytest.mark.torch
def test_no_tokens_give_one(tiny_model, wikitext, model_calls):
    wikitext.lines = ["", "  \n"]
    assert lornet.perplexity_from_state_dict(tiny_model, None) == 1.0
    assert model_calls.windows == []


@pytest.mark.torch
@pytest.mark.parametrize(
    "window, stride, message",
    [
        (8, 0, "range() arg 3 must not be zero"),
        (8, -4, "stride must be positive, got -4"),
        (0, 4, "window must be positive, got 0"),
        (-2, 4, "window must be positive, got -2"),
    ],
)
def test_unusable_windows_are_refused(tiny_model, wikitext, model_calls, window, stride, message):
    with pytest.raises(ValueError) as info:
        lornet.perplexity_from_state_dict(tiny_model, None, window=window, stride=stride)
    assert str(info.value) == message
    assert model_calls.windows == []


@pytest.mark.torch
def test_gradients_come_back_on_after_a_failure(tiny_model, wikitext, monkeypatch):
    import torch
    import transformers

    real = transformers.AutoModelForCausalLM

    def failing(path, **kwargs):
        model = real.from_pretrained(path, **kwargs)

        def boom(*a, **k):
            raise ValueError("forward failed")

        model.register_forward_pre_hook(boom)
        return model

    monkeypatch.setattr(
        transformers, "AutoModelForCausalLM", types.SimpleNamespace(from_pretrained=failing)
    )
    assert torch.is_grad_enabled()
    with pytest.raises(ValueError, match="forward failed"):
        lornet.perplexity_from_state_dict(tiny_model, None, max_tokens=20, window=8, stride=4)
    assert torch.is_grad_enabled()


@pytest.mark.torch
def test_command_line_reports_perplexity(tiny_model, wikitext, tmp_path, capsys):
    import json
    import shutil

    from safetensors.numpy import load_file, save_file

    from velmora_dryx import cli

    finetune = tmp_path / "finetune"
    shutil.copytree(tiny_model, finetune)
    shard = next(finetune.glob("*.safetensors"))
    weights = load_file(str(shard))
    name = next(k for k, v in weights.items() if v.ndim == 2 and "q_proj" in k)
    rng = np.random.default_rng(0)
    bump = 0.05 * np.outer(rng.standard_normal(weights[name].shape[0]), rng.standard_normal(32))
    weights[name] = weights[name] + bump.astype(np.float32)
    save_file(weights, str(shard), metadata={"format": "pt"})

    args = ["--json", "library", str(tiny_model), str(finetune), "--ppl", "--max-tokens", "64"]
    assert cli.main(args) == 0
    rows = {r["model"]: r["perplexity"] for r in json.loads(capsys.readouterr().out)["perplexity"]}
    baseline = lornet.perplexity_from_state_dict(tiny_model, None, max_tokens=64)
    assert rows["base"] == pytest.approx(baseline, rel=1e-6)
    # A rank-1 update is stored exactly by the rank-8 tensor train.
    assert rows[f"{finetune} (reconstructed)"] == pytest.approx(rows[str(finetune)], rel=1e-4)
    assert rows[str(finetune)] != pytest.approx(baseline, rel=1e-6)

    assert cli.main(["--json", "ppl", str(tiny_model), "--max-tokens", "64"]) == 0
    doc = json.loads(capsys.readouterr().out)
    assert doc["perplexity"]["perplexity"] == pytest.approx(baseline, rel=1e-6)
