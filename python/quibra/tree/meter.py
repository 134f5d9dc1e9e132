"""How long work says how far along it is, without knowing who shows it.

The walks of the lower layers (a refresh, a hash of every file) take a
`MeterFactory`; the interfaces pass one that draws a progress bar, and
everything else gets `silent`.
"""

from __future__ import annotations

import contextlib
from collections.abc import Iterator
from contextlib import AbstractContextManager
from typing import Protocol


class Meter(Protocol):
    def advance(self, steps: int = 1) -> None: ...


class MeterFactory(Protocol):
    def __call__(self, label: str, total: int) -> AbstractContextManager[Meter]: ...


class _Silent:
    def advance(self, steps: int = 1) -> None:
        pass


@contextlib.contextmanager
def silent(label: str, total: int) -> Iterator[Meter]:
    """A meter that shows nothing."""
    yield _Silent()
