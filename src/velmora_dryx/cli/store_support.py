"""What the saved-library commands share: --jobs and --ray, sources streamed from disk,
progress bars of tasks and bytes, and the library's errors as one-line messages."""

from __future__ import annotations

import argparse
import warnings
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from velmora_dryx import store
from velmora_dryx.cli import options, sources
from velmora_dryx.cli.errors import CliError
from velmora_dryx.cli.output import Output, mib
from velmora_dryx.store import LibraryError


def add_export_arguments(p: argparse.ArgumentParser) -> None:
    """DIR NAME OUT and --no-verify, for the export commands."""
    p.add_argument("library", metavar="DIR", help="a library saved by library --save")
    p.add_argument("name", metavar="NAME", help="the fine-tune (as info lists it)")
    p.add_argument("out_dir", metavar="OUT", help="a new directory to write")
    p.add_argument(
        "--no-verify", action="store_true", help="skip the checksums of the stored tensors"
    )


def add_parallel(p: argparse.ArgumentParser) -> None:
    options.add_count(
        p,
        "--jobs",
        1,
        None,
        "tensors compressed at once (the library is the same for any N)",
        "the usable cores",
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


def ray_installed() -> bool:
    import importlib.util

    return importlib.util.find_spec("ray") is not None


def require_ray(args: argparse.Namespace) -> None:
    """Refuses --ray before any work when Ray is not installed."""
    if args.ray is not None and not ray_installed():
        raise CliError(
            "--ray needs the package 'ray' (install it with: pip install \"velmora-dryx[ray]\")"
        )


def compression_options(args: argparse.Namespace) -> dict[str, Any]:
    """The keywords of `build_library` / `add_many_to_library` from the parsed command line:
    the settings given (None: the library's, for add) and the parallel options."""
    keys = ("method", "max_rank", "energy", "rank_ratio", "bits", "budget", "target_error")
    given = {k: getattr(args, k) for k in keys}
    return {**given, "jobs": args.jobs, "ray": args.ray}


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
def finetune_warnings(out: Output) -> Iterator[None]:
    """The store's warnings about what a fine-tune lacks or adds, printed as ours."""
    with warnings.catch_warnings():
        warnings.simplefilter("always", store.FinetuneWarning)
        shown = warnings.showwarning

        def show(message, category, *args, **kwargs):
            if issubclass(category, store.FinetuneWarning):
                out.warn(str(message))
            else:
                shown(message, category, *args, **kwargs)

        warnings.showwarning = show
        yield


@contextmanager
def library_errors() -> Iterator[None]:
    """The store's errors as the command line reports them."""
    try:
        yield
    except LibraryError as exc:
        raise CliError(str(exc)) from exc
    except KeyError as exc:  # an unknown fine-tune: its message names the library's
        raise CliError(str(exc.args[0]) if exc.args else "missing key") from exc


def finetune_rows(info: dict) -> list[list[Any]]:
    return [
        [
            f["name"],
            f["tensors"],
            ", ".join(f"{m} {n}" for m, n in sorted(f["methods"].items())),
            f["stored_as"],
            mib(f["original_bytes"]),
            mib(f["stored_bytes"]),
            f["ratio"],
            "-" if f["error"] is None else f["error"],
        ]
        for f in info["finetunes"]
    ]


FINETUNE_COLUMNS = [
    "fine-tune",
    "tensors",
    "methods",
    "stored as",
    "full MiB",
    "stored MiB",
    "ratio",
    "rel. error",
]


def show_library(out: Output, info: dict, title: str) -> None:
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


def add_save(p: argparse.ArgumentParser) -> None:
    """library's --save DIR, with --jobs and --ray."""
    p.add_argument(
        "--save",
        default=None,
        metavar="DIR",
        help="write the library to this new directory, streaming the sources tensor by "
        "tensor (memory stays a few tensors per job)",
    )
    add_parallel(p)


def check_save(p: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    if args.save is None:
        if args.jobs is not None or args.ray is not None:
            p.error("--jobs and --ray apply to --save")
        return
    if args.ppl:
        p.error("--ppl does not combine with --save (export a fine-tune, then run ppl on it)")
    check_parallel(p, args)


def save(args: argparse.Namespace, out: Output) -> None:
    """library BASE FINETUNE... --save DIR: the library built on disk, streamed."""
    require_ray(args)
    base = sources.resolve(args.base, out)
    tunes = sources.resolve_all(args.finetunes, out)
    with library_errors(), finetune_warnings(out):
        with task_bar(out, "writing the base, compressing") as progress:
            store.build_library(
                streamed(base, out),
                {s.text: streamed(s, out) for s in tunes},
                args.save,
                base_id=args.base,
                progress=progress,
                **compression_options(args),
                model_dir=base.path if base.is_model_directory else None,
            )
        info = store.library_info(args.save)
    out.data("settings", options.rank_settings(args))
    show_library(
        out, info, f"Fine-tunes of {args.base} in {args.save} ({options.method_label(args)})"
    )
