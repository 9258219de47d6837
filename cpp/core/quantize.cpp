// Built with -ffp-contract=off: the fit and the packing must compute the same codes, and
// the dequantized values must be the ones every reader computes.
#include "quantize.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <numeric>

#include "elementwise.hpp"
#include "error.hpp"

namespace velmora::core {

namespace {

// Clip fractions of max|x| tried for the scale: low widths gain by clipping the tails of a
// vector, high widths do not.
constexpr float kClips[] = {1.0f, 0.92f, 0.85f, 0.78f, 0.72f, 0.66f, 0.6f,  0.55f,
                            0.5f, 0.45f, 0.41f, 0.37f, 0.33f, 0.3f,  0.27f, 0.24f};

// floor(x * inv) clamped to [-levels, levels - 1], through truncation of a non-negative
// value (which vectorises); x must be finite.
inline std::int32_t code_of(float x, float inv, float levels) noexcept {
  float t = x * inv + levels;
  t = t < 0.0f ? 0.0f : t;
  const float top = 2.0f * levels - 1.0f;
  t = t > top ? top : t;
  return static_cast<std::int32_t>(t) - static_cast<std::int32_t>(levels);
}

// Sums of per-element terms in kLanes independent accumulators (lane l takes the elements
// i = l mod kLanes), added pairwise at the end: the same order every run and on every machine,
// and no chain of dependent additions for the compiler to keep (it vectorises the lanes).
constexpr int kLanes = 8;

template <class Term>
double lane_sum(std::int64_t n, Term term) noexcept {
  double acc[kLanes] = {};
  std::int64_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    for (int l = 0; l < kLanes; ++l) acc[l] += term(i + l);
  }
  for (int l = 0; i < n; ++i, ++l) acc[l] += term(i);
  for (int width = kLanes / 2; width > 0; width /= 2) {
    for (int l = 0; l < width; ++l) acc[l] += acc[l + width];
  }
  return acc[0];
}

double squared_error(const float* x, std::int64_t n, float inv, float scale,
                     float levels) noexcept {
  return lane_sum(n, [=](std::int64_t i) {
    const double d = static_cast<double>(dequantized(code_of(x[i], inv, levels), scale)) -
                     static_cast<double>(x[i]);
    return d * d;
  });
}

// A scale that quantizes without overflow: a normal float whose inverse is finite.
bool usable_scale(float scale) noexcept { return scale >= FLT_MIN && std::isfinite(1.0f / scale); }

}  // namespace

VectorFit fit_vector(const float* x, std::int64_t n, int bits) noexcept {
  VectorFit fit;
  float amax = 0.0f;
  for (std::int64_t i = 0; i < n; ++i) amax = std::max(amax, std::fabs(x[i]));
  fit.error = square_sum(x, n);
  if (amax == 0.0f) return fit;
  const float levels = static_cast<float>(std::int32_t{1} << (bits - 1));
  // At 16 bits clipping only loses: the grid's first entry alone.
  const std::size_t clips = bits == 16 ? 1 : std::size(kClips);
  for (std::size_t c = 0; c < clips; ++c) {
    const float scale = amax * kClips[c] / levels;
    if (!usable_scale(scale)) continue;
    const double err = squared_error(x, n, 1.0f / scale, scale, levels);
    if (err < fit.error) {
      fit.error = err;
      fit.scale = scale;
    }
  }
  if (fit.scale == 0.0f) return fit;  // too small to quantize: stored as zeros
  const float inv = 1.0f / fit.scale, scale = fit.scale;
  auto value = [=](std::int64_t i) -> double {
    return dequantized(code_of(x[i], inv, levels), scale);
  };
  fit.quantized_sq = lane_sum(n, [&](std::int64_t i) { return value(i) * value(i); });
  fit.cross = lane_sum(n, [&](std::int64_t i) { return value(i) * static_cast<double>(x[i]); });
  return fit;
}

void pack_codes(const float* x, std::int64_t n, int bits, float scale, std::uint8_t* out) noexcept {
  const std::int32_t half = std::int32_t{1} << (bits - 1);
  const float levels = static_cast<float>(half);
  const float inv = scale == 0.0f ? 0.0f : 1.0f / scale;  // scale 0: every code stands for 0
  std::uint64_t acc = 0;
  int held = 0;
  for (std::int64_t i = 0; i < n; ++i) {
    const auto code = static_cast<std::uint64_t>(code_of(x[i], inv, levels) + half);
    acc |= code << held;
    held += bits;
    while (held >= 8) {
      *out++ = static_cast<std::uint8_t>(acc & 0xffu);
      acc >>= 8;
      held -= 8;
    }
  }
  if (held > 0) *out = static_cast<std::uint8_t>(acc & 0xffu);
}

void unpack_values(const std::uint8_t* codes, std::int64_t n, int bits, float scale, float* out,
                   std::int64_t stride) noexcept {
  const std::int32_t half = std::int32_t{1} << (bits - 1);
  const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;
  if (bits == 8) {
    for (std::int64_t i = 0; i < n; ++i) {
      out[i * stride] = dequantized(static_cast<std::int32_t>(codes[i]) - half, scale);
    }
    return;
  }
  std::uint64_t acc = 0;
  int held = 0;
  for (std::int64_t i = 0; i < n; ++i) {
    while (held < bits) {
      acc |= static_cast<std::uint64_t>(*codes++) << held;
      held += 8;
    }
    out[i * stride] = dequantized(static_cast<std::int32_t>(acc & mask) - half, scale);
    acc >>= bits;
    held -= bits;
  }
}

namespace {

struct Option {
  std::int64_t bytes;
  double error;
  int bits_a, bits_b;
};

// The lower convex hull of `options` from the first (not stored), as steps.
void hull_steps(std::vector<Option>& options, std::int32_t component, std::vector<HullStep>& out) {
  Option cur = options.front();
  for (;;) {
    const Option* best = nullptr;
    double best_slope = 0.0;
    for (const Option& o : options) {
      if (o.bytes <= cur.bytes || o.error >= cur.error) continue;
      const double slope = (cur.error - o.error) / static_cast<double>(o.bytes - cur.bytes);
      if (slope > best_slope || (slope == best_slope && best && o.bytes < best->bytes)) {
        best = &o;
        best_slope = slope;
      }
    }
    if (best == nullptr) return;
    out.push_back({best->bytes - cur.bytes, cur.error - best->error, component,
                   static_cast<std::uint8_t>(best->bits_a),
                   static_cast<std::uint8_t>(best->bits_b)});
    cur = *best;
  }
}

}  // namespace

std::vector<HullStep> component_steps(const float* a, const float* b, std::int64_t k,
                                      std::int64_t m, std::int64_t n,
                                      const std::vector<int>& widths, bool paired) {
  for (int w : widths) {
    if (!valid_width(w)) raise_value("bit width must be 1 to 8 or 16, got " + std::to_string(w));
  }
  std::vector<HullStep> steps;
  std::vector<VectorFit> fa(widths.size()), fb(widths.size());
  std::vector<Option> options;
  for (std::int64_t i = 0; i < k; ++i) {
    const float* ai = a + i * m;
    const float* bi = b + i * n;
    const double aa = square_sum(ai, m), bb = square_sum(bi, n);
    if (aa == 0.0 || bb == 0.0) continue;
    for (std::size_t w = 0; w < widths.size(); ++w) {
      fa[w] = fit_vector(ai, m, widths[w]);
      fb[w] = fit_vector(bi, n, widths[w]);
    }
    options.assign(1, Option{0, aa * bb, 0, 0});
    for (std::size_t wa = 0; wa < widths.size(); ++wa) {
      for (std::size_t wb = 0; wb < widths.size(); ++wb) {
        if (paired && wa != wb) continue;
        const double err =
            aa * bb + fa[wa].quantized_sq * fb[wb].quantized_sq - 2.0 * fa[wa].cross * fb[wb].cross;
        options.push_back({component_bytes(m, n, widths[wa], widths[wb]), std::max(err, 0.0),
                           widths[wa], widths[wb]});
      }
    }
    hull_steps(options, static_cast<std::int32_t>(i), steps);
  }
  return steps;
}

namespace {

// Step indices by gain per byte, highest first, ties in input order.
std::vector<std::int64_t> by_slope(const std::int64_t* bytes, const double* gain,
                                   std::int64_t count) {
  std::vector<double> slope(static_cast<std::size_t>(count));
  for (std::int64_t j = 0; j < count; ++j) {
    if (bytes[j] <= 0 || !(gain[j] >= 0.0) || !std::isfinite(gain[j])) {
      raise_value("step " + std::to_string(j) + " has no positive size or no finite gain");
    }
    slope[static_cast<std::size_t>(j)] = gain[j] / static_cast<double>(bytes[j]);
  }
  std::vector<std::int64_t> order(static_cast<std::size_t>(count));
  std::iota(order.begin(), order.end(), std::int64_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::int64_t x, std::int64_t y) {
    return slope[static_cast<std::size_t>(x)] > slope[static_cast<std::size_t>(y)];
  });
  return order;
}

bool follows(const std::uint8_t* first, const std::vector<std::uint8_t>& taken, std::int64_t j) {
  return first[j] != 0 || taken[static_cast<std::size_t>(j - 1)] != 0;
}

void require_first(const std::uint8_t* first, std::int64_t count) {
  if (count > 0 && first[0] == 0) raise_value("the first step must start a chain");
}

}  // namespace

std::vector<std::uint8_t> allocate_budget(const std::int64_t* bytes, const double* gain,
                                          const std::uint8_t* first, std::int64_t count,
                                          std::int64_t budget) {
  require_first(first, count);
  std::vector<std::uint8_t> taken(static_cast<std::size_t>(count), 0);
  std::int64_t spent = 0;
  for (std::int64_t j : by_slope(bytes, gain, count)) {
    if (follows(first, taken, j) && bytes[j] <= budget - spent) {
      taken[static_cast<std::size_t>(j)] = 1;
      spent += bytes[j];
    }
  }
  return taken;
}

std::vector<std::uint8_t> allocate_error(const std::int64_t* bytes, const double* gain,
                                         const std::uint8_t* first, std::int64_t count,
                                         double total_error, double target_error) {
  require_first(first, count);
  std::vector<std::uint8_t> taken(static_cast<std::size_t>(count), 0);
  double left = total_error;
  for (std::int64_t j : by_slope(bytes, gain, count)) {
    if (left <= target_error) break;
    if (follows(first, taken, j)) {
      taken[static_cast<std::size_t>(j)] = 1;
      left -= gain[j];
    }
  }
  return taken;
}

}  // namespace velmora::core
