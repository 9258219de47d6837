"""velmora-dryx: store many fine-tunes of one base model cheaply and see what it costs.

One module per command under ``commands`` (registered in ``commands.COMMANDS``); sources,
output and option checks are shared by all of them.
"""

from velmora_dryx.cli.app import build_parser, main

__all__ = ["build_parser", "main"]
