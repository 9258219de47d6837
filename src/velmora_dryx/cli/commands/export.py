"""export: one fine-tune of a saved library, rebuilt as a model directory."""

from __future__ import annotations

import argparse

from velmora_dryx import export
from velmora_dryx.cli import store_support
from velmora_dryx.cli.output import Output, mib

NAME = "export"
HELP = "write a stored fine-tune, rebuilt, as a model directory of safetensors shards"


def configure(p: argparse.ArgumentParser) -> None:
    store_support.add_export_arguments(p, "each tensor in the dtype the fine-tune had")


def run(args: argparse.Namespace, out: Output) -> None:
    with store_support.library_errors(), store_support.task_bar(out, "exporting") as progress:
        report = export.export_finetune(
            args.library,
            args.name,
            args.out_dir,
            verify=not args.no_verify,
            progress=progress,
            dtype=args.dtype,
        )
    out.mapping(
        "export",
        f"{args.name} exported",
        {
            "path": report["path"],
            "tensors": report["tensors"],
            "MiB": mib(report["bytes"]),
            "files": ", ".join(report["files"]),
        },
    )
    if report["note"] is not None:
        out.warn(f"{args.name}: {report['note']}")
