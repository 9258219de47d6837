"""The parser and the entry point of the velmora-dryx command line."""

from __future__ import annotations

import argparse
import sys
import traceback

from velmora_dryx.cli.commands import COMMANDS
from velmora_dryx.cli.errors import PROG, describe
from velmora_dryx.cli.output import Output

DESCRIPTION = "velmora-dryx: store many fine-tunes of one base model cheaply and see what it costs."


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog=PROG, description=DESCRIPTION)
    p.add_argument("--json", action="store_true", help="print one JSON document instead of tables")
    p.add_argument("--debug", action="store_true", help="show tracebacks on errors")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in COMMANDS:
        sp = sub.add_parser(command.NAME, help=command.HELP, description=command.HELP)
        command.configure(sp)
        sp.set_defaults(run=command.run)
    return p


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    out = Output(args.json)
    try:
        args.run(args, out)
        out.finish()
        return 0
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except Exception as exc:  # noqa: BLE001 - every failure becomes one line unless --debug
        if args.debug:
            traceback.print_exc()
        else:
            print(f"{PROG}: error: {describe(exc)}", file=sys.stderr)
        return 1
