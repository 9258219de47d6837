"""Parallel library builds: one tensor at a time against a thread pool and Ray.

The 12-layer synthetic model of bench_library (176 MiB) and four fine-tunes, on disk. Each
row builds a saved library of all four:

- sequential: today's behaviour, the baseline: the state dicts loaded, one
  `ModelLibrary.add_finetune` after another (one tensor at a time, BLAS on every core),
  then `save_library`;
- `build_library(jobs=N)`: N tensors at once in threads, one BLAS thread each;
- `build_library(ray="local")`: the same tasks on a local Ray instance with as many CPUs
  as cores, when Ray is installed (started once before the timings, as a cluster is up
  before a build; its start-up time is printed apart).

Peak MiB is the extra resident memory of this process during the build, plus, for Ray,
the largest sum of its worker processes' resident memory.

    python bench/bench_parallel.py
    VELMORA_BENCH_QUICK=1 python bench/bench_parallel.py   # 2 layers, vocabulary 2048
"""

import importlib.util
import os
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from _common import machine, measure, table  # noqa: E402
from bench_library import base_model, finetune  # noqa: E402
from bench_store import write_model  # noqa: E402

import velmora_dryx as vd  # noqa: E402
from velmora_dryx import lornet, tamsel  # noqa: E402
from velmora_dryx.parallel import usable_cores  # noqa: E402

FINETUNES = 4
MiB = 1 << 20


class RaySampler:
    """The largest total resident memory of Ray's worker processes seen while running."""

    def __init__(self) -> None:
        self.peak = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self) -> None:
        while not self._stop.wait(0.1):
            total = 0
            for pid in os.listdir("/proc"):
                if not pid.isdigit():
                    continue
                try:
                    with open(f"/proc/{pid}/cmdline", "rb") as f:
                        if not f.read(5).startswith(b"ray::"):
                            continue
                    with open(f"/proc/{pid}/statm") as f:
                        total += int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
                except OSError:
                    continue
            self.peak = max(self.peak, total)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


def start_ray(cores: int):
    """A local Ray instance started before the timings (a cluster is up before a build);
    its start-up time is printed apart."""
    if importlib.util.find_spec("ray") is None:
        return None
    import logging

    import ray

    t0 = time.perf_counter()
    ray.init(
        num_cpus=cores, include_dashboard=False, log_to_driver=False, logging_level=logging.ERROR
    )
    print(f"ray local: {cores} CPUs started in {time.perf_counter() - t0:.1f} s")
    return ray


def main() -> None:
    cores = usable_cores()
    rng = np.random.default_rng(0)
    base = base_model(rng)
    tunes = {f"ft-{i}": finetune(rng, base) for i in range(FINETUNES)}
    with tempfile.TemporaryDirectory(prefix="bench-parallel-") as d:
        tmp = Path(d)
        src = write_model(tmp / "base", base)
        sources = {name: write_model(tmp / name, sd) for name, sd in tunes.items()}
        del tunes
        n = [0]

        def fresh():
            n[0] += 1
            return tmp / f"lib-{n[0]}"

        rows = []
        ray = start_ray(cores)
        for label, settings in (("tensor train, cap 8", {}), ("energy SVD 0.99", {"energy": 0.99})):

            def sequential():
                lib = tamsel.ModelLibrary(str(src), lornet.load_state_dict_numpy(src), **settings)
                for name, path in sources.items():
                    lib.add_finetune(name, lornet.load_state_dict_numpy(path))
                vd.save_library(lib, fresh())

            def build(**kw):
                return lambda: vd.build_library(src, sources, fresh(), **settings, **kw)

            t_seq, peak_seq = measure(sequential, repeat=1)
            rows.append(
                [label, "sequential (baseline)", f"{t_seq:.2f}", "1.00x", f"{peak_seq:.0f}"]
            )
            for jobs in sorted({1, 2, cores}):
                t, peak = measure(build(jobs=jobs), repeat=1)
                rows.append([label, f"jobs={jobs}", f"{t:.2f}", f"{t_seq / t:.2f}x", f"{peak:.0f}"])
            if ray is None:
                rows.append([label, "ray local", "-", "-", "not installed"])
                continue
            with RaySampler() as sampler:
                t, peak = measure(build(jobs=cores, ray="local"), repeat=1)
            rows.append(
                [
                    label,
                    f"ray local, {cores} CPUs",
                    f"{t:.2f}",
                    f"{t_seq / t:.2f}x",
                    f"{peak:.0f} + workers {sampler.peak / MiB:.0f}",
                ]
            )
        if ray is not None:
            ray.shutdown()
    print(
        f"bench_parallel: 12-layer model ({tamsel._nbytes(base) / MiB:.0f} MiB), {FINETUNES} "
        f"fine-tunes, saved library; {machine()}"
    )
    print(table(["method", "build", "seconds", "speed-up", "peak MiB"], rows))


if __name__ == "__main__":
    main()
