"""Fanning chains out: a local process pool or a Dask cluster, behind the
standard ``concurrent.futures.Executor`` interface, with a progress bar weighted
by each chain's expected cost and each result handed over as it arrives.

Dask workers need what the client has: spinlattice (which brings this package),
numpy and Dask, of the same versions. Nothing is uploaded to them: the chains
are sent by reference to this package's functions, which every worker imports
from its own installation.
"""

from __future__ import annotations

import contextlib
import multiprocessing
import os
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import FIRST_COMPLETED, Executor, Future, ProcessPoolExecutor, wait
from pathlib import Path
from typing import Any, TypeVar

from .chains import CHECKPOINT_SECONDS, ChainResult, Progress, run_chain
from .plan import Chain
from .storage import ChainStore

R = TypeVar("R")

# After Ctrl-C, how long running chains get to save their state and stop (they
# stop at their next measurement: milliseconds) before their workers are ended.
GRACE_SECONDS = 10.0


def _worker_started() -> None:
    # Ctrl-C reaches the whole process group: the parent decides what stops, and a
    # worker's chain saves its state and stops when asked (chains.catch_interrupts).
    from .chains import catch_interrupts

    catch_interrupts()


class _LocalPool(ProcessPoolExecutor):
    """Spawned worker processes that ignore Ctrl-C until they are ready for it, and
    that can be asked to stop their chains, or ended, through public interfaces only."""

    def __init__(self, count: int) -> None:
        # Its workers are the children that this process starts from now on.
        self._children_before = set(multiprocessing.active_children())
        # Spawned, not forked: the caller may run threads (a progress bar, a Dask
        # client), and a fork copies their locks in whatever state they are.
        super().__init__(max_workers=count, mp_context=multiprocessing.get_context("spawn"), initializer=_worker_started)
        self._prestart(count)

    def _prestart(self, count: int) -> None:
        """Start the workers now with Ctrl-C ignored from birth: an ignored signal
        stays ignored across exec, so a worker still importing its modules (which
        takes seconds) does not die of Ctrl-C with a traceback before its initializer
        runs. The pool starts one worker per submission while none is idle."""
        if threading.current_thread() is not threading.main_thread():
            return
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
        try:
            for _ in range(count):
                self.submit(int)
        finally:
            signal.signal(signal.SIGINT, previous)

    def workers(self) -> list[multiprocessing.process.BaseProcess]:
        return [p for p in multiprocessing.active_children() if p not in self._children_before]

    def interrupt_workers(self) -> None:
        """Start nothing more, and have each running chain save its state and stop
        (the workers get SIGINT, as from a terminal's Ctrl-C)."""
        self.shutdown(wait=False, cancel_futures=True)
        if os.name == "posix":  # elsewhere the console's Ctrl-C reaches every process already
            for p in self.workers():
                with contextlib.suppress(ProcessLookupError, TypeError):
                    os.kill(p.pid, signal.SIGINT)  # type: ignore[arg-type]

    def stop_workers(self) -> None:
        """End the worker processes now, mid-chain if need be."""
        processes = self.workers()
        # The pool cancels what has not started itself: a future cancelled from outside
        # would trip its manager thread when the workers below die.
        self.shutdown(wait=False, cancel_futures=True)
        for p in processes:
            p.terminate()
        for p in processes:
            p.join(timeout=5)


@contextlib.contextmanager
def open_executor(scheduler: str | None = None, workers: int | None = None) -> Iterator[Executor]:
    """A local process pool of `workers` processes (default: one per core), or,
    given a scheduler address such as "tcp://10.0.0.5:8786", a Dask cluster's
    concurrent.futures executor. Leaving the block by Ctrl-C ends local workers
    at once; any exit cancels what has not started."""
    if scheduler is None:
        pool = _LocalPool(workers or os.cpu_count() or 1)
        try:
            yield pool
        except KeyboardInterrupt:
            pool.stop_workers()
            raise
        finally:
            pool.shutdown(wait=True, cancel_futures=True)
        return
    try:
        from distributed import Client
    except ImportError as error:
        from ._extras import missing_extra

        raise missing_extra("a Dask scheduler (--scheduler)", error, "dask") from error

    with Client(scheduler) as client:
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
    grace: float = 0.0,
) -> list[R]:
    """``fn(*args)`` for every args in `calls`, through `executor`, results in the
    order of `calls`; each result goes to `on_result(index, result)` as it
    arrives. The first failure cancels the rest and is raised. Ctrl-C raises
    KeyboardInterrupt: at once, or, given a `grace` in seconds and a local pool
    (open_executor), once the running calls have stopped of their own accord
    (chains save their state and stop), their results handed over, or the grace
    has run out; the executor's owner then ends what is left (see open_executor).
    With `progress`, a bar advances by each call's expected cost (`costs`, default
    equal), so its time estimate holds when the calls differ in cost."""
    futures: dict[Future[R], int] = {executor.submit(fn, *args): i for i, args in enumerate(calls)}
    results: list[R | None] = [None] * len(calls)
    weights = list(costs) if costs is not None else [1.0] * len(calls)
    bar = _progress_bar(sum(weights), len(calls), desc) if progress else None

    def take(future: Future[R]) -> None:
        i = futures[future]
        results[i] = future.result()
        if on_result is not None:
            on_result(i, results[i])  # type: ignore[arg-type]
        if bar is not None:
            bar.set_description_str(f"{desc} {sum(r is not None for r in results)}/{len(calls)}", refresh=False)
            bar.update(weights[i])

    pending = set(futures)
    try:
        with _deferred_interrupt() as interrupted:
            while pending:
                done, pending = wait(pending, timeout=0.25, return_when=FIRST_COMPLETED)
                # First: Ctrl-C also reaches local workers, whose stop must not read as a failure.
                if interrupted.is_set():
                    _wind_down(executor, done | pending, take, grace)
                    raise KeyboardInterrupt
                for future in done:
                    take(future)
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


def _wind_down(executor: Executor, futures: set[Future[R]], take: Callable[[Future[R]], None], grace: float) -> None:
    """After Ctrl-C: ask a local pool's running calls to stop, and hand over every
    result that arrives within `grace` seconds; calls that stopped early, or were
    never started, are let go."""
    interrupt = getattr(executor, "interrupt_workers", None)
    if interrupt is None or grace <= 0:
        return
    interrupt()
    pending = set(futures)
    deadline = time.monotonic() + grace
    while pending:
        left = deadline - time.monotonic()
        if left <= 0:
            return
        done, pending = wait(pending, timeout=min(left, 0.25), return_when=FIRST_COMPLETED)
        for future in done:
            if not future.cancelled() and future.exception() is None:
                take(future)


class Interrupted(KeyboardInterrupt):
    """A run stopped by Ctrl-C: how many of its chains are saved, and where."""

    def __init__(self, saved: int, total: int, folder: Path, in_progress: int = 0) -> None:
        mid = f", and {in_progress} more mid-chain" if in_progress else ""
        super().__init__(f"{saved} of {total} chains saved in {folder}{mid}")
        self.saved, self.total, self.folder, self.in_progress = saved, total, folder, in_progress

    def report(self) -> int:
        """Say on stderr what is saved and how to resume; return the exit status for it."""
        print(f"\nInterrupted: {self}. Run the same command again to resume from them.", file=sys.stderr)
        return 130


def run_chains(
    chains: Sequence[Chain],
    store: ChainStore,
    executor: Executor,
    *,
    progress: bool = False,
    checkpoint_seconds: float = CHECKPOINT_SECONDS,
) -> list[ChainResult]:
    """chains.run_chain() for every chain, with everything saved in `store`: chains
    it holds finished for the same plan are reused (and counted aloud), chains it
    holds in progress are continued from their last save (and named), the rest
    start afresh; each result is saved as it arrives. Ctrl-C lets running chains
    save their state, then raises Interrupted with what is saved."""
    store.tidy()
    results: list[ChainResult | None] = [None] * len(chains)
    todo, continued = [], 0
    for i, chain in enumerate(chains):
        results[i], why = store.load(chain, ChainResult)
        if results[i] is not None:
            store.drop_progress(chain)  # left by a run killed between the two
            continue
        todo.append(i)
        if why:
            print(f"Rerunning a chain: {why}.")
        saved, why = store.load_progress(chain)
        if saved is not None:
            continued += 1
            print(f"Resuming {chain.name} from its checkpoint: {_progress_text(chain, saved)}.")
        elif why:
            print(f"Starting {chain.name} afresh: {why}.")
    if len(todo) < len(chains) or continued:
        print(f"Resuming: {len(chains) - len(todo)} of {len(chains)} chains reused from {store.folder}; "
              f"{len(todo)} to run" + (f", {continued} of them from checkpoints." if continued else "."))

    def save(j: int, result: ChainResult) -> None:
        chain = chains[todo[j]]
        store.save(chain, result)
        store.drop_progress(chain)  # only now: the finished chain is on disk
        results[todo[j]] = result

    calls = [(chains[i], store, checkpoint_seconds) for i in todo]
    try:
        run_calls(run_chain, calls, executor, progress=progress, costs=[chains[i].cost for i in todo],
                  on_result=save, grace=GRACE_SECONDS)
    except KeyboardInterrupt:
        in_progress = sum(store.progress_path(chains[i].name).exists() for i in todo if results[i] is None)
        raise Interrupted(sum(r is not None for r in results), len(chains), store.folder, in_progress) from None
    return results  # type: ignore[return-value]


def _progress_text(chain: Chain, saved: Progress) -> str:
    if saved.updates_per_measurement == 0:
        return f"in equilibration, {saved.equilibrated / chain.L**2:.0f} of {chain.equilibration} sweeps done"
    return f"{saved.energy.size} of {saved.target} measurements done"


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
