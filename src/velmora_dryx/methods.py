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

OPTIONS = ("max_rank", "energy", "rank_ratio", "bits", "budget", "target_error")
"""The settings besides `method`, in the order they are stored and shown."""

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
            ("rank_ratio",),
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


@dataclass(frozen=True)
class Settings:
    """How a library compresses deltas: `method` (a key of METHODS), the tensor train's and
    the energy SVD's rank cap `max_rank` (0: no cap for the energy SVD), `energy` (when set,
    the energy-based truncated SVD replaces `method` for tensors of two or more dimensions)
    and the `rank_ratio` of svd and Tucker. Checked when made: a value out of range raises
    ValueError naming it."""

    method: str = "tt"
    max_rank: int = DEFAULT_MAX_RANK
    energy: float | None = None
    rank_ratio: float = DEFAULT_RANK_RATIO
    bits: int | str | None = None
    budget: float | None = None
    target_error: float | None = None

    def __post_init__(self) -> None:
        if self.method != "exact":
            object.__setattr__(self, "method", kestrine.CompressionMethod(self.method).value)
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
            if self.energy is not None:
                raise ValueError(
                    "a budget or target_error chooses the ranks: give it or energy, not both"
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
        """The oldest library format that can hold records made with these settings."""
        return 2 if self.bits != 32 or self.method == "exact" else 1

    @property
    def mode(self) -> Method:
        """The table row that does the work: the energy SVD when `energy` is set."""
        return ENERGY if self.energy is not None else METHODS[self.method]

    @property
    def label(self) -> str:
        """What a table title says about these settings (only the options that apply)."""
        mode = self.mode
        shown = [f"{o} {getattr(self, o):g}" for o in mode.options if o != "energy"]
        if self.budget is not None:
            shown = [f"budget 1/{1 / self.budget:.3g}"]
        elif self.target_error is not None:
            shown = [f"target error {self.target_error:g}"]
        if self.bits != 32:
            shown.append(f"{self.bits} bits")
        head = f"{mode.label} {self.energy:g}" if mode is ENERGY else mode.label
        return f"{head}, {', '.join(shown)}" if shown else head

    def stored(self) -> dict[str, Any]:
        """As a manifest keeps them."""
        return dataclasses.asdict(self)

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

    def overridden(
        self,
        method: str | None = None,
        max_rank: int | None = None,
        energy: float | None = None,
        rank_ratio: float | None = None,
        bits: int | str | None = None,
        budget: float | None = None,
        target_error: float | None = None,
    ) -> Settings:
        """These settings with the given ones replacing theirs (None: keep); a method, an
        energy, a budget or a target error turns the others' way of choosing ranks off (and a
        method the quantized factors)."""
        changes: dict[str, Any] = {}
        if method is not None:
            changes.update(method=method, energy=None, bits=None, budget=None, target_error=None)
        if energy is not None or budget is not None or target_error is not None:
            # One way of choosing ranks at a time; float32 factors give way to the default.
            changes.update(energy=None, budget=None, target_error=None)
            if self.bits == 32:
                changes["bits"] = None
        given = {
            "max_rank": max_rank,
            "energy": energy,
            "rank_ratio": rank_ratio,
            "bits": bits,
            "budget": budget,
            "target_error": target_error,
        }
        changes.update({k: v for k, v in given.items() if v is not None})
        return dataclasses.replace(self, **changes)


def _number(value: Any, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError(f"{name} must be a number, got {value!r}")
    value = float(value)
    if math.isnan(value):
        raise ValueError(f"{name} must not be NaN")
    return value
