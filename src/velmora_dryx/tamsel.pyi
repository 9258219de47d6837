"""Model library: one base model plus fine-tunes stored as compressed per-tensor deltas."""

from dataclasses import dataclass, field

import numpy as np

from velmora_dryx.kestrine import CompressedTensor as CompressedTensor
from velmora_dryx.kestrine import CompressionMethod as CompressionMethod
from velmora_dryx.kestrine import compress as compress
from velmora_dryx.kestrine import decompress as decompress
from velmora_dryx.kestrine import svd_compress_energy as svd_compress_energy

def _nbytes(sd: dict[str, np.ndarray]) -> int: ...

@dataclass
class CompressedDelta:
    """One fine-tune stored as compressed per-tensor deltas from the base."""

    model_id: str
    tensors: dict[str, CompressedTensor]
    base_id: str

    def stored_bytes(self) -> int: ...

@dataclass
class ModelLibrary:
    """One base model + many compressed fine-tune deltas."""

    base_id: str
    base: dict[str, np.ndarray]
    deltas: dict[str, CompressedDelta] = field(default_factory=dict)
    method: CompressionMethod = CompressionMethod.TENSOR_TRAIN
    max_rank: int = 8
    energy: float | None = None

    def add_finetune(self, model_id: str, finetuned: dict[str, np.ndarray]) -> CompressedDelta: ...
    def reconstruct(self, model_id: str) -> dict[str, np.ndarray]: ...
    def base_bytes(self) -> int: ...
    def naive_bytes(self, finetunes: dict[str, dict[str, np.ndarray]]) -> int: ...
    def stored_bytes(self) -> int: ...
    def summary(self, finetunes: dict[str, dict[str, np.ndarray]]) -> dict: ...

def reconstruction_error(a: dict[str, np.ndarray], b: dict[str, np.ndarray]) -> float: ...
def _delta_record(
    base: np.ndarray | None, tuned: np.ndarray, settings: object
) -> CompressedTensor: ...
def _apply_delta(base: np.ndarray | None, record: CompressedTensor) -> np.ndarray: ...
def _stored_delta(
    base: np.ndarray | None, tuned: np.ndarray, settings: object
) -> tuple[CompressedTensor, float, float]: ...
