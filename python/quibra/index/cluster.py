"""Index builds on a Dask cluster, for trees that outgrow one machine.

The per-file work goes to an existing scheduler through the Dask client's
`concurrent.futures` executor, so the refresh drives it exactly as it
drives local worker processes. File contents travel with the tasks: the
workers need quibra installed, not access to the tree.
"""

from __future__ import annotations

from collections.abc import Callable
from concurrent.futures import Executor

# How long to wait for the scheduler to answer before giving up.
CONNECT_SECONDS = 30


class ClusterUnavailable(Exception):
    """The cluster cannot be used: the extra is missing or the scheduler does not answer."""


def dask_executor(address: str) -> tuple[Executor, Callable[[], None]]:
    """An executor that runs on the scheduler at `address`, and the function that closes it."""
    try:
        from distributed import Client
    except ImportError:
        raise ClusterUnavailable(
            "--cluster needs Dask's distributed package: pip install 'quibra-core[dask]'"
        ) from None
    try:
        client = Client(address, timeout=CONNECT_SECONDS, set_as_default=False)  # type: ignore[no-untyped-call]
    except (OSError, TimeoutError, ValueError) as error:
        raise ClusterUnavailable(f"cannot reach the Dask scheduler at {address}: {error}") from None
    executor: Executor = client.get_executor()  # type: ignore[no-untyped-call]
    return executor, client.close
