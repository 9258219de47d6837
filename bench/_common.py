"""Timing and peak-memory helpers shared by the benchmarks.

Peak memory is read from the kernel: /proc/self/clear_refs resets the process's resident
high-water mark (VmHWM), so the extra memory an operation needed is VmHWM after it minus
VmRSS before it. That counts native (C++, LAPACK) allocations, which tracemalloc misses.
"""

from __future__ import annotations

import ctypes
import gc
import platform
import time

try:
    _libc = ctypes.CDLL("libc.so.6")
except OSError:  # not glibc: the peak then includes memory the allocator kept
    _libc = None


def status_kib(field: str) -> int:
    """A field of /proc/self/status in KiB (VmRSS, VmHWM), 0 where there is none."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def reset_peak() -> bool:
    """Resets the resident high-water mark to the current resident size, if the kernel lets us."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def measure(fn, repeat: int = 3):
    """Best wall time in seconds over `repeat` runs and the peak extra MiB of one run."""
    best = float("inf")
    peak = float("nan")
    for i in range(repeat):
        gc.collect()
        if _libc is not None:
            _libc.malloc_trim(0)
        can_reset = reset_peak()
        base = status_kib("VmRSS")
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
        if i == 0 and can_reset:
            peak = max(0, status_kib("VmHWM") - base) / 1024
        del result
    return best, peak


def machine() -> str:
    import os

    return f"{platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}"


def table(headers, rows) -> str:
    widths = [max(len(str(h)), *(len(str(r[i])) for r in rows)) for i, h in enumerate(headers)]
    line = "  ".join(
        str(h).ljust(w) if i == 0 else str(h).rjust(w)
        for i, (h, w) in enumerate(zip(headers, widths, strict=True))
    )
    out = [line, "  ".join("-" * w for w in widths)]
    for r in rows:
        out.append(
            "  ".join(
                str(c).ljust(w) if i == 0 else str(c).rjust(w)
                for i, (c, w) in enumerate(zip(r, widths, strict=True))
            )
        )
    return "\n".join(out)
