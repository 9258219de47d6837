"""The delta codecs' numerics against the numpy oracle: low-bit factors (the stored integers
and scales give the same floats as the oracle's arithmetic), the hull of each component,
the byte allocation, and the exact tier's byte planes."""

import numpy as np
import oracle
import pytest

from velmora_dryx import tamsel

WIDTHS = (1, 2, 3, 4, 5, 6, 7, 8, 16)


def rows(rng, k, n, scale=1.0):
    # Heavy tails, as the singular vectors of real deltas have.
    return (rng.standard_t(3, (k, n)) * scale).astype(np.float32)


@pytest.mark.parametrize("scale", [1.0, 1e-9])
def test_stored_codes_and_scales_give_the_oracles_floats(scale):
    rng = np.random.default_rng(0)
    m, n = 37, 20
    a, b = rows(rng, len(WIDTHS), m, scale), rows(rng, len(WIDTHS), n, scale)
    bits = np.array([(w, WIDTHS[-1 - i]) for i, w in enumerate(WIDTHS)], np.uint8)
    scales, codes_a, codes_b = tamsel._quantize_factors(a, b, bits)
    left, right = tamsel._dequantize_factors(bits, scales, codes_a, codes_b, m, n)
    want_codes_a, want_codes_b = [], []
    for i, (wa, wb) in enumerate(bits):
        for x, w, got_scale, got, packed in (
            (a[i], wa, scales[i, 0], left[:, i], want_codes_a),
            (b[i], wb, scales[i, 1], right[i], want_codes_b),
        ):
            s = oracle.fit_vector(x, int(w))
            assert got_scale == s
            c = oracle.codes(x, int(w), s)
            np.testing.assert_array_equal(got, oracle.dequantize(c, s))
            packed.append(oracle.pack(c, int(w)))
    np.testing.assert_array_equal(codes_a, np.concatenate(want_codes_a))
    np.testing.assert_array_equal(codes_b, np.concatenate(want_codes_b))


@pytest.mark.parametrize(
    "bits, widths, paired", [(8, (8,), True), (16, (16,), True), ("mixed", WIDTHS, False)]
)
def test_component_steps_follow_the_oracles_hull(bits, widths, paired):
    rng = np.random.default_rng(1)
    a, b = rows(rng, 3, 30), rows(rng, 3, 12)
    a[1] = 0  # a zero component has nothing to store
    comp, bits_a, bits_b, nbytes, gain = tamsel._factor_steps(a, b, bits)
    want = []
    for i in (0, 2):
        start = float((np.outer(a[i].astype(np.float64), b[i]) ** 2).sum())
        want += [
            (i, *s)
            for s in oracle.hull(start, oracle.component_options(a[i], b[i], widths, paired))
        ]
    assert [(c, n, wa, wb) for c, n, wa, wb in zip(comp, nbytes, bits_a, bits_b, strict=True)] == [
        (i, n, wa, wb) for i, n, _, wa, wb in want
    ]
    np.testing.assert_allclose(gain, [w[2] for w in want], rtol=1e-9)


@pytest.mark.parametrize("mode", ["budget", "target"])
def test_allocation_matches_the_oracle_and_keeps_its_budget(mode):
    rng = np.random.default_rng(2)
    chains = [rng.integers(1, 6) for _ in range(40)]
    first = np.concatenate([[1] + [0] * (c - 1) for c in chains]).astype(np.uint8)
    nbytes = rng.integers(10, 500, len(first))
    # Gains per byte fall along each chain, as a hull's do.
    slope = np.concatenate([np.sort(rng.random(c))[::-1] for c in chains])
    gain = slope * nbytes
    total = float(gain.sum()) * 1.1
    for level in (0.12, 0.3, 0.9):  # the error left can fall to 1/11 of the total
        if mode == "budget":
            kw = {"budget": int(nbytes.sum() * level), "total_error": total, "target_error": None}
        else:
            kw = {"budget": None, "total_error": total, "target_error": total * level}
        taken = tamsel._allocate(nbytes, gain, first, **kw)
        np.testing.assert_array_equal(taken, oracle.allocate(nbytes, gain, first, **kw))
        if mode == "budget":
            assert nbytes[taken].sum() <= kw["budget"]
        else:
            assert total - gain[taken].sum() <= kw["target_error"]


@pytest.mark.parametrize("dtype", ["uint16", "float32", "float64", "uint8", "widened"])
@pytest.mark.parametrize("with_base", [True, False])
def test_byte_planes_split_and_join(dtype, with_base):
    # Over a few blocks of words, most with sign and exponent unchanged against the base;
    # "widened": float32 words of 16-bit values (two planes of zeros).
    rng = np.random.default_rng(3)
    low_zero, dtype = dtype == "widened", "float32" if dtype == "widened" else dtype
    width = np.dtype(dtype).itemsize
    tuned = rng.integers(0, 255, (5005, width), np.uint8)
    base = tuned ^ rng.integers(0, 255, tuned.shape, np.uint8)
    base[:, -1] = np.where(rng.random(len(base)) < 0.7, tuned[:, -1], base[:, -1])
    if low_zero:
        tuned[:, :2] = base[:, :2] = 0
    tuned, base = tuned.view(dtype).reshape(7, -1), base.view(dtype).reshape(7, -1)
    planes = tamsel._split_planes(tuned, base if with_base else None)
    words = tuned.view(np.uint8).reshape(-1, tuned.itemsize)
    if with_base:
        words = words ^ base.view(np.uint8).reshape(-1, tuned.itemsize)
    # The top plane in word order, the others: words whose top byte is zero, then the rest.
    msb_first = words[:, ::-1].T
    order = np.argsort(msb_first[0] != 0, kind="stable")
    np.testing.assert_array_equal(
        planes, np.concatenate([msb_first[:1], msb_first[1:, order]]).ravel()
    )
    back = tamsel._join_planes(planes, base if with_base else None, tuned)
    assert back.dtype == tuned.dtype and back.shape == tuned.shape
    np.testing.assert_array_equal(back.view(np.uint8), tuned.view(np.uint8))


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: tamsel._factor_steps(np.ones((1, 2)), np.ones((1, 2)), 4),
            "bits must be 8, 16 or 'mixed', got 4",
        ),
        (
            lambda: tamsel._factor_steps(np.ones((2, 2)), np.ones((1, 2)), 8),
            "one row per component",
        ),
        (
            lambda: tamsel._dequantize_factors(
                np.array([[8, 9]], np.uint8),
                np.ones(2),
                np.zeros(1, np.uint8),
                np.zeros(1, np.uint8),
                1,
                1,
            ),
            "bit width must be 1 to 8 or 16, got 9",
        ),
        (
            lambda: tamsel._dequantize_factors(
                np.array([[8, 8]], np.uint8),
                np.ones(2, np.float32),
                np.zeros(3, np.uint8),
                np.zeros(1, np.uint8),
                2,
                1,
            ),
            "codes hold 3 and 1 bytes, the widths need 2 and 1",
        ),
        (
            lambda: tamsel._join_planes(np.zeros(3, np.uint8), None, np.zeros(2, np.uint16)),
            "planes hold 3 bytes, the tensor 4",
        ),
        (
            lambda: tamsel._split_planes(np.zeros(2, np.uint16), np.zeros(3, np.uint16)),
            "differ in element size or count",
        ),
        (
            lambda: tamsel._allocate(
                np.ones(2, np.int64), np.ones(2), np.ones(2, np.uint8), 3, 0.0, 1.0
            ),
            "exactly one of",
        ),
    ],
)
def test_malformed_codec_input_is_refused(call, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(")):
        call()


@pytest.mark.parametrize("order", ["zero-first", None, "bogus"])
def test_exact_records_of_either_plane_order_read_back(order):
    """Records written before the zero-first order (no "order", lower planes grouped by top
    byte, then by index modulo 4) keep reading; an unknown order is refused."""
    import zstandard

    from velmora_dryx import _library_format as fmt
    from velmora_dryx.methods import Settings

    rng = np.random.default_rng(9)
    base = rng.standard_normal((40, 24)).astype(np.float32)
    tuned = base + rng.standard_normal(base.shape).astype(np.float32) * np.float32(1e-3)
    tuned[0] *= -1  # a row of changed signs
    rec = tamsel._delta_record(base, tuned, Settings("exact"))
    meta = dict(rec.metadata)
    assert meta["order"] == "zero-first"
    if order != "zero-first":
        planes = tamsel._split_planes(tuned, base).reshape(4, -1)
        index = np.arange(planes.shape[1])
        if order is None:
            words = np.empty_like(planes[1:])
            words[:, np.argsort(planes[0] != 0, kind="stable")] = planes[1:]
            planes[1:] = words[:, np.lexsort((index, index % 4, planes[0]))]
            del meta["order"]
        else:
            meta["order"] = order
        frames = [zstandard.ZstdCompressor().compress(p.tobytes()) for p in planes]
        meta["planes"] = [len(f) for f in frames]
        blob = np.frombuffer(b"".join(frames), np.uint8)
        rec = type(rec)(rec.method, rec.shape, rec.dtype, (blob,), (), meta)
    problem = fmt.RECORD_CHECKS["exact"]((40, 24), meta, [(sum(meta["planes"]),)], [])
    if order == "bogus":
        assert problem is not None
        with pytest.raises(ValueError, match=r"malformed exact record \(order\)"):
            tamsel._apply_delta(base, rec)
    else:
        assert problem is None
        back = tamsel._apply_delta(base, rec)
        np.testing.assert_array_equal(back.view(np.uint32), tuned.view(np.uint32))
