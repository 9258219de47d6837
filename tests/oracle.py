"""Pure-numpy reference implementations that the native modules are tested against.

Each function is written from the documented algorithm with numpy only, step for step, so
a test can compare the module's result (ranks, metadata, reconstructions) with it. Grouped
by operation; nothing here keeps state between calls.
"""

import math

import numpy as np

# --- tensor algebra ---------------------------------------------------------------------


def unfold(tensor, mode):
    """Mode-`mode` matricization: the mode's axis first, the others in order, row-major."""
    moved = np.moveaxis(tensor, mode, 0)
    return moved.reshape(moved.shape[0], math.prod(moved.shape[1:]))


def fold(matrix, mode, shape):
    """Inverse of unfold for a target shape."""
    full = [shape[mode]] + [s for i, s in enumerate(shape) if i != mode]
    return np.moveaxis(matrix.reshape(full), 0, mode)


def mode_dot(tensor, matrix, mode):
    """n-mode product: axis `mode` of the tensor is replaced by the matrix's rows."""
    new_shape = list(tensor.shape)
    new_shape[mode] = matrix.shape[0]
    return fold(matrix @ unfold(tensor, mode), mode, tuple(new_shape))


def relative_frobenius_error(original, approx):
    """||original - approx|| / ||original||, or ||approx|| when ||original|| <= 1e-12."""
    denom = float(np.linalg.norm(original))
    if denom <= 1e-12:
        return float(np.linalg.norm(approx))
    return float(np.linalg.norm(original - approx)) / denom


def sampler(rng):
    """A `rand(shape, dtype=float64)` drawing standard normals from `rng`."""

    def rand(shape, dtype=np.float64):
        return rng.standard_normal(shape).astype(dtype)

    return rand


def rel(a, b):
    """||a - b|| / ||b|| in float64."""
    return float(np.linalg.norm((a - b).astype(np.float64)) / np.linalg.norm(b.astype(np.float64)))


# --- Tucker (truncated HOSVD) ------------------------------------------------------------


def stored(dtype):
    """Element type of the factors: integer and bool tensors keep numpy's float64."""
    return np.dtype(np.float64) if np.dtype(dtype).kind in "biu" else np.dtype(dtype)


def restored(array, dtype):
    """A reconstruction in the record's type; floating when the record names an integer type."""
    return array if stored(dtype) != np.dtype(dtype) else array.astype(dtype, copy=False)


def clamp_ratio(ratio):
    return max(ratio, 0.01) if ratio < 1.0 else 1.0


def tucker_compress(tensor, rank_ratio=0.5, min_rank=1):
    """Returns (core, factors, metadata) as the Tucker record holds them."""
    ratio = clamp_ratio(rank_ratio)
    factors = []
    for k, n in enumerate(tensor.shape):
        target = max(min_rank, math.ceil(n * ratio))
        u = np.linalg.svd(unfold(tensor, k), full_matrices=False)[0]
        factors.append(u[:, : min(target, u.shape[1])].astype(stored(tensor.dtype), copy=False))
    core = tensor.copy()
    for k, f in enumerate(factors):
        core = mode_dot(core, f.T, k)
    ranks = tuple(f.shape[1] for f in factors)
    return core, tuple(factors), {"rank_ratio": ratio, "ranks": ranks}


def tucker_decompress(core, factors, dtype):
    out = core
    for k, f in enumerate(factors):
        out = mode_dot(out, f, k)
    return restored(out, dtype)


# --- tensor train (TT-SVD) ---------------------------------------------------------------


def tt_compress(tensor, max_rank=8):
    """Returns (cores, metadata) as the tensor-train record holds them."""
    cap = max(1, int(max_rank))
    shape = tensor.shape
    mat = tensor.astype(np.float64, copy=False).reshape(shape[0], math.prod(shape[1:]))
    cores = []
    r_prev = 1
    for n in shape[:-1]:
        mat = mat.reshape(r_prev * n, mat.size // (r_prev * n))
        u, s, vt = np.linalg.svd(mat, full_matrices=False)
        r = min(cap, u.shape[1])
        cores.append(u[:, :r].reshape(r_prev, n, r).astype(stored(tensor.dtype)))
        mat = np.diag(s[:r]) @ vt[:r]
        r_prev = r
    cores.append(mat.reshape(r_prev, shape[-1], 1).astype(stored(tensor.dtype)))
    ranks = tuple(c.shape[2] for c in cores[:-1])
    return tuple(cores), {"max_rank": cap, "ranks": ranks}


def tt_decompress(cores, shape, dtype):
    out = cores[0]
    for core in cores[1:]:
        left = out.reshape(-1, out.shape[-1])
        right = core.reshape(core.shape[0], -1)
        out = (left @ right).reshape(out.shape[:-1] + core.shape[1:])
    return restored(out.reshape(shape), dtype)


# --- truncated SVD -----------------------------------------------------------------------


def svd_compress(tensor, rank_ratio=0.5, min_rank=1):
    """(s, U, Vt, metadata) of the fixed-ratio truncated SVD of the mode-0 flattening."""
    shape = tuple(tensor.shape)
    mat = tensor.reshape(shape[0], int(np.prod(shape[1:])))
    ratio = max(rank_ratio, 0.01) if rank_ratio < 1.0 else 1.0
    rank = max(min_rank, int(math.ceil(min(mat.shape) * ratio)))
    u, s, vt = np.linalg.svd(mat, full_matrices=False)
    kept = (
        s[:rank].astype(stored(tensor.dtype), copy=False),
        u[:, :rank].astype(stored(tensor.dtype), copy=False),
        vt[:rank].astype(stored(tensor.dtype), copy=False),
    )
    return kept, {"rank_ratio": float(ratio), "rank": len(kept[0])}


def svd_compress_energy(tensor, energy=0.99, min_rank=1, max_rank=None):
    """(s, U, Vt, metadata) of the energy-selected truncated SVD, factored in float32."""
    shape = tuple(tensor.shape)
    mat = np.ascontiguousarray(tensor.reshape(shape[0], int(np.prod(shape[1:]))), dtype=np.float32)
    energy = max(energy, 0.0) if energy < 1.0 else 1.0
    u, s, vt = np.linalg.svd(mat, full_matrices=False)
    r = s.shape[0]
    sq = s.astype(np.float64) ** 2
    total = float(sq.sum())
    if total <= 1e-30:
        k = min_rank
    else:
        cum = np.cumsum(sq) / total
        k = int(np.searchsorted(cum, energy)) + 1
    k = max(min_rank, k)
    if max_rank is not None:
        k = min(k, max_rank)
    k = min(k, r)
    kept = (
        s[:k].astype(stored(tensor.dtype), copy=False),
        u[:, :k].astype(stored(tensor.dtype), copy=False),
        vt[:k].astype(stored(tensor.dtype), copy=False),
    )
    return kept, {"energy": float(energy), "rank": int(k), "full_rank": int(r)}


def svd_reconstruct(s, u, vt, shape, dtype):
    return restored(((u * s) @ vt).reshape(shape), dtype)


# --- model library -----------------------------------------------------------------------


def finetune_delta(base, name, w):
    """The float32 delta a library stores for one fine-tuned tensor."""
    delta = w - base[name] if name in base else w
    return delta.astype(np.float32)


def library_nbytes(sd):
    return sum(int(np.prod(v.shape)) * v.dtype.itemsize for v in sd.values())


def library_reconstruct(base, dense_deltas):
    """{name: base + delta} (the delta alone where the base lacks the name)."""
    return {n: d if base.get(n) is None else base[n] + d for n, d in dense_deltas.items()}


def reconstruction_error(a, b):
    num = den = 0.0
    for name in a:
        x = a[name].astype(np.float32, copy=False)
        y = b[name].astype(np.float32, copy=False)
        d = x - y
        num += float(np.sum(d * d, dtype=np.float64))
        den += float(np.sum(y * y, dtype=np.float64))
    return math.sqrt(num) / (math.sqrt(den) + 1e-12)


# --- delta codecs -----------------------------------------------------------------------

CLIPS = np.array(
    [1.0, 0.92, 0.85, 0.78, 0.72, 0.66, 0.6, 0.55, 0.5, 0.45, 0.41, 0.37, 0.33, 0.3, 0.27, 0.24],
    np.float32,
)


def codes(x, bits, scale):
    """Midrise codes c in [-L, L-1] of float32 x at `scale` (floor of x / scale, computed as
    x * (1 / scale) shifted by L and truncated, in float32)."""
    levels = np.float32(1 << (bits - 1))
    inv = np.float32(1) / scale if scale != 0 else np.float32(0)
    t = np.clip(x * inv + levels, np.float32(0), 2 * levels - 1)
    return t.astype(np.int32) - int(levels)


def dequantize(c, scale):
    """The value of code c: (c + 0.5) * scale in float32."""
    return (c.astype(np.float32) + np.float32(0.5)) * np.float32(scale)


def fit_vector(x, bits):
    """The scale of least squared error over the clip grid (the first on ties); 0 for zeros."""
    x = np.asarray(x, np.float32)
    amax = np.abs(x).max(initial=np.float32(0))
    best, best_err = np.float32(0), float((x.astype(np.float64) ** 2).sum())
    levels = np.float32(1 << (bits - 1))
    for clip in CLIPS[:1] if bits == 16 else CLIPS:
        scale = amax * clip / levels
        if not scale >= np.finfo(np.float32).tiny or not np.isfinite(np.float32(1) / scale):
            continue
        d = dequantize(codes(x, bits, scale), scale).astype(np.float64) - x
        err = float((d * d).sum())
        if err < best_err:
            best, best_err = scale, err
    return best


def pack(c, bits):
    """Codes c + L, least significant bit first, padded to a whole byte."""
    u = (c + (1 << (bits - 1))).astype(np.uint32)
    bitstream = ((u[:, None] >> np.arange(bits, dtype=np.uint32)) & 1).astype(np.uint8).ravel()
    return np.packbits(bitstream, bitorder="little")


def component_options(a, b, widths, paired):
    """Per (wa, wb): the bytes of one stored component and the squared error it leaves."""
    out = []
    for wa in widths:
        for wb in widths:
            if paired and wa != wb:
                continue
            qa = dequantize(codes(a, wa, fit_vector(a, wa)), fit_vector(a, wa))
            qb = dequantize(codes(b, wb, fit_vector(b, wb)), fit_vector(b, wb))
            exact = np.outer(a.astype(np.float64), b.astype(np.float64))
            err = float(((exact - np.outer(qa.astype(np.float64), qb)) ** 2).sum())
            size = (len(a) * wa + 7) // 8 + (len(b) * wb + 7) // 8 + 10
            out.append((size, err, wa, wb))
    return out


def hull(start_error, options):
    """The lower convex hull from (0, start_error): (bytes, gain, wa, wb) steps."""
    cur, steps = (0, start_error), []
    while True:
        cands = [o for o in options if o[0] > cur[0] and o[1] < cur[1]]
        if not cands:
            return steps
        best = max(cands, key=lambda o: ((cur[1] - o[1]) / (o[0] - cur[0]), -o[0]))
        steps.append((best[0] - cur[0], cur[1] - best[1], best[2], best[3]))
        cur = best[:2]


def allocate(nbytes, gain, first, budget=None, total_error=0.0, target_error=None):
    """Steps by gain per byte (ties in order), each after its chain's previous one, within a
    budget or until the error left reaches the target."""
    order = sorted(range(len(nbytes)), key=lambda j: -gain[j] / nbytes[j])
    taken = np.zeros(len(nbytes), bool)
    spent, left = 0, total_error
    for j in order:
        if target_error is not None and left <= target_error:
            break
        if not first[j] and not taken[j - 1]:
            continue
        if budget is not None and spent + nbytes[j] > budget:
            continue
        taken[j] = True
        spent += nbytes[j]
        left -= gain[j]
    return taken
