"""Compressed tensors: truncated SVD, Tucker and tensor-train factorizations, their
reconstruction, merging and round-trip reports."""

import math as math
from collections.abc import Sequence as Sequence
from dataclasses import dataclass as dataclass
from dataclasses import field as field
from enum import Enum as Enum
from typing import Self

import numpy as np

class CompressionMethod(str, Enum):  # noqa: UP042 - str first, as at run time
    NONE = "none"
    SVD = "svd"
    TUCKER = "tucker"
    TENSOR_TRAIN = "tt"
    def __new__(cls, value: object) -> Self: ...

@dataclass(frozen=True)
class CompressedTensor:
    method: CompressionMethod
    shape: tuple[int, ...]
    dtype: str
    cores: tuple[np.ndarray, ...]
    factors: tuple[np.ndarray, ...] = ...
    metadata: dict = ...
    @property
    def original_size_bytes(self) -> int: ...
    @property
    def compressed_size_bytes(self) -> int: ...
    @property
    def compression_ratio(self) -> float: ...

@dataclass(frozen=True)
class CompressionReport:
    method: CompressionMethod
    shape: tuple[int, ...]
    original_bytes: int
    compressed_bytes: int
    compression_ratio: float
    relative_frobenius_error: float
    reconstruction_quality: float
    elapsed_compress_ms: float
    elapsed_decompress_ms: float

def _unfold(tensor: np.ndarray, mode: int) -> np.ndarray: ...
def _fold(matrix: np.ndarray, mode: int, shape: tuple[int, ...]) -> np.ndarray: ...
def _mode_dot(tensor: np.ndarray, matrix: np.ndarray, mode: int) -> np.ndarray: ...
def _relative_frobenius_error(original: np.ndarray, approx: np.ndarray) -> float: ...
def tucker_compress(
    tensor: np.ndarray, rank_ratio: float = 0.5, min_rank: int = 1
) -> CompressedTensor: ...
def tucker_decompress(compressed: CompressedTensor) -> np.ndarray: ...
def tt_compress(tensor: np.ndarray, max_rank: int = 8) -> CompressedTensor: ...
def tt_decompress(compressed: CompressedTensor) -> np.ndarray: ...
def svd_compress(
    tensor: np.ndarray, rank_ratio: float = 0.5, min_rank: int = 1
) -> CompressedTensor: ...
def svd_compress_energy(
    tensor: np.ndarray, energy: float = 0.99, min_rank: int = 1, max_rank: int | None = None
) -> CompressedTensor: ...
def _svd_compress_rank(tensor: np.ndarray, rank: int) -> CompressedTensor: ...
def svd_decompress(compressed: CompressedTensor) -> np.ndarray: ...
def compress(
    tensor: np.ndarray,
    method: CompressionMethod | str,
    *,
    rank_ratio: float = 0.5,
    max_rank: int = 8,
) -> CompressedTensor: ...
def decompress(compressed: CompressedTensor) -> np.ndarray: ...
def roundtrip_report(
    tensor: np.ndarray,
    method: CompressionMethod | str,
    *,
    rank_ratio: float = 0.5,
    max_rank: int = 8,
) -> CompressionReport: ...
def compressed_concat(
    atoms: Sequence[CompressedTensor],
    *,
    axis: int = 0,
    recompress_method: CompressionMethod | str | None = None,
    recompress_rank_ratio: float = 0.5,
    recompress_max_rank: int = 8,
) -> CompressedTensor | np.ndarray: ...
def compressed_weighted_mean(
    atoms: Sequence[CompressedTensor],
    weights: Sequence[float] | None = None,
    *,
    recompress_method: CompressionMethod | str | None = None,
    recompress_rank_ratio: float = 0.5,
    recompress_max_rank: int = 8,
) -> CompressedTensor | np.ndarray: ...
def suggest_method(tensor_shape: tuple[int, ...]) -> CompressionMethod: ...
