"""Ranking: the answers, from what the index holds.

Owns the channels a query is ranked in (`channels`), their fusion and the
packing into a budget through the engine (`rank`), the source text and the
packed context of the answers (`source`, `context`), the repository map
(`repomap`) and the hotspots (`hotspots`).

May import the index (`quibra.index`), the reading layer (`quibra.tree`) and
the engine: nothing of the interfaces. It reads the index only through the
functions of `quibra.index.queries`.
"""
