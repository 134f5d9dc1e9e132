"""What a refresh did, as it tells its caller."""

from __future__ import annotations

from dataclasses import dataclass, field


@dataclass
class RefreshReport:
    added: list[str] = field(default_factory=list)
    changed: list[str] = field(default_factory=list)
    removed: list[str] = field(default_factory=list)
    # Files whose stat moved but whose content did not.
    touched: int = 0
    edges_resolved: bool = False
    pagerank_computed: bool = False
    importance_computed: bool = False  # the symbol graph's PageRank
    importance_pending: bool = False  # ... left to rank later
    references_resolved: int = 0  # how many references were resolved again
    seconds: float = 0.0
    # Where those seconds went, by step of the refresh, in the order taken.
    phases: dict[str, float] = field(default_factory=dict)

    @property
    def changed_anything(self) -> bool:
        return bool(self.added or self.changed or self.removed)
