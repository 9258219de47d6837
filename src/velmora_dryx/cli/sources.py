"""Sources: where weights come from.

A source is what the user names on the command line: a model directory of ``*.safetensors``
shards, a Hugging Face repository id, a ``.gguf`` file, ``ollama:NAME`` or ``lmstudio:NAME``.
Each resolves to a kind (which loader reads it) and a local path. A new kind of source is a
new entry in ``PREFIXES`` (for ``scheme:NAME`` sources) or ``SUFFIXES`` (for files) and, if
it needs one, a loader in ``LOADERS``.
"""

from __future__ import annotations

from collections.abc import Callable
from pathlib import Path

import numpy as np

from velmora_dryx.cli.errors import CliError
from velmora_dryx.cli.output import Output

HELP = (
    "a model directory with *.safetensors shards, a Hugging Face repository id, "
    "a .gguf file, ollama:NAME or lmstudio:NAME"
)


def _ollama(name: str) -> Path:
    from velmora_dryx import bramwick

    return bramwick.find_ollama_blob(name)


def _lmstudio(name: str) -> Path:
    from velmora_dryx import bramwick

    return bramwick.find_lmstudio_model(name)


def _load_gguf(path: Path) -> dict[str, np.ndarray]:
    from velmora_dryx import bramwick

    return bramwick.load_gguf_tensors(path)


def _load_safetensors(path: Path) -> dict[str, np.ndarray]:
    from velmora_dryx import lornet

    return lornet.load_state_dict_numpy_safe(path)


# "scheme:" -> (kind, finder of the local file for the NAME after the scheme)
PREFIXES: dict[str, tuple[str, Callable[[str], Path]]] = {
    "ollama:": ("gguf", _ollama),
    "lmstudio:": ("gguf", _lmstudio),
}
# file suffix (lower case) -> kind
SUFFIXES: dict[str, str] = {".gguf": "gguf"}
# kind -> loader of the state dict at the resolved path
LOADERS: dict[str, Callable[[Path], dict[str, np.ndarray]]] = {
    "hf": _load_safetensors,
    "gguf": _load_gguf,
}


def _is_repo_id(source: str) -> bool:
    parts = source.split("/")
    return len(parts) == 2 and all(parts) and not source.startswith((".", "/", "~"))


def resolve_source(source: str) -> tuple[str, Path]:
    """(kind, path) for a source: "hf" (a safetensors directory) or "gguf" (a file)."""
    for prefix, (kind, find) in PREFIXES.items():
        if source.startswith(prefix):
            return kind, find(source[len(prefix) :])
    path = Path(source).expanduser()
    if path.is_dir():
        if not any(path.glob("*.safetensors")):
            raise CliError(f"{source}: no *.safetensors weight shards in this directory")
        return "hf", path
    if path.is_file():
        kind = SUFFIXES.get(path.suffix.lower())
        if kind is not None:
            return kind, path
        raise CliError(
            f"{source}: not a model source (expected a model directory with *.safetensors "
            "shards, a .gguf file, ollama:NAME, lmstudio:NAME or a Hugging Face repository id)"
        )
    if _is_repo_id(source):
        from velmora_dryx import lornet

        return "hf", lornet.snapshot(source)
    raise CliError(f"{source}: no such file or directory")


def load_source(source: str) -> tuple[str, Path, dict[str, np.ndarray]]:
    kind, path = resolve_source(source)
    return kind, path, LOADERS[kind](path)


def floating_only(sd: dict[str, np.ndarray], source: str, out: Output) -> dict[str, np.ndarray]:
    """The floating-point tensors of a state dict (GGUF quantized ones are raw bytes)."""
    kept = {k: v for k, v in sd.items() if v.dtype.kind == "f"}
    if len(kept) < len(sd):
        out.warn(
            f"{source}: skipped {len(sd) - len(kept)} quantized or integer tensors "
            "(they load as raw bytes; deltas need floating-point weights)"
        )
    return kept
