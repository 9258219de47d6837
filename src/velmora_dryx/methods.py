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

OPTIONS = ("max_rank", "energy", "rank_ratio", "bits", "budget", "target_error", "rank")
"""The settings besides `method`, in the order they are stored and shown."""
RANK_OPTIONS = ("max_rank", "energy", "rank_ratio", "rank")
"""The options that say how ranks are kept, checked against the method by `check_given`
(bits, budget and target_error are checked where settings are made)."""
EXCLUSIVE = (("rank", "rank_ratio"),)
"""Pairs of options of one method that cannot be given together."""
ENERGY_KIND = "energy-svd"
"""How tables and JSON documents name the energy SVD (a method of its own to the user)."""

BITS = (32, 16, 8, "mixed")
"""How truncated-SVD factors are stored: float32, 16 or 8 bits per value with a float32 scale
per vector, or each component at the widths (1 to 8 or 16 bits) that remove the most error
per byte."""


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
        Method(
            "exact",
            "exact",
            (),
            "--method exact",
            "stored bit for bit (XOR with the base, byte planes, zstd)",
        ),
        Method("none", "without loss", (), "", "stored without loss", selectable=False),
        Method(
            "qsvd",
            "svd, quantized factors",
            ("bits", "budget", "target_error"),
            "--bits",
            "stored as a truncated SVD with quantized factors",
            lora=True,
            selectable=False,
        ),
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
    for option in RANK_OPTIONS:
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
    and `method` says svd), the `rank_ratio` of svd and Tucker, how truncated-SVD factors are
    stored (`bits`, `budget`, `target_error`), and the fixed `rank` of svd (when set, every
    matrix keeps rank min(rank, m, n); it replaces `rank_ratio`). Checked when made: a value
    out of range, or a rank for another method, raises ValueError naming it. Options given
    by a caller are checked against each other by `chosen` and `overridden`."""

    method: str = "tt"
    max_rank: int = DEFAULT_MAX_RANK
    energy: float | None = None
    rank_ratio: float = DEFAULT_RANK_RATIO
    bits: int | str | None = None
    budget: float | None = None
    target_error: float | None = None
    rank: int | None = None

    def __post_init__(self) -> None:
        method = _method_name(self.method)
        if method not in METHODS:
            raise ValueError(f"method must be one of {', '.join(SELECTABLE)}, got {method!r}")
        # The energy SVD is an SVD whatever method a library names beside it.
        object.__setattr__(self, "method", "svd" if self.energy is not None else method)
        self._check_codecs()
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

    def _check_codecs(self) -> None:
        """bits, budget and target_error: checked, and the method they imply."""
        bits = self.bits
        if isinstance(bits, str) and bits != "mixed":
            bits = int(bits) if bits.isdigit() else bits
        budget, target = self.budget, self.target_error
        if budget is not None:
            budget = _number(budget, "budget")
            if not 0.0 < budget <= 1.0:
                raise ValueError(
                    f"budget must be in (0, 1] (a fraction of 16 bits per value), "
                    f"got {self.budget!r}"
                )
        if target is not None:
            target = _number(target, "target_error")
            if not 0.0 < target < 1.0:
                raise ValueError(f"target_error must be in (0, 1), got {self.target_error!r}")
        if budget is not None and target is not None:
            raise ValueError("give a budget or a target_error, not both")
        spends = budget is not None or target is not None
        if bits is None:
            bits = "mixed" if spends else 32
        if bits not in BITS or isinstance(bits, bool):
            raise ValueError(f"bits must be 32, 16, 8 or 'mixed', got {self.bits!r}")
        if self.method == "exact" and (bits != 32 or spends):
            raise ValueError(
                "method 'exact' stores every bit: bits, budget and target_error do not apply"
            )
        if spends:
            if self.energy is not None or self.rank is not None:
                chooser = "energy" if self.energy is not None else "rank"
                raise ValueError(
                    f"a budget or target_error chooses the ranks: give it or {chooser}, not both"
                )
            if bits == 32:
                raise ValueError(
                    "a budget or target_error spends bytes on 16, 8 or 'mixed' bits, not 32"
                )
            # Like energy, a budget stores truncated-SVD factors whatever the method says.
            object.__setattr__(self, "method", "svd")
        elif bits != 32 and self.energy is None and self.method != "svd":
            raise ValueError(
                f"bits={bits!r} applies to truncated-SVD factors: "
                "give method='svd', energy= or a budget"
            )
        object.__setattr__(self, "bits", bits)
        object.__setattr__(self, "budget", budget)
        object.__setattr__(self, "target_error", target)

    @property
    def spends(self) -> bool:
        """A byte budget or a target error, allocated across a whole fine-tune."""
        return self.budget is not None or self.target_error is not None

    @property
    def version(self) -> int:
        """The oldest library format that can hold records made with these settings (a fixed
        rank is a setting of version 2)."""
        return 2 if self.bits != 32 or self.method == "exact" or self.rank is not None else 1

    @property
    def mode(self) -> Method:
        """The table row that does the work: the energy SVD when `energy` is set."""
        return ENERGY if self.energy is not None else METHODS[self.method]

    @property
    def applied(self) -> tuple[str, ...]:
        """The rank options that take effect: the mode's, with `rank` or `rank_ratio`
        (whichever the svd uses)."""
        unused = "rank_ratio" if self.rank is not None else "rank"
        return tuple(o for o in self.mode.options if o != unused)

    @property
    def label(self) -> str:
        """What a table title says about these settings (only the options that apply)."""
        mode = self.mode

        def shown_as(o: str) -> str:
            value = getattr(self, o)
            if o == "max_rank" and value == 0 and mode is ENERGY:
                return "no rank cap"
            return f"{o} {value:g}"

        shown = [shown_as(o) for o in self.applied if o != "energy"]
        if self.budget is not None:
            shown = [f"budget 1/{1 / self.budget:.3g}"]
        elif self.target_error is not None:
            shown = [f"target error {self.target_error:g}"]
        if self.bits != 32:
            shown.append(f"{self.bits} bits")
        head = f"{mode.label} {self.energy:g}" if mode is ENERGY else mode.label
        return f"{head}, {', '.join(shown)}" if shown else head

    def shown(self) -> dict[str, Any]:
        """What a JSON document says was used: the method (the energy SVD named apart) and
        the options that apply."""
        out: dict[str, Any] = {"method": ENERGY_KIND if self.mode is ENERGY else self.method}
        out.update((o, getattr(self, o)) for o in self.applied)
        if self.bits != 32:
            out["bits"] = self.bits
        out.update((o, getattr(self, o)) for o in ("budget", "target_error") if getattr(self, o))
        return out

    def stored(self) -> dict[str, Any]:
        """As a manifest keeps them (`rank` only when set)."""
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
        if stored.get("bits") is not None and not isinstance(stored["bits"], int | str):
            raise ValueError("setting 'bits' is of the wrong type")
        return cls(**stored)

    @classmethod
    def of(cls, library) -> Settings:
        """The settings of a `tamsel.ModelLibrary` (which uses the default rank ratio)."""
        return cls(library.method, library.max_rank, library.energy)

    def library_fields(self) -> dict[str, Any]:
        """The `tamsel.ModelLibrary` fields of these settings (an exact library's in-memory
        additions are stored without loss)."""
        method = kestrine.CompressionMethod("none" if self.method == "exact" else self.method)
        return {"method": method, "max_rank": self.max_rank, "energy": self.energy}

    @classmethod
    def chosen(cls, *, flags: bool = False, **given: Any) -> Settings:
        """The settings a caller asked for: the options given (None: not given; `energy`,
        `rank` or a budget alone select the svd) on the defaults, refused (ValueError) when
        they contradict each other or the method would ignore one. `flags` spells the
        message with the command line's options."""
        return cls().overridden(flags=flags, **given)

    def overridden(self, *, flags: bool = False, whose: str = "", **given: Any) -> Settings:
        """These settings with the options given replacing theirs (None: keep), checked as
        `chosen` checks them; against these settings' own method (`whose` it is, for the
        message) when the options do not choose one. A method, an energy, a rank, a budget
        or a target error turns the others' way of choosing ranks off (and a method the
        quantized factors); `rank` and `rank_ratio` replace each other."""
        unknown = set(given) - {"method", *OPTIONS}
        if unknown:
            raise TypeError(f"unknown setting {sorted(unknown)[0]!r}")
        given = {k: v for k, v in given.items() if v is not None}
        method = given.get("method")
        if method is not None:
            method = given["method"] = _method_name(method)
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
        changes: dict[str, Any] = {}
        if "method" in given:
            changes.update(bits=None, budget=None, target_error=None)
        if {"energy", "rank", "budget", "target_error"} & set(given):
            # One way of choosing ranks at a time; float32 factors give way to the default.
            changes.update(energy=None, budget=None, target_error=None, rank=None)
            if self.bits == 32:
                changes["bits"] = None
        if row is not self.mode or "method" in given:
            changes["method"] = row.name
            if row is not ENERGY:
                changes["energy"] = None
        if row is ENERGY or "rank_ratio" in given or row.name != "svd":
            changes["rank"] = None
        changes.update(given)
        return dataclasses.replace(self, **changes)


def _method_name(method: Any) -> str:
    """A method's name: a `kestrine.CompressionMethod` member's value, or the text itself."""
    return str(getattr(method, "value", method))


def _number(value: Any, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError(f"{name} must be a number, got {value!r}")
    value = float(value)
    if math.isnan(value):
        raise ValueError(f"{name} must not be NaN")
    return value
