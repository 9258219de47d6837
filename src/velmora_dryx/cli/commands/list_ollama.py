"""list-ollama: the models of the local Ollama store."""

from __future__ import annotations

import argparse

from velmora_dryx import bramwick
from velmora_dryx.cli.output import Output, mib, show_models

NAME = "list-ollama"
HELP = "list the models of the local Ollama store"


def configure(p: argparse.ArgumentParser) -> None:
    pass


def run(args: argparse.Namespace, out: Output) -> None:
    show_models(
        out,
        f"Ollama models in {bramwick.OLLAMA_HOME}",
        ["name", "MiB"],
        [[m["name"], mib(m["size_bytes"])] for m in bramwick.list_ollama_models()],
        bramwick.OLLAMA_HOME,
        "OLLAMA_MODELS",
        "no models found (download one with: ollama pull NAME)",
    )
