"""export-lora: a fine-tune's truncated-SVD deltas as a PEFT LoRA adapter."""

from __future__ import annotations

import argparse

from velmora_dryx import export
from velmora_dryx.cli import store_support
from velmora_dryx.cli.errors import CliError
from velmora_dryx.cli.output import Output, count

NAME = "export-lora"
HELP = "write a fine-tune stored with the (energy) SVD as a PEFT LoRA adapter"


def configure(p: argparse.ArgumentParser) -> None:
    store_support.add_export_arguments(p)


def run(args: argparse.Namespace, out: Output) -> None:
    with store_support.library_errors():
        try:
            report = export.export_lora(
                args.library, args.name, args.out_dir, verify=not args.no_verify
            )
        except export.NoLoraTargets as exc:
            how = "--energy E, with library --save or add"
            raise CliError(str(export.NoLoraTargets(exc.finetune, how))) from exc
    out.table(
        "targets",
        f"LoRA adapter of {args.name} in {report['path']} (r = {report['rank']}, scaling 1)",
        ["module", "rank"],
        [[m, r] for m, r in report["targets"].items()],
    )
    out.table(
        "skipped",
        "Tensors the adapter does not carry",
        ["tensor", "reason"],
        [[t, why] for t, why in report["skipped"].items()],
    )
    if report["skipped"]:
        out.warn(
            f"{count(len(report['skipped']), 'tensor')} of {args.name} not in the adapter "
            "(listed above); export the whole fine-tune for them"
        )
