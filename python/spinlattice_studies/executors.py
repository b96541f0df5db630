"""Fanning chains out: a local process pool or a Dask cluster, behind the
standard ``concurrent.futures.Executor`` interface, with a progress bar weighted
by each chain's expected cost and each result handed over as it arrives.

Dask workers need spinlattice, numpy and Dask installed; this package is
zipped and shipped to them (Dask registers the upload, so a worker that is
restarted after a crash gets it too).
"""

from __future__ import annotations

import contextlib
import multiprocessing
import os
import signal
import sys
import tempfile
import threading
import zipfile
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import FIRST_COMPLETED, Executor, Future, ProcessPoolExecutor, wait
from pathlib import Path
from typing import Any, TypeVar

R = TypeVar("R")

PACKAGE = Path(__file__).resolve().parent


def _ignore_interrupts() -> None:
    # Ctrl-C reaches the whole process group: the parent alone decides what stops.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _start_workers(pool: ProcessPoolExecutor, count: int) -> None:
    """Start the pool's workers now with Ctrl-C ignored from birth: an ignored
    signal stays ignored across exec, so a worker still importing its modules
    (which takes seconds) does not die of Ctrl-C with a traceback before its
    initializer runs. The pool starts one worker per submission while none is idle."""
    if threading.current_thread() is not threading.main_thread():
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        for _ in range(count):
            pool.submit(int)
    finally:
        signal.signal(signal.SIGINT, previous)


def _stop_workers(pool: ProcessPoolExecutor) -> None:
    """End the pool's worker processes now, mid-chain if need be."""
    terminate = getattr(pool, "terminate_workers", None)  # Python 3.14 and later
    if terminate is not None:
        terminate()
        return
    processes = list((getattr(pool, "_processes", None) or {}).values())
    # The pool cancels what has not started itself: a future cancelled from outside
    # would trip its manager thread when the workers below die.
    pool.shutdown(wait=False, cancel_futures=True)
    for p in processes:
        p.terminate()
    for p in processes:
        p.join(timeout=5)


def _zipped_package(folder: str) -> str:
    """This package as a zip file in `folder`, importable from sys.path."""
    path = os.path.join(folder, f"{PACKAGE.name}.zip")
    with zipfile.ZipFile(path, "w") as z:
        for source in sorted(PACKAGE.glob("*.py")):
            z.write(source, f"{PACKAGE.name}/{source.name}")
    return path


@contextlib.contextmanager
def open_executor(scheduler: str | None = None, workers: int | None = None) -> Iterator[Executor]:
    """A local process pool of `workers` processes (default: one per core), or,
    given a scheduler address such as "tcp://10.0.0.5:8786", a Dask cluster's
    concurrent.futures executor. Leaving the block by Ctrl-C ends local workers
    at once; any exit cancels what has not started."""
    if scheduler is None:
        # Spawned, not forked: the caller may run threads (a progress bar, a Dask
        # client), and a fork copies their locks in whatever state they are.
        context = multiprocessing.get_context("spawn")
        count = workers or os.cpu_count() or 1
        pool = ProcessPoolExecutor(max_workers=count, mp_context=context, initializer=_ignore_interrupts)
        _start_workers(pool, count)
        try:
            yield pool
        except KeyboardInterrupt:
            _stop_workers(pool)
            raise
        finally:
            pool.shutdown(wait=True, cancel_futures=True)
        return
    from distributed import Client

    with Client(scheduler) as client, tempfile.TemporaryDirectory() as folder:
        client.upload_file(_zipped_package(folder))
        # pure=False: equal arguments are independent chains, never one cached result.
        executor = client.get_executor(pure=False)
        try:
            yield executor
        finally:
            executor.shutdown(wait=False)


@contextlib.contextmanager
def _deferred_interrupt() -> Iterator[threading.Event]:
    """Ctrl-C sets an event instead of raising wherever the main thread happens to
    be (perhaps holding a lock the executor's own threads need): the caller checks
    it at a safe point. Outside the main thread, nothing changes."""
    hit = threading.Event()
    if threading.current_thread() is not threading.main_thread():
        yield hit
        return
    previous = signal.signal(signal.SIGINT, lambda *_: hit.set())
    try:
        yield hit
    finally:
        signal.signal(signal.SIGINT, previous)


def run_calls(
    fn: Callable[..., R],
    calls: Sequence[tuple[Any, ...]],
    executor: Executor,
    *,
    progress: bool = False,
    desc: str = "chains",
    costs: Sequence[float] | None = None,
    on_result: Callable[[int, R], None] | None = None,
) -> list[R]:
    """``fn(*args)`` for every args in `calls`, through `executor`, results in the
    order of `calls`; each result goes to `on_result(index, result)` as it
    arrives. The first failure cancels the rest and is raised; Ctrl-C raises
    KeyboardInterrupt within a fraction of a second, and the executor's owner
    stops its workers (see open_executor). With `progress`, a bar advances by
    each call's expected cost (`costs`, default equal), so its time estimate
    holds when the calls differ in cost."""
    futures: dict[Future[R], int] = {executor.submit(fn, *args): i for i, args in enumerate(calls)}
    results: list[R | None] = [None] * len(calls)
    weights = list(costs) if costs is not None else [1.0] * len(calls)
    bar = _progress_bar(sum(weights), len(calls), desc) if progress else None
    pending = set(futures)
    try:
        with _deferred_interrupt() as interrupted:
            while pending:
                done, pending = wait(pending, timeout=0.25, return_when=FIRST_COMPLETED)
                # First: Ctrl-C also reaches local workers, whose loss must not read as a failure.
                if interrupted.is_set():
                    raise KeyboardInterrupt
                for future in done:
                    i = futures[future]
                    results[i] = future.result()
                    if on_result is not None:
                        on_result(i, results[i])  # type: ignore[arg-type]
                    if bar is not None:
                        bar.set_description_str(f"{desc} {len(futures) - len(pending)}/{len(calls)}", refresh=False)
                        bar.update(weights[i])
                if bar is not None:
                    bar.refresh()  # the elapsed time moves between results too
    except Exception:
        for future in futures:
            future.cancel()
        raise
    finally:
        if bar is not None:
            bar.close()
    return [r for r in results if r is not None]


class Interrupted(KeyboardInterrupt):
    """A run stopped by Ctrl-C: how many of its chains are saved, and where."""

    def __init__(self, saved: int, total: int, folder: Path) -> None:
        super().__init__(f"{saved} of {total} chains saved in {folder}")
        self.saved, self.total, self.folder = saved, total, folder

    def report(self) -> int:
        """Say on stderr what is saved and how to resume; return the exit status for it."""
        print(f"\nInterrupted: {self}. Run the same command again to resume from them.", file=sys.stderr)
        return 130


def run_resumable(
    fn: Callable[..., R],
    calls: Sequence[tuple[Any, ...]],
    names: Sequence[str],
    kind: type,
    store: Any,
    executor: Executor,
    *,
    costs: Sequence[float] | None = None,
    progress: bool = False,
) -> list[R]:
    """run_calls() with a checkpoint per call: calls whose result `store` already
    holds for the same arguments are reused (and counted aloud), the rest run and
    are saved as each finishes. Ctrl-C raises Interrupted with the saved count."""
    results: list[Any] = [None] * len(calls)
    todo = []
    for i, (args, name) in enumerate(zip(calls, names)):
        results[i], why = store.load(name, args, kind)
        if results[i] is None:
            todo.append(i)
            if why:
                print(f"Rerunning a chain: {why}.")
    if len(todo) < len(calls):
        print(f"Resuming: {len(calls) - len(todo)} of {len(calls)} chains reused from {store.folder}; {len(todo)} to run.")

    def save(j: int, result: R) -> None:
        i = todo[j]
        store.save(names[i], calls[i], result)
        results[i] = result

    weights = None if costs is None else [costs[i] for i in todo]
    try:
        run_calls(fn, [calls[i] for i in todo], executor, progress=progress, costs=weights, on_result=save)
    except KeyboardInterrupt:
        raise Interrupted(sum(r is not None for r in results), len(calls), store.folder) from None
    return results


def _progress_bar(total: float, count: int, desc: str) -> Any:
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    # smoothing=0: the rate over the whole run, which is what a cost-weighted total needs.
    return tqdm(
        total=total, desc=f"{desc} 0/{count}", smoothing=0,
        bar_format="{desc}: {percentage:3.0f}%|{bar}| [{elapsed}<{remaining}]",
    )
