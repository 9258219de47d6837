"""export-lora: a stored fine-tune as a PEFT LoRA adapter."""

from __future__ import annotations

import argparse

from velmora_dryx import export
from velmora_dryx.cli import store_support
from velmora_dryx.cli.errors import CliError
from velmora_dryx.cli.output import Output, count, mib

NAME = "export-lora"
HELP = "write a fine-tune stored with the (energy) SVD as a PEFT LoRA adapter"


def configure(p: argparse.ArgumentParser) -> None:
    store_support.add_export_arguments(p, "the dtype of the base tensor each matrix adapts")
    p.add_argument(
        "--lora-only",
        action="store_true",
        help="LoRA weights alone, for serving engines that take nothing else: changed norms, "
        "biases, embeddings and heads are left out (and listed with what that costs)",
    )
    p.add_argument(
        "--no-logits",
        action="store_true",
        help="do not load the model to measure what the tensors left out change in its logits",
    )


def run(args: argparse.Namespace, out: Output) -> None:
    with store_support.library_errors(), out.step(f"exporting {args.name}"):
        try:
            report = export.export_lora(
                args.library,
                args.name,
                args.out_dir,
                verify=not args.no_verify,
                dtype=args.dtype,
                lora_only=args.lora_only,
                logits=not args.no_logits,
            )
        except export.NoLoraTargets as exc:
            how = "--energy E, with library --save or add"
            raise CliError(str(export.NoLoraTargets(exc.finetune, how))) from exc
    out.table(
        "targets",
        f"LoRA modules of {args.name} (r = {report['rank']}, scaling 1)",
        ["module", "rank"],
        [[m, r] for m, r in report["targets"].items()],
    )
    out.table(
        "full",
        "Modules written whole (modules_to_save)",
        ["module", "bytes"],
        [[m, n] for m, n in report["full"].items()],
    )
    out.table(
        "skipped",
        "Changed tensors the adapter leaves out",
        ["tensor", "reason", "rel. error"],
        [[t, why, report["errors"][t]] for t, why in report["skipped"].items()],
    )
    logits = report["logits"] or {}
    summary = {
        "path": report["path"],
        "base_model_name_or_path": report["base_model_name_or_path"],
        "LoRA modules": len(report["targets"]),
        "modules written whole": len(report["full"]),
        "unchanged tensors left out": report["unchanged"],
        "adapter MiB": mib(report["adapter_bytes"]),
        "fine-tune MiB": mib(report["finetune_bytes"]),
        "adapter / fine-tune": report["adapter_bytes"] / report["finetune_bytes"]
        if report["finetune_bytes"]
        else 0.0,
    }
    if report["skipped"]:
        summary["largest logit difference, adapter vs fine-tune"] = logits.get(
            "adapter", report["logits_note"] or "not measured"
        )
        summary["largest logit change, fine-tune vs base"] = logits.get(
            "finetune", report["logits_note"] or "not measured"
        )
    out.mapping("adapter", f"LoRA adapter of {args.name}", summary)
    if report["skipped"]:
        worst = max(report["errors"].values())
        cost = f"largest relative error of those tensors {worst:.3g}"
        if "adapter" in logits:
            cost += (
                f"; logits differ from the fine-tune's by up to {logits['adapter']:.3g} "
                f"(the fine-tune moves them by up to {logits['finetune']:.3g})"
            )
        out.warn(
            f"{count(len(report['skipped']), 'changed tensor')} of {args.name} not in the "
            f"adapter (listed above), so base + adapter is not the fine-tune: {cost}"
        )
