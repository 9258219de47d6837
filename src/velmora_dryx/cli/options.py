"""Every option check of the command line, in one place.

Values are checked by the parser as they are read (``whole``, ``fraction``, ``shape``);
combinations of options are checked by ``check_*`` right after parsing. Both end in the
parser's own error: a usage line, one message naming the option and the allowed range, and
exit status 2.
"""

from __future__ import annotations

import argparse
import re
from collections.abc import Callable
from typing import Any, NamedTuple

from velmora_dryx import methods
from velmora_dryx.cli import sources
from velmora_dryx.methods import DEFAULT_MAX_RANK, DEFAULT_RANK_RATIO, Method, Settings

METHODS = methods.SELECTABLE
# The methods of a single tensor (roundtrip): the library's exact tier stores deltas only.
TENSOR_METHODS = tuple(m for m in METHODS if m != "exact")
MAX_RANK = 2**31 - 1  # the factorizations count ranks in 32 bits
# roundtrip's own choice: svd and Tucker at the rank ratio, the tensor train at the cap.
AUTO = Method("auto", "auto", ("rank_ratio", "max_rank"), "--method auto", "")


def _checked(convert, kind: str, allowed: str, ok: Callable) -> Callable[[str], Any]:
    def parse(text: str):
        try:
            value = convert(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected {kind} {allowed}, got {text!r}") from None
        if not ok(value):  # NaN fails every comparison
            raise argparse.ArgumentTypeError(f"must be {kind} {allowed}, got {text}")
        return value

    return parse


def whole(low: int, high: int | None = None) -> Callable[[str], int]:
    """A whole number in [low, high]."""
    allowed = f">= {low}" if high is None else f"from {low} to {high}"
    return _checked(
        int, "a whole number", allowed, lambda v: v >= low and (high is None or v <= high)
    )


def fraction(low: float, *, low_open: bool) -> Callable[[str], float]:
    """A number in (low, 1] or [low, 1]."""
    allowed = f"in {'(' if low_open else '['}{low:g}, 1]"
    return _checked(
        float, "a number", allowed, lambda v: (v > low if low_open else v >= low) and v <= 1.0
    )


def add_count(
    p: argparse.ArgumentParser, flag: str, low: int, default: int | None, what: str, shown=None
) -> None:
    """An option taking a whole number >= low."""
    p.add_argument(
        flag,
        type=whole(low),
        default=default,
        metavar="N",
        help=f"{what}, >= {low} (default {default if shown is None else shown})",
    )


_SHAPE = re.compile(r"\d+(?:x\d+)*|\d+(?:,\d+)*")


class Shape(NamedTuple):
    extents: tuple[int, ...]
    text: str  # as written, e.g. 768x3072


def shape(text: str) -> Shape:
    """Positive extents joined by x (or by commas), e.g. 768x3072."""
    written = text.strip()
    if not _SHAPE.fullmatch(written):
        raise argparse.ArgumentTypeError(
            f"bad shape {text!r}: write positive extents joined by x, e.g. 768x3072"
        )
    extents = tuple(int(p) for p in re.split("[x,]", written))
    if min(extents) < 1:
        raise argparse.ArgumentTypeError(f"bad shape {text!r}: every extent must be at least 1")
    return Shape(extents, written)


def shape_text(extents: tuple[int, ...]) -> str:
    return "x".join(map(str, extents))


# ---------------------------------------------------------------------------------------
# Options shared by several commands


def add_common(p: argparse.ArgumentParser, *, default) -> None:
    """--json and --debug: on the main parser (default False) and on every command
    (default suppressed, so the main parser's value stands unless given after the command)."""
    p.add_argument(
        "--json",
        action="store_true",
        default=default,
        help="print one JSON document instead of tables",
    )
    p.add_argument(
        "--debug", action="store_true", default=default, help="show a traceback on errors"
    )


def add_sources(p: argparse.ArgumentParser, dest: str, metavar: str, nargs=None, what=""):
    p.add_argument(dest, metavar=metavar, nargs=nargs, help=(what or "") + sources.HELP)


def add_rank_options(
    p: argparse.ArgumentParser, methods: tuple[str, ...], default: str, *, store: str = ""
) -> None:
    """--method, --rank-ratio, --max-rank and, for the library commands (`store` "new": the
    defaults apply; "add": the library's settings apply), --energy and --rank. Defaults
    are filled in by check_rank_options / check_settings."""

    def default_of(value) -> str:
        # add uses the library's stored settings for what is not given
        return "(default the library's)" if store == "add" else f"(default {value})"

    p.add_argument(
        "--method",
        choices=methods,
        default=None,
        help=f"compression method {default_of(default)}",
    )
    p.add_argument(
        "--rank-ratio",
        type=fraction(0.01, low_open=False),
        default=None,
        metavar="R",
        help=f"kept share of each matrix's rank for svd and tucker, in [0.01, 1] "
        f"{default_of(DEFAULT_RANK_RATIO)}",
    )
    if store:
        p.add_argument(
            "--max-rank",
            type=whole(0, MAX_RANK),
            default=None,
            metavar="N",
            help=f"rank cap of tt and of --energy, from 0 to {MAX_RANK}; 0: no cap (--energy "
            f"only) {default_of(DEFAULT_MAX_RANK)}",
        )
        p.add_argument(
            "--energy",
            type=fraction(0.0, low_open=True),
            default=None,
            metavar="E",
            help="use the energy-based SVD keeping this share of the spectrum, in (0, 1]",
        )
        p.add_argument(
            "--rank",
            type=whole(1, MAX_RANK),
            default=None,
            metavar="N",
            help="use the svd at rank min(N, rows, columns) on every matrix (a LoRA of rank N "
            "is stored exactly); instead of --rank-ratio",
        )
        _add_codec_options(p, default_of)
    else:
        p.add_argument(
            "--max-rank",
            type=whole(1, MAX_RANK),
            default=None,
            metavar="N",
            help=f"rank cap of tt, from 1 to {MAX_RANK} {default_of(DEFAULT_MAX_RANK)}",
        )
    p.set_defaults(default_method=default)


def _add_codec_options(p: argparse.ArgumentParser, default_of) -> None:
    """--bits, --budget and --target-error: how saved libraries store truncated-SVD factors."""
    p.add_argument(
        "--bits",
        choices=("32", "16", "8", "mixed"),
        default=None,
        help="store truncated-SVD factors in float32, at 16 or 8 bits per value, or each "
        "component at the widths that remove the most error per byte (saved libraries; "
        f"{default_of('32, mixed with --budget or --target-error')})",
    )
    p.add_argument(
        "--budget",
        type=budget,
        default=None,
        metavar="F",
        help="bytes a fine-tune may take, as a fraction of its size at 16 bits per value "
        "(e.g. 1/16), spent across its tensors where they remove the most error",
    )
    p.add_argument(
        "--target-error",
        type=_checked(float, "a number", "in (0, 1)", lambda v: 0 < v < 1),
        default=None,
        metavar="E",
        help="the fewest bytes that reach this relative error of the deltas, in (0, 1)",
    )


def budget(text: str) -> float:
    """A fraction in (0, 1], written as a number or as 1/N."""
    value: float | None = None
    try:
        if "/" in text:
            num, den = text.split("/", 1)
            value = float(num) / float(den)
        else:
            value = float(text)
    except (ValueError, ZeroDivisionError):
        pass
    if value is None or not 0 < value <= 1:
        raise argparse.ArgumentTypeError(f"must be a fraction in (0, 1] such as 1/16, got {text}")
    return value


SETTING_OPTIONS = ("method", *methods.OPTIONS)


def given_settings(args: argparse.Namespace) -> dict[str, Any]:
    """The compression options given on the command line (None: not given)."""
    return {k: getattr(args, k, None) for k in SETTING_OPTIONS}


def check_rank_options(p: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """roundtrip's: refuses rank options the chosen method would ignore (the table of methods
    says which options each takes), then fills in the defaults."""
    method = args.method or args.default_method
    row = AUTO if method == "auto" else methods.METHODS[method]
    try:
        methods.check_given(given_settings(args), row, flags=True)
    except ValueError as exc:
        p.error(str(exc))
    args.method = method
    if args.rank_ratio is None:
        args.rank_ratio = DEFAULT_RANK_RATIO
    if args.max_rank is None:
        args.max_rank = DEFAULT_MAX_RANK


def check_settings(
    p: argparse.ArgumentParser, args: argparse.Namespace, library: Settings | None = None
) -> Settings:
    """The library commands': the settings the options ask for, on the defaults or on a
    saved `library`'s settings, refused with the parser's error when they contradict each
    other or the method would ignore one (the rules of methods.Settings)."""
    given = given_settings(args)
    try:
        if library is None:
            return Settings.chosen(flags=True, **given)
        return library.overridden(flags=True, whose="the library's ", **given)
    except ValueError as exc:
        p.error(_cli_words(str(exc)))


def _cli_words(message: str) -> str:
    """A settings message in the command line's option names."""
    for api, cli in (
        ("target_error", "--target-error"),
        ("energy=", "--energy"),
        ("method='svd'", "--method svd"),
        ("a budget", "--budget"),
    ):
        message = message.replace(api, cli)
    return message


def check_unique(p: argparse.ArgumentParser, values: list[str], metavar: str) -> None:
    """Refuses a source named twice: it would count as one tenant with twice the bytes."""
    seen: set[str] = set()
    for v in values:
        if v in seen:
            p.error(f"{metavar} {v!r} is given twice; name each source once")
        seen.add(v)


def method_label(args: argparse.Namespace) -> str:
    """What roundtrip's table title says about the compression actually used."""
    if args.method == "auto":
        return f"auto: svd and tucker rank_ratio {args.rank_ratio:g}, tt max_rank {args.max_rank}"
    return Settings(args.method, args.max_rank, rank_ratio=args.rank_ratio).label


def rank_settings(args: argparse.Namespace) -> dict:
    """roundtrip's compression settings actually used, for the JSON document."""
    row = AUTO if args.method == "auto" else methods.METHODS[args.method]
    out: dict = {"method": args.method}
    out.update((o, getattr(args, o)) for o in ("rank_ratio", "max_rank") if o in row.options)
    return out
