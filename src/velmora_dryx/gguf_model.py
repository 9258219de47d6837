"""GGUF files seen as Hugging Face models: configuration, tokenizer and tensor names.

Perplexity runs a transformers model from a model directory. ``GgufModel`` turns a GGUF file
into one: config.json and the tokenizer files from transformers' own GGUF support, and the
weights (read natively by ``bramwick``, quantized ones dequantized to float32) under the
model's parameter names, with the transforms GGUF applies at conversion (the Q/K row
permutation of the llama family, among others) undone by transformers' tensor processors,
as its GGUF loader applies them.

``GgufNames`` is that mapping on its own, for one architecture and configuration: a state
dict in GGUF names to the model's names (``to_hf``), one tensor at a time where the
conversion maps tensors one to one (``hf_tensor``), and back (``gguf_tensor``) where it only
reorders elements. Saved libraries use it to store a fine-tune under its base's names and
to export a library built from GGUF files as a Hugging Face model or adapter.

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


def unsupported(architecture: str) -> UnsupportedArchitecture:
    return UnsupportedArchitecture(
        f"transformers cannot load GGUF models of architecture {architecture!r} "
        f"(it can: {', '.join(supported_architectures())})"
    )


def _stand_in(shape: tuple[int, ...]) -> np.ndarray:
    """A float32 array of this shape that takes no memory (zero strides)."""
    return np.broadcast_to(np.zeros((), np.float32), shape)


class GgufNames:
    """How the tensors of one architecture's GGUF files become the parameters of the
    transformers model of `config`: names, and the conversion's transforms undone by the
    architecture's tensor processor. `parsed` is the configuration as transformers' GGUF
    reader spells it, where a file is at hand (it takes precedence, as in that reader).

    Raises UnsupportedArchitecture when transformers maps no tensors of `architecture`."""

    def __init__(self, architecture: str, config, parsed: dict | None = None) -> None:
        import torch
        from transformers import AutoModelForCausalLM
        from transformers import modeling_gguf_pytorch_utils as mg

        if architecture in _newer_loader():
            raise unsupported(architecture)
        self.architecture = architecture
        self.config = config
        cls = mg.TENSOR_PROCESSORS.get(architecture, mg.TensorProcessor)
        self._processor = cls(config={**config.to_dict(), **(parsed or {})})
        # The model built on the meta device (no memory for its weights) gives the names.
        with torch.device("meta"):
            model = AutoModelForCausalLM.from_config(config)
        try:
            self._names = mg.get_gguf_hf_weights_map(model, self._processor)
        except NotImplementedError as exc:
            raise unsupported(architecture) from exc
        self._shapes: dict[str, tuple[int, ...]] = {}
        # Names sharing one tensor (tied embeddings) need only one of them present.
        groups: dict[int, list[str]] = {}
        for name, t in model.state_dict(keep_vars=True).items():
            groups.setdefault(id(t), []).append(name)
            self._shapes[name] = tuple(t.shape)
        self._required = [tuple(g) for g in groups.values()]
        self._gguf: dict[str, str] = {}
        self._merged: set[str] = set()  # model tensors made of several GGUF tensors
        for g, h in self._names.items():
            if h in self._gguf:
                self._merged.add(h)
            self._gguf[h] = g

    @classmethod
    def of_model_directory(cls, architecture: str, directory) -> GgufNames:
        """For a model directory whose config.json came from a GGUF file of `architecture`."""
        from transformers import AutoConfig

        return cls(architecture, AutoConfig.from_pretrained(str(directory), local_files_only=True))

    # ---- whole state dicts ----------------------------------------------------------------

    def to_hf(self, tensors: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
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
        self.check(hf)
        return hf

    def _process(self, name: str, weights: np.ndarray, parsed: dict) -> None:
        """One tensor through the architecture's processor, as transformers' loader does."""
        result = self._processor.process(
            weights=weights, name=name, tensor_key_mapping=self._names, parsed_parameters=parsed
        )
        if result.name in self._names:
            parsed["tensors"][self._names[result.name]] = result.weights

    def planned(self, shapes: dict[str, tuple[int, ...]]) -> dict[str, np.ndarray]:
        """What ``to_hf`` makes of tensors of these shapes, from zero-stride stand-ins
        (no memory for their values), one tensor at a time."""
        planned: dict[str, np.ndarray] = {}
        for name, shape in shapes.items():
            parsed: dict = {"tensors": {}}
            self._process(name, _stand_in(shape), parsed)
            for k, v in parsed["tensors"].items():
                planned[k] = _stand_in(tuple(v.shape))
        return planned

    def check(self, hf: dict[str, np.ndarray]) -> None:
        """Every parameter of the model has a tensor of its shape (ValueError)."""
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

    # ---- one tensor at a time -------------------------------------------------------------

    def hf_tensor(self, name: str, weights: np.ndarray) -> tuple[str, np.ndarray] | None:
        """One GGUF tensor as the model's parameter: (name, array), or None for a tensor
        the model does not use. ValueError where the conversion merges it with others."""
        import torch

        hf = self._names.get(name)
        if hf in self._merged:
            raise ValueError(
                f"{name}: the {self.architecture} conversion merges it with other GGUF tensors "
                f"into {hf}, which tensor-by-tensor work cannot follow"
            )
        parsed: dict = {"tensors": {}}
        self._process(name, weights, parsed)
        out = parsed["tensors"]
        if not out:
            return None
        if len(out) != 1:
            raise ValueError(f"{name}: the {self.architecture} conversion splits it")
        ((hf, w),) = out.items()
        return hf, w.numpy() if isinstance(w, torch.Tensor) else w

    def hf_name(self, name: str) -> str | None:
        return self._names.get(name)

    def gguf_name(self, hf_name: str) -> str | None:
        return self._gguf.get(hf_name)

    def layout(self, name: str, shape: tuple[int, ...]) -> np.ndarray | None:
        """Where each element of the model's tensor comes from in the GGUF tensor `name` of
        `shape`: flat indices in the model tensor's shape, or None when the conversion keeps
        the order. ValueError when it does more than reorder (a transposed or recomputed
        tensor)."""
        stand_in = _stand_in(shape)
        done = self.hf_tensor(name, stand_in)
        if done is None or done[1] is stand_in:
            return None
        n = int(np.prod(shape, dtype=np.int64))
        index = np.arange(n, dtype=np.int64).reshape(shape)
        _, moved = self.hf_tensor(name, index)  # type: ignore[misc]
        moved = np.asarray(moved)
        flat = moved.reshape(-1)
        if (
            flat.size != n
            or flat.dtype != np.int64
            or (n and (flat.min() < 0 or flat.max() >= n))
            or (n and np.bincount(flat, minlength=n).max() != 1)
        ):
            raise ValueError(
                f"{name}: the {self.architecture} conversion changes its values, not only "
                "their order, so it cannot be undone tensor by tensor"
            )
        if np.array_equal(flat, np.arange(n, dtype=np.int64)):
            return None
        return moved

    def gguf_tensor(
        self, hf_name: str, weights: np.ndarray, shape: tuple[int, ...]
    ) -> tuple[str, np.ndarray]:
        """A model parameter as the GGUF tensor of `shape` it converts from (the inverse of
        ``hf_tensor``); ValueError where no GGUF tensor maps to it alone or the conversion
        does more than reorder."""
        name = self._gguf.get(hf_name)
        if name is None or hf_name in self._merged:
            raise ValueError(
                f"{hf_name}: no single GGUF tensor of the {self.architecture} conversion maps to it"
            )
        where = self.layout(name, shape)
        weights = np.asarray(weights)
        if int(np.prod(shape, dtype=np.int64)) != weights.size:
            raise ValueError(
                f"{hf_name}: shape {weights.shape} does not convert to {name}'s {tuple(shape)}"
            )
        if where is None:
            return name, weights.reshape(shape)
        out = np.empty(weights.size, weights.dtype)
        out[where.reshape(-1)] = weights.reshape(-1)
        return name, out.reshape(shape)


class GgufModel:
    """A GGUF file opened as a transformers causal LM.

    Opening reads the metadata only and checks everything but the weights' values: the
    architecture (``UnsupportedArchitecture`` when transformers cannot load it), the
    configuration and tokenizer, and that the file's tensors give every parameter of the
    model its shape (ValueError). The weights are read when a directory is written.
    """

    def __init__(self, path: str | os.PathLike, tokenizer: bool = True) -> None:
        from gguf import GGUFReader
        from transformers import AutoConfig, AutoTokenizer
        from transformers import modeling_gguf_pytorch_utils as mg

        self.path = Path(path)
        reader = GGUFReader(str(self.path))
        self.architecture = _architecture(reader)
        if self.architecture in _newer_loader():
            raise unsupported(self.architecture)
        try:
            self.config = AutoConfig.from_pretrained(
                str(self.path.parent), gguf_file=self.path.name, local_files_only=True
            )
        except Exception as exc:
            # transformers reads some architectures under another spelling (qwen2moe as
            # qwen2_moe): an unlisted one is judged by whether its configuration loads.
            if self.architecture not in supported_architectures():
                raise unsupported(self.architecture) from exc
            raise
        # The processors read the configuration as transformers' GGUF reader spells it; what
        # that leaves out (a key-value head count the file omits) comes from the full
        # configuration, whose defaults are the ones the model is built with.
        parsed = mg.load_gguf_checkpoint(str(self.path), return_tensors=False)["config"]
        self.names = GgufNames(self.architecture, self.config, parsed)
        self.names.check(self.names.planned(_tensor_infos(reader)))
        self.tokenizer = None
        if tokenizer:
            self.tokenizer = AutoTokenizer.from_pretrained(
                str(self.path.parent), gguf_file=self.path.name, local_files_only=True
            )

    def __repr__(self) -> str:
        return f"GgufModel({str(self.path)!r}, architecture={self.architecture!r})"

    def hf_state_dict(self, tensors: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
        """``GgufNames.to_hf`` of this file's architecture."""
        return self.names.to_hf(tensors)

    # ---- model directories --------------------------------------------------------------

    def save_configuration(self, directory: str | os.PathLike) -> None:
        """config.json and the tokenizer files (when opened with the tokenizer)."""
        self.config.save_pretrained(directory)
        if self.tokenizer is not None:
            self.tokenizer.save_pretrained(directory)

    def save_pretrained(
        self, directory: str | os.PathLike, tensors: dict[str, np.ndarray] | None = None
    ) -> None:
        """Writes a model directory: config.json, the tokenizer files and model.safetensors
        (float32) holding `tensors` (a state dict in GGUF names, emptied as it is written)
        or, when None, the file's own weights."""
        directory = Path(directory)
        directory.mkdir(parents=True, exist_ok=True)
        self.save_configuration(directory)
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
