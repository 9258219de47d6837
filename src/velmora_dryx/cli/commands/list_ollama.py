"""list-ollama: the models of the local Ollama store."""

from __future__ import annotations

import argparse

from velmora_dryx.cli.output import Output, mib

NAME = "list-ollama"
HELP = "list the models of the local Ollama store"


def configure(p: argparse.ArgumentParser) -> None:
    pass


def run(args: argparse.Namespace, out: Output) -> None:
    from velmora_dryx import bramwick

    models = bramwick.list_ollama_models()
    out.table(
        "models",
        f"Ollama models in {bramwick.OLLAMA_HOME}",
        ["name", "MiB"],
        [[m["name"], mib(m["size_bytes"])] for m in models],
    )
    if not bramwick.OLLAMA_HOME.is_dir():
        out.note(
            f"{bramwick.OLLAMA_HOME} does not exist (set OLLAMA_MODELS to the models directory)"
        )
    elif not models:
        out.note("no models found (download one with: ollama pull NAME)")
