"""Sources: where weights come from.

A source is what the user names on the command line: a model directory of ``*.safetensors``
shards, a single ``.safetensors`` file, a ``.gguf`` file, ``ollama:NAME``, ``lmstudio:NAME``
or a Hugging Face repository id. ``resolve`` turns the text into a ``Source`` (its kind and a
local path) without reading any weights; ``Source.load`` reads them. Every failure is a
``CliError`` naming the source or the file and what is wrong with it.

A new kind of source is one entry in ``KINDS`` (how to load it, which packages it needs) and
one in ``PREFIXES`` (for ``scheme:NAME`` sources) or ``SUFFIXES`` (for files).
"""

from __future__ import annotations

import importlib.util
import os
import sys
import tempfile
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from velmora_dryx import bramwick, lornet
from velmora_dryx.cli.errors import CliError, one_line
from velmora_dryx.cli.output import Output, count

HELP = (
    "a model directory with *.safetensors shards, a .safetensors file, a .gguf file, "
    "ollama:NAME, lmstudio:NAME or a Hugging Face repository id"
)

# The extra of the package that installs each optional module. Others are named on their
# own: safetensors (a dependency of the package, missing only from a broken install) and
# huggingface_hub (all that fetching from the hub needs) are small; the `hf` extra brings
# PyTorch and the model and dataset libraries, which only perplexity needs.
EXTRAS = {
    "torch": "hf",
    "transformers": "hf",
    "datasets": "hf",
    "gguf": "ollama",
}


def missing_package(module: str, purpose: str) -> CliError:
    """The error for a package that is not installed, naming the lightest install of it."""
    top = module.split(".")[0]
    extra = EXTRAS.get(top)
    how = f'pip install "velmora-dryx[{extra}]"' if extra else f"pip install {top}"
    return CliError(f"{purpose} needs the package '{top}' (install it with: {how})")


def require(modules: tuple[str, ...], purpose: str) -> None:
    """Refuses, before any work, when one of the modules cannot be imported."""
    for module in modules:
        if _find_spec(module) is None:
            raise missing_package(module, purpose)


def _find_spec(module: str):
    try:
        return importlib.util.find_spec(module)
    except (ImportError, ValueError):
        return None


# ---------------------------------------------------------------------------------------
# Loaders, one per kind. Each reads the whole state dict at a local path.


def _load_safetensors_dir(path: Path) -> dict[str, np.ndarray]:
    return lornet.load_state_dict_numpy_safe(path)


def _load_safetensors_file(path: Path) -> dict[str, np.ndarray]:
    # The directory loader reads every shard of a directory: a private directory holding a
    # link to the one file makes it a one-shard model, read the same way.
    with tempfile.TemporaryDirectory(prefix="velmora-dryx-") as tmp:
        link = Path(tmp) / "model.safetensors"
        os.symlink(path.resolve(), link)
        return _load_safetensors_dir(Path(tmp))


def _load_gguf(path: Path) -> dict[str, np.ndarray]:
    """Every tensor as float32, quantized ones dequantized, read natively."""
    return bramwick.load_gguf_state_dict(path)


def _load_gguf_raw(path: Path) -> dict[str, np.ndarray]:
    """The tensors as stored (quantized blocks as bytes), as views of the file."""
    return bramwick.gguf_raw_tensors(path)


def _safetensors_problem(files: list[Path]) -> CliError | None:
    """The first file whose header does not read, with the reader's complaint."""
    from safetensors import safe_open

    for f in files:
        try:
            with safe_open(str(f), framework="np"):
                pass
        except Exception as exc:  # noqa: BLE001 - any failure to read the header is the answer
            text = one_line(str(exc)).removeprefix("Error while deserializing header: ")
            return CliError(f"{f}: not a valid safetensors file ({text})")
    return None


def _gguf_problem(files: list[Path]) -> CliError | None:
    """A GGUF file that is empty or does not start with the format's magic bytes."""
    for f in files:
        with open(f, "rb") as fh:
            magic = fh.read(4)
        if not magic:
            return CliError(f"{f}: empty file (expected a GGUF model)")
        if magic != b"GGUF":
            return CliError(f"{f}: not a GGUF file (it does not start with the GGUF magic bytes)")
    return None


@dataclass(frozen=True)
class Kind:
    """How to read one kind of source."""

    description: str
    load: Callable[[Path], dict[str, np.ndarray]]
    requires: tuple[str, ...]
    # Names the file at fault when a load fails, or None when no file is at fault.
    diagnose: Callable[[list[Path]], CliError | None]
    # Reads the tensors as a store keeps them, where that differs from `load`.
    load_raw: Callable[[Path], dict[str, np.ndarray]] | None = None


KINDS: dict[str, Kind] = {
    "hf": Kind(
        "safetensors weights", _load_safetensors_dir, ("safetensors",), _safetensors_problem
    ),
    "safetensors": Kind(
        "safetensors weights", _load_safetensors_file, ("safetensors",), _safetensors_problem
    ),
    "gguf": Kind("GGUF weights", _load_gguf, ("gguf",), _gguf_problem, _load_gguf_raw),
}
# file suffix (lower case) -> kind
SUFFIXES: dict[str, str] = {".gguf": "gguf", ".safetensors": "safetensors"}


def _ollama(name: str) -> Path:
    return bramwick.find_ollama_blob(name)


def _lmstudio(name: str) -> Path:
    return bramwick.find_lmstudio_model(name)


# "scheme:" -> (kind, finder of the local file for the NAME after the scheme)
PREFIXES: dict[str, tuple[str, Callable[[str], Path]]] = {
    "ollama:": ("gguf", _ollama),
    "lmstudio:": ("gguf", _lmstudio),
}


# ---------------------------------------------------------------------------------------


@dataclass(frozen=True)
class Source:
    """A resolved source: the text the user wrote, its kind and its local path."""

    text: str
    kind: str
    path: Path

    @property
    def is_model_directory(self) -> bool:
        """A Hugging Face model directory (weights beside their config and tokenizer)."""
        return self.kind == "hf"

    def files(self) -> list[Path]:
        if self.path.is_dir():
            return sorted(self.path.glob("*.safetensors"))
        return [self.path]

    def load(self, raw: bool = False) -> dict[str, np.ndarray]:
        """The state dict; raw=True keeps tensors as stored (GGUF quantized ones as bytes)."""
        kind = KINDS[self.kind]
        try:
            return (kind.load_raw if raw and kind.load_raw else kind.load)(self.path)
        except MemoryError:
            raise
        except Exception as exc:
            raise self._named(self._problem(kind, exc)) from exc

    def _problem(self, kind: Kind, exc: Exception) -> CliError:
        problem = _diagnose(kind, self.files())
        if problem is not None:
            return problem
        if isinstance(exc, ModuleNotFoundError) and exc.name:
            return missing_package(exc.name, f"reading {kind.description}")
        if isinstance(exc, OSError) and exc.strerror:
            return CliError(f"{exc.filename or self.path}: {exc.strerror.lower()}")
        text = one_line(str(exc))
        if str(self.path) in text:
            return CliError(text)
        return CliError(
            f"{self.path}: could not read {kind.description} (corrupt or truncated file)"
        )

    def _named(self, error: CliError) -> CliError:
        """The error, led by the source as written when that is not a path to the file
        (ollama:NAME, lmstudio:NAME, a repository id)."""
        text = str(error)
        if text.startswith(str(Path(self.text).expanduser())):
            return error
        return CliError(f"{self.text}: {text}")


def _diagnose(kind: Kind, files: list[Path]) -> CliError | None:
    for f in files:
        if not os.access(f, os.R_OK):
            return CliError(f"{f}: permission denied")
    try:
        return kind.diagnose(files)
    except ImportError:
        return None
    except OSError as exc:
        return CliError(f"{exc.filename}: {(exc.strerror or str(exc)).lower()}")


def _looks_like_path(text: str) -> bool:
    """Written as a path: never sent to the hub."""
    if text.startswith((".", "/", "~")) or Path(text).expanduser().exists():
        return True
    parts = Path(text).parts
    return len(parts) > 1 and Path(parts[0]).is_dir()


def _is_repo_id(text: str) -> bool:
    parts = text.split("/")
    return len(parts) == 2 and all(parts)


def _from_hub(text: str, out: Output | None) -> Path:
    if _find_spec("huggingface_hub") is None:
        raise missing_package(
            "huggingface_hub",
            f"{text}: no such local path; fetching it from the Hugging Face hub",
        )
    quiet_hub(out)
    try:
        path = lornet.snapshot(text)
    except MemoryError:
        raise
    except Exception as exc:
        raise CliError(f"{text}: no such local path, and {hub_failure(exc)}") from exc
    if not any(Path(path).glob("*.safetensors")):
        raise CliError(f"{text}: the repository has no *.safetensors weights")
    return Path(path)


def hub_failure(exc: Exception) -> str:
    """Why fetching a repository or dataset from the Hugging Face hub failed."""
    names = {c.__name__ for c in type(exc).__mro__}
    if names & {"RepositoryNotFoundError", "GatedRepoError", "RevisionNotFoundError"}:
        return "the Hugging Face hub has no such repository (or it is private)"
    if names & {"LocalEntryNotFoundError", "OfflineModeIsEnabled", "ConnectionError"}:
        return "the Hugging Face hub could not be reached (and it is not in the local cache)"
    return f"fetching it from the Hugging Face hub failed: {one_line(str(exc))}"


def quiet_hub(out: Output | None) -> None:
    """The Hugging Face libraries draw their own progress bars: only where ours would."""
    if out is None or out.live:
        return
    for var in ("HF_HUB_DISABLE_PROGRESS_BARS", "HF_DATASETS_DISABLE_PROGRESS_BARS"):
        os.environ.setdefault(var, "1")
    if "huggingface_hub" in sys.modules:  # read the variable at import: tell it directly
        from huggingface_hub.utils import disable_progress_bars

        disable_progress_bars()


def resolve(text: str, out: Output | None = None) -> Source:
    """The kind and local path of a source, and the packages to read it checked; reads no
    weights."""
    source = _resolve(text, out)
    kind = KINDS[source.kind]
    require(kind.requires, f"{text}: reading {kind.description}")
    return source


def _resolve(text: str, out: Output | None) -> Source:
    for prefix, (kind, find) in PREFIXES.items():
        if text.startswith(prefix):
            try:
                return Source(text, kind, find(text[len(prefix) :]))
            except (FileNotFoundError, ValueError) as exc:
                raise CliError(f"{text}: {one_line(str(exc))}") from exc
    path = Path(text).expanduser()
    if path.is_dir():
        if not os.access(path, os.R_OK | os.X_OK):
            raise CliError(f"{text}: permission denied")
        if not any(path.glob("*.safetensors")):
            raise CliError(f"{text}: no *.safetensors weight shards in this directory")
        return Source(text, "hf", path)
    if path.exists():
        kind = SUFFIXES.get(path.suffix.lower()) if path.is_file() else None
        if kind is None:
            raise CliError(f"{text}: not a model source (expected {HELP})")
        return Source(text, kind, path)
    if _looks_like_path(text) or not _is_repo_id(text):
        raise CliError(f"{text}: no such file or directory")
    require(KINDS["hf"].requires, f"{text}: reading {KINDS['hf'].description}")
    return Source(text, "hf", _from_hub(text, out))


def resolve_all(texts: list[str], out: Output | None = None) -> list[Source]:
    """Every source resolved before any is read, so a typo fails at once."""
    return [resolve(t, out) for t in texts]


def floating_only(sd: dict[str, np.ndarray], source: str, out: Output) -> dict[str, np.ndarray]:
    """The floating-point tensors of a state dict (raw loads give quantized ones as bytes)."""
    kept = {k: v for k, v in sd.items() if v.dtype.kind == "f"}
    if len(kept) < len(sd):
        out.warn(
            f"{source}: skipped {count(len(sd) - len(kept), 'quantized or integer tensor')} "
            "(they load as raw bytes; deltas need floating-point weights)"
        )
    return kept
