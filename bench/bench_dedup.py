"""DedupStore.add_state_dict against raw hashlib SHA-256 over the same bytes.

Four tenants of about 64 MiB of float32 tensors each share one base model; tenants 1-3
are fine-tunes that change two tensors each. Every row hashes the same 1 MiB blocks of the
same tensors (each tensor cut on its own, in sorted name order):

- hashlib raw:   hashlib.sha256(block).digest() over memoryview slices, nothing else:
                 the single-core limit of the interpreter's own hashing;
- python store:  the store's algorithm written in Python (tobytes() copy, hashlib,
                 hexdigest, dict and list bookkeeping);
- DedupStore:    the native store.

Throughput is the best of several interleaved runs in this process. Peak memory is the
growth of the resident set while one run executes, measured in a fresh subprocess per row:
the data are built first, the kernel's high-water mark is reset through
/proc/self/clear_refs, and the peak is VmHWM minus the VmRSS taken just before the run.
Resident-set figures see numpy buffers and native allocations alike (tracemalloc sees
neither). The budget is twice the largest tensor plus the store's digest bookkeeping.
"""

import argparse
import gc
import hashlib
import subprocess
import sys
import time

import numpy as np
from _common import reset_peak, status_kib

from velmora_dryx import dedup

MIB = 1 << 20
BLOCK = MIB
REPEATS = 5


def base_model(rng):
    sd = {"embed.weight": rng.standard_normal((4096, 1024), dtype=np.float32)}
    for i in range(8):
        sd[f"layers.{i}.attn.weight"] = rng.standard_normal((1024, 1024), dtype=np.float32)
        sd[f"layers.{i}.norm.weight"] = rng.standard_normal(1024, dtype=np.float32)
    for i in range(4):
        sd[f"layers.{i}.mlp.weight"] = rng.standard_normal((1000, 1024), dtype=np.float32)
    return sd


def tenants():
    rng = np.random.default_rng(7)
    base = base_model(rng)
    out = {"tenant0": base}
    for t in range(1, 4):
        sd = dict(base)  # shares the base arrays; only the changed tensors are new
        for name in (f"layers.{t}.attn.weight", f"layers.{t}.mlp.weight"):
            sd[name] = sd[name] + np.float32(1e-3) * rng.standard_normal(
                sd[name].shape, dtype=np.float32
            )
        out[f"tenant{t}"] = sd
    return out


def run_hashlib(data):
    for sd in data.values():
        for name in sorted(sd):
            mv = memoryview(np.ascontiguousarray(sd[name])).cast("B")
            for off in range(0, len(mv), BLOCK):
                hashlib.sha256(mv[off : off + BLOCK]).digest()


class PythonStore:
    def __init__(self):
        self.unique, self.tenants, self.tenant_bytes = {}, {}, {}

    def add_tensor_bytes(self, tenant, data):
        refs = self.tenants.setdefault(tenant, [])
        mv = memoryview(data)
        for off in range(0, len(mv), BLOCK):
            blk = mv[off : off + BLOCK]
            h = hashlib.sha256(blk).hexdigest()
            if h not in self.unique:
                self.unique[h] = len(blk)
            refs.append(h)
            self.tenant_bytes[tenant] = self.tenant_bytes.get(tenant, 0) + len(blk)

    def add_state_dict(self, tenant, sd):
        for name in sorted(sd):
            self.add_tensor_bytes(tenant, np.ascontiguousarray(sd[name]).tobytes())


def run_store(cls):
    def run(data):
        store = cls()
        for tenant, sd in data.items():
            store.add_state_dict(tenant, sd)
        return store

    return run


ROWS = {
    "hashlib raw": run_hashlib,
    "python store": run_store(PythonStore),
    "DedupStore": run_store(lambda: dedup.DedupStore(block_size=BLOCK)),
}


def peak_child(row):
    """Runs one row once in this (fresh) process and prints its peak RSS growth in bytes."""
    data = tenants()
    gc.collect()
    if not reset_peak():
        print(-1)  # no way to reset the high-water mark here: reported as n/a
        return
    before = status_kib("VmRSS")
    result = ROWS[row](data)
    print((status_kib("VmHWM") - before) * 1024)
    del result


def digest_bytes(store):
    """Bytes of the store's bookkeeping: digest strings, reference lists and dicts."""
    total = sys.getsizeof(store.unique) + sys.getsizeof(store.tenants)
    total += sys.getsizeof(store._tenant_bytes)
    seen = set()
    for refs in store.tenants.values():
        total += sys.getsizeof(refs)
        for h in refs:
            if id(h) not in seen:
                seen.add(id(h))
                total += sys.getsizeof(h)
    return total


def peak_text(peak):
    return "n/a" if peak < 0 else f"{peak / MIB:.2f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--peak", choices=list(ROWS), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.peak:
        peak_child(args.peak)
        return

    data = tenants()
    total = sum(a.nbytes for sd in data.values() for a in sd.values())
    largest = max(a.nbytes for sd in data.values() for a in sd.values())
    best = dict.fromkeys(ROWS, float("inf"))
    for _ in range(REPEATS):
        for row, fn in ROWS.items():
            t0 = time.perf_counter()
            result = fn(data)
            best[row] = min(best[row], time.perf_counter() - t0)
            del result
    store = ROWS["DedupStore"](data)
    check = ROWS["python store"](data)
    assert store.unique == check.unique and store.tenants == check.tenants
    budget = 2 * largest + digest_bytes(store)
    peaks = {}
    for row in ROWS:
        out = subprocess.run(
            [sys.executable, __file__, "--peak", row], capture_output=True, text=True, check=True
        )
        peaks[row] = int(out.stdout.split()[-1])

    print(
        f"{len(data)} tenants, {total / MIB:.1f} MiB of float32 tensors in total "
        f"({total / len(data) / MIB:.1f} MiB each), {BLOCK // MIB} MiB blocks; "
        f"largest tensor {largest / MIB:.1f} MiB; best of {REPEATS} runs"
    )
    print(
        f"store: naive {store.naive_bytes() / MIB:.1f} MiB, deduplicated "
        f"{store.deduped_bytes() / MIB:.1f} MiB, ratio {store.dedup_ratio():.2f}, "
        f"{store.summary()['unique_blocks']} unique blocks"
    )
    with open("/proc/cpuinfo") as f:
        sha_ni = " sha_ni" in f.read()
    print(f"CPU SHA extensions (sha_ni): {'yes' if sha_ni else 'no'}")
    header = f"{'row':<14}{'time s':>9}{'MiB/s':>9}{'x hashlib':>11}{'peak MiB':>10}{'budget':>8}"
    print(header)
    print("-" * len(header))
    for row in ROWS:
        rate = total / MIB / best[row]
        print(
            f"{row:<14}{best[row]:>9.3f}{rate:>9.0f}{best['hashlib raw'] / best[row]:>11.2f}"
            f"{peak_text(peaks[row]):>10}{budget / MIB:>8.1f}"
        )


if __name__ == "__main__":
    main()
