"""What the saved-library commands share: --jobs and --ray, sources streamed from disk,
progress bars of tasks and bytes, and the library's errors as one-line messages."""

from __future__ import annotations

import argparse
import warnings
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from velmora_dryx import export, store
from velmora_dryx.cli import options, sources
from velmora_dryx.cli.errors import CliError
from velmora_dryx.cli.output import Output, count, mib
from velmora_dryx.methods import Settings
from velmora_dryx.store import LibraryError


def add_export_arguments(p: argparse.ArgumentParser, dtype_default: str) -> None:
    """DIR NAME OUT, --dtype and --no-verify, for the export commands."""
    p.add_argument("library", metavar="DIR", help="a library saved by library --save")
    p.add_argument("name", metavar="NAME", help="the fine-tune (as info lists it)")
    p.add_argument("out_dir", metavar="OUT", help="a new directory to write")
    p.add_argument(
        "--dtype",
        choices=export.DTYPES,
        default=None,
        help=f"write every tensor in this dtype, rounded to nearest even "
        f"(default: {dtype_default})",
    )
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


def streamed(source: sources.Source, out: Output) -> Any:
    """What the library reads a source from: the safetensors files themselves (memory-mapped,
    tensor by tensor) or the GGUF file (loaded whole, its names mapped to the base's where
    they differ)."""
    if source.kind == "gguf":
        problem = sources.KINDS["gguf"].diagnose([source.path])
        if problem is not None:
            raise problem
    if source.kind in ("hf", "safetensors", "gguf"):
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
    "ratio (full / stored)",
    "rel. error",
]


def summary(finetunes: int, base_bytes: int, full_bytes: int, deltas_bytes: int) -> dict:
    """A library's figures, as `library` (in memory) and the saved-library commands show
    them: each ratio named for what it divides."""
    library = base_bytes + deltas_bytes
    return {
        "finetunes": finetunes,
        "base_bytes": base_bytes,
        "full_bytes": full_bytes,  # the fine-tunes stored in full
        "deltas_bytes": deltas_bytes,
        "library_bytes": library,
        "ratio_full_to_deltas": full_bytes / deltas_bytes if deltas_bytes else float("inf"),
        "ratio_full_to_library": full_bytes / library if library else float("inf"),
    }


def show_library(out: Output, info: dict, title: str, names: list[str] | None = None) -> None:
    """A saved library as `library_info` gives it: a table of its fine-tunes (in JSON,
    library_info's own rows and keys; the `settings` entry is the caller's), the tensors
    stored dense, warnings for energy targets a rank cap kept out of reach (for the
    fine-tunes `names`, default all), and the summary."""
    out.table("finetunes", title, FINETUNE_COLUMNS, finetune_rows(info), info["finetunes"])
    for key in ("path", "format_version", "base_id", "base_tensors", "base_bytes", "model_files"):
        out.data(key, info[key])
    for f in info["finetunes"]:
        if f["dense"]:
            out.note(
                f"{f['name']}: {count(len(f['dense']), 'tensor')} stored dense (compressed, "
                f"they would take more bytes): {', '.join(f['dense'])}"
            )
        if f["capped"] and (names is None or f["name"] in names):
            used = Settings.from_stored(f["settings"] or info["settings"])
            out.warn(
                f"{f['name']}: the rank cap (max_rank {used.max_rank}) kept "
                f"{count(f['capped'], 'tensor')} short of energy {used.energy:g}; the worst "
                f"keeps {f['worst_energy']:.4f} (raise --max-rank, or 0 for no cap)"
            )
    naive = sum(f["original_bytes"] for f in info["finetunes"])
    deltas = sum(f["stored_bytes"] for f in info["finetunes"])
    out.mapping(
        "summary",
        "Library summary",
        {
            "path": info["path"],
            "base_id": info["base_id"],
            **summary(len(info["finetunes"]), info["base_bytes"], naive, deltas),
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
    check_parallel(p, args)


def save(args: argparse.Namespace, out: Output, base, tunes) -> None:
    """library BASE FINETUNE... --save DIR: the library built on disk, streamed, from the
    resolved sources."""
    require_ray(args)
    names = finetune_names(tunes)
    with library_errors(), finetune_warnings(out):
        with task_bar(out, "writing the base, compressing") as progress:
            store.build_library(
                streamed(base, out),
                {n: streamed(s, out) for n, s in zip(names, tunes, strict=True)},
                args.save,
                settings=args.settings,
                base_id=base.id,
                jobs=args.jobs,
                ray=args.ray,
                progress=progress,
                model_dir=base.path if base.is_model_directory else None,
            )
        info = store.library_info(args.save)
    out.data("settings", args.settings.shown())
    show_library(out, info, f"Fine-tunes of {args.base} in {args.save} ({args.settings.label})")


def finetune_names(tunes: list[sources.Source], given: str | None = None) -> list[str]:
    """The names fine-tunes are stored under: `given` for a single one, else each source's
    own name; two sources of one name are refused."""
    names = [given] if given is not None else [s.name for s in tunes]
    for i, n in enumerate(names):
        if n in names[:i]:
            first = tunes[names.index(n)].text
            raise CliError(
                f"{first} and {tunes[i].text} would both be stored as {n!r}: store one, then "
                "add the other with add --name"
            )
    return names


def show_verification(out: Output, path: str) -> int:
    """verify's report (in JSON: `verify_library`'s report under `verify`): what was
    checked, every problem found and every leftover file; returns the exit status, 1 on
    damage (said on stderr too)."""
    with library_errors():
        report = store.verify_library(path)
    out.data("verify", report)
    if not out.as_json:
        out.mapping("checked", f"Checked in {path}", report["checked"])
        if report["damage"]:
            out.table("damage", "Damage", ["problem"], [[d] for d in report["damage"]])
        if report["leftovers"]:
            out.table(
                "leftovers",
                "Leftover files (not named by the manifest: an interrupted write leaves them)",
                ["file"],
                [[f] for f in report["leftovers"]],
            )
    if report["leftovers"]:
        out.warn(
            f"{path}: {count(len(report['leftovers']), 'leftover file')} (safe to delete "
            "while no write runs)"
        )
    if report["ok"]:
        out.note(f"{path}: every checksum and every record is sound")
        return 0
    out.error(f"{path}: damaged ({count(len(report['damage']), 'problem')}, listed in the report)")
    return 1
