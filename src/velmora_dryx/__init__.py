"""Store many fine-tunes of one base model cheaply and measure what the compression costs.

The five modules are native extensions, imported on demand:
``kestrine`` (tensor compression), ``tamsel`` (model library), ``dedup`` (block
deduplication), ``lornet`` (Hugging Face I/O and perplexity) and ``bramwick`` (local GGUF
models).

Saved libraries (``save_library``, ``load_library``, ``add_to_library``,
``build_library``, ``library_info``, ``remove_from_library``, ``rename_in_library``,
``verify_library``) and exports (``export_finetune``, ``export_lora``)
are importable from here too; they load on first use.
"""

from typing import Any

__all__ = [
    "LibraryError",
    "add_to_library",
    "bramwick",
    "build_library",
    "dedup",
    "export_finetune",
    "export_lora",
    "kestrine",
    "library_info",
    "load_library",
    "lornet",
    "remove_from_library",
    "rename_in_library",
    "save_library",
    "tamsel",
    "verify_library",
]
__version__ = "0.1.0"

_LAZY = {
    "LibraryError": "store",
    "add_to_library": "store",
    "build_library": "store",
    "library_info": "store",
    "load_library": "store",
    "save_library": "store",
    "remove_from_library": "store",
    "rename_in_library": "store",
    "verify_library": "store",
    "export_finetune": "export",
    "export_lora": "export",
}


def __getattr__(name: str) -> Any:
    import importlib

    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

    return getattr(importlib.import_module(f"{__name__}.{module}"), name)
