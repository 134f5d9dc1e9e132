"""Which files of a tree a report covers: the --include and --exclude patterns.

Patterns are written as in a `.gitignore` file (`tests/`, `*_test.go`,
`/docs/**`, `!keep.py`), matched against paths relative to the tree's root.
They choose what a report looks at, never what the index holds: the index
is one state of the tree, so a refresh stays incremental whatever each
query includes, and two queries with different patterns share one index.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from pathspec import GitIgnoreSpec


class BadPattern(ValueError):
    """A pattern that cannot be read; the text names it."""


def _spec(patterns: list[str]) -> GitIgnoreSpec | None:
    if not patterns:
        return None
    # Imported here: most commands take no pattern, and start-up time is
    # most of a warm query.
    import pathspec

    try:
        return pathspec.GitIgnoreSpec.from_lines(patterns)
    except ValueError as error:
        raise BadPattern(f"bad pattern: {error}") from None


class Selection:
    """Keeps the paths that match some `include` pattern (any path when there
    are none) and no `exclude` pattern."""

    def __init__(self, include: Iterable[str] | None = None, exclude: Iterable[str] | None = None):
        self.include = [pattern for pattern in include or () if pattern.strip()]
        self.exclude = [pattern for pattern in exclude or () if pattern.strip()]
        self._included = _spec(self.include)
        self._excluded = _spec(self.exclude)

    def __bool__(self) -> bool:
        """Whether it leaves anything out at all."""
        return self._included is not None or self._excluded is not None

    def __call__(self, path: str) -> bool:
        if self._included is not None and not self._included.match_file(path):
            return False
        return self._excluded is None or not self._excluded.match_file(path)
