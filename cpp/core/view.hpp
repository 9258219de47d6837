// Sizes and strided views of the matrices the core keeps in flat buffers. All index
// arithmetic is 64-bit: callers name an element by (row, column) and never spell out an
// offset, its products or its casts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "error.hpp"

namespace velmora::core {

// The element count of an a x b (x c) buffer as a container size. Callers pass
// non-negative extents whose product they have checked (fits_blas, or an existing buffer).
constexpr std::size_t elements(std::int64_t a, std::int64_t b = 1, std::int64_t c = 1) noexcept {
  return static_cast<std::size_t>(a) * static_cast<std::size_t>(b) * static_cast<std::size_t>(c);
}

// True when a rows x cols matrix can be handed to LAPACK or BLAS, whose integers are 32-bit:
// both extents and the element count fit.
constexpr bool fits_blas(std::int64_t rows, std::int64_t cols) noexcept {
  constexpr std::int64_t limit = 2147483647;
  return rows >= 0 && cols >= 0 && rows <= limit && cols <= limit &&
         (rows == 0 || cols <= limit / rows);
}

// Raises Error(Value) unless fits_blas(rows, cols).
inline void require_blas_size(std::int64_t rows, std::int64_t cols) {
  if (!fits_blas(rows, cols)) {
    raise_value("matrix of " + std::to_string(rows) + " x " + std::to_string(cols) +
                " elements is too large: LAPACK with 32-bit indexing handles at most 2**31 - 1 "
                "elements");
  }
}

// Column-major, LAPACK's layout: element (i, j) at data[i + j * ld].
template <class T>
struct ColMajor {
  T* data;
  std::int64_t ld;
  T& operator()(std::int64_t i, std::int64_t j) const noexcept { return data[i + j * ld]; }
  T* col(std::int64_t j) const noexcept { return data + j * ld; }
};

// Row-major: element (i, j) at data[i * ld + j].
template <class T>
struct RowMajor {
  T* data;
  std::int64_t ld;
  T& operator()(std::int64_t i, std::int64_t j) const noexcept { return data[i * ld + j]; }
  T* row(std::int64_t i) const noexcept { return data + i * ld; }
};

template <class T>
ColMajor(T*, std::int64_t) -> ColMajor<T>;
template <class T>
RowMajor(T*, std::int64_t) -> RowMajor<T>;

// dst(i, j) = src(j, i) for i < rows, j < cols: a transposing copy between any two views,
// in cache-sized tiles.
template <class Dst, class Src>
void transpose_into(Dst dst, Src src, std::int64_t rows, std::int64_t cols) noexcept {
  constexpr std::int64_t kTile = 64;
  for (std::int64_t i0 = 0; i0 < rows; i0 += kTile) {
    const std::int64_t i1 = i0 + kTile < rows ? i0 + kTile : rows;
    for (std::int64_t j0 = 0; j0 < cols; j0 += kTile) {
      const std::int64_t j1 = j0 + kTile < cols ? j0 + kTile : cols;
      for (std::int64_t i = i0; i < i1; ++i) {
        for (std::int64_t j = j0; j < j1; ++j) dst(i, j) = src(j, i);
      }
    }
  }
}

}  // namespace velmora::core
