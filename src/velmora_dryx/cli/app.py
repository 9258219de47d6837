"""The parser and the entry point of the velmora-dryx command line."""

from __future__ import annotations

import argparse
import os
import sys
import traceback

from velmora_dryx.cli.commands import COMMANDS
from velmora_dryx.cli.errors import PROG, describe
from velmora_dryx.cli.options import add_common
from velmora_dryx.cli.output import Output

DESCRIPTION = "velmora-dryx: store many fine-tunes of one base model cheaply and see what it costs."


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog=PROG, description=DESCRIPTION)
    add_common(p, default=False)
    common = argparse.ArgumentParser(add_help=False)
    add_common(common, default=argparse.SUPPRESS)
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in COMMANDS:
        sp = sub.add_parser(
            command.NAME, help=command.HELP, description=command.HELP, parents=[common]
        )
        command.configure(sp)
        sp.set_defaults(run=command.run, check=getattr(command, "check", None), parser=sp)
    return p


def parse(argv: list[str] | None) -> argparse.Namespace:
    """The parsed arguments, with every option and combination checked (SystemExit if not)."""
    args = build_parser().parse_args(argv)
    if args.check is not None:
        args.check(args.parser, args)
    return args


def main(argv: list[str] | None = None) -> int:
    try:
        args = parse(argv)
    except SystemExit as stop:  # --help, or a usage error (already printed)
        return stop.code if isinstance(stop.code, int) else 0 if stop.code is None else 2
    out = Output(args.json)
    try:
        # A command that finds what it checks damaged returns 1 after its report.
        status = args.run(args, out)
        out.finish()
        return status or 0
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (``| head``): stop quietly, as a tool killed by SIGPIPE does.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 141
    except Exception as exc:  # noqa: BLE001 - every failure becomes one line unless --debug
        if args.debug:
            traceback.print_exc()
        else:
            print(f"{PROG}: error: {describe(exc)}", file=sys.stderr)
        return 1
