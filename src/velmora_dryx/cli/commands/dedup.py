"""dedup: how much several models share, block by block."""

from __future__ import annotations

import argparse

from velmora_dryx import dedup
from velmora_dryx.cli import options, sources
from velmora_dryx.cli.errors import CliError, about
from velmora_dryx.cli.output import Output, mib

NAME = "dedup"
HELP = "measure how much several models share, block by block"


def configure(p: argparse.ArgumentParser) -> None:
    options.add_sources(p, "sources", "SOURCE", nargs="+", what="one tenant each: ")
    p.add_argument(
        "--block-size",
        type=options.whole(1),
        default=1 << 20,
        metavar="BYTES",
        help="block size in bytes, >= 1 (default 1 MiB)",
    )


def check(p: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    options.check_unique(p, args.sources, "SOURCE")


def run(args: argparse.Namespace, out: Output) -> None:
    store = dedup.DedupStore(block_size=args.block_size)
    sizes = {}
    for source in out.progress(sources.resolve_all(args.sources, out), "hashing"):
        sd = source.load(raw=True)  # the bytes a store would keep
        sizes[source.text] = sum(int(v.nbytes) for v in sd.values())
        if not sizes[source.text]:
            raise CliError(f"{source.text}: holds no tensor data to compare")
        with about(source.text):
            store.add_state_dict(source.text, sd)
    rows = [[tenant, len(digests), mib(sizes[tenant])] for tenant, digests in store.tenants.items()]
    out.table("tenants", "Tenants", ["tenant", "blocks", "MiB"], rows)
    out.mapping("summary", f"Deduplication ({args.block_size:,} byte blocks)", store.summary())
