"""Where the per-file work of a refresh runs: worker processes, or a Dask cluster.

Both are a `concurrent.futures` executor, driven the same way. Local
workers start forked while this process runs one thread, from a forkserver
otherwise; each ignores Ctrl-C (the main process answers it and stops
them) and dies with the main process, however that one ends.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import ctypes
import multiprocessing
import os
import select
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator

Executor = concurrent.futures.Executor


def start_executor(jobs: int, cluster: str | None) -> tuple[Executor | None, Callable[[], None]]:
    """An executor for the per-file work and the function that shuts it
    down; no executor when no worker process can start here."""
    if cluster is not None:
        from quibra.index.cluster import dask_executor

        return dask_executor(cluster)
    method = start_method()
    if method is None:
        return None, lambda: None
    pool = concurrent.futures.ProcessPoolExecutor(
        max_workers=jobs,
        mp_context=multiprocessing.get_context(method),
        initializer=_worker_started,
        initargs=(os.getpid(), method == "fork"),
    )
    return pool, lambda: pool.shutdown(wait=True, cancel_futures=True)


def forked_executor(jobs: int) -> Executor | None:
    """`jobs` local workers forked from this process when they start, so that
    each has what this process holds at that moment; None where workers
    cannot be forked (another thread runs, or the platform has no fork)."""
    if start_method() != "fork":
        return None
    return concurrent.futures.ProcessPoolExecutor(
        max_workers=jobs,
        mp_context=multiprocessing.get_context("fork"),
        initializer=_worker_started,
        initargs=(os.getpid(), True),
    )


# prctl(2): the signal a process gets when its parent dies.
_PR_SET_PDEATHSIG = 1


def _worker_started(main: int, forked: bool) -> None:
    """How each worker process begins.

    Ctrl-C reaches every process of the terminal's group, but only the main
    process answers it (it stops the workers and says "interrupted"): a
    worker ignores it, rather than print a traceback of its own.

    A worker dies with the main process. One killed outright (by the
    out-of-memory killer, say) never shuts its pool down, and its workers
    would wait for work forever, each holding its memory. A forked worker's
    parent is the main process, and on Linux the kernel kills the worker
    when it dies. A forkserver's child is the forkserver's, which lives as
    long as any of its children does: a thread of the worker watches the
    main process instead.
    """
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    if forked and _die_with_parent():
        # Asked after the fork: the parent may have died before, and then no signal comes.
        if os.getppid() != main:
            os._exit(1)
        return
    _watch(main)


def _die_with_parent() -> bool:
    """Ask the kernel to kill this process when its parent dies; whether it took the request."""
    if not sys.platform.startswith("linux"):
        return False
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        return int(libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)) == 0
    except (OSError, AttributeError):
        return False


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _watch(main: int) -> None:
    """End this process when the process `main` ends, from a thread of its own."""
    descriptor: int | None
    try:
        # Readable once the process has ended (even before it is reaped).
        descriptor = os.pidfd_open(main)
    except (AttributeError, OSError):
        descriptor = None
        if not _alive(main):
            os._exit(1)
    threading.Thread(target=_exit_after, args=(main, descriptor), daemon=True).start()


def _exit_after(main: int, descriptor: int | None) -> None:
    if descriptor is not None:
        select.select([descriptor], [], [])
    else:
        while _alive(main):
            time.sleep(1.0)
    os._exit(1)


@contextlib.contextmanager
def interrupts_held() -> Iterator[None]:
    """Hold Ctrl-C back from this thread for a moment: a worker forked now
    inherits the mask, and so cannot be interrupted before it has set
    itself to ignore Ctrl-C. The parent gets the signal when this ends."""
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def stop_workers(executor: Executor | None) -> None:
    """Stop the workers of an abandoned pool now, not after their current batch."""
    if isinstance(executor, concurrent.futures.ProcessPoolExecutor):
        processes = getattr(executor, "_processes", None) or {}
        for process in list(processes.values()):
            with contextlib.suppress(OSError, AttributeError):
                process.terminate()


def start_method() -> str | None:
    """How worker processes start. Forked, while this process runs a single
    thread: they start at once and never import the caller's main module,
    which a host's script without a main guard, a notebook or a program
    read from standard input cannot stand. From a forkserver otherwise, as
    forking a process with threads may leave a child holding a lock that no
    thread of its own will ever release; but a forkserver's children run
    the main module again, so when that module cannot be found again (a
    program read from standard input, say) there are no workers at all."""
    if threading.active_count() == 1 and "fork" in multiprocessing.get_all_start_methods():
        return "fork"
    if "forkserver" not in multiprocessing.get_all_start_methods() or not _main_found_again():
        return None
    return "forkserver"


def _main_found_again() -> bool:
    """Whether a child process that runs the main module again will find it."""
    main = sys.modules.get("__main__")
    if getattr(main, "__spec__", None) is not None:
        return True
    path = getattr(main, "__file__", None)
    if path is None:
        return True  # an interactive session: nothing is run again
    return os.path.isfile(os.path.join(getattr(multiprocessing.process, "ORIGINAL_DIR", None) or os.getcwd(), path))
