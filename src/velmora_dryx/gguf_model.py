"""A GGUF file seen as a Hugging Face model: its configuration, tokenizer and weight names.

Perplexity runs a transformers model from a model directory. ``GgufModel`` turns a GGUF file
into one: config.json and the tokenizer files from transformers' own GGUF support, and the
weights (read natively by ``bramwick``, quantized ones dequantized to float32) under the
model's parameter names, with the transforms GGUF applies at conversion (the Q/K row
permutation of the llama family, among others) undone by transformers' tensor processors,
as its GGUF loader applies them. ``hf_state_dict`` does the same renaming for a state dict
held in GGUF names, such as a fine-tune rebuilt from a model library.

Needs torch, transformers and gguf.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import tempfile
from collections.abc import Iterator
from pathlib import Path

import numpy as np

from velmora_dryx import _tensorfile as tf
from velmora_dryx import bramwick

WEIGHTS_FILE = "model.safetensors"
_WEIGHTS_META = {"format": "pt"}
# Markers in transformers' list of GGUF architectures that name no architecture.
_NOT_ARCHITECTURES = frozenset({"general", "tokenizer"})


class UnsupportedArchitecture(ValueError):
    """A GGUF file of an architecture transformers cannot load."""


def _tensor_infos(reader) -> dict[str, tuple[int, ...]]:
    """Name -> shape (numpy order, as the native loader returns it) of a file's tensors."""
    return {t.name: tuple(int(n) for n in reversed(t.shape)) for t in reader.tensors}


def _architecture(reader) -> str:
    from transformers.modeling_gguf_pytorch_utils import read_field

    value = read_field(reader, "general.architecture")
    if not value:
        raise ValueError("the GGUF metadata has no general.architecture")
    return str(value[0])


def supported_architectures() -> list[str]:
    """The GGUF architectures whose weights transformers' tensor processors map; a newer
    loader of transformers handles some others its own way, which this module does not
    follow, so those are left out."""
    from transformers import modeling_gguf_pytorch_utils as mg

    return sorted(set(mg.GGUF_SUPPORTED_ARCHITECTURES) - _NOT_ARCHITECTURES - _newer_loader())


def _newer_loader() -> set[str]:
    """Architectures transformers loads through its newer GGUF loader (absent before 5)."""
    try:
        from transformers.integrations.gguf import GGUF_ARCHS
    except ImportError:
        return set()
    return set(GGUF_ARCHS)


class GgufModel:
    """A GGUF file opened as a transformers causal LM.

    Opening reads the metadata only and checks everything but the weights' values: the
    architecture (``UnsupportedArchitecture`` when transformers cannot load it), the
    configuration and tokenizer, and that the file's tensors give every parameter of the
    model its shape (ValueError). The weights are read when a directory is written.
    """

    def __init__(self, path: str | os.PathLike) -> None:
        from gguf import GGUFReader
        from transformers import AutoConfig, AutoTokenizer
        from transformers import modeling_gguf_pytorch_utils as mg

        self.path = Path(path)
        reader = GGUFReader(str(self.path))
        self.architecture = _architecture(reader)
        supported = supported_architectures()
        if self.architecture in _newer_loader():
            raise self._unsupported(supported)
        try:
            self.config = AutoConfig.from_pretrained(
                str(self.path.parent), gguf_file=self.path.name, local_files_only=True
            )
        except Exception as exc:
            # transformers reads some architectures under another spelling (qwen2moe as
            # qwen2_moe): an unlisted one is judged by whether its configuration loads.
            if self.architecture not in supported:
                raise self._unsupported(supported) from exc
            raise
        # The processors read the configuration as transformers' GGUF reader spells it; what
        # that leaves out (a key-value head count the file omits) comes from the full
        # configuration, whose defaults are the ones the model is built with.
        parsed = mg.load_gguf_checkpoint(str(self.path), return_tensors=False)["config"]
        cls = mg.TENSOR_PROCESSORS.get(self.architecture, mg.TensorProcessor)
        self._processor = cls(config={**self.config.to_dict(), **parsed})
        self._shapes: dict[str, tuple[int, ...]] = {}
        self._required: list[tuple[str, ...]] = []
        self._names = self._name_map()
        self._check(self._planned(_tensor_infos(reader)))
        self.tokenizer = AutoTokenizer.from_pretrained(
            str(self.path.parent), gguf_file=self.path.name, local_files_only=True
        )

    def _unsupported(self, supported: list[str]) -> UnsupportedArchitecture:
        return UnsupportedArchitecture(
            f"transformers cannot load GGUF models of architecture {self.architecture!r} "
            f"(it can: {', '.join(supported)})"
        )

    def __repr__(self) -> str:
        return f"GgufModel({str(self.path)!r}, architecture={self.architecture!r})"

    # ---- weights ------------------------------------------------------------------------

    def _name_map(self) -> dict[str, str]:
        """GGUF tensor name -> model parameter name, from the model built on the meta
        device (no memory for its weights)."""
        import torch
        from transformers import AutoModelForCausalLM
        from transformers.modeling_gguf_pytorch_utils import get_gguf_hf_weights_map

        with torch.device("meta"):
            model = AutoModelForCausalLM.from_config(self.config)
        names = get_gguf_hf_weights_map(model, self._processor)
        # Names sharing one tensor (tied embeddings) need only one of them present.
        groups: dict[int, list[str]] = {}
        for name, t in model.state_dict(keep_vars=True).items():
            groups.setdefault(id(t), []).append(name)
            self._shapes[name] = tuple(t.shape)
        self._required = [tuple(g) for g in groups.values()]
        return names

    def hf_state_dict(self, tensors: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
        """The tensors of a state dict in GGUF names under the model's parameter names.

        The given dict is emptied as it goes, so no tensor is held twice; tensors that map
        to no parameter are dropped, as transformers drops them. Raises ValueError when a
        parameter of the model is left without a tensor or a tensor has the wrong shape."""
        import torch

        # Processors that merge or split tensors store torch tensors in `parsed` themselves.
        parsed: dict = {"tensors": {}}
        while tensors:
            name = next(iter(tensors))
            self._process(name, tensors.pop(name), parsed)
        out = parsed["tensors"]
        hf = {k: v.numpy() if isinstance(v, torch.Tensor) else v for k, v in out.items()}
        self._check(hf)
        return hf

    def _process(self, name: str, weights: np.ndarray, parsed: dict) -> None:
        """One tensor through the architecture's processor, as transformers' loader does."""
        result = self._processor.process(
            weights=weights, name=name, tensor_key_mapping=self._names, parsed_parameters=parsed
        )
        if result.name in self._names:
            parsed["tensors"][self._names[result.name]] = result.weights

    def _planned(self, shapes: dict[str, tuple[int, ...]]) -> dict[str, np.ndarray]:
        """What ``hf_state_dict`` makes of tensors of these shapes, from zero-stride stand-ins
        (no memory for their values), one tensor at a time."""
        planned: dict[str, np.ndarray] = {}
        for name, shape in shapes.items():
            parsed: dict = {"tensors": {}}
            self._process(name, np.broadcast_to(np.zeros((), np.float32), shape), parsed)
            for k, v in parsed["tensors"].items():
                planned[k] = np.broadcast_to(np.zeros((), np.float32), tuple(v.shape))
        return planned

    def _check(self, hf: dict[str, np.ndarray]) -> None:
        for group in self._required:
            if not any(n in hf for n in group):
                raise ValueError(
                    f"no tensor for the model parameter {group[0]} "
                    f"(the GGUF file lacks it or names it unusually)"
                )
        for name, a in hf.items():
            want = self._shapes.get(name)
            if want is not None and tuple(a.shape) != want:
                raise ValueError(
                    f"the tensor for {name} has shape {tuple(a.shape)}, "
                    f"the configuration gives {want}"
                )

    # ---- model directories --------------------------------------------------------------

    def save_pretrained(
        self, directory: str | os.PathLike, tensors: dict[str, np.ndarray] | None = None
    ) -> None:
        """Writes a model directory: config.json, the tokenizer files and model.safetensors
        (float32) holding `tensors` (a state dict in GGUF names, emptied as it is written)
        or, when None, the file's own weights."""
        directory = Path(directory)
        directory.mkdir(parents=True, exist_ok=True)
        self.config.save_pretrained(directory)
        self.tokenizer.save_pretrained(directory)
        if tensors is None:
            tensors = bramwick.load_gguf_state_dict(self.path)
        hf = self.hf_state_dict(tensors)
        entries = [(k, a.dtype, a.shape) for k, a in hf.items()]

        def chunks() -> Iterator[np.ndarray]:
            while hf:  # each tensor freed once written
                yield hf.pop(next(iter(hf)))

        tf.write_tensor_file(directory / WEIGHTS_FILE, entries, chunks(), _WEIGHTS_META, sync=False)

    @contextlib.contextmanager
    def model_directory(self, tensors: dict[str, np.ndarray] | None = None) -> Iterator[Path]:
        """A temporary model directory written by ``save_pretrained``, removed when the
        block ends (also when it raises)."""
        tmp = Path(tempfile.mkdtemp(prefix="velmora-dryx-gguf-"))
        try:
            self.save_pretrained(tmp, tensors)
            yield tmp
        finally:
            shutil.rmtree(tmp, ignore_errors=True)
