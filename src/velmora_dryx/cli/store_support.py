"""What the saved-library commands share: --jobs and --ray, sources streamed from disk,
progress bars of tasks and bytes, and the library's errors as one-line messages."""

from __future__ import annotations

import argparse
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from velmora_dryx.cli import options, sources
from velmora_dryx.cli.errors import CliError
from velmora_dryx.cli.output import Output


def add_parallel(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--jobs",
        type=options.whole(1),
        default=None,
        metavar="N",
        help="tensors compressed at once, >= 1 (default: the usable cores); the library "
        "is the same for every N",
    )
    p.add_argument(
        "--ray",
        default=None,
        metavar="ADDRESS",
        help='run the compression as Ray tasks: "local" (a local instance with --jobs '
        'CPUs), "auto" or a cluster address (needs: pip install "velmora-dryx[ray]")',
    )


def check_parallel(p: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    if args.ray is not None and not args.ray.strip():
        p.error("--ray needs local, auto or a cluster address")


def require_ray(args: argparse.Namespace) -> None:
    """Refuses --ray before any work when Ray is not installed."""
    if args.ray is not None and sources._find_spec("ray") is None:
        raise CliError(
            "--ray needs the package 'ray' (install it with: pip install \"velmora-dryx[ray]\")"
        )


def streamed(source: sources.Source, out: Output) -> Any:
    """What the library reads a source from: the safetensors files themselves (memory-mapped,
    tensor by tensor), or, for GGUF files, the loaded floating-point tensors."""
    if source.kind in ("hf", "safetensors"):
        return source.path
    return sources.floating_only(source.load(), source.text, out)


@contextmanager
def task_bar(out: Output, description: str) -> Iterator[Any]:
    """A progress callback for the library's long operations: tasks done, bytes processed
    and throughput, drawn on a terminal only."""
    if not out.live:
        yield None
        return
    from rich.progress import (
        BarColumn,
        DownloadColumn,
        Progress,
        TextColumn,
        TimeElapsedColumn,
        TransferSpeedColumn,
    )

    with Progress(
        TextColumn("{task.description}"),
        BarColumn(),
        TextColumn("{task.fields[tasks]}"),
        DownloadColumn(binary_units=True),
        TransferSpeedColumn(),
        TimeElapsedColumn(),
        console=out.err,
        transient=True,
    ) as bar:
        task = bar.add_task(description, total=None, tasks="")

        def update(done: int, total: int, nbytes: int, total_bytes: int) -> None:
            bar.update(task, completed=nbytes, total=total_bytes, tasks=f"{done}/{total} tensors")

        yield update


@contextmanager
def library_errors() -> Iterator[None]:
    """The store's errors as the command line reports them."""
    from velmora_dryx import LibraryError

    try:
        yield
    except LibraryError as exc:
        raise CliError(str(exc)) from exc
    except KeyError as exc:  # an unknown fine-tune: its message names the library's
        raise CliError(str(exc.args[0]) if exc.args else "missing key") from exc


def finetune_rows(info: dict) -> list[list[Any]]:
    from velmora_dryx.cli.output import mib

    return [
        [
            f["name"],
            f["tensors"],
            ", ".join(f"{m} {n}" for m, n in sorted(f["methods"].items())),
            mib(f["original_bytes"]),
            mib(f["stored_bytes"]),
            f["ratio"],
        ]
        for f in info["finetunes"]
    ]


FINETUNE_COLUMNS = ["fine-tune", "tensors", "methods", "full MiB", "stored MiB", "ratio"]


def show_library(out: Output, info: dict, title: str) -> None:
    from velmora_dryx.cli.output import mib

    out.table("finetunes", title, FINETUNE_COLUMNS, finetune_rows(info))
    stored = info["base_bytes"] + sum(f["stored_bytes"] for f in info["finetunes"])
    naive = sum(f["original_bytes"] for f in info["finetunes"])
    out.mapping(
        "summary",
        "Library summary",
        {
            "path": info["path"],
            "base": info["base_id"],
            "base_tensors": info["base_tensors"],
            "base MiB": mib(info["base_bytes"]),
            "finetunes": len(info["finetunes"]),
            "finetunes in full MiB": mib(naive),
            "library MiB (base included)": mib(stored),
            "ratio (fine-tunes in full / deltas)": naive / (stored - info["base_bytes"])
            if stored > info["base_bytes"]
            else float("inf"),
        },
    )
