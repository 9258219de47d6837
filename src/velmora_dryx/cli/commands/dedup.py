"""dedup: how much several models share, block by block."""

from __future__ import annotations

import argparse

from velmora_dryx.cli import sources
from velmora_dryx.cli.errors import CliError
from velmora_dryx.cli.output import Output, mib

NAME = "dedup"
HELP = "measure how much several models share, block by block"


def configure(p: argparse.ArgumentParser) -> None:
    p.add_argument("sources", nargs="+", metavar="SOURCE", help=sources.HELP)
    p.add_argument("--block-size", type=int, default=1 << 20, help="bytes (default 1 MiB)")


def run(args: argparse.Namespace, out: Output) -> None:
    from velmora_dryx import dedup

    if args.block_size <= 0:
        raise CliError("--block-size must be a positive number of bytes")
    store = dedup.DedupStore(block_size=args.block_size)
    for source in out.progress(args.sources, "hashing"):
        _, _, sd = sources.load_source(source)
        store.add_state_dict(source, sd)
    rows = [
        [tenant, len(digests), mib(store._tenant_bytes[tenant])]
        for tenant, digests in store.tenants.items()
    ]
    out.table("tenants", "Tenants", ["tenant", "blocks", "MiB"], rows)
    out.mapping("summary", f"Deduplication ({args.block_size:,} byte blocks)", store.summary())
