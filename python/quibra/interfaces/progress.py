"""A progress bar on standard error for walks that take more than a moment.

It stays silent when standard error is not a terminal (pipes, files, CI
logs get no carriage-return litter) and during the first half second (a
quick run should not flash a bar), and it erases itself when done so the
results print on a clean line.
"""

from __future__ import annotations

import sys
import time
from types import TracebackType
from typing import TextIO

DELAY_SECONDS = 0.5
REFRESH_SECONDS = 0.1
BAR_WIDTH = 30


class Progress:
    """Counts `total` steps of work named `label`; use as a context manager."""

    def __init__(self, label: str, total: int, stream: TextIO | None = None, enabled: bool = True):
        self.label = label
        self.total = total
        self.done = 0
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = enabled and self.stream.isatty()
        self.started = time.monotonic()
        self.last_drawn = 0.0
        self.drawn_width = 0

    def __enter__(self) -> Progress:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None
    ) -> None:
        self.close()

    def advance(self, steps: int = 1) -> None:
        self.done += steps
        if not self.enabled:
            return
        now = time.monotonic()
        if now - self.started >= DELAY_SECONDS and now - self.last_drawn >= REFRESH_SECONDS:
            self.last_drawn = now
            self._draw()

    def _draw(self) -> None:
        filled = BAR_WIDTH * self.done // self.total if self.total else BAR_WIDTH
        line = f"{self.label} [{'#' * filled}{'.' * (BAR_WIDTH - filled)}] {self.done}/{self.total}"
        self.stream.write("\r" + line.ljust(self.drawn_width))
        self.stream.flush()
        self.drawn_width = len(line)

    def close(self) -> None:
        if self.drawn_width:
            self.stream.write("\r" + " " * self.drawn_width + "\r")
            self.stream.flush()
            self.drawn_width = 0
