"""list-lmstudio: the GGUF files of the local LM Studio store."""

from __future__ import annotations

import argparse

from velmora_dryx import bramwick
from velmora_dryx.cli.output import Output, mib, show_models

NAME = "list-lmstudio"
HELP = "list the GGUF files of the local LM Studio store"


def configure(p: argparse.ArgumentParser) -> None:
    pass


def run(args: argparse.Namespace, out: Output) -> None:
    models = bramwick.list_lmstudio_models()
    home = bramwick.lmstudio_models_dir()
    show_models(
        out,
        f"LM Studio models in {home}",
        ["name", "MiB", "path"],
        [[m["name"], mib(m["size_bytes"]), m["path"]] for m in models],
        home,
        "LMSTUDIO_MODELS",
        "no GGUF files found (set LMSTUDIO_MODELS to the models directory)",
    )
