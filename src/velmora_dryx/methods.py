"""How a fine-tune's deltas are compressed: one table of the methods (the options each takes,
how its records are described) and the frozen settings object that the store, its tasks, the
manifest and the command line pass around.

A tensor's delta becomes a record through `tamsel._delta_record(base, tuned, settings)` and
comes back through `tamsel._apply_delta(base, record)`, whoever asks: the in-memory library,
the saved-library tasks, the command line and the exports.
"""

from __future__ import annotations

import dataclasses
import inspect
import math
import numbers
from dataclasses import dataclass
from typing import Any

from velmora_dryx import kestrine


def _native_default(name: str) -> Any:
    # The compressors' own defaults: defined once, where the native operations are declared.
    return inspect.signature(kestrine.compress).parameters[name].default


DEFAULT_RANK_RATIO: float = _native_default("rank_ratio")
DEFAULT_MAX_RANK: int = _native_default("max_rank")

OPTIONS = ("max_rank", "energy", "rank_ratio", "rank")
"""The settings besides `method`, in the order they are stored and shown."""
EXCLUSIVE = (("rank", "rank_ratio"),)
"""Pairs of options of one method that cannot be given together."""
ENERGY_KIND = "energy-svd"
"""How tables and JSON documents name the energy SVD (a method of its own to the user)."""


@dataclass(frozen=True)
class Method:
    """One way of storing a tensor's delta: its name in manifests and on the command line, the
    settings it reads, and how its records are described."""

    name: str
    label: str  # in table titles
    options: tuple[str, ...]  # the settings besides `method` that it uses
    flag: str  # how the command line selects it
    stored_as: str  # a record of this method, in a sentence
    lora: bool = False  # a LoRA adapter can carry its records (matrices U diag(s) and Vt)
    selectable: bool = True  # offered by --method


METHODS: dict[str, Method] = {
    m.name: m
    for m in (
        Method("tt", "tensor train", ("max_rank",), "--method tt", "stored as a tensor train"),
        Method(
            "svd",
            "svd",
            ("rank_ratio", "rank"),
            "--method svd",
            "stored as a truncated SVD",
            lora=True,
        ),
        Method(
            "tucker",
            "tucker",
            ("rank_ratio",),
            "--method tucker",
            "stored as a Tucker decomposition",
        ),
        Method("none", "without loss", (), "", "stored without loss", selectable=False),
    )
}
ENERGY = Method(
    "svd",
    "energy SVD",
    ("energy", "max_rank"),
    "--energy",
    "stored as a truncated SVD",
    lora=True,
    selectable=False,
)
"""The truncated SVD that keeps a share of the spectrum's energy: the svd method with
`energy` set (its records are svd records)."""

SELECTABLE = tuple(name for name, m in METHODS.items() if m.selectable)


def users(option: str) -> list[Method]:
    """The methods that read an option."""
    rows = [m for m in METHODS.values() if m.selectable] + [ENERGY]
    return [m for m in rows if option in m.options]


def record_kind(method: str, metadata: dict, ndim: int) -> str:
    """How a stored record is counted in a library's methods: the energy SVD apart from
    the fixed-rank ones, and a matrix stored as its dense delta (its compressed form would
    have been larger) as "dense"."""
    if method == "none":
        return "dense" if ndim >= 2 else "none"
    if method == "svd" and "energy" in metadata:
        return ENERGY_KIND
    return method


def _spelled(option: str, flags: bool) -> str:
    return "--" + option.replace("_", "-") if flags else option


def _row_spelled(row: Method, flags: bool) -> str:
    if flags:
        return row.flag
    return row.label if row is ENERGY else f"method {row.name!r}"


def _takers(option: str, flags: bool) -> str:
    def name(m: Method) -> str:
        if not flags:
            return m.label
        return m.name if m.flag.startswith("--method") else m.flag

    return " and ".join(name(m) for m in users(option))


def check_given(
    given: dict[str, Any], row: Method, *, flags: bool = False, whose: str = ""
) -> None:
    """Refuses options given together that contradict each other or that the method doing the
    work (`row`, `whose` it is) would ignore; ValueError spelled as keywords, or as the
    command line's flags with `flags`."""
    for pair in EXCLUSIVE:
        if all(given.get(o) is not None for o in pair):
            a, b = (_spelled(o, flags) for o in pair)
            raise ValueError(f"{a} and {b} exclude each other: give one of them")
    for option in OPTIONS:
        if given.get(option) is not None and option not in row.options:
            raise ValueError(
                f"{_spelled(option, flags)} applies to {_takers(option, flags)}; "
                f"{whose}{_row_spelled(row, flags)} does not use it"
            )
    if given.get("max_rank") == 0 and row is not ENERGY:
        raise ValueError(
            f"{_spelled('max_rank', flags)} 0 (no cap) applies to "
            f"{_row_spelled(ENERGY, flags)} only; {whose}{_row_spelled(row, flags)} "
            "needs a cap of at least 1"
        )


@dataclass(frozen=True)
class Settings:
    """How a library compresses deltas: `method` (a key of METHODS), the tensor train's and
    the energy SVD's rank cap `max_rank` (0: no cap, for the energy SVD only), `energy` (when
    set, the energy-based truncated SVD does the work for tensors of two or more dimensions,
    and `method` says svd), the `rank_ratio` of svd and Tucker, and the fixed `rank` of svd
    (when set, every matrix keeps rank min(rank, m, n); it replaces `rank_ratio`). Checked
    when made: a value out of range, or a rank for another method, raises ValueError naming
    it. Options given by a caller are checked against each other by `chosen` and
    `overridden`."""

    method: str = "tt"
    max_rank: int = DEFAULT_MAX_RANK
    energy: float | None = None
    rank_ratio: float = DEFAULT_RANK_RATIO
    rank: int | None = None

    def __post_init__(self) -> None:
        method = kestrine.CompressionMethod(self.method).value
        if method not in METHODS:
            raise ValueError(f"method must be one of {', '.join(SELECTABLE)}, got {method!r}")
        # The energy SVD is an SVD whatever method a library names beside it.
        object.__setattr__(self, "method", "svd" if self.energy is not None else method)
        if isinstance(self.max_rank, bool) or self.max_rank != int(self.max_rank):
            raise ValueError(f"max_rank must be a whole number, got {self.max_rank!r}")
        object.__setattr__(self, "max_rank", int(self.max_rank))
        if self.max_rank < 0:
            raise ValueError(f"max_rank must be >= 0 (0: no cap), got {self.max_rank!r}")
        if self.energy is not None:
            energy = _number(self.energy, "energy")
            if not 0.0 < energy <= 1.0:
                raise ValueError(f"energy must be in (0, 1], got {self.energy!r}")
            object.__setattr__(self, "energy", energy)
        ratio = _number(self.rank_ratio, "rank_ratio")
        if not 0.0 < ratio <= 1.0:
            raise ValueError(f"rank_ratio must be in (0, 1], got {self.rank_ratio!r}")
        object.__setattr__(self, "rank_ratio", ratio)
        if self.rank is not None:
            if isinstance(self.rank, bool) or self.rank != int(self.rank) or self.rank < 1:
                raise ValueError(f"rank must be a whole number >= 1, got {self.rank!r}")
            object.__setattr__(self, "rank", int(self.rank))
        check_given({"rank": self.rank}, self.mode)

    @property
    def mode(self) -> Method:
        """The table row that does the work: the energy SVD when `energy` is set."""
        return ENERGY if self.energy is not None else METHODS[self.method]

    @property
    def applied(self) -> tuple[str, ...]:
        """The options that take effect: the mode's, with `rank` or `rank_ratio` (whichever
        the svd uses)."""
        unused = "rank_ratio" if self.rank is not None else "rank"
        return tuple(o for o in self.mode.options if o != unused)

    @property
    def label(self) -> str:
        """What a table title says about these settings (only the options that apply)."""
        mode = self.mode

        def shown(o: str) -> str:
            value = getattr(self, o)
            if o == "max_rank" and value == 0 and mode is ENERGY:
                return "no rank cap"
            return f"{o} {value:g}"

        parts = ", ".join(shown(o) for o in self.applied if o != "energy")
        head = f"{mode.label} {self.energy:g}" if mode is ENERGY else mode.label
        return f"{head}, {parts}" if parts else head

    def shown(self) -> dict[str, Any]:
        """What a JSON document says was used: the method (the energy SVD named apart) and
        the options that apply."""
        method = ENERGY_KIND if self.mode is ENERGY else self.method
        return {"method": method, **{o: getattr(self, o) for o in self.applied}}

    def stored(self) -> dict[str, Any]:
        """As a manifest keeps them (`rank` only when set: libraries without one read the
        same as before)."""
        out = dataclasses.asdict(self)
        if self.rank is None:
            del out["rank"]
        return out

    @classmethod
    def from_stored(cls, stored: dict) -> Settings:
        """From a manifest's `settings` (ValueError when a value is missing or out of range);
        libraries written before `rank_ratio` was stored take the default."""
        if not isinstance(stored, dict):
            raise ValueError("settings must be a mapping")
        unknown = set(stored) - {"method", *OPTIONS}
        if unknown:
            raise ValueError(f"unknown setting {sorted(unknown)[0]!r}")
        for key in ("method", "max_rank", "energy"):
            if key not in stored:
                raise ValueError(f"setting {key!r} is missing")
        if not isinstance(stored["method"], str) or not isinstance(stored["max_rank"], int):
            raise ValueError("setting 'method' or 'max_rank' is of the wrong type")
        return cls(**stored)

    @classmethod
    def of(cls, library) -> Settings:
        """The settings of a `tamsel.ModelLibrary` (which uses the default rank ratio)."""
        return cls(library.method, library.max_rank, library.energy)

    def library_fields(self) -> dict[str, Any]:
        """The `tamsel.ModelLibrary` fields of these settings."""
        method = kestrine.CompressionMethod(self.method)
        return {"method": method, "max_rank": self.max_rank, "energy": self.energy}

    @classmethod
    def chosen(cls, *, flags: bool = False, **given: Any) -> Settings:
        """The settings a caller asked for: the options given (None: not given; `energy` or
        `rank` alone select the svd) on the defaults, refused (ValueError) when they
        contradict each other or the method would ignore one. `flags` spells the message
        with the command line's options."""
        return cls().overridden(flags=flags, **given)

    def overridden(self, *, flags: bool = False, whose: str = "", **given: Any) -> Settings:
        """These settings with the options given replacing theirs (None: keep), checked as
        `chosen` checks them; against these settings' own method (`whose` it is, for the
        message) when the options do not choose one. `method` alone turns the energy SVD
        off; `energy` and `rank` select the svd; `rank` and `rank_ratio` replace each other."""
        unknown = set(given) - {"method", *OPTIONS}
        if unknown:
            raise TypeError(f"unknown setting {sorted(unknown)[0]!r}")
        given = {k: v for k, v in given.items() if v is not None}
        method = given.get("method")
        if method is not None:
            method = kestrine.CompressionMethod(method).value
            if method not in SELECTABLE:
                raise ValueError(f"method must be one of {', '.join(SELECTABLE)}, got {method!r}")
        if "energy" in given and method not in (None, "svd"):
            raise ValueError(
                f"{_spelled('energy', flags)} selects the energy-based SVD; it cannot be used "
                f"with {_row_spelled(METHODS[method], flags)}"
            )
        if "energy" in given:
            row, of = ENERGY, ""
        elif method is not None:
            row, of = METHODS[method], ""
        elif "rank" in given:
            row, of = METHODS["svd"], ""
        else:
            row, of = self.mode, whose
        check_given(given, row, flags=flags, whose=of)
        changes = dict(given)
        if row is not self.mode or "method" in given:
            changes["method"] = row.name
            if row is not ENERGY:
                changes["energy"] = None
        if row is ENERGY or "rank_ratio" in given or row.name != "svd":
            changes.setdefault("rank", None)
        return dataclasses.replace(self, **changes)


def _number(value: Any, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError(f"{name} must be a number, got {value!r}")
    value = float(value)
    if math.isnan(value):
        raise ValueError(f"{name} must not be NaN")
    return value
