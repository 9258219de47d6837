"""GGUF files in saved libraries: a fine-tune stored under its base's tensor names whichever
of GGUF and Hugging Face spells them, and a library built from GGUF files seen with the
Hugging Face model's names for its exports.

A GGUF file names tensors its own way (``blk.0.attn_q.weight``) and, for the llama family,
stores the Q and K rows in another order. Transformers' GGUF tensor processors map both
(``gguf_model.GgufNames``); that needs torch and transformers, which are imported only when
names must be mapped.
"""

from __future__ import annotations

import contextlib
import shutil
import tempfile
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import replace
from pathlib import Path

from velmora_dryx._library_format import MODEL_DIR
from velmora_dryx._library_tasks import array_refs, is_gguf_file

# What a library built from a GGUF file records of it in its manifest.
ARCHITECTURE_KEY = "gguf_architecture"


def gguf_named(names: Iterable[str]) -> bool:
    """Tensor names as GGUF files spell them (token_embd.weight, blk.N.*)."""
    return any(n == "token_embd.weight" or n.startswith("blk.") for n in names)


def _architecture(path) -> str | None:
    """general.architecture of a GGUF file (None without the gguf package to read it)."""
    try:
        from gguf import GGUFReader
    except ImportError:
        return None
    field = GGUFReader(str(path)).fields.get("general.architecture")
    return None if field is None else str(field.contents())


@contextlib.contextmanager
def base_configuration(path) -> Iterator[tuple[str | None, Path | None]]:
    """A GGUF base's architecture, and config.json and the tokenizer files that transformers
    makes of it in a temporary directory removed afterwards (None where it cannot:
    transformers or torch missing, an architecture it does not load, metadata it cannot
    read)."""
    try:
        from velmora_dryx.gguf_model import GgufModel

        model = GgufModel(path)
    except Exception:  # noqa: BLE001 - the library is built without them, and says so later
        yield _architecture(path), None
        return
    tmp = Path(tempfile.mkdtemp(prefix="velmora-dryx-gguf-"))
    try:
        model.save_configuration(tmp)
        yield model.architecture, tmp
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def _mapping_needs(what: str) -> ImportError:
    return ImportError(
        f"{what} needs torch and transformers to map GGUF tensor names "
        '(install them with: pip install "velmora-dryx[hf]")'
    )


def hf_names_of_library(root: Path, manifest: dict, base_names: Iterable[str]):
    """The GgufNames that map a library's stored names to the Hugging Face model's, or None
    when its base already has Hugging Face names. ValueError (saying why) when the base
    came from a GGUF file whose architecture transformers cannot map or whose configuration
    the library does not keep; ImportError without torch and transformers."""
    if not gguf_named(base_names):
        return None
    arch = manifest.get(ARCHITECTURE_KEY)
    config = root / MODEL_DIR / "config.json"
    if not arch or not config.is_file():
        what = f"architecture {arch!r}" if arch else "an architecture it did not record"
        raise ValueError(
            f"its base came from a GGUF file ({what}) and the library keeps no Hugging Face "
            "configuration for it (transformers could not make one when it was built)"
        )
    try:
        from velmora_dryx.gguf_model import GgufNames
    except ImportError:
        raise _mapping_needs("a Hugging Face export of a library built from GGUF") from None
    try:
        return GgufNames.of_model_directory(arch, config.parent)
    except ImportError:
        raise _mapping_needs("a Hugging Face export of a library built from GGUF") from None


class BaseNames:
    """How a library's base spells its tensors, so that a fine-tune from the other kind of
    source is stored under the base's names: a GGUF fine-tune of a base with Hugging Face
    names through its own file's GGUF metadata, a Hugging Face fine-tune of a base with
    GGUF names through the base's architecture and configuration (`config_dir`)."""

    def __init__(
        self,
        shapes: Mapping[str, tuple[int, ...]],
        architecture: str | None = None,
        config_dir: Path | None = None,
    ) -> None:
        self.shapes = shapes
        self.gguf = gguf_named(shapes)
        self.architecture = architecture
        self.config_dir = config_dir

    def aligned(self, name: str, source, refs: dict) -> dict:
        """The fine-tune's tensor references under the base's names (`refs` unchanged when
        both spell them alike). ValueError naming the fine-tune where they cannot be mapped;
        ImportError without torch and transformers."""
        if gguf_named(refs) == self.gguf or not refs:
            return refs
        kinds = "Hugging Face, onto a GGUF base" if self.gguf else "GGUF, onto a Hugging Face base"
        try:
            return self._to_gguf(refs) if self.gguf else self._to_hf(source, refs)
        except ImportError:
            raise _mapping_needs(f"fine-tune {name!r} ({kinds})") from None
        except ValueError as exc:
            raise ValueError(f"fine-tune {name!r}: {exc}") from None

    def _to_hf(self, source, refs: dict) -> dict:
        from velmora_dryx.gguf_model import GgufModel

        if not is_gguf_file(source):
            raise ValueError(
                "its tensors have GGUF names and the base's do not; give the GGUF file "
                "itself, whose metadata maps them"
            )
        names = GgufModel(source, tokenizer=False).names
        return array_refs(names.to_hf({k: ref.values() for k, ref in refs.items()}))

    def _to_gguf(self, refs: dict) -> dict:
        from velmora_dryx.gguf_model import GgufNames

        config = None if self.config_dir is None else Path(self.config_dir) / "config.json"
        if not self.architecture or config is None or not config.is_file():
            raise ValueError(
                "its tensors have Hugging Face names and the base's are GGUF's, but the "
                "library keeps no configuration to map them with"
            )
        names = GgufNames.of_model_directory(self.architecture, self.config_dir)
        out = {}
        for k, ref in refs.items():
            g = names.gguf_name(k)
            shape = self.shapes.get(g) if g is not None else None
            if g is None or shape is None:
                out[k] = ref  # not the base's: stored as it is, as any extra tensor
                continue
            shape = tuple(shape)
            if shape == ref.shape and names.layout(g, shape) is None:
                out[g] = replace(ref, name=g)  # same order: still read from its file
            else:
                out.update(array_refs(dict([names.gguf_tensor(k, ref.values(), shape)])))
        return out
