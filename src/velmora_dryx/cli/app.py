"""The parser and the entry point of the velmora-dryx command line."""

from __future__ import annotations

import argparse
import os
import re
import sys
import textwrap
import traceback

from velmora_dryx.cli.commands import COMMANDS
from velmora_dryx.cli.errors import PROG, describe
from velmora_dryx.cli.options import add_common
from velmora_dryx.cli.output import Output

DESCRIPTION = "velmora-dryx: store many fine-tunes of one base model cheaply and see what it costs."


class HelpFormatter(argparse.HelpFormatter):
    """argparse's, except that lines break only at spaces, never at a hyphen nor inside an
    install command, so that `pip install "velmora-dryx[ray]"` copies whole."""

    _INSTALL = re.compile(r'pip install (?:"[^"]*"|\S+)')

    def _split_lines(self, text: str, width: int) -> list[str]:
        text = self._whitespace_matcher.sub(" ", text).strip()
        glued = self._INSTALL.sub(lambda m: m.group().replace(" ", "\0"), text)
        lines = textwrap.wrap(glued, width, break_on_hyphens=False, break_long_words=False)
        return [line.replace("\0", " ") for line in lines]

    def _fill_text(self, text: str, width: int, indent: str) -> str:
        return "\n".join(indent + line for line in self._split_lines(text, width - len(indent)))


def build_parser() -> argparse.ArgumentParser:
    from velmora_dryx import __version__

    p = argparse.ArgumentParser(prog=PROG, description=DESCRIPTION, formatter_class=HelpFormatter)
    p.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    add_common(p, default=False)
    common = argparse.ArgumentParser(add_help=False)
    add_common(common, default=argparse.SUPPRESS)
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in COMMANDS:
        sp = sub.add_parser(
            command.NAME,
            help=command.HELP,
            description=command.HELP,
            parents=[common],
            formatter_class=HelpFormatter,
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
        args.run(args, out)
        out.finish()
        return 0
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
