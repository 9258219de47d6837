"""The commands, one module each.

A command module defines ``NAME`` and ``HELP`` (its one-line description), ``configure``
(adds its arguments to its parser) and ``run(args, out)``. Adding a command is a new module
and one line in ``COMMANDS``, which also sets the order of the help listing.
"""

from velmora_dryx.cli.commands import (
    add,
    dedup,
    demo,
    export,
    export_lora,
    info,
    library,
    list_lmstudio,
    list_ollama,
    ppl,
    remove,
    rename,
    roundtrip,
    suggest,
    verify,
)

COMMANDS = (
    demo,
    library,
    add,
    info,
    verify,
    remove,
    rename,
    export,
    export_lora,
    dedup,
    roundtrip,
    ppl,
    list_ollama,
    list_lmstudio,
    suggest,
)
