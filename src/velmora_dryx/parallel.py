"""Running a list of independent tasks in order: inline, in a thread pool, or as Ray tasks.

Results always come back in task order, whatever order the tasks finish in, so whatever is
written from them is the same file, byte for byte, for every executor. Each task runs with
one BLAS thread: concurrency comes from the tasks, and a task's floating-point result does
not depend on how many tasks run beside it (OpenBLAS' multi-threaded kernels split some
reductions differently, so the thread count would otherwise show in the last bits).
"""

from __future__ import annotations

import contextlib
import logging
import os
from collections import deque
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any, TypeVar

T = TypeVar("T")
R = TypeVar("R")

RAY_INSTALL = 'pip install "velmora-dryx[ray]"'


def usable_cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not Linux
        return os.cpu_count() or 1


def check_jobs(jobs: int | None) -> int:
    if jobs is None:
        return usable_cores()
    if isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1:
        raise ValueError(f"jobs must be a positive int, got {jobs!r}")
    return jobs


@contextlib.contextmanager
def one_blas_thread():
    """Every BLAS library loaded in the process (SciPy's OpenBLAS, which the native core
    calls, included) limited to one thread for the duration."""
    import scipy.linalg.cython_blas  # noqa: F401 - loads SciPy's BLAS so that it can be limited
    from threadpoolctl import threadpool_limits

    with threadpool_limits(limits=1, user_api="blas"):
        yield


def run_ordered(
    fn: Callable[[T], R],
    tasks: Sequence[T],
    *,
    jobs: int = 1,
    ray: str | None = None,
    window: int | None = None,
    cost: Callable[[T], int] | None = None,
) -> Iterator[R]:
    """Yields fn(task) for every task, in task order.

    jobs > 1 runs up to `jobs` tasks at once in threads (the native work releases the GIL);
    `ray` ("local", "auto" or a cluster address) runs them as Ray tasks, consecutive tasks
    batched into a few Ray tasks per CPU of about equal `cost` (default: equal counts), so
    that Ray's per-task overhead is paid a few times per CPU rather than per task. At most
    `window` tasks (Ray: batches) are submitted ahead of the one being waited for. The first
    task that fails cancels the rest and its exception propagates.
    """
    if ray is not None:
        yield from _ray_ordered(fn, tasks, ray, jobs, window, cost)
        return
    with one_blas_thread():
        if jobs == 1:
            for task in tasks:
                yield fn(task)
            return
        with ThreadPoolExecutor(jobs, thread_name_prefix="velmora-dryx") as pool:
            yield from _windowed(
                lambda t: pool.submit(fn, t),
                tasks,
                window or 4 * jobs,
                lambda f: f.result(),
                _cancel_futures,
            )


_END = object()


def _cancel_futures(pending) -> None:
    for f in pending:
        f.cancel()


def _windowed(submit, tasks, window, wait, cancel):
    """In-order results with at most `window` tasks submitted and not yet handed out."""
    it = iter(tasks)
    pending: deque = deque()
    try:
        while True:
            while len(pending) < window and (task := next(it, _END)) is not _END:
                pending.append(submit(task))
            if not pending:
                return
            yield wait(pending.popleft())
    finally:
        if pending:
            cancel(pending)


# ---- Ray --------------------------------------------------------------------------------


def import_ray():
    try:
        import ray
    except ImportError as exc:
        raise ImportError(f"Ray is not installed: {RAY_INSTALL}") from exc
    return ray


_worker_capped = False


def _in_ray_worker(fn: Callable[[Any], Any], batch: list) -> list:
    # A Ray worker process runs our tasks one at a time: one BLAS thread, set once.
    global _worker_capped
    if not _worker_capped:
        import scipy.linalg.cython_blas  # noqa: F401
        from threadpoolctl import threadpool_limits

        threadpool_limits(limits=1, user_api="blas")
        _worker_capped = True
    return [fn(task) for task in batch]


BATCHES_PER_CPU = 4


def batches(tasks: Sequence[T], parts: int, cost: Callable[[T], int] | None = None) -> list:
    """Consecutive runs of `tasks`, at most about `parts` of them, of about equal total cost
    (every task costs at least 1); a task costlier than a share is a batch of its own."""
    costs = [max(1, int(cost(t))) if cost is not None else 1 for t in tasks]
    share = sum(costs) / max(1, parts)
    out: list[list[T]] = []
    run: list[T] = []
    acc = 0
    for task, c in zip(tasks, costs, strict=True):
        if run and acc + c > share * 1.5:
            out.append(run)
            run, acc = [], 0
        run.append(task)
        acc += c
        if acc >= share:
            out.append(run)
            run, acc = [], 0
    if run:
        out.append(run)
    return out


def _ray_ordered(fn, tasks, address: str, jobs: int, window: int | None, cost=None):
    ray = import_ray()
    started = False
    if not ray.is_initialized():
        # Ray's own start-up notes would interleave with the caller's progress bars.
        quiet = {"log_to_driver": False, "logging_level": logging.ERROR}
        if address == "local":
            ray.init(num_cpus=jobs, include_dashboard=False, **quiet)
        else:
            ray.init(address=address, **quiet)
        started = True
    try:
        # Application errors are retried too (a worker killed by the OOM killer, a flaky
        # shared file system); a task that keeps failing fails the run with its error.
        remote = ray.remote(num_cpus=1, max_retries=2, retry_exceptions=True)(_in_ray_worker)
        cpus = max(1, int(ray.cluster_resources().get("CPU", 1)))

        def wait(ref):
            try:
                return ray.get(ref)
            except ray.exceptions.RayTaskError as err:
                cause = err.cause
                if isinstance(cause, Exception):
                    raise cause from err
                raise

        def cancel(pending):
            for ref in pending:
                with contextlib.suppress(Exception):
                    ray.cancel(ref)

        for results in _windowed(
            # Results are taken in order: a deeper queue than the CPUs hides the round trips.
            lambda batch: remote.remote(fn, batch),
            batches(tasks, BATCHES_PER_CPU * cpus, cost),
            window or max(8, BATCHES_PER_CPU * cpus),
            wait,
            cancel,
        ):
            yield from results
    finally:
        if started:
            ray.shutdown()
